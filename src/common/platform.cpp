#include "common/platform.hpp"

#include <stdio.h>
#include <time.h>

#include <cerrno>

#ifdef __APPLE__
#include <fcntl.h>
#include <mach-o/dyld.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <unistd.h>

#include <cstdint>
#include <vector>
#else
#include <fcntl.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <climits>

#include "common/file.hpp"
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

int barrier_sync_file(int fd) {
  // Orders the data before later writes without draining the drive's cache,
  // which is what makes the full flush slow; one full flush afterwards then
  // makes both durable.
#ifdef F_BARRIERFSYNC
  if (fcntl(fd, F_BARRIERFSYNC) == 0) return 0;
#endif
  return fsync(fd);
}

std::optional<std::vector<std::string>> mount_points() {
  // getfsstat fills a buffer of our own; getmntinfo's shared one is not safe
  // for a library called from any thread.
  const int count = getfsstat(nullptr, 0, MNT_NOWAIT);
  if (count <= 0) return std::nullopt;
  std::vector<struct statfs> mounts(static_cast<std::size_t>(count) + 16);
  const int got =
      getfsstat(mounts.data(), static_cast<int>(mounts.size() * sizeof(struct statfs)), MNT_NOWAIT);
  if (got <= 0) return std::nullopt;
  std::vector<std::string> points;
  for (int i = 0; i < got; ++i) points.emplace_back(mounts[static_cast<std::size_t>(i)].f_mntonname);
  return points;
}

int rename_no_replace(const char* from, const char* to) {
  if (::renamex_np(from, to, RENAME_EXCL) == 0) return 0;
  return errno == ENOTSUP ? link_then_unlink(from, to) : -1;
}

bool is_native_executable(std::string_view head) {
  // Mach-O, 32 and 64 bits in either byte order, and the universal binary.
  for (const std::string_view magic :
       {"\xfe\xed\xfa\xce", "\xce\xfa\xed\xfe", "\xfe\xed\xfa\xcf", "\xcf\xfa\xed\xfe", "\xca\xfe\xba\xbe"}) {
    if (head.substr(0, magic.size()) == magic) return true;
  }
  return false;
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

int barrier_sync_file(int fd) { return fsync(fd); }

std::optional<std::vector<std::string>> mount_points() {
  auto table = read_file("/proc/self/mountinfo");
  if (!table) return std::nullopt;
  std::vector<std::string> points;
  std::size_t start = 0;
  while (start < table->size()) {
    std::size_t end = table->find('\n', start);
    if (end == std::string::npos) end = table->size();
    const std::string_view line(table->data() + start, end - start);
    start = end + 1;
    // The fifth field is the mount point, with blanks, tabs, newlines and
    // backslashes written as octal escapes.
    std::size_t field = 0;
    for (int k = 0; k < 4 && field != std::string_view::npos; ++k) {
      field = line.find(' ', field);
      if (field != std::string_view::npos) ++field;
    }
    if (field == std::string_view::npos) continue;
    const std::string_view escaped = line.substr(field, line.find(' ', field) - field);
    std::string point;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
      const auto octal = [&](std::size_t k) {
        return k < escaped.size() && escaped[k] >= '0' && escaped[k] <= '7';
      };
      if (escaped[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
        point += static_cast<char>((escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 +
                                   (escaped[i + 3] - '0'));
        i += 3;
      } else {
        point += escaped[i];
      }
    }
    points.push_back(std::move(point));
  }
  return points;
}

int rename_no_replace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  return errno == EINVAL || errno == ENOSYS ? link_then_unlink(from, to) : -1;
}

bool is_native_executable(std::string_view head) { return head.substr(0, 4) == "\177ELF"; }

std::chrono::nanoseconds monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

#endif

}  // namespace brindlecast
