# common/: the small units the programs share (header-only, never installed): the end of a run
# on standard output (stdout_end.h). Every program and executable links it (AfHelpers.cmake).
add_library(af_common INTERFACE)
target_include_directories(af_common INTERFACE ${CMAKE_SOURCE_DIR}/common)
