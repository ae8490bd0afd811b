// Linux's platform layer: what platform.hpp declares, as Linux and glibc do
// it. CMake builds it for Linux only, platform_macos.cpp for macOS.
#if !defined(__linux__)
#error "platform_linux.cpp is Linux's platform layer; CMake builds platform_macos.cpp for macOS"
#endif

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/file.hpp"
#include "common/platform.hpp"
#include "common/platform_shared.hpp"

namespace brindlecast {

using namespace platform_detail;

namespace {

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

}  // namespace

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
namespace {

// What exec_binprm reads of a file before any format looks at it
// (prepare_binprm): BINPRM_BUF_SIZE bytes, 256 since Linux 5.1, zero-filled
// past the end of a shorter file.
constexpr std::size_t kBinprmBufSize = 256;

// exec_binprm gives up when a file would hand over to a sixth interpreter
// in a row ("depth > 5": ELOOP).
constexpr int kMostInterpreters = 5;

// The ELF machines this kernel runs, by its own name for the machine
// (uname): its own, and the 32-bit one of its compat layer (ia32 emulation,
// AArch32), which Debian's kernels build in. Nothing where the name is not
// known here: then no machine is refused.
struct ElfMachine {
  char elf_class;  // EI_CLASS: 1 for 32 bits, 2 for 64
  std::uint16_t machine;
};

std::vector<ElfMachine> machines_run_here(const std::string& name) {
  if (name == "x86_64") return {{2, 62}, {1, 3}};
  if (name == "aarch64") return {{2, 183}, {1, 40}};
  if (name.size() == 4 && name[0] == 'i' && name.substr(2) == "86") return {{1, 3}};
  if (name.rfind("arm", 0) == 0) return {{1, 40}};
  if (name == "riscv64") return {{2, 243}};
  if (name == "ppc64le" || name == "ppc64") return {{2, 21}};
  if (name == "s390x") return {{2, 22}};
  if (name == "loongarch64") return {{2, 258}};
  return {};
}

std::string elf_machine_name(std::uint16_t machine) {
  static constexpr std::pair<std::uint16_t, const char*> kNames[] = {
      {3, "i386"},    {8, "mips"},      {21, "ppc64"},  {22, "s390"},      {40, "arm"},
      {62, "x86_64"}, {183, "aarch64"}, {243, "riscv"}, {258, "loongarch"}};
  for (const auto& [number, name] : kNames) {
    if (number == machine) return name;
  }
  return "machine " + std::to_string(machine);
}

// What binfmt_elf's arch check (elf_check_arch, or compat_elf_check_arch)
// refuses in an ELF header: nothing when it passes.
std::optional<std::string> foreign_elf(std::string_view header) {
  utsname u{};
  const std::string machine = ::uname(&u) == 0 ? u.machine : "";
  const auto runs = machines_run_here(machine);
  const auto e_machine = field<std::uint16_t>(header, 18);
  for (const auto& m : runs) {
    if (m.elf_class == header[4] && m.machine == e_machine) return std::nullopt;
  }
  if (runs.empty()) return std::nullopt;
  return std::string(header[4] == 1 ? "a 32-bit ELF for " : "an ELF for ") + elf_machine_name(e_machine) +
         ", and this machine is " + machine;
}

// load_elf_binary: a program (ET_EXEC, ET_DYN) for a machine the kernel
// runs, with program headers it can read (load_elf_phdrs), and the loader
// its PT_INTERP names, which must end in a NUL.
ExecRule elf_rule(int fd, std::string_view header) {
  const auto type = field<std::uint16_t>(header, 16);
  if (type != 2 && type != 3) {
    return refused(ENOEXEC, "is an ELF file that is no program (e_type " + std::to_string(type) + ")");
  }
  if (const auto foreign = foreign_elf(header)) return refused(ENOEXEC, "is " + *foreign);
  const bool wide = header[4] == 2;
  const std::uint64_t table = wide ? field<std::uint64_t>(header, 32) : field<std::uint32_t>(header, 28);
  const std::size_t entry = field<std::uint16_t>(header, wide ? 54 : 42);
  const std::size_t size = entry * field<std::uint16_t>(header, wide ? 56 : 44);
  if (entry != (wide ? 56u : 32u) || size == 0 || size > 65536 ||
      size > static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))) {
    return refused(ENOEXEC, "is an ELF program whose program headers the kernel does not read");
  }
  const std::string headers = read_at(fd, table, size);
  if (headers.size() != size) return refused(ENOEXEC, "is an ELF program cut short in its program headers");
  for (std::size_t at = 0; at < size; at += entry) {
    if (field<std::uint32_t>(headers, at) != 3) continue;  // PT_INTERP
    const std::uint64_t offset =
        wide ? field<std::uint64_t>(headers, at + 8) : field<std::uint32_t>(headers, at + 4);
    const std::uint64_t length =
        wide ? field<std::uint64_t>(headers, at + 32) : field<std::uint32_t>(headers, at + 16);
    if (length > PATH_MAX || length < 2) {
      return refused(ENOEXEC, "is an ELF program whose loader's name (PT_INTERP) is " +
                                  std::to_string(length) + " bytes long");
    }
    const std::string name = read_at(fd, offset, static_cast<std::size_t>(length));
    if (name.size() != length) return refused(EIO, "is an ELF program cut short in its loader's name");
    if (name.back() != '\0') {
      return refused(ENOEXEC, "is an ELF program whose loader's name (PT_INTERP) does not end in a NUL");
    }
    return {ExecRule::Kind::Program, name.c_str(), 0, ""};
  }
  return {ExecRule::Kind::Program, "", 0, ""};
}

