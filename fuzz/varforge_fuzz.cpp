// Feeds arbitrary bytes, as a file, to the join's readers: the examination of an input (its
// BGZF blocks, its BCF or VCF header, the records that share the header's block, the
// end-of-file block), the header union over the header text (the header against itself, and
// against a fixed header, and the joined text it writes), then the walk of the data blocks.
// Whatever the bytes, each must end with a result, never a crash, a leak or a read out of
// bounds; a header that reads must also write out and be examined back the same.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "join/copy.h"
#include "join/header_union.h"
#include "join/input.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in_path = fuzz_scratch_file("vf_fuzz_in"),
                             out_path = fuzz_scratch_file("vf_fuzz_out");
    FILE *f = fopen(in_path.c_str(), "wb");
    if (!f) abort();
    fwrite(data, 1, size, f);
    fclose(f);

    vfjoin::Input in;
    in.name = in_path.c_str();
    std::string why;
    if (!vfjoin::examine(&in, false, true, {}, &why)) {
        if (why.empty()) abort();  // a refused input always says why
        return 0;
    }
    if (in.tail_from > in.tail_len || (in.tail_bytes() > 0) != bool(in.tail) ||
        in.data_start > int64_t(size) || in.data_start < in.tail_block)
        abort();
    // Any header that parses fits itself, and a union's text always reads as the union.
    static const std::string kFixed =
        "##fileformat=VCFv4.2\n##contig=<ID=chr1>\n##INFO=<ID=DP,Number=1,Type=Integer,"
        "Description=\"d\">\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
    for (bool by_index : {true, false}) {
        vfjoin::HeaderUnion self(by_index), other(by_index);
        std::string out;
        if (self.add(in.text, "a").empty() &&
            (!self.add(in.text, "b").empty() || !self.output_text(&out, &why)))
            abort();
        if (other.add(kFixed, "a").empty() && other.add(in.text, "b").empty() &&
            !other.output_text(&out, &why))
            abort();
    }
    // The header written as the join writes it reads back the same.
    const int fd = open(out_path.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    vfjoin::Fault fault;
    {
        vfjoin::Copier copier(fd, out_path);
        if (!copier.header(in.text, in.kind, in.minor, &fault) || !copier.finish(&fault)) abort();
    }
    close(fd);
    vfjoin::Input back;
    back.name = out_path.c_str();
    if (!vfjoin::examine(&back, false, true, {}, &why) || back.text != in.text ||
        back.kind != in.kind || back.tail_bytes() != 0)
        abort();
    if (!vfjoin::walk_input(in, &why) && why.empty()) abort();
    return 0;
}
