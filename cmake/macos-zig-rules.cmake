# Read after CMake's platform files when cross-building with macos-zig.cmake.
set(CMAKE_SHARED_LIBRARY_RUNTIME_C_FLAG "-Wl,-rpath,")
