// Version texts: parsing and precedence order. MAJOR.MINOR.PATCH[-PRE][+BUILD],
// compared as release versioning orders them. Pure functions over text; a
// text that does not parse is nothing, never an error.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindlecast {

// A parsed version text; build metadata is not kept.
struct Version {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t patch = 0;
  std::vector<std::string> pre;  // pre-release identifiers; empty for a release

  // Field-wise equality; precedence (where 01 equals 1) is compare_versions.
  bool operator==(const Version&) const = default;
};

// MAJOR.MINOR.PATCH[-PRE][+BUILD], taken unchanged (no trimming). Each core
// number is non-empty ASCII digits fitting in 64 bits; pre-release identifiers
// are non-empty but otherwise unrestricted. Nothing for anything else.
std::optional<Version> parse_version(std::string_view text);

// Precedence order: core numbers by value, then a release above any of its
// pre-releases, then the pre-release identifiers pairwise.
std::strong_ordering compare_versions(const Version& a, const Version& b);

}  // namespace brindlecast
