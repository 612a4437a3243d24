// The `view` command, on htslib's reader and VCF writer. Kept in a translation unit of its
// own: htslib's C names (bcf_open, bcf_hdr_read, ...) and the library's must not meet.
#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/vcf.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "options.h"

namespace {

const char kViewUsage[] =
    "Usage:   varforge view <in.bcf|in.vcf|in.vcf.gz>\n"
    "\n"
    "Prints the file's header and records as VCF text on standard output.\n"
    "A file name of '-' reads standard input.\n"
    "\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n";

int view_file(const char *fn) {
    htsFile *in = hts_open(fn, "r");
    if (!in) {
        fprintf(stderr, "[bcfview] %s: %s\n", fn, errno ? strerror(errno) : "cannot open");
        return 1;
    }
    const htsFormat *f = hts_get_format(in);
    if (f->category != variant_data || (f->format != bcf && f->format != vcf)) {
        fprintf(stderr, "[bcfview] %s: not a BCF or VCF file\n", fn);
        hts_close(in);
        return 1;
    }
    bcf_hdr_t *h = bcf_hdr_read(in);
    if (!h) {
        fprintf(stderr, "[bcfview] %s: cannot read the header\n", fn);
        hts_close(in);
        return 1;
    }
    htsFile *out = hts_open("-", "w");
    int status = 0;
    if (!out || bcf_hdr_write(out, h) != 0) {
        fprintf(stderr, "[bcfview] error writing to standard output\n");
        status = 1;
    }
    bcf1_t *rec = bcf_init();
    if (!rec && status == 0) {
        fprintf(stderr, "[bcfview] out of memory\n");
        status = 1;
    }
    while (status == 0) {
        int r = bcf_read(in, h, rec);
        if (r == -1) break;
        if (r < -1) {
            fprintf(stderr, "[bcfview] %s: damaged or truncated record\n", fn);
            status = 1;
            break;
        }
        // Formatting a record that read cleanly fails only when memory runs out, and then
        // htslib ends the process; its own message is the only one the user would see.
        hts_set_log_level(HTS_LOG_ERROR);
        r = bcf_write(out, h, rec);
        hts_set_log_level(HTS_LOG_OFF);
        if (r != 0) {
            fprintf(stderr, "[bcfview] error writing to standard output\n");
            status = 1;
        }
    }
    if (rec) bcf_destroy(rec);
    if (out && hts_close(out) != 0 && status == 0) {
        fprintf(stderr, "[bcfview] error writing to standard output\n");
        status = 1;
    }
    bcf_hdr_destroy(h);
    hts_close(in);
    return status;
}

}  // namespace

extern "C" int bcfview(int argc, char **argv) {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kViewUsage, stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("varforge view %s\n", AF_PROJECT_VERSION);
        return 0;
    }
    if (refuse_unknown_option(argc, argv, "bcfview", kViewUsage)) return 1;
    if (argc != 2) {
        fputs(kViewUsage, stderr);
        return 1;
    }
    hts_set_log_level(HTS_LOG_OFF);  // our own messages name the file and the fault
    return view_file(argv[1]);
}
