// macOS's platform layer: what platform.hpp declares, as XNU and libSystem
// do it. CMake builds it for macOS only, platform_linux.cpp for Linux.
#if !defined(__APPLE__)
#error "platform_macos.cpp is macOS's platform layer; CMake builds platform_linux.cpp for Linux"
#endif

#include <copyfile.h>
#include <fcntl.h>
#include <mach-o/dyld.h>
#include <stdio.h>
#include <sys/attr.h>
#include <sys/clonefile.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/platform.hpp"
#include "common/platform_shared.hpp"

namespace brindlecast {

using namespace platform_detail;

std::optional<std::string> executable_path() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buf(size + 1, '\0');
  if (_NSGetExecutablePath(buf.data(), &size) != 0) return std::nullopt;
  return std::string(buf.data());
}

int sync_file(int fd) {
  // fsync alone may leave the data in the drive's cache; not every file
  // system supports the full flush, so fall back to fsync.
  if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
  return fsync(fd);
}

int barrier_sync_file(int fd) {
  // Orders the data before later writes without draining the drive's cache,
  // which is what makes the full flush slow; one full flush afterwards then
  // makes both durable.
#ifdef F_BARRIERFSYNC
  if (fcntl(fd, F_BARRIERFSYNC) == 0) return 0;
#endif
  return fsync(fd);
}

std::optional<std::vector<std::string>> mount_points() {
  // getfsstat fills a buffer of our own; getmntinfo's shared one is not safe
  // for a library called from any thread.
  const int count = getfsstat(nullptr, 0, MNT_NOWAIT);
  if (count <= 0) return std::nullopt;
  std::vector<struct statfs> mounts(static_cast<std::size_t>(count) + 16);
  const int got =
      getfsstat(mounts.data(), static_cast<int>(mounts.size() * sizeof(struct statfs)), MNT_NOWAIT);
  if (got <= 0) return std::nullopt;
  std::vector<std::string> points;
  for (int i = 0; i < got; ++i) points.emplace_back(mounts[static_cast<std::size_t>(i)].f_mntonname);
  return points;
}

int rename_no_replace(const char* from, const char* to) {
  if (::renamex_np(from, to, RENAME_EXCL) == 0) return 0;
  return errno == ENOTSUP ? link_then_unlink(from, to) : -1;
}

int rename_no_replace_at(int from_dir, const char* from, int to_dir, const char* to) {
  return ::renameatx_np(from_dir, from, to_dir, to, RENAME_EXCL);
}

FileTimes file_times(const struct stat& st) {
  return {nanoseconds(st.st_ctimespec), nanoseconds(st.st_mtimespec)};
}

// Each mount has a device of its own.
bool same_mount(int a, int b) {
  struct stat x {};
  struct stat y {};
  return ::fstat(a, &x) == 0 && ::fstat(b, &y) == 0 && x.st_dev == y.st_dev;
}

