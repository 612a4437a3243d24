# The joined file's index, merged from the inputs' own indexes (varforge/join/index_format for
# the index files, varforge/join/index_merge for the merge): the library, its test against
# htslib's own indexes, and the index reader's fuzz target.
add_library(varforge_index STATIC varforge/join/index_format.cpp varforge/join/index_merge.cpp
  varforge/join/temp_files.cpp)
target_include_directories(varforge_index PUBLIC ${CMAKE_SOURCE_DIR}/varforge)
target_link_libraries(varforge_index PUBLIC AF::hts)

af_test(index_merge_test SOURCES tests/varforge/index_merge_test.cpp
        LIBS varforge_index AF::hts AF::z DEPENDS varforge)

af_fuzz(index_fuzz SOURCES fuzz/index_fuzz.cpp LIBS varforge_index
        SEED_SCRIPT fuzz/seeds/index.sh)
