#include "json/writer.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

namespace brindlecast::json {
namespace {

// A string, a null, a number, a nested object and an empty nested object.
std::string sample(Layout layout) {
  JsonWriter w(layout);
  w.begin_object();
  w.key("a");
  w.string_value("x");
  w.key("b");
  w.null_value();
  w.key("n");
  w.uint_value(7);
  w.key("m");
  w.begin_object();
  w.key("k");
  w.string_value("v");
  w.end_object();
  w.key("e");
  w.begin_object();
  w.end_object();
  w.end_object();
  return w.take();
}

// {"<text>":"<text>"}: the same text as a key and as a value.
std::string key_and_value(std::string_view text) {
  JsonWriter w(Layout::Compact);
  w.begin_object();
  w.key(text);
  w.string_value(text);
  w.end_object();
  return w.take();
}

TEST(JsonWriter, PrettyLayout) {
  EXPECT_EQ(sample(Layout::Pretty),
            "{\n"
            "  \"a\": \"x\",\n"
            "  \"b\": null,\n"
            "  \"n\": 7,\n"
            "  \"m\": {\n"
            "    \"k\": \"v\"\n"
            "  },\n"
            "  \"e\": {}\n"
            "}");
}

TEST(JsonWriter, CompactLayout) {
  EXPECT_EQ(sample(Layout::Compact), R"({"a":"x","b":null,"n":7,"m":{"k":"v"},"e":{}})");
}

TEST(JsonWriter, EmptyTopLevelObject) {
  for (const auto layout : {Layout::Pretty, Layout::Compact}) {
    JsonWriter w(layout);
    w.begin_object();
    w.end_object();
    EXPECT_EQ(w.take(), "{}");
  }
}

TEST(JsonWriter, Arrays) {
  for (const auto& [layout, text] :
       {std::pair{Layout::Compact, std::string(R"({"a":[{"k":1},{}],"e":[]})")},
        std::pair{Layout::Pretty, std::string("{\n  \"a\": [\n    {\n      \"k\": 1\n    "
                                              "},\n    {}\n  ],\n  \"e\": []\n}")}}) {
    JsonWriter w(layout);
    w.begin_object();
    w.key("a");
    w.begin_array();
    w.element();
    w.begin_object();
    w.key("k");
    w.uint_value(1);
    w.end_object();
    w.element();
    w.begin_object();
    w.end_object();
    w.end_array();
    w.key("e");
    w.begin_array();
    w.end_array();
    w.end_object();
    EXPECT_EQ(w.take(), text);
  }
}

TEST(JsonWriter, PrettyIndentsEachLevel) {
  JsonWriter w(Layout::Pretty);
  w.begin_object();
  w.key("one");
  w.begin_object();
  w.key("two");
  w.begin_object();
  w.key("t");
  w.bool_value(true);
  w.key("f");
  w.bool_value(false);
  w.end_object();
  w.key("empty");
  w.begin_object();
  w.end_object();
  w.end_object();
  w.key("last");
  w.uint_value(0);
  w.end_object();
  const std::string text = w.take();
  EXPECT_EQ(text,
            "{\n"
            "  \"one\": {\n"
            "    \"two\": {\n"
            "      \"t\": true,\n"
            "      \"f\": false\n"
            "    },\n"
            "    \"empty\": {}\n"
            "  },\n"
            "  \"last\": 0\n"
            "}");

  for (const std::string& doc : {text, sample(Layout::Pretty)}) {
    std::istringstream lines(doc);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_FALSE(line.empty() || line.back() == ' ') << "[" << line << "]";
    }
    EXPECT_EQ(doc.back(), '}');
  }
}

TEST(JsonWriter, Integers) {
  const std::pair<std::uint64_t, std::string> cases[] = {{0, "0"},
                                                         {7, "7"},
                                                         {10, "10"},
                                                         {4294967295u, "4294967295"},
                                                         {18446744073709551615u, "18446744073709551615"}};
  for (const auto& [value, text] : cases) {
    JsonWriter w(Layout::Compact);
    w.begin_object();
    w.key("n");
    w.uint_value(value);
    w.end_object();
    EXPECT_EQ(w.take(), "{\"n\":" + text + "}");
  }
}

TEST(JsonWriter, StringEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"", R"(\")"},
      {"\\", R"(\\)"},
      {"\b", R"(\b)"},
      {"\t", R"(\t)"},
      {"\n", R"(\n)"},
      {"\f", R"(\f)"},
      {"\r", R"(\r)"},
      {std::string(1, '\0'), R"(\u0000)"},
      {"\x01", R"(\u0001)"},
      {"\x0B", R"(\u000b)"},
      {"\x1B", R"(\u001b)"},
      {"\x1F", R"(\u001f)"},
      // Everything from 0x20 up is copied as it is.
      {" ", " "},
      {"\x7F", "\x7F"},
      {"/", "/"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"\xFF", "\xFF"},
      {"", ""},
      {"\"\\\t\x01\x7F/\xC3\xA9", "\\\"\\\\\\t\\u0001\x7F/\xC3\xA9"},
      {"a\"b\nc", R"(a\"b\nc)"},
  };
  for (const auto& [text, escaped] : cases) {
    EXPECT_EQ(key_and_value(text), "{\"" + escaped + "\":\"" + escaped + "\"}") << escaped;
  }
}

TEST(JsonWriter, PrettyKeyIsEscapedLikeAValue) {
  JsonWriter w(Layout::Pretty);
  w.begin_object();
  w.key("tab\there \"q\"");
  w.string_value("tab\there \"q\"");
  w.end_object();
  EXPECT_EQ(w.take(), "{\n  \"tab\\there \\\"q\\\"\": \"tab\\there \\\"q\\\"\"\n}");
}

}  // namespace
}  // namespace brindlecast::json
