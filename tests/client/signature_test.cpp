// Signatures made by minisign itself, in both forms, checked by copy_verified
// and verify_file: each row tampers with one thing and must be refused for it.
#include "client/signature.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "client/remove_tree.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace brindlecast {
namespace {

using namespace testing;  // brindlecast::testing: the temporary folders and processes

struct Case {
  std::string archive, signature, key;  // the bytes checked, the .minisig's text, the key argument
  std::int64_t size_off = 0;            // added to the size given to copy_verified
  std::uint64_t max = UINT64_MAX;
  bool link = false;  // the signature reached through a symbolic link
};

struct Row {
  std::string name;
  std::function<void(Case&)> tamper;  // none: as minisign made it
  std::string refused;                // part of the message; empty: it holds
  bool copy_only = false;             // verify_file, which takes no size, holds
  std::string comment = "version:2.0", version = "2.0";
};

// Replaces the character at of line n (from 0) by to, or by another base64 one.
void flip(std::string& text, int n, std::size_t at, char to = 0) {
  std::size_t start = 0;
  while (n-- > 0) start = text.find('\n', start) + 1;
  text[start + at] = to != 0 ? to : text[start + at] == 'A' ? 'B' : 'A';
}

// The base64 line of a public-key file.
std::string key_line(const std::string& path) {
  const std::string text = read_file_or_die(path);
  return text.substr(text.find('\n') + 1, 56);
}

void replace(std::string& text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
}

// Both outcomes, "" where it held, after the copy is checked against the source.
std::pair<std::string, std::string> check(const TempDir& dir, const Case& c, const std::string& version) {
  const auto message = [](const auto& r) { return r ? std::string() : r.error().message; };
  auto key = load_public_key(c.key);
  auto signature = load_signature(dir / (c.link ? "link" : "sig"));
  if (!key || !signature) return {message(key) + message(signature), message(key) + message(signature)};
  Fd from(::open((dir / "archive").c_str(), O_RDONLY));
  Fd to(::open((dir / "copy").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  std::uint64_t seen = 0;
  auto copied = copy_verified(from.get(), "archive", c.archive.size() + c.size_off, to.get(), *key,
                              *signature, version, c.max, [&](std::uint64_t n) { seen = n; });
  EXPECT_TRUE(!copied || (*copied == c.archive.size() && seen == *copied &&
                          read_file_or_die(dir / "copy") == c.archive));
  return {message(copied), message(verify_file(from.get(), "archive", *key, *signature, version))};
}

TEST(Signature, MinisignSignaturesHoldAndEachTamperingIsRefused) {
  TempDir keys;
  std::vector<std::string> ids;  // as minisign shows them
  for (const std::string name : {"a", "b"}) {
    const auto made = run_process({"minisign", "-G", "-W", "-p", keys / (name + ".pub"), "-s", keys / name});
    if (made.status == 127) GTEST_SKIP() << "Debian's minisign tool is not installed";
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string text = read_file_or_die(keys / (name + ".pub"));
    ids.push_back(text.substr(39, text.find('\n') - 39));  // after "untrusted comment: minisign public key "
  }
  const std::string held = "does not hold for \"archive\": the archive or its signature was changed";
  const std::string changed = "was changed after it was signed";
  const std::string not_version = "does not say version:2.0: a signed archive installs only as the version";
  const std::vector<Row> rows = {
      {"key line", [](Case& c) { c.key = key_line(c.key); }, ""},
      {"tokens", {}, "", false, "build:7\tversion:2.0 channel:beta"},
      {"crlf, no final newline",
       [](Case& c) {
         c.signature =
             std::regex_replace(c.signature.substr(0, c.signature.size() - 1), std::regex("\n"), "\r\n");
       },
       ""},
      {"archive", [](Case& c) { c.archive[1500000] ^= 1; }, held},
      {"signature line", [](Case& c) { flip(c.signature, 1, 60); }, held},
      {"global line", [](Case& c) { flip(c.signature, 3, 40); }, changed},
      {"comment", [](Case& c) { replace(c.signature, "2.0", "2.1"); }, changed, false, "version:2.0", "2.1"},
      {"other key", [&](Case& c) { c.key = keys / "b.pub"; },
       "was made with key " + ids[0] + ", not with the key given (" + ids[1] + ")"},
      {"version", {}, "(\"version:1.0\") " + not_version, false, "version:1.0"},
      {"near misses", {}, not_version, false, "version:2.0x xversion:2.0 version:2.0.1"},
      {"source grew", [](Case& c) { c.size_off = -1; }, "changed while it was read", true},
      {"source shrank", [](Case& c) { c.size_off = 1; }, "changed while it was read", true},
      {"over max", [](Case& c) { c.max = c.archive.size() - 1; }, "more than the", true},
      {"blank line", [](Case& c) { c.signature += "\n"; }, "it has 5 lines, not 4"},
      {"garbage", [](Case& c) { replace(c.signature, "=\n", "=A\n"); }, "line 2 is not the base64"},
      {"algorithm", [](Case& c) { flip(c.signature, 1, 1, 'V'); }, "names an algorithm other than ED"},
      {"key garbage", [](Case& c) { c.key = key_line(c.key) + "A"; }, "is neither a minisign public key"},
      {"link", [](Case& c) { c.link = true; }, "is a symbolic link"},
  };
  std::string archive(1536 * 1024 + 7, '\0');  // more than one block of the copy
  for (std::size_t i = 0; i < archive.size(); ++i) archive[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (const Row& row : rows) {
    for (const bool legacy : {false, true}) {
      SCOPED_TRACE(row.name + (legacy ? " (legacy)" : " (prehashed)"));
      TempDir dir;
      write_file(dir / "archive", archive);
      const auto made = run_process({"minisign", "-S", legacy ? "-l" : "-W", "-s", keys / "a", "-m",
                                     dir / "archive", "-x", dir / "sig", "-t", row.comment});
      ASSERT_EQ(made.status, 0) << made.err;
      Case c{archive, read_file_or_die(dir / "sig"), keys / "a.pub"};
      if (row.tamper) row.tamper(c);
      write_file(dir / "archive", c.archive);
      write_file(dir / "sig", c.signature);
      ASSERT_EQ(::symlink("sig", (dir / "link").c_str()), 0);
      const auto [copied, verified] = check(dir, c, row.version);
      const auto says = [](const std::string& message, const std::string& part) {
        return part.empty() ? message.empty() : message.find(part) != std::string::npos;
      };
      EXPECT_TRUE(says(copied, row.refused)) << copied;
      EXPECT_TRUE(says(verified, row.copy_only ? "" : row.refused)) << verified;
    }
  }
}

}  // namespace
}  // namespace brindlecast
