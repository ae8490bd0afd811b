#include "state/install_state.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/sample_state.hpp"

namespace brindlecast {
namespace {

using json::Layout;

// The three required members; a member appended after this comma starts
// at column 45.
constexpr std::string_view kHead = R"({"active":"a","known_good":"a","channel":"c",)";

std::string with_members(std::string_view members) { return std::string(kHead) + std::string(members) + "}"; }

std::string error_of(std::string_view doc) {
  const auto result = parse_install_state(doc);
  return result ? std::string("(decoded)") : result.error().full_text();
}

InstallState decode(std::string_view doc) {
  auto result = parse_install_state(doc);
  EXPECT_TRUE(result) << doc << ": " << result.error().full_text();
  return result ? std::move(result).value() : InstallState{};
}

InstallState minimal() {
  InstallState s;
  s.active = "a";
  s.known_good = "a";
  s.channel = "c";
  return s;
}

struct ErrorCase {
  std::string input;
  std::string error;  // full text
};

TEST(ParseInstallState, RequiredMembersOnlyTakeDefaults) {
  const InstallState s = decode(R"({"active":"1.4.2","known_good":"","channel":"stable"})");
  EXPECT_EQ(s.active, "1.4.2");
  EXPECT_EQ(s.known_good, "");
  EXPECT_EQ(s.channel, "stable");
  EXPECT_EQ(s.pending, std::nullopt);
  EXPECT_EQ(s.failed_starts, 0u);
  EXPECT_FALSE(s.started_ok);
  EXPECT_TRUE(s.versions.empty());
  EXPECT_FALSE(s.relaunch_intent);
}

TEST(ParseInstallState, AllMembersInAnyOrder) {
  const InstallState s = decode(R"( {
    "relaunch_intent": true, "versions": {"1.4.1": "1.4.1", "1.4.2": null},
    "started_ok": true, "failed_starts": 2, "pending": "1.4.2",
    "channel": "beta", "known_good": "1.4.1", "active": "1.4.2"
  } )");
  InstallState expected;
  expected.active = "1.4.2";
  expected.known_good = "1.4.1";
  expected.channel = "beta";
  expected.pending = "1.4.2";
  expected.failed_starts = 2;
  expected.started_ok = true;
  expected.versions = {{"1.4.1", "1.4.1"}, {"1.4.2", std::nullopt}};
  expected.relaunch_intent = true;
  EXPECT_EQ(s, expected);
}

TEST(ParseInstallState, Tolerances) {
  InstallState two = minimal();
  two.failed_starts = 2;
  EXPECT_EQ(decode(with_members(R"("boot_attempts":2)")), two);
  EXPECT_EQ(decode(with_members(R"("pending":null)")), minimal());
  EXPECT_EQ(decode(with_members(R"("versions":{})")), minimal());
  EXPECT_EQ(decode(with_members(R"("extra": [[{"x": [1, 2, {}]}]], "more": -1e999)")), minimal());
  // Unknown names include those that differ only in case or come twice.
  EXPECT_EQ(decode(with_members(R"("Active":1,"Active":2)")), minimal());
  // Keys are compared after their escapes are decoded.
  EXPECT_EQ(decode(R"({"\u0061ctive":"a","known_good":"a","channel":"c"})"), minimal());
  EXPECT_EQ(decode(std::string(kHead.substr(0, kHead.size() - 1)) + "}\n"), minimal());
  EXPECT_EQ(decode(std::string(kHead.substr(0, kHead.size() - 1)) + "} \r\n\t"), minimal());

  InstallState versions = minimal();
  versions.versions = {{"a", std::nullopt}, {"b", "2"}};
  EXPECT_EQ(decode(with_members(R"("versions":{"a":null,"b":"1","b":"2"})")), versions);
}

TEST(ParseInstallState, FailedStartsRange) {
  InstallState max = minimal();
  max.failed_starts = 4294967295u;
  EXPECT_EQ(decode(with_members(R"("failed_starts":4294967295)")), max);

  const ErrorCase cases[] = {
      {"4294967296", "invalid value: integer `4294967296`, expected u32 at line 1 column 71"},
      {"-1", "invalid value: integer `-1`, expected u32 at line 1 column 63"},
      {"1.0", "invalid type: floating point `1.0`, expected u32 at line 1 column 64"},
      {"1.5", "invalid type: floating point `1.5`, expected u32 at line 1 column 64"},
      {"-0", "invalid type: floating point `-0.0`, expected u32 at line 1 column 63"},
      {R"("3")", R"(invalid type: string "3", expected u32 at line 1 column 64)"},
      {"null", "invalid type: null, expected u32 at line 1 column 65"},
      {"true", "invalid type: boolean `true`, expected u32 at line 1 column 65"},
      {"[]", "invalid type: sequence, expected u32 at line 1 column 61"},
      {"01", "invalid number at line 1 column 63"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_of(with_members(R"("failed_starts":)" + c.input)), c.error) << c.input;
    // The other key name reads the same way (same length, same columns).
    EXPECT_EQ(error_of(with_members(R"("boot_attempts":)" + c.input)), c.error) << c.input;
  }
}

TEST(ParseInstallState, WrongKindsOfValue) {
  const ErrorCase cases[] = {
      {R"({"active":[1]})", "invalid type: sequence, expected a string at line 1 column 10"},
      {R"({"active":null})", "invalid type: null, expected a string at line 1 column 14"},
      {with_members(R"("started_ok":1)"),
       "invalid type: integer `1`, expected a boolean at line 1 column 59"},
      {with_members(R"("started_ok":null)"), "invalid type: null, expected a boolean at line 1 column 62"},
      {with_members(R"("relaunch_intent":"true")"),
       R"(invalid type: string "true", expected a boolean at line 1 column 69)"},
      {with_members(R"("pending":1)"), "invalid type: integer `1`, expected a string at line 1 column 56"},
      {with_members(R"("versions":null)"), "invalid type: null, expected a map at line 1 column 60"},
      {with_members(R"("versions":[])"), "invalid type: sequence, expected a map at line 1 column 56"},
      {with_members(R"("versions":{"a":1})"),
       "invalid type: integer `1`, expected a string at line 1 column 62"},
      {with_members(R"("versions":{"a":"1",})"), "trailing comma at line 1 column 66"},
      {R"("1.4.2")", R"(invalid type: string "1.4.2", expected struct InstallState at line 1 column 7)"},
      {"null", "invalid type: null, expected struct InstallState at line 1 column 4"},
      {" 7", "invalid type: integer `7`, expected struct InstallState at line 1 column 2"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.input), c.error) << c.input;
}

TEST(ParseInstallState, LineAndColumnAcrossLines) {
  const std::string doc =
      "{\n"
      "  \"active\": \"1.4.2\",\n"
      "  \"channel\": 5,\n"
      "  \"known_good\": \"1.4.1\"\n"
      "}\n";
  EXPECT_EQ(error_of(doc), "invalid type: integer `5`, expected a string at line 3 column 14");
}

TEST(ParseInstallState, MissingAndDuplicateFields) {
  const ErrorCase cases[] = {
      {"{}", "missing field `active` at line 1 column 2"},
      {R"({"active":"a"})", "missing field `known_good` at line 1 column 14"},
      {R"({"active":"a","known_good":"a"})", "missing field `channel` at line 1 column 31"},
      {R"({"channel":"c","known_good":"k"})", "missing field `active` at line 1 column 32"},
      {R"({"active":"a","known_good":"a","channel":"c","boot_attempts":1,"failed_starts":2})",
       "duplicate field `failed_starts` at line 1 column 78"},
      {with_members(R"("failed_starts":2,"boot_attempts":1)"),
       "duplicate field `failed_starts` at line 1 column 78"},
      {with_members(R"("boot_attempts":2,"boot_attempts":1)"),
       "duplicate field `failed_starts` at line 1 column 78"},
      {with_members(R"("pending":null,"pending":null)"), "duplicate field `pending` at line 1 column 69"},
      {with_members(R"("versions":{},"versions":{})"), "duplicate field `versions` at line 1 column 69"},
      {R"({"active":"a","active":"b"})", "duplicate field `active` at line 1 column 22"},
      // Reported before the colon and the value are looked at.
      {R"({"active":"a","active")", "duplicate field `active` at line 1 column 22"},
      {R"({"active":"a","active":})", "duplicate field `active` at line 1 column 22"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.input), c.error) << c.input;
}

TEST(ParseInstallState, SyntaxErrors) {
  const std::string complete = std::string(kHead.substr(0, kHead.size() - 1)) + "}";
  const ErrorCase cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"\xEF\xBB\xBF" + complete, "expected value at line 1 column 1"},
      {"x", "expected value at line 1 column 1"},
      {R"({"active":"a",})", "trailing comma at line 1 column 15"},
      {complete + "x", "trailing characters at line 1 column 46"},
      {complete + "\n\nx", "trailing characters at line 3 column 1"},
      {complete + "{}", "trailing characters at line 1 column 46"},
      // A syntax error inside a skipped member still fails the decode.
      {with_members(R"("extra":[1,])"), "expected value at line 1 column 57"},
      {with_members(R"("extra":{"a":1,})"), "key must be a string at line 1 column 61"},
      {with_members("\"extra\":\"\t\""),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 54"},
      {with_members(R"("\uDE00":1)"), "lone leading surrogate in hex escape at line 1 column 52"},
      {std::string(kHead), "EOF while parsing a value at line 1 column 45"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.input), c.error) << c.input;
}

