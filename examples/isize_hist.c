/* isize_hist.c: insert-size histogram of the read pairs in a SAM, BAM or CRAM file, split by
 * orientation. Each pair is counted once, on its leftmost mate (positive TLEN); secondary,
 * supplementary and unmapped records and pairs across references are left out. */
#include <htslib/sam.h>
#include <isize_store.h>
#include <stdio.h>
#include <stdlib.h>

/* Inward: the leftmost mate forward, the other reverse (--> <--); outward: the reverse of
 * that (<-- -->); other: both on the same strand. */
static void count_pair(isize_t *h, const bam1_t *b) {
    int rev = (b->core.flag & BAM_FREVERSE) != 0, mrev = (b->core.flag & BAM_FMREVERSE) != 0;
    int at = (int)b->core.isize;
    if (rev == mrev)
        h->inc_other(h->data, at);
    else if (!rev)
        h->inc_inward(h->data, at);
    else
        h->inc_outward(h->data, at);
}

int main(int argc, char **argv) {
    const uint16_t skip = BAM_FUNMAP | BAM_FMUNMAP | BAM_FSECONDARY | BAM_FSUPPLEMENTARY;
    samFile *in = NULL;
    sam_hdr_t *hdr = NULL;
    bam1_t *b = bam_init1();
    isize_t *h = init_isize_t(0); /* 0: sparse, any insert size */
    int r = -1, at, status = 1;
    if (argc != 2 || !b || !h) {
        fprintf(stderr, "usage: isize_hist FILE\n");
        goto done;
    }
    if (!(in = sam_open(argv[1], "r")) || !(hdr = sam_hdr_read(in))) {
        fprintf(stderr, "isize_hist: cannot read %s\n", argv[1]);
        goto done;
    }
    while ((r = sam_read1(in, hdr, b)) >= 0)
        if ((b->core.flag & BAM_FPAIRED) && !(b->core.flag & skip) && b->core.tid == b->core.mtid &&
            b->core.isize > 0 && b->core.isize < 2147483647)
            count_pair(h, b);
    if (r < -1) {
        fprintf(stderr, "isize_hist: %s is damaged or truncated\n", argv[1]);
        goto done;
    }
    printf("size\tinward\toutward\tother\n");
    for (at = 1; at < h->nitems(h->data); at++)
        if (h->inward(h->data, at) || h->outward(h->data, at) || h->other(h->data, at))
            printf("%d\t%llu\t%llu\t%llu\n", at, (unsigned long long)h->inward(h->data, at),
                   (unsigned long long)h->outward(h->data, at),
                   (unsigned long long)h->other(h->data, at));
    status = 0;
done:
    if (h) {
        h->isize_free(h->data);
        free(h);
    }
    if (hdr) sam_hdr_destroy(hdr);
    if (in && sam_close(in) < 0) status = 1;
    bam_destroy1(b);
    return status;
}
