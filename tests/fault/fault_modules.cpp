// fault_modules MODE: one small, fixed use of a toolkit module, for the fault harness.
// MODE is spill, spill-close, isize, plp, fmt or err. Only the module's work runs with the fault
// shim armed (fault_arm, looked up at run time; without the shim this runs plainly). What the
// module produced is printed on standard output afterwards; a failure the module returned
// is named on standard error with exit status 1.
#include <dlfcn.h>
#include <htslib/sam.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fmt_opts.h"
#include "isize_store.h"
#include "plp_feeder.h"
#include "report_util.h"
#include "spill_file.h"

namespace {

char result[4096];  // filled while armed: no allocation of our own
size_t used = 0;
void (*arm)(int) = nullptr;  // the shim's fault_arm, when it is preloaded

void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(result + used, sizeof result - used, fmt, ap);
    va_end(ap);
    if (n > 0) used = std::min(sizeof result - 1, used + size_t(n));
}

int failed(const char *what, long r) {
    note("FAILED %s: %ld\n", what, r);
    return 1;
}

bool set_read(bam1_t *b, int i) {
    char name[16], seq[9] = "ACGTACGT", qual[9] = "IIIIIIII";
    snprintf(name, sizeof name, "r%d", i);
    uint32_t cigar = 8 << BAM_CIGAR_SHIFT | BAM_CMATCH;
    return bam_set1(b, strlen(name), name, 0, 0, 3 * i, 60, 1, &cigar, -1, -1, 0, 8, seq, qual,
                    0) >= 0;
}

// 250 records through a spill file and back: three groups, the last one partial.
int run_spill(bam1_t *b, bam1_t *back) {
    spill_file_t sf;
    int r = spill_file_open_write(&sf, "spill", 1);
    for (int i = 0; r == 0 && i < 250; i++) {
        if (!set_read(b, i)) return failed("bam_set1", -1);
        r = spill_file_write(&sf, b);
    }
    if (r == 0) r = spill_file_end_write(&sf);
    if (r == 0) r = spill_file_begin_read(&sf, back);
    long n = 0, bytes = 0, got = 0;
    while (r == 0 && (got = spill_file_read(&sf, back)) > 0) {
        n++;
        bytes += got;
    }
    if (r == 0 && got < 0) r = int(got);
    if (r == 0) note("records %ld bytes %ld last %s\n", n, bytes, bam_get_qname(back));
    int d = spill_file_destroy(&sf, back, 0);
    if (r != 0) return failed("spill_file", r);
    if (d == EOF) return failed("spill_file_destroy", d);
    return 0;
}

// 250 records through a spill file that is then closed, not read back. Its name is gone, so
// only a descriptor kept aside (outside the armed stretch) still reaches the bytes: what the
// close left in the file is printed, and a close that lost the last group while returning 0
// shows as different bytes under exit status 0.
int run_spill_close(bam1_t *b) {
    spill_file_t sf;
    int r = spill_file_open_write(&sf, "spill", 1);
    for (int i = 0; r == 0 && i < 250; i++) {
        if (!set_read(b, i)) return failed("bam_set1", -1);
        r = spill_file_write(&sf, b);
    }
    if (arm) arm(0);
    const int kept = r == 0 ? dup(fileno(sf.fp)) : -1;
    if (arm) arm(1);
    if (r == 0 && kept < 0) r = -2;
    if (r == 0) r = spill_file_close_write(&sf);
    const int d = spill_file_destroy(&sf, nullptr, 0);
    if (arm) arm(0);
    struct stat st;
    uint64_t hash = 14695981039346656037ull;  // FNV-1a over the file's bytes
    unsigned char buf[4096];
    ssize_t got = 0;
    for (off_t at = 0; r == 0 && (got = pread(kept, buf, sizeof buf, at)) > 0; at += got)
        for (ssize_t i = 0; i < got; i++) hash = (hash ^ buf[i]) * 1099511628211ull;
    const bool seen = r == 0 && got == 0 && fstat(kept, &st) == 0;
    if (kept >= 0) close(kept);
    if (arm) arm(1);
    if (r != 0) return failed("spill_file", r);
    if (d != 0) return failed("spill_file_destroy", d);
    if (!seen) return failed("reading the kept descriptor", -1);
    note("closed %lld bytes hash %016llx\n", static_cast<long long>(st.st_size),
         static_cast<unsigned long long>(hash));
    return 0;
}

int run_isize() {
    int rc = 0;
    for (int bound : {0, 600}) {
        isize_t *h = init_isize_t(bound);
        if (!h) return failed("init_isize_t", bound);
        for (int i = 0; i < 200; i++) h->inc_inward(h->data, (i * 37) % 500);
        h->set_outward(h->data, 123, 7);
        h->inc_other(h->data, 499);
        uint64_t sum = 0;
        for (int at = 0; at < h->nitems(h->data); at++)
            sum += h->inward(h->data, at) * 3 + h->outward(h->data, at) * 5 + h->other(h->data, at);
        note("bound %d nitems %d sum %llu\n", bound, h->nitems(h->data), (unsigned long long)sum);
        h->isize_free(h->data);
        free(h);
    }
    return rc;
}

