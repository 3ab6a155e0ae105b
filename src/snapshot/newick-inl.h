// The Newick grammar walk shared by name mode and tree mode, inlined into both.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "shared/decimal.h"
#include "shared/result.h"
#include "snapshot/messages.h"
#include "snapshot/newick.h"

namespace brantoveil::snapshot::detail {

enum ByteClass : std::uint8_t {
  kLabelByte = 0,  // also 0x0B, NUL, the single quote and every byte from 0x80
  kSpaceByte,
  kOpenByte,
  kCloseByte,
  kCommaByte,
  kColonByte,
  kSemicolonByte,
  kCommentOpenByte,
  kCommentCloseByte,
  kQuoteByte,
};

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
  std::array<std::uint8_t, 256> classes{};
  for (unsigned char c : {'\t', '\n', '\f', '\r', ' '}) classes[c] = kSpaceByte;
  classes['('] = kOpenByte;
  classes[')'] = kCloseByte;
  classes[','] = kCommaByte;
  classes[':'] = kColonByte;
  classes[';'] = kSemicolonByte;
  classes['['] = kCommentOpenByte;
  classes[']'] = kCommentCloseByte;
  classes['"'] = kQuoteByte;
  return classes;
}

inline constexpr std::array<std::uint8_t, 256> kByteClasses = make_byte_classes();

inline std::uint8_t byte_class(char c) { return kByteClasses[static_cast<unsigned char>(c)]; }
inline bool is_delimiter(std::uint8_t cls) { return cls >= kOpenByte && cls <= kCommentCloseByte; }

/// The rest of a token after its plain prefix text[pos, stop): whitespace or quotes inside it.
std::string_view scan_token_slow(std::string_view text, std::size_t pos, std::size_t stop, std::size_t& end,
                                 std::string& scratch);

/// The cleaned token at `pos`; `end` receives where the scan stopped; `scratch` may back the value.
inline std::string_view scan_token(std::string_view text, std::size_t pos, std::size_t& end, std::string& scratch) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = pos;
  while (i < n && byte_class(s[i]) == kLabelByte) ++i;
  if (i == n || is_delimiter(byte_class(s[i]))) {
    end = i;
    return text.substr(pos, i - pos);
  }
  return scan_token_slow(text, pos, i, end, scratch);
}


/// The value of eight ASCII digits at `p`, or -1 when they are not all digits.
inline std::int64_t eight_digits(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);  // little-endian: the first digit is the lowest byte
  const std::uint64_t low = v - 0x3030303030303030ULL;
  const std::uint64_t high = v + 0x4646464646464646ULL;  // a byte above '9' carries into bit 7
  if ((low | high) & 0x8080808080808080ULL) return -1;
  std::uint64_t d = low;
  d = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFULL;    // two-digit lanes
  d = (d * 100 + (d >> 16)) & 0x0000FFFF0000FFFFULL;  // four-digit lanes
  d = (d * 10000 + (d >> 32)) & 0xFFFFFFFFULL;
  return static_cast<std::int64_t>(d);
}

/*
 * The common length, like 0.0123456789 or 3.083642e-02 followed by a delimiter, read straight
 * from the text. Accepts only decimals it can convert exactly (at most 19 digits, mantissa at most
 * 2^53, power of ten within 10^22: one IEEE multiply or divide rounds correctly); for anything else
 * it returns false and the caller takes the general path, which decides syntax and value.
 */
inline bool fast_length(const char* p, const char* end, double& value, const char*& stop) {
  bool negative = false;
  if (p != end && (*p == '-' || *p == '+')) {
    negative = *p == '-';
    ++p;
  }
  std::uint64_t mantissa = 0;
  int digits = 0;
  int fraction = 0;
  auto run = [&](bool in_fraction) {
    while (end - p >= 8) {
      const std::int64_t eight = eight_digits(p);
      if (eight < 0) break;
      mantissa = mantissa * 100000000 + static_cast<std::uint64_t>(eight);
      digits += 8;
      if (in_fraction) fraction += 8;
      p += 8;
      if (digits > 19) return;
    }
    while (p != end && *p >= '0' && *p <= '9') {
      mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
      ++digits;
      if (in_fraction) ++fraction;
      ++p;
      if (digits > 19) return;
    }
  };
  run(false);
  if (p != end && *p == '.') {
    ++p;
    run(true);
  }
  if (digits == 0 || digits > 19 || mantissa > (std::uint64_t{1} << 53)) return false;
  // MrBayes and BEAST write lengths as 3.083642e-02: a short exponent joins the fraction's scale.
  int power = -fraction;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool below = false;
    if (p != end && (*p == '-' || *p == '+')) {
      below = *p == '-';
      ++p;
    }
    int exponent = 0;
    int exponent_digits = 0;
    for (; p != end && *p >= '0' && *p <= '9' && exponent_digits < 4; ++p, ++exponent_digits) {
      exponent = exponent * 10 + (*p - '0');
    }
    if (exponent_digits == 0) return false;
    power += below ? -exponent : exponent;
  }
  if (power < -22 || power > 22) return false;
  if (p != end && !is_delimiter(byte_class(*p))) return false;  // spaces, junk, long exponents: general path
  const auto exact = static_cast<double>(mantissa);
  const double magnitude = power < 0 ? exact / kExactPow10[-power] : exact * kExactPow10[power];
  value = negative ? -magnitude : magnitude;
  stop = p;
  return true;
}

