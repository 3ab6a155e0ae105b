// Strict UTF-8 decoding of one code point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brantoveil {

/// Length of the well-formed UTF-8 sequence at text[i] (0 when malformed, overlong, a surrogate or
/// past U+10FFFF) and its code point; `i` must be inside `text`.
std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& code);

}  // namespace brantoveil
