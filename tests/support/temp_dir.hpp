// Test helpers: a temporary directory removed with everything in it, and
// whole-file reads and writes that fail the test on error.
#pragma once

#include <string>
#include <string_view>

namespace brindlecast::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() joined with a relative name.
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

// Creates the parent directories as needed; mode applies to the file.
void write_file(const std::string& path, std::string_view bytes, unsigned mode = 0644);
std::string read_file_or_die(const std::string& path);
bool file_exists(const std::string& path);
void make_dirs(const std::string& path);

// Whether the file system of dir takes a name that is not UTF-8: APFS
// refuses one with EILSEQ.
bool takes_non_utf8_names(const TempDir& dir);

}  // namespace brindlecast::testing