/// How a mode's leaf handler answers a resolved taxon name.
enum class LeafVerdict { kAccepted, kUnknown, kRepeated };

/*
 * One forward pass, no recursion: nesting is tracked by a depth count here and by the
 * handler's own group stack. The handler sees open, leaf, set_length, attach and close events;
 * "current" is whether a finished node waits to be attached. The walk does not check that
 * leaf names are distinct (the handler does) nor read anything after the first ';'.
 */
template <class Handler>
Status walk(std::string_view text, const TranslateMap& translate, std::uint64_t tree, Handler& handler,
            const std::uint32_t* leaf_of_entry = nullptr) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t pos = 0;
  std::size_t depth = 0;
  bool current = false;
  std::string scratch;
  const bool translating = !translate.empty();
  // An error names the byte of the text where its fault was found: the stray delimiter, the one
  // after an empty leaf, the first byte of a bad length or of a repeated or unknown label, the
  // '[' of an unclosed comment, the ';' of an unfinished tree, or the end of a text without ';'.
  auto syntax = [tree](std::size_t at, std::string_view reason) {
    return messages::newick_syntax(tree, at, reason);
  };
  auto unnamed = [tree](std::size_t at) {
    return messages::tree_error(ErrorKind::tree, tree, messages::kUnnamedLeaf, at);
  };
  auto skip_comment = [&](std::size_t open) -> std::size_t {
    const void* close = open + 1 < n ? std::memchr(s + open + 1, ']', n - open - 1) : nullptr;
    return close == nullptr ? n + 1 : static_cast<std::size_t>(static_cast<const char*>(close) - s) + 1;
  };

  while (pos < n) {
    switch (byte_class(s[pos])) {
      case kSpaceByte:
      case kCommentCloseByte:  // a stray ']' is ignored
        ++pos;
        break;
      case kCommentOpenByte: {
        const std::size_t open = pos;
        pos = skip_comment(pos);
        if (pos > n) return syntax(open, messages::kUnclosedComment);
        break;
      }
      case kOpenByte:
        if (current) return syntax(pos, messages::kParenAfterSubtree);
        handler.open();
        ++depth;
        ++pos;
        break;
      case kCommaByte:
      case kCloseByte:
        if (depth == 0) return syntax(pos, messages::outside_subtree(s[pos]));
        if (!current) return unnamed(pos);
        handler.attach();
        if (s[pos] == ')') {
          handler.close();
          --depth;
        } else {
          current = false;
        }
        ++pos;
        break;
      case kColonByte: {
        if (!current) return unnamed(pos);
        ++pos;
        while (pos < n) {
          const std::uint8_t cls = byte_class(s[pos]);
          if (cls == kSpaceByte) {
            ++pos;
          } else if (cls == kCommentOpenByte) {
            const std::size_t open = pos;
            pos = skip_comment(pos);
            if (pos > n) return syntax(open, messages::kUnclosedComment);
          } else {
            break;
          }
        }
        double fast;
        const char* stop;
        if (pos < n && fast_length(s + pos, s + n, fast, stop)) {
          handler.set_length(fast);
          pos = static_cast<std::size_t>(stop - s);
          break;
        }
        std::size_t end = pos;
        const std::string_view value = pos < n ? scan_token(text, pos, end, scratch) : std::string_view{};
        if (!value.empty()) {
          double length;
          if (!parse_decimal(value, length)) return syntax(pos, messages::invalid_length(value));
          handler.set_length(length);
        }
        pos = end;
        break;
      }
      case kSemicolonByte:
        if (depth != 0) return syntax(pos, messages::kUnclosedParen);
        if (!current) return syntax(pos, messages::kEmptyTree);
        return success();
      default: {  // a label byte or a double quote
        std::size_t end = pos;
        const std::string_view label = scan_token(text, pos, end, scratch);
        if (!current) {
          std::string_view name = label;
          constexpr bool kByIndex = requires { handler.leaf_at(std::uint32_t{0}); };
          std::uint32_t leaf = StringIndex::kAbsent;
          const bool composed = kByIndex && translating && leaf_of_entry != nullptr;
          if (composed) {
            // The map composed with the leaf index: one lookup from label to leaf.
            const std::uint32_t entry = translate.entry_of(label);
            if (entry == StringIndex::kAbsent) return unnamed(pos);
            name = translate.taxon_at(entry);
            leaf = leaf_of_entry[entry];
          } else if (translating) {
            const std::string* taxon = translate.find(label);
            if (taxon == nullptr) return unnamed(pos);
            name = *taxon;
          }
          LeafVerdict verdict;
          if constexpr (kByIndex) {
            verdict = composed ? handler.leaf_at(leaf) : handler.leaf(name);
          } else {
            verdict = handler.leaf(name);
          }
          switch (verdict) {
            case LeafVerdict::kAccepted:
              break;
            case LeafVerdict::kUnknown:
              // Like a missing leaf: the sets differ as a whole, so no one place is blamed.
              return messages::tree_error(ErrorKind::leaf_set, tree, messages::kDifferentLeafSet);
            case LeafVerdict::kRepeated:
              return messages::tree_error(ErrorKind::tree, tree, messages::repeated_leaf(name), pos);
          }
          current = true;
        }
        // Otherwise a label after a finished node: inner-node name or support value, ignored.
        pos = end;
      }
    }
  }
  return syntax(n, messages::kNoSemicolon);
}

}  // namespace brantoveil::snapshot::detail
