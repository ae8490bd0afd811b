#include "common/utf8.hpp"

#include <cstddef>

namespace brindlecast {
namespace {

// Length of the well-formed sequence starting at i, or 0 if ill-formed; in
// that case *bad is the length of the maximal ill-formed prefix (at least 1).
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t* bad) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  *bad = 1;
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const unsigned char b = byte(i + k);
    const bool fits = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!fits) return 0;
    *bad = k + 1;
  }
  return need + 1;
}

}  // namespace

std::size_t valid_utf8_prefix(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t bad = 0;
    const std::size_t n = sequence_length(bytes, i, &bad);
    if (n == 0) return i;
    i += n;
  }
  return bytes.size();
}

bool is_valid_utf8(std::string_view bytes) { return valid_utf8_prefix(bytes) == bytes.size(); }

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t bad = 0;
    const std::size_t n = sequence_length(bytes, i, &bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes, i, n);
      i += n;
    }
  }
  return out;
}

std::string shown_text(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : utf8_lossy(bytes)) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7f) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xf];
    }
  }
  return out;
}

}  // namespace brindlecast
