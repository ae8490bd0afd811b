#include "client/install_tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>
#include <vector>

#include "client/locked_state.hpp"
#include "common/durability.hpp"
#include "common/file.hpp"
#include "common/utf8.hpp"

namespace brindlecast {

Result<Identity, Error> identity_of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Err(os_error(errno));
  return identity(st);
}

Error refused(ErrorKind kind, const std::string& source, const std::string& why) {
  return Error{kind, "source \"" + utf8_lossy(source) + "\" " + why};
}

namespace {

// What a slot holds is writable by the installing user alone: no set-ID or
// sticky bit, no write for group or others.
mode_t owned_mode(mode_t mode) { return mode & 0755; }

const char* kind_of(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "a file of an unknown kind";
}

// Depth first over the tree open as root, never following a link: enter is
// called with each entry (its directory's descriptor, its name, its lstat and
// its path under the root) before a directory's own entries; leave with each
// directory, the root last, once its entries are done. However deep the
// tree, one directory is open at a time: each one's names are read whole
// when it is entered, and the way back up goes through "..", which must be
// the very directory left.
struct Walk {
  std::function<Result<Done, Error>(int dir, const std::string& name, const struct stat& st,
                                    const std::string& path)>
      enter;
  std::function<Result<Done, Error>(int dir, const std::string& path)> leave;
};

// The names in the directory open as fd, without "." and "..".
Result<std::vector<std::string>, Error> read_names(int fd, const std::string& path) {
  const auto failed = [&](int e) {
    return Err(with_context(path.empty() ? "cannot read the source" : "cannot read " + path, os_error(e)));
  };
  DIR* dir = ::fdopendir(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (dir == nullptr) return failed(errno);
  ::rewinddir(dir);  // a copy of a descriptor shares its offset, which an earlier walk left at the end
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  const int e = errno;
  ::closedir(dir);
  if (e != 0) return failed(e);
  return names;
}

Result<Done, Error> walk_tree(int root, const Walk& walk) {
  struct Frame {
    std::vector<std::string> names;
    std::size_t next = 0;
    std::string path;
    Identity id;
  };
  const auto changed = [](const std::string& path) {
    return Err(with_context("cannot read " + (path.empty() ? std::string("the source") : path),
                            Error{ErrorKind::Other, "it changed while it was read"}));
  };
  Fd dir(::fcntl(root, F_DUPFD_CLOEXEC, 0));
  auto id = dir.get() < 0 ? Err(os_error(errno)) : identity_of(dir.get());
  if (!id) return id.forward();
  auto names = read_names(dir.get(), "");
  if (!names) return names.forward();
  std::vector<Frame> frames;
  frames.push_back(Frame{std::move(names).value(), 0, "", *id});
  while (!frames.empty()) {
    Frame& top = frames.back();
    if (top.next == top.names.size()) {
      if (auto left = walk.leave(dir.get(), top.path); !left) return left;
      frames.pop_back();
      if (frames.empty()) break;
      Fd up(::openat(dir.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      auto same = up.get() < 0 ? Err(os_error(errno)) : identity_of(up.get());
      if (!same || *same != frames.back().id) return changed(frames.back().path);
      dir = std::move(up);
      continue;
    }
    const std::string name = top.names[top.next++];
    const std::string path = top.path.empty() ? name : top.path + "/" + name;
    struct stat st {};
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return Err(with_context("cannot look at " + path, os_error(errno)));
    }
    if (auto step = walk.enter(dir.get(), name, st, path); !step) return step;
    if (!S_ISDIR(st.st_mode)) continue;
    Fd child(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    auto same = child.get() < 0 ? Err(os_error(errno)) : identity_of(child.get());
    if (!same) return Err(with_context("cannot read " + path, same.error()));
    if (*same != identity(st)) return changed(path);
    auto child_names = read_names(child.get(), path);
    if (!child_names) return child_names.forward();
    frames.push_back(Frame{std::move(child_names).value(), 0, path, *same});
    dir = std::move(child);
  }
  return Done{};
}

// Makes what fd holds this process's and writable by it alone, as a copy
// would be; the judging scan refused what another user owns.
Result<Done, Error> take_over(int fd, const std::string& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Err(with_context("cannot look at " + path, os_error(errno)));
  if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd, ::geteuid(), ::getegid()) != 0) {
    return Err(with_context("cannot make " + (path.empty() ? std::string("the source") : path) + " yours",
                            os_error(errno)));
  }
  const mode_t mode = owned_mode(st.st_mode);
  if ((st.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0) {
    return Err(
        with_context("cannot change the mode of " + (path.empty() ? "the source" : path), os_error(errno)));
  }
  return Done{};
}

// A move makes the tree ours, which only root may do to another's files:
// refused before anything is changed.
Result<Done, Error> ours_to_take(const struct stat& st, const std::string& source, const std::string& path) {
  if (st.st_uid == ::geteuid() || ::geteuid() == 0) return Done{};
  const std::string what = path.empty() ? "belongs" : "holds " + utf8_lossy(path) + ", which belongs";
  return Err(refused(ErrorKind::InvalidInput, source,
                     what + " to another user: --move cannot make it yours; install it without --move"));
}

Judged judged(const struct stat& st) { return Judged{st.st_size, file_times(st)}; }

}  // namespace

Result<Scanned, Error> scan(int source_fd, const std::string& source, bool moving) {
  Scanned scanned;
  InstallProgress& totals = scanned.totals;
  struct stat top {};
  if (moving && ::fstat(source_fd, &top) == 0) {
    if (auto mine = ours_to_take(top, source, ""); !mine) return mine.forward();
  }
  Walk walk;
  walk.enter = [&](int, const std::string&, const struct stat& st,
                   const std::string& path) -> Result<Done, Error> {
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
      return Err(refused(ErrorKind::InvalidInput, source,
                         "holds " + std::string(kind_of(st.st_mode)) + ", " + utf8_lossy(path) +
                             "; a slot holds only files, directories and links"));
    }
    if (moving) {
      if (auto mine = ours_to_take(st, source, path); !mine) return mine;
    }
    if (S_ISDIR(st.st_mode)) return Done{};
    ++totals.files_total;
    if (!S_ISREG(st.st_mode)) return Done{};
    totals.bytes_total += static_cast<std::uint64_t>(st.st_size);
    scanned.files.emplace(identity(st), judged(st));
    if (moving && st.st_nlink > 1) {
      return Err(refused(ErrorKind::InvalidInput, source,
                         "holds " + utf8_lossy(path) +
                             ", a file with other hard links, which --move would change too; install it "
                             "without --move"));
    }
    return Done{};
  };
  walk.leave = [](int, const std::string&) -> Result<Done, Error> { return Done{}; };
  if (auto walked = walk_tree(source_fd, walk); !walked) return walked.forward();
  return scanned;
}

Result<Done, Error> take_over_tree(int source_fd) {
  Walk walk;
  walk.enter = [&](int dir, const std::string& name, const struct stat& st,
                   const std::string& path) -> Result<Done, Error> {
    if (S_ISDIR(st.st_mode)) return Done{};
    if (S_ISLNK(st.st_mode)) {
      if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
          ::fchownat(dir, name.c_str(), ::geteuid(), ::getegid(), AT_SYMLINK_NOFOLLOW) != 0) {
        return Err(with_context("cannot make " + path + " yours", os_error(errno)));
      }
      return Done{};
    }
    Fd file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    auto same = file.get() < 0 ? Err(os_error(errno)) : identity_of(file.get());
    if (same && (*same != identity(st) || !S_ISREG(st.st_mode))) {
      same = Err(Error{ErrorKind::Other, "it changed while it was read"});
    }
    if (!same) return Err(with_context("cannot flush " + path, same.error()));
    if (auto mine = take_over(file.get(), path); !mine) return mine;
    if (add_to_tree(file.get()) != 0) return Err(with_context("cannot flush " + path, os_error(errno)));
    return Done{};
  };
  walk.leave = [&](int dir, const std::string& path) -> Result<Done, Error> {
    if (auto mine = take_over(dir, path); !mine) return mine;
    if (add_to_tree(dir) != 0) {
      return Err(with_context("cannot flush " + (path.empty() ? "the source" : path), os_error(errno)));
    }
    return Done{};
  };
  return walk_tree(source_fd, walk);
}

