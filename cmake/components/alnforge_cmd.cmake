# alnforge/commands: the alnforge command dispatcher, over the commands' entry points.
af_program(alnforge SOURCES alnforge/commands/alnforge.cpp
           LIBS bam_sanity flag_convert report_util AF::hts)
af_test(alnforge_cmd_test SOURCES tests/alnforge/alnforge_cmd_test.cpp DEPENDS alnforge)
