#include "json/writer.hpp"

#include <charconv>

#include "json/plain_run.hpp"

namespace brindlecast::json {

JsonWriter::JsonWriter(Layout layout) : layout_(layout) { out_.reserve(128); }

void JsonWriter::begin_object() {
  out_ += '{';
  has_members_.push_back(false);
}

void JsonWriter::element() {
  const bool first = !has_members_.back();
  has_members_.back() = true;
  if (layout_ == Layout::Pretty) {
    new_line(first ? 1 : 0);
  } else if (!first) {
    out_ += ',';
  }
}

void JsonWriter::key(std::string_view name) {
  element();
  append_quoted(name);
  out_.append(layout_ == Layout::Pretty ? std::string_view(": ") : std::string_view(":"));
}

void JsonWriter::string_value(std::string_view text) { append_quoted(text); }

void JsonWriter::null_value() { out_ += "null"; }

void JsonWriter::optional_string_value(const std::optional<std::string>& text) {
  if (text) {
    string_value(*text);
  } else {
    null_value();
  }
}

void JsonWriter::bool_value(bool value) { out_ += value ? "true" : "false"; }

void JsonWriter::uint_value(std::uint64_t value) {
  char buf[20];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, r.ptr);
}

void JsonWriter::end_object() {
  const bool had_members = has_members_.back();
  has_members_.pop_back();
  if (layout_ == Layout::Pretty && had_members) new_line(1);
  out_ += '}';
}

void JsonWriter::begin_array() {
  out_ += '[';
  has_members_.push_back(false);
}

void JsonWriter::end_array() {
  end_object();
  out_.back() = ']';
}

void JsonWriter::new_line(std::size_t skip) {
  // ",\n" and the indentation in one append for the usual depths.
  static constexpr std::string_view kBreak =
      ",\n                                                                ";
  const std::size_t indent = 2 * has_members_.size();
  if (indent <= kBreak.size() - 2) {
    out_.append(kBreak.substr(skip, 2 - skip + indent));
  } else {
    out_.append(kBreak.substr(skip, 2 - skip));
    out_.append(indent, ' ');
  }
}

void JsonWriter::append_quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out_ += '"';
  std::size_t run = 0;  // start of the bytes not yet copied
  for (;;) {
    std::uint64_t seen = 0;  // not needed here
    const std::size_t i = detail::plain_run_end(text, run, seen);
    out_.append(text, run, i - run);
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    run = i + 1;
    switch (c) {
      case '\b':
        out_ += "\\b";
        break;
      case '\t':
        out_ += "\\t";
        break;
      case '\n':
        out_ += "\\n";
        break;
      case '\f':
        out_ += "\\f";
        break;
      case '\r':
        out_ += "\\r";
        break;
      case '"':
        out_ += "\\\"";
        break;
      case '\\':
        out_ += "\\\\";
        break;
      default:
        out_ += "\\u00";
        out_ += kHex[c >> 4];
        out_ += kHex[c & 0xF];
    }
  }
  out_ += '"';
}

}  // namespace brindlecast::json
