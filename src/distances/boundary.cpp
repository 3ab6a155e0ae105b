// Parsing of the dense-share environment values and the rules that turn a share into a support.
#include "distances/boundary.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "snapshot/decimal.h"

namespace brantoveil::distances {

namespace {

// Decodes one UTF-8 code point at `pos`; returns false on any malformed, overlong or surrogate
// sequence, since a value that is not valid Unicode falls back to the default as a whole.
bool decode_utf8(std::string_view text, std::size_t pos, char32_t& point, std::size_t& len) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  char32_t min;
  if (lead < 0x80) {
    point = lead;
    len = 1;
    return true;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    point = lead & 0x1F;
    len = 2;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    point = lead & 0x0F;
    len = 3;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    point = lead & 0x07;
    len = 4;
    min = 0x10000;
  } else {
    return false;
  }
  if (pos + len > text.size()) return false;
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) return false;
    point = (point << 6) | (next & 0x3F);
  }
  if (point < min || point > 0x10FFFF) return false;
  if (point >= 0xD800 && point <= 0xDFFF) return false;
  return true;
}

// Code points with the Unicode White_Space property.
bool is_white_space(char32_t c) {
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

// Validates the whole value as UTF-8 and strips white space at both ends; nullopt if not UTF-8.
std::optional<std::string_view> trim_utf8(std::string_view text) {
  std::size_t first = text.size();  // first non-space byte
  std::size_t last = 0;             // one past the last non-space code point
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t point;
    std::size_t len;
    if (!decode_utf8(text, pos, point, len)) return std::nullopt;
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
  if (!snapshot::parse_decimal(*trimmed, parsed) || !std::isfinite(parsed) || parsed < 0.0) return fallback;
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
