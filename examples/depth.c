/* depth.c: per-position read depth of a coordinate-sorted SAM, BAM or CRAM file, through the
 * pileup feeder: records are pushed one at a time and every column they complete comes back
 * in a callback. */
#include <htslib/sam.h>
#include <plp_feeder.h>
#include <stdio.h>

static int print_column(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t *pl, void *data) {
    (void)pl;
    printf("%s\t%u\t%d\n", sam_hdr_tid2name((sam_hdr_t *)data, (int)tid), pos + 1, n);
    return 0;
}

int main(int argc, char **argv) {
    samFile *in = NULL;
    sam_hdr_t *hdr = NULL;
    bam1_t *b = bam_init1();
    plp_feeder_t *f = NULL;
    int r, status = 1;
    if (argc != 2 || !b) {
        fprintf(stderr, "usage: depth FILE\n");
        goto done;
    }
    if (!(in = sam_open(argv[1], "r")) || !(hdr = sam_hdr_read(in))) {
        fprintf(stderr, "depth: cannot read %s\n", argv[1]);
        goto done;
    }
    if (!(f = plp_feeder_init(print_column, hdr))) goto done;
    while ((r = sam_read1(in, hdr, b)) >= 0)
        if (plp_feeder_push(b, f) < 0) {
            fprintf(stderr, "depth: %s is not sorted by position\n", argv[1]);
            goto done;
        }
    if (r < -1) {
        fprintf(stderr, "depth: %s is damaged or truncated\n", argv[1]);
        goto done;
    }
    /* A null record ends the input: the columns still open are delivered now. */
    if (plp_feeder_push(NULL, f) < 0) goto done;
    status = 0;
done:
    plp_feeder_destroy(f);
    if (hdr) sam_hdr_destroy(hdr);
    if (in && sam_close(in) < 0) status = 1;
    bam_destroy1(b);
    return status;
}
