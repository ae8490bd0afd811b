// parse_double and format_double: pinned values and texts on every system;
// where the standard library has the floating-point std::from_chars and
// std::to_chars, also the digits and values they give, bit for bit, on edge
// and random values and texts.
#include "json/number.hpp"

#include <gtest/gtest.h>
#include <locale.h>

#include <bit>
#include <cfenv>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#ifdef __APPLE__
#include <xlocale.h>
#endif
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>
#include <version>

namespace brindlecast::json {
namespace {

#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
constexpr bool kHaveReference = true;

// The reader's number conversion before the change: std::from_chars, then
// "too large" (nothing) or "too small" (a zero) when it reports out of range.
std::optional<double> reference_parse(std::string_view text) {
  const char* const end = text.data() + text.size();
  double d = 0;
  const auto r = std::from_chars(text.data(), end, d);
  if (r.ptr != end) ADD_FAILURE() << "not a whole number text: " << text;
  if (r.ec != std::errc::result_out_of_range) return d;
  const auto digit = [&](std::size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
  std::size_t k = 0;
  const bool negative = text[0] == '-';
  if (negative) ++k;
  const std::size_t int_start = k;
  while (digit(k)) ++k;
  const std::size_t int_end = k;
  std::size_t frac_start = k, frac_end = k;
  if (k < text.size() && text[k] == '.') {
    frac_start = ++k;
    while (digit(k)) ++k;
    frac_end = k;
  }
  long long exponent = 0;
  if (k < text.size()) {
    ++k;
    const bool exp_negative = text[k] == '-';
    if (text[k] == '-' || text[k] == '+') ++k;
    for (; digit(k); ++k) {
      if (exponent < 1'000'000'000'000LL) exponent = exponent * 10 + (text[k] - '0');
    }
    if (exp_negative) exponent = -exponent;
  }
  std::string digits(text.substr(int_start, int_end - int_start));
  digits.append(text.substr(frac_start, frac_end - frac_start));
  const auto nonzero = digits.find_first_not_of('0');
  const long long int_len = static_cast<long long>(int_end - int_start);
  const long long magnitude = exponent + int_len - 1 - static_cast<long long>(nonzero);
  if (nonzero != std::string::npos && magnitude >= 0) return std::nullopt;
  return negative ? -0.0 : 0.0;
}

// Shortest digits in plain scientific form, "1.5e+00": a valid JSON number.
std::string shortest_scientific(double x) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  return std::string(buf, r.ptr);
}
#else
constexpr bool kHaveReference = false;
std::optional<double> reference_parse(std::string_view) { return {}; }
std::string shortest_scientific(double) { return {}; }
#endif

constexpr const char* kNoReference =
    "no floating-point std::to_chars/from_chars to compare with in this standard library";

std::string bits_of(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%016llx",
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(x)));
  return buf;
}

std::string show(const std::optional<double>& d) {
  if (!d) return "out of range";
  char buf[48];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::bit_cast<std::uint64_t>(*d), 16);
  return "bits 0x" + std::string(buf, r.ptr);
}

bool same(const std::optional<double>& a, const std::optional<double>& b) {
  if (!a || !b) return !a && !b;
  return std::bit_cast<std::uint64_t>(*a) == std::bit_cast<std::uint64_t>(*b);
}

// The significant digits of a number text: "-0.00125" and "1.25e-3" give "125".
std::string significant(std::string_view t) {
  std::string d;
  for (const char c : t.substr(0, t.find_first_of("eE"))) {
    if (c >= '0' && c <= '9') d += c;
  }
  const auto first = d.find_first_not_of('0');
  return first == std::string::npos ? "" : d.substr(first, d.find_last_not_of('0') + 1 - first);
}

// Counts disagreements and reports the first few of them with their input.
class Comparison {
 public:
  bool stop() const { return failures_ >= 10; }
  // Of the texts: how many read as out of range, zero, subnormal, normal.
  enum Outcome { kOutOfRange, kZero, kSubnormal, kNormal };
  std::size_t outcomes(Outcome o) const { return outcomes_[o]; }

