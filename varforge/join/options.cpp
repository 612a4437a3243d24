// `varforge cat`'s command line.
#include <getopt.h>
#include <htslib/hts_log.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "fetch.h"
#include "join.h"
#include "s3.h"
#include "source.h"

namespace vfjoin {

namespace {

const char kUsage[] =
    "Usage:   varforge cat [options] <in1.bcf> [<in2.bcf> ...]\n"
    "         varforge cat [options] <in1.vcf.gz> [<in2.vcf.gz> ...]\n"
    "\n"
    "Joins BCF files, or bgzipped VCF files, into one by copying their compressed blocks,\n"
    "without decoding a record. The inputs must be of one kind, have the same samples in the\n"
    "same order, and (BCF) no contig, FILTER, INFO or FORMAT index that names different things\n"
    "in two of them; definitions that only later inputs have are added to the first input's\n"
    "header. \"-\" is standard input, when it is a file. An input may be a URL (http://,\n"
    "https://, s3://, s3+http://, gs://), read through htslib. The output may be an object\n"
    "of an S3 store (s3://BUCKET/KEY, s3+http://...): it is written as one multipart upload,\n"
    "with the inputs that lie in the same store copied inside it, not downloaded.\n"
    "Nothing is written unless every input fits.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   write to FILE (or the object FILE), replacing it only when the whole\n"
    "                      join succeeded\n"
    "                      (default, or \"-\": standard output)\n"
    "  -W, --write-index   also write FILE's index (FILE.csi for BCF, FILE.tbi for VCF),\n"
    "                      merged from the inputs' own indexes; needs -o\n"
    "  -f, --file-list FILE  also join the files named in FILE, one per line (\"-\": standard\n"
    "                      input); blank lines are ignored\n"
    "      --fetch-ahead N remote inputs (URLs) fetched at once ahead of the copy, each\n"
    "                      holding at most 1.25 MiB (default 8, at most 64)\n"
    "      --no-sync       do not flush FILE and its index to the disk before they are put\n"
    "                      in place (for scratch space)\n"
    "  -q, --quiet         no progress display (shown on a terminal for joins over a second)\n"
    "  -v, --verbose       say more about what the join does\n"
    "  -h, --help          print this help and exit\n"
    "      --version       print the version and exit\n";

// Appends the names listed in `path` to `names`; false with the message written.
bool read_list(const char *path, std::vector<std::string> *names) {
    std::ifstream file;
    std::istream *in = &std::cin;
    if (strcmp(path, "-") != 0) {
        file.open(path);
        if (!file) {
            fprintf(stderr, "[bcf_cat] %s: %s\n", path, strerror(errno));
            return false;
        }
        in = &file;
    }
    std::string line;
    while (std::getline(*in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) names->push_back(line);
    }
    if (in->bad()) {
        fprintf(stderr, "[bcf_cat] %s: read error\n", path);
        return false;
    }
    return true;
}

// 0: run; 1: a usage error (reported); 2: help or version printed.
int parse(int argc, const char **argv, JoinOptions *o, std::vector<std::string> *listed) {
    enum { kVersion = 1000, kNoSync, kFetchAhead };
    static const struct option longs[] = {{"output", required_argument, nullptr, 'o'},
                                          {"write-index", no_argument, nullptr, 'W'},
                                          {"file-list", required_argument, nullptr, 'f'},
                                          {"no-sync", no_argument, nullptr, kNoSync},
                                          {"fetch-ahead", required_argument, nullptr, kFetchAhead},
                                          {"quiet", no_argument, nullptr, 'q'},
                                          {"verbose", no_argument, nullptr, 'v'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    std::vector<char *> args = {const_cast<char *>("cat")};
    for (int i = 0; i < argc; i++) args.push_back(const_cast<char *>(argv[i]));
    args.push_back(nullptr);
    optind = 0;  // a full reset, whatever parsed before
    opterr = 0;
    std::vector<const char *> lists;
    int c;
    while ((c = getopt_long(int(args.size() - 1), args.data(), "+o:f:qvWh", longs, nullptr)) !=
           -1) {
        switch (c) {
            case 'o':
                o->output = strcmp(optarg, "-") == 0 ? nullptr : optarg;
                break;
            case 'f':
                lists.push_back(optarg);
                break;
            case 'q':
                o->quiet = true;
                break;
            case 'v':
                o->verbose++;
                break;
            case 'W':
                o->write_index = true;
                break;
            case kNoSync:
                o->sync = false;
                break;
            case kFetchAhead: {
                char *end = nullptr;
                errno = 0;
                const long n = strtol(optarg, &end, 10);
                if (errno || end == optarg || *end || n < 1 || n > kFetchAheadMax) {
                    fprintf(stderr, "[bcf_cat] --fetch-ahead takes a number from 1 to %d\n",
                            kFetchAheadMax);
                    return 1;
                }
                o->fetch_ahead = int(n);
                break;
            }
            case 'h':
                fputs(kUsage, stdout);
                return 2;
            case kVersion:
                printf("varforge cat %s\n", AF_PROJECT_VERSION);
                return 2;
            default:
                if (optopt == kFetchAhead)
                    fputs("[bcf_cat] option --fetch-ahead needs a number\n", stderr);
                else if (optopt == 'o' || optopt == 'f')
                    fprintf(stderr, "[bcf_cat] option -%c needs a file name\n", optopt);
                else
                    fprintf(stderr, "[bcf_cat] unknown option %s\n", args[size_t(optind - 1)]);
                fputs(kUsage, stderr);
                return 1;
        }
    }
    for (int i = optind; i < int(args.size() - 1); i++) o->inputs.push_back(args[size_t(i)]);
    for (const char *list : lists)
        if (!read_list(list, listed)) return 1;
    for (const auto &name : *listed) o->inputs.push_back(name.c_str());
    if (o->output && is_url(o->output) && !is_s3_url(o->output)) {
        // Never a local path either: a folder named like the URL is not written into.
        fprintf(stderr,
                "[bcf_cat] %s: the output must be a local file or an object of an S3 store "
                "(s3://, s3+http://, s3+https://)\n",
                o->output);
        return 1;
    }
    if (o->write_index && !o->output) {
        fputs("[bcf_cat] --write-index (-W) needs --output (-o FILE)\n", stderr);
        return 1;
    }
    return 0;
}

}  // namespace

int cat_command(int argc, const char **argv, const JoinOptions &base) {
    // Every failure is reported in cat's own words; htslib, which reads headers and indexes
    // here, stays quiet. The level is set once, here, before any thread reads it.
    hts_set_log_level(HTS_LOG_OFF);
    try {
        JoinOptions o = base;
        std::vector<std::string> listed;
        const int r = parse(argc, argv, &o, &listed);
        if (r != 0) return r == 2 ? 0 : 1;
        return run_join(o);
    } catch (const std::bad_alloc &) {
        fputs("[bcf_cat] out of memory\n", stderr);
        return 1;
    } catch (const std::exception &e) {  // a thread the system would not give, say
        fprintf(stderr, "[bcf_cat] %s\n", e.what());
        return 1;
    }
}

}  // namespace vfjoin
