// The shared global options: parsing through a subcommand's own table, the help lines and
// the record's life cycle.
#include "fmt_opts.h"

#include <gtest/gtest.h>
#include <htslib/hts.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Owns a record for the length of a test; the record is released by the module's own call.
struct Args {
    sam_global_args ga;
    Args() { sam_global_args_init(&ga); }
    ~Args() { sam_global_args_free(&ga); }
    Args(const Args &) = delete;
    Args &operator=(const Args &) = delete;
};

std::vector<const hts_opt *> list(const htsFormat &f) {
    std::vector<const hts_opt *> v;
    for (auto *o = static_cast<const hts_opt *>(f.specific); o; o = o->next) v.push_back(o);
    return v;
}

// A subcommand's table: some options of its own, then the six global ones. `letters`
// non-null gives each global entry that letter as `val` instead of its code ('.': the code).
std::vector<option> subcommand_table(const char *letters) {
    static const char *const kNames[] = {"input-fmt",         "input-fmt-option", "output-fmt",
                                         "output-fmt-option", "reference",        "threads"};
    std::vector<option> t = {{"verbose", no_argument, nullptr, 'v'},
                             {"output", required_argument, nullptr, 'o'}};
    for (int i = 0; i < 6; ++i)
        t.push_back({kNames[i], required_argument, nullptr,
                     letters && letters[i] != '.' ? letters[i] : 128 + i});
    t.push_back({nullptr, 0, nullptr, 0});
    return t;
}

bool all_zero(const sam_global_args &ga) {
    static const unsigned char kZero[sizeof(sam_global_args)] = {};
    return memcmp(&ga, kZero, sizeof ga) == 0;
}

std::string help(const char *shortopts) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    sam_global_opt_help(fp, shortopts);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    return s;
}

TEST(FmtOpts, InitZeroesAndFreeAfterInitReleasesNothing) {
    sam_global_args ga;
    memset(&ga, 0xab, sizeof ga);
    sam_global_args_init(&ga);
    EXPECT_TRUE(all_zero(ga));
    sam_global_args_free(&ga);
    sam_global_args_init(nullptr);  // accepted, does nothing
}

// Every global option, reached through a table that carries codes and through one that
// carries short letters: the entry is found by its val and recognised by its name.
TEST(FmtOpts, EveryOptionThroughCodesAndLetters) {
    for (const char *letters : {static_cast<const char *>(nullptr), "IiOorT"}) {
        SCOPED_TRACE(letters ? letters : "codes");
        const auto table = subcommand_table(letters);
        auto code = [&](int row) { return letters ? letters[row] : 128 + row; };
        Args a;
        EXPECT_EQ(parse_sam_global_opt(code(0), "cram,version=3.0", table.data(), &a.ga), 0);
        EXPECT_EQ(parse_sam_global_opt(code(1), "decode_md=0", table.data(), &a.ga), 0);
        EXPECT_EQ(parse_sam_global_opt(code(2), "bam", table.data(), &a.ga), 0);
        EXPECT_EQ(parse_sam_global_opt(code(3), "level=3", table.data(), &a.ga), 0);
        EXPECT_EQ(parse_sam_global_opt(code(4), "ref.fa", table.data(), &a.ga), 0);
        EXPECT_EQ(parse_sam_global_opt(code(5), "6", table.data(), &a.ga), 0);

        EXPECT_EQ(a.ga.in.format, cram);
        EXPECT_EQ(a.ga.out.format, bam);
        EXPECT_EQ(a.ga.nthreads, 6);
        ASSERT_NE(a.ga.reference, nullptr);
        EXPECT_STREQ(a.ga.reference, "ref.fa");
        const auto in = list(a.ga.in), out = list(a.ga.out);
        // in: version (from the format text), decode_md, reference; out: level, reference.
        ASSERT_EQ(in.size(), 3u);
        EXPECT_EQ(in[0]->opt, CRAM_OPT_VERSION);
        EXPECT_EQ(in[1]->opt, CRAM_OPT_DECODE_MD);
        EXPECT_EQ(in[2]->opt, CRAM_OPT_REFERENCE);
        EXPECT_STREQ(in[2]->val.s, "ref.fa");
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0]->opt, HTS_OPT_COMPRESSION_LEVEL);
        EXPECT_EQ(out[0]->val.i, 3);
        EXPECT_EQ(out[1]->opt, CRAM_OPT_REFERENCE);
        EXPECT_STREQ(out[1]->val.s, "ref.fa");
    }
}

TEST(FmtOpts, ThreadsReadLikeAtoi) {
    const auto table = subcommand_table(nullptr);
    const struct {
        const char *arg;
        int want;
    } cases[] = {
        {"4", 4},
        {"4x", 4},
        {"x", 0},
        {"-3", -3},
        {" 7", 7},
        {"", 0},
        {"+5", 5},
        {"\t\n12", 12},
        {"- 3", 0},
        {"0x10", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        // Past the range of int the value stops at the limit instead of wrapping.
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
        {"000000000000000000042", 42},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arg);
        Args a;
        a.ga.nthreads = 77;
        EXPECT_EQ(parse_sam_global_opt(SAM_OPT_NTHREADS, c.arg, table.data(), &a.ga), 0);
        EXPECT_EQ(a.ga.nthreads, c.want);
    }
}

