#include "state_tool/runnable.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "common/error.hpp"
#include "common/fd.hpp"
#include "common/file.hpp"
#include "common/platform.hpp"

namespace brindlecast {
namespace {

struct Refusal {
  int error;
  std::string why;  // follows "it", as ExecRule's
};

// open_exec (Linux) and exec_check_permissions (XNU) on a file the kernel
// is to load, whether asked to or as an interpreter or a loader: it must be
// a regular file with execute permission (EACCES).
std::optional<Refusal> exec_refusal(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int e = errno;
    return Refusal{e, e == ENOENT || e == ENOTDIR ? "does not exist" : "cannot be found"};
  }
  if (S_ISDIR(st.st_mode)) return Refusal{EACCES, "is a directory"};
  if (!S_ISREG(st.st_mode)) return Refusal{EACCES, "is not a regular file"};
  if (::access(path.c_str(), X_OK) != 0) return Refusal{EACCES, "is not executable for this user"};
  return std::nullopt;
}

// The file's first bytes, and the file open for the rest; not ok() where
// this user may not read it, which the kernel may all the same.
class Head {
 public:
  explicit Head(const std::string& path)
      : fd_(retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); })) {
    const ssize_t n = fd() < 0 ? -1 : retry_eintr([&] { return ::read(fd(), bytes_.data(), bytes_.size()); });
    bytes_.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    ok_ = n >= 0;
  }

  bool ok() const { return ok_; }
  int fd() const { return fd_.get(); }
  const std::string& bytes() const { return bytes_; }

 private:
  Fd fd_;
  std::string bytes_ = std::string(kExecHeadSize, '\0');
  bool ok_ = false;
};

std::string with_error(const Refusal& r) {
  return r.error == ENOENT || r.error == ENOTDIR ? r.why : r.why + " (" + os_error_text(r.error) + ")";
}

// A shell reads text: a NUL before the first newline makes a binary, which
// bash refuses outright and dash stops on.
bool binary(std::string_view head) { return head.substr(0, head.find('\n')).find('\0') != std::string::npos; }

}  // namespace

StartVerdict judge_start(const std::string& path, bool hands_over) {
  const std::string road = hands_over ? "the hand-over road" : "the supervision road";
  const bool falls_back = hands_over || spawn_falls_back_to_sh();
  std::vector<std::string> chain = {path};  // the file, then each interpreter the kernel takes in turn
  std::string client;                       // the file's first bytes, which /bin/sh would read
  for (int depth = 0;; ++depth) {
    const std::string file = chain.back();
    const std::string subject = depth == 0 ? "it" : "its interpreter " + file;
    if (const auto refusal = depth == 0 ? std::nullopt : exec_refusal(file)) {
      return {false, "fails: " + subject + " " + with_error(*refusal)};
    }
    const Head head(file);
    if (!head.ok()) return {true, ""};
    if (depth == 0) client = head.bytes();
    const ExecRule rule = exec_rule(head.fd(), head.bytes(), file, depth);
    if (rule.kind == ExecRule::Kind::Interpreter) {
      chain.push_back(rule.next);
      continue;
    }
    if (rule.kind == ExecRule::Kind::Program) {
      if (rule.next.empty()) return {true, ""};
      const std::string loader = (depth == 0 ? "its loader " : "the loader of " + subject + ", ") + rule.next;
      std::optional<Refusal> refusal = exec_refusal(rule.next);
      if (const Head loader_head(rule.next); !refusal && loader_head.ok()) {
        if (auto refused = loader_refusal(loader_head.fd(), loader_head.bytes())) {
          refusal = Refusal{refused->error, refused->why};
        }
      }
      if (refusal) return {false, "fails: " + loader + " " + with_error(*refusal)};
      return {true, ""};
    }
    if (rule.error == ELOOP) {
      std::string turns;
      for (std::size_t i = 1; i < chain.size(); ++i) turns += (i > 1 ? ", " : "") + chain[i];
      const bool loop = std::find(chain.begin() + 1, chain.end() - 1, file) != chain.end() - 1;
      return {false, "fails: " + subject + " " + rule.why + "; the interpreters in turn: " + turns +
                         (loop ? ", round in a loop" : "") + " (" + os_error_text(ELOOP) + ")"};
    }
    const std::string refused = subject + " " + rule.why;
    const std::string enoexec = " (" + os_error_text(ENOEXEC) + ")";
    if (rule.error != ENOEXEC) return {false, "fails: " + refused + " (" + os_error_text(rule.error) + ")"};
    if (binary(client)) {
      return {
          false,
          "fails: " + refused + enoexec +
              (falls_back ? "; nor can /bin/sh, which " + road + " hands it to, read it as a script" : "")};
    }
    // execvp, and posix_spawnp where it falls back, hand the client to
    // /bin/sh, whichever file down the line the kernel refused.
    const std::string what = rule.why.substr(rule.why.rfind("is ", 0) == 0 ? 3 : 0);
    if (falls_back && depth == 0) return {true, what + ", which " + road + " runs through /bin/sh"};
    if (falls_back)
      return {true, refused + enoexec + "; " + road + " runs the client through /bin/sh instead"};
    return {false, "fails: " +
                       (depth == 0 ? "it is " + what + ", which " + road + " cannot start"
                                   : refused + ", so " + road + " cannot start it") +
                       enoexec + "; only the hand-over road runs it, through /bin/sh"};
  }
}

}  // namespace brindlecast
