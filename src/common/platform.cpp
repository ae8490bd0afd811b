#include "common/platform.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "common/file.hpp"

#ifdef __APPLE__
#include <copyfile.h>
#include <mach-o/dyld.h>
#include <sys/attr.h>
#include <sys/clonefile.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdint>
#include <vector>
#else
#include <sys/auxv.h>

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

// Saturated at the ends of the range, which a file's time may pass.
std::chrono::nanoseconds nanoseconds(const timespec& ts) {
  constexpr auto kMost = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::nanoseconds::max());
  if (ts.tv_sec >= kMost.count()) return std::chrono::nanoseconds::max();
  if (ts.tv_sec <= -kMost.count()) return std::chrono::nanoseconds::min();
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

#ifndef __APPLE__
// Copies bytes [at, end) of from to the same offsets of to: in the kernel
// (a shared extent where the file system has them) until it refuses the
// pair of files, then by reading. A source that ends before end has
// changed: EIO.
int copy_range(int from, int to, off_t at, off_t end, bool& in_kernel) {
  std::vector<char> buffer;
  while (at < end) {
    const auto want = static_cast<std::size_t>(end - at);
    ssize_t n = -1;
    if (in_kernel) {
      off_t in = at, out = at;
      n = retry_eintr([&] { return ::copy_file_range(from, &in, to, &out, want, 0); });
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        in_kernel = false;
        continue;
      }
    } else {
      buffer.resize(std::min<std::size_t>(want, 1 << 17));
      n = retry_eintr([&] { return ::pread(from, buffer.data(), buffer.size(), at); });
      for (ssize_t done = 0; n > 0 && done < n;) {
        const ssize_t w =
            retry_eintr([&] { return ::pwrite(to, buffer.data() + done, n - done, at + done); });
        if (w <= 0) return w == 0 ? (errno = EIO, -1) : -1;
        done += w;
      }
    }
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    at += n;
  }
  return 0;
}

// Copies the first size bytes of from by their data extents, so that holes
// stay holes; where the file system cannot tell them (EINVAL), all of it.
int copy_extents(int from, int to, off_t size) {
  bool in_kernel = true;
  for (off_t at = 0; at < size;) {
    off_t data = ::lseek(from, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // nothing but a hole to the end
    off_t hole = data < 0 ? -1 : ::lseek(from, data, SEEK_HOLE);
    if (data < 0 || hole < 0) {
      if (errno != EINVAL) return -1;
      data = at;
      hole = size;
    }
    if (data >= size) break;
    if (copy_range(from, to, data, std::min(hole, size), in_kernel) != 0) return -1;
    at = hole;
  }
  return ::ftruncate(to, size);
}
#endif

// Gives the new file at to_dir/name, open as to, its mode, orders its data
// and closes it; on failure removes it, keeping the first error.
int finish_copy(int to, int to_dir, const char* name, mode_t mode, bool copied) {
  const bool done = copied && ::fchmod(to, mode & 07777) == 0 && order_entry(to) == 0;
  const int e = errno;
  ::close(to);
  if (done) return 0;
  ::unlinkat(to_dir, name, 0);
  errno = e;
  return -1;
}

}  // namespace

std::chrono::nanoseconds realtime_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return nanoseconds(ts);
}

std::string random_token() {
  unsigned char bytes[8];
  if (::getentropy(bytes, sizeof bytes) != 0) return std::string();
  char text[2 * sizeof bytes + 1];
  for (std::size_t i = 0; i < sizeof bytes; ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
  return std::string(text, 2 * sizeof bytes);
}

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

int rename_no_replace_at(int from_dir, const char* from, int to_dir, const char* to) {
  return ::renameatx_np(from_dir, from, to_dir, to, RENAME_EXCL);
}

FileTimes file_times(const struct stat& st) {
  return {nanoseconds(st.st_ctimespec), nanoseconds(st.st_mtimespec)};
}

// Each mount has a device of its own.
bool same_mount(int a, int b) {
  struct stat x {};
  struct stat y {};
  return ::fstat(a, &x) == 0 && ::fstat(b, &y) == 0 && x.st_dev == y.st_dev;
}

int copy_file_into(int from, int to_dir, const char* name, mode_t mode, off_t) {
  // An APFS clone costs the same for any size, shares the blocks until
  // either side changes, and keeps holes. Run as root it would keep the
  // source's owner. The fallback is for file systems without clones, such
  // as HFS+, which has no holes to keep.
  if (::fclonefileat(from, to_dir, name, CLONE_NOOWNERCOPY) == 0) {
    const int to = ::openat(to_dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (to >= 0) return finish_copy(to, to_dir, name, mode, true);
    const int e = errno;
    ::unlinkat(to_dir, name, 0);
    errno = e;
    return -1;
  }
  if (errno != ENOTSUP && errno != EXDEV) return -1;
  const int to = ::openat(to_dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (to < 0) return -1;
  const bool copied = ::fcopyfile(from, to, nullptr, COPYFILE_DATA | COPYFILE_XATTR) == 0;
  return finish_copy(to, to_dir, name, mode, copied);
}

int order_entry(int fd) { return barrier_sync_file(fd); }

int flush_file_system(int) { return 0; }

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
  return nanoseconds(ts);
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

int rename_no_replace_at(int from_dir, const char* from, int to_dir, const char* to) {
  if (::renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A hard link cannot replace a name either; directories have none.
  if (::linkat(from_dir, from, to_dir, to, 0) != 0) return -1;
  (void)::unlinkat(from_dir, from, 0);
  return 0;
}

FileTimes file_times(const struct stat& st) { return {nanoseconds(st.st_ctim), nanoseconds(st.st_mtim)}; }

bool same_mount(int a, int b) {
  struct statx x {};
  struct statx y {};
  if (::statx(a, "", AT_EMPTY_PATH, STATX_MNT_ID, &x) == 0 &&
      ::statx(b, "", AT_EMPTY_PATH, STATX_MNT_ID, &y) == 0 && (x.stx_mask & y.stx_mask & STATX_MNT_ID) != 0) {
    return x.stx_mnt_id == y.stx_mnt_id;
  }
  struct stat u {};
  struct stat v {};
  return ::fstat(a, &u) == 0 && ::fstat(b, &v) == 0 && u.st_dev == v.st_dev;
}

int copy_file_into(int from, int to_dir, const char* name, mode_t mode, off_t size) {
  const int to = ::openat(to_dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (to < 0) return -1;
  return finish_copy(to, to_dir, name, mode, copy_extents(from, to, size) == 0);
}

int order_entry(int) { return 0; }

int flush_file_system(int fd) { return ::syncfs(fd); }
bool is_native_executable(std::string_view head) { return head.substr(0, 4) == "\177ELF"; }

std::chrono::nanoseconds monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return nanoseconds(ts);
}

#endif

}  // namespace brindlecast
