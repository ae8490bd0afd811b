#include "state/bundle.hpp"

#include <sys/stat.h>

#include <compare>
#include <cstddef>

#include "common/constants.hpp"
#include "common/file.hpp"
#include "common/paths.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"
#include "state/version.hpp"

namespace brindlecast {
namespace {

constexpr std::string_view kInfoPlist = "Info.plist";
constexpr std::string_view kVersionKey = "<key>CFBundleShortVersionString</key>";
constexpr std::string_view kStringOpen = "<string>";
constexpr std::string_view kStringClose = "</string>";

// The UTF-8 encodings of the Unicode White_Space characters.
constexpr std::string_view kWhiteSpace[] = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",      // U+0085
    "\xC2\xA0",      // U+00A0
    "\xE1\x9A\x80",  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000..U+200A
    "\xE2\x80\xA8",                                                                  // U+2028
    "\xE2\x80\xA9",                                                                  // U+2029
    "\xE2\x80\xAF",                                                                  // U+202F
    "\xE2\x81\x9F",                                                                  // U+205F
    "\xE3\x80\x80",                                                                  // U+3000
};

// Each encoding starts with a lead byte or is ASCII, so a match at either end
// of valid UTF-8 is always a whole character.
std::size_t leading_space(std::string_view s) {
  for (const auto ws : kWhiteSpace) {
    if (s.substr(0, ws.size()) == ws) return ws.size();
  }
  return 0;
}

std::size_t trailing_space(std::string_view s) {
  for (const auto ws : kWhiteSpace) {
    if (s.size() >= ws.size() && s.substr(s.size() - ws.size()) == ws) return ws.size();
  }
  return 0;
}

std::string_view trim_start(std::string_view s) {
  while (const auto n = leading_space(s)) s.remove_prefix(n);
  return s;
}

std::string_view trim_end(std::string_view s) {
  while (const auto n = trailing_space(s)) s.remove_suffix(n);
  return s;
}

}  // namespace

std::optional<std::string> find_sibling_client(const std::optional<std::string>& executable) {
  if (!executable) return std::nullopt;
  const auto dir = parent_path(*executable);
  if (!dir) return std::nullopt;
  std::string candidate = join_path(*dir, kClientFileName);
  // The system would see the path cut short at the NUL.
  if (candidate.find('\0') != std::string::npos) return std::nullopt;
  struct stat st {};
  if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return candidate;
}

std::optional<std::string> find_sibling_client() { return find_sibling_client(executable_path()); }

std::optional<std::string> read_bundle_version(std::string_view sibling_client_path) {
  const auto macos_dir = parent_path(sibling_client_path);
  if (!macos_dir) return std::nullopt;
  const auto contents_dir = parent_path(*macos_dir);
  if (!contents_dir) return std::nullopt;
  auto file = read_file(join_path(*contents_dir, kInfoPlist));
  if (!file) return std::nullopt;
  return bundle_version_from_plist(*file);
}

std::optional<std::string> bundle_version_from_plist(std::string_view text) {
  if (!is_valid_utf8(text)) return std::nullopt;
  const auto key = text.find(kVersionKey);
  if (key == std::string_view::npos) return std::nullopt;
  text.remove_prefix(key + kVersionKey.size());
  // A repeated key ends the search, so a later value is never picked up.
  text = text.substr(0, text.find(kVersionKey));

  text = trim_start(text);
  if (text.substr(0, kStringOpen.size()) != kStringOpen) return std::nullopt;
  text.remove_prefix(kStringOpen.size());
  text = text.substr(0, text.find(kStringClose));

  text = trim_end(trim_start(text));
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

bool sibling_client_is_newer(const InstallState& state, std::string_view sibling_client_path) {
  if (state.pending) return false;
  const auto entry = state.versions.find(state.active);
  if (entry == state.versions.end() || !entry->second) return false;
  const auto bundle_text = read_bundle_version(sibling_client_path);
  if (!bundle_text) return false;
  const auto bundle = parse_version(*bundle_text);
  const auto recorded = parse_version(*entry->second);
  if (!bundle || !recorded) return false;
  return compare_versions(*bundle, *recorded) == std::strong_ordering::greater;
}

}  // namespace brindlecast
