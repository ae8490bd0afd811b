# Installation and packages: the launcher, its man page, and the client
# library with its headers and CMake package configuration.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS brindlecast-launcher RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Man pages are installed compressed, as Debian packages ship them.
set(brindlecast_man_page ${CMAKE_BINARY_DIR}/man/brindlecast-launcher.1)
add_custom_command(OUTPUT ${brindlecast_man_page}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/brindlecast-launcher.1 ${brindlecast_man_page}
  COMMAND gzip -9nf ${brindlecast_man_page}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/brindlecast-launcher.1
  VERBATIM)
add_custom_target(brindlecast_man_page ALL DEPENDS ${brindlecast_man_page}.gz)
install(FILES ${brindlecast_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(brindlecast_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/brindlecast)
install(EXPORT brindlecastTargets NAMESPACE brindlecast:: DESTINATION ${brindlecast_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/brindlecastConfig.cmake.in
  ${CMAKE_BINARY_DIR}/brindlecastConfig.cmake
  INSTALL_DESTINATION ${brindlecast_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/brindlecastConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/brindlecastConfig.cmake ${CMAKE_BINARY_DIR}/brindlecastConfigVersion.cmake
  DESTINATION ${brindlecast_cmake_dir})

set(CPACK_PACKAGE_NAME brindlecast-launcher)
set(CPACK_PACKAGE_VENDOR "Brindlecast")
set(CPACK_PACKAGE_CONTACT "Brindlecast maintainers <maintainers@brindlecast.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "launcher and supervisor for the over-the-air updated brindlecast client")
set(CPACK_PACKAGE_DESCRIPTION
  "brindlecast-launcher starts the right installed version of brindlecast-client, puts new versions on trial, commits them once the client confirms a good start and rolls back to the known-good version otherwise. Also ships the client library (C API) for the install state protocol.")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
# A shlibs file and the ldconfig trigger for the client library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
