#include "state/version.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>

namespace brindlecast {
namespace {

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
  return c < 0   ? std::strong_ordering::less
         : c > 0 ? std::strong_ordering::greater
                 : std::strong_ordering::equal;
}

}  // namespace

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

}  // namespace brindlecast
