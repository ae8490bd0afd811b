// JsonReader: a strict, pull-style reader over one complete document held in
// memory. Record decoders drive it: they know what they expect next and ask
// for it. Every error carries the message and position users see in the
// launcher's error line, so the texts and positions here are part of the
// interface. Decoded texts are copied out; nothing refers to the input
// afterwards. Skipping an unknown value never recurses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "json/number.hpp"  // format_double, for the messages

namespace brindlecast::json {

namespace detail {

// The first byte at or after pos that is not whitespace, or -1 at the end;
// pos is moved to it. Space, tab, line feed and carriage return are
// whitespace, nothing else.
[[gnu::always_inline]] inline int next_byte(std::string_view in, std::size_t& pos) {
  while (pos < in.size()) {
    const auto c = static_cast<unsigned char>(in[pos]);
    // Most bytes are above the space: one test for them.
    if (c > ' ') [[likely]]
      return c;
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return c;
    ++pos;
  }
  return -1;
}

}  // namespace detail

struct JsonError {
  std::string message;
  std::size_t line = 0;    // counted from 1
  std::size_t column = 0;  // bytes, counted from 0

  // "<message> at line L column C"
  std::string full_text() const;
};

template <class T>
using JsonResult = Result<T, JsonError>;

// An error at a byte offset of input, for a check made before reading it.
JsonError error_at_offset(std::string_view input, std::string message, std::size_t offset);

// A number as the reader classifies it.
struct Number {
  enum class Kind { Unsigned, Signed, Double } kind = Kind::Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0;
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view input) : in_(input) {}

  // The next byte after whitespace, not consumed; nothing at the end.
  std::optional<unsigned char> peek() {
    const int b = detail::next_byte(in_, pos_);
    if (b < 0) return std::nullopt;
    return static_cast<unsigned char>(b);
  }
  // Consumes the '{' or '[' the caller has just peeked.
  void begin_container() { ++pos_; }

  // One step through an object: the next member's key, or nothing once the
  // closing brace has been consumed. `first` starts true for each object.
  JsonResult<std::optional<std::string>> next_key(bool& first);
  JsonResult<Done> expect_colon();

  // One step through an array: true when an element follows, false once the
  // closing bracket has been consumed. `first` starts true for each array.
  JsonResult<bool> next_element(bool& first);
  // After the last element a decoder wants: the array must close here.
  JsonResult<Done> end_array();

  JsonResult<std::string> read_string(std::string_view expectation);
  JsonResult<std::optional<std::string>> read_optional_string(std::string_view expectation);
  JsonResult<bool> read_bool(std::string_view expectation);
  JsonResult<std::uint32_t> read_u32(std::string_view expectation);

  // Reads one value of any kind and throws it away.
  JsonResult<Done> skip_value();
  // Only whitespace may remain.
  JsonResult<Done> expect_end();

  // "invalid type: {found}, expected {expectation}" for the value at the
  // cursor; an error met while reading that value is returned instead.
  JsonError invalid_type(std::string_view expectation);
  // A schema error ("missing field …") at the current position.
  JsonError error_here(std::string message) const { return error_at(std::move(message), pos_); }

 private:
  JsonError error_at(std::string message, std::size_t p) const;
  // At the byte after the one the cursor is on (or the end).
  JsonError error_after_peek(std::string message) const;
  JsonError error_at_end(std::string message) const { return error_at(std::move(message), in_.size()); }

  JsonResult<Done> parse_ident(std::string_view rest);
  JsonResult<std::string> parse_string();  // cursor after the opening quote
  JsonResult<Done> parse_escape(std::string& out);
  JsonResult<std::uint32_t> parse_hex4();
  JsonResult<Number> parse_number();  // cursor on '-' or a digit

  // The careful paths of skipping (skip.cpp), where its quick paths stop:
  // escapes, and the exact errors.
  JsonResult<Done> skip_string();  // cursor after the opening quote
  JsonResult<Done> skip_scalar();  // cursor on its first byte
  JsonResult<Done> skip_key();     // cursor before the key

  std::string_view in_;
  std::size_t pos_ = 0;
};

}  // namespace brindlecast::json