TEST(ParseInstallState, PositionalForm) {
  EXPECT_EQ(decode(R"(["1.4.2","1.4.1","stable"])"),
            decode(R"({"active":"1.4.2","known_good":"1.4.1","channel":"stable"})"));

  InstallState full;
  full.active = "a";
  full.known_good = "k";
  full.channel = "c";
  full.pending = "p";
  full.failed_starts = 3;
  full.started_ok = true;
  full.versions = {{"s", "1"}};
  full.relaunch_intent = true;
  EXPECT_EQ(decode(R"(["a","k","c","p",3,true,{"s":"1"},true])"), full);
  EXPECT_EQ(decode(R"( [ "a" , "a" , "c" , null , 0 ] )"), minimal());

  const ErrorCase cases[] = {
      {"[]", "invalid length 0, expected struct InstallState with 8 elements at line 1 column 2"},
      {R"(["a"])", "invalid length 1, expected struct InstallState with 8 elements at line 1 column 5"},
      {R"(["a","a"])", "invalid length 2, expected struct InstallState with 8 elements at line 1 column 9"},
      {R"(["1.4.2","1.4.1","stable",null,0,false,{},false,1])", "trailing characters at line 1 column 49"},
      {R"(["a","b","c",null,0,false,{},false,])", "trailing comma at line 1 column 36"},
      {R"(["a","b","c",])", "trailing comma at line 1 column 14"},
      {R"(["a","b","c")", "EOF while parsing a list at line 1 column 12"},
      {R"(["a",1])", "invalid type: integer `1`, expected a string at line 1 column 6"},
      {R"(["a","b","c",null,-1])", "invalid value: integer `-1`, expected u32 at line 1 column 20"},
      {R"(["a","b","c",null,0,0])", "invalid type: integer `0`, expected a boolean at line 1 column 21"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.input), c.error) << c.input;
}

