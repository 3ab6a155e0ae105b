// Decimal parsing with a hand-checked grammar: std::from_chars alone would accept forms we refuse.
#include "shared/decimal.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <system_error>

// Standard libraries without a floating-point std::from_chars (libc++ before 20, so Apple's
// compilers) parse the rare long or far-out decimals with strtod in the C locale instead.
#if !defined(__cpp_lib_to_chars)
#include <cerrno>
#include <clocale>
#include <cstdlib>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
#define BRANTOVEIL_STRTOD_FALLBACK 1
#endif

namespace brantoveil {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_lower(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

// The sign-less infinity and NaN words, any case; nullopt for anything else.
std::optional<double> scan_special(std::string_view word) {
  if (equals_lower(word, "inf") || equals_lower(word, "infinity")) return std::numeric_limits<double>::infinity();
  if (equals_lower(word, "nan")) return std::numeric_limits<double>::quiet_NaN();
  return std::nullopt;
}

// A decimal's digits as scanned: value = mantissa * 10^power, up to the digits dropped past the
// first 19 significant ones (too_long).
struct Scanned {
  std::uint64_t mantissa = 0;
  int significant = 0;
  bool too_long = false;
  long long power = 0;
};

// Scans digits, an optional fraction and an optional exponent from p to the end e; nullopt when
// the text is not of that form.
std::optional<Scanned> scan_digits(const char* p, const char* const e) {
  Scanned out;
  long long scale = 0;  // value = mantissa * 10^(scale + exponent), up to dropped digits
  bool any_digit = false;
  for (; p != e && is_digit(*p); ++p) {
    any_digit = true;
    const int digit = *p - '0';
    if (out.mantissa == 0 && digit == 0) continue;
    if (out.significant < 19) {
      out.mantissa = out.mantissa * 10 + static_cast<unsigned>(digit);
      ++out.significant;
    } else {
      out.too_long = true;
      ++scale;
    }
  }
  if (p != e && *p == '.') {
    for (++p; p != e && is_digit(*p); ++p) {
      any_digit = true;
      const int digit = *p - '0';
      if (out.mantissa == 0 && digit == 0) {
        --scale;
      } else if (out.significant < 19) {
        out.mantissa = out.mantissa * 10 + static_cast<unsigned>(digit);
        ++out.significant;
        --scale;
      } else {
        out.too_long = true;
      }
    }
  }
  if (!any_digit) return std::nullopt;
  long long exponent = 0;
  if (p != e && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != e && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    if (p == e || !is_digit(*p)) return std::nullopt;
    for (; p != e && is_digit(*p); ++p) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');  // saturates far out of range
    }
    if (exponent_negative) exponent = -exponent;
  }
  if (p != e) return std::nullopt;
  out.power = scale + exponent;
  return out;
}

// The long or far-out decimal [first, e), already checked, through the library; false when it
// does not read it whole.
bool convert_long(const char* first, const char* const e, const Scanned& digits, bool negative, double& value) {
  double parsed = 0;
#if defined(BRANTOVEIL_STRTOD_FALLBACK)
  // The grammar is already checked, so strtod reads exactly the same number; it needs a
  // terminated copy, and the C locale so that '.' is the decimal point whatever the process's.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  const std::string copy(first, e);
  char* end = nullptr;
  errno = 0;
  parsed = strtod_l(copy.c_str(), &end, c_locale);
  const bool out_of_range = errno == ERANGE && (parsed == 0.0 || parsed == std::numeric_limits<double>::infinity() ||
                                                 parsed == -std::numeric_limits<double>::infinity());
  struct {
    std::errc ec;
    const char* ptr;
  } result{out_of_range ? std::errc::result_out_of_range : std::errc{}, first + (end - copy.c_str())};
#else
  const auto result = std::from_chars(first, e, parsed, std::chars_format::general);
#endif
  if (result.ec == std::errc::result_out_of_range) {
    // Far beyond the double range on one side or the other: the leading digit's decade says which.
    const bool overflow = digits.significant + digits.power > 0;
    const double magnitude = overflow ? std::numeric_limits<double>::infinity() : 0.0;
    value = negative ? -magnitude : magnitude;
    return true;
  }
  if (result.ec != std::errc{} || result.ptr != e) return false;
  value = parsed;
  return true;
}

}  // namespace

/*
 * The syntax is checked here, byte by byte, so std::from_chars never sees anything it would
 * read differently. Short decimals (at most 19 significant digits, value below 2^53, power of
 * ten within 10^22) are converted with one exact multiply or divide, which rounds correctly;
 * the rest goes to std::from_chars.
 */
bool parse_decimal(std::string_view text, double& value) {
  const char* p = text.data();
  const char* const e = p + text.size();
  bool negative = false;
  if (p != e && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p == e) return false;
  if (!is_digit(*p) && *p != '.') {
    const std::optional<double> magnitude = scan_special(std::string_view(p, static_cast<std::size_t>(e - p)));
    if (!magnitude) return false;
    value = negative ? -*magnitude : *magnitude;
    return true;
  }
  const std::optional<Scanned> digits = scan_digits(p, e);
  if (!digits) return false;
  if (digits->mantissa == 0) {
    value = negative ? -0.0 : 0.0;
    return true;
  }
  const long long power = digits->power;
  if (!digits->too_long && digits->mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
    const double m = static_cast<double>(digits->mantissa);
    const double magnitude = power < 0 ? m / kExactPow10[-power] : m * kExactPow10[power];
    value = negative ? -magnitude : magnitude;
    return true;
  }
  return convert_long(text.data() + (text.front() == '+' ? 1 : 0), e, *digits, negative, value);
}

}  // namespace brantoveil
