// unpack_archive on archives built here with libarchive's writer, hostile ones above all: what
// each makes or refuses; none makes anything beside the target or changes a file outside.
#include "client/archive.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "client/remove_tree.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

constexpr int kHardLink = 1;  // an Entry's type: a hard link to data

struct Entry {
  std::string name;
  int type = AE_IFREG;
  std::string data = {};  // a file's bytes, a link's target
  unsigned mode = 0644;
  std::uint64_t size = 0;  // a file this long, data in its middle: sparse, or all zeros
};

std::string with_outside(std::string text, const std::string& outside) {
  for (std::size_t at; (at = text.find("%o")) != std::string::npos;) text.replace(at, 2, outside);
  return text;
}

void write_archive(const std::string& path, int format, int filter, const std::vector<Entry>& entries,
                   const std::string& outside) {
  archive* a = archive_write_new();
  ASSERT_EQ(archive_write_set_format(a, format) + archive_write_add_filter(a, filter) +
                archive_write_open_filename(a, path.c_str()),
            ARCHIVE_OK);
  const std::string zeros(1 << 20, '\0');
  const auto write_zeros = [&](std::uint64_t n) {
    for (std::uint64_t step; n > 0; n -= step)
      archive_write_data(a, zeros.data(), step = std::min<std::uint64_t>(n, zeros.size()));
  };
  for (const auto& entry : entries) {
    archive_entry* e = archive_entry_new();
    archive_entry_copy_pathname(e, with_outside(entry.name, outside).c_str());
    archive_entry_set_filetype(e, entry.type == kHardLink ? AE_IFREG : entry.type);
    archive_entry_set_perm(e, entry.mode);
    if (entry.type == kHardLink) archive_entry_copy_hardlink(e, with_outside(entry.data, outside).c_str());
    if (entry.type == AE_IFLNK) archive_entry_copy_symlink(e, with_outside(entry.data, outside).c_str());
    const bool file = entry.type == AE_IFREG, sparse = file && entry.size > 0 && !entry.data.empty();
    const std::uint64_t size = file ? std::max(entry.size, std::uint64_t{entry.data.size()}) : 0;
    archive_entry_set_size(e, static_cast<la_int64_t>(size));
    if (sparse) archive_entry_sparse_add_entry(e, static_cast<la_int64_t>(size / 2), entry.data.size());
    EXPECT_GE(archive_write_header(a, e), ARCHIVE_WARN) << archive_error_string(a);
    if (file) write_zeros(sparse ? size / 2 : 0);  // holes too: the writer skips what the map calls one
    if (file) archive_write_data(a, entry.data.data(), entry.data.size());
    if (file) write_zeros(size - entry.data.size() - (sparse ? size / 2 : 0));
    archive_entry_free(e);
  }
  archive_write_free(a);
}

