// Linked into a test build of the launcher with -Wl,--wrap for each call
// below: makes the n-th call of one kind fail, so a driver can walk every
// point of failure of a launch. Configured by BRINDLECAST_FAULT="call:n:mode"
// (several, of different calls, separated by commas)
// with mode one of
//   error  the call fails with EIO (ECHILD for waitpid, ENOLCK for flock, EINVAL for poll)
//   eintr  the call fails with EINTR, as if a signal arrived
//   short  read/write move a single byte
//   zero   write accepts nothing
//   pause  flock waits for a signal first, as if one came just before it blocked
//   late   flock waits for a signal after it returned, as if one came just then
//   hold   fsync, lseek, syncfs or flock waits until the file named by
//          BRINDLECAST_FAULT_RESUME exists, so that the driver can change the
//          disk at that point
// When the fault is injected the file named by BRINDLECAST_FAULT_MARK is
// created, so the driver knows the n-th call happened.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
int __real_open(const char* path, int flags, ...);
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_fsync(int fd);
off_t __real_lseek(int fd, off_t offset, int whence);
int __real_syncfs(int fd);
int __real_rename(const char* from, const char* to);
int __real_posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                        const posix_spawnattr_t* attr, char* const argv[], char* const envp[]);
pid_t __real_waitpid(pid_t pid, int* status, int options);
int __real_poll(struct pollfd* fds, nfds_t n, int timeout);
int __real_flock(int fd, int operation);
}

namespace {

struct Fault {
  std::string call;
  long n = 0;
  std::string mode;
  long seen = 0;
};

// BRINDLECAST_FAULT holds one fault, or several separated by commas, each
// of another call.
std::vector<Fault>& faults() {
  static std::vector<Fault> all = [] {
    std::vector<Fault> parsed;
    const char* setting = std::getenv("BRINDLECAST_FAULT");
    for (std::string rest = setting ? setting : ""; !rest.empty();) {
      const auto comma = rest.find(',');
      const std::string s = rest.substr(0, comma);
      rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
      const auto a = s.find(':'), b = s.rfind(':');
      if (a == std::string::npos || b == a) continue;
      parsed.push_back(Fault{s.substr(0, a), std::strtol(s.substr(a + 1, b - a - 1).c_str(), nullptr, 10),
                             s.substr(b + 1), 0});
    }
    return parsed;
  }();
  return all;
}

// The injection for this call, or nothing ("") when it should run as usual.
const std::string& inject(const char* call) {
  static const std::string none;
  Fault* found = nullptr;
  for (auto& f : faults()) {
    if (f.call == call) found = &f;
  }
  if (found == nullptr || ++found->seen != found->n) return none;
  Fault& f = *found;
  if (const char* mark = std::getenv("BRINDLECAST_FAULT_MARK")) {
    const int fd = __real_open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
  }
  return f.mode;
}

int fail(const std::string& mode, int error) {
  errno = mode == "eintr" ? EINTR : error;
  return -1;
}

void hold() {
  const char* resume = std::getenv("BRINDLECAST_FAULT_RESUME");
  const struct timespec tick = {0, 1000000};
  while (resume != nullptr && access(resume, F_OK) != 0) nanosleep(&tick, nullptr);
}

}  // namespace

extern "C" {

int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (const auto m = inject("open"); !m.empty()) return fail(m, EIO);
  return __real_open(path, flags, mode);
}

ssize_t __wrap_read(int fd, void* buf, size_t n) {
  const auto m = inject("read");
  if (m == "short" && n > 1) n = 1;
  if (!m.empty() && m != "short") return fail(m, EIO);
  return __real_read(fd, buf, n);
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
  const auto m = inject("write");
  if (m == "zero") return 0;
  if (m == "short" && n > 1) n = 1;
  if (!m.empty() && m != "short") return fail(m, EIO);
  return __real_write(fd, buf, n);
}

int __wrap_fsync(int fd) {
  const auto& m = inject("fsync");
  if (m == "hold") {
    hold();
  } else if (!m.empty()) {
    return fail(m, EIO);
  }
  return __real_fsync(fd);
}

off_t __wrap_lseek(int fd, off_t offset, int whence) {
  const auto& m = inject("lseek");
  if (m == "hold") {
    hold();
  } else if (!m.empty()) {
    return fail(m, EIO);
  }
  return __real_lseek(fd, offset, whence);
}

int __wrap_syncfs(int fd) {
  const auto& m = inject("syncfs");
  if (m == "hold") {
    hold();
  } else if (!m.empty()) {
    return fail(m, EIO);
  }
  return __real_syncfs(fd);
}

int __wrap_rename(const char* from, const char* to) {
  if (const auto m = inject("rename"); !m.empty()) return fail(m, EIO);
  return __real_rename(from, to);
}

int __wrap_posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                        const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  if (const auto m = inject("posix_spawnp"); !m.empty()) return m == "eintr" ? EINTR : EIO;
  return __real_posix_spawnp(pid, file, actions, attr, argv, envp);
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options) {
  if (const auto m = inject("waitpid"); !m.empty()) return fail(m, ECHILD);
  return __real_waitpid(pid, status, options);
}

int __wrap_poll(struct pollfd* fds, nfds_t n, int timeout) {
  if (const auto m = inject("poll"); !m.empty()) return fail(m, EINVAL);
  return __real_poll(fds, n, timeout);
}

int __wrap_flock(int fd, int operation) {
  const auto& m = inject("flock");  // nothing to destroy if a handler jumps out of pause
  if (m == "pause") pause();
  if (m == "hold") hold();
  if (!m.empty() && m != "pause" && m != "late" && m != "hold") return fail(m, ENOLCK);
  const int r = __real_flock(fd, operation);
  if (m == "late") pause();
  return r;
}

}  // extern "C"