TEST(FmtOpts, ReferenceTwiceKeepsSecondNameAndBothEntries) {
    const auto table = subcommand_table(nullptr);
    Args a;
    ASSERT_EQ(parse_sam_global_opt(SAM_OPT_REFERENCE, "first.fa", table.data(), &a.ga), 0);
    char *first_copy = a.ga.reference;
    ASSERT_EQ(parse_sam_global_opt(SAM_OPT_REFERENCE, "/data/second.fa", table.data(), &a.ga), 0);
    EXPECT_STREQ(a.ga.reference, "/data/second.fa");
    EXPECT_NE(a.ga.reference, first_copy);  // a copy of its own, not the caller's text
    for (const htsFormat *f : {&a.ga.in, &a.ga.out}) {
        const auto l = list(*f);
        ASSERT_EQ(l.size(), 2u);
        EXPECT_EQ(l[0]->opt, CRAM_OPT_REFERENCE);
        EXPECT_STREQ(l[0]->val.s, "first.fa");
        EXPECT_EQ(l[1]->opt, CRAM_OPT_REFERENCE);
        EXPECT_STREQ(l[1]->val.s, "/data/second.fa");
    }
}

// htslib's own verdict comes back unchanged: each bad text gives exactly what the htslib
// call gives on a fresh record.
TEST(FmtOpts, RejectedTextsReturnHtslibResult) {
    const auto table = subcommand_table(nullptr);
    const int saved = hts_verbose;
    hts_verbose = 0;  // keep htslib's own log lines out of the test output
    for (const char *text : {"nosuchformat", "bam,nosuchoption=1", ""}) {
        SCOPED_TRACE(text);
        htsFormat fresh{};
        const int want = hts_parse_format(&fresh, text);
        hts_opt_free(static_cast<hts_opt *>(fresh.specific));
        ASSERT_LT(want, 0);
        Args a;
        EXPECT_EQ(parse_sam_global_opt(SAM_OPT_INPUT_FMT, text, table.data(), &a.ga), want);
        EXPECT_EQ(parse_sam_global_opt(SAM_OPT_OUTPUT_FMT, text, table.data(), &a.ga), want);
    }
    for (const char *text : {"nosuchoption", "nosuchoption=3"}) {
        SCOPED_TRACE(text);
        hts_opt *fresh = nullptr;
        const int want = hts_opt_add(&fresh, text);
        hts_opt_free(fresh);
        ASSERT_LT(want, 0);
        Args a;
        EXPECT_EQ(parse_sam_global_opt(SAM_OPT_INPUT_FMT_OPTION, text, table.data(), &a.ga), want);
        EXPECT_EQ(parse_sam_global_opt(SAM_OPT_OUTPUT_FMT_OPTION, text, table.data(), &a.ga), want);
        EXPECT_EQ(a.ga.in.specific, nullptr);
        EXPECT_EQ(a.ga.out.specific, nullptr);
    }
    hts_verbose = saved;
}

// Codes that no entry carries, and entries whose val matches but whose name is not one
// of the six (a prefix, a longer name, another case): -1, the message, record untouched.
TEST(FmtOpts, UnexpectedCodeLeavesRecordUnchanged) {
    const std::vector<option> odd = {
        {"verbose", no_argument, nullptr, 'v'},
        {"input", required_argument, nullptr, 140},
        {"input-fmt-options", required_argument, nullptr, 141},
        {"Threads", required_argument, nullptr, 142},
        {"thread", required_argument, nullptr, 143},
        {"reference", required_argument, nullptr, 150},
        {nullptr, 0, nullptr, 0},
    };
    Args a;
    ASSERT_EQ(parse_sam_global_opt(150, "keep.fa", odd.data(), &a.ga), 0);
    a.ga.nthreads = 3;
    sam_global_args before;
    memcpy(&before, &a.ga, sizeof before);
    for (int c : {int{'v'}, 140, 141, 142, 143, 133, 0, -1, 999}) {
        SCOPED_TRACE(c);
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_sam_global_opt(c, "8", odd.data(), &a.ga), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Unexpected global option: " + std::to_string(c) + "\n");
        EXPECT_EQ(memcmp(&before, &a.ga, sizeof before), 0);
    }
    // An empty table, and no table at all.
    const option empty[] = {{nullptr, 0, nullptr, 0}};
    for (const option *t : {empty, static_cast<const option *>(nullptr)}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_sam_global_opt(SAM_OPT_NTHREADS, "8", t, &a.ga), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unexpected global option: 133\n");
    }
    EXPECT_EQ(memcmp(&before, &a.ga, sizeof before), 0);
}

