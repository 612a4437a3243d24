# alnforge/modules: fmt_opts, the shared format, reference and thread options.
af_module(fmt_opts HALF modules SOURCES alnforge/modules/fmt_opts.cpp
          HEADERS alnforge/modules/fmt_opts.h LIBS AF::hts)
af_test(fmt_opts_test SOURCES tests/alnforge/fmt_opts_test.cpp LIBS fmt_opts)
# Out-of-memory paths, failed by the fault shim.
af_test(fmt_opts_alloc_test SOURCES tests/alnforge/fmt_opts_alloc_test.cpp LIBS fmt_opts)
af_fault_shim(fmt_opts_alloc_test)
