// The platform layer's part that is the same on both systems; each system's
// own is in platform_linux.cpp or platform_macos.cpp, which CMake picks.
#include "common/platform.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "common/file.hpp"
#include "common/platform_shared.hpp"

namespace brindlecast {
namespace platform_detail {

int link_then_unlink(const char* from, const char* to) {
  if (::link(from, to) != 0) return -1;
  (void)::unlink(from);
  return 0;
}

std::chrono::nanoseconds nanoseconds(const timespec& ts) {
  constexpr auto kMost = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::nanoseconds::max());
  if (ts.tv_sec >= kMost.count()) return std::chrono::nanoseconds::max();
  if (ts.tv_sec <= -kMost.count()) return std::chrono::nanoseconds::min();
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

int finish_copy(int to, int to_dir, const char* name, mode_t mode, bool copied) {
  const bool done = copied && ::fchmod(to, mode & 07777) == 0 && order_entry(to) == 0;
  const int e = errno;
  ::close(to);
  if (done) return 0;
  ::unlinkat(to_dir, name, 0);
  errno = e;
  return -1;
}

ExecRule refused(int error, std::string why) { return {ExecRule::Kind::Refused, "", error, std::move(why)}; }

std::string read_at(int fd, std::uint64_t offset, std::size_t n) {
  std::string out(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r =
        retry_eintr([&] { return ::pread(fd, out.data() + got, n - got, static_cast<off_t>(offset + got)); });
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return out;
}

}  // namespace platform_detail

std::chrono::nanoseconds realtime_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return platform_detail::nanoseconds(ts);
}

std::string random_token() {
  unsigned char bytes[8];
  if (::getentropy(bytes, sizeof bytes) != 0) return std::string();
  char text[2 * sizeof bytes + 1];
  for (std::size_t i = 0; i < sizeof bytes; ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
  return std::string(text, 2 * sizeof bytes);
}

}  // namespace brindlecast
