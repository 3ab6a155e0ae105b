// The panels of the weighted dense passes (one call and tiles): rows against a panel of 8 trees,
// whose column k is one AVX-512 vector (two AVX2 or four NEON ones), so that a register carries one
// lane of 8 cells (or of 4 or 2 of them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "distances/isa.h"
#include "distances/weighted.h"
#include "pool/pool.h"
#include "shared/buffer.h"

#if BRANTOVEIL_X86_64
#include <immintrin.h>
#endif

namespace brantoveil::distances::panel_terms {

inline constexpr std::size_t kLanes = 8;

typedef double v8d __attribute__((vector_size(64)));

/// Dense rows as panels of 8 trees for the vector passes: value k of tree 8p + t sits at
/// [8k + t] of panel p, whose depth is the width rounded up to 8 with zero columns. One load
/// then holds column k of 8 trees, so a register carries one lane of 8 cells and the finish
/// adds lanes across registers instead of transposing them.
class DensePanels {
 public:
  DensePanels(std::size_t n, std::size_t width)
      : width_(width), depth_((width + kLanes - 1) / kLanes * kLanes),
        // Zero from calloc: the padding columns and the missing trees of a last, short panel.
        storage_((n + kLanes - 1) / kLanes * depth_ * kLanes + kLanes) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
    base_ = storage_.data() + (64 - address % 64) % 64 / sizeof(double);
  }

  /// Copies the rows of trees [first, end), row(k) being tree first + k's; `first` is a multiple of 8.
  template <class Row>
  void take(std::size_t first, std::size_t end, const Row& row) {
    pool::parallel_for((end - first + kLanes - 1) / kLanes, [&](std::size_t q) {
      double* panel = base_ + (first / kLanes + q) * depth_ * kLanes;
      for (std::size_t t = 0; t < kLanes && first + kLanes * q + t < end; ++t) {
        const double* values = row(kLanes * q + t);
        for (std::size_t k = 0; k < width_; ++k) panel[kLanes * k + t] = values[k];
      }
    });
  }

  std::size_t width() const { return width_; }
  const double* panel(std::size_t p) const { return base_ + p * depth_ * kLanes; }

 private:
  std::size_t width_;
  std::size_t depth_;
  Buffer<double> storage_;
  double* base_ = nullptr;  // 64-byte aligned
};

/// Adds to acc[i][l], for every column k < width with k mod 8 = l in ascending k, the term of row
/// i's value own[i][k * kStride] and the panel's column k: lane l of the row's 8 cells, summed as
/// the row-major passes sum it. The term takes the lower tree's value first, the row's when
/// kRowLow. Columns from the width up to the panel's depth are padding and are skipped: adding
/// +0.0 to a lane that is never -0.0 changes nothing.
#if BRANTOVEIL_X86_64
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
#endif

/// `add` with narrower vectors V (AVX2's 4 doubles, NEON's 2) for lane `lane` alone: acc[i][q]
/// receives, for every column k < width with k mod 8 = lane in ascending k, the term of row i's
/// value own[i][k * kLanes] and doubles [q * kWidth, (q + 1) * kWidth) of the
/// panel's column k. One lane a call keeps the accumulators of several rows within the register
/// file, so each column loaded serves them all; the 8 calls together give each cell's lanes
/// exactly as `add` does. The term takes the row's value first when kRowLow, else the panel's.
template <class Metric, class V, int Rows, bool kRowLow = true>
[[gnu::always_inline]] inline void add_lane(const double* const (&own)[Rows], const double* panel, std::size_t width,
                                            std::size_t lane,
                                            V (&acc)[Rows][kLanes * sizeof(double) / sizeof(V)]) {
  constexpr bool kMinimum = std::is_same_v<Metric, WeightedRf>;
  constexpr std::size_t kWidth = sizeof(V) / sizeof(double);
  constexpr std::size_t kParts = kLanes / kWidth;
  static_assert(kWidth == 2 || kWidth == 4);
  for (std::size_t k = lane; k < width; k += kLanes) {
    V part[kParts];
#pragma GCC unroll 4
    for (std::size_t q = 0; q < kParts; ++q) __builtin_memcpy(&part[q], panel + k * kLanes + q * kWidth, sizeof(V));
#pragma GCC unroll 4
    for (int i = 0; i < Rows; ++i) {
      const double scalar = own[i][k * kLanes];
      V value;
      if constexpr (kWidth == 4) {
        value = V{scalar, scalar, scalar, scalar};
      } else {
        value = V{scalar, scalar};
      }
#pragma GCC unroll 4
      for (std::size_t q = 0; q < kParts; ++q) {
        V term;
        if constexpr (kMinimum) {
          term = kRowLow ? (value < part[q] ? value : part[q]) : (part[q] < value ? part[q] : value);
        } else {
          term = kRowLow ? value * part[q] : part[q] * value;
        }
        acc[i][q] = acc[i][q] + term;
      }
    }
  }
}

}  // namespace brantoveil::distances::panel_terms
