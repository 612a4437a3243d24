# report_util: error lines and version text. Its headers include alnforge_attr.h, the
# attributes every public header shares, installed with them.
af_module(report_util SOURCES alnforge/report_util.cpp
          HEADERS alnforge/report_util.h alnforge/alnforge_attr.h)
af_test(report_util_test SOURCES tests/alnforge/report_util_test.cpp LIBS report_util)
