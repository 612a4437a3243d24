// Feeds arbitrary bytes, as a file, to the variant-file library's readers: the BCF header
// reader over the BGZF block reader, the join's header union over the header text (the
// header against itself, and against a fixed header, and the joined text it writes), then
// the rest of the stream block by block, then the end-of-file check. Whatever the bytes, each
// must end with a result, never a crash, a leak or a read out of bounds; a header that reads
// must also write out and read back the same.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bgzf_bcf/bcf.h"
#include "bgzf_bcf/bgzf.h"
#include "join/header_union.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in_path = fuzz_scratch_file("vf_fuzz_in"),
                             out_path = fuzz_scratch_file("vf_fuzz_out");
    FILE *f = fopen(in_path.c_str(), "wb");
    if (!f) abort();
    fwrite(data, 1, size, f);
    fclose(f);

    vf::bcf_t *b = vf::bcf_open(in_path.c_str(), "r");
    if (!b) abort();
    vf::bcf_hdr_t *h = vf::bcf_hdr_read(b);
    if (!h && !b->fp->error) abort();  // a refused header always says why
    if (h) {
        if (h->l_txt < 0 || h->txt[h->l_txt] != '\0') abort();
        for (int i = 0; i < h->n_ref; i++) (void)strlen(h->ns[i]);
        for (int i = 0; i < h->n_smpl; i++) (void)strlen(h->sns[i]);
        // Any header that parses fits itself, and a union's text always reads as the union.
        const std::string_view text(h->txt, size_t(h->l_txt));
        static const std::string kFixed =
            "##fileformat=VCFv4.2\n##contig=<ID=chr1>\n##INFO=<ID=DP,Number=1,Type=Integer,"
            "Description=\"d\">\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
        for (bool by_index : {true, false}) {
            vfjoin::HeaderUnion self(by_index), other(by_index);
            std::string out, why;
            if (self.add(text, "a").empty() &&
                (!self.add(text, "b").empty() || !self.output_text(&out, &why)))
                abort();
            if (other.add(kFixed, "a").empty() && other.add(text, "b").empty() &&
                !other.output_text(&out, &why))
                abort();
        }
        const int pending = b->fp->block_length - b->fp->block_offset;
        if (pending < 0 || b->fp->x.fpr->offset > int64_t(size)) abort();

        vf::bcf_t *w = vf::bcf_open(out_path.c_str(), "w");
        if (!w || vf::bcf_hdr_write(w, h) != 0 || vf::bcf_close(w) != 0) abort();
        vf::bcf_t *r = vf::bcf_open(out_path.c_str(), "r");
        vf::bcf_hdr_t *back = r ? vf::bcf_hdr_read(r) : nullptr;
        if (!back || back->l_txt != h->l_txt || memcmp(back->txt, h->txt, size_t(h->l_txt)) != 0 ||
            back->n_ref != h->n_ref || back->n_smpl != h->n_smpl || vf::bgzf_check_EOF(r->fp) != 1)
            abort();
        vf::bcf_hdr_destroy(back);
        vf::bcf_close(r);
        vf::bcf_hdr_destroy(h);

        char buf[4096];
        while (vf::bgzf_read(b->fp, buf, sizeof buf) > 0) {
        }
    }
    const int eof = vf::bgzf_check_EOF(b->fp);
    if (eof < -1 || eof > 1) abort();
    vf::bcf_close(b);
    return 0;
}
