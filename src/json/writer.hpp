// JsonWriter: builds one JSON document in memory, in the pretty layout
// (two-space indentation, for files) or the compact one (no whitespace, for
// one-line reports). Writing cannot fail; the caller calls the members in
// document order and takes the bytes at the end. No newline is added.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindlecast::json {

enum class Layout { Pretty, Compact };

class JsonWriter {
 public:
  explicit JsonWriter(Layout layout);

  void begin_object();
  void key(std::string_view name);
  void string_value(std::string_view text);
  void null_value();
  // A string, or null when absent.
  void optional_string_value(const std::optional<std::string>& text);
  void bool_value(bool value);
  void uint_value(std::uint64_t value);
  void end_object();
  // An array: element() before each of its values.
  void begin_array();
  void element();
  void end_array();

  std::string take() { return std::move(out_); }

 private:
  void append_quoted(std::string_view text);
  // ",\n" (or "\n" when skip is 1) and the indentation of the current depth.
  void new_line(std::size_t skip);

  Layout layout_;
  std::string out_;
  std::vector<bool> has_members_;  // one entry per open object
};

}  // namespace brindlecast::json
