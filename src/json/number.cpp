#include "json/number.hpp"

#include <cerrno>
#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brindlecast::json {
namespace {

// The C library's conversions round in the current mode of the calling
// thread; for the lifetime of this guard that is round-to-nearest. errno,
// which strtod sets on overflow and underflow, is given back unchanged.
class CLibraryConversions {
 public:
  CLibraryConversions() : saved_mode_(std::fegetround()), saved_errno_(errno) {
    if (saved_mode_ != FE_TONEAREST) std::fesetround(FE_TONEAREST);
  }
  ~CLibraryConversions() {
    if (saved_mode_ != FE_TONEAREST) std::fesetround(saved_mode_);
    errno = saved_errno_;
  }
  CLibraryConversions(const CLibraryConversions&) = delete;
  CLibraryConversions& operator=(const CLibraryConversions&) = delete;

 private:
  int saved_mode_;
  int saved_errno_;
};

// digits × 10^exponent; at most 17 digits.
struct Decimal {
  std::uint64_t digits = 0;
  int exponent = 0;
};

constexpr std::uint64_t kPow10[] = {1,
                                    10,
                                    100,
                                    1'000,
                                    10'000,
                                    100'000,
                                    1'000'000,
                                    10'000'000,
                                    100'000'000,
                                    1'000'000'000,
                                    10'000'000'000,
                                    100'000'000'000,
                                    1'000'000'000'000,
                                    10'000'000'000'000,
                                    100'000'000'000'000,
                                    1'000'000'000'000'000,
                                    10'000'000'000'000'000,
                                    100'000'000'000'000'000};

// strtod of "<digits>e<exponent>": no decimal point, so no locale in play.
double to_double(Decimal d) {
  char buf[40];
  auto r = std::to_chars(buf, buf + 20, d.digits);
  *r.ptr++ = 'e';
  r = std::to_chars(r.ptr, buf + sizeof buf - 1, d.exponent);
  *r.ptr = '\0';
  return std::strtod(buf, nullptr);
}

// The p-digit decimal nearest to x > 0 (ties to even): printf's "%.*e"
// rounds correctly. Its decimal point depends on the locale and is skipped.
Decimal nearest(double x, int p) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", p - 1, x);
  const char* e = std::strrchr(buf, 'e');
  Decimal d;
  for (const char* s = buf; s < e; ++s) {
    if (*s >= '0' && *s <= '9') d.digits = d.digits * 10 + static_cast<std::uint64_t>(*s - '0');
  }
  const bool negative = e[1] == '-';
  int exponent = 0;
  for (const char* s = e + 2; *s != '\0'; ++s) exponent = exponent * 10 + (*s - '0');
  d.exponent = (negative ? -exponent : exponent) - (p - 1);
  return d;
}

// A p-digit decimal that reads back as x > 0, the nearest one if several do.
// If any does, the nearest p-digit decimal c or its neighbour on x's side
// does: the decimals that read back as x form an interval around x, and c
// can miss it while the neighbour does not only where the interval is
// lopsided, at powers of two.
std::optional<Decimal> representation(double x, int p) {
  const Decimal c = nearest(x, p);
  const double back = to_double(c);
  if (back == x) return c;
  Decimal next = c;
  if (back < x) {
    if (++next.digits == kPow10[p]) {
      next.digits = kPow10[p - 1];
      ++next.exponent;
    }
  } else if (next.digits == kPow10[p - 1]) {
    // Below a power of ten the p-digit decimals lie ten times closer.
    next.digits = kPow10[p] - 1;
    --next.exponent;
  } else {
    --next.digits;
  }
  if (to_double(next) == x) return next;
  return std::nullopt;
}

// The shortest decimal that reads back as x > 0 (finite), the nearest of
// that length. A p-digit representation is also a (p+1)-digit one, so the
// shortest length is found by bisection; the nearest 17-digit decimal always
// reads back. Most doubles need 16 or 17 digits: those are tried first.
Decimal shortest(double x) {
  int lo = 1;   // no shorter length works
  int hi = 17;  // this length works
  std::optional<Decimal> best;
  int probe = 16;
  for (int step = 0; lo < hi; ++step) {
    if (auto d = representation(x, probe)) {
      best = d;
      hi = probe;
    } else {
      lo = probe + 1;
    }
    probe = step == 0 ? hi - 1 : (lo + hi) / 2;
  }
  return best ? *best : nearest(x, 17);
}

}  // namespace

std::optional<double> parse_double(std::string_view json_number) {
  const std::string_view t = json_number;
  std::size_t i = 0;
  const bool negative = i < t.size() && t[i] == '-';
  if (negative) ++i;
  // The significant digits, from the first non-zero one to the last, and the
  // power of ten of the last of them.
  std::string text;
  if (negative) text += '-';
  const std::size_t first = text.size();
  long long scale = 0;
  bool fraction = false;
  for (; i < t.size() && t[i] != 'e' && t[i] != 'E'; ++i) {
    if (t[i] == '.') {
      fraction = true;
    } else {
      if (text.size() > first || t[i] != '0') text += t[i];
      if (fraction) --scale;
    }
  }
  while (text.size() > first && text.back() == '0') {
    text.pop_back();
    ++scale;
  }
  if (text.size() == first) return negative ? -0.0 : 0.0;

  long long exponent = 0;
  if (i < t.size()) {
    ++i;
    const bool exp_negative = i < t.size() && t[i] == '-';
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
    for (; i < t.size(); ++i) {
      // Saturate far beyond the lengths of texts and the range of doubles.
      if (exponent < 100'000'000'000'000'000LL) exponent = exponent * 10 + (t[i] - '0');
    }
    if (exp_negative) exponent = -exponent;
  }
  exponent += scale;
  // The power of ten of the first significant digit: far outside a double's
  // range (1e308 to 5e-324) the answer is clear without strtod.
  const long long magnitude = exponent + static_cast<long long>(text.size() - first) - 1;
  if (magnitude > 310) return std::nullopt;
  if (magnitude < -330) return negative ? -0.0 : 0.0;
  text += 'e';
  text += std::to_string(exponent);

  double value;
  {
    CLibraryConversions guard;
    // Underflow (a subnormal or zero) is a value here; errno is not looked at.
    value = std::strtod(text.c_str(), nullptr);
  }
  if (std::isinf(value)) return std::nullopt;
  return value;
}

std::string format_double(double value) {
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  Decimal d;
  {
    CLibraryConversions guard;
    d = shortest(std::fabs(value));
  }
  std::string out;
  if (value < 0) out += '-';
  char buf[20];
  const auto r = std::to_chars(buf, buf + sizeof buf, d.digits);
  const std::string digits(buf, r.ptr);
  const int n = static_cast<int>(digits.size());
  // The power of ten of the first digit.
  const int exp = d.exponent + n - 1;
  if (exp >= -5 && exp <= 15) {
    if (exp >= n - 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exp - n + 1), '0');
      out += ".0";
    } else if (exp >= 0) {
      out.append(digits, 0, static_cast<std::size_t>(exp + 1));
      out += '.';
      out.append(digits, static_cast<std::size_t>(exp + 1));
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    }
    return out;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += exp < 0 ? "e-" : "e+";
  out += std::to_string(exp < 0 ? -exp : exp);
  return out;
}

}  // namespace brindlecast::json
