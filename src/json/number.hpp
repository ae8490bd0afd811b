// Conversions between JSON number texts and doubles, without the
// floating-point std::from_chars / std::to_chars (missing from older macOS C++
// libraries). The work is done by the C library's strtod and snprintf, which
// round correctly on glibc and macOS. strtod is only given digits and an
// exponent, and the decimal point snprintf writes is skipped, so the locale a
// host program sets does not matter; the calling thread's rounding mode is
// nearest for the duration of a call, and errno is left as it was.
// Thread-safe; no state of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brindlecast::json {

// The double nearest to a JSON number text the reader has already checked
// ("-0", "12.5e-3", "1E+400"), ties to even. A value too small for a double
// becomes a subnormal or a zero of the text's sign; a value whose nearest
// double is infinite is nothing (the reader's "number out of range").
std::optional<double> parse_double(std::string_view json_number);

// Shortest round-trip digits (the nearest such ones); plain notation for
// exponents -5 to 15, "e+"/"e-" otherwise. "1.0", "0.001", "1e+20", "-0.0".
std::string format_double(double value);

}  // namespace brindlecast::json
