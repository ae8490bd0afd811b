#include "state/version.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <compare>
#include <ostream>
#include <string>
#include <vector>

namespace brindlecast {

// Found by gtest through the argument's namespace.
void PrintTo(const Version& v, std::ostream* os) {
  *os << v.major << '.' << v.minor << '.' << v.patch;
  for (std::size_t i = 0; i < v.pre.size(); ++i) *os << (i == 0 ? '-' : '.') << v.pre[i];
}

namespace {

Version version_of(const char* text) {
  const auto v = parse_version(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v.value_or(Version{});
}

const char* name_of(std::strong_ordering o) {
  return o == std::strong_ordering::less ? "less" : o == std::strong_ordering::greater ? "greater" : "equal";
}

TEST(ParseVersion, Accepts) {
  constexpr auto kMax = UINT64_MAX;
  struct Case {
    const char* text;
    Version version;
  };
  const Case cases[] = {
      {"1.2.3", {1, 2, 3, {}}},
      {"0.0.0", {0, 0, 0, {}}},
      {"007.0.010", {7, 0, 10, {}}},
      {"18446744073709551615.0.0", {kMax, 0, 0, {}}},
      {"0.18446744073709551615.0", {0, kMax, 0, {}}},
      {"0.0.18446744073709551615", {0, 0, kMax, {}}},
      {"00000000000000000000018446744073709551615.0.0", {kMax, 0, 0, {}}},  // leading zeros do not count
      {"1.2.3-alpha", {1, 2, 3, {"alpha"}}},
      {"1.0.0-alpha.1", {1, 0, 0, {"alpha", "1"}}},
      {"1.0.0-01", {1, 0, 0, {"01"}}},      // kept as written
      {"1.2.3-rc-1", {1, 2, 3, {"rc-1"}}},  // a later "-" belongs to the pre-release
      {"1.2.3--", {1, 2, 3, {"-"}}},
      {"1.2.3-a-b.c-", {1, 2, 3, {"a-b", "c-"}}},
      {"1.2.3-x y.\xC3\xA9", {1, 2, 3, {"x y", "\xC3\xA9"}}},  // identifiers are unrestricted
      {"1.2.3+build.5", {1, 2, 3, {}}},
      {"1.2.3+", {1, 2, 3, {}}},
      {"1.2.3+-rc", {1, 2, 3, {}}},  // "-" after "+" is metadata
      {"1.2.3+..", {1, 2, 3, {}}},   // metadata is not checked
      {"1.2.3+a+b", {1, 2, 3, {}}},  // everything from the first "+" goes
      {"1.2.3-rc+a+b", {1, 2, 3, {"rc"}}},
      {"1.2.3-beta+exp.sha.5114f85", {1, 2, 3, {"beta"}}},
      {"1.2.3-99999999999999999999999", {1, 2, 3, {"99999999999999999999999"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_version(c.text), c.version) << c.text;
}

TEST(ParseVersion, Rejects) {
  const char* cases[] = {
      "",
      "1.2",
      "1.2.3.4",
      "v1.2.3",
      "1..3",
      "1.2.3-",
      "1.2.3-a..b",
      " 1.2.3",
      "1.2.3 ",
      "1.2.3\n",
      "18446744073709551616.0.0",
      "0.18446744073709551616.0",
      "0.0.18446744073709551616",
      "99999999999999999999999.0.0",
      "1.2.3-.a",
      "1.2.3-a.",
      "1.2.3-+x",  // empty pre-release once the metadata is gone
      "-1.2.3",
      "1.-2.3",
      "1.2.-3",
      "+1.2.3",
      "1.2.+3",
      "1.2.3.",
      ".1.2.3",
      "1.2.x",
      "1.2.3x",
      "1.2.0x3",
      "1,2,3",
      "1.2. 3",
      "1.2.\xD9\xA3",  // a non-ASCII digit
  };
  for (const char* text : cases) EXPECT_EQ(parse_version(text), std::nullopt) << '"' << text << '"';
}

TEST(ParseVersion, RejectsANulInTheCore) {
  EXPECT_EQ(parse_version(std::string_view("1.2.3\0", 6)), std::nullopt);
}

// ---------------------------------------------------------------------------

TEST(CompareVersions, PreReleaseChainIsTotallyOrdered) {
  const std::vector<std::string> chain = {
      "1.0.0-alpha",  "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta",
      "1.0.0-beta.2", "1.0.0-beta.11", "1.0.0-rc.1",       "1.0.0",
  };
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const auto a = version_of(chain[i].c_str());
    EXPECT_EQ(compare_versions(a, a), std::strong_ordering::equal) << chain[i];
    for (std::size_t j = i + 1; j < chain.size(); ++j) {
      const auto b = version_of(chain[j].c_str());
      EXPECT_EQ(compare_versions(a, b), std::strong_ordering::less) << chain[i] << " vs " << chain[j];
      EXPECT_EQ(compare_versions(b, a), std::strong_ordering::greater) << chain[j] << " vs " << chain[i];
    }
  }
}

TEST(CompareVersions, Pairs) {
  using std::strong_ordering;
  struct Case {
    const char* a;
    const char* b;
    strong_ordering order;  // of a against b
  };
  const Case cases[] = {
      {"2.0.0", "2.0.0-rc.1", strong_ordering::greater},
      {"1.0.0-1", "1.0.0-alpha", strong_ordering::less},  // numeric below non-numeric
      {"10.0.0", "9.9.9", strong_ordering::greater},      // by value, not as text
      {"1.10.0", "1.9.0", strong_ordering::greater},
      {"1.0.10", "1.0.9", strong_ordering::greater},
      {"2.0.0-alpha", "1.99.99", strong_ordering::greater},  // the core decides first
      {"1.2.3+5", "1.2.3+9", strong_ordering::equal},
      {"1.0.0-rc.1+a", "1.0.0-rc.1+b", strong_ordering::equal},
      {"1.0.0", "1.0.0", strong_ordering::equal},
      {"007.0.0", "7.0.0", strong_ordering::equal},
      {"1.0.0-01", "1.0.0-1", strong_ordering::equal},
      {"1.0.0-alpha.010", "1.0.0-alpha.10", strong_ordering::equal},
      {"1.0.0-2", "1.0.0-10", strong_ordering::less},
      {"0.0.18446744073709551615", "0.0.18446744073709551614", strong_ordering::greater},
      // The largest numeric identifier still compares by value; one more is text,
      // and text ranks above any number.
      {"1.0.0-18446744073709551615", "1.0.0-2", strong_ordering::greater},
      {"1.0.0-18446744073709551616", "1.0.0-2", strong_ordering::greater},
      {"1.0.0-18446744073709551616", "1.0.0-18446744073709551615", strong_ordering::greater},
      // 25 digits do not fit: compared byte by byte, so 9e24 ranks above 1e25.
      {"1.0.0-9000000000000000000000000", "1.0.0-10000000000000000000000000", strong_ordering::greater},
      {"1.0.0-1000000000000000000000000", "1.0.0-1000000000000000000000000", strong_ordering::equal},
      {"1.0.0-1000000000000000000000000", "1.0.0-alpha", strong_ordering::less},
      // Leading zeros alone do not make an identifier too large.
      {"1.0.0-0000000000000000000000001", "1.0.0-1", strong_ordering::equal},
      {"1.0.0-a", "1.0.0-A", strong_ordering::greater},
      {"1.0.0-\xC3\xA9", "1.0.0-z", strong_ordering::greater},   // bytes compare unsigned
      {"1.0.0-alpha", "1.0.0-alphabet", strong_ordering::less},  // a proper prefix is the lesser
      {"1.0.0-a.b.c", "1.0.0-a.b", strong_ordering::greater},    // the longer list wins
      {"1.0.0-a-b", "1.0.0-a.b", strong_ordering::greater},      // "a" is a prefix of "a-b"
  };
  for (const auto& c : cases) {
    const auto a = version_of(c.a);
    const auto b = version_of(c.b);
    const auto forward = compare_versions(a, b);
    const auto backward = compare_versions(b, a);
    EXPECT_EQ(forward, c.order) << c.a << " vs " << c.b << ": " << name_of(forward);
    EXPECT_EQ(backward, 0 <=> c.order) << c.b << " vs " << c.a << ": " << name_of(backward);
  }
}

}  // namespace
}  // namespace brindlecast
