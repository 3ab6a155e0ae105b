// Robinson-Foulds kernel: shared rare splits counted into the cells, frequent ones by popcount;
// the one-call matrix through repeated split sets first.
#include "distances/rf.h"

#include <algorithm>
#include <numeric>

#include "distances/boundary.h"
#include "distances/drivers.h"
#include "distances/isa.h"
#include "distances/kernels.h"
#include "distances/matrix.h"
#include "distances/repeats.h"

#if BRANTOVEIL_X86_64
#include <immintrin.h>
#endif
#if BRANTOVEIL_NEON
#include <arm_neon.h>
#endif

namespace brantoveil::distances {

namespace {

using Range = std::pair<std::size_t, std::size_t>;

// The finish runs kRfTileRows rows at a time against the columns, the tile's rows held transposed,
// word w of all rows side by side. With the scalar popcount (or none) each word of a column tree
// is loaded once and ANDed with every row of the tile. Only words inside some row's non-zero span and the
// column's can be non-zero. The one call computes whole rows where a pair costs less than the
// mirror's share of it (see rf_whole_rows), else the cells right of the diagonal and the mirror.
constexpr std::size_t kTileRows = kRfTileRows;

// The words [lo, hi) where some row of the tile r0..r0+count-1 is non-zero, copied into `own`
// side by side (word w of row i at w * kTileRows + i, missing rows zero); returns lo and hi.
[[gnu::always_inline]] inline Range tile_words(const RfSide& rows, std::size_t r0, std::size_t count,
                                               std::uint64_t* own) {
  std::size_t lo = rows.width;
  std::size_t hi = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto span = rows.spans[r0 + i];
    if (span.first >= span.second) continue;
    lo = std::min<std::size_t>(lo, span.first);
    hi = std::max<std::size_t>(hi, span.second);
  }
  for (std::size_t w = lo; w < hi; ++w) {
    for (std::size_t i = 0; i < kTileRows; ++i) own[w * kTileRows + i] = i < count ? rows.row(r0 + i)[w] : 0;
  }
  return {lo, hi};
}

[[gnu::always_inline]] inline void finish_rf_tile(const RfSide& rows, const RfSide& cols, std::size_t r0,
                                                  std::size_t count, std::size_t c0, std::size_t c1,
                                                  std::uint32_t* cells, std::size_t stride) {
  std::vector<std::uint64_t> own_words(std::max<std::size_t>(rows.width, 1) * kTileRows);
  std::uint64_t* own = own_words.data();
  const auto [lo, hi] = tile_words(rows, r0, count, own);
  for (std::size_t j = c0; j < c1; ++j) {
    std::uint64_t shared[kTileRows] = {};
    const std::size_t w_lo = std::max<std::size_t>(lo, cols.spans[j].first);
    const std::size_t w_hi = std::min<std::size_t>(hi, cols.spans[j].second);
    const std::uint64_t* other = cols.row(j);
    for (std::size_t w = w_lo; w < w_hi; ++w) {
      const std::uint64_t b = other[w];
      const std::uint64_t* a = own + w * kTileRows;
      for (std::size_t i = 0; i < kTileRows; ++i) shared[i] += static_cast<std::uint64_t>(__builtin_popcountll(a[i] & b));
    }
    const std::uint32_t k_j = cols.totals[j];
    const std::uint64_t tree_j = cols.trees[j];
    for (std::size_t i = 0; i < count; ++i) {
      std::uint32_t& cell = cells[i * stride + (j - c0)];
      const std::uint32_t value = rows.totals[r0 + i] + k_j - 2 * (static_cast<std::uint32_t>(shared[i]) + cell);
      cell = rows.trees[r0 + i] == tree_j ? 0 : value;
    }
  }
}

// With the scalar popcount instruction, and without it for CPUs that lack it. Chosen at run time
// rather than by an ifunc, whose resolver would run before sanitizer runtimes.
#if BRANTOVEIL_X86_64
__attribute__((target("popcnt"))) void finish_rf_tile_popcnt(const RfSide& rows, const RfSide& cols, std::size_t r0,
                                                             std::size_t count, std::size_t c0, std::size_t c1,
                                                             std::uint32_t* cells, std::size_t stride) {
  finish_rf_tile(rows, cols, r0, count, c0, c1, cells, stride);
}
#endif

// Without a popcount instruction each count is a library call, so the plain finish takes cell by
// cell only the words both trees' spans share (tiles of mcmc50 at 8,000: 0.21 s against 0.28 s for
// the transposed tile).
void finish_rf_cells_plain(const RfSide& rows, const RfSide& cols, std::size_t r0, std::size_t count, std::size_t c0,
                           std::size_t c1, std::uint32_t* cells, std::size_t stride) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t r = r0 + i;
    const std::uint64_t* own = rows.row(r);
    const auto own_span = rows.spans[r];
    std::uint32_t* row_cells = cells + i * stride;
    for (std::size_t c = c0; c < c1; ++c) {
      std::uint32_t& cell = row_cells[c - c0];
      if (cols.trees[c] == rows.trees[r]) {
        cell = 0;
        continue;
      }
      const std::size_t lo = std::max(own_span.first, cols.spans[c].first);
      const std::size_t hi = std::min(own_span.second, cols.spans[c].second);
      const std::uint64_t* other = cols.row(c);
      std::uint32_t shared = 0;
      for (std::size_t w = lo; w < hi; ++w) shared += static_cast<std::uint32_t>(__builtin_popcountll(own[w] & other[w]));
      cell = rows.totals[r] + cols.totals[c] - 2 * (shared + cell);
    }
  }
}

