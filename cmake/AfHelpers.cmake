# Helpers that the component fragments in cmake/components/ use.
#
#   af_module(NAME HALF modules|commands SOURCES f... [HEADERS h...] [LIBS l...])
#       toolkit object module: an OBJECT library NAME, archived into libalnforge.a;
#       HEADERS are public and installed under include/alnforge/. HALF names the folder of
#       alnforge/ it lives in: `modules`, the linkable modules that other programs call, or
#       `commands`, the toolkit's own commands (their entry points, declared in commands.h).
#   af_program(NAME SOURCES f... [LIBS l...])      program in build/bin, installed to bin/
#   af_test(NAME SOURCES f... [LIBS l...] [DEPENDS t...])
#       GoogleTest executable registered with CTest; DEPENDS names the programs it runs,
#       so that they are built before it. Built only with AF_TESTS.
#   af_bench(NAME SOURCES f... [LIBS l...] [ARGS a...] [DEPENDS t...])
#       benchmark program run by `make bench`; DEPENDS as for af_test. Only with AF_TESTS.
#   af_bench_script(NAME SCRIPT path)              shell benchmark run by `make bench`
#   af_fuzz(NAME SOURCES f... [LIBS l...] [SEED_SCRIPT path])
#       libFuzzer target (AF_FUZZ builds only); SEED_SCRIPT DIR writes seed inputs into DIR.
#   af_fault_shim(TEST...)
#       preloads the fault shim (tests/fault) into these tests, which fail allocations through
#       it; the sanitizer builds cannot put it ahead of their runtime, so there they skip.
#   af_executable(NAME DIR SOURCES f... [LIBS l...] [DEPENDS t...])
#       executable in the build tree's DIR folder; what the helpers above build on, and the
#       way to add a helper program beside a test or benchmark.
#
# Every program and executable sees the units of common/ (af_common, header-only), which the
# programs share; a module that uses one names af_common in its LIBS.

set_property(GLOBAL PROPERTY AF_MODULES "")
set_property(GLOBAL PROPERTY AF_HEADERS "")
set_property(GLOBAL PROPERTY AF_BENCH_LINES "")
set_property(GLOBAL PROPERTY AF_FUZZ_LINES "")

function(af_module name)
  cmake_parse_arguments(A "" "HALF" "SOURCES;HEADERS;LIBS" ${ARGN})
  add_library(${name} OBJECT ${A_SOURCES})
  # Installed, every header sits in one folder, so the headers include each other by bare
  # name; in the source tree a command's headers reach the modules' (alnforge_attr.h) too.
  if(A_HALF STREQUAL "modules")
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/alnforge/modules)
  elseif(A_HALF STREQUAL "commands")
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/alnforge/commands
                                              ${CMAKE_SOURCE_DIR}/alnforge/modules)
  else()
    message(FATAL_ERROR "af_module(${name}): HALF must be modules or commands")
  endif()
  target_link_libraries(${name} PUBLIC ${A_LIBS})
  set_property(GLOBAL APPEND PROPERTY AF_MODULES ${name})
  foreach(h IN LISTS A_HEADERS)
    set_property(GLOBAL APPEND PROPERTY AF_HEADERS ${CMAKE_CURRENT_SOURCE_DIR}/${h})
  endforeach()
endfunction()

function(af_program name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} af_common)
  # The C++ runtime linked in: a program then starts about 1.3 ms sooner (no libstdc++ to
  # map and relocate), which counts where a pipeline runs it once per file, and in a
  # join that the kernel copies in a tenth of a second. Sanitizer builds keep the shared
  # runtime their interceptors expect.
  if(NOT AF_SANITIZE AND NOT AF_FUZZ AND NOT AF_TSAN)
    target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION bin)
endfunction()

function(af_executable name dir)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${dir})
  target_link_libraries(${name} PRIVATE ${A_LIBS} af_common)
  if(A_DEPENDS)
    add_dependencies(${name} ${A_DEPENDS})
  endif()
endfunction()