// binfmt_script's load_script (since Linux 5.1) on the BINPRM_BUF_SIZE
// bytes: the line ends at a newline; without one in them, the interpreter's
// name must end (a blank or a NUL) within them, or the kernel takes it as cut
// short and refuses it; a line that names no interpreter is refused too.
ExecRule script_rule(std::string_view buf) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t end = buf.find('\n');
  if (end == std::string_view::npos) {
    const std::size_t name = buf.find_first_not_of(" \t", 2);
    if (name == std::string_view::npos)
      return refused(ENOEXEC, "is a script whose #! line names no interpreter");
    if (buf.find_first_of(std::string_view(" \t\0", 3), name) == std::string_view::npos) {
      return refused(ENOEXEC,
                     "is a script whose #! line does not end its interpreter's name within the 256 bytes the "
                     "kernel reads of it (BINPRM_BUF_SIZE)");
    }
    end = buf.size() - 1;
  }
  while (blank(buf[end - 1])) --end;
  std::size_t name = 2;
  while (name < end && blank(buf[name])) ++name;
  if (name >= end) return refused(ENOEXEC, "is a script whose #! line names no interpreter");
  std::size_t stop = name;
  while (stop < end && !blank(buf[stop]) && buf[stop] != '\0') ++stop;
  return {ExecRule::Kind::Interpreter, std::string(buf.substr(name, stop - name)), 0, ""};
}

// binfmt_misc, which the kernel asks before every other format: the first
// enabled entry whose magic (under its mask, at its offset) or whose
// extension matches hands the file to its interpreter, or with flag F to the
// interpreter it opened when it was registered.
std::optional<ExecRule> misc_rule(std::string_view buf, std::string_view path) {
  const std::string dir = "/proc/sys/fs/binfmt_misc";
  const auto status = read_file(dir + "/status");
  if (!status || status->rfind("enabled", 0) != 0) return std::nullopt;
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
  }
  const auto unhex = [](const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      out += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return out;
  };
  const std::size_t dot = path.rfind('.');
  for (const auto& name : names) {
    if (name == "status" || name == "register" || name[0] == '.') continue;
    const auto entry = read_file(dir + "/" + name);
    if (!entry || entry->rfind("enabled\n", 0) != 0) continue;
    std::string interpreter, flags, magic, mask, extension;
    std::size_t offset = 0;
    std::size_t start = 0;
    for (std::size_t end; (end = entry->find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = entry->substr(start, end - start);
      const std::size_t space = line.find(' ');
      const std::string key = line.substr(0, space),
                        value = space == std::string::npos ? "" : line.substr(space + 1);
      if (key == "interpreter") interpreter = value;
      if (key == "flags:") flags = value;
      if (key == "offset") offset = std::strtoul(value.c_str(), nullptr, 10);
      if (key == "magic") magic = unhex(value);
      if (key == "mask") mask = unhex(value);
      if (key == "extension") extension = value;
    }
    bool match = !extension.empty() ? dot != std::string_view::npos && path.substr(dot) == extension
                                    : !magic.empty() && offset + magic.size() <= buf.size();
    for (std::size_t i = 0; match && extension.empty() && i < magic.size(); ++i) {
      const char keep = i < mask.size() ? mask[i] : '\xff';
      match = ((buf[offset + i] ^ magic[i]) & keep) == 0;
    }
    if (!match) continue;
    if (flags.find('F') != std::string::npos) return ExecRule{ExecRule::Kind::Program, "", 0, ""};
    return ExecRule{ExecRule::Kind::Interpreter, interpreter, 0, ""};
  }
  return std::nullopt;
}

}  // namespace

ExecRule exec_rule(int fd, std::string_view head, std::string_view path, int depth) {
  if (depth > kMostInterpreters) {
    return refused(ELOOP, "is a " + std::to_string(depth) +
                              "th interpreter in a row, and the kernel follows at most " +
                              std::to_string(kMostInterpreters));
  }
  std::string buf(head.substr(0, kBinprmBufSize));
  buf.resize(kBinprmBufSize, '\0');
  if (auto misc = misc_rule(buf, path)) return *misc;
  if (buf.compare(0, 2, "#!") == 0) return script_rule(buf);
  if (buf.compare(0, 4, "\177ELF") == 0) return elf_rule(fd, buf);
  return refused(ENOEXEC, "is a script without a #! line");
}

std::optional<ExecRule> loader_refusal(int, std::string_view head) {
  // load_elf_binary wants an ELF for this machine as the interpreter it
  // loads, or fails with ELIBBAD.
  std::string header(head.substr(0, 64));
  header.resize(64, '\0');
  if (header.compare(0, 4, "\177ELF") != 0) return refused(ELIBBAD, "is no ELF file");
  if (const auto foreign = foreign_elf(header)) return refused(ELIBBAD, "is " + *foreign);
  return std::nullopt;
}

// glibc's posix_spawnp tries no shell since glibc 2.15 (only the older
// compat symbol passes SPAWN_XFLAGS_TRY_SHELL); Debian 12 has 2.36.
bool spawn_falls_back_to_sh() { return false; }

std::chrono::nanoseconds monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return nanoseconds(ts);
}

// ENOTSUP is EOPNOTSUPP's other name here.
bool flock_unsupported(int error) { return error == ENOLCK || error == EOPNOTSUPP; }

bool directory_flush_unsupported(int error) { return error == EINVAL || error == EOPNOTSUPP; }

}  // namespace brindlecast