// With a vector popcount (AVX-512's; AVX2 and NEON below) the tile runs the other way round: eight
// column trees side by side against each row, from the column side's words stored column by column, so each row's
// eight cells are finished with a few vector operations and one contiguous store instead of one
// scalar cell per row and tree (the 123-taxon posterior: 0.26-0.28 s down to 0.21-0.23 s for the
// whole call).
constexpr std::size_t kColumnLanes = 8;

#if BRANTOVEIL_X86_64
__attribute__((target("avx512f,avx512vl,avx512vpopcntdq,avx2")))
void finish_rf_rows_avx512(const RfSide& rows, const RfSide& cols, std::size_t r0, std::size_t count, std::size_t c0,
                           std::size_t c1, std::uint32_t* cells, std::size_t stride) {
  std::vector<std::uint64_t> own_words(std::max<std::size_t>(rows.width, 1) * kTileRows);
  std::uint64_t* own = own_words.data();
  const auto [lo, hi] = tile_words(rows, r0, count, own);
  const auto row_count = static_cast<int>(count);
  const std::uint64_t* column_words = cols.column_words.data();
  // The trees of the tile's rows: a column group outside them holds none of them.
  const auto [row_low, row_high] = std::minmax_element(rows.trees.begin() + r0, rows.trees.begin() + r0 + count);
  for (std::size_t j0 = c0; j0 < c1; j0 += kColumnLanes) {
    const std::size_t live_count = std::min(kColumnLanes, c1 - j0);
    const auto live = static_cast<__mmask8>(live_count == kColumnLanes ? 0xFF : (1u << live_count) - 1);
    const auto [col_low, col_high] = cols.trees_within(j0, live_count);
    const bool may_meet = col_low <= *row_high && *row_low <= col_high;
    __m512i shared[kTileRows];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < kTileRows; ++i) shared[i] = _mm512_setzero_si512();
    for (std::size_t w = lo; w < hi; ++w) {
      // Whole loads: the words are padded past the last group; lanes outside `live` are never stored.
      const __m512i b = _mm512_loadu_si512(column_words + w * cols.column_stride + j0);
      const std::uint64_t* a = own + w * kTileRows;
#pragma GCC unroll 16
      for (std::size_t i = 0; i < kTileRows; ++i) {
        const __m512i both = _mm512_and_si512(b, _mm512_set1_epi64(static_cast<long long>(a[i])));
        shared[i] = _mm512_add_epi64(shared[i], _mm512_popcnt_epi64(both));
      }
    }
    const __m256i k_j = _mm256_maskz_loadu_epi32(live, cols.totals.data() + j0);
#pragma GCC unroll 16
    for (int i = 0; i < static_cast<int>(kTileRows); ++i) {
      if (i >= row_count) break;
      const std::size_t r = r0 + static_cast<std::size_t>(i);
      std::uint32_t* at = cells + static_cast<std::size_t>(i) * stride + (j0 - c0);
      const __m256i rare = _mm256_maskz_loadu_epi32(live, at);
      const __m256i both = _mm256_add_epi32(_mm512_maskz_cvtepi64_epi32(0xFF, shared[i]), rare);
      __m256i value = _mm256_sub_epi32(_mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(rows.totals[r])), k_j),
                                       _mm256_slli_epi32(both, 1));
      if (may_meet) {
        // A tree against itself, if it is among these columns.
        const __m512i trees_j = _mm512_maskz_loadu_epi64(live, cols.trees.data() + j0);
        const __mmask8 self =
            _mm512_mask_cmpeq_epi64_mask(live, trees_j, _mm512_set1_epi64(static_cast<long long>(rows.trees[r])));
        value = _mm256_mask_mov_epi32(value, self, _mm256_setzero_si256());
      }
      _mm256_mask_storeu_epi32(at, live, value);
    }
  }
}
#endif

