// UTF-8 checks and the lossy conversion used to show byte-string paths.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brindlecast {

bool is_valid_utf8(std::string_view bytes);

// The length of the longest prefix that is valid UTF-8: where the first
// ill-formed sequence starts, or the whole length.
std::size_t valid_utf8_prefix(std::string_view bytes);

// Valid UTF-8 is returned unchanged; each maximal ill-formed subsequence is
// replaced by one U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A text as one line shows it: utf8_lossy, with each control byte (below
// 0x20, and 0x7f) written as \xHH, so that a name can neither split a line
// nor reach a terminal raw.
std::string shown_text(std::string_view bytes);

}  // namespace brindlecast
