// The scan shared by the reader and the writer: how far a string's bytes run
// before one that JSON treats specially inside quotes (a double quote, a
// backslash or a control byte below 0x20). Internal to the JSON module.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brindlecast::json::detail {

inline constexpr std::uint64_t kEveryByte = 0x0101010101010101;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080;

inline bool is_string_special(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

// The position of the first special byte at or after pos, or the size of the
// text. Whole words are tested eight bytes at a time. Every byte passed is
// or-ed into `seen`, so that a caller can tell an all-ASCII run by its high
// bits (kHighBits).
[[gnu::always_inline]] inline std::size_t plain_run_end(std::string_view text, std::size_t pos,
                                                        std::uint64_t& seen) {
  const char* const data = text.data();
  while (text.size() - pos >= 8) {
    std::uint64_t w;
    std::memcpy(&w, data + pos, 8);
    const std::uint64_t quote = w ^ (kEveryByte * '"');
    const std::uint64_t backslash = w ^ (kEveryByte * '\\');
    // A byte's high bit is set where it is zero (or below 0x20 for w). A
    // borrow can only mark bytes above a truly marked one, so "none marked"
    // is exact, and so is the lowest marked byte.
    const std::uint64_t marked = (((quote - kEveryByte) & ~quote) | ((backslash - kEveryByte) & ~backslash) |
                                  ((w - kEveryByte * 0x20) & ~w)) &
                                 kHighBits;
    if (marked != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        const int plain = std::countr_zero(marked) / 8;
        if (plain != 0) seen |= w & (~std::uint64_t{0} >> (64 - 8 * plain));
        return pos + static_cast<std::size_t>(plain);
      }
      break;
    }
    seen |= w;
    pos += 8;
  }
  while (pos < text.size()) {
    const auto c = static_cast<unsigned char>(data[pos]);
    if (is_string_special(c)) break;
    seen |= c;
    ++pos;
  }
  return pos;
}

}  // namespace brindlecast::json::detail