// A tree against itself among columns [j0, j0 + live) of a finished row: its cell is 0. Called
// only where the column group's trees can hold the row's.
[[gnu::always_inline]] inline void clear_self(const RfSide& cols, std::uint64_t tree, std::size_t j0, std::size_t live,
                                              std::uint32_t* at) {
  for (std::size_t t = 0; t < live; ++t) {
    if (cols.trees[j0 + t] == tree) at[t] = 0;
  }
}

// The same column-lane finish without a vector popcount instruction: AVX2 counts the bits of each
// byte by looking both nibbles up in a 16-entry table (vpshufb) and adds the bytes of each word
// (vpsadbw); NEON has a byte popcount (vcnt) and pairwise widening adds. Eight trees are two
// 256-bit or four 128-bit vectors, and four rows share each load of them so the byte counters
// stay in registers. A byte counter gains at most 8 a word, so the counters are widened every
// kByteRun words, before they can overflow.
constexpr std::size_t kByteRun = 31;
constexpr std::size_t kRowGroup = 4;

#if BRANTOVEIL_X86_64
// The row words' nibbles are split once a tile: word w of row i becomes its low nibbles (a &
// 0x0F..) and its high nibbles shifted down (a >> 4 & 0x0F..), so that ANDing either with the
// trees' words (their high nibbles shifted down once a word) gives table indices directly.
__attribute__((target("avx2")))
void finish_rf_rows_avx2(const RfSide& rows, const RfSide& cols, std::size_t r0, std::size_t count, std::size_t c0,
                         std::size_t c1, std::uint32_t* cells, std::size_t stride) {
  std::vector<std::uint64_t> own_words(std::max<std::size_t>(rows.width, 1) * kTileRows);
  std::uint64_t* own = own_words.data();
  const auto [lo, hi] = tile_words(rows, r0, count, own);
  constexpr std::uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0FULL;
  std::vector<std::uint64_t> own_low(hi > lo ? (hi - lo) * kTileRows : 0);
  std::vector<std::uint64_t> own_high(own_low.size());
  for (std::size_t k = 0; k < own_low.size(); ++k) {
    own_low[k] = own[lo * kTileRows + k] & kLowNibbles;
    own_high[k] = own[lo * kTileRows + k] >> 4 & kLowNibbles;
  }
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  // Word counts of trees 0-3 and 4-7 to eight 32-bit lanes in tree order (each count < 2^32).
  const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const auto [row_low, row_high] = std::minmax_element(rows.trees.begin() + r0, rows.trees.begin() + r0 + count);
  for (std::size_t j0 = c0; j0 < c1; j0 += kColumnLanes) {
    const std::size_t live_count = std::min(kColumnLanes, c1 - j0);
    const bool whole = live_count == kColumnLanes;
    const auto [col_low, col_high] = cols.trees_within(j0, live_count);
    const bool may_meet = col_low <= *row_high && *row_low <= col_high;
    const __m256i live = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(live_count)), lane_index);
    const __m256i k_j = _mm256_maskload_epi32(reinterpret_cast<const int*>(cols.totals.data() + j0), live);
    // Whole loads: the words are padded past the last group; lanes outside `live` are never stored.
    const std::uint64_t* column = cols.column_words.data() + j0;
    for (std::size_t g = 0; g < count; g += kRowGroup) {
      __m256i shared[kRowGroup][2];
      for (auto& row : shared) row[0] = row[1] = _mm256_setzero_si256();
      for (std::size_t w0 = lo; w0 < hi; w0 += kByteRun) {
        __m256i bytes[kRowGroup][2];
        for (auto& row : bytes) row[0] = row[1] = _mm256_setzero_si256();
        for (std::size_t w = w0; w < std::min(hi, w0 + kByteRun); ++w) {
          __m256i b[2], b_high[2];
          for (int h = 0; h < 2; ++h) {
            b[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column + w * cols.column_stride + 4 * h));
            b_high[h] = _mm256_srli_epi16(b[h], 4);
          }
          const std::size_t at = (w - lo) * kTileRows + g;
#pragma GCC unroll 4
          for (std::size_t i = 0; i < kRowGroup; ++i) {
            const __m256i a_low = _mm256_set1_epi64x(static_cast<long long>(own_low[at + i]));
            const __m256i a_high = _mm256_set1_epi64x(static_cast<long long>(own_high[at + i]));
            for (int h = 0; h < 2; ++h) {
              bytes[i][h] = _mm256_add_epi8(bytes[i][h], _mm256_shuffle_epi8(table, _mm256_and_si256(b[h], a_low)));
              bytes[i][h] = _mm256_add_epi8(bytes[i][h], _mm256_shuffle_epi8(table, _mm256_and_si256(b_high[h], a_high)));
            }
          }
        }
#pragma GCC unroll 4
        for (std::size_t i = 0; i < kRowGroup; ++i) {
          for (int h = 0; h < 2; ++h) {
            shared[i][h] = _mm256_add_epi64(shared[i][h], _mm256_sad_epu8(bytes[i][h], _mm256_setzero_si256()));
          }
        }
      }
      for (std::size_t i = 0; i < std::min(kRowGroup, count - g); ++i) {
        const std::size_t r = r0 + g + i;
        const __m256i first = _mm256_permutevar8x32_epi32(shared[i][0], low_halves);
        const __m256i second = _mm256_permutevar8x32_epi32(shared[i][1], low_halves);
        const __m256i dense = _mm256_blend_epi32(first, second, 0xF0);
        std::uint32_t* row_at = cells + (g + i) * stride + (j0 - c0);
        int* at = reinterpret_cast<int*>(row_at);
        auto* at_vector = reinterpret_cast<__m256i*>(at);
        const __m256i rare = whole ? _mm256_loadu_si256(at_vector) : _mm256_maskload_epi32(at, live);
        const __m256i both = _mm256_add_epi32(dense, rare);
        const __m256i value = _mm256_sub_epi32(
            _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(rows.totals[r])), k_j), _mm256_slli_epi32(both, 1));
        if (whole) {
          _mm256_storeu_si256(at_vector, value);
        } else {
          _mm256_maskstore_epi32(at, live, value);
        }
        if (may_meet) clear_self(cols, rows.trees[r], j0, live_count, row_at);
      }
    }
  }
}
#endif

