# The alnforge command dispatcher.
af_program(alnforge SOURCES alnforge/alnforge.cpp LIBS bam_sanity flag_convert report_util AF::hts)
af_test(alnforge_cmd_test SOURCES tests/alnforge/alnforge_cmd_test.cpp DEPENDS alnforge)
