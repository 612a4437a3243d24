// The flags subcommand: converts alignment flags between numbers and names.
#include <htslib/sam.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"

namespace {

// The twelve bits that have names, PAIRED (0x1) to SUPPLEMENTARY (0x800).
constexpr int kNamedBits = 0xfff;

void usage() {
    fputc('\n', stderr);
    fputs("About: Convert between textual and numeric flag representation\n", stderr);
    fputs("Usage: alnforge flags INT|STR[,...]\n", stderr);
    fputc('\n', stderr);
    fputs("Flags:\n", stderr);
    fprintf(stderr,
            "\t0x%x\tPAIRED        .. paired-end (or multiple-segment) sequencing technology\n",
            BAM_FPAIRED);
    fprintf(stderr,
            "\t0x%x\tPROPER_PAIR   .. each segment properly aligned according to the aligner\n",
            BAM_FPROPER_PAIR);
    fprintf(stderr, "\t0x%x\tUNMAP         .. segment unmapped\n", BAM_FUNMAP);
    fprintf(stderr, "\t0x%x\tMUNMAP        .. next segment in the template unmapped\n",
            BAM_FMUNMAP);
    fprintf(stderr, "\t0x%x\tREVERSE       .. SEQ is reverse complemented\n", BAM_FREVERSE);
    fprintf(stderr,
            "\t0x%x\tMREVERSE      .. SEQ of the next segment in the template is reversed\n",
            BAM_FMREVERSE);
    fprintf(stderr, "\t0x%x\tREAD1         .. the first segment in the template\n", BAM_FREAD1);
    fprintf(stderr, "\t0x%x\tREAD2         .. the last segment in the template\n", BAM_FREAD2);
    fprintf(stderr, "\t0x%x\tSECONDARY     .. secondary alignment\n", BAM_FSECONDARY);
    fprintf(stderr, "\t0x%x\tQCFAIL        .. not passing quality controls\n", BAM_FQCFAIL);
    fprintf(stderr, "\t0x%x\tDUP           .. PCR or optical duplicate\n", BAM_FDUP);
    fprintf(stderr, "\t0x%x\tSUPPLEMENTARY .. supplementary alignment\n", BAM_FSUPPLEMENTARY);
    fputc('\n', stderr);
}

}  // namespace

extern "C" int main_flags(int argc, char **argv) {
    if (argc != 2) {
        usage();
        return 0;
    }
    int mask = bam_str2flag(argv[1]);
    if (mask < 0) {
        fprintf(stderr, "Error: Could not parse \"%s\"\n", argv[1]);
        usage();
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
    const bool written = printf("0x%x\t%d\t%s\n", mask, mask, names) >= 0 && fflush(stdout) == 0;
    const int write_errno = errno;
    free(names);
    // A result that never reached its destination (a full disk, say) is a failure, not a
    // success: say so and give a non-zero status.
    if (!written) {
        fprintf(stderr, "alnforge flags: could not write the result: %s\n", strerror(write_errno));
        return 1;
    }
    return 0;
}