#if BRANTOVEIL_NEON
void finish_rf_rows_neon(const RfSide& rows, const RfSide& cols, std::size_t r0, std::size_t count, std::size_t c0,
                         std::size_t c1, std::uint32_t* cells, std::size_t stride) {
  std::vector<std::uint64_t> own_words(std::max<std::size_t>(rows.width, 1) * kTileRows);
  std::uint64_t* own = own_words.data();
  const auto [lo, hi] = tile_words(rows, r0, count, own);
  for (std::size_t j0 = c0; j0 < c1; j0 += kColumnLanes) {
    const std::size_t live_count = std::min(kColumnLanes, c1 - j0);
    const std::uint64_t* column = cols.column_words.data() + j0;
    for (std::size_t g = 0; g < count; g += kRowGroup) {
      uint64x2_t shared[kRowGroup][4];
      for (auto& row : shared) {
        for (auto& part : row) part = vdupq_n_u64(0);
      }
      for (std::size_t w0 = lo; w0 < hi; w0 += kByteRun) {
        uint8x16_t bytes[kRowGroup][4];
        for (auto& row : bytes) {
          for (auto& part : row) part = vdupq_n_u8(0);
        }
        for (std::size_t w = w0; w < std::min(hi, w0 + kByteRun); ++w) {
          uint64x2_t b[4];
          for (int q = 0; q < 4; ++q) b[q] = vld1q_u64(column + w * cols.column_stride + 2 * q);
          const std::uint64_t* a = own + w * kTileRows + g;
#pragma GCC unroll 4
          for (std::size_t i = 0; i < kRowGroup; ++i) {
            const uint64x2_t x = vdupq_n_u64(a[i]);
#pragma GCC unroll 4
            for (int q = 0; q < 4; ++q) {
              bytes[i][q] = vaddq_u8(bytes[i][q], vcntq_u8(vreinterpretq_u8_u64(vandq_u64(b[q], x))));
            }
          }
        }
        for (std::size_t i = 0; i < kRowGroup; ++i) {
          for (int q = 0; q < 4; ++q) shared[i][q] = vaddq_u64(shared[i][q], vpaddlq_u32(vpaddlq_u16(vpaddlq_u8(bytes[i][q]))));
        }
      }
      for (std::size_t i = 0; i < std::min(kRowGroup, count - g); ++i) {
        const std::size_t r = r0 + g + i;
        std::uint32_t* at = cells + (g + i) * stride + (j0 - c0);
        std::uint32_t dense[kColumnLanes];
        vst1q_u32(dense, vcombine_u32(vmovn_u64(shared[i][0]), vmovn_u64(shared[i][1])));
        vst1q_u32(dense + 4, vcombine_u32(vmovn_u64(shared[i][2]), vmovn_u64(shared[i][3])));
        const std::uint32_t k_i = rows.totals[r];
        for (std::size_t t = 0; t < live_count; ++t) {
          const std::uint32_t value = k_i + cols.totals[j0 + t] - 2 * (dense[t] + at[t]);
          at[t] = rows.trees[r] == cols.trees[j0 + t] ? 0 : value;
        }
      }
    }
  }
}
#endif

