// Dense-share parsing and the share-to-support rules.
#include "distances/boundary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace brantoveil::distances {
namespace {

constexpr double kFallback = 0.25;

TEST(ParseDenseShare, AcceptsFiniteNonNegativeNumbersOnly) {
  struct Case {
    const char* value;  // nullptr: variable unset
    double expected;
  };
  const Case cases[] = {
      {nullptr, kFallback},                  // unset
      {" 0.5 ", 0.5},                        // ASCII spaces around
      {"\t0.5\n\r\v\f", 0.5},                // ASCII control white space
      {"\xc2\xa0" "0.5\xe3\x80\x80", 0.5},   // NBSP and ideographic space
      {"\xe2\x80\x83" "0.5\xc2\x85", 0.5},   // em space and next-line
      {"1e-3", 0.001},                       // exponent
      {"1E2", 100.0},                        // capital exponent
      {"1.5e+1", 15.0},                      // signed exponent
      {"+1.5", 1.5},                         // plus sign
      {"1.", 1.0},                           // bare trailing point
      {".5", 0.5},                           // bare leading point
      {"007", 7.0},                          // leading zeros
      {"0", 0.0},                            // zero is a valid share
      {"-0", 0.0},                           // negative zero counts as zero
      {"-0.0e5", 0.0},                       // so does a spelled-out one
      {"2", 2.0},                            // no upper bound
      {"1e-400", 0.0},                       // underflows to zero
      {"-0.1", kFallback},                   // negative
      {"nan", kFallback},                    // NaN
      {"NaN", kFallback},
      {"inf", kFallback},                    // infinities
      {"-Infinity", kFallback},
      {"INFINITY", kFallback},
      {"1e400", kFallback},                  // overflows to infinity
      {"abc", kFallback},                    // not a number
      {"", kFallback},                       // empty
      {"   ", kFallback},                    // only white space
      {".", kFallback},                      // no digits
      {"1e", kFallback},                     // exponent without digits
      {"e5", kFallback},                     // exponent without mantissa
      {"0x10", kFallback},                   // no hexadecimal
      {"1_000", kFallback},                  // no separators
      {"1 0", kFallback},                    // inner space
      {"0.5%", kFallback},                   // trailing junk
      {"infinite", kFallback},               // only the two spellings
      {"\xff" "0.5", kFallback},             // invalid UTF-8 anywhere
      {"0.5\xc0\x80", kFallback},            // overlong encoding
      {"\xed\xa0\x80" "0.5", kFallback},     // encoded surrogate
      {"\xd9\xa3", kFallback},               // a non-ASCII digit
  };
  for (const Case& c : cases) {
    const std::optional<std::string_view> value =
        c.value == nullptr ? std::nullopt : std::optional<std::string_view>(c.value);
    const double got = parse_dense_share(value, kFallback);
    EXPECT_EQ(got, c.expected) << (c.value ? c.value : "(unset)");
    EXPECT_FALSE(std::signbit(got)) << (c.value ? c.value : "(unset)");
  }
}

TEST(DenseSupportForShare, CeilsClampsAndKeepsAtLeastTwo) {
  struct Case {
    std::size_t n;
    double share;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {256, 0.03, 8},     {1000, 0.03, 30},  {8, 0.25, 2},         {9, 0.25, 3},
      {10, 0.25, 3},      {100, 0.25, 25},   {1000, 0.25, 250},    {500, 0.0, 2},
      {0, 0.25, 2},       {300, 2.0, 600},   {10, 1e300, 4294967295u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dense_support_for_share(c.n, c.share), c.expected) << c.n << " " << c.share;
  }
}

TEST(MinDenseSupport, SmallRobinsonFouldsSetsAreAllDense) {
  EXPECT_EQ(min_dense_support_rf(0), 0u);
  EXPECT_EQ(min_dense_support_rf(1), 1u);
  for (const std::size_t n : {2, 3, 100, 255}) EXPECT_EQ(min_dense_support_rf(n), 2u) << n;
  // From 256 trees on the share decides, but never beyond n.
  for (const std::size_t n : {256, 1000, 5000}) {
    const std::uint32_t k = min_dense_support_rf(n);
    EXPECT_EQ(k, std::min<std::uint32_t>(dense_support_for_share(n, rf_dense_share()), n)) << n;
  }
}

TEST(DenseShare, IsReadOncePerProcess) {
  const double rf = rf_dense_share();
  const double weighted = weighted_dense_share();
  ::setenv("BRANTOVEIL_RF_DENSE_SHARE", rf == 0.77 ? "0.66" : "0.77", 1);
  ::setenv("BRANTOVEIL_WEIGHTED_DENSE_SHARE", weighted == 0.77 ? "0.66" : "0.77", 1);
  EXPECT_EQ(rf_dense_share(), rf);
  EXPECT_EQ(weighted_dense_share(), weighted);
  ::unsetenv("BRANTOVEIL_RF_DENSE_SHARE");
  ::unsetenv("BRANTOVEIL_WEIGHTED_DENSE_SHARE");
}

}  // namespace
}  // namespace brantoveil::distances
