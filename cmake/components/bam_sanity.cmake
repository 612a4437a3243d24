af_module(bam_sanity SOURCES alnforge/bam_sanity.cpp HEADERS alnforge/commands.h LIBS AF::hts)
af_test(bam_sanity_test SOURCES tests/alnforge/bam_sanity_test.cpp DEPENDS alnforge)
af_bench_script(quickcheck SCRIPT bench/quickcheck.sh)
af_fuzz(quickcheck_fuzz SOURCES fuzz/quickcheck_fuzz.cpp LIBS bam_sanity AF::hts
        SEED_SCRIPT fuzz/seeds/alignments.sh)
if(AF_TESTS AND NOT AF_SANITIZE)
  af_executable(quickcheck_gen benchbin SOURCES bench/quickcheck_gen.cpp LIBS AF::hts)
endif()
