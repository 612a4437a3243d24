af_module(bam_sanity SOURCES alnforge/bam_sanity.cpp HEADERS alnforge/commands.h LIBS AF::hts)
af_test(bam_sanity_test SOURCES tests/alnforge/bam_sanity_test.cpp)
af_bench_script(quickcheck SCRIPT bench/quickcheck.sh)
af_fuzz(quickcheck_fuzz SOURCES fuzz/quickcheck_fuzz.cpp LIBS bam_sanity AF::hts
        SEED_SCRIPT fuzz/seeds/alignments.sh)
