// Version texts and the Info.plist scan on arbitrary bytes. The input's first
// three lines are parsed as version texts: the precedence order must be
// reflexive, antisymmetric and transitive over them, and a parsed version,
// written back in its plain form, must parse to the same fields. The whole
// input is also scanned as Info.plist text: a version text found there is
// non-empty UTF-8 without surrounding blanks, taken from the input as is.
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "common/utf8.hpp"
#include "state/bundle.hpp"
#include "state/version.hpp"

using brindlecast::compare_versions;
using brindlecast::parse_version;
using brindlecast::Version;
using brindlecast::fuzz::fail;

namespace {

std::string format_version(const Version& v) {
  std::string text = std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
  for (std::size_t i = 0; i < v.pre.size(); ++i) {
    text += i == 0 ? "-" : ".";
    text += v.pre[i];
  }
  return text;
}

const char* order_name(std::strong_ordering o) { return o < 0 ? "less" : o > 0 ? "greater" : "equal"; }

bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void check_versions(std::string_view input) {
  std::array<std::string_view, 3> lines{};
  std::string_view rest = input;
  for (auto& line : lines) {
    const auto nl = rest.find('\n');
    line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
  }

  std::vector<std::pair<std::string_view, Version>> parsed;
  for (const auto line : lines) {
    const auto v = parse_version(line);
    if (!v) continue;
    if (compare_versions(*v, *v) != 0) fail("a version equals itself", {{"input", input}, {"version", line}});
    const std::string plain = format_version(*v);
    const auto again = parse_version(plain);
    if (!again || *again != *v) {
      fail("a version written plainly parses to the same fields",
           {{"input", input}, {"version", line}, {"plain", plain}});
    }
    parsed.emplace_back(line, *v);
  }

  for (const auto& [ta, a] : parsed) {
    for (const auto& [tb, b] : parsed) {
      const auto ab = compare_versions(a, b);
      const auto ba = compare_versions(b, a);
      if (ab != (0 <=> ba)) {
        fail("the order of two versions is antisymmetric", {{"input", input},
                                                            {"a", ta},
                                                            {"b", tb},
                                                            {"a against b", order_name(ab)},
                                                            {"b against a", order_name(ba)}});
      }
      for (const auto& [tc, c] : parsed) {
        if (ab <= 0 && compare_versions(b, c) <= 0 && compare_versions(a, c) > 0) {
          fail("the order of versions is transitive", {{"input", input}, {"a", ta}, {"b", tb}, {"c", tc}});
        }
      }
    }
  }
}

void check_plist(std::string_view input) {
  const auto found = brindlecast::bundle_version_from_plist(input);
  if (!found) return;
  const std::string_view v = *found;
  if (v.empty()) fail("a bundle version is not empty", {{"input", input}});
  if (!brindlecast::is_valid_utf8(v)) fail("a bundle version is UTF-8", {{"input", input}, {"version", v}});
  if (is_ascii_space(v.front()) || is_ascii_space(v.back())) {
    fail("a bundle version has no surrounding blanks", {{"input", input}, {"version", v}});
  }
  if (v.find("</string>") != std::string_view::npos) {
    fail("a bundle version stops at the closing tag", {{"input", input}, {"version", v}});
  }
  if (input.find(v) == std::string_view::npos) {
    fail("a bundle version is taken from the text unchanged", {{"input", input}, {"version", v}});
  }
  (void)parse_version(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_versions(input);
  check_plist(input);
  return 0;
}