// What dir holds, sorted, joined by "; ": "path/ mode", "path -> target", "path mode bytes" (" xN"
// for N links; a long file by its length and 5 bytes from its middle); dir itself is ".".
std::string listing(const std::string& dir) {
  const auto line = [&](const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    char mode[8];
    std::snprintf(mode, sizeof mode, " %o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string name = path.lexically_relative(dir).string();
    if (S_ISLNK(st.st_mode)) return name + " -> " + std::filesystem::read_symlink(path).string();
    if (S_ISDIR(st.st_mode)) return name + "/" + mode;
    const bool big = st.st_size > 4096;
    std::string bytes(big ? 5 : static_cast<std::size_t>(st.st_size), '\0');
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(::pread(fd.get(), bytes.data(), bytes.size(), big ? st.st_size / 2 : 0), std::ssize(bytes));
    // In steps: GCC 12 at -O3 takes one long sum of strings for an overlapping copy.
    std::string out = name + mode;
    if (big) {
      out += ' ';
      out += std::to_string(st.st_size);
      if (st.st_blocks < 2048) out += " sparse";
    }
    out += ' ';
    out += bytes;
    if (st.st_nlink > 1) {
      out += " x";
      out += std::to_string(st.st_nlink);
    }
    return out;
  };
  std::set<std::string> lines = {line(dir)};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    lines.insert(line(entry.path()));
  std::string all;
  for (const auto& each : lines) all += (all.empty() ? "" : "; ") + each;
  return all;
}

struct Row {
  const char* what;
  std::vector<Entry> entries;  // "%o" in a name or a target is the outside directory
  std::string outcome;         // the refusal after `source "A" `, or the listing of what was made
  UnpackLimits limits = {};
  int format = ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, filter = ARCHIVE_FILTER_NONE;
  off_t cut = 0;  // the archive cut to this length
};

TEST(Archive, MakesOnlyWhatStaysInsideAndRefusesTheRest) {
  const std::string other =
      "is not an archive install reads (tar, plain or with gzip, bzip2, xz or zstd, or zip)";
  const std::string kinds = "; a slot holds only files, directories and links", n150(150, 'n');
  const std::string hard = "holds a hard link to what it did not unpack before as a file: h -> ";
  const std::string leaves = "holds a link that leaves the slot: ",
                    invalid = "holds a name that is not a valid file name: ";
  const int pax = ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ustar = ARCHIVE_FORMAT_TAR_USTAR,
            zip = ARCHIVE_FORMAT_ZIP;
  const int dir = AE_IFDIR, lnk = AE_IFLNK;
  // clang-format off
  const std::vector<Row> rows = {
      {"tar.zst: modes less 07022, a 0555 directory filled last, implied directories, links that stay",
       {{"./", dir, "", 0750}, {"./d/", dir, "", 0555}, {"./d/f", AE_IFREG, "hi", 06775}, {"d/l", lnk, "../f"}, {"f", AE_IFREG, "top", 0666},
        {"h", kHardLink, "./d/f"}, {"i/j/k", AE_IFREG, "x", 0600}, {"i", dir, "", 0700}, {"a", lnk, "."}, {"b", lnk, "a/a/f"}, {"d", dir, "", 0555}},
       "./ 750; a -> .; b -> a/a/f; d/ 555; d/f 755 hi x2; d/l -> ../f; f 644 top; h 755 hi x2; i/ 700; i/j/ 755; i/j/k 600 x", {}, pax, ARCHIVE_FILTER_ZSTD},
      {"GNU tar.xz, a long name", {{n150 + "/f", AE_IFREG, "g"}}, "./ 755; " + n150 + "/ 755; " + n150 + "/f 644 g", {}, ARCHIVE_FORMAT_TAR_GNUTAR, ARCHIVE_FILTER_XZ},
      {"zip with a link", {{"d/", dir, "", 0700}, {"d/f", AE_IFREG, "z"}, {"l", lnk, "d/f"}}, "./ 755; d/ 700; d/f 644 z; l -> d/f", {}, zip},
      {"absolute", {{"%o/victim", AE_IFREG, "evil"}}, "holds an absolute path: %o/victim"}, {"..", {{"a/../../up"}}, "holds a path with \"..\": a/../../up"},
      {"through a link", {{"d", dir}, {"l", lnk, "d"}, {"l/x"}}, "holds a path through a link: l/x"}, {"through a file", {{"f"}, {"f/x"}}, "holds a path through a file: f/x"},
      {"link to an absolute path", {{"l", lnk, "%o"}, {"l/victim", AE_IFREG, "evil"}}, leaves + "l -> %o"},
      {"a -> ., b -> a/..", {{"a", lnk, "."}, {"b", lnk, "a/.."}, {"b/x"}}, leaves + "b -> a/.."}, {"d/a -> .., d/b -> a/..", {{"d/a", lnk, ".."}, {"d/b", lnk, "a/.."}}, leaves + "d/b -> a/.."},
      {"above the top", {{"d/l", lnk, "./../../x"}}, leaves + "d/l -> ./../../x"}, {"zip, above the top", {{"l", lnk, "../x"}}, leaves + "l -> ../x", {}, zip},
      {"hard link outside", {{"h", kHardLink, "%o/victim"}}, hard + "%o/victim"}, {"hard link to a later entry", {{"h", kHardLink, "f"}, {"f"}}, hard + "f"},
      {"hard link to a directory", {{"d", dir}, {"h", kHardLink, "d"}}, hard + "d"}, {"FIFO", {{"p", AE_IFIFO}}, "holds a FIFO: p" + kinds},
      {"device", {{"c", AE_IFCHR}}, "holds a device: c" + kinds}, {"not UTF-8", {{"bad\xff"}}, invalid + "bad\xef\xbf\xbd", {}, ustar},
      {"control byte", {{"a\x1b[2Jb"}}, invalid + "a\\x1b[2Jb"}, {"a . inside", {{"a/./b"}}, invalid + "a/./b"},
      {"tar.bz2, a file twice", {{"f"}, {"f"}}, "names f twice", {}, ustar, ARCHIVE_FILTER_BZIP2}, {"a file over a directory", {{"d/x"}, {"d"}}, "names d twice"},
      {"entries", {{"a"}, {"b"}, {"c"}}, "holds more than 2 entries", {0, 2}}, {"depth", {{"a/b"}, {"a/b/c/d"}}, "holds a path deeper than 3 levels: a/b/c/d", {0, 9, 3}},
      {"bytes of all entries", {{"a", AE_IFREG, "", 0644, 600}, {"b", AE_IFREG, "", 0644, 600}}, "unpacks to more than 1000 bytes (--max-bytes)", {1000}},
      {"a gzip bomb", {{"z", AE_IFREG, "", 0644, 256 << 20}}, "unpacks to more than 65536 bytes (--max-bytes)", {65536}, pax, ARCHIVE_FILTER_GZIP},
      {"text", {{"t", AE_IFREG, "not an archive\n"}}, other, {}, ARCHIVE_FORMAT_RAW}, {"cpio", {{"f", AE_IFREG, "c"}}, other, {}, ARCHIVE_FORMAT_CPIO_POSIX},
      {"gzip of text", {{"t", AE_IFREG, "not an archive\n"}}, other, {}, ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP},
      {"a hole costs nothing", {{"s", AE_IFREG, "hello", 0644, 1 << 30}}, "./ 755; s 644 1073741824 sparse hello"},
      {"cut short", {{"f", AE_IFREG, "", 0644, 4096}}, "is damaged: Truncated tar archive", {}, ustar, ARCHIVE_FILTER_NONE, 2048},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    testing::TempDir work, outside, source;
    testing::write_file(outside / "victim", "kept");
    write_archive(source / "a", row.format, row.filter, row.entries, outside.path());
    ASSERT_EQ(row.cut != 0 ? ::truncate((source / "a").c_str(), row.cut) : 0, 0);
    ::mkdir((work / "into").c_str(), 0700);
    Fd fd(::open((source / "a").c_str(), O_RDONLY)), into(::open((work / "into").c_str(), O_RDONLY));
    std::uint64_t calls = 0;
    const auto got = unpack_archive(fd.get(), "A", into.get(), row.limits,
                                    [&](const UnpackProgress& now) { EXPECT_EQ(now.files, ++calls); });
    if (got) {
      EXPECT_EQ(listing(work / "into"), row.outcome);
      EXPECT_EQ(calls, got->files);
    } else {
      EXPECT_EQ(got.error().message, "source \"A\" " + with_outside(row.outcome, outside.path()));
      EXPECT_EQ(got.error().kind, ErrorKind::InvalidInput);
      const off_t read = ::lseek(fd.get(), 0, SEEK_CUR), size = ::lseek(fd.get(), 0, SEEK_END);
      EXPECT_TRUE(size < (1 << 17) || read < size / 2) << "read on after the refusal";
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(work.path()), {}), 1);
    EXPECT_EQ(listing(outside.path()), "./ 700; victim 644 kept");
  }
}

}  // namespace
}  // namespace brindlecast
