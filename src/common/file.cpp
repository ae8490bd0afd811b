#include "common/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/fd.hpp"
#include "common/platform.hpp"

namespace brindlecast {

Result<std::string, Error> read_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Err(Error{ErrorKind::InvalidInput, std::string(kNulInPathMessage)});
  }
  // Non-blocking, so that a FIFO in place of a file can never hang the launcher.
  const Fd file(retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  const int fd = file.get();
  if (fd < 0) return Err(os_error(errno));
  std::string data;
  struct stat st {};
  // One read for the usual case: the size is known up front. It is only a
  // hint: a FIFO or a device has none, and a file may grow meanwhile.
  constexpr std::size_t kLimit = kMaxFileSize + 1;  // one byte more tells a file too long
  std::size_t room = 512;
  if (::fstat(fd, &st) == 0 && st.st_size > 0)
    room = std::min(static_cast<std::size_t>(st.st_size) + 1, kLimit);
  data.reserve(room);
  for (;;) {
    if (data.size() == data.capacity()) data.reserve(std::min(data.capacity() * 2, kLimit));
    const std::size_t old = data.size();
    data.resize(std::min(data.capacity(), kLimit));
    const ssize_t n = retry_eintr([&] { return ::read(fd, data.data() + old, data.size() - old); });
    if (n < 0) return Err(os_error(errno));
    data.resize(old + static_cast<std::size_t>(n));
    if (n == 0) break;
    if (data.size() > kMaxFileSize) return Err(os_error(EFBIG));
  }
  return data;
}

}  // namespace brindlecast

namespace brindlecast {

Result<Done, Error> write_all(int fd, std::string_view text, WriteFn write_fn) {
  // Larger writes are refused by some systems.
  constexpr std::size_t kMaxWrite = 2147483647;
  while (!text.empty()) {
    const std::size_t chunk = std::min(text.size(), kMaxWrite);
    const ssize_t n = retry_eintr([&] { return write_fn(fd, text.data(), chunk); });
    if (n < 0) return Err(os_error(errno));
    if (n == 0) return Err(Error{ErrorKind::Other, "failed to write whole buffer"});
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return Done{};
}

int flush_directory(int fd, int (*sync)(int fd)) {
  if (retry_eintr([&] { return sync(fd); }) == 0) return 0;
  return directory_flush_unsupported(errno) ? 0 : errno;
}

int flush_directory(const std::string& path, int (*sync)(int fd)) {
  const std::string dir = path.empty() ? "." : path;
  const Fd fd(retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (fd.get() < 0) return errno;
  return flush_directory(fd.get(), sync);
}

}  // namespace brindlecast
