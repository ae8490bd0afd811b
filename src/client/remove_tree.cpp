#include "client/remove_tree.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "common/platform.hpp"

namespace brindlecast {
namespace {

// A directory stream over fd, which it then owns; fd is closed on failure.
Result<DIR*, Error> dir_stream(int fd) {
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    const int e = errno;
    ::close(fd);
    return Err(os_error(e));
  }
  return d;
}

const char* const kForeign = "another file system is mounted inside it; that part was left as it is";

// Why a directory of another user stays: only that user or root can empty it.
Error not_ours(const struct stat& st) {
  return Error{ErrorKind::PermissionDenied, "a directory there belongs to user " + std::to_string(st.st_uid) +
                                                ", and only that user or root can empty it"};
}

Result<Done, Error> unlink_at(int dir, const std::string& name, int flags) {
  if (::unlinkat(dir, name.c_str(), flags) == 0 || errno == ENOENT) return Done{};
  return Err(os_error(errno));
}

}  // namespace

Result<std::vector<std::string>, Error> entry_names(int dir) {
  const int fd = ::dup(dir);
  if (fd < 0) return Err(os_error(errno));
  auto stream = dir_stream(fd);
  if (!stream) return stream.forward();
  DIR* d = *stream;
  ::rewinddir(d);  // the copy shares its offset with dir, which may have been read before
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int e = errno;
  ::closedir(d);
  if (e != 0) return Err(os_error(e));
  std::sort(names.begin(), names.end());
  return names;
}

Remover::Remover(int slots, dev_t device) : slots_(slots), device_(device) {
  static std::atomic<unsigned long> prunes{0};
  std::string token = random_token();
  if (token.empty()) token = std::to_string(monotonic_now().count()) + "x" + std::to_string(prunes++);
  prefix_ = std::string(kPruneHiddenPrefix) + std::to_string(::getpid()) + "-" + token + "-";
}

