# alnforge/modules: spill_file, the record spill file: module, unit tests, benchmark and reader
# fuzz target.
af_module(spill_file HALF modules SOURCES alnforge/modules/spill_file.cpp
          HEADERS alnforge/modules/spill_file.h LIBS AF::hts AF::lz4)
af_test(spill_file_test SOURCES tests/alnforge/spill_file_test.cpp LIBS spill_file AF::hts AF::lz4)
af_fuzz(spill_fuzz SOURCES fuzz/spill_fuzz.cpp LIBS spill_file AF::hts AF::lz4
        SEED_SCRIPT fuzz/seeds/spill.sh)
af_bench(spill_bench SOURCES bench/spill_bench.cpp LIBS spill_file AF::hts AF::lz4)
