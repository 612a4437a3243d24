# The three table programs: junction_gate, fusion_swap, mate_tag_strip.
af_program(junction_gate SOURCES table_tools/junction_gate.cpp)
af_program(fusion_swap SOURCES table_tools/fusion_swap.cpp)
af_program(mate_tag_strip SOURCES table_tools/mate_tag_strip.cpp)

af_test(junction_gate_test SOURCES tests/table_tools/junction_gate_test.cpp)
if(TARGET junction_gate_test)
  add_dependencies(junction_gate_test junction_gate)
endif()
af_test(fusion_swap_test SOURCES tests/table_tools/fusion_swap_test.cpp)
af_test(mate_tag_strip_test SOURCES tests/table_tools/mate_tag_strip_test.cpp)
if(TARGET fusion_swap_test)
  add_dependencies(fusion_swap_test fusion_swap)
  add_dependencies(mate_tag_strip_test mate_tag_strip)
endif()
af_fuzz(junction_gate_fuzz SOURCES fuzz/junction_gate_fuzz.cpp SEED_SCRIPT fuzz/seeds/tables.sh)

# bench/tables: each program against awk with fflush per line and a getline + write(2) floor.
af_bench(tables SOURCES bench/tables.cpp)
if(TARGET tables)
  add_executable(tables_floor bench/tables_floor.c)
  set_target_properties(tables_floor PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/benchbin)
  target_compile_definitions(tables PRIVATE TABLES_FLOOR="$<TARGET_FILE:tables_floor>"
                             AF_BIN_DIR="${AF_BIN_DIR}")
  add_dependencies(tables tables_floor junction_gate fusion_swap mate_tag_strip)
endif()
