# Installation and packages: the launcher and brindlecast-state with their
# man pages, and the client library with its headers, CMake package
# configuration and pkg-config file. Three components, packaged the Debian
# way: brindlecast-launcher (the commands), libbrindlecast-client0 (the
# shared library) and libbrindlecast-client-dev (what building against it
# needs).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS brindlecast-launcher brindlecast-state RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT launcher)
# On a Mac the install step swaps brindlecast-state's build rpath for its
# install rpath, an edit that can void the linker's ad-hoc signature, and
# Apple silicon kills a program whose signature no longer matches: sign it
# again, ad hoc.
if(APPLE AND CMAKE_HOST_APPLE)
  install(CODE "execute_process(COMMAND codesign --force --sign - \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/brindlecast-state\" COMMAND_ERROR_IS_FATAL ANY)"
    COMPONENT launcher)
endif()

# The release date, in one place: the man pages' footers and the Debian
# changelog are made from it.
set(BRINDLECAST_RELEASE_EPOCH 1796601600)  # 2026-12-07
set(brindlecast_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${BRINDLECAST_RELEASE_EPOCH})
string(TIMESTAMP BRINDLECAST_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP BRINDLECAST_RELEASE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${brindlecast_saved_epoch}")

# Man pages are installed compressed, as Debian packages ship them.
foreach(page brindlecast-launcher.1 brindlecast-state.1)
  set(out ${CMAKE_BINARY_DIR}/man/${page})
  configure_file(${PROJECT_SOURCE_DIR}/docs/${page} ${out} @ONLY)
  add_custom_command(OUTPUT ${out}.gz
    COMMAND gzip -9nkf ${out}
    DEPENDS ${out}
    VERBATIM)
  list(APPEND brindlecast_man_pages ${out}.gz)
endforeach()
add_custom_target(brindlecast_man_pages ALL DEPENDS ${brindlecast_man_pages})
install(FILES ${brindlecast_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT launcher)

# Each Debian package carries the license and its changelog in
# share/doc/<package>, as Debian policy asks.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
# The packages are native (the version has no Debian revision), so the
# changelog is changelog.gz.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/debian/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(brindlecast_debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
foreach(component_package launcher:brindlecast-launcher runtime:libbrindlecast-client0 dev:libbrindlecast-client-dev)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(brindlecast_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/brindlecast)
install(EXPORT brindlecastTargets NAMESPACE brindlecast:: DESTINATION ${brindlecast_cmake_dir} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/brindlecastConfig.cmake.in
  ${CMAKE_BINARY_DIR}/brindlecastConfig.cmake
  INSTALL_DESTINATION ${brindlecast_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/brindlecastConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/brindlecastConfig.cmake ${CMAKE_BINARY_DIR}/brindlecastConfigVersion.cmake
  DESTINATION ${brindlecast_cmake_dir} COMPONENT dev)

# The .pc file finds its prefix from where it lies, so an unpacked or
# relocated package works as well as an installed one.
file(RELATIVE_PATH brindlecast_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/brindlecast-client.pc.in ${CMAKE_BINARY_DIR}/brindlecast-client.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/brindlecast-client.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

set(CPACK_PACKAGE_NAME brindlecast-launcher)
set(CPACK_PACKAGE_VENDOR "Brindlecast")
set(CPACK_PACKAGE_CONTACT "Brindlecast maintainers <maintainers@brindlecast.invalid>")
if(APPLE)
  set(CPACK_GENERATOR TGZ)  # a Mac has no use for a .deb
else()
  set(CPACK_GENERATOR "DEB;TGZ")
endif()
# Installed binaries carry no symbols: debugging goes through a -dbg build.
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL launcher runtime dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The library package runs no maintainer script: the ldconfig trigger of
# libc-bin takes their place. With CPack's generated ldconfig scripts, dpkg
# keeps a removed package as "config-files" (rc) until it is purged, only to
# run its postrm once more.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/shlibs.in ${CMAKE_BINARY_DIR}/debian/shlibs @ONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/debian/shlibs ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(brindlecast_cxx_runtime "libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
set(brindlecast_same_library "libbrindlecast-client0 (= ${PROJECT_VERSION})")
# The library, and brindlecast-state with the library's calls linked in, read
# archives with libarchive and check signatures with libsodium: at least the
# versions of the newest calls they make, as Debian's symbol files date them
# (the zstd filter, libarchive 3.3.3; sodium_base642bin, libsodium 1.0.14).
set(brindlecast_archive_sodium "libarchive13 (>= 3.3.3), libsodium23 (>= 1.0.14)")

# Each package describes itself (its first line is the summary), so no
# summary common to all of them is set.
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_NAME brindlecast-launcher)
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_SECTION admin)
# The launcher carries its C++ runtime, which refers to arc4random (C library
# 2.36); brindlecast-state uses the shared one, as the library does.
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_DEPENDS
  "${brindlecast_same_library}, libc6 (>= 2.36), ${brindlecast_cxx_runtime}, ${brindlecast_archive_sodium}")
set(CPACK_DEBIAN_LAUNCHER_DESCRIPTION "launcher and supervisor for the over-the-air updated brindlecast client
brindlecast-launcher starts the right installed version of brindlecast-client,
puts new versions on trial, commits them once the client confirms a good start
and rolls back to the known-good version otherwise. brindlecast-state reads and
changes the install state from scripts.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libbrindlecast-client0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34), ${brindlecast_cxx_runtime}, ${brindlecast_archive_sodium}")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library of the brindlecast install state protocol
The C API with which a brindlecast client confirms its start, asks for a
relaunch and puts new versions on trial.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libbrindlecast-client-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${brindlecast_same_library}")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files of the brindlecast client library
Headers, the link to the shared library, the pkg-config file and the CMake
package configuration.")
include(CPack)