  void text(std::string_view t) {
    const auto expected = reference_parse(t);
    ++outcomes_[!expected                                 ? kOutOfRange
                : *expected == 0                          ? kZero
                : std::fpclassify(*expected) == FP_NORMAL ? kNormal
                                                          : kSubnormal];
    const auto actual = parse_double(t);
    if (same(actual, expected)) return;
    ++failures_;
    ADD_FAILURE() << "parse_double(\""
                  << (t.size() > 200 ? std::string(t.substr(0, 200)) + "…" : std::string(t)) << "\") gives "
                  << show(actual) << ", std::from_chars " << show(expected);
  }

  // The value's message text reads back as the value, with std::to_chars's
  // shortest digits, in plain notation for exponents -5 to 15.
  void value(double x) {
    const std::string actual = format_double(x);
    const std::string shortest = shortest_scientific(x);
    const int exponent = std::stoi(shortest.substr(shortest.find('e') + 1));
    const bool plain = x == 0 || (exponent >= -5 && exponent <= 15);
    if (!same(parse_double(actual), x) || significant(actual) != significant(shortest) ||
        (actual.find('e') == std::string::npos) != plain) {
      ++failures_;
      ADD_FAILURE() << "format_double(" << bits_of(x) << ") gives \"" << actual << "\", std::to_chars \""
                    << shortest << "\"";
    }
    text(actual);
    text(shortest);
  }

 private:
  std::size_t outcomes_[4] = {};
  int failures_ = 0;
};

// Decimal texts of the points halfway between adjacent doubles, exact, and
// just below and above them. The halfway point has 54 significant bits: a
// long double holds it where it is the x87 format.
std::vector<std::string> halfway_texts(double x) {
  std::vector<std::string> out;
  if constexpr (std::numeric_limits<long double>::digits < 64) return out;
  const long double lo = x;
  const long double hi =
      x == std::numeric_limits<double>::max()
          ? std::ldexp(1.0L, 1024)
          : static_cast<long double>(std::nextafter(x, std::numeric_limits<double>::infinity()));
  const long double mid = (lo + hi) / 2;
  for (const long double v : {mid, std::nextafter(mid, 0.0L)}) {
    char buf[1300];
    std::snprintf(buf, sizeof buf, "%.1150Le", v);  // exact: at most 767 significant digits
    std::string t(buf);
    const auto e = t.find('e');
    auto last = t.find_last_not_of('0', e - 1);
    if (t[last] == '.') --last;
    const std::string exponent = t.substr(e);
    t.erase(last + 1);
    out.push_back(t + exponent);
    if (v == mid) out.push_back(t + (t.find('.') == std::string::npos ? ".000001" : "000001") + exponent);
  }
  return out;
}

std::vector<double> edge_values() {
  using L = std::numeric_limits<double>;
  std::vector<double> v = {
      0.0,
      L::denorm_min(),
      2 * L::denorm_min(),
      3 * L::denorm_min(),
      L::min() - L::denorm_min(),
      L::min() / 2,
      L::min(),
      std::nextafter(L::min(), 1.0),
      L::max(),
      std::nextafter(L::max(), 0.0),
      L::epsilon(),
      0.1,
      0.2,
      0.3,
      0.1 + 0.2,
      1.0 / 3,
      2.0 / 3,
      3.141592653589793,
      2.718281828459045,
      1.5,
      123456789012345678.0,
      9007199254740992.0,
      9007199254740994.0,
      9007199254740996.0,
      1125899906842624.25,
      1125899906842624.75,
      562949953421312.125,
      1.234567890123456e15,
      9.5e15,
      9.999999999999998e15,
      1.2345e-5,
      9.99e-6,
      9.999999999999999e-6,
      1.5e16,
      4.35e-5,
      2.5e-7,
      5e-324,
      1.7976931348623157e308,
      2.2250738585072014e-308,
      4.9406564584124654e-324,
  };
  // Powers of two: the interval of texts that read back as one is lopsided.
  for (int e = -1074; e <= 1023; ++e) v.push_back(std::ldexp(1.0, e));
  // Powers of ten, among them the notation switch at -5/-4 and 15/16.
  for (int e = -323; e <= 308; ++e) {
    const std::string t = "1e" + std::to_string(e);
    v.push_back(std::strtod(t.c_str(), nullptr));
  }
  // Both neighbours of each, and both signs of everything.
  const std::size_t n = v.size();
  for (std::size_t k = 0; k < n; ++k) {
    v.push_back(std::nextafter(v[k], 0.0));
    if (v[k] < L::max()) v.push_back(std::nextafter(v[k], L::infinity()));
  }
  const std::size_t m = v.size();
  for (std::size_t k = 0; k < m; ++k) v.push_back(-v[k]);
  return v;
}

