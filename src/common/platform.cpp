#include "common/platform.hpp"

#include <stdio.h>
#include <time.h>

#include <cerrno>

#ifdef __APPLE__
#include <fcntl.h>
#include <mach-o/dyld.h>
#include <unistd.h>

#include <cstdint>
#include <vector>
#else
#include <fcntl.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <climits>
#endif

namespace brindlecast {
namespace {

// For file systems without an exclusive rename: a hard link cannot replace
// an existing name either.
int link_then_unlink(const char* from, const char* to) {
  if (::link(from, to) != 0) return -1;
  (void)::unlink(from);
  return 0;
}

}  // namespace

#ifdef __APPLE__

std::optional<std::string> executable_path() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buf(size + 1, '\0');
  if (_NSGetExecutablePath(buf.data(), &size) != 0) return std::nullopt;
  return std::string(buf.data());
}

int sync_file(int fd) {
  // fsync alone may leave the data in the drive's cache; not every file
  // system supports the full flush, so fall back to fsync.
  if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
  return fsync(fd);
}

int rename_no_replace(const char* from, const char* to) {
  if (::renamex_np(from, to, RENAME_EXCL) == 0) return 0;
  return errno == ENOTSUP ? link_then_unlink(from, to) : -1;
}

std::chrono::nanoseconds monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_UPTIME_RAW, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

#else

std::optional<std::string> executable_path() {
  // The path handed to execve, unresolved, as the macOS call gives it.
  if (const auto* execfn = reinterpret_cast<const char*>(getauxval(AT_EXECFN))) {
    return std::string(execfn);
  }
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::nullopt;
  return std::string(buf, static_cast<std::size_t>(n));
}

int sync_file(int fd) { return fsync(fd); }

int rename_no_replace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  return errno == EINVAL || errno == ENOSYS ? link_then_unlink(from, to) : -1;
}

std::chrono::nanoseconds monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

#endif

}  // namespace brindlecast