bool Remover::is(const std::string& name, Identity judged) const {
  struct stat st {};
  return ::fstatat(slots_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && identity(st) == judged;
}

std::string Remover::give_back(const std::string& name, const std::string& slot) {
  const std::string line = "kept slots/" + slot + ": it was replaced while prune decided";
  if (rename_no_replace_at(slots_, name.c_str(), slots_, slot.c_str()) == 0) return line;
  const std::string kept = ".brindlecast-kept-" + slot + "-" + random_token();
  if (::renameat(slots_, name.c_str(), slots_, kept.c_str()) == 0) return line + ", and is now slots/" + kept;
  return line + ", and is now slots/" + name + " (" + os_error_text(errno) + ")";
}

Result<std::string, Error> Remover::hide(int dir, const std::string& name) {
  for (;;) {
    std::string to = hidden(next_++);
    struct stat st {};
    // A dead namesake's leftover stays below and is finished with ours.
    if (::fstatat(slots_, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
    if (::renameat(dir, name.c_str(), slots_, to.c_str()) == 0) return to;
    const int e = errno;
    --next_;
    if (e == ENOENT) return std::string();
    // A mount point cannot be moved, nor anything to another file system.
    if (e == EBUSY || e == EXDEV) return Err(Error{ErrorKind::Other, kForeign});
    return Err(os_error(e));
  }
}

Result<bool, Error> Remover::remove_tree(const std::string& name) {
  const unsigned long base = next_;
  auto cleared = clear(name);
  if (!cleared || !*cleared) return cleared;
  while (next_ > base) {
    const unsigned long top = next_ - 1;
    const unsigned long before = next_;
    if (auto sub = clear(hidden(top)); !sub) return sub;
    if (next_ == before) next_ = top;  // it held no directory: it is gone
  }
  return true;
}

Remover::Take Remover::take(int fd, const std::string& name, struct stat& opened) const {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && !flock_unsupported(errno)) {
    return Take::Held;
  }
  struct stat now {};
  const bool same = ::fstat(fd, &opened) == 0 &&
                    ::fstatat(slots_, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                    identity(opened) == identity(now);
  return same ? Take::Taken : Take::Gone;
}

Result<Done, Error> Remover::empty_once(DIR* dir, bool& found) {
  const int fd = ::dirfd(dir);
  found = false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) return errno == 0 ? Result<Done, Error>(Done{}) : Err(os_error(errno));
    const std::string child = entry->d_name;
    if (child == "." || child == "..") continue;
    found = true;
    bool directory = entry->d_type == DT_DIR;
    struct stat cs {};
    if (entry->d_type == DT_UNKNOWN && ::fstatat(fd, child.c_str(), &cs, AT_SYMLINK_NOFOLLOW) == 0) {
      directory = S_ISDIR(cs.st_mode);
    }
    // A directory swapped in for a file fails the unlink (EISDIR; EPERM on macOS) and is hidden instead.
    if (!directory && (::unlinkat(fd, child.c_str(), 0) == 0 || errno == ENOENT)) continue;
    if (!directory && errno != EISDIR && errno != EPERM) return Err(os_error(errno));
    auto moved = hide(fd, child);
    // Moving a directory to another parent rewrites its "..", which takes
    // its own write permission. No other remover enters it: dir is locked.
    if (!moved && directory && moved.error().kind == ErrorKind::PermissionDenied) {
      Fd sub(::openat(fd, child.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat st {};
      if (sub.get() < 0 || ::fstat(sub.get(), &st) != 0) return Err(os_error(errno));
      if (st.st_uid != ::geteuid()) return Err(not_ours(st));
      if (auto opened = open_up(sub.get(), st); !opened) return opened;
      moved = hide(fd, child);
    }
    if (!moved) return moved.forward();
  }
}

Result<Done, Error> Remover::open_up(int fd, const struct stat& st) const {
  constexpr mode_t kNeeded = S_IWUSR | S_IXUSR;
  if (st.st_uid != ::geteuid() || (st.st_mode & kNeeded) == kNeeded) return Done{};
  if (st.st_dev != device_ || !same_mount(fd, slots_)) return Err(Error{ErrorKind::Other, kForeign});
  if (::fchmod(fd, (st.st_mode & 07777) | kNeeded) != 0) return Err(os_error(errno));
  return Done{};
}

Result<bool, Error> Remover::clear(const std::string& name) {
  const int fd = ::openat(slots_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && (errno == ENOTDIR || errno == ELOOP)) {
    if (auto gone = unlink_at(slots_, name, 0); !gone) return gone.forward();
    return true;
  }
  if (fd < 0) return errno == ENOENT ? Result<bool, Error>(true) : Err(os_error(errno));
  auto stream = dir_stream(fd);
  if (!stream) return stream.forward();
  Result<Done, Error> result = Done{};
  struct stat opened {};
  const Take taken = take(fd, name, opened);
  if (taken == Take::Taken) {
    result = opened.st_dev != device_ || !same_mount(fd, slots_) ? Err(Error{ErrorKind::Other, kForeign})
                                                                 : open_up(fd, opened);
    // Until the directory can go: a directory changed while it is read
    // (on macOS, by this very deletion) may skip entries.
    for (bool found = false; result; ::rewinddir(*stream)) {
      result = empty_once(*stream, found);
      if (!result || ::unlinkat(slots_, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) break;
      if (errno != ENOTEMPTY && errno != EEXIST) result = Err(os_error(errno));
      if (result && !found) result = Err(os_error(ENOTEMPTY));
    }
    if (!result && result.error().kind == ErrorKind::PermissionDenied && opened.st_uid != ::geteuid()) {
      result = Err(not_ours(opened));
    }
  }
  // Explicitly: a child forked meanwhile shares the lock.
  ::flock(fd, LOCK_UN);
  ::closedir(*stream);
  if (!result) return result.forward();
  return taken != Take::Held;
}

Remover::~Remover() { ::close(slots_); }

bool is_leftover_name(std::string_view name) {
  return name.rfind(kPruneHiddenPrefix, 0) == 0 || name.rfind(kInstallStagingPrefix, 0) == 0;
}

Result<std::pair<int, dev_t>, Error> with_device(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return Err(os_error(e));
  }
  return std::pair<int, dev_t>(fd, st.st_dev);
}

Result<bool, Error> remove_hidden_tree(int slots, const std::string& name) {
  auto opened = with_device(::dup(slots));
  if (!opened) return opened.forward();
  Remover remover(opened->first, opened->second);
  return remover.remove_tree(name);
}

}  // namespace brindlecast
