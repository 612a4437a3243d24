# The modules used from four threads at once, each thread with its own handles. `make test`
# also runs it built with ThreadSanitizer (AF_TSAN, build-tsan/).
af_test(module_threads_test SOURCES tests/alnforge/module_threads_test.cpp
        LIBS spill_file isize_store plp_feeder fmt_opts report_util AF::hts AF::lz4)
