# The alnforge command dispatcher.
af_program(alnforge SOURCES alnforge/alnforge.cpp LIBS bam_sanity flag_convert report_util AF::hts)
af_test(alnforge_cmd_test SOURCES tests/alnforge/alnforge_cmd_test.cpp)
if(TARGET alnforge_cmd_test)
  add_dependencies(alnforge_cmd_test alnforge)
endif()
