# alnforge/modules: plp_feeder, the pileup feeder: push-style adaptor over htslib's pileup
# engine.
af_module(plp_feeder HALF modules SOURCES alnforge/modules/plp_feeder.cpp
          HEADERS alnforge/modules/plp_feeder.h LIBS AF::hts)
af_test(plp_feeder_test SOURCES tests/alnforge/plp_feeder_test.cpp LIBS plp_feeder AF::hts)
af_bench(pileup SOURCES bench/pileup.cpp LIBS plp_feeder AF::hts)
