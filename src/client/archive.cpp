// Each entry is judged on its name and kind before anything is made for it.
// What was made is remembered by path, so that a name twice, a hard link to
// anything but a file made before, and a path through a link or a file are
// told from the archive alone; the file system's own refusals (EEXIST, ELOOP,
// ENOTDIR, with O_EXCL and O_NOFOLLOW everywhere) back that up where two
// names lead to one file, as they do on a file system that ignores case.
#include "client/archive.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "client/locked_state.hpp"
#include "common/durability.hpp"
#include "common/fd.hpp"
#include "common/file.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"

namespace brindlecast {
namespace {

constexpr std::size_t kMaxNameBytes = 255;
constexpr mode_t kImpliedMode = 0755;
constexpr std::size_t kReadBlock = 64 * 1024;

// Legal on both systems, but a name that hides in a terminal is no client's.
bool has_control_byte(std::string_view bytes) {
  return std::any_of(bytes.begin(), bytes.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7f;
  });
}

std::vector<std::string_view> split(std::string_view path) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    parts.push_back(path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) return parts;
    start = slash + 1;
  }
}

// The path without its leading run of "./"; empty for the top itself.
std::string_view strip_dots(std::string_view path) {
  while (path.substr(0, 2) == "./") path.remove_prefix(2);
  return path == "." ? std::string_view() : path;
}

// Whether a link depth levels below the top, pointing at target, resolves
// within the top. Sound without looking at what the target names: ".." only
// as a leading run, from a real directory (paths never pass through links),
// that climbs no higher than the top; below that, names only, each a
// directory or a link that stays in by the same rule.
bool stays_inside(std::string_view target, std::size_t depth) {
  if (target.front() == '/') return false;
  std::size_t up = 0;
  bool descended = false;
  for (const auto part : split(target)) {
    if (part.empty() || part == ".") continue;
    if (part != "..") {
      descended = true;
    } else if (descended || ++up > depth) {
      return false;
    }
  }
  return true;
}

std::string message_of(archive* a) {
  const char* message = archive_error_string(a);
  return message != nullptr ? message : "it cannot be read";
}

// libarchive gives no UTF-8 form of a raw name it cannot convert from the
// locale (any non-ASCII one, in the C locale): the raw bytes are judged then.
const char* text(const char* utf8, const char* raw) { return utf8 != nullptr ? utf8 : raw; }

struct Made {
  enum Kind { Directory, File, Link } kind;
  mode_t mode = 0;  // a directory's, given once the archive ends
  Identity id{};    // a file's, for its hard links
};

class Unpacker {
 public:
  Unpacker(archive* a, const std::string& shown, int into, const UnpackLimits& limits,
           const std::function<void(const UnpackProgress&)>& progress)
      : a_(a), source_(shown_text(shown)), into_(into), limits_(limits), progress_(progress) {}

  Error refused(const std::string& why) const {
    return Error{ErrorKind::InvalidInput, "source \"" + source_ + "\" " + why};
  }
  Error damaged() const { return refused("is damaged: " + message_of(a_)); }
  const UnpackProgress& done() const { return done_; }

  Result<Done, Error> entry(archive_entry* e);
  Result<Done, Error> finish();

 private:
  Error failed(const std::string& what, int e) const {
    return with_context("cannot unpack " + what + " from source \"" + source_ + "\"", os_error(e));
  }
  Error twice(const std::string& shown) const { return refused("names " + shown + " twice"); }
  Result<std::vector<std::string>, Error> parse(std::string_view name, bool directory,
                                                const std::string& shown) const;
  Result<int, Error> open_dir(const std::vector<std::string>& parts, std::size_t count,
                              const std::string& shown);
  Result<std::uint64_t, Error> data(int out, const std::string& shown);
  Result<Done, Error> directory(const std::vector<std::string>& parts, const std::string& shown, mode_t mode);
  Result<Done, Error> file(archive_entry* e, const std::vector<std::string>& parts, const std::string& shown);
  Result<Done, Error> symlink(archive_entry* e, const std::vector<std::string>& parts,
                              const std::string& shown);
  Result<Done, Error> hard_link(const std::string& target, const std::vector<std::string>& parts,
                                const std::string& shown);
  Result<Done, Error> made(const std::string& key, Made what) {
    made_[key] = what;
    ++done_.files;
    if (progress_) progress_(done_);
    return Done{};
  }