TEST(FmtOpts, ForeignEntryWithSameValIsPassedOver) {
    // Two entries share the val 't': the first is the subcommand's own, the second threads.
    const option table[] = {
        {"trim", required_argument, nullptr, 't'},
        {"threads", required_argument, nullptr, 't'},
        {nullptr, 0, nullptr, 0},
    };
    Args a;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_sam_global_opt('t', "5", table, &a.ga), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(a.ga.nthreads, 5);
    // Entries after the terminating one are never looked at.
    const option cut[] = {
        {"trim", required_argument, nullptr, 't'},
        {nullptr, 0, nullptr, 0},
        {"threads", required_argument, nullptr, 't'},
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_sam_global_opt('t', "9", cut, &a.ga), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unexpected global option: 116\n");
    EXPECT_EQ(a.ga.nthreads, 5);
}

TEST(FmtOpts, NullArgumentIsRefused) {
    const auto table = subcommand_table(nullptr);
    Args a;
    for (int c = SAM_OPT_INPUT_FMT; c <= SAM_OPT_NTHREADS; ++c)
        EXPECT_EQ(parse_sam_global_opt(c, nullptr, table.data(), &a.ga), -1);
    EXPECT_TRUE(all_zero(a.ga));
}

// The way a subcommand uses the module: its own getopt_long loop hands over the codes it
// does not know.
TEST(FmtOpts, DrivenByGetoptLong) {
    const auto table = subcommand_table("....r@");
    std::vector<std::string> words = {"cmd",
                                      "-v",
                                      "--input-fmt=sam",
                                      "-@",
                                      "3",
                                      "--reference",
                                      "x.fa",
                                      "-r",
                                      "y.fa",
                                      "--output-fmt-option=level=1",
                                      "file.bam"};
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    Args a;
    int verbose = 0, c;
    optind = 0;  // a full reset of getopt's state
    opterr = 0;
    while ((c = getopt_long(static_cast<int>(words.size()), argv.data(), "vo:r:@:", table.data(),
                            nullptr)) >= 0) {
        if (c == 'v')
            ++verbose;
        else
            ASSERT_EQ(parse_sam_global_opt(c, optarg, table.data(), &a.ga), 0) << c;
    }
    EXPECT_EQ(verbose, 1);
    EXPECT_EQ(argv[optind], std::string("file.bam"));
    EXPECT_EQ(a.ga.in.format, sam);
    EXPECT_EQ(a.ga.nthreads, 3);
    EXPECT_STREQ(a.ga.reference, "y.fa");
    EXPECT_EQ(list(a.ga.in).size(), 2u);
    EXPECT_EQ(list(a.ga.out).size(), 3u);
    optind = 1;
}

// The help lines, written out in full here.
const char *const kRowHelp[] = {
    "input-fmt FORMAT[,OPT[=VAL]]...\n"
    "               Specify input format (SAM, BAM, CRAM)\n",
    "input-fmt-option OPT[=VAL]\n"
    "               Specify a single input file format option in the form\n"
    "               of OPTION or OPTION=VALUE\n",
    "output-fmt FORMAT[,OPT[=VAL]]...\n"
    "               Specify output format (SAM, BAM, CRAM)\n",
    "output-fmt-option OPT[=VAL]\n"
    "               Specify a single output file format option in the form\n"
    "               of OPTION or OPTION=VALUE\n",
    "reference FILE\n"
    "               Reference sequence FASTA FILE [null]\n",
    "threads INT\n"
    "               Number of additional threads to use [0]\n",
};

// What a user reads: every line of the full help ends in a newline and fits 80 columns.
TEST(FmtOpts, HelpLinesFitTheTerminal) {
    const std::string text = help("abcdef");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        EXPECT_LE(end - at, 80u) << text.substr(at, end - at);
    }
}

TEST(FmtOpts, HelpForShortoptsShapes) {
    const std::string L = "      --";  // long form only
    auto S = [](char ch) { return std::string("  -") + ch + ", --"; };
    const struct {
        const char *shortopts;
        std::string want;
    } cases[] = {
        {nullptr, ""},
        {"", ""},
        {"-", ""},
        {"------", ""},
        {"---------", ""},
        {".", L + kRowHelp[0]},
        {"i", S('i') + kRowHelp[0]},
        {"-.", L + kRowHelp[1]},
        {".-.--@", L + kRowHelp[0] + L + kRowHelp[2] + S('@') + kRowHelp[5]},
        {"......", L + kRowHelp[0] + L + kRowHelp[1] + L + kRowHelp[2] + L + kRowHelp[3] + L +
                       kRowHelp[4] + L + kRowHelp[5]},
        {"abcdefghij", S('a') + kRowHelp[0] + S('b') + kRowHelp[1] + S('c') + kRowHelp[2] + S('d') +
                           kRowHelp[3] + S('e') + kRowHelp[4] + S('f') + kRowHelp[5]},
        {"----r@", S('r') + kRowHelp[4] + S('@') + kRowHelp[5]},
        {"-----.xyz", L + kRowHelp[5]},
        {"I.O", S('I') + kRowHelp[0] + L + kRowHelp[1] + S('O') + kRowHelp[2]},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shortopts ? c.shortopts : "(null)");
        EXPECT_EQ(help(c.shortopts), c.want);
    }
}

}  // namespace
