# The three table programs: junction_gate, fusion_swap, mate_tag_strip. Each is one source
# over the shared header-only plumbing beside it (line_io.h; junction_gate's line scanner in
# junction_scan.h).

# The scanner, for the program and for its test and fuzz target: table_tools/ only, so that
# the program sees nothing of the tests.
add_library(junction_scan INTERFACE)
target_include_directories(junction_scan INTERFACE ${CMAKE_SOURCE_DIR}/table_tools)

af_program(junction_gate SOURCES table_tools/junction_gate.cpp LIBS junction_scan)
af_program(fusion_swap SOURCES table_tools/fusion_swap.cpp)
af_program(mate_tag_strip SOURCES table_tools/mate_tag_strip.cpp)

af_test(junction_gate_test SOURCES tests/table_tools/junction_gate_test.cpp LIBS junction_scan
        DEPENDS junction_gate)
af_test(fusion_swap_test SOURCES tests/table_tools/fusion_swap_test.cpp DEPENDS fusion_swap)
af_test(mate_tag_strip_test SOURCES tests/table_tools/mate_tag_strip_test.cpp
        DEPENDS mate_tag_strip)
af_fuzz(junction_gate_fuzz SOURCES fuzz/junction_gate_fuzz.cpp LIBS junction_scan
        SEED_SCRIPT fuzz/seeds/tables.sh)
if(TARGET junction_gate_fuzz)
  # The sscanf reading it holds the scanner to (the tests get it through test_common).
  target_include_directories(junction_gate_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/tests/common)
endif()

# bench/tables: each program against awk with fflush per line and a getline + write(2) floor.
af_bench(tables SOURCES bench/tables.cpp DEPENDS junction_gate fusion_swap mate_tag_strip)
if(TARGET tables)
  af_executable(tables_floor benchbin SOURCES bench/tables_floor.c)
  target_compile_definitions(tables PRIVATE TABLES_FLOOR="$<TARGET_FILE:tables_floor>"
                             AF_BIN_DIR="${AF_BIN_DIR}")
  add_dependencies(tables tables_floor)
endif()