function(af_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
  if(NOT AF_TESTS)
    return()
  endif()
  af_executable(${name} tests SOURCES ${A_SOURCES} DEPENDS ${A_DEPENDS}
                LIBS ${A_LIBS} test_common GTest::gtest GTest::gtest_main GTest::gmock)
  add_test(NAME ${name} COMMAND ${name})
endfunction()

function(af_fault_shim)
  if(AF_TESTS AND NOT AF_SANITIZE AND NOT AF_TSAN)
    foreach(t IN LISTS ARGN)
      add_dependencies(${t} fault_shim)
      set_tests_properties(${t} PROPERTIES ENVIRONMENT "LD_PRELOAD=$<TARGET_FILE:fault_shim>")
    endforeach()
  endif()
endfunction()

function(af_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;ARGS;DEPENDS" ${ARGN})
  if(NOT AF_TESTS OR AF_SANITIZE)
    return()
  endif()
  af_executable(${name} benchbin SOURCES ${A_SOURCES} LIBS ${A_LIBS} DEPENDS ${A_DEPENDS})
  string(JOIN " " args ${A_ARGS})
  set_property(GLOBAL APPEND PROPERTY AF_BENCH_LINES "${CMAKE_BINARY_DIR}/benchbin/${name}\t${args}")
endfunction()

function(af_bench_script name)
  cmake_parse_arguments(A "" "SCRIPT" "" ${ARGN})
  if(NOT AF_TESTS OR AF_SANITIZE)
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY AF_BENCH_LINES "${CMAKE_SOURCE_DIR}/${A_SCRIPT}\t")
endfunction()

function(af_fuzz name)
  cmake_parse_arguments(A "" "SEED_SCRIPT" "SOURCES;LIBS" ${ARGN})
  if(NOT AF_FUZZ)
    return()
  endif()
  af_executable(${name} fuzzbin SOURCES ${A_SOURCES} LIBS ${A_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(seed "-")
  if(A_SEED_SCRIPT)
    set(seed "${CMAKE_SOURCE_DIR}/${A_SEED_SCRIPT}")
  endif()
  set_property(GLOBAL APPEND PROPERTY AF_FUZZ_LINES "${CMAKE_BINARY_DIR}/fuzzbin/${name}\t${seed}")
endfunction()

# Called once every fragment is in: the static and shared libraries, the install rules and the
# manifests that `make bench` and the fuzz runner read (a line each: a path, a tab, then the
# benchmark's arguments or the fuzz target's seed script, so that paths may hold spaces).
function(af_finish)
  get_property(modules GLOBAL PROPERTY AF_MODULES)
  get_property(headers GLOBAL PROPERTY AF_HEADERS)
  set(objs "")
  foreach(m IN LISTS modules)
    list(APPEND objs $<TARGET_OBJECTS:${m}>)
  endforeach()
  if(objs)
    add_library(alnforge_static STATIC ${objs})
    set_target_properties(alnforge_static PROPERTIES OUTPUT_NAME alnforge
      ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
    install(TARGETS alnforge_static ARCHIVE DESTINATION lib)
  endif()
  # The same modules as a shared library, its soname libalnforge.so.AF_SOVERSION. It exports the C functions
  # that the public headers declare and nothing else (alnforge.map); htslib, LZ4 and the
  # C++ runtime are its own shared needs. Fuzz builds instrument the objects for libFuzzer,
  # whose runtime only the fuzz targets link, so they make none.
  if(objs AND NOT AF_FUZZ)
    add_library(alnforge_shared SHARED ${objs})
    set_target_properties(alnforge_shared PROPERTIES OUTPUT_NAME alnforge LINKER_LANGUAGE CXX
      VERSION ${PROJECT_VERSION} SOVERSION ${AF_SOVERSION}
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib
      LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/alnforge.map)
    target_link_libraries(alnforge_shared PRIVATE AF::hts AF::lz4)
    target_link_options(alnforge_shared PRIVATE
      -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/alnforge.map)
    if(NOT AF_SANITIZE AND NOT AF_TSAN)
      target_link_options(alnforge_shared PRIVATE -Wl,--no-undefined)
    endif()
    install(TARGETS alnforge_shared LIBRARY DESTINATION lib)
  endif()
  install(FILES ${headers} DESTINATION include/alnforge)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/alnforge.pc.in ${CMAKE_BINARY_DIR}/alnforge.pc.in @ONLY)
  install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    file(READ \"${CMAKE_BINARY_DIR}/alnforge.pc.in\" pc)
    string(REPLACE \"%%PREFIX%%\" \"\${prefix}\" pc \"\${pc}\")
    file(WRITE \"\$ENV{DESTDIR}\${prefix}/lib/pkgconfig/alnforge.pc\" \"\${pc}\")
    message(STATUS \"Installing: \${prefix}/lib/pkgconfig/alnforge.pc\")")
  get_property(bench GLOBAL PROPERTY AF_BENCH_LINES)
  string(JOIN "\n" bench_text ${bench})
  file(WRITE ${CMAKE_BINARY_DIR}/bench_manifest.txt "${bench_text}\n")
  get_property(fuzz GLOBAL PROPERTY AF_FUZZ_LINES)
  string(JOIN "\n" fuzz_text ${fuzz})
  file(WRITE ${CMAKE_BINARY_DIR}/fuzz_manifest.txt "${fuzz_text}\n")
endfunction()
