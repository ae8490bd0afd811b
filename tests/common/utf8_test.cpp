#include "common/utf8.hpp"

#include <gtest/gtest.h>

namespace brindlecast {
namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";

TEST(Utf8, ValidityAtTheBoundaries) {
  const std::string valid[] = {"",
                               "plain",
                               "\xC3\xA9",
                               "\xE2\x82\xAC",
                               "\xF0\x9F\x98\x80",
                               "\xF4\x8F\xBF\xBF",
                               "\xED\x9F\xBF",
                               std::string("nul\0inside", 10)};
  const std::string invalid[] = {"\x80",
                                 "\xC0\xAF",
                                 "\xC1\xBF",
                                 "\xE0\x9F\xBF",
                                 "\xED\xA0\x80",  // surrogate
                                 "\xF4\x90\x80\x80",
                                 "\xF5\x80\x80\x80",
                                 "\xC3",
                                 "\xE2\x82",
                                 "\xFF"};
  for (const auto& s : valid) EXPECT_TRUE(is_valid_utf8(s)) << s;
  for (const auto& s : invalid) EXPECT_FALSE(is_valid_utf8(s)) << s;
}

TEST(Utf8, LossyReplacesEachMaximalIllFormedSequence) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::string r = kReplacement;
  const Case cases[] = {
      {"/srv/ota", "/srv/ota"},
      {"/r\xFF/x", "/r" + r + "/x"},
      {"\xE2\x82"
       "A",
       r + "A"},                            // a truncated sequence is one replacement
      {"\xF0\x9F\x98", r},                  // truncated at the end
      {"\xC0\xAF", r + r},                  // overlong: each byte on its own
      {"\xED\xA0\x80", r + r + r},          // surrogate: each byte on its own
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"a\x80\x80"
       "b",
       "a" + r + r + "b"},  // lone continuation bytes
      {"\xE2\x82\xAC\xE2\x82", "\xE2\x82\xAC" + r},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace brindlecast
