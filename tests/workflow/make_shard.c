/* make_shard: writes a VCF text file as BCF (BGZF-compressed), for the workflow test.
 *   make_shard IN.vcf OUT.bcf */
#include <stdio.h>
#include <htslib/vcf.h>

int main(int argc, char **argv) {
    htsFile *in, *out;
    bcf_hdr_t *hdr;
    bcf1_t *rec = bcf_init();
    int r = 0, status = 1;
    if (argc != 3 || !rec) return 1;
    if (!(in = hts_open(argv[1], "r"))) return 1;
    if ((hdr = bcf_hdr_read(in)) && (out = hts_open(argv[2], "wb"))) {
        if (bcf_hdr_write(out, hdr) == 0) {
            while ((r = bcf_read(in, hdr, rec)) == 0)
                if (bcf_write(out, hdr, rec) != 0) break;
            status = r == -1 ? 0 : 1;
        }
        if (hts_close(out) != 0) status = 1;
    }
    if (hdr) bcf_hdr_destroy(hdr);
    bcf_destroy(rec);
    hts_close(in);
    if (status) fprintf(stderr, "make_shard: cannot convert %s to %s\n", argv[1], argv[2]);
    return status;
}
