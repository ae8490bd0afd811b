#include "state/slots.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstddef>

#include "common/constants.hpp"
#include "common/file.hpp"
#include "common/paths.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"

namespace brindlecast {
namespace {

constexpr std::string_view kSlotsDir = "slots";
constexpr std::string_view kInfoPlist = "Info.plist";
constexpr std::string_view kVersionKey = "<key>CFBundleShortVersionString</key>";
constexpr std::string_view kStringOpen = "<string>";
constexpr std::string_view kStringClose = "</string>";

// The UTF-8 encodings of the Unicode White_Space characters.
constexpr std::string_view kWhiteSpace[] = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85",      // U+0085
    "\xC2\xA0",      // U+00A0
    "\xE1\x9A\x80",  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000..U+200A
    "\xE2\x80\xA8",  // U+2028
    "\xE2\x80\xA9",  // U+2029
    "\xE2\x80\xAF",  // U+202F
    "\xE2\x81\x9F",  // U+205F
    "\xE3\x80\x80",  // U+3000
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

bool all_ascii_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value of a run of ASCII digits, or nothing if it is not one or does not
// fit in 64 bits.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (!all_ascii_digits(s)) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

// Splits at every '.'; an empty text gives one empty part.
std::vector<std::string_view> split_dots(std::string_view s) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto dot = s.find('.');
    parts.push_back(s.substr(0, dot));
    if (dot == std::string_view::npos) return parts;
    s.remove_prefix(dot + 1);
  }
}

std::strong_ordering compare_identifiers(std::string_view a, std::string_view b) {
  const auto na = parse_u64(a);
  const auto nb = parse_u64(b);
  if (na && nb) return *na <=> *nb;
  if (na) return std::strong_ordering::less;
  if (nb) return std::strong_ordering::greater;
  // Byte by byte as unsigned values; a proper prefix is the lesser.
  const int c = a.compare(b);
  return c < 0 ? std::strong_ordering::less : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
}

}  // namespace

std::string entrypoint_path(std::string_view install_root, std::string_view slot) {
  return join_path(join_path(join_path(install_root, kSlotsDir), slot), kClientFileName);
}

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

std::optional<Version> parse_version(std::string_view text) {
  text = text.substr(0, text.find('+'));
  const auto dash = text.find('-');
  const std::string_view core = text.substr(0, dash);

  const auto numbers = split_dots(core);
  if (numbers.size() != 3) return std::nullopt;
  const auto major = parse_u64(numbers[0]);
  const auto minor = parse_u64(numbers[1]);
  const auto patch = parse_u64(numbers[2]);
  if (!major || !minor || !patch) return std::nullopt;

  Version version{*major, *minor, *patch, {}};
  if (dash != std::string_view::npos) {
    // split_dots turns an empty pre-release into one empty identifier, which
    // is refused below like any other empty identifier.
    for (const auto id : split_dots(text.substr(dash + 1))) {
      if (id.empty()) return std::nullopt;
      version.pre.emplace_back(id);
    }
  }
  return version;
}

std::strong_ordering compare_versions(const Version& a, const Version& b) {
  if (const auto c = a.major <=> b.major; c != 0) return c;
  if (const auto c = a.minor <=> b.minor; c != 0) return c;
  if (const auto c = a.patch <=> b.patch; c != 0) return c;
  if (a.pre.empty() || b.pre.empty()) {
    // A release ranks above its pre-releases.
    return b.pre.size() == a.pre.size() ? std::strong_ordering::equal
           : a.pre.empty()              ? std::strong_ordering::greater
                                        : std::strong_ordering::less;
  }
  const std::size_t common = std::min(a.pre.size(), b.pre.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (const auto c = compare_identifiers(a.pre[i], b.pre[i]); c != 0) return c;
  }
  return a.pre.size() <=> b.pre.size();
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
