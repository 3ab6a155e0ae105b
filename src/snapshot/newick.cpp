// Newick reader: translate maps, the tokenizer, branch-length numbers and name-mode collection.
#include "snapshot/newick.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "snapshot/messages.h"
#include "snapshot/newick-inl.h"

namespace brantoveil::snapshot {

// ---- Translate map ----------------------------------------------------------------------
// The index views the strings in labels_; a short string's bytes live inside the std::string
// object, so whenever the vector reallocates the index is rebuilt over the new addresses.

void TranslateMap::reserve(std::size_t entries) {
  if (entries <= labels_.capacity()) return;
  labels_.reserve(entries);
  taxa_.reserve(entries);
  index_ = StringIndex(entries);
  rebuild_index();
}

void TranslateMap::insert(std::string label, std::string taxon) {
  const std::uint32_t existing = index_.find(label);
  if (existing != StringIndex::kAbsent) {
    taxa_[existing] = std::move(taxon);
    return;
  }
  const bool moves = labels_.size() == labels_.capacity();
  labels_.push_back(std::move(label));
  taxa_.push_back(std::move(taxon));
  if (moves) {
    index_ = StringIndex(labels_.capacity());
    rebuild_index();
  } else {
    index_.insert(labels_.back(), static_cast<std::uint32_t>(labels_.size() - 1));
  }
}

void TranslateMap::rebuild_index() {
  for (std::size_t i = 0; i < labels_.size(); ++i) index_.insert(labels_[i], static_cast<std::uint32_t>(i));
}

// ---- Tokenizer ---------------------------------------------------------------------------

namespace detail {

std::string_view scan_token_slow(std::string_view text, std::size_t pos, std::size_t stop, std::size_t& end,
                                 std::string& scratch) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = stop;
  std::size_t kept_end = stop;  // one past the last byte that stays in the value
  bool removed = false;  // whitespace dropped since the last kept byte
  bool gap = false;  // some removed whitespace lies before a kept byte: the value needs a copy
  while (i < n) {
    const std::uint8_t cls = byte_class(s[i]);
    if (cls == kSpaceByte) {
      removed = true;
      ++i;
      continue;
    }
    if (is_delimiter(cls)) break;
    gap = gap || removed;
    if (cls == kQuoteByte) {
      // Delimiters and whitespace inside the run are ordinary; an unclosed run takes the rest.
      const void* close = i + 1 < n ? std::memchr(s + i + 1, '"', n - i - 1) : nullptr;
      i = close == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(close) - s) + 1;
    } else {
      ++i;
    }
    kept_end = i;
  }
  end = i;
  if (!gap) return text.substr(pos, kept_end - pos);

  scratch.clear();
  bool quoted = false;
  for (std::size_t k = pos; k < kept_end; ++k) {
    const char c = s[k];
    if (c == '"') quoted = !quoted;
    if (!quoted && byte_class(c) == kSpaceByte) continue;
    scratch += c;
  }
  return scratch;
}

// ---- Branch lengths ----------------------------------------------------------------------

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

}  // namespace

/*
 * The syntax is checked here, byte by byte, so std::from_chars never sees anything it would
 * read differently. Short decimals (at most 19 significant digits, value below 2^53, power of
 * ten within 10^22) are converted with one exact multiply or divide, which rounds correctly;
 * the rest goes to std::from_chars.
 */
bool parse_length(std::string_view token, double& value) {
  const char* p = token.data();
  const char* const e = p + token.size();
  bool negative = false;
  if (p != e && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p == e) return false;
  if (!is_digit(*p) && *p != '.') {
    const std::string_view word(p, static_cast<std::size_t>(e - p));
    double magnitude;
    if (equals_lower(word, "inf") || equals_lower(word, "infinity")) {
      magnitude = std::numeric_limits<double>::infinity();
    } else if (equals_lower(word, "nan")) {
      magnitude = std::numeric_limits<double>::quiet_NaN();
    } else {
      return false;
    }
    value = negative ? -magnitude : magnitude;
    return true;
  }

  std::uint64_t mantissa = 0;
  int significant = 0;
  bool too_long = false;
  long long scale = 0;  // value = mantissa * 10^(scale + exponent), up to dropped digits
  bool any_digit = false;
  for (; p != e && is_digit(*p); ++p) {
    any_digit = true;
    const int digit = *p - '0';
    if (mantissa == 0 && digit == 0) continue;
    if (significant < 19) {
      mantissa = mantissa * 10 + static_cast<unsigned>(digit);
      ++significant;
    } else {
      too_long = true;
      ++scale;
    }
  }
  if (p != e && *p == '.') {
    for (++p; p != e && is_digit(*p); ++p) {
      any_digit = true;
      const int digit = *p - '0';
      if (mantissa == 0 && digit == 0) {
        --scale;
      } else if (significant < 19) {
        mantissa = mantissa * 10 + static_cast<unsigned>(digit);
        ++significant;
        --scale;
      } else {
        too_long = true;
      }
    }
  }
  if (!any_digit) return false;
  long long exponent = 0;
  if (p != e && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != e && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    if (p == e || !is_digit(*p)) return false;
    for (; p != e && is_digit(*p); ++p) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');  // saturates far out of range
    }
    if (exponent_negative) exponent = -exponent;
  }
  if (p != e) return false;

  if (mantissa == 0) {
    value = negative ? -0.0 : 0.0;
    return true;
  }
  const long long power = scale + exponent;
  if (!too_long && mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
    const double m = static_cast<double>(mantissa);
    const double magnitude = power < 0 ? m / kExactPow10[-power] : m * kExactPow10[power];
    value = negative ? -magnitude : magnitude;
    return true;
  }
  const char* first = token.data() + (token.front() == '+' ? 1 : 0);
  double parsed = 0;
  const auto result = std::from_chars(first, e, parsed, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // Far beyond the double range on one side or the other: the leading digit's decade says which.
    const bool overflow = significant + power > 0;
    const double magnitude = overflow ? std::numeric_limits<double>::infinity() : 0.0;
    value = negative ? -magnitude : magnitude;
    return true;
  }
  if (result.ec != std::errc{} || result.ptr != e) return false;
  value = parsed;
  return true;
}

}  // namespace detail

Token token(std::string_view text, std::size_t pos) {
  Token result;
  if (pos >= text.size()) {
    result.end = text.size();
    return result;
  }
  std::size_t end = pos;
  const std::string_view value = detail::scan_token(text, pos, end, result.owned);
  result.end = end;
  result.value = value.data() == result.owned.data() ? std::string_view(result.owned) : value;
  return result;
}

// ---- Name mode ---------------------------------------------------------------------------

namespace {

// Name mode keeps no group records: only the names matter.
struct NameCollector {
  std::vector<std::string>& names;

  void open() {}
  detail::LeafVerdict leaf(std::string_view name) {
    names.emplace_back(name);
    return detail::LeafVerdict::kAccepted;
  }
  void set_length(double) {}
  void attach() {}
  void close() {}
};

}  // namespace

Result<std::vector<std::string>> leaf_names(std::string_view text, const TranslateMap& translate) {
  std::vector<std::string> names;
  NameCollector collector{names};
  Status status = detail::walk(text, translate, 0, collector);
  if (!status) return std::move(status).take_error();
  return names;
}

Status prepare_leaf_set(std::vector<std::string>& names) {
  std::sort(names.begin(), names.end());
  if (std::adjacent_find(names.begin(), names.end()) != names.end()) {
    return Error{std::string(messages::kDuplicateLeafNames)};
  }
  return success();
}

}  // namespace brantoveil::snapshot