TEST(WriteInstallState, PrettyLayout) {
  EXPECT_EQ(write_install_state(testing::documented_state(), Layout::Pretty),
            "{\n"
            "  \"active\": \"1.4.2\",\n"
            "  \"known_good\": \"1.4.1\",\n"
            "  \"channel\": \"stable\",\n"
            "  \"pending\": \"1.4.2\",\n"
            "  \"failed_starts\": 1,\n"
            "  \"started_ok\": false,\n"
            "  \"versions\": {\n"
            "    \"1.4.2\": \"1.4.2\"\n"
            "  },\n"
            "  \"relaunch_intent\": false\n"
            "}");
}

TEST(WriteInstallState, CompactLayout) {
  EXPECT_EQ(
      write_install_state(testing::documented_state(), Layout::Compact),
      R"({"active":"1.4.2","known_good":"1.4.1","channel":"stable","pending":"1.4.2","failed_starts":1,)"
      R"("started_ok":false,"versions":{"1.4.2":"1.4.2"},"relaunch_intent":false})");
}

TEST(WriteInstallState, VersionsSortedBySlot) {
  InstallState s = testing::documented_state();
  s.versions = {{"b", "2"}, {"9", "9"}, {"a", std::nullopt}, {"10", "10"}};
  const std::string pretty_prefix =
      "{\n  \"active\": \"1.4.2\",\n  \"known_good\": \"1.4.1\",\n  \"channel\": \"stable\",\n"
      "  \"pending\": \"1.4.2\",\n  \"failed_starts\": 1,\n  \"started_ok\": false,\n  \"versions\": {\n    ";
  EXPECT_EQ(write_install_state(s, Layout::Pretty), pretty_prefix +
                                                        R"("10": "10",)"
                                                        "\n    "
                                                        R"("9": "9",)"
                                                        "\n    "
                                                        R"("a": null,)"
                                                        "\n    "
                                                        R"("b": "2")"
                                                        "\n  },\n  \"relaunch_intent\": false\n}");
  EXPECT_EQ(
      write_install_state(s, Layout::Compact),
      R"({"active":"1.4.2","known_good":"1.4.1","channel":"stable","pending":"1.4.2","failed_starts":1,)"
      R"("started_ok":false,"versions":{"10":"10","9":"9","a":null,"b":"2"},"relaunch_intent":false})");
}

