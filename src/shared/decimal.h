// Decimal numbers as branch lengths and tuning values are written: sign, digits, point, exponent,
// and the words inf, infinity and nan.
#pragma once

#include <string_view>

namespace brantoveil {

/// Powers of ten that doubles hold exactly: a short mantissa times or over one of them rounds once.
inline constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

/// Parses the whole of `text` as a decimal number, rounding to the nearest double (out-of-range
/// magnitudes become infinity or zero); false, with `value` unchanged, when it is not one.
bool parse_decimal(std::string_view text, double& value);

}  // namespace brantoveil