// The finishes, best first. AVX-512's needs the vector popcount beyond AVX-512 F.
const Implementation<RfPass> kRfPasses[] = {
#if BRANTOVEIL_X86_64
    {Isa::avx512, {finish_rf_rows_avx512, true, 1}, CpuFeature::avx512_popcount},
    {Isa::avx2, {finish_rf_rows_avx2, true, 2}},
    {Isa::popcnt, {finish_rf_tile_popcnt, false, 3}},
#endif
#if BRANTOVEIL_NEON
    {Isa::neon, {finish_rf_rows_neon, true, 2}},
#endif
    {Isa::plain, {finish_rf_cells_plain, false, 8}},
};

}  // namespace

bool rf_implemented(Isa isa) { return implemented<RfPass>(kRfPasses, isa); }

RfKernel::RfKernel(const EncodedTrees& sample, const ColumnLayout& layout, std::uint32_t universal,
                   std::optional<Isa> isa)
    : sample_(sample), layout_(layout), universal_(universal), pass_(pick<RfPass>(kRfPasses, isa).entry) {}

bool RfKernel::whole_rows(std::size_t dense_words) const {
  // Whole rows pay each pair's finish twice, on every core; the mirror pays one pass over the
  // matrix, bound by memory rather than by the cores. Relative cost of a finish word: the vector
  // popcount 1, the nibble lookups (AVX2) and byte counts (NEON) about 2, the scalar popcount
  // and the plain path far more. Measured at 10,000 trees: the AVX-512 finish over one or two
  // words is cheaper twice (mcmc50 0.115 against 0.139 s on one thread), while seven words (the
  // 123-taxon posterior: AVX-512 0.262 against 0.277 s, AVX2 0.321 against 0.406 s) and the plain
  // path over two (mcmc120: 0.52 against 0.77 s) favour the mirror. Without dense words a pair is
  // only its rare increments, which spread over the cores, while the mirror's pass does not.
  constexpr std::size_t kMostCost = 4;
  return dense_words * pass_.word_cost <= kMostCost;
}

