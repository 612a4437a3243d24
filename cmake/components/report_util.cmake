af_module(report_util SOURCES alnforge/report_util.cpp HEADERS alnforge/report_util.h)
af_test(report_util_test SOURCES tests/alnforge/report_util_test.cpp LIBS report_util)
