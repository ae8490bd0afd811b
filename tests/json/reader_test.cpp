#include "json/reader.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brindlecast::json {
namespace {

constexpr std::string_view kNoError = "(no error)";

template <class T>
std::string error_text(const JsonResult<T>& result) {
  return result ? std::string(kNoError) : result.error().full_text();
}

// One typed read over a whole document, then nothing but whitespace may
// follow: the way a record decoder reads a top-level value.
template <class T>
JsonResult<T> read_whole(std::string_view text, JsonResult<T> (JsonReader::*read)(std::string_view),
                         std::string_view expectation) {
  JsonReader reader(text);
  auto value = (reader.*read)(expectation);
  if (!value) return value;
  if (auto end = reader.expect_end(); !end) return Err(std::move(end).error());
  return value;
}

JsonResult<std::string> read_string(std::string_view text) {
  return read_whole(text, &JsonReader::read_string, "a string");
}
JsonResult<std::optional<std::string>> read_optional_string(std::string_view text) {
  return read_whole(text, &JsonReader::read_optional_string, "a string");
}
JsonResult<bool> read_bool(std::string_view text) {
  return read_whole(text, &JsonReader::read_bool, "a boolean");
}
JsonResult<std::uint32_t> read_u32(std::string_view text) {
  return read_whole(text, &JsonReader::read_u32, "u32");
}

JsonResult<Done> skip(std::string_view text) {
  JsonReader reader(text);
  if (auto r = reader.skip_value(); !r) return r;
  return reader.expect_end();
}

using Members = std::vector<std::pair<std::string, std::string>>;

// A decoded object whose member values must all be strings.
JsonResult<Members> read_string_object(std::string_view text) {
  JsonReader reader(text);
  if (reader.peek() != '{') return Err(reader.invalid_type("a map"));
  reader.begin_container();
  Members members;
  bool first = true;
  for (;;) {
    auto key = reader.next_key(first);
    if (!key) return Err(std::move(key).error());
    if (!*key) break;
    if (auto r = reader.expect_colon(); !r) return Err(std::move(r).error());
    auto value = reader.read_string("a string");
    if (!value) return Err(std::move(value).error());
    members.emplace_back(std::move(**key), std::move(*value));
  }
  if (auto r = reader.expect_end(); !r) return Err(std::move(r).error());
  return members;
}

// A decoded array of strings that takes at most `wanted` elements; a shorter
// array is the caller's business, a longer one must fail.
JsonResult<std::vector<std::string>> read_string_array(std::string_view text, int wanted) {
  JsonReader reader(text);
  if (reader.peek() != '[') return Err(reader.invalid_type("a sequence"));
  reader.begin_container();
  std::vector<std::string> elements;
  bool first = true;
  for (int k = 0; k < wanted; ++k) {
    auto more = reader.next_element(first);
    if (!more) return Err(std::move(more).error());
    if (!*more) return elements;
    auto value = reader.read_string("a string");
    if (!value) return Err(std::move(value).error());
    elements.push_back(std::move(*value));
  }
  if (auto r = reader.end_array(); !r) return Err(std::move(r).error());
  if (auto r = reader.expect_end(); !r) return Err(std::move(r).error());
  return elements;
}

struct ErrorCase {
  std::string input;
  std::string error;  // full text
};

TEST(JsonError, FullTextAppendsThePosition) {
  EXPECT_EQ((JsonError{"trailing characters", 3, 1}).full_text(), "trailing characters at line 3 column 1");
}

TEST(JsonReader, Literals) {
  EXPECT_EQ(read_bool("true").value(), true);
  EXPECT_EQ(read_bool(" false ").value(), false);
  EXPECT_EQ(read_optional_string("null").value(), std::nullopt);

  const ErrorCase cases[] = {
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      {"nUll", "expected ident at line 1 column 2"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"trux", "expected ident at line 1 column 4"},
      {"falsE", "expected ident at line 1 column 5"},
      {"True", "expected value at line 1 column 1"},
      // Nothing is required after a literal; the next byte is judged next.
      {"truex", "trailing characters at line 1 column 5"},
  };
  for (const auto& c : cases) {
    const auto result =
        c.input[0] == 'n' ? error_text(read_optional_string(c.input)) : error_text(read_bool(c.input));
    EXPECT_EQ(result, c.error) << c.input;
  }
}

TEST(JsonReader, NumberGrammarErrors) {
  const ErrorCase cases[] = {
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"-.5", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"1E-x", "invalid number at line 1 column 4"},
      {"1e+-2", "invalid number at line 1 column 4"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"1x", "trailing characters at line 1 column 2"},
      {"1 2", "trailing characters at line 1 column 3"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_text(read_u32(c.input)), c.error) << c.input;
}

// Read where a u32 is expected, every class of number shows in the message.
TEST(JsonReader, NumberClassification) {
  EXPECT_EQ(read_u32("0").value(), 0u);
  EXPECT_EQ(read_u32("4294967295").value(), 4294967295u);
  // clang-format off
  const ErrorCase cases[] = {
      {"4294967296", "invalid value: integer `4294967296`, expected u32 at line 1 column 10"},
      {"18446744073709551615", "invalid value: integer `18446744073709551615`, expected u32 at line 1 column 20"},
      {"18446744073709551616", "invalid type: floating point `1.8446744073709552e+19`, expected u32 at line 1 column 20"},
      {"-1", "invalid value: integer `-1`, expected u32 at line 1 column 2"},
      {"-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected u32 at line 1 column 20"},
      {"-9223372036854775809", "invalid type: floating point `-9.223372036854776e+18`, expected u32 at line 1 column 20"},
      {"-0", "invalid type: floating point `-0.0`, expected u32 at line 1 column 2"},
      {"0.0", "invalid type: floating point `0.0`, expected u32 at line 1 column 3"},
      {"1.0", "invalid type: floating point `1.0`, expected u32 at line 1 column 3"},
      {"1.5", "invalid type: floating point `1.5`, expected u32 at line 1 column 3"},
      {"1e2", "invalid type: floating point `100.0`, expected u32 at line 1 column 3"},
      {"25E-8", "invalid type: floating point `2.5e-7`, expected u32 at line 1 column 5"},
      {"1e308", "invalid type: floating point `1e+308`, expected u32 at line 1 column 5"},
      {"1e309", "number out of range at line 1 column 5"},
      {"1.7976931348623157e308", "invalid type: floating point `1.7976931348623157e+308`, expected u32 at line 1 column 22"},
      {"1.7976931348623159e308", "number out of range at line 1 column 22"},
      {"-1e400", "number out of range at line 1 column 6"},
      {"0.01e310", "invalid type: floating point `1e+308`, expected u32 at line 1 column 8"},
      {"5e-324", "invalid type: floating point `5e-324`, expected u32 at line 1 column 6"},
      // Too small for a double: zero, keeping the sign.
      {"1e-400", "invalid type: floating point `0.0`, expected u32 at line 1 column 6"},
      {"-1e-400", "invalid type: floating point `-0.0`, expected u32 at line 1 column 7"},
      {"100000e-330", "invalid type: floating point `0.0`, expected u32 at line 1 column 11"},
  };
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(error_text(read_u32(c.input)), c.error) << c.input;
}

TEST(JsonReader, StringsDecodeEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("")", ""},
      {R"("plain")", "plain"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u00e9")", "\xC3\xA9"},
      {R"("\u00E9")", "\xC3\xA9"},
      {R"("\u0000")", std::string(1, '\0')},
      {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
      {R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
      {"\"raw \xC3\xA9 and \x7F\"", "raw \xC3\xA9 and \x7F"},
      {"\"space \x20 ok\"", "space   ok"},
  };
  for (const auto& [input, expected] : cases) {
    const auto result = read_string(input);
    ASSERT_TRUE(result) << input << ": " << error_text(result);
    EXPECT_EQ(*result, expected) << input;
  }
}

TEST(JsonReader, StringErrors) {
  const ErrorCase cases[] = {
      {R"("\uDE00")", "lone leading surrogate in hex escape at line 1 column 7"},
      {R"("\uD83D")", "unexpected end of hex escape at line 1 column 8"},
      {R"("\uD83Dx")", "unexpected end of hex escape at line 1 column 8"},
      {R"("\uD83D\n")", "unexpected end of hex escape at line 1 column 9"},
      {R"("\uD83D\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\uD83D)", "EOF while parsing a string at line 1 column 7"},
      {R"("\uD83D\)", "EOF while parsing a string at line 1 column 8"},
      {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
      {R"("\u12")", "EOF while parsing a string at line 1 column 6"},
      {R"("\u12G4")", "invalid escape at line 1 column 6"},
      {R"("\x")", "invalid escape at line 1 column 3"},
      {R"("\U0041")", "invalid escape at line 1 column 3"},
      {R"("ab)", "EOF while parsing a string at line 1 column 3"},
      {R"("ab\)", "EOF while parsing a string at line 1 column 4"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {std::string("\"\0\"", 3),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"\"\x1F\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      // Bad UTF-8 is noticed at the closing quote.
      {"\"\xFF\"", "invalid unicode code point at line 1 column 3"},
      {"\"a\xC3\"", "invalid unicode code point at line 1 column 4"},
      {"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 5"},
      {"\"\xC3\xA9\xFF\" ", "invalid unicode code point at line 1 column 5"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_text(read_string(c.input)), c.error) << c.input;
}

TEST(JsonReader, DecodedObjects) {
  EXPECT_EQ(read_string_object("{}").value(), Members{});
  EXPECT_EQ(read_string_object(" { \"a\" : \"1\" ,\n\"b\":\"2\" } \n").value(),
            (Members{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(read_string_object(R"({"a\u0062":"1"})").value(), (Members{{"ab", "1"}}));

  const ErrorCase cases[] = {
      {R"({"a":"1",})", "trailing comma at line 1 column 10"},
      {R"({"a":"1", })", "trailing comma at line 1 column 11"},
      {R"({,})", "key must be a string at line 1 column 2"},
      {R"({1:"x"})", "key must be a string at line 1 column 2"},
      {R"({"a":"1",1})", "key must be a string at line 1 column 10"},
      {R"({"a":"1" "b":"2"})", "expected `,` or `}` at line 1 column 10"},
      {R"({"a":"1"])", "expected `,` or `}` at line 1 column 9"},
      {R"({"a" "1"})", "expected `:` at line 1 column 6"},
      {R"({)", "EOF while parsing an object at line 1 column 1"},
      {R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
      {R"({"a":"1")", "EOF while parsing an object at line 1 column 8"},
      {R"({"a":"1",)", "EOF while parsing a value at line 1 column 9"},
      {R"({"a":"1"}x)", "trailing characters at line 1 column 10"},
      {"{\"a\":\"1\"}\n\nx", "trailing characters at line 3 column 1"},
      {R"({"a":[1]})", "invalid type: sequence, expected a string at line 1 column 5"},
      {R"({"a":{}})", "invalid type: map, expected a string at line 1 column 5"},
      {R"({"a":null})", "invalid type: null, expected a string at line 1 column 9"},
      // A carriage return is an ordinary byte of its line.
      {"{\"a\":\"1\",\r\n\"b\":2}", "invalid type: integer `2`, expected a string at line 2 column 5"},
      {"{\"a\":\"1\",\r\"b\":2}", "invalid type: integer `2`, expected a string at line 1 column 15"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_text(read_string_object(c.input)), c.error) << c.input;
}

TEST(JsonReader, DecodedArrays) {
  EXPECT_EQ(read_string_array("[]", 2).value(), std::vector<std::string>{});
  EXPECT_EQ(read_string_array(R"([ "a" , "b" ])", 2).value(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(read_string_array(R"(["a","b"])", 3).value(), (std::vector<std::string>{"a", "b"}));

  struct Case {
    std::string input;
    int wanted;
    std::string error;
  };
  const Case cases[] = {
      {R"(["a",])", 2, "trailing comma at line 1 column 6"},
      {R"(["a" "b"])", 2, "expected `,` or `]` at line 1 column 6"},
      {R"([)", 2, "EOF while parsing a list at line 1 column 1"},
      {R"(["a")", 2, "EOF while parsing a list at line 1 column 4"},
      {R"(["a",)", 2, "EOF while parsing a value at line 1 column 5"},
      {R"([,])", 2, "expected value at line 1 column 2"},
      // Once the decoder has all it wants, the array must close.
      {R"(["a","b"])", 1, "trailing characters at line 1 column 6"},
      {R"(["a",])", 1, "trailing comma at line 1 column 6"},
      {R"(["a", ])", 1, "trailing comma at line 1 column 7"},
      {R"(["a",)", 1, "trailing characters at line 1 column 5"},
      {R"(["a" x)", 1, "trailing characters at line 1 column 6"},
      {R"(["a")", 1, "EOF while parsing a list at line 1 column 4"},
      {R"(["a"]])", 1, "trailing characters at line 1 column 6"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_text(read_string_array(c.input, c.wanted)), c.error) << c.input;
}

TEST(JsonReader, SkipAcceptsWhatItDoesNotCheck) {
  const std::string accepted[] = {
      R"([1,[2,{"a":[true,false,null,"s\u00e9"]}],{},[]])",
      " { \"a\" : { \"b\" : [ ] } , \"c\" : -1.5e+3 } ",
      "-0",
      "0.5E-2",
      // Checked for syntax only: no range, surrogate pairing or UTF-8.
      "1e400",
      "-123456789012345678901234567890",
      R"("\uDE00")",
      R"("\uD83D")",
      R"("\uD83D\u0041")",
      "\"\xFF\xED\xA0\x80\"",
      "\"\x7F\"",
  };
  for (const auto& input : accepted) EXPECT_EQ(error_text(skip(input)), kNoError) << input;
}

TEST(JsonReader, SkipErrors) {
  const ErrorCase cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"+1", "expected value at line 1 column 1"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      // A malformed number is "invalid number" even when the input ends in it.
      {"-", "invalid number at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"01", "invalid number at line 1 column 2"},
      {"1.", "invalid number at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e", "invalid number at line 1 column 2"},
      {"1e+", "invalid number at line 1 column 3"},
      {"[1.]", "invalid number at line 1 column 4"},
      {R"("ab)", "EOF while parsing a string at line 1 column 3"},
      {R"("\x")", "invalid escape at line 1 column 3"},
      {R"("\u12G4")", "invalid escape at line 1 column 6"},
      {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
      // A control character is reported just before it here.
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[[]", "EOF while parsing a list at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1,]", "expected value at line 1 column 4"},
      {"[,1]", "expected value at line 1 column 2"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
      {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
      {R"({"a":1,)", "EOF while parsing an object at line 1 column 7"},
      {R"({"a":1,})", "key must be a string at line 1 column 8"},
      {R"({1:2})", "key must be a string at line 1 column 2"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {R"({"a":1])", "expected `,` or `}` at line 1 column 7"},
      {"[1]]", "trailing characters at line 1 column 4"},
      {"[\n[\n1,\n]]", "expected value at line 4 column 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_text(skip(c.input)), c.error) << c.input;
}

TEST(JsonReader, SkipDoesNotRecurse) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
  EXPECT_EQ(error_text(skip(deep)), kNoError);

  std::string objects;
  for (std::size_t k = 0; k < kDepth; ++k) objects += "{\"a\":";
  objects += "1";
  objects.append(kDepth, '}');
  EXPECT_EQ(error_text(skip(objects)), kNoError);

  deep.pop_back();
  EXPECT_EQ(error_text(skip(deep)), "EOF while parsing a list at line 1 column 1999999");
}

TEST(JsonReader, TypedReadsDescribeWhatTheyFound) {
  const ErrorCase cases[] = {
      {"null", "invalid type: null, expected a string at line 1 column 4"},
      {"true", "invalid type: boolean `true`, expected a string at line 1 column 4"},
      {"false", "invalid type: boolean `false`, expected a string at line 1 column 5"},
      {"7", "invalid type: integer `7`, expected a string at line 1 column 1"},
      {"-7", "invalid type: integer `-7`, expected a string at line 1 column 2"},
      {"1.25e2", "invalid type: floating point `125.0`, expected a string at line 1 column 6"},
      // Containers are not entered: the position is just before them.
      {"[1]", "invalid type: sequence, expected a string at line 1 column 0"},
      {" {}", "invalid type: map, expected a string at line 1 column 1"},
      {"x", "expected value at line 1 column 1"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      // An error inside the value found is reported instead.
      {"01", "invalid number at line 1 column 2"},
      {"1e999", "number out of range at line 1 column 5"},
      {"nulx", "expected ident at line 1 column 4"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_text(read_string(c.input)), c.error) << c.input;

  EXPECT_EQ(error_text(read_bool("null")), "invalid type: null, expected a boolean at line 1 column 4");
  EXPECT_EQ(error_text(read_bool("1")), "invalid type: integer `1`, expected a boolean at line 1 column 1");
  EXPECT_EQ(error_text(read_bool(R"("true")")),
            R"(invalid type: string "true", expected a boolean at line 1 column 6)");
  EXPECT_EQ(error_text(read_optional_string("true")),
            "invalid type: boolean `true`, expected a string at line 1 column 4");
  EXPECT_EQ(error_text(read_u32("[]")), "invalid type: sequence, expected u32 at line 1 column 0");
  EXPECT_EQ(error_text(read_u32(R"("\x")")), "invalid escape at line 1 column 3");
  EXPECT_EQ(read_optional_string(R"("x")").value(), "x");
}

TEST(JsonReader, StringsAreQuotedInMessages) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("3")", R"("3")"},
      {R"("")", R"("")"},
      {R"("a\"b\\c")", R"("a\"b\\c")"},
      {R"("\t\r\n\u0000")", R"("\t\r\n\0")"},
      {R"("\u001b[0m")", R"("\u{1b}[0m")"},
      {R"("\u0001\u001F")", R"("\u{1}\u{1f}")"},
      {R"("\b\f")", R"("\u{8}\u{c}")"},
      {R"("\/ \u00e9 \u4e2d")", "\"/ \xC3\xA9 \xE4\xB8\xAD\""},
  };
  for (const auto& [input, quoted] : cases) {
    EXPECT_EQ(
        error_text(read_u32(input)),
        "invalid type: string " + quoted + ", expected u32 at line 1 column " + std::to_string(input.size()))
        << input;
  }
}

TEST(FormatDouble, PlainAndExponentForms) {
  const std::pair<double, std::string> cases[] = {
      {100.0, "100.0"},
      {1.0, "1.0"},
      {1.5, "1.5"},
      {123.25, "123.25"},
      {0.001, "0.001"},
      {0.1, "0.1"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-1.5, "-1.5"},
      {1e20, "1e+20"},
      {-1e20, "-1e+20"},
      {1.5e16, "1.5e+16"},
      {1e-6, "1e-6"},
      {2.5e-7, "2.5e-7"},
      // The plain range ends at exponents 15 and -5.
      {1e15, "1000000000000000.0"},
      {9.5e15, "9500000000000000.0"},
      {1.234567890123456e15, "1234567890123456.0"},
      {1e16, "1e+16"},
      {1.25e16, "1.25e+16"},
      {1e-5, "0.00001"},
      {1.2345e-5, "0.000012345"},
      {9.99e-6, "9.99e-6"},
      {1e-6, "1e-6"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_double(value), text) << text;
}

}  // namespace
}  // namespace brindlecast::json
