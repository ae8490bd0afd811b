// A descriptor owned: closed when its Fd goes. And a file's identity, its
// device and inode, by which a file judged by name is known again at the
// moment it is acted on.
//
// Tests: used throughout; the rows that swap a file between a judgement and
// an act (tests/fault/fault_injection_test.cpp) hold the identities.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <utility>

namespace brindlecast {

using Identity = std::pair<dev_t, ino_t>;

inline Identity identity(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// A descriptor closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace brindlecast
