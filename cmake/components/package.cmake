# What `make install` adds for users beyond the programs, headers, library and pkg-config file:
# the CMake package (lib/cmake/alnforge, targets alnforge::alnforge for the shared library and
# alnforge::alnforge_static for the archive) and the manual pages.
include(CMakePackageConfigHelpers)
set(ALNFORGE_LIB_DIR lib)
set(ALNFORGE_INCLUDE_DIR include)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/alnforgeConfig.cmake.in
  ${CMAKE_BINARY_DIR}/alnforgeConfig.cmake
  INSTALL_DESTINATION lib/cmake/alnforge
  PATH_VARS ALNFORGE_LIB_DIR ALNFORGE_INCLUDE_DIR)
# Same major and minor version: the module interfaces may change between minor versions.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/alnforgeConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/alnforgeConfig.cmake ${CMAKE_BINARY_DIR}/alnforgeConfigVersion.cmake
  DESTINATION lib/cmake/alnforge)

file(GLOB AF_MAN1 CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.1)
file(GLOB AF_MAN3 CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.3)
install(FILES ${AF_MAN1} DESTINATION share/man/man1)
install(FILES ${AF_MAN3} DESTINATION share/man/man3)