int column(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t *, void *) {
    note("%u:%u:%d ", tid, pos, n);
    return 0;
}

int run_plp(bam1_t *b) {
    plp_feeder_t *f = plp_feeder_init(column, nullptr);
    if (!f) return failed("plp_feeder_init", 0);
    int r = 0;
    for (int i = 0; r >= 0 && i < 40; i++) {
        if (!set_read(b, i)) return failed("bam_set1", -1);
        r = plp_feeder_push(b, f);
    }
    if (r >= 0) r = plp_feeder_push(nullptr, f);
    plp_feeder_destroy(f);
    if (r < 0) return failed("plp_feeder_push", r);
    note("\n");
    return 0;
}

int run_fmt() {
    const struct option table[] = {
        {"input-fmt", required_argument, nullptr, SAM_OPT_INPUT_FMT},
        {"input-fmt-option", required_argument, nullptr, SAM_OPT_INPUT_FMT_OPTION},
        {"output-fmt", required_argument, nullptr, SAM_OPT_OUTPUT_FMT},
        {"output-fmt-option", required_argument, nullptr, SAM_OPT_OUTPUT_FMT_OPTION},
        {"reference", required_argument, nullptr, 'T'},
        {"threads", required_argument, nullptr, '@'},
        {nullptr, 0, nullptr, 0},
    };
    const struct {
        int c;
        const char *arg;
    } given[] = {{SAM_OPT_INPUT_FMT, "cram,decode_md=0"},
                 {SAM_OPT_INPUT_FMT_OPTION, "required_fields=0x1ff"},
                 {SAM_OPT_OUTPUT_FMT, "bam,level=3"},
                 {SAM_OPT_OUTPUT_FMT_OPTION, "nthreads=2"},
                 {'T', "ref.fa"},
                 {'@', "4"}};
    sam_global_args ga;
    sam_global_args_init(&ga);
    int rc = 0;
    for (const auto &g : given) {
        if (parse_sam_global_opt(g.c, g.arg, table, &ga) < 0) {
            rc = failed(g.arg, -1);
            break;
        }
    }
    if (rc == 0) {
        int opts = 0;
        for (auto *o = static_cast<hts_opt *>(ga.in.specific); o; o = o->next) opts++;
        for (auto *o = static_cast<hts_opt *>(ga.out.specific); o; o = o->next) opts++;
        note("in %d out %d options %d reference %s threads %d\n", ga.in.format, ga.out.format, opts,
             ga.reference, ga.nthreads);
        // The help goes to standard output; a write it could not make shows in the stream.
        sam_global_opt_help(stdout, "-.--T@");
        if (fflush(stdout) != 0 || ferror(stdout)) rc = failed("sam_global_opt_help", errno);
    }
    sam_global_args_free(&ga);
    return rc;
}

// Error lines go to standard error (counted for this mode): a caller can only see a failed
// write in the stream's error flag, which the module must leave set.
int run_err() {
    print_error("view", "cannot open %s", "in.bam");
    errno = ENOENT;
    print_error_errno("sort", "cannot write %s", "out.bam");
    print_error(nullptr, "no command");
    const char *v = alnforge_version_short();
    if (!v) return failed("alnforge_version_short", 0);
    note("version %s\n", v);
    free(const_cast<char *>(v));
    if (ferror(stderr) || ferror(stdout)) return failed("print_error", errno);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "Usage: fault_modules spill|spill-close|isize|plp|fmt|err\n");
        return 2;
    }
    const char *mode = argv[1];
    arm = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "fault_arm"));
    bam1_t *b = bam_init1(), *back = bam_init1();
    if (!b || !back) return 2;
    if (arm) arm(1);
    int rc = 2;
    if (strcmp(mode, "spill") == 0) rc = run_spill(b, back);
    if (strcmp(mode, "spill-close") == 0) rc = run_spill_close(b);
    if (strcmp(mode, "isize") == 0) rc = run_isize();
    if (strcmp(mode, "plp") == 0) rc = run_plp(b);
    if (strcmp(mode, "fmt") == 0) rc = run_fmt();
    if (strcmp(mode, "err") == 0) rc = run_err();
    if (arm) arm(0);
    bam_destroy1(b);
    bam_destroy1(back);
    // The error-lines mode cannot name its failure on standard error, which it tests.
    fputs(result, rc != 0 && strcmp(mode, "err") != 0 ? stderr : stdout);
    return rc;
}
