// The AVX-512 step of the weighted dense passes (one call and tiles): rows against a panel of 8
// trees, whose column k is one vector, so that a register carries one lane of 8 cells.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <type_traits>

#include "distances/weighted.h"

namespace brantoveil::distances::panel_terms {

inline constexpr std::size_t kLanes = 8;

typedef double v8d __attribute__((vector_size(64)));

/// Adds to acc[i][l], for every column k < width with k mod 8 = l in ascending k, the term of row
/// i's value own[i][k * kStride] and the panel's column k: lane l of the row's 8 cells, summed as
/// the row-major passes sum it. The term takes the lower tree's value first, the row's when
/// kRowLow. Columns from the width up to the panel's depth are padding and are skipped: adding
/// +0.0 to a lane that is never -0.0 changes nothing.
template <class Metric, bool kRowLow, int Rows, std::size_t kStride>
[[gnu::always_inline]] __attribute__((target("avx512f"))) inline void add(const double* const (&own)[Rows],
                                                                          const double* panel, std::size_t width,
                                                                          v8d (&acc)[Rows][kLanes]) {
  constexpr bool kMinimum = std::is_same_v<Metric, WeightedRf>;
  const std::size_t whole = width - width % kLanes;
  for (std::size_t k = 0; k < width; k += kLanes) {
    const bool last = k == whole;  // the tail group, when the width is no multiple of 8
#pragma GCC unroll 8
    for (std::size_t l = 0; l < kLanes; ++l) {
      if (last && k + l >= width) break;
      v8d column = _mm512_load_pd(panel + (k + l) * kLanes);
      asm("" : "+v"(column));  // one load shared by the rows, not one folded into each term
#pragma GCC unroll 4
      for (int i = 0; i < Rows; ++i) {
        const v8d value = _mm512_set1_pd(own[i][(k + l) * kStride]);
        // DenseTerm's terms, spelt out: a call would pass 512-bit vectors outside this target.
        v8d term;
        if constexpr (kMinimum) {
          term = kRowLow ? (value < column ? value : column) : (column < value ? column : value);
        } else {
          term = kRowLow ? value * column : column * value;
        }
        acc[i][l] = acc[i][l] + term;
      }
    }
  }
}

}  // namespace brantoveil::distances::panel_terms
