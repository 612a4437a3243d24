// `alnforge flags` run as a process: exact output, messages and exit statuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

namespace {

// The usage text, written out here in full rather than built from the program's formats.
const std::string kUsage =
    "\n"
    "About: Convert between textual and numeric flag representation\n"
    "Usage: alnforge flags INT|STR[,...]\n"
    "\n"
    "Flags:\n"
    "\t0x1\tPAIRED        .. paired-end (or multiple-segment) sequencing technology\n"
    "\t0x2\tPROPER_PAIR   .. each segment properly aligned according to the aligner\n"
    "\t0x4\tUNMAP         .. segment unmapped\n"
    "\t0x8\tMUNMAP        .. next segment in the template unmapped\n"
    "\t0x10\tREVERSE       .. SEQ is reverse complemented\n"
    "\t0x20\tMREVERSE      .. SEQ of the next segment in the template is reversed\n"
    "\t0x40\tREAD1         .. the first segment in the template\n"
    "\t0x80\tREAD2         .. the last segment in the template\n"
    "\t0x100\tSECONDARY     .. secondary alignment\n"
    "\t0x200\tQCFAIL        .. not passing quality controls\n"
    "\t0x400\tDUP           .. PCR or optical duplicate\n"
    "\t0x800\tSUPPLEMENTARY .. supplementary alignment\n"
    "\n";

aftest::ProcResult flags(std::vector<std::string> args) {
    args.insert(args.begin(), {aftest::bin("alnforge"), "flags"});
    return aftest::run(args);
}

TEST(FlagConvert, WrongArgumentCountGivesUsageAndSuccess) {
    for (const auto &args :
         std::vector<std::vector<std::string>>{{}, {"99", "4"}, {"a", "b", "c"}}) {
        SCOPED_TRACE(args.size());
        auto r = flags(args);
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kUsage);
    }
}

TEST(FlagConvert, ConvertsNumbersAndNames) {
    struct Case {
        const char *arg;
        const char *out;
    };
    const Case cases[] = {
        {"99", "0x63\t99\tPAIRED,PROPER_PAIR,MREVERSE,READ1\n"},
        {"0x63", "0x63\t99\tPAIRED,PROPER_PAIR,MREVERSE,READ1\n"},
        {"REVERSE,SECONDARY", "0x110\t272\tREVERSE,SECONDARY\n"},
        {"SECONDARY,REVERSE", "0x110\t272\tREVERSE,SECONDARY\n"},
        {"SUPPLEMENTARY", "0x800\t2048\tSUPPLEMENTARY\n"},
        {"0xfff",
         "0xfff\t4095\tPAIRED,PROPER_PAIR,UNMAP,MUNMAP,REVERSE,MREVERSE,READ1,READ2,"
         "SECONDARY,QCFAIL,DUP,SUPPLEMENTARY\n"},
        {"0", "0x0\t0\t\n"},
        // Bits above SUPPLEMENTARY have no names; the named ones are still listed.
        {"0xf063", "0xf063\t61539\tPAIRED,PROPER_PAIR,MREVERSE,READ1\n"},
        // The whole 16-bit flag field, and trailing text after a number, as htslib reads it.
        {"65535",
         "0xffff\t65535\tPAIRED,PROPER_PAIR,UNMAP,MUNMAP,REVERSE,MREVERSE,READ1,READ2,"
         "SECONDARY,QCFAIL,DUP,SUPPLEMENTARY\n"},
        // A hyphen does not start an option: "-0" is just the number 0.
        {"-0", "0x0\t0\t\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arg);
        auto r = flags({c.arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST(FlagConvert, UnparsableArgumentGivesErrorUsageAndStatusOne) {
    // Unknown names, a known name beside an unknown one, a negative number, an argument that
    // looks like an option, and numbers past the 16-bit flag field, which must not wrap into
    // another flag set (99999999999 is 0x4876e7ff cut to an int, -4294967295 is 1).
    for (const char *arg :
         {"FOO", "REVERSE,FOO", "-5", "-v", ",PAIRED", "65536", "0x10000", "99999999999",
          "-4294967295", "0x7fffffffffffffff", "99999999999999999999"}) {
        SCOPED_TRACE(arg);
        auto r = flags({arg});
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("Error: Could not parse \"") + arg + "\"\n" + kUsage);
    }
}

TEST(FlagConvert, FailedWriteIsReported) {
    auto r =
        aftest::run({"/bin/sh", "-c", "exec \"$0\" flags 99 >/dev/full", aftest::bin("alnforge")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "alnforge flags: could not write to standard output: No space left on device\n");
}

}  // namespace