TEST(WriteInstallState, AllMembersAlwaysWritten) {
  EXPECT_EQ(write_install_state(minimal(), Layout::Compact),
            R"({"active":"a","known_good":"a","channel":"c","pending":null,"failed_starts":0,)"
            R"("started_ok":false,"versions":{},"relaunch_intent":false})");
  EXPECT_EQ(write_install_state(minimal(), Layout::Pretty),
            "{\n  \"active\": \"a\",\n  \"known_good\": \"a\",\n  \"channel\": \"c\",\n  \"pending\": null,\n"
            "  \"failed_starts\": 0,\n  \"started_ok\": false,\n  \"versions\": {},\n  \"relaunch_intent\": "
            "false\n}");

  // The older key name is read but never written; unknown members are dropped.
  const std::string normalised = write_install_state(
      decode(with_members(R"("boot_attempts":2,"extra":1,"versions":{"a":null})")), Layout::Compact);
  EXPECT_EQ(normalised, R"({"active":"a","known_good":"a","channel":"c","pending":null,"failed_starts":2,)"
                        R"("started_ok":false,"versions":{"a":null},"relaunch_intent":false})");

  InstallState marks = minimal();
  marks.started_ok = true;
  marks.relaunch_intent = true;
  marks.failed_starts = 4294967295u;
  marks.channel = "st\"a\\b\tle\x01";
  EXPECT_EQ(write_install_state(marks, Layout::Compact),
            R"({"active":"a","known_good":"a","channel":"st\"a\\b\tle\u0001","pending":null,)"
            R"("failed_starts":4294967295,"started_ok":true,"versions":{},"relaunch_intent":true})");
}

TEST(WriteInstallState, RoundTripsInBothLayouts) {
  InstallState odd;
  odd.active = "";
  odd.known_good = "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80";
  odd.channel = std::string("ctl\0\x1F\x7F \"q\" \\ /", 14);
  odd.pending = "";
  odd.failed_starts = 4294967295u;
  odd.started_ok = true;
  odd.versions = {{"", std::nullopt}, {"1.4.2", ""}, {"\n", "\t"}, {"x", "1.0.0-beta.1"}};
  odd.relaunch_intent = true;

  for (const InstallState& s : {minimal(), testing::documented_state(), odd}) {
    for (const auto layout : {Layout::Pretty, Layout::Compact}) {
      const std::string text = write_install_state(s, layout);
      EXPECT_EQ(decode(text), s) << text;
    }
  }
}

}  // namespace
}  // namespace brindlecast
