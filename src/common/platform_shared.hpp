// What platform_linux.cpp and platform_macos.cpp both need, defined once in
// platform.cpp: for the platform layer's own files only, never the product's.
//
// Tests: those of platform.hpp, which call every function here through it.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/platform.hpp"

namespace brindlecast::platform_detail {

// For file systems without an exclusive rename: a hard link cannot replace
// an existing name either.
int link_then_unlink(const char* from, const char* to);

// Saturated at the ends of the range, which a file's time may pass.
std::chrono::nanoseconds nanoseconds(const timespec& ts);

// Gives the new file at to_dir/name, open as to, its mode, orders its data
// and closes it; on failure removes it, keeping the first error.
int finish_copy(int to, int to_dir, const char* name, mode_t mode, bool copied);

ExecRule refused(int error, std::string why);

// n bytes of fd from offset, fewer where the file ends first.
std::string read_at(int fd, std::uint64_t offset, std::size_t n);

// A number at offset in bytes, in this machine's byte order, as the kernel
// reads a header's fields; 0 past the end.
template <class T>
T field(std::string_view bytes, std::size_t offset) {
  T value{};
  if (offset + sizeof value <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

}  // namespace brindlecast::platform_detail
