// The pieces of JSON's grammar that the reader's two halves share, reading
// (reader.cpp) and skipping (skip.cpp): literals, numbers and the messages
// both give. Internal to the JSON module.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace brindlecast::json::detail {

inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kControlChar =
    "control character (\\u0000-\\u001F) found while parsing a string";

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Whether the letters of a literal after its first one stand at pos.
[[gnu::always_inline]] inline bool literal_follows(std::string_view in, std::size_t pos,
                                                   std::string_view rest) {
  if (in.size() - pos < rest.size()) return false;
  for (std::size_t k = 0; k < rest.size(); ++k) {
    if (in[pos + k] != rest[k]) return false;
  }
  return true;
}

struct NumberScan {
  std::size_t pos;         // past the number, or where the error is reported
  std::string_view error;  // empty for a well-formed number
};

// The number whose digits start at pos (after an optional '-'): its end, or
// its error. A number the input cuts short is unfinished to a reader ("EOF
// while parsing a value") but merely invalid to a skipper.
[[gnu::always_inline]] inline NumberScan scan_number(std::string_view in, std::size_t pos, bool skipping) {
  const auto digit_at = [&](std::size_t p) {
    return p < in.size() && is_digit(static_cast<unsigned char>(in[p]));
  };
  // The byte at p breaks the grammar, or the input ends there.
  const auto broken = [&](std::size_t p) -> NumberScan {
    if (p == in.size() && !skipping) return {p, kEofValue};
    return {std::min(p + 1, in.size()), "invalid number"};
  };
  if (!digit_at(pos)) return broken(pos);
  if (in[pos++] == '0') {
    if (digit_at(pos)) return broken(pos);
  } else {
    while (digit_at(pos)) ++pos;
  }
  if (pos < in.size() && in[pos] == '.') {
    if (!digit_at(++pos)) return broken(pos);
    while (digit_at(pos)) ++pos;
  }
  if (pos < in.size() && (in[pos] == 'e' || in[pos] == 'E')) {
    ++pos;
    if (pos < in.size() && (in[pos] == '+' || in[pos] == '-')) ++pos;
    if (!digit_at(pos)) return broken(pos);
    while (digit_at(pos)) ++pos;
  }
  return {pos, {}};
}

}  // namespace brindlecast::json::detail
