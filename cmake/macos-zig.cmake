# Cross-builds for macOS 11 with Zig's clang, its C++ library (linked in
# statically) and its Mach-O linker; see scripts/cross-macos.sh, which sets
# BRINDLECAST_MACOS_ARCH (arm64 or x86_64) and BRINDLECAST_ZIG_WRAPPERS, a
# folder of small scripts (c++, cc, ar, ranlib) that run zig for that target:
# CMake wants one executable per tool.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BRINDLECAST_MACOS_ARCH BRINDLECAST_ZIG_WRAPPERS)

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)  # Darwin 20 is macOS 11
set(CMAKE_SYSTEM_PROCESSOR ${BRINDLECAST_MACOS_ARCH})

set(CMAKE_CXX_COMPILER ${BRINDLECAST_ZIG_WRAPPERS}/c++)
set(CMAKE_C_COMPILER ${BRINDLECAST_ZIG_WRAPPERS}/cc)  # for GoogleTest, which enables C
set(CMAKE_AR ${BRINDLECAST_ZIG_WRAPPERS}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${BRINDLECAST_ZIG_WRAPPERS}/ranlib CACHE FILEPATH "")

# Zig's C++ library leaves Apple's availability annotations off; with them on,
# a facility the macOS 11 C++ library lacks fails the build as it would on a Mac.
set(CMAKE_CXX_FLAGS_INIT "-U_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS")

# CMake learns the macOS version from sw_vers, missing here, and then takes
# it for one without @rpath: the client library would be named by its
# absolute path in the build tree instead of @rpath/ as on a Mac. The
# platform files reset the flag that says otherwise; the rules file sets it again.
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/macos-zig-rules.cmake)

# Nothing of the build machine belongs in a macOS binary.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
