#include "state_tool/root_checks.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/constants.hpp"
#include "common/error.hpp"
#include "common/fd.hpp"
#include "common/file.hpp"
#include "common/paths.hpp"
#include "state/store.hpp"

namespace brindlecast {
namespace {

// Whether the directory at path holds anything; true where it cannot be read.
bool holds_anything(const std::string& path) {
  DIR* d = ::opendir(path.c_str());
  if (!d) return true;
  bool any = false;
  while (const dirent* entry = ::readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") any = true;
  }
  ::closedir(d);
  return any;
}

}  // namespace

std::string user_name(uid_t uid) {
  const passwd* pw = ::getpwuid(uid);
  return pw && pw->pw_name ? std::string(pw->pw_name) : "uid " + std::to_string(uid);
}

RootLockCheck try_lock(const std::string& root) {
  const std::string dir = root.empty() ? "." : root;
  const Fd fd(retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (fd.get() < 0) return {errno, 0};
  const int locked = retry_eintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); });
  const int error = locked == 0 ? 0 : errno;
  if (locked == 0) (void)::flock(fd.get(), LOCK_UN);
  return {0, error};
}

std::optional<std::string> save_problem(const std::string& root, std::size_t bytes, bool shared_temp) {
  const std::string dir = root.empty() ? "." : root;
  struct statvfs fs {};
  const bool sized = ::statvfs(dir.c_str(), &fs) == 0;
  if (sized && (fs.f_flag & ST_RDONLY) != 0) {
    return "the install root's file system is read-only (" + os_error_text(EROFS) + ")";
  }
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    return user_name(::geteuid()) + " may not write the install root (" + os_error_text(errno) + ")";
  }
  // In a sticky directory only the owner of a file, or of the directory, may
  // replace or remove it.
  struct stat d {};
  const uid_t me = ::geteuid();
  const bool sticky = me != 0 && ::stat(dir.c_str(), &d) == 0 && (d.st_mode & S_ISVTX) != 0 && d.st_uid != me;
  const auto foreign = [&](const std::string& path, struct stat& st) {
    return sticky && ::lstat(path.c_str(), &st) == 0 && st.st_uid != me;
  };
  struct stat f {};
  if (foreign(state_path(root), f)) {
    return "the install root is sticky and state.json belongs to " + user_name(f.st_uid) + " (" +
           os_error_text(EPERM) + ")";
  }
  // The launcher's own state.json.tmp: a file it may write is truncated;
  // anything else that lies there (a link, a FIFO, a file of another user's,
  // an empty directory) it removes and makes anew, and a directory with
  // files in it it cannot remove.
  const std::string temp = state_path(root) + ".tmp";
  bool new_file = true;
  std::uint64_t freed = 0;  // 512-byte blocks
  struct stat t {};
  if (shared_temp && ::lstat(temp.c_str(), &t) == 0) {
    if (S_ISDIR(t.st_mode) && holds_anything(temp)) {
      return "state.json.tmp is a directory with files in it, which the launcher does not remove";
    }
    if (foreign(temp, t)) {
      return "the install root is sticky and state.json.tmp belongs to " + user_name(t.st_uid) + " (" +
             os_error_text(EPERM) + ")";
    }
    new_file = !S_ISREG(t.st_mode) || ::access(temp.c_str(), W_OK) != 0;
    if (S_ISREG(t.st_mode)) freed = static_cast<std::uint64_t>(t.st_blocks);
  }
  // Room for the new document: the blocks free for this user (root may use
  // those the file system keeps back), and an inode for a new file.
  if (sized && fs.f_frsize > 0) {
    const std::uint64_t free_blocks = (me == 0 ? fs.f_bfree : fs.f_bavail) + freed * 512 / fs.f_frsize;
    if (free_blocks < (bytes + fs.f_frsize - 1) / fs.f_frsize) {
      return "the install root's file system has no room left for it (" + os_error_text(ENOSPC) + ")";
    }
    if (new_file && fs.f_files > 0 && (me == 0 ? fs.f_ffree : fs.f_favail) == 0) {
      return "the install root's file system has no inode left for it (" + os_error_text(ENOSPC) + ")";
    }
  }
  return std::nullopt;
}

std::optional<std::string> unusable(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::string(kNulInPathMessage);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? "missing" : os_error_text(errno);
  if (!S_ISREG(st.st_mode)) return "not a file";
  if (::access(path.c_str(), X_OK) != 0) return "not executable";
  return std::nullopt;
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.empty() ? "." : dir.c_str())) {
    while (const dirent* entry = ::readdir(d)) names.emplace_back(entry->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void directories_below(const std::string& dir, std::vector<std::string>& out) {
  std::vector<std::string> todo = {dir};
  while (!todo.empty() && out.size() < kMostDirectoriesJudged) {
    std::string next = std::move(todo.back());
    todo.pop_back();
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    for (const auto& name : names_in(next)) {
      if (name != "." && name != "..") todo.push_back(join_path(next, name));
    }
    out.push_back(std::move(next));
  }
}

std::string finisher(const std::string& path, const std::string& who, const std::string& does) {
  const uid_t me = ::geteuid();
  std::vector<std::string> dirs;
  directories_below(path, dirs);
  std::vector<uid_t> owners;
  for (const auto& dir : dirs) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0 && std::find(owners.begin(), owners.end(), st.st_uid) == owners.end())
      owners.push_back(st.st_uid);
  }
  if (me == 0 || std::all_of(owners.begin(), owners.end(), [&](uid_t u) { return u == me; })) {
    return "the next " + who + " " + does + " it";
  }
  if (owners.size() == 1) {
    return "only a " + who + " run by " + user_name(owners[0]) + " or by root " + does + " it, as " +
           user_name(owners[0]) + " owns its directories";
  }
  std::string names;
  for (std::size_t i = 0; i < owners.size(); ++i) {
    names += (i == 0 ? "" : i + 1 == owners.size() ? " and " : ", ") + user_name(owners[i]);
  }
  return "only a " + who + " run by root " + does + " it, as " + names + " own its directories";
}

}  // namespace brindlecast
