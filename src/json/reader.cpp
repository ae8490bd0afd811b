#include "json/reader.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

#include "common/utf8.hpp"
#include "json/grammar.hpp"
#include "json/number.hpp"
#include "json/plain_run.hpp"

namespace brindlecast::json {

using namespace detail;

namespace {

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A string as it is shown inside a message: quoted, with control characters
// made visible.
std::string quote_for_message(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    unsigned code = c;
    std::size_t width = 1;
    // C1 controls arrive as the two bytes C2 80..9F.
    if (c == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        code = next;
        width = 2;
      }
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == 0) {
      out += "\\0";
    } else if (code < 0x20 || code == 0x7F || width == 2) {
      out += "\\u{";
      if (code >= 0x10) out += kHex[code >> 4];
      out += kHex[code & 0xF];
      out += '}';
      i += width - 1;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

std::string describe_number(const Number& n) {
  switch (n.kind) {
    case Number::Kind::Unsigned:
      return "integer `" + std::to_string(n.u) + "`";
    case Number::Kind::Signed:
      return "integer `" + std::to_string(n.i) + "`";
    case Number::Kind::Double:
      break;
  }
  return "floating point `" + format_double(n.d) + "`";
}

}  // namespace

std::string JsonError::full_text() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

JsonError error_at_offset(std::string_view input, std::string message, std::size_t offset) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t k = 0; k < offset; ++k) {
    if (input[k] == '\n') {
      ++line;
      line_start = k + 1;
    }
  }
  return JsonError{std::move(message), line, offset - line_start};
}

JsonError JsonReader::error_at(std::string message, std::size_t p) const {
  return error_at_offset(in_, std::move(message), p);
}

JsonError JsonReader::error_after_peek(std::string message) const {
  return error_at(std::move(message), std::min(in_.size(), pos_ + 1));
}

JsonResult<std::optional<std::string>> JsonReader::next_key(bool& first) {
  auto b = peek();
  if (!b) return Err(error_at_end(std::string(kEofObject)));
  if (*b == '}') {
    ++pos_;
    return std::optional<std::string>();
  }
  if (*b == ',' && !first) {
    ++pos_;
    b = peek();
  } else if (first) {
    first = false;
  } else {
    return Err(error_after_peek("expected `,` or `}`"));
  }
  if (!b) return Err(error_at_end(std::string(kEofValue)));
  if (*b == '"') {
    ++pos_;
    auto key = parse_string();
    if (!key) return key.forward();
    return std::optional<std::string>(std::move(key).value());
  }
  if (*b == '}') return Err(error_after_peek("trailing comma"));
  return Err(error_after_peek("key must be a string"));
}

JsonResult<Done> JsonReader::expect_colon() {
  const auto b = peek();
  if (!b) return Err(error_at_end(std::string(kEofObject)));
  if (*b != ':') return Err(error_after_peek("expected `:`"));
  ++pos_;
  return Done{};
}

JsonResult<bool> JsonReader::next_element(bool& first) {
  auto b = peek();
  if (!b) return Err(error_at_end(std::string(kEofList)));
  if (*b == ']') {
    ++pos_;
    return false;
  }
  if (*b == ',' && !first) {
    ++pos_;
    b = peek();
  } else if (first) {
    first = false;
  } else {
    return Err(error_after_peek("expected `,` or `]`"));
  }
  if (!b) return Err(error_at_end(std::string(kEofValue)));
  if (*b == ']') return Err(error_after_peek("trailing comma"));
  return true;
}

JsonResult<Done> JsonReader::end_array() {
  auto b = peek();
  if (!b) return Err(error_at_end(std::string(kEofList)));
  if (*b == ']') {
    ++pos_;
    return Done{};
  }
  if (*b == ',') {
    ++pos_;
    b = peek();
    if (b == ']') return Err(error_after_peek("trailing comma"));
  }
  return Err(error_after_peek("trailing characters"));
}

JsonResult<Done> JsonReader::expect_end() {
  if (peek()) return Err(error_after_peek("trailing characters"));
  return Done{};
}

