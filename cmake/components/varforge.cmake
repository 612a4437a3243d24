# The varforge program: the driver (varforge/main.cpp) over two rooms of its own.
#  - varforge/join: `cat`, the join: a short driver of named steps over one byte layer
#    (sources of bytes at offsets, BGZF blocks), input checks, the header union (which asks
#    htslib's header parser what a header means), the copy, the index and the commit;
#  - varforge/hts_commands: the `view` and `index` commands, on htslib.
add_library(varforge_cmds STATIC varforge/hts_commands/bcf_view.cpp varforge/hts_commands/bcf_index.cpp)
target_link_libraries(varforge_cmds PUBLIC AF::hts)

add_library(varforge_join STATIC
  varforge/join/options.cpp varforge/join/join.cpp varforge/join/source.cpp
  varforge/join/bgzf_blocks.cpp varforge/join/input.cpp varforge/join/header_union.cpp
  varforge/join/pool.cpp varforge/join/prepare.cpp varforge/join/order.cpp
  varforge/join/copy.cpp varforge/join/commit.cpp varforge/join/progress.cpp
  varforge/join/fetch.cpp varforge/join/s3.cpp varforge/join/s3_xml.cpp
  varforge/join/part_plan.cpp varforge/join/object_writer.cpp varforge/join/object_out.cpp)
target_link_libraries(varforge_join PUBLIC varforge_index AF::hts AF::z AF::deflate CURL::libcurl)
target_include_directories(varforge_join PUBLIC ${CMAKE_SOURCE_DIR}/varforge)

af_program(varforge SOURCES varforge/main.cpp LIBS varforge_join varforge_cmds)

af_test(varforge_test SOURCES tests/varforge/varforge_test.cpp tests/varforge/cat_join_test.cpp
        LIBS AF::hts AF::z DEPENDS varforge)
af_test(join_bytes_test SOURCES tests/varforge/join_bytes_test.cpp
        LIBS varforge_join AF::hts AF::z)
# The plan of a multipart upload and its writer's threads (also run under ThreadSanitizer).
af_test(join_upload_test SOURCES tests/varforge/join_upload_test.cpp LIBS varforge_join)
af_test(join_remote_test SOURCES tests/varforge/join_remote_test.cpp
        LIBS varforge_join AF::hts AF::z DEPENDS varforge)
af_test(join_object_test SOURCES tests/varforge/join_object_test.cpp
        LIBS AF::hts AF::z DEPENDS varforge)
af_bench(cat SOURCES bench/cat.cpp LIBS AF::hts DEPENDS varforge)
if(TARGET cat)
  # The same join without the walks of the inputs' blocks, to show what they cost.
  af_executable(varforge_unchecked benchbin SOURCES bench/varforge_unchecked.cpp
    LIBS varforge_join)
  target_compile_definitions(cat PRIVATE VF_BIN_DIR="${AF_BIN_DIR}"
    VF_UNCHECKED="$<TARGET_FILE:varforge_unchecked>")
  add_dependencies(cat varforge_unchecked)
endif()

af_bench(gather SOURCES bench/gather.cpp LIBS AF::hts DEPENDS varforge)
if(TARGET gather)
  target_compile_definitions(gather PRIVATE VF_BIN_DIR="${AF_BIN_DIR}")
endif()
# The same gather over http, through a delaying proxy, against curl (nginx and curl needed).
af_bench(gather_remote SOURCES bench/gather_remote.cpp LIBS AF::hts DEPENDS varforge)
if(TARGET gather_remote)
  target_compile_definitions(gather_remote PRIVATE VF_BIN_DIR="${AF_BIN_DIR}"
    VF_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()

af_fuzz(varforge_fuzz SOURCES fuzz/varforge_fuzz.cpp LIBS varforge_join
        SEED_SCRIPT fuzz/seeds/varforge.sh)
# The S3 requests of the join, against the S3 test server (skipped where it is not installed).
af_test(join_s3_test SOURCES tests/varforge/join_s3_test.cpp LIBS varforge_join)
# The readers of remote servers' answers: the store's XML, an object's last bytes' range.
af_fuzz(s3_xml_fuzz SOURCES fuzz/s3_xml_fuzz.cpp LIBS varforge_join
        SEED_SCRIPT fuzz/seeds/s3_xml.sh)
if(TARGET s3_xml_fuzz)
  target_include_directories(s3_xml_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/varforge)
endif()
af_bench_script(gather_s3 SCRIPT bench/gather_s3.sh)