RfSide RfKernel::lay_out(std::span<const std::uint64_t> trees) const {
  const ColumnLayout& layout = layout_;
  RfSide side;
  side.trees = trees;
  side.width = (std::size_t{layout.dense} + 63) / 64;
  const std::size_t m = trees.size();
  side.rows.assign(m * side.width, 0);
  side.totals.resize(m);
  side.spans.assign(m, {0, 0});
  size_sparse(side, sample_, layout);
  for_each_tree(m, [&](std::size_t j) {
    const std::size_t t = trees[j];
    std::uint64_t* row = side.rows.data() + j * side.width;
    std::uint32_t* sparse = side.sparse.data() + side.sparse_offsets[j];
    std::size_t placed = 0;
    for_each_split(sample_, t, [&](std::uint32_t id, std::size_t, bool) {
      const std::uint32_t col = layout.columns[id];
      if (col == NO_COLUMN) return;
      if (col < layout.dense) {
        row[col >> 6] |= std::uint64_t{1} << (col & 63);
      } else {
        sparse[placed++] = col - layout.dense;
      }
    });
    std::sort(sparse, sparse + placed);
    // Universal and single-tree splits take no column: they cancel out of every pair or can be
    // shared with nobody, so only the total K sees them (mod 2^32).
    side.totals[j] = sample_.pendants + static_cast<std::uint32_t>(sample_.ids_of(t).size()) - universal_;
    std::size_t last = side.width;
    while (last > 0 && row[last - 1] == 0) --last;
    std::size_t first = 0;
    while (first < last && row[first] == 0) ++first;
    if (last > 0) side.spans[j] = {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
  });
  return side;
}

RfSide RfKernel::lay_out_columns(std::span<const std::uint64_t> trees) const {
  RfSide side = lay_out(trees);
  if (!pass_.columns_side_by_side) return side;
  const std::size_t m = side.size();
  side.column_stride = (m + kColumnLanes - 1) / kColumnLanes * kColumnLanes;
  // A group of lanes past the end, so a finish may load whole groups from any column on.
  side.column_words.assign(side.width * side.column_stride + kColumnLanes, 0);
  for_each_tree(m, [&](std::size_t j) {
    for (std::size_t w = 0; w < side.width; ++w) side.column_words[w * side.column_stride + j] = side.row(j)[w];
  });
  side.bound_groups();
  return side;
}

void RfKernel::compute(const RfSide& rows, const RfSide& cols, const Postings& postings, std::size_t r0,
                       std::size_t r1, std::size_t c0, std::size_t c1, Cell* out, std::size_t stride, Wanted) const {
  // Rare splits first: every column tree sharing one gets +1 in its cell.
  for (std::size_t r = r0; r < r1; ++r) {
    Cell* cells = out + (r - r0) * stride;
    for (std::uint64_t e = rows.sparse_offsets[r]; e < rows.sparse_offsets[r + 1]; ++e) {
      const Postings::Range range = postings.range(rows.sparse[e], c0, c1);
      for (std::uint64_t p = range.first; p < range.last; ++p) ++cells[postings.positions[p] - c0];
    }
  }
  for (std::size_t r = r0; r < r1; r += kTileRows) {
    pass_.finish(rows, cols, r, std::min(kTileRows, r1 - r), c0, c1, out + (r - r0) * stride, stride);
  }
}

namespace {

// Every pair of the trees `members` of `trees` into `cells` (see fill_symmetric), the columns
// numbered over those trees alone, whose `supports` may lie in `trees`; false when stopped. The
// trees are freed once laid out.
bool fill_rf_pairs(EncodedTrees& trees, std::span<const std::uint64_t> members,
                   std::span<const std::uint32_t> supports, std::uint32_t min_dense_support,
                   std::atomic<std::uint64_t>* counter, std::optional<Isa> isa, RfRows rows,
                   Buffer<std::uint32_t>& cells) {
  const std::size_t n = members.size();
  // Splits held by every tree cancel out of every pair; splits of one tree need no column.
  const ColumnLayout layout = assign_columns(supports, n, {2, n}, min_dense_support);
  const auto n32 = static_cast<std::uint32_t>(n);
  std::uint32_t universal = 0;
  for (const std::uint32_t c : supports) universal += c == n32 ? 1 : 0;
  const RfKernel kernel(trees, layout, universal, isa);
  const RfSide side = kernel.lay_out_columns(members);
  const Postings postings = kernel.postings(side);
  trees = EncodedTrees{};
  const bool whole =
      rows == RfRows::whole_rows || (rows == RfRows::chosen && kernel.whole_rows(side.width));
  return run_symmetric(kernel, side, postings, kTileRows, whole ? LowerCells::kernel : LowerCells::mirror, counter,
                       cells);
}

// Distances between the distinct split sets only, then every tree's row gathered from its set's
// row. Identical split sets have identical rows, so the matrix is the same as pair by pair.
bool fill_rf_through_classes(EncodedTrees& trees, const TreeClasses& classes, std::uint32_t min_dense_support,
                             std::atomic<std::uint64_t>* counter, std::optional<Isa> isa, RfRows rows,
                             Buffer<std::uint32_t>& cells) {
  const std::size_t n = trees.size();
  const std::size_t m = classes.first.size();
  const std::uint32_t pendants = trees.pendants;
  const std::vector<std::uint64_t> distinct(classes.first.begin(), classes.first.end());
  std::vector<std::uint32_t> supports(trees.n_splits(), 0);
  for (const std::uint64_t t : distinct) {
    for (const std::uint32_t id : trees.ids_of(t)) ++supports[id];
  }
  for (std::uint32_t id = 0; id < pendants; ++id) supports[id] = static_cast<std::uint32_t>(m);
  // The same share of trees as the caller's boundary: all-dense and all-sparse stay so.
  const std::uint32_t boundary =
      min_dense_support <= 2 ? min_dense_support
                             : static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                   UINT32_MAX, (std::uint64_t{min_dense_support} * m + n - 1) / n));
  Buffer<std::uint32_t> table;
  if (!fill_rf_pairs(trees, distinct, supports, std::max(boundary, 2u), nullptr, isa, rows, table)) return false;
  const std::size_t total = n * n;
  if (cells.size() != total) {
    if (!cells.owned() || !cells.empty()) wrong_result_size(total, cells.size());
    cells = Buffer<std::uint32_t>(total);
    prepare_result_pages(cells.data(), total * sizeof(std::uint32_t));
  }
  return expand_classes(table.span(), classes, cells.data(), counter);
}