std::vector<std::string> edge_texts() {
  std::vector<std::string> t = {
      "0",
      "-0",
      "0.0",
      "-0.0",
      "0e0",
      "-0E+5",
      "0.000e-99999",
      "0e99999999999999999999999999",
      "0.0000000000000000000000",
      "1",
      "-1",
      "1.5",
      "0.1",
      "0.30000000000000004",
      "1e-5",
      "1e-4",
      "1E15",
      "1e16",
      "1e+16",
      "12.5e-3",
      "18446744073709551615",
      "18446744073709551616",
      "-9223372036854775808",
      "-9223372036854775809",
      "9007199254740993",
      "9007199254740995",
      "9007199254740993.0000000000000000000001",
      "123456789012345678901234567890",
      "0.000000000000000000000000000000000001e30",
      "1e308",
      "1.7976931348623157e308",
      "1.7976931348623158e308",
      "1.7976931348623159e308",
      "-1.7976931348623159e308",
      "1e309",
      "-1e400",
      "1e99999999999999999999999",
      "1E+1000000000000000000000",
      "0.0000000000001e321",
      "10000000000000000000e289",
      "100000000000000000000e289",
      "2.2250738585072011e-308",
      "2.2250738585072012e-308",
      "2.2250738585072014e-308",
      "4.9406564584124654e-324",
      "5e-324",
      "3e-324",
      "2.4703282292062328e-324",
      "2.4703282292062327e-324",
      "2e-324",
      "1e-324",
      "-1e-324",
      "1e-400",
      "-1e-400",
      "1e-99999999999999999999999",
      "123e-330",
      "1000000000000000000000000000000e-354",
      "0.00000000000000000000000000000000001e-300",
  };
  // A million digits: the text is long, the value ordinary.
  const std::string zeros(1'000'000, '0');
  t.push_back("1." + zeros + "1");
  t.push_back("0." + zeros + "1e1000005");
  t.push_back("1" + zeros + "e-999990");
  t.push_back("9007199254740993." + zeros);
  t.push_back("9007199254740993." + zeros + "1");
  t.push_back("1" + zeros + "e-1000000");
  t.push_back("-0." + zeros + "e1000000000");
  // Halfway cases.
  for (const double x :
       {0.0, std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
        std::numeric_limits<double>::max(), 1.0, 9007199254740992.0, 0.1, 1e23, 1e-5, 1e15}) {
    for (auto& h : halfway_texts(x)) t.push_back(std::move(h));
  }
  for (int e = -1074; e <= 1023; e += 7) {
    for (auto& h : halfway_texts(std::ldexp(1.0, e))) t.push_back(std::move(h));
  }
  const std::size_t n = t.size();
  for (std::size_t k = 0; k < n; ++k) {
    if (t[k][0] != '-') t.push_back("-" + t[k]);
  }
  return t;
}

