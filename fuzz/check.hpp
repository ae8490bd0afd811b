// Shared by the fuzz targets: a property that does not hold prints what was
// expected, with the texts involved escaped, and aborts so that libFuzzer
// records the input as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace brindlecast::fuzz {

// Printable ASCII as is, every other byte as \xNN.
inline std::string escaped(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7f && b != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xf];
    }
  }
  return out;
}

using Labelled = std::pair<std::string_view, std::string_view>;

[[noreturn]] inline void fail(std::string_view property, std::initializer_list<Labelled> texts) {
  std::fprintf(stderr, "property violated: %.*s\n", static_cast<int>(property.size()), property.data());
  for (const auto& [label, text] : texts) {
    const auto e = escaped(text);
    std::fprintf(stderr, "  %.*s: \"%s\"\n", static_cast<int>(label.size()), label.data(), e.c_str());
  }
  std::abort();
}

}  // namespace brindlecast::fuzz
