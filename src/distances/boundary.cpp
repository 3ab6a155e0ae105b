// Parsing of the dense-share environment values and the rules that turn a share into a support.
#include "distances/boundary.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "shared/decimal.h"
#include "shared/utf8.h"

namespace brantoveil::distances {

namespace {

// Code points with the Unicode White_Space property.
bool is_white_space(std::uint32_t c) {
  if (c >= 0x09 && c <= 0x0D) return true;
  if (c >= 0x2000 && c <= 0x200A) return true;
  switch (c) {
    case 0x20: case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F:
    case 0x205F: case 0x3000:
      return true;
    default:
      return false;
  }
}

// Validates the whole value as UTF-8 and strips white space at both ends; nullopt if not UTF-8
// (a value that is not valid Unicode falls back to the default as a whole).
std::optional<std::string_view> trim_utf8(std::string_view text) {
  std::size_t first = text.size();  // first non-space byte
  std::size_t last = 0;             // one past the last non-space code point
  for (std::size_t pos = 0; pos < text.size();) {
    std::uint32_t point = 0;
    const std::size_t len = decode_utf8(text, pos, point);
    if (len == 0) return std::nullopt;
    if (!is_white_space(point)) {
      if (first == text.size()) first = pos;
      last = pos + len;
    }
    pos += len;
  }
  if (first == text.size()) return std::string_view{};
  return text.substr(first, last - first);
}

double read_share(const char* variable, double fallback) {
  const char* raw = std::getenv(variable);
  if (raw == nullptr) return parse_dense_share(std::nullopt, fallback);
  return parse_dense_share(std::string_view(raw), fallback);
}

}  // namespace

double parse_dense_share(std::optional<std::string_view> value, double fallback) {
  if (!value) return fallback;
  const std::optional<std::string_view> trimmed = trim_utf8(*value);
  if (!trimmed) return fallback;
  double parsed = 0.0;
  if (!parse_decimal(*trimmed, parsed) || !std::isfinite(parsed) || parsed < 0.0) return fallback;
  return parsed == 0.0 ? 0.0 : parsed;  // -0 counts as zero
}

double rf_dense_share() {
  static const double SHARE = read_share("BRANTOVEIL_RF_DENSE_SHARE", kDefaultRfDenseShare);
  return SHARE;
}

double weighted_dense_share() {
  static const double SHARE =
      read_share("BRANTOVEIL_WEIGHTED_DENSE_SHARE", kDefaultWeightedDenseShare);
  return SHARE;
}

std::uint32_t dense_support_for_share(std::size_t n, double share) {
  double x = std::ceil(static_cast<double>(n) * share);
  if (!(x >= 0.0)) x = 0.0;
  if (x > 4294967295.0) x = 4294967295.0;
  const auto k = static_cast<std::uint32_t>(x);
  return k < 2 ? 2 : k;
}

std::uint32_t min_dense_support_rf(std::size_t n) {
  if (n < 256) return static_cast<std::uint32_t>(n < 2 ? n : 2);
  const std::uint32_t k = dense_support_for_share(n, rf_dense_share());
  return n < k ? static_cast<std::uint32_t>(n) : k;
}

std::uint32_t min_dense_support_weighted(std::size_t n) {
  return dense_support_for_share(n, weighted_dense_share());
}

}  // namespace brantoveil::distances