// Finite doubles: any bit pattern, or with the low bits of the mantissa
// cleared (short decimals, powers of two, ties between two shortest
// candidates), some of those between 2^-30 and 2^70.
double random_double(std::mt19937_64& rng) {
  while (true) {
    const auto kind = rng() % 4;
    std::uint64_t bits = rng();
    if (kind >= 2) bits &= ~std::uint64_t{0} << (rng() % 53);
    if (kind == 3) {
      const std::uint64_t biased = 1023 - 30 + rng() % 100;
      bits = (bits & 0x800F'FFFF'FFFF'FFFFULL) | (biased << 52);
    }
    const double x = std::bit_cast<double>(bits);
    if (std::isfinite(x)) return x;
  }
}

// JSON number texts: 1 to 25 digits, with and without a fraction and an
// exponent, placed anywhere from below the subnormals to above the largest
// double, most often near either end.
std::string random_text(std::mt19937_64& rng) {
  const auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const auto digit = [&](int lo) { return static_cast<char>('0' + uniform(lo, 9)); };
  std::string t;
  if (uniform(0, 1) == 1) t += '-';
  const int n = uniform(1, 25);
  const int int_digits = uniform(0, n);
  int leading_zeros = 0;
  if (int_digits == 0) {
    t += '0';
    leading_zeros = uniform(0, 3) == 0 ? uniform(1, 30) : 0;
  } else {
    t += digit(1);
    for (int k = 1; k < int_digits; ++k) t += digit(0);
  }
  const bool all_zeros = uniform(0, 99) == 0;
  if (int_digits < n || uniform(0, 3) == 0) {
    t += '.';
    t.append(static_cast<std::size_t>(leading_zeros), '0');
    t += all_zeros ? '0' : digit(int_digits == 0 ? 1 : 0);
    for (int k = int_digits + 1; k < n; ++k) t += all_zeros ? '0' : digit(0);
  }
  // The power of ten of the first digit as written, and the one wanted.
  const int position = int_digits > 0 ? int_digits - 1 : -1 - leading_zeros;
  int magnitude;
  switch (uniform(0, 3)) {
    case 0:
      magnitude = uniform(300, 312);
      break;
    case 1:
      magnitude = uniform(-332, -300);
      break;
    default:
      magnitude = uniform(-340, 320);
      break;
  }
  if (uniform(0, 4) == 0 && position > -5) return t;  // no exponent
  const int exponent = magnitude - position;
  t += uniform(0, 1) == 1 ? 'e' : 'E';
  if (exponent < 0) {
    t += '-';
  } else if (uniform(0, 1) == 1) {
    t += '+';
  }
  if (uniform(0, 9) == 0) t.append(static_cast<std::size_t>(uniform(1, 3)), '0');
  t += std::to_string(exponent < 0 ? -exponent : exponent);
  return t;
}

// Doubles, exact in hexadecimal, and their texts: the shortest digits that
// read back, in plain notation for exponents -5 to 15. Both ways, both signs.
constexpr std::pair<double, const char*> kPinnedValues[] = {
    {0x0.0p+0, "0.0"},
    {0x1.ed0p+6, "123.25"},
    {0x1.999999999999ap-4, "0.1"},
    {0x1.3333333333334p-2, "0.30000000000000004"},
    {0x1.52d02c7e14af6p+76, "1e+23"},
    // Subnormal and normal, the largest double.
    {0x0.0000000000001p-1022, "5e-324"},
    {0x0.fffffffffffffp-1022, "2.225073858507201e-308"},
    {0x1p-1022, "2.2250738585072014e-308"},
    {0x1.fffffffffffffp+1023, "1.7976931348623157e+308"},
    // Where the notation changes.
    {0x1.c6bf52634p+49, "1000000000000000.0"},
    {0x1.1c37937e07fffp+53, "9999999999999998.0"},
    {0x1.1c37937e08p+53, "1e+16"},
    {0x1.4f8b588e368f1p-17, "0.00001"},
    {0x1.4f8b588e368f0p-17, "9.999999999999999e-6"},
    {0x1.0c6f7a0b5ed8dp-20, "1e-6"}};

// Texts between doubles: the nearest, ties to even; out of range (nothing)
// past the largest, a zero below half the smallest. Both signs.
const std::pair<const char*, std::optional<double>> kPinnedTexts[] = {
    {"9007199254740993", 0x1p+53},
    {"9007199254740995", 0x1.0000000000002p+53},
    {"9007199254740993.0000000000000000000001", 0x1.0000000000001p+53},
    {"2.4703282292062328e-324", 0x0.0000000000001p-1022},
    {"2.4703282292062327e-324", 0.0},
    {"1.7976931348623158e308", 0x1.fffffffffffffp+1023},
    {"1.7976931348623159e308", std::nullopt}};

TEST(NumberTest, PinnedValuesAndTexts) {
  for (const auto& [value, text] : kPinnedValues) {
    for (const double x : {value, -value}) {
      const std::string t = std::string(std::signbit(x) ? "-" : "") + text;
      EXPECT_EQ(format_double(x), t) << bits_of(x);
      EXPECT_TRUE(same(parse_double(t), x)) << t << " reads as " << show(parse_double(t));
    }
  }
  for (const auto& [text, value] : kPinnedTexts) {
    EXPECT_TRUE(same(parse_double(text), value)) << text << " reads as " << show(parse_double(text));
    const auto negated = value ? std::optional<double>(-*value) : std::nullopt;
    EXPECT_TRUE(same(parse_double(std::string("-") + text), negated)) << "-" << text;
  }
}

constexpr std::uint64_t kSeed = 20240611;
constexpr int kRandomCases = 1'000'000;

TEST(NumberTest, EdgeValuesAndTextsAsTheStandardLibrary) {
  if (!kHaveReference) GTEST_SKIP() << kNoReference;
  Comparison c;
  for (const double x : edge_values()) {
    c.value(x);
    if (c.stop()) return;
  }
  for (const auto& t : edge_texts()) {
    c.text(t);
    if (c.stop()) return;
  }
}

TEST(NumberTest, RandomDoublesAsTheStandardLibrary) {
  if (!kHaveReference) GTEST_SKIP() << kNoReference;
  std::mt19937_64 rng(kSeed);
  Comparison c;
  for (int k = 0; k < kRandomCases; ++k) {
    c.value(random_double(rng));
    if (c.stop()) return;
  }
}

TEST(NumberTest, RandomTextsAsTheStandardLibrary) {
  if (!kHaveReference) GTEST_SKIP() << kNoReference;
  std::mt19937_64 rng(kSeed + 1);
  Comparison c;
  for (int k = 0; k < kRandomCases; ++k) {
    c.text(random_text(rng));
    if (c.stop()) return;
  }
  // The texts reach every outcome often.
  for (const auto o :
       {Comparison::kOutOfRange, Comparison::kZero, Comparison::kSubnormal, Comparison::kNormal}) {
    EXPECT_GT(c.outcomes(o), kRandomCases / 50) << "outcome " << o;
  }
}

// A host program may set a locale whose decimal point is a comma, and a
// rounding mode of its own: neither changes a conversion.
TEST(NumberTest, HostLocaleAndRoundingModeChangeNothing) {
  std::mt19937_64 rng(kSeed + 2);
  std::vector<double> values = edge_values();
  std::vector<std::string> texts = edge_texts();
  for (int k = 0; k < 20'000; ++k) {
    values.push_back(random_double(rng));
    texts.push_back(random_text(rng));
  }
  // The results in the usual settings first.
  std::vector<std::string> formatted;
  std::vector<std::optional<double>> parsed;
  for (const double x : values) formatted.push_back(format_double(x));
  for (const auto& t : texts) parsed.push_back(parse_double(t));

  const auto check = [&](const char* settings) {
    int failures = 0;
    for (std::size_t k = 0; k < values.size() && failures < 10; ++k) {
      const std::string actual = format_double(values[k]);
      if (actual != formatted[k]) {
        ++failures;
        ADD_FAILURE() << settings << ": format_double(" << bits_of(values[k]) << ") gives \"" << actual
                      << "\", expected \"" << formatted[k] << "\"";
      }
    }
    for (std::size_t k = 0; k < texts.size() && failures < 10; ++k) {
      const auto actual = parse_double(texts[k]);
      if (!same(actual, parsed[k])) {
        ++failures;
        ADD_FAILURE() << settings << ": parse_double(\"" << texts[k].substr(0, 200) << "\") gives "
                      << show(actual) << ", expected " << show(parsed[k]);
      }
    }
  };

  const int mode = std::fegetround();
  for (const int m : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    ASSERT_EQ(std::fesetround(m), 0);
    check(m == FE_UPWARD ? "FE_UPWARD" : m == FE_DOWNWARD ? "FE_DOWNWARD" : "FE_TOWARDZERO");
    EXPECT_EQ(std::fegetround(), m) << "the rounding mode is given back";
  }
  std::fesetround(mode);

  locale_t comma = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "fr_FR",
                           "ru_RU.UTF-8", "es_ES.UTF-8", "it_IT.UTF-8", "nl_NL.UTF-8", "pt_BR.UTF-8"}) {
    comma = newlocale(LC_NUMERIC_MASK, name, nullptr);
    if (comma != nullptr) break;
  }
  // scripts/test.sh compiles de_DE.UTF-8 where it may.
  if (comma == nullptr) GTEST_SKIP() << "rounding modes checked; no locale with a decimal comma is installed";
  const locale_t previous = uselocale(comma);
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  EXPECT_STREQ(probe, "1,5") << "the locale is in effect";
  check("a locale with a decimal comma");
  EXPECT_EQ(uselocale(previous), comma) << "the locale is given back";
  freelocale(comma);
}

}  // namespace
}  // namespace brindlecast::json
