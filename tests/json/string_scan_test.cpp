// Strings are scanned eight bytes at a time, so every rule about a byte inside
// a string is checked here with that byte at each offset across two words:
// the first special byte of a word, the bytes just before it, and a tail
// shorter than a word.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace brindlecast::json {
namespace {

constexpr std::size_t kOffsets = 18;

// Concatenation by appending (GCC 12 misreads some chains of operator+).
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (const auto part : parts) out += part;
  return out;
}

std::string error_or_value(JsonResult<std::string> r) {
  return r ? "value " + *r : "error " + r.error().full_text();
}

std::string read_one_string(std::string_view doc) {
  JsonReader reader(doc);
  auto s = reader.read_string("a string");
  if (s) {
    if (auto end = reader.expect_end(); !end) return "error " + end.error().full_text();
  }
  return error_or_value(std::move(s));
}

// The text of skipping `value` as the only member of an object.
std::string skip_member(std::string_view value) {
  const std::string doc = cat({"{\"x\":", value, "}"});
  JsonReader reader(doc);
  reader.begin_container();
  bool first = true;
  auto key = reader.next_key(first);
  if (!key) return "error " + key.error().full_text();
  if (auto colon = reader.expect_colon(); !colon) return "error " + colon.error().full_text();
  if (auto r = reader.skip_value(); !r) return "error " + r.error().full_text();
  auto end = reader.next_key(first);
  if (!end) return "error " + end.error().full_text();
  return *end ? "unexpected member" : "ok";
}

TEST(StringScan, ReadsPlainTextEscapesAndUtf8AtEveryOffset) {
  for (std::size_t k = 0; k < kOffsets; ++k) {
    const std::string pad(k, 'a');
    SCOPED_TRACE("offset " + std::to_string(k));
    EXPECT_EQ(read_one_string(cat({"\"", pad, "\""})), cat({"value ", pad}));
    EXPECT_EQ(read_one_string(cat({"\"", pad, "\\\"b\""})), cat({"value ", pad, "\"b"}));
    EXPECT_EQ(read_one_string(cat({"\"", pad, "\\u00e9\""})), cat({"value ", pad, "\xC3\xA9"}));
    // Valid and invalid UTF-8 side by side: é is taken, a lone 0xFF refused,
    // also just before the closing quote or an escape in the same word.
    EXPECT_EQ(read_one_string(cat({"\"", pad, "\xC3\xA9\""})), cat({"value ", pad, "\xC3\xA9"}));
    const std::size_t after_quote = k + 3;
    EXPECT_EQ(read_one_string(cat({"\"", pad, "\xFF\""})),
              "error invalid unicode code point at line 1 column " + std::to_string(after_quote));
    EXPECT_EQ(read_one_string(cat({"\"", pad, "\xFF\\n\""})),
              "error invalid unicode code point at line 1 column " + std::to_string(after_quote + 2));
    // The largest byte that is no control character is kept, the first
    // below it refused just after it.
    EXPECT_EQ(read_one_string(cat({"\"", pad, " \""})), cat({"value ", pad, " "}));
    EXPECT_EQ(read_one_string(cat({"\"", pad, "\x1F\""})),
              "error control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                  std::to_string(k + 2));
    EXPECT_EQ(read_one_string(cat({"\"", pad})),
              "error EOF while parsing a string at line 1 column " + std::to_string(k + 1));
  }
}

TEST(StringScan, SkipsStringsAtEveryOffset) {
  for (std::size_t k = 0; k < kOffsets; ++k) {
    const std::string pad(k, 'a');
    SCOPED_TRACE("offset " + std::to_string(k));
    EXPECT_EQ(skip_member(cat({"\"", pad, "\""})), "ok");
    EXPECT_EQ(skip_member(cat({"[\"", pad, "\\\"\\\\\\u12aF\", \"", pad, "\xFF\"]"})), "ok");
    // In a skipped string a control byte is reported before itself.
    EXPECT_EQ(skip_member(cat({"\"", pad, "\x01\""})),
              "error control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                  std::to_string(k + 6));
    EXPECT_EQ(skip_member(cat({"\"", pad, "\\x\""})),
              "error invalid escape at line 1 column " + std::to_string(k + 8));
    EXPECT_EQ(skip_member(cat({"\"", pad, "\\u12G4\""})),
              "error invalid escape at line 1 column " + std::to_string(k + 11));
  }
}

TEST(StringScan, SkipsNumbersAndLiteralsAsTheCarefulPathDoes) {
  const struct {
    std::string value;
    std::string expected;
  } cases[] = {
      {"[0, -0, 10, -12.5e-3, 1E+2, true, false, null]", "ok"},
      {"01", "error invalid number at line 1 column 7"},
      {"-", "error invalid number at line 1 column 7"},
      {"1.", "error invalid number at line 1 column 8"},
      {"1e", "error invalid number at line 1 column 8"},
      {"1e+", "error invalid number at line 1 column 9"},
      {"tru", "error expected ident at line 1 column 9"},
      {"nulx", "error expected ident at line 1 column 9"},
      {"[1,]", "error expected value at line 1 column 9"},
      {"{\"a\":1,}", "error key must be a string at line 1 column 13"},
      {"{\"a\" 1}", "error expected `:` at line 1 column 11"},
  };
  for (const auto& c : cases) EXPECT_EQ(skip_member(c.value), c.expected) << c.value;
}

TEST(StringScan, WriterEscapesEachSpecialByteAtEveryOffset) {
  const struct {
    char byte;
    std::string written;
  } bytes[] = {{'"', "\\\""}, {'\\', "\\\\"}, {'\x01', "\\u0001"}, {'\x1F', "\\u001f"},
               {'\n', "\\n"}, {' ', " "},     {'\x7F', "\x7F"},    {'\x80', "\x80"}};
  for (std::size_t k = 0; k < kOffsets; ++k) {
    for (const auto& b : bytes) {
      JsonWriter w(Layout::Compact);
      w.string_value(cat({std::string(k, 'a'), std::string_view(&b.byte, 1), "bc"}));
      EXPECT_EQ(w.take(), cat({"\"", std::string(k, 'a'), b.written, "bc\""}))
          << "offset " << k << " byte " << int(b.byte);
    }
  }
}

}  // namespace
}  // namespace brindlecast::json
