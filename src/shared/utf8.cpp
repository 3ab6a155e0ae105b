// The one UTF-8 decoder: the reader's quoted names and the tuning values both need strict decoding.
#include "shared/utf8.h"

namespace brantoveil {

std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& code) {
  // Lead bytes fix the length; the ranges of the second byte exclude overlong forms, UTF-16
  // surrogates and code points past U+10FFFF.
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  const std::size_t left = text.size() - i;
  auto cont = [&](std::size_t k, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return k < left && byte(i + k) >= lo && byte(i + k) <= hi;
  };
  if (b0 < 0x80) {
    code = b0;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) {
    code = (b0 & 0x1Fu) << 6 | (byte(i + 1) & 0x3Fu);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;  // no UTF-16 surrogates
    if (cont(1, lo, hi) && cont(2)) {
      code = (b0 & 0x0Fu) << 12 | (byte(i + 1) & 0x3Fu) << 6 | (byte(i + 2) & 0x3Fu);
      return 3;
    }
    return 0;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (cont(1, lo, hi) && cont(2) && cont(3)) {
      code = (b0 & 0x07u) << 18 | (byte(i + 1) & 0x3Fu) << 12 | (byte(i + 2) & 0x3Fu) << 6 | (byte(i + 3) & 0x3Fu);
      return 4;
    }
  }
  return 0;
}

}  // namespace brantoveil