JsonResult<Done> JsonReader::parse_ident(std::string_view rest) {
  if (literal_follows(in_, pos_, rest)) {
    pos_ += rest.size();
    return Done{};
  }
  for (const char expected : rest) {
    if (pos_ == in_.size()) return Err(error_at_end(std::string(kEofValue)));
    if (in_[pos_++] != expected) return Err(error_at("expected ident", pos_));
  }
  return Done{};
}

JsonResult<std::uint32_t> JsonReader::parse_hex4() {
  if (in_.size() - pos_ < 4) {
    pos_ = in_.size();
    return Err(error_at_end(std::string(kEofString)));
  }
  std::uint32_t value = 0;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(static_cast<unsigned char>(in_[pos_++]));
    if (h < 0) return Err(error_at("invalid escape", pos_));
    value = value * 16 + static_cast<std::uint32_t>(h);
  }
  return value;
}

JsonResult<Done> JsonReader::parse_escape(std::string& out) {
  if (pos_ == in_.size()) return Err(error_at_end(std::string(kEofString)));
  switch (in_[pos_++]) {
    case '"':
      out += '"';
      return Done{};
    case '\\':
      out += '\\';
      return Done{};
    case '/':
      out += '/';
      return Done{};
    case 'b':
      out += '\b';
      return Done{};
    case 'f':
      out += '\f';
      return Done{};
    case 'n':
      out += '\n';
      return Done{};
    case 'r':
      out += '\r';
      return Done{};
    case 't':
      out += '\t';
      return Done{};
    case 'u':
      break;
    default:
      return Err(error_at("invalid escape", pos_));
  }
  auto first = parse_hex4();
  if (!first) return first.forward();
  std::uint32_t cp = *first;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return Err(error_at("lone leading surrogate in hex escape", pos_));
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    // A leading surrogate must be followed at once by "\u" and a trailing one.
    for (const char expected : {'\\', 'u'}) {
      if (pos_ == in_.size()) return Err(error_at_end(std::string(kEofString)));
      if (in_[pos_++] != expected) return Err(error_at("unexpected end of hex escape", pos_));
    }
    auto second = parse_hex4();
    if (!second) return second.forward();
    if (*second < 0xDC00 || *second > 0xDFFF) {
      return Err(error_at("lone leading surrogate in hex escape", pos_));
    }
    cp = 0x10000 + ((cp - 0xD800) << 10) + (*second - 0xDC00);
  }
  append_utf8(out, cp);
  return Done{};
}

JsonResult<std::string> JsonReader::parse_string() {
  std::uint64_t seen = 0;
  std::size_t start = pos_;
  pos_ = plain_run_end(in_, pos_, seen);
  // Escapes always decode to valid UTF-8, so only raw bytes can spoil a
  // string, and raw bytes below 0x80 cannot.
  const auto valid = [&](std::string_view text) { return (seen & kHighBits) == 0 || is_valid_utf8(text); };
  if (pos_ < in_.size() && in_[pos_] == '"') [[likely]] {
    // The usual string: no escape, so the text is the run itself.
    const std::string_view text = in_.substr(start, pos_ - start);
    ++pos_;
    if (!valid(text)) return Err(error_at("invalid unicode code point", pos_));
    return std::string(text);
  }
  std::string out;
  for (;;) {
    if (pos_ == in_.size()) return Err(error_at_end(std::string(kEofString)));
    const char c = in_[pos_];
    out.append(in_, start, pos_ - start);
    ++pos_;
    if (c == '"') break;
    if (c != '\\') return Err(error_at(std::string(kControlChar), pos_));
    auto escaped = parse_escape(out);
    if (!escaped) return escaped.forward();
    start = pos_;
    pos_ = plain_run_end(in_, pos_, seen);
  }
  if (!valid(out)) return Err(error_at("invalid unicode code point", pos_));
  return out;
}

