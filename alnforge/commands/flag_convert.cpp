// The flags subcommand: converts alignment flags between numbers and names.
#include <htslib/sam.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "stdout_end.h"

namespace {

// The twelve bits that have names, PAIRED (0x1) to SUPPLEMENTARY (0x800).
constexpr int kNamedBits = 0xfff;
// The FLAG field of an alignment record: 16 bits.
constexpr long kFlagField = 0xffff;

void usage(FILE *fp) {
    fputc('\n', fp);
    fputs("About: Convert between textual and numeric flag representation\n", fp);
    fputs("Usage: alnforge flags INT|STR[,...]\n", fp);
    fputc('\n', fp);
    fputs("Flags:\n", fp);
    fprintf(fp, "\t0x%x\tPAIRED        .. paired-end (or multiple-segment) sequencing technology\n",
            BAM_FPAIRED);
    fprintf(fp, "\t0x%x\tPROPER_PAIR   .. each segment properly aligned according to the aligner\n",
            BAM_FPROPER_PAIR);
    fprintf(fp, "\t0x%x\tUNMAP         .. segment unmapped\n", BAM_FUNMAP);
    fprintf(fp, "\t0x%x\tMUNMAP        .. next segment in the template unmapped\n", BAM_FMUNMAP);
    fprintf(fp, "\t0x%x\tREVERSE       .. SEQ is reverse complemented\n", BAM_FREVERSE);
    fprintf(fp, "\t0x%x\tMREVERSE      .. SEQ of the next segment in the template is reversed\n",
            BAM_FMREVERSE);
    fprintf(fp, "\t0x%x\tREAD1         .. the first segment in the template\n", BAM_FREAD1);
    fprintf(fp, "\t0x%x\tREAD2         .. the last segment in the template\n", BAM_FREAD2);
    fprintf(fp, "\t0x%x\tSECONDARY     .. secondary alignment\n", BAM_FSECONDARY);
    fprintf(fp, "\t0x%x\tQCFAIL        .. not passing quality controls\n", BAM_FQCFAIL);
    fprintf(fp, "\t0x%x\tDUP           .. PCR or optical duplicate\n", BAM_FDUP);
    fprintf(fp, "\t0x%x\tSUPPLEMENTARY .. supplementary alignment\n", BAM_FSUPPLEMENTARY);
    fputc('\n', fp);
}

// The flag value of the argument, or a negative value when it does not parse. htslib reads
// a number with strtol and cuts the long to an int, so a number past the 16-bit flag field
// (99999999999, or -4294967295) would come back wrapped into some other flag set; such a
// number does not parse here.
int parse_flag(const char *arg) {
    char *end;
    errno = 0;
    const long number = strtol(arg, &end, 0);
    if (end != arg && (errno == ERANGE || number < 0 || number > kFlagField)) return -1;
    return bam_str2flag(arg);
}

// Flushes standard output; false, with a message, when what was written to it did not all
// arrive.
bool stdout_flushed() {
    return af::finish_stdout(af::StdoutEnd::kFlush,
                             "alnforge flags: could not write to standard output");
}

}  // namespace

extern "C" int main_flags(int argc, char **argv) {
    if (argc != 2) {
        usage(stderr);
        return 0;
    }
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        fputs(
            "Options:\n"
            "\t-h, --help\tprint this help and exit\n"
            "\t--version\tprint the version and exit\n"
            "\n",
            stdout);
        return stdout_flushed() ? 0 : 1;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("alnforge flags %s\n", AF_PROJECT_VERSION);
        return stdout_flushed() ? 0 : 1;
    }
    int mask = parse_flag(argv[1]);
    if (mask < 0) {
        fprintf(stderr, "Error: Could not parse \"%s\"\n", argv[1]);
        usage(stderr);
        return 1;
    }
    // htslib builds the list of names in a growing string: out of memory, it gives no list,
    // or a list with names left out. Only a list that reads back as the named bits of the
    // value is printed.
    char *names = bam_flag2str(mask);
    if (!names || bam_str2flag(names) != (mask & kNamedBits)) {
        free(names);
        fprintf(stderr, "alnforge flags: out of memory\n");
        return 1;
    }
    printf("0x%x\t%d\t%s\n", mask, mask, names);
    free(names);
    // A result that never reached its destination (a full disk, say) is a failure, not a
    // success.
    return stdout_flushed() ? 0 : 1;
}