// The whole matrix into `cells` (see fill_symmetric); false when stopped.
bool fill_rf(EncodedTrees trees, std::uint32_t min_dense_support, std::atomic<std::uint64_t>* counter,
             std::optional<Isa> isa, RfRows rows, Buffer<std::uint32_t>& cells) {
  const std::size_t n = trees.size();
  if (n == 0) {
    if (!cells.empty()) wrong_result_size(0, cells.size());
    return true;
  }
  // Posteriors revisit topologies: with at most one distinct split set per 8 trees the table over
  // distinct sets is under 2% of the matrix and its pairs under 2% of the work.
  constexpr std::size_t kTreesPerClass = 8;
  const TreeClasses classes = group_repeats(trees);
  if (classes.first.size() * kTreesPerClass <= n) {
    return fill_rf_through_classes(trees, classes, min_dense_support, counter, isa, rows, cells);
  }
  std::vector<std::uint64_t> all(n);
  std::iota(all.begin(), all.end(), std::uint64_t{0});
  return fill_rf_pairs(trees, all, trees.supports, min_dense_support, counter, isa, rows, cells);
}

}  // namespace

Buffer<std::uint32_t> distance_rf_split(EncodedTrees trees, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter, std::optional<Isa> isa,
                                        RfRows rows) {
  Buffer<std::uint32_t> cells;
  if (!fill_rf(std::move(trees), min_dense_support, counter, isa, rows, cells)) return {};
  return cells;
}

Buffer<std::uint32_t> distance_rf(EncodedTrees trees, std::atomic<std::uint64_t>* counter) {
  const std::uint32_t min_dense_support = min_dense_support_rf(trees.size());
  return distance_rf_split(std::move(trees), min_dense_support, counter);
}

bool distance_rf(EncodedTrees trees, std::atomic<std::uint64_t>* counter, std::span<std::uint32_t> into,
                 Contents contents) {
  const std::uint32_t min_dense_support = min_dense_support_rf(trees.size());
  Buffer<std::uint32_t> cells = Buffer<std::uint32_t>::over(into, contents);
  return fill_rf(std::move(trees), min_dense_support, counter, std::nullopt, RfRows::chosen, cells);
}

}  // namespace brantoveil::distances