  archive* a_;
  std::string source_;
  int into_;
  UnpackLimits limits_;
  const std::function<void(const UnpackProgress&)>& progress_;
  std::map<std::string, Made> made_;  // by path below the top
  mode_t top_mode_ = kImpliedMode;
  std::uint64_t entries_ = 0, bytes_ = 0;
  UnpackProgress done_;
  // The directory open_dir gave last: entries mostly follow each other in one.
  std::string open_key_;
  Fd open_;
};

std::string join(const std::vector<std::string>& parts, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count; ++i) path += (i != 0 ? "/" : "") + parts[i];
  return path;
}

std::vector<std::string> owned(const std::vector<std::string_view>& parts) {
  return std::vector<std::string>(parts.begin(), parts.end());
}

Result<std::vector<std::string>, Error> Unpacker::parse(std::string_view name, bool directory,
                                                        const std::string& shown) const {
  if (name.substr(0, 1) == "/") return Err(refused("holds an absolute path: " + shown));
  const Error invalid = refused("holds a name that is not a valid file name: " + shown);
  if (name.empty() || !is_valid_utf8(name) || has_control_byte(name)) return Err(invalid);
  std::string_view rest = strip_dots(name);
  if (directory && rest.size() > 1 && rest.back() == '/') rest.remove_suffix(1);
  std::vector<std::string> parts;
  if (rest.empty()) return parts;
  for (const auto part : split(rest)) {
    if (part == "..") return Err(refused("holds a path with \"..\": " + shown));
    if (part.empty() || part == "." || part.size() > kMaxNameBytes) return Err(invalid);
    parts.emplace_back(part);
  }
  if (parts.size() > limits_.max_depth) {
    return Err(
        refused("holds a path deeper than " + std::to_string(limits_.max_depth) + " levels: " + shown));
  }
  return parts;
}

// The directory named by the first count components of parts, open until
// the next call, reached from the top one component at a time, the missing
// ones made. The one of the call before is taken again: every name on its
// way was judged then, and no later entry can take such a name.
Result<int, Error> Unpacker::open_dir(const std::vector<std::string>& parts, std::size_t count,
                                      const std::string& shown) {
  std::string key = join(parts, count);
  if (open_.get() >= 0 && key == open_key_) return open_.get();
  open_ = Fd();
  Fd dir(::fcntl(into_, F_DUPFD_CLOEXEC, 0));
  if (dir.get() < 0) return Err(failed(shown, errno));
  for (std::size_t i = 0; i < count; ++i) {
    const std::string path = join(parts, i + 1);
    const auto it = made_.find(path);
    if (it != made_.end() && it->second.kind != Made::Directory) {
      return Err(refused(std::string("holds a path through a ") +
                         (it->second.kind == Made::Link ? "link: " : "file: ") + shown));
    }
    const char* name = parts[i].c_str();
    if (it == made_.end()) {
      if (::mkdirat(dir.get(), name, 0700) == 0) {
        made_[path] = Made{Made::Directory, kImpliedMode};
      } else if (errno != EEXIST) {
        return Err(failed(shown, errno));
      }
    }
    Fd next(::openat(dir.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) {
      return Err(errno == ELOOP || errno == ENOTDIR ? refused("holds a path through a link: " + shown)
                                                    : failed(shown, errno));
    }
    dir = std::move(next);
  }
  open_key_ = std::move(key);
  open_ = std::move(dir);
  return open_.get();
}

// Reads the entry's data to its end, each block counted against the limit
// before anything else, and written at its offset to out (unless -1), so
// that holes stay holes. The end of the last block written.
Result<std::uint64_t, Error> Unpacker::data(int out, const std::string& shown) {
  std::uint64_t end = 0;
  for (;;) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    const int r = archive_read_data_block(a_, &block, &size, &offset);
    if (r == ARCHIVE_EOF) return end;
    if (r != ARCHIVE_OK || offset < 0) return Err(damaged());
    if (limits_.max_bytes != 0 && size > limits_.max_bytes - bytes_) {
      return Err(
          refused("unpacks to more than " + std::to_string(limits_.max_bytes) + " bytes (--max-bytes)"));
    }
    bytes_ += size;
    if (out < 0) continue;
    const char* from = static_cast<const char*>(block);
    for (std::size_t left = size; left > 0;) {
      const ssize_t n = retry_eintr([&] { return ::pwrite(out, from, left, static_cast<off_t>(offset)); });
      if (n <= 0) return Err(failed(shown, n == 0 ? EIO : errno));
      from += n;
      left -= static_cast<std::size_t>(n);
      offset += n;
    }
    end = std::max(end, static_cast<std::uint64_t>(offset));
    done_.bytes += size;
  }
}

