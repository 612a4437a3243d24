# alnforge/modules: fmt_opts, the shared format, reference and thread options.
af_module(fmt_opts HALF modules SOURCES alnforge/modules/fmt_opts.cpp
          HEADERS alnforge/modules/fmt_opts.h LIBS AF::hts)
af_test(fmt_opts_test SOURCES tests/alnforge/fmt_opts_test.cpp LIBS fmt_opts)
# Out-of-memory paths: the test supplies __wrap_malloc, which the linker puts in place of
# malloc for the objects linked here (the module's own calls, not those inside libhts).
af_test(fmt_opts_alloc_test SOURCES tests/alnforge/fmt_opts_alloc_test.cpp LIBS fmt_opts)
if(TARGET fmt_opts_alloc_test)
  target_link_options(fmt_opts_alloc_test PRIVATE -Wl,--wrap=malloc)
endif()
