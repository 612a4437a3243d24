// join: `varforge cat`, the joining of BCF files by copying their compressed blocks.
//
// Every input is opened once and checked (input.h) before the first byte is written, the
// headers are united into one that every input's records read under (header_union.h), and
// then the output gets that header and each input's records in order (copy.h), followed by
// one end-of-file block. A join that fails at any point writes nothing more and ends its
// output without an end-of-file block, so that it never reads as complete; with `-o FILE`
// the output is a temporary file that replaces FILE only at the end (output.h).
#ifndef VARFORGE_JOIN_JOIN_H
#define VARFORGE_JOIN_JOIN_H

namespace vfjoin {

// Runs `varforge cat` with its arguments (the words after "cat"); returns the exit status.
int cat_command(int argc, const char **argv);

}  // namespace vfjoin

#endif
