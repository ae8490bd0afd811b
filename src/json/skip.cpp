// Skipping a value of any kind, checked for syntax only: no number range,
// surrogate pairing or UTF-8. Well-formed text without escapes takes the
// quick paths, free functions on skip_value's own position; anything else
// goes to the careful member functions, from the same position, for the
// escapes or the exact error.
#include <cstdint>
#include <string>
#include <vector>

#include "json/grammar.hpp"
#include "json/plain_run.hpp"
#include "json/reader.hpp"

namespace brindlecast::json {

using namespace detail;

namespace {

// The letters of the literal that starts with `first`, after that one.
std::string_view literal_rest(int first) {
  return first == 'n'   ? std::string_view("ull")
         : first == 't' ? std::string_view("rue")
                        : std::string_view("alse");
}

// A string whose opening quote is just before p: true past it when it has
// no escapes, false with p on its first escape or fault.
[[gnu::always_inline]] inline bool skip_plain_string(std::string_view in, std::size_t& p) {
  std::uint64_t seen = 0;  // a skipped string is not checked for UTF-8
  p = plain_run_end(in, p, seen);
  if (p == in.size() || in[p] != '"') return false;
  ++p;
  return true;
}

// A literal or well-formed number whose first byte is at p: true past it,
// false with p unchanged otherwise.
[[gnu::always_inline]] inline bool skip_plain_scalar(std::string_view in, int first, std::size_t& p) {
  if (first == 'n' || first == 't' || first == 'f') {
    const std::string_view rest = literal_rest(first);
    if (!literal_follows(in, p + 1, rest)) return false;
    p += 1 + rest.size();
    return true;
  }
  if (first != '-' && !is_digit(first)) return false;
  const NumberScan number = scan_number(in, first == '-' ? p + 1 : p, /*skipping=*/true);
  if (!number.error.empty()) return false;
  p = number.pos;
  return true;
}

// An object member's key without escapes and its colon, from p: true past
// them, false with p unchanged otherwise.
[[gnu::always_inline]] inline bool skip_plain_key(std::string_view in, std::size_t& p) {
  std::size_t end = p;
  if (next_byte(in, end) != '"' || !skip_plain_string(in, ++end) || next_byte(in, end) != ':') return false;
  p = end + 1;
  return true;
}

// After a value, or just after opening the innermost container: closes the
// containers that end at p, then takes the comma before the next value.
// Returns the message for what stands at p instead, or nothing.
[[gnu::always_inline]] inline std::string_view close_containers(std::string_view in,
                                                                std::vector<unsigned char>& open, bool opened,
                                                                std::size_t& p) {
  bool accept_comma = !opened;
  for (;;) {
    const int closer = open.back();
    const int b = next_byte(in, p);
    if (b == ',' && accept_comma) {
      ++p;
      return {};
    }
    if (b != closer) {
      if (b < 0) return closer == '}' ? kEofObject : kEofList;
      if (accept_comma) return closer == '}' ? "expected `,` or `}`" : "expected `,` or `]`";
      return {};  // the first member or element is due
    }
    ++p;
    open.pop_back();
    if (open.empty()) return {};
    accept_comma = true;
  }
}

}  // namespace

JsonResult<Done> JsonReader::skip_string() {
  for (;;) {
    std::uint64_t seen = 0;  // a skipped string is not checked for UTF-8
    pos_ = plain_run_end(in_, pos_, seen);
    if (pos_ == in_.size()) return Err(error_at_end(std::string(kEofString)));
    const char c = in_[pos_];
    if (c == '"') {
      ++pos_;
      return Done{};
    }
    if (c != '\\') return Err(error_at(std::string(kControlChar), pos_));
    ++pos_;
    if (pos_ == in_.size()) return Err(error_at_end(std::string(kEofString)));
    const char escaped = in_[pos_++];
    if (escaped == 'u') {
      if (auto r = parse_hex4(); !r) return r.forward();
    } else if (std::string_view(R"("\/bfnrt)").find(escaped) == std::string_view::npos) {
      return Err(error_at("invalid escape", pos_));
    }
  }
}

// What skip_plain_scalar refused, from its first byte: the exact error.
JsonResult<Done> JsonReader::skip_scalar() {
  const char first = in_[pos_++];
  if (first == 'n' || first == 't' || first == 'f') return parse_ident(literal_rest(first));
  if (first != '-' && !is_digit(first)) return Err(error_at("expected value", pos_));
  const NumberScan number = scan_number(in_, first == '-' ? pos_ : pos_ - 1, /*skipping=*/true);
  if (!number.error.empty()) return Err(error_at(std::string(number.error), number.pos));
  pos_ = number.pos;
  return Done{};
}

// What skip_plain_key refused: a key with escapes, or the exact error.
JsonResult<Done> JsonReader::skip_key() {
  const auto b = peek();
  if (!b) return Err(error_at_end(std::string(kEofObject)));
  if (*b != '"') return Err(error_after_peek("key must be a string"));
  ++pos_;
  if (auto r = skip_string(); !r) return r;
  return expect_colon();
}

JsonResult<Done> JsonReader::skip_value() {
  // The closing bracket of each open container. Never recursion, so any
  // depth fits in memory rather than on the call stack.
  std::vector<unsigned char> open;
  // Locals rather than members, so that they can stay in registers.
  const std::string_view in = in_;
  std::size_t p = pos_;
  for (;;) {
    const int b = next_byte(in, p);
    if (b < 0) return Err(error_at_end(std::string(kEofValue)));
    const bool opened = b == '[' || b == '{';
    if (opened) {
      ++p;
      open.push_back(b == '{' ? '}' : ']');
    } else if (b == '"' ? !skip_plain_string(in, ++p) : !skip_plain_scalar(in, b, p)) {
      // An escape or a fault: the careful path, from where the quick one stopped.
      pos_ = p;
      if (auto r = b == '"' ? skip_string() : skip_scalar(); !r) return r;
      p = pos_;
    }
    if (open.empty()) break;
    if (const std::string_view fault = close_containers(in, open, opened, p); !fault.empty()) {
      pos_ = p;
      return Err(error_after_peek(std::string(fault)));
    }
    if (open.empty()) break;
    if (open.back() == '}' && !skip_plain_key(in, p)) {
      pos_ = p;
      if (auto r = skip_key(); !r) return r;
      p = pos_;
    }
  }
  pos_ = p;
  return Done{};
}

}  // namespace brindlecast::json
