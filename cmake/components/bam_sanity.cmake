# alnforge/commands: bam_sanity, the `alnforge quickcheck` subcommand (entry main_quickcheck);
# it installs commands.h, which declares both commands' entry points.
af_module(bam_sanity HALF commands SOURCES alnforge/commands/bam_sanity.cpp
          HEADERS alnforge/commands/commands.h LIBS AF::hts af_common)
af_test(bam_sanity_test SOURCES tests/alnforge/bam_sanity_test.cpp DEPENDS alnforge)
af_bench_script(quickcheck SCRIPT bench/quickcheck.sh)
af_bench_script(quickcheck_remote SCRIPT bench/quickcheck_remote.sh)
af_fuzz(quickcheck_fuzz SOURCES fuzz/quickcheck_fuzz.cpp LIBS bam_sanity AF::hts
        SEED_SCRIPT fuzz/seeds/alignments.sh)
if(AF_TESTS AND NOT AF_SANITIZE)
  af_executable(quickcheck_gen benchbin SOURCES bench/quickcheck_gen.cpp LIBS AF::hts)
endif()