JsonResult<Number> JsonReader::parse_number() {
  const std::size_t start = pos_;
  const bool negative = in_[pos_] == '-';
  const std::size_t int_start = negative ? pos_ + 1 : pos_;
  const NumberScan scan = scan_number(in_, int_start, /*skipping=*/false);
  if (!scan.error.empty()) return Err(error_at(std::string(scan.error), scan.pos));
  pos_ = scan.pos;
  const std::string_view digits = in_.substr(int_start, pos_ - int_start);

  Number n;
  if (digits.find_first_of(".eE") == std::string_view::npos) {
    std::uint64_t magnitude = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (r.ec == std::errc()) {
      constexpr std::uint64_t kMinSignedMagnitude = std::uint64_t{1} << 63;
      if (!negative) {
        n.kind = Number::Kind::Unsigned;
        n.u = magnitude;
        return n;
      }
      if (magnitude != 0 && magnitude <= kMinSignedMagnitude) {
        n.kind = Number::Kind::Signed;
        n.i = magnitude == kMinSignedMagnitude ? std::numeric_limits<std::int64_t>::min()
                                               : -static_cast<std::int64_t>(magnitude);
        return n;
      }
    }
  }
  n.kind = Number::Kind::Double;
  const auto d = parse_double(in_.substr(start, pos_ - start));
  if (!d) return Err(error_at("number out of range", pos_));
  n.d = *d;
  return n;
}

JsonError JsonReader::invalid_type(std::string_view expectation) {
  const auto b = peek();
  if (!b) return error_at_end(std::string(kEofValue));
  std::string found;
  switch (*b) {
    case 'n': {
      ++pos_;
      if (auto r = parse_ident("ull"); !r) return std::move(r).error();
      found = "null";
      break;
    }
    case 't':
    case 'f': {
      ++pos_;
      const bool value = *b == 't';
      if (auto r = parse_ident(value ? "rue" : "alse"); !r) return std::move(r).error();
      found = value ? "boolean `true`" : "boolean `false`";
      break;
    }
    case '"': {
      ++pos_;
      auto s = parse_string();
      if (!s) return std::move(s).error();
      found = "string " + quote_for_message(*s);
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default: {
      if (*b != '-' && !is_digit(*b)) return error_after_peek("expected value");
      auto number = parse_number();
      if (!number) return std::move(number).error();
      found = describe_number(*number);
    }
  }
  return error_here("invalid type: " + found + ", expected " + std::string(expectation));
}

JsonResult<std::string> JsonReader::read_string(std::string_view expectation) {
  const auto b = peek();
  if (!b) return Err(error_at_end(std::string(kEofValue)));
  if (*b != '"') return Err(invalid_type(expectation));
  ++pos_;
  return parse_string();
}

JsonResult<std::optional<std::string>> JsonReader::read_optional_string(std::string_view expectation) {
  if (peek() == 'n') {
    ++pos_;
    if (auto r = parse_ident("ull"); !r) return r.forward();
    return std::optional<std::string>();
  }
  auto s = read_string(expectation);
  if (!s) return s.forward();
  return std::optional<std::string>(std::move(s).value());
}

JsonResult<bool> JsonReader::read_bool(std::string_view expectation) {
  const auto b = peek();
  if (!b) return Err(error_at_end(std::string(kEofValue)));
  if (*b != 't' && *b != 'f') return Err(invalid_type(expectation));
  ++pos_;
  const bool value = *b == 't';
  if (auto r = parse_ident(value ? "rue" : "alse"); !r) return r.forward();
  return value;
}

JsonResult<std::uint32_t> JsonReader::read_u32(std::string_view expectation) {
  const auto b = peek();
  if (!b) return Err(error_at_end(std::string(kEofValue)));
  if (*b != '-' && !is_digit(*b)) return Err(invalid_type(expectation));
  auto number = parse_number();
  if (!number) return number.forward();
  const std::string found = describe_number(*number);
  if (number->kind == Number::Kind::Double) {
    return Err(error_here("invalid type: " + found + ", expected " + std::string(expectation)));
  }
  if (number->kind == Number::Kind::Signed || number->u > std::numeric_limits<std::uint32_t>::max()) {
    return Err(error_here("invalid value: " + found + ", expected " + std::string(expectation)));
  }
  return static_cast<std::uint32_t>(number->u);
}

}  // namespace brindlecast::json