namespace {

// An entry of the source as the walk saw it, dir/name with its lstat, to be
// copied into the directory open as to.
struct Entry {
  int dir;
  const std::string& name;
  const struct stat& st;
  int to;
};

// What the copy of an entry fails with: an error number, or kChanged where
// the entry is no longer what the scan judged.
constexpr int kChanged = -1;

Result<Done, int> copy_link(const Entry& e) {
  std::string link(static_cast<std::size_t>(e.st.st_size) + 1, '\0');
  const ssize_t n = ::readlinkat(e.dir, e.name.c_str(), link.data(), link.size());
  if (n < 0) return Err(errno);
  if (static_cast<std::size_t>(n) >= link.size()) return Err(kChanged);  // it grew meanwhile
  link.resize(static_cast<std::size_t>(n));
  if (::symlinkat(link.c_str(), e.to, e.name.c_str()) != 0) return Err(errno);
  return Done{};
}

// A regular file, copied only while it is what the scan judged, from its
// open to the end of its copy. What the scan did not judge a regular file
// (a device or FIFO swapped in since) is refused before its open, which
// must not block either.
Result<Done, int> copy_judged(const Entry& e, const Scanned& scanned) {
  const auto judgement = scanned.files.find(identity(e.st));
  if (!S_ISREG(e.st.st_mode) || judgement == scanned.files.end()) return Err(kChanged);
  Fd file(::openat(e.dir, e.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat now {};
  if (file.get() < 0 || ::fstat(file.get(), &now) != 0) return Err(errno);
  const auto still = [&] {
    return S_ISREG(now.st_mode) && identity(now) == judgement->first && judged(now) == judgement->second;
  };
  if (!still()) return Err(kChanged);
  const int copied = copy_file_into(file.get(), e.to, e.name.c_str(), owned_mode(e.st.st_mode), now.st_size);
  const int error = errno;
  // A file written to or cut short while it was copied: its times say so.
  if (::fstat(file.get(), &now) != 0 || !still()) {
    (void)::unlinkat(e.to, e.name.c_str(), 0);
    return Err(kChanged);
  }
  if (copied != 0) return Err(error);
  return Done{};
}

}  // namespace

// Copies the tree open as source_fd into the empty directory open as to,
// taking each file only if it is what the scan judged, from its open to the
// end of its copy. One directory of the copy is open at a time: the way
// back up goes through "..", checked to be the directory it came from.
Result<Done, Error> copy_tree(int source_fd, int to, const Scanned& scanned, const std::string& source,
                              const std::function<void(const InstallProgress&)>& progress) {
  InstallProgress done = scanned.totals;
  done.files_done = done.bytes_done = 0;
  Fd target(::fcntl(to, F_DUPFD_CLOEXEC, 0));
  std::vector<Identity> above;  // of the directories above target
  const auto changed = [&] {
    return Err(refused(ErrorKind::InvalidInput, source, "changed while it was copied; install it again"));
  };
  Walk walk;
  walk.enter = [&](int dir, const std::string& name, const struct stat& st,
                   const std::string& path) -> Result<Done, Error> {
    const auto failed = [&](int e) { return Err(with_context("cannot copy " + path, os_error(e))); };
    if (S_ISDIR(st.st_mode)) {
      // Writable by us alone while it is filled; its own mode comes last.
      if (::mkdirat(target.get(), name.c_str(), 0700) != 0) return failed(errno);
      Fd made(::openat(target.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      auto mine = made.get() < 0 ? Err(os_error(errno)) : identity_of(target.get());
      if (!mine) return Err(with_context("cannot copy " + path, mine.error()));
      above.push_back(*mine);
      target = std::move(made);
      return Done{};
    }
    const Entry entry{dir, name, st, target.get()};
    auto copied = S_ISLNK(st.st_mode) ? copy_link(entry) : copy_judged(entry, scanned);
    if (!copied) return copied.error() == kChanged ? changed() : failed(copied.error());
    if (!S_ISLNK(st.st_mode)) done.bytes_done += static_cast<std::uint64_t>(st.st_size);
    ++done.files_done;
    if (progress) progress(done);
    return Done{};
  };
  walk.leave = [&](int dir, const std::string& path) -> Result<Done, Error> {
    const auto failed = [&](int e) {
      return Err(with_context("cannot copy " + (path.empty() ? "the source" : path), os_error(e)));
    };
    struct stat st {};
    if (::fstat(dir, &st) != 0 || ::fchmod(target.get(), owned_mode(st.st_mode)) != 0 ||
        add_to_tree(target.get()) != 0) {
      return failed(errno);
    }
    if (above.empty()) return Done{};
    Fd up(::openat(target.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto back = up.get() < 0 ? Err(os_error(errno)) : identity_of(up.get());
    if (back && *back != above.back()) back = Err(Error{ErrorKind::Other, "it changed while it was filled"});
    if (!back) return Err(with_context("cannot copy into the staging directory", back.error()));
    above.pop_back();
    target = std::move(up);
    return Done{};
  };
  return walk_tree(source_fd, walk);
}

}  // namespace brindlecast
