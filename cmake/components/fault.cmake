# Fault injection over every program and module: a preloaded shim makes each call of a small
# fixed workload fail in turn, and the harness checks what the run did about it.
if(AF_TESTS AND NOT AF_TSAN)  # the ThreadSanitizer build runs its thread tests only
  add_library(fault_shim MODULE tests/fault/fault_shim.c)
  # The shim is preloaded into plain and sanitized programs alike, so it is built plain.
  set_target_properties(fault_shim PROPERTIES PREFIX ""
    COMPILE_OPTIONS "-Wall;-Wextra;$<$<BOOL:${AF_WERROR}>:-Werror>"
    LINK_OPTIONS "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(fault_shim PRIVATE ${CMAKE_DL_LIBS})

  add_executable(fault_modules tests/fault/fault_modules.cpp)
  target_link_libraries(fault_modules PRIVATE spill_file isize_store plp_feeder fmt_opts report_util
    AF::hts AF::lz4 ${CMAKE_DL_LIBS})
  # The harness writes its variant inputs, split by contig and indexed, through htslib.
  add_executable(fault_harness tests/fault/fault_harness.cpp)
  target_link_libraries(fault_harness PRIVATE test_common)
  set_target_properties(fault_modules fault_harness PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_dependencies(fault_harness fault_shim fault_modules af_fixture alnforge varforge
    junction_gate fusion_swap mate_tag_strip)

  # Under the sanitizers their runtime must come first in the preload list; its allocator
  # then serves every allocation, so allocation failures are injected in the plain build only.
  set(fault_preload "")
  if(AF_SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
      OUTPUT_VARIABLE fault_preload OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  add_test(NAME fault_harness COMMAND fault_harness --bin ${AF_BIN_DIR}
    --shim $<TARGET_FILE:fault_shim> --modules $<TARGET_FILE:fault_modules>
    --preload "${fault_preload}")
endif()
