#include "common/platform.hpp"

#include <time.h>

#ifdef __APPLE__
#include <fcntl.h>
#include <mach-o/dyld.h>
#include <unistd.h>

#include <cstdint>
#include <vector>
#else
#include <sys/auxv.h>
#include <unistd.h>

#include <climits>
#endif

namespace brindlecast {

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

std::chrono::nanoseconds monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

#endif

}  // namespace brindlecast