Result<Done, Error> Unpacker::entry(archive_entry* e) {
  if (++entries_ > limits_.max_entries) {
    return Err(refused("holds more than " + std::to_string(limits_.max_entries) + " entries"));
  }
  const char* raw = text(archive_entry_pathname_utf8(e), archive_entry_pathname(e));
  const std::string name = raw != nullptr ? raw : "";
  const std::string shown = shown_text(name);
  const char* link = text(archive_entry_hardlink_utf8(e), archive_entry_hardlink(e));
  const auto type = archive_entry_filetype(e);
  auto parts = parse(name, link == nullptr && type == AE_IFDIR, shown);
  if (!parts) return parts.forward();
  if (parts->empty() && (link != nullptr || type != AE_IFDIR)) {
    return Err(refused("holds a name that is not a valid file name: " + shown));
  }
  if (link != nullptr) return hard_link(link, *parts, shown);
  const char* kind = "a file of an unknown kind";
  switch (type) {
    case AE_IFDIR:
      return directory(*parts, shown, static_cast<mode_t>(archive_entry_perm(e) & 0755));
    case AE_IFREG:
      return file(e, *parts, shown);
    case AE_IFLNK:
      return symlink(e, *parts, shown);
    case AE_IFIFO:
      kind = "a FIFO";
      break;
    case AE_IFSOCK:
      kind = "a socket";
      break;
    case AE_IFCHR:
    case AE_IFBLK:
      kind = "a device";
      break;
  }
  return Err(refused("holds " + std::string(kind) + ": " + shown +
                     "; a slot holds only files, directories and links"));
}

