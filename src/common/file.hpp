// Reading a whole file, writing a whole buffer, and the retry of interrupted
// system calls.
//
// Tests: tests/state/store_test.cpp, and the faults of tests/fault/.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/result.hpp"

namespace brindlecast {

// Calls f until it does not fail with EINTR.
template <class F>
auto retry_eintr(F f) {
  for (;;) {
    auto r = f();
    if (r != -1 || errno != EINTR) return r;
  }
}

// The message for a path the system cannot take because of an embedded NUL.
inline constexpr std::string_view kNulInPathMessage = "file name contained an unexpected NUL byte";

// The most read_file takes: far above any real state.json, launcher.json or
// Info.plist, and a bound the process keeps without any limit of the system
// (macOS enforces no address-space limit).
inline constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

// Reads the whole file (opened close-on-exec) into memory. A file longer than
// kMaxFileSize, or one without end such as /dev/zero, fails with EFBIG once
// one byte more has been read; its size is never trusted up front.
Result<std::string, Error> read_file(const std::string& path);

using WriteFn = ssize_t (*)(int fd, const void* buf, std::size_t count);

// Writes all of text, repeating short and interrupted writes. A write that
// accepts nothing fails with "failed to write whole buffer".
Result<Done, Error> write_all(int fd, std::string_view text, WriteFn write_fn = ::write);

// Flushes the directory open as fd with sync (sync_file, or
// barrier_sync_file where only the order matters): 0, or the error number.
// A file system that cannot flush a directory at all (EINVAL, ENOTSUP) has
// nothing to flush, which counts as done.
int flush_directory(int fd, int (*sync)(int fd));

// The same for the directory at path ("" is the current one), opened for the
// flush alone.
int flush_directory(const std::string& path, int (*sync)(int fd));

}  // namespace brindlecast
