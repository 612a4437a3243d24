# alnforge/modules: report_util, error lines and version text. Its headers include
# alnforge_attr.h, the attributes every public header shares, installed with them.
af_module(report_util HALF modules SOURCES alnforge/modules/report_util.cpp
          HEADERS alnforge/modules/report_util.h alnforge/modules/alnforge_attr.h)
af_test(report_util_test SOURCES tests/alnforge/report_util_test.cpp LIBS report_util)