// Made 0700, so that the archive can fill it whatever its own mode.
Result<Done, Error> Unpacker::directory(const std::vector<std::string>& parts, const std::string& shown,
                                        mode_t mode) {
  if (auto drained = data(-1, shown); !drained) return drained.forward();
  if (parts.empty()) {
    top_mode_ = mode;
    return Done{};
  }
  const std::string key = join(parts, parts.size());
  if (const auto it = made_.find(key); it != made_.end()) {
    if (it->second.kind != Made::Directory) return Err(twice(shown));
    it->second.mode = mode;
    return Done{};
  }
  auto dir = open_dir(parts, parts.size() - 1, shown);
  if (!dir) return dir.forward();
  if (::mkdirat(*dir, parts.back().c_str(), 0700) != 0) {
    struct stat st {};
    if (errno != EEXIST) return Err(failed(shown, errno));
    // Another name for a directory made before: it only sets the mode.
    if (::fstatat(*dir, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
      return Err(twice(shown));
    }
  }
  made_[key] = Made{Made::Directory, mode};
  return Done{};
}

Result<Done, Error> Unpacker::file(archive_entry* e, const std::vector<std::string>& parts,
                                   const std::string& shown) {
  const std::string key = join(parts, parts.size());
  if (made_.count(key) != 0) return Err(twice(shown));
  auto dir = open_dir(parts, parts.size() - 1, shown);
  if (!dir) return dir.forward();
  Fd out(::openat(*dir, parts.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) return Err(errno == EEXIST ? twice(shown) : failed(shown, errno));
  auto end = data(out.get(), shown);
  if (!end) return end.forward();
  // The size, not the last block, gives the length: a trailing hole too.
  const la_int64_t size =
      archive_entry_size_is_set(e) ? archive_entry_size(e) : static_cast<la_int64_t>(*end);
  if (size < 0) return Err(damaged());
  struct stat st {};
  if ((static_cast<std::uint64_t>(size) != *end && ::ftruncate(out.get(), static_cast<off_t>(size)) != 0) ||
      ::fchmod(out.get(), static_cast<mode_t>(archive_entry_perm(e) & 0755)) != 0 ||
      add_to_tree(out.get()) != 0 || ::fstat(out.get(), &st) != 0) {
    return Err(failed(shown, errno));
  }
  return made(key, Made{Made::File, 0, identity(st)});
}

Result<Done, Error> Unpacker::symlink(archive_entry* e, const std::vector<std::string>& parts,
                                      const std::string& shown) {
  const char* raw = text(archive_entry_symlink_utf8(e), archive_entry_symlink(e));
  const std::string target = raw != nullptr ? raw : "";
  const std::string arrow = shown + " -> " + shown_text(target);
  if (target.empty() || !is_valid_utf8(target) || has_control_byte(target)) {
    return Err(refused("holds a link to a name that is not a valid file name: " + arrow));
  }
  if (!stays_inside(target, parts.size() - 1)) {
    return Err(refused("holds a link that leaves the slot: " + arrow));
  }
  if (auto drained = data(-1, shown); !drained) return drained.forward();
  const std::string key = join(parts, parts.size());
  if (made_.count(key) != 0) return Err(twice(shown));
  auto dir = open_dir(parts, parts.size() - 1, shown);
  if (!dir) return dir.forward();
  if (::symlinkat(target.c_str(), *dir, parts.back().c_str()) != 0) {
    return Err(errno == EEXIST ? twice(shown) : failed(shown, errno));
  }
  return made(key, Made{Made::Link});
}

// Only to a file made before, by linkat between descriptors below the top:
// never a copy, never anything the archive did not make.
Result<Done, Error> Unpacker::hard_link(const std::string& target, const std::vector<std::string>& parts,
                                        const std::string& shown) {
  const std::string arrow = shown + " -> " + shown_text(target);
  const auto it = made_.find(std::string(strip_dots(target)));
  if (it == made_.end() || it->second.kind != Made::File) {
    return Err(refused("holds a hard link to what it did not unpack before as a file: " + arrow));
  }
  const Identity id = it->second.id;
  const auto to = owned(split(it->first));
  if (auto drained = data(-1, shown); !drained) return drained.forward();
  const std::string key = join(parts, parts.size());
  if (made_.count(key) != 0) return Err(twice(shown));
  auto from = open_dir(to, to.size() - 1, shown);
  // Its own descriptor: the next open_dir takes the one it gave.
  const Fd from_dir(from ? ::fcntl(*from, F_DUPFD_CLOEXEC, 0) : -1);
  if (!from) return from.forward();
  if (from_dir.get() < 0) return Err(failed(shown, errno));
  auto dir = open_dir(parts, parts.size() - 1, shown);
  if (!dir) return dir.forward();
  if (::linkat(from_dir.get(), to.back().c_str(), *dir, parts.back().c_str(), 0) != 0) {
    return Err(errno == EEXIST ? twice(shown) : failed(shown, errno));
  }
  struct stat st {};
  if (::fstatat(*dir, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return Err(failed(shown, errno));
  }
  if (identity(st) != id) {
    return Err(Error{ErrorKind::Other, "cannot unpack " + arrow + " from source \"" + source_ +
                                           "\": the file it links to changed meanwhile"});
  }
  return made(key, Made{Made::File, 0, id});
}

// Each directory's own mode, deepest first: until its entries are done, a
// directory keeps 0700, and with it the right to pass through.
Result<Done, Error> Unpacker::finish() {
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
    if (it->second.kind != Made::Directory) continue;
    const std::string shown = shown_text(it->first);
    const auto parts = owned(split(it->first));
    auto dir = open_dir(parts, parts.size(), shown);
    if (!dir) return dir.forward();
    if (::fchmod(*dir, it->second.mode) != 0 || add_to_tree(*dir) != 0) {
      return Err(failed(shown, errno));
    }
  }
  if (::fchmod(into_, top_mode_) != 0 || add_to_tree(into_) != 0) {
    return Err(failed("the top directory", errno));
  }
  return Done{};
}

}  // namespace

Result<UnpackProgress, Error> unpack_archive(int fd, const std::string& shown, int into,
                                             const UnpackLimits& limits,
                                             const std::function<void(const UnpackProgress&)>& progress) {
  std::unique_ptr<archive, int (*)(archive*)> reader(archive_read_new(), archive_read_free);
  if (!reader) return Err(Error{ErrorKind::Other, "cannot read archives: out of memory"});
  archive* a = reader.get();
  Unpacker unpacker(a, shown, into, limits, progress);
  // These alone, so that whatever else is refused by content. A filter
  // libarchive was built without it would run as a program found on PATH
  // (ARCHIVE_WARN): never on an archive from outside, so it is left out.
  for (auto enable : {archive_read_support_format_tar, archive_read_support_format_zip,
                      archive_read_support_filter_gzip, archive_read_support_filter_bzip2,
                      archive_read_support_filter_xz, archive_read_support_filter_zstd}) {
    const std::unique_ptr<archive, int (*)(archive*)> probe(archive_read_new(), archive_read_free);
    if (!probe || enable(probe.get()) != ARCHIVE_OK) continue;
    if (enable(a) != ARCHIVE_OK)
      return Err(Error{ErrorKind::Other, "cannot read archives: " + message_of(a)});
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    return Err(with_context("cannot read source \"" + shown_text(shown) + "\"", os_error(errno)));
  }
  const Error other = unpacker.refused(
      "is not an archive install reads (tar, plain or with gzip, bzip2, xz or zstd, or zip)");
  // The format is chosen by content as it opens. Any cause but the plain
  // one (a stream cut short inside its compression, a read error) is told.
  if (archive_read_open_fd(a, fd, kReadBlock) != ARCHIVE_OK) {
    const std::string message = message_of(a);
    if (message == "Unrecognized archive format") return Err(other);
    return Err(Error{other.kind, other.message + ": " + message});
  }
  for (bool first = true;; first = false) {
    archive_entry* entry = nullptr;
    const int r = archive_read_next_header(a, &entry);
    const int format = archive_format(a) & ARCHIVE_FORMAT_BASE_MASK;
    if (first && format != ARCHIVE_FORMAT_TAR && format != ARCHIVE_FORMAT_ZIP) return Err(other);
    if (r == ARCHIVE_EOF) break;
    // A warning is about what is not taken from the archive anyway (a name
    // in another character set, an attribute).
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return Err(unpacker.damaged());
    if (auto made = unpacker.entry(entry); !made) return made.forward();
  }
  if (auto finished = unpacker.finish(); !finished) return finished.forward();
  return unpacker.done();
}

}  // namespace brindlecast