int copy_file_into(int from, int to_dir, const char* name, mode_t mode, off_t) {
  // An APFS clone costs the same for any size, shares the blocks until
  // either side changes, and keeps holes. Run as root it would keep the
  // source's owner. The fallback is for file systems without clones, such
  // as HFS+, which has no holes to keep.
  if (::fclonefileat(from, to_dir, name, CLONE_NOOWNERCOPY) == 0) {
    const int to = ::openat(to_dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (to >= 0) return finish_copy(to, to_dir, name, mode, true);
    const int e = errno;
    ::unlinkat(to_dir, name, 0);
    errno = e;
    return -1;
  }
  if (errno != ENOTSUP && errno != EXDEV) return -1;
  const int to = ::openat(to_dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (to < 0) return -1;
  const bool copied = ::fcopyfile(from, to, nullptr, COPYFILE_DATA | COPYFILE_XATTR) == 0;
  return finish_copy(to, to_dir, name, mode, copied);
}

int order_entry(int fd) { return barrier_sync_file(fd); }

int flush_file_system(int) { return 0; }

namespace {

// XNU's image activators, tried in this order by exec_activate_image
// (execsw): exec_mach_imgact, exec_fat_imgact, exec_shell_imgact.
constexpr std::uint32_t kMhMagic = 0xfeedface, kMhMagic64 = 0xfeedfacf;
constexpr std::uint32_t kMhCigam = 0xcefaedfe, kMhCigam64 = 0xcffaedfe;
constexpr std::uint32_t kFatMagic = 0xcafebabe, kFatMagic64 = 0xcafebabf;
constexpr std::uint32_t kMhExecute = 2, kLcLoadDylinker = 0xe;
constexpr std::int32_t kCpuAbi64 = 0x01000000, kCpuX86 = 7, kCpuArm = 12;
constexpr std::int32_t kCpuX86_64 = kCpuX86 | kCpuAbi64, kCpuArm64 = kCpuArm | kCpuAbi64;

std::string cpu_name(std::int32_t cpu) {
  static constexpr std::pair<std::int32_t, const char*> kNames[] = {
      {kCpuX86, "i386"}, {kCpuX86_64, "x86_64"}, {kCpuArm, "arm"}, {kCpuArm64, "arm64"}, {18, "ppc"}};
  for (const auto& [number, name] : kNames) {
    if (number == cpu) return name;
  }
  return "CPU type " + std::to_string(cpu);
}

// This Mac's CPU, and whether Rosetta runs x86_64 programs on it.
struct Cpus {
  std::int32_t native;
  bool rosetta;
};

Cpus this_mac() {
#if defined(__aarch64__) || defined(__arm64__)
  const bool arm = true;
#else
  // An x86_64 build translated by Rosetta is on Apple silicon all the same.
  int translated = 0;
  std::size_t size = sizeof translated;
  const bool arm =
      ::sysctlbyname("sysctl.proc_translated", &translated, &size, nullptr, 0) == 0 && translated == 1;
#endif
  if (!arm) return {kCpuX86_64, false};
  struct stat st {};
  return {kCpuArm64, ::stat("/Library/Apple/usr/libexec/oah/libRosettaRuntime", &st) == 0};
}

bool runs_cpu(std::int32_t cpu, const Cpus& mac) {
  return cpu == mac.native || (mac.rosetta && cpu == kCpuX86_64);
}

// The fat header and its slices are big-endian whatever the machine.
std::uint64_t big_endian(std::string_view bytes, std::size_t offset, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size && offset + i < bytes.size(); ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
  }
  return value;
}

// exec_mach_imgact on the thin Mach-O whose header is header, at base in
// the file: its byte order, its type (a loader's is not a program's), its
// CPU (grade_binary: EBADARCH), then the loader it names (load_dylinker).
ExecRule thin_rule(int fd, std::string_view header, std::uint64_t base, bool loader) {
  const auto magic = field<std::uint32_t>(header, 0);
  if (magic == kMhCigam || magic == kMhCigam64) {
    return refused(EBADARCH, "is a Mach-O file in the other byte order");
  }
  const auto type = field<std::uint32_t>(header, 12);
  if (!loader && type != kMhExecute) {
    return refused(ENOEXEC, "is a Mach-O file that is no program (file type " + std::to_string(type) + ")");
  }
  const auto cpu = field<std::int32_t>(header, 4);
  if (const Cpus mac = this_mac(); !runs_cpu(cpu, mac)) {
    return refused(EBADARCH, "is a Mach-O file for " + cpu_name(cpu) + ", and this Mac is " +
                                 cpu_name(mac.native) +
                                 (mac.native == kCpuArm64 && cpu == kCpuX86_64 ? " without Rosetta" : ""));
  }
  if (loader) return {ExecRule::Kind::Program, "", 0, ""};
  const std::size_t size = magic == kMhMagic64 ? 32 : 28;
  const std::string commands =
      read_at(fd, base + size, std::min<std::uint32_t>(field<std::uint32_t>(header, 20), 1 << 20));
  std::size_t at = 0;
  for (std::uint32_t i = field<std::uint32_t>(header, 16); i > 0 && at + 12 <= commands.size(); --i) {
    const auto command = field<std::uint32_t>(commands, at);
    const auto length = field<std::uint32_t>(commands, at + 4);
    if (length < 8 || at + length > commands.size()) break;
    const auto name = field<std::uint32_t>(commands, at + 8);
    if (command == kLcLoadDylinker && name < length) {
      return {ExecRule::Kind::Program, commands.substr(at + name, length - name).c_str(), 0, ""};
    }
    at += length;
  }
  return {ExecRule::Kind::Program, "", 0, ""};
}

// A Mach-O or universal file as XNU takes it; nothing for any other file.
// Of a universal file exec_fat_imgact takes the slice fatfile_getbestarch
// picks, this Mac's own before one Rosetta runs; with none, EBADARCH ("Bad
// CPU type in executable").
std::optional<ExecRule> mach_rule(int fd, std::string_view head, bool loader) {
  const auto magic = field<std::uint32_t>(head, 0);
  if (magic == kMhMagic || magic == kMhMagic64 || magic == kMhCigam || magic == kMhCigam64) {
    return thin_rule(fd, head, 0, loader);
  }
  const auto fat = big_endian(head, 0, 4);
  if (fat != kFatMagic && fat != kFatMagic64) return std::nullopt;
  const std::size_t entry = fat == kFatMagic64 ? 32 : 20;
  const Cpus mac = this_mac();
  std::optional<std::pair<std::uint64_t, std::int32_t>> best;  // offset, CPU
  for (std::uint64_t i = 0; i < big_endian(head, 4, 4) && 8 + (i + 1) * entry <= head.size(); ++i) {
    const std::size_t at = 8 + i * entry;
    const auto cpu = static_cast<std::int32_t>(big_endian(head, at, 4));
    const std::uint64_t offset = big_endian(head, at + 8, entry == 32 ? 8 : 4);
    if (runs_cpu(cpu, mac) && (!best || cpu == mac.native)) best = std::pair(offset, cpu);
  }
  if (!best) return refused(EBADARCH, "is a universal file with no slice for " + cpu_name(mac.native));
  const std::string slice = read_at(fd, best->first, 32);
  const auto slice_magic = field<std::uint32_t>(slice, 0);
  if (slice_magic != kMhMagic && slice_magic != kMhMagic64) {
    return refused(ENOEXEC,
                   "is a universal file whose " + cpu_name(best->second) + " slice is no Mach-O file");
  }
  if (field<std::int32_t>(slice, 4) != best->second) {
    return refused(EBADARCH,
                   "is a universal file whose " + cpu_name(best->second) + " slice is for another CPU");
  }
  return thin_rule(fd, slice, best->first, loader);
}

// exec_shell_imgact on the IMG_SHSIZE (512) bytes it looks at: the line
// ends at a newline or a '#', and must end within them; the interpreter's
// name runs to the first blank. It takes a script only once per exec
// (IMGPF_INTERPRET), so a script's interpreter may not be a script.
ExecRule script_rule(std::string_view head, int depth) {
  if (depth > 0)
    return refused(ENOEXEC, "is itself a script, and the kernel takes no script as an interpreter");
  std::string line(head.substr(0, 512));
  line.resize(512, '\0');
  const auto eol = [](char c) { return c == '#' || c == '\n'; };
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t at = 2;
  while (at < line.size() && blank(line[at])) ++at;
  if (at == line.size() || eol(line[at]))
    return refused(ENOEXEC, "is a script whose #! line names no interpreter");
  const std::size_t start = at;
  while (at < line.size() && !eol(line[at])) ++at;
  if (at == line.size()) {
    return refused(ENOEXEC,
                   "is a script whose #! line does not end within the 512 bytes the kernel reads of it "
                   "(IMG_SHSIZE)");
  }
  while (eol(line[at]) || blank(line[at])) --at;
  std::size_t stop = start;
  while (stop <= at && !blank(line[stop])) ++stop;
  return {ExecRule::Kind::Interpreter, line.substr(start, stop - start).c_str(), 0, ""};
}

}  // namespace

ExecRule exec_rule(int fd, std::string_view head, std::string_view, int depth) {
  if (auto rule = mach_rule(fd, head, false)) return *rule;
  if (head.substr(0, 2) == "#!") return script_rule(head, depth);
  return refused(ENOEXEC, "is a script without a #! line");
}

std::optional<ExecRule> loader_refusal(int fd, std::string_view head) {
  auto rule = mach_rule(fd, head, true);
  if (!rule) return refused(EBADMACHO, "is no Mach-O file");
  if (rule->kind == ExecRule::Kind::Refused) return rule;
  return std::nullopt;
}

// Apple's posix_spawnp, derived from its execvP, runs a file that
// posix_spawn refuses with ENOEXEC through _PATH_BSHELL.
bool spawn_falls_back_to_sh() { return true; }

std::chrono::nanoseconds monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_UPTIME_RAW, &ts);
  return nanoseconds(ts);
}

// ENOTSUP and EOPNOTSUPP are two numbers here, and either may come.
bool flock_unsupported(int error) { return error == ENOLCK || error == ENOTSUP || error == EOPNOTSUPP; }

bool directory_flush_unsupported(int error) {
  return error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP;
}

}  // namespace brindlecast
