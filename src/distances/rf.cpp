// Robinson-Foulds kernel: shared rare splits counted into the output row, frequent ones by popcount.
#include "distances/rf.h"

#include <algorithm>
#include <cstring>

#include "distances/boundary.h"
#include "distances/isa.h"
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

// Bit row plus sparse list of one tree. Universal and single-tree splits take no column: they
// cancel out of every pair or can be shared with nobody, so only the total K_i sees them.
std::uint32_t lay_out_tree(const InternSnap& snap, const ColumnLayout& layout, std::uint32_t universal,
                           std::span<std::uint64_t> row, std::vector<SparseEntry>& sparse) {
  const auto place = [&](std::uint32_t id) {
    const std::uint32_t col = layout.columns[id];
    if (col == NO_COLUMN) return;
    if (col < layout.dense) {
      row[col >> 6] |= std::uint64_t{1} << (col & 63);
    } else {
      sparse.push_back({col - layout.dense, 0.0});
    }
  };
  for (std::uint32_t id = 0; id < snap.pendants; ++id) place(id);
  for (const std::uint32_t id : snap.ids) place(id);
  std::sort(sparse.begin(), sparse.end(),
            [](const SparseEntry& a, const SparseEntry& b) { return a.index < b.index; });
  return snap.pendants + static_cast<std::uint32_t>(snap.ids.size()) - universal;
}

// Rows r0..r0+rows-1 (at most kTileRows; `cells` starts at row r0) against every tree, the
// diagonal set to 0. Cell (i, j) enters holding the rare splits i and j share and leaves holding
// K_i + K_j - 2 * (dense shared + rare shared). With the scalar popcount the tile's rows are held
// transposed, word w of all rows side by side, so each word of tree j is loaded once and ANDed
// with every row of the tile. Only words inside some row's non-zero span and j's can be non-zero.
// Whole rows rather than the upper triangle and a mirror: the popcounts of each pair twice cost
// less than the mirror's pass over the matrix (mcmc120 at 10,000: 0.20-0.23 s against 0.26-0.29 s).
constexpr std::size_t kTileRows = 16;

// The words [lo, hi) where some row of the tile r0..r0+rows-1 is non-zero, copied into `own`
// side by side (word w of row i at w * kTileRows + i, missing rows zero); returns lo and hi.
[[gnu::always_inline]] inline Range tile_words(const std::uint64_t* words, const Range* ranges, std::size_t width,
                                               std::size_t r0, std::size_t rows, std::uint64_t* own) {
  std::size_t lo = width;
  std::size_t hi = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    const Range range = ranges[r0 + i];
    if (range.first >= range.second) continue;
    lo = std::min(lo, range.first);
    hi = std::max(hi, range.second);
  }
  for (std::size_t w = lo; w < hi; ++w) {
    for (std::size_t i = 0; i < kTileRows; ++i) own[w * kTileRows + i] = i < rows ? words[(r0 + i) * width + w] : 0;
  }
  return {lo, hi};
}

[[gnu::always_inline]] inline void finish_rf_tile(const std::uint64_t* words, const Range* ranges,
                                                  const std::uint32_t* totals, std::size_t width, std::size_t n,
                                                  std::size_t r0, std::size_t rows, std::uint64_t* own,
                                                  std::uint32_t* cells) {
  const auto [lo, hi] = tile_words(words, ranges, width, r0, rows, own);
  for (std::size_t j = 0; j < n; ++j) {
    std::uint64_t shared[kTileRows] = {};
    const std::size_t w_lo = std::max(lo, ranges[j].first);
    const std::size_t w_hi = std::min(hi, ranges[j].second);
    const std::uint64_t* other = words + j * width;
    for (std::size_t w = w_lo; w < w_hi; ++w) {
      const std::uint64_t b = other[w];
      const std::uint64_t* a = own + w * kTileRows;
      for (std::size_t i = 0; i < kTileRows; ++i) shared[i] += static_cast<std::uint64_t>(__builtin_popcountll(a[i] & b));
    }
    const std::uint32_t k_j = totals[j];
    for (std::size_t i = 0; i < rows; ++i) {
      std::uint32_t& cell = cells[i * n + j];
      const std::uint32_t value = totals[r0 + i] + k_j - 2 * (static_cast<std::uint32_t>(shared[i]) + cell);
      cell = r0 + i == j ? 0 : value;
    }
  }
}

// With the scalar popcount instruction, and without it for CPUs that lack it. Chosen at run time
// rather than by an ifunc, whose resolver would run before sanitizer runtimes.
#if BRANTOVEIL_X86_64
__attribute__((target("popcnt")))
void finish_rf_tile_popcnt(const std::uint64_t* words, const Range* ranges, const std::uint32_t* totals,
                           std::size_t width, std::size_t n, std::size_t r0, std::size_t rows, std::uint64_t* own,
                           std::uint32_t* cells) {
  finish_rf_tile(words, ranges, totals, width, n, r0, rows, own, cells);
}
#endif

void finish_rf_tile_plain(const std::uint64_t* words, const Range* ranges, const std::uint32_t* totals,
                          std::size_t width, std::size_t n, std::size_t r0, std::size_t rows, std::uint64_t* own,
                          std::uint32_t* cells) {
  finish_rf_tile(words, ranges, totals, width, n, r0, rows, own, cells);
}

// With AVX-512's vector popcount the tile runs the other way round: eight trees j side by side
// against each row, from the dense words stored column by column (word w of every tree together),
// so each row's eight cells are finished with a few vector operations and one contiguous store
// instead of one scalar cell per row and tree (the 123-taxon posterior: 0.26-0.28 s down to
// 0.21-0.23 s for the whole call).
constexpr std::size_t kColumnLanes = 8;

// Dense words column by column: word w of tree j at w * stride + j; stride is n rounded up to
// whole lane groups, the padding zero.
struct WordColumns {
  std::vector<std::uint64_t> words;
  std::size_t stride = 0;
};

WordColumns word_columns(const BitRows& bits, std::size_t n) {
  WordColumns out;
  out.stride = (n + kColumnLanes - 1) / kColumnLanes * kColumnLanes;
  out.words.assign(bits.width * out.stride, 0);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t w = 0; w < bits.width; ++w) out.words[w * out.stride + j] = bits.words[j * bits.width + w];
  }
  return out;
}

#if BRANTOVEIL_X86_64
__attribute__((target("avx512f,avx512vl,avx512vpopcntdq,avx2")))
void finish_rf_rows_avx512(const std::uint64_t* words, const WordColumns& columns, const Range* ranges,
                           const std::uint32_t* totals, std::size_t width, std::size_t n, std::size_t r0,
                           std::size_t rows, std::uint64_t* own, std::uint32_t* cells) {
  const auto [lo, hi] = tile_words(words, ranges, width, r0, rows, own);
  const auto row_count = static_cast<int>(rows);
  for (std::size_t j0 = 0; j0 < n; j0 += kColumnLanes) {
    const auto live = static_cast<__mmask8>(n - j0 >= kColumnLanes ? 0xFF : (1u << (n - j0)) - 1);
    __m512i shared[kTileRows];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < kTileRows; ++i) shared[i] = _mm512_setzero_si512();
    for (std::size_t w = lo; w < hi; ++w) {
      const __m512i b = _mm512_loadu_si512(columns.words.data() + w * columns.stride + j0);
      const std::uint64_t* a = own + w * kTileRows;
#pragma GCC unroll 16
      for (std::size_t i = 0; i < kTileRows; ++i) {
        const __m512i both = _mm512_and_si512(b, _mm512_set1_epi64(static_cast<long long>(a[i])));
        shared[i] = _mm512_add_epi64(shared[i], _mm512_popcnt_epi64(both));
      }
    }
    const __m256i k_j = _mm256_maskz_loadu_epi32(live, totals + j0);
#pragma GCC unroll 16
    for (int i = 0; i < static_cast<int>(kTileRows); ++i) {
      if (i >= row_count) break;
      std::uint32_t* at = cells + static_cast<std::size_t>(i) * n + j0;
      const __m256i rare = _mm256_maskz_loadu_epi32(live, at);
      const __m256i both = _mm256_add_epi32(_mm512_maskz_cvtepi64_epi32(0xFF, shared[i]), rare);
      __m256i value = _mm256_sub_epi32(_mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(totals[r0 + i])), k_j),
                                       _mm256_slli_epi32(both, 1));
      const std::size_t self = r0 + static_cast<std::size_t>(i) - j0;  // the diagonal's lane, if here
      if (self < kColumnLanes) {
        value = _mm256_mask_mov_epi32(value, static_cast<__mmask8>(1u << self), _mm256_setzero_si256());
      }
      _mm256_mask_storeu_epi32(at, live, value);
    }
  }
}
#endif

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
constexpr std::size_t kAvx2RowGroup = kRowGroup;

__attribute__((target("avx2")))
void finish_rf_rows_avx2(const std::uint64_t* words, const WordColumns& columns, const Range* ranges,
                         const std::uint32_t* totals, std::size_t width, std::size_t n, std::size_t r0,
                         std::size_t rows, std::uint64_t* own, std::uint32_t* cells) {
  const auto [lo, hi] = tile_words(words, ranges, width, r0, rows, own);
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
  for (std::size_t j0 = 0; j0 < n; j0 += kColumnLanes) {
    const std::size_t live_count = std::min(kColumnLanes, n - j0);
    const bool whole = live_count == kColumnLanes;
    const __m256i live = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(live_count)), lane_index);
    const __m256i k_j = _mm256_maskload_epi32(reinterpret_cast<const int*>(totals + j0), live);
    const std::uint64_t* column = columns.words.data() + j0;
    for (std::size_t g = 0; g < rows; g += kAvx2RowGroup) {
      __m256i shared[kAvx2RowGroup][2];
      for (auto& row : shared) row[0] = row[1] = _mm256_setzero_si256();
      for (std::size_t w0 = lo; w0 < hi; w0 += kByteRun) {
        __m256i bytes[kAvx2RowGroup][2];
        for (auto& row : bytes) row[0] = row[1] = _mm256_setzero_si256();
        for (std::size_t w = w0; w < std::min(hi, w0 + kByteRun); ++w) {
          __m256i b[2], b_high[2];
          for (int h = 0; h < 2; ++h) {
            b[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column + w * columns.stride + 4 * h));
            b_high[h] = _mm256_srli_epi16(b[h], 4);
          }
          const std::size_t at = (w - lo) * kTileRows + g;
#pragma GCC unroll 4
          for (std::size_t i = 0; i < kAvx2RowGroup; ++i) {
            const __m256i a_low = _mm256_set1_epi64x(static_cast<long long>(own_low[at + i]));
            const __m256i a_high = _mm256_set1_epi64x(static_cast<long long>(own_high[at + i]));
            for (int h = 0; h < 2; ++h) {
              bytes[i][h] = _mm256_add_epi8(bytes[i][h], _mm256_shuffle_epi8(table, _mm256_and_si256(b[h], a_low)));
              bytes[i][h] = _mm256_add_epi8(bytes[i][h], _mm256_shuffle_epi8(table, _mm256_and_si256(b_high[h], a_high)));
            }
          }
        }
#pragma GCC unroll 4
        for (std::size_t i = 0; i < kAvx2RowGroup; ++i) {
          for (int h = 0; h < 2; ++h) {
            shared[i][h] = _mm256_add_epi64(shared[i][h], _mm256_sad_epu8(bytes[i][h], _mm256_setzero_si256()));
          }
        }
      }
      for (std::size_t i = 0; i < std::min(kAvx2RowGroup, rows - g); ++i) {
        const std::size_t row = g + i;
        const __m256i first = _mm256_permutevar8x32_epi32(shared[i][0], low_halves);
        const __m256i second = _mm256_permutevar8x32_epi32(shared[i][1], low_halves);
        const __m256i dense = _mm256_blend_epi32(first, second, 0xF0);
        int* at = reinterpret_cast<int*>(cells + row * n + j0);
        auto* at_vector = reinterpret_cast<__m256i*>(at);
        const __m256i rare = whole ? _mm256_loadu_si256(at_vector) : _mm256_maskload_epi32(at, live);
        const __m256i both = _mm256_add_epi32(dense, rare);
        __m256i value = _mm256_sub_epi32(_mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(totals[r0 + row])), k_j),
                                         _mm256_slli_epi32(both, 1));
        const std::size_t self = r0 + row - j0;  // the diagonal's lane, if here
        if (self < kColumnLanes) {
          const __m256i diagonal = _mm256_cmpeq_epi32(_mm256_set1_epi32(static_cast<int>(self)), lane_index);
          value = _mm256_andnot_si256(diagonal, value);
        }
        if (whole) {
          _mm256_storeu_si256(at_vector, value);
        } else {
          _mm256_maskstore_epi32(at, live, value);
        }
      }
    }
  }
}
#endif

#if BRANTOVEIL_NEON
void finish_rf_rows_neon(const std::uint64_t* words, const WordColumns& columns, const Range* ranges,
                         const std::uint32_t* totals, std::size_t width, std::size_t n, std::size_t r0,
                         std::size_t rows, std::uint64_t* own, std::uint32_t* cells) {
  const auto [lo, hi] = tile_words(words, ranges, width, r0, rows, own);
  for (std::size_t j0 = 0; j0 < n; j0 += kColumnLanes) {
    const std::size_t live_count = std::min(kColumnLanes, n - j0);
    const std::uint64_t* column = columns.words.data() + j0;
    for (std::size_t g = 0; g < rows; g += kRowGroup) {
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
          for (int q = 0; q < 4; ++q) b[q] = vld1q_u64(column + w * columns.stride + 2 * q);
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
      for (std::size_t i = 0; i < std::min(kRowGroup, rows - g); ++i) {
        const std::size_t row = g + i;
        std::uint32_t* at = cells + row * n + j0;
        std::uint32_t dense[kColumnLanes];
        vst1q_u32(dense, vcombine_u32(vmovn_u64(shared[i][0]), vmovn_u64(shared[i][1])));
        vst1q_u32(dense + 4, vcombine_u32(vmovn_u64(shared[i][2]), vmovn_u64(shared[i][3])));
        const std::uint32_t k_i = totals[r0 + row];
        for (std::size_t t = 0; t < live_count; ++t) {
          const std::uint32_t value = k_i + totals[j0 + t] - 2 * (dense[t] + at[t]);
          at[t] = r0 + row == j0 + t ? 0 : value;
        }
      }
    }
  }
}
#endif

}  // namespace

bool rf_isa_supported(RfIsa isa) {
  switch (isa) {
    case RfIsa::best:
    case RfIsa::plain:
      return true;
    case RfIsa::popcnt:
      return isa_allows(IsaLevel::avx2) && cpu_has_popcnt();
    case RfIsa::avx512:
      return isa_allows(IsaLevel::avx512) && cpu_has_avx512_popcount();
    case RfIsa::avx2:
      return isa_allows(IsaLevel::avx2) && cpu_has_avx2();
    case RfIsa::neon:
      return isa_allows(IsaLevel::neon) && cpu_has_neon();
  }
  return false;
}

namespace {

RfIsa resolve(RfIsa isa) {
  if (isa != RfIsa::best) return isa;
  if (rf_isa_supported(RfIsa::avx512)) return RfIsa::avx512;
  if (rf_isa_supported(RfIsa::avx2)) return RfIsa::avx2;
  if (rf_isa_supported(RfIsa::neon)) return RfIsa::neon;
  return rf_isa_supported(RfIsa::popcnt) ? RfIsa::popcnt : RfIsa::plain;
}

}  // namespace

BitRows::BitRows(std::vector<std::uint64_t> all_words, std::size_t row_width, std::size_t n)
    : words(std::move(all_words)), ranges(n, Range{0, 0}), width(row_width) {
  for (std::size_t i = 0; i < n && width > 0; ++i) {
    const std::uint64_t* row = words.data() + i * width;
    std::size_t last = width;
    while (last > 0 && row[last - 1] == 0) --last;
    if (last == 0) continue;
    std::size_t first = 0;
    while (row[first] == 0) ++first;
    ranges[i] = {first, last};
  }
}

namespace {

// Every pair through the kernel into `cells` (see fill_symmetric); false when stopped.
bool fill_rf_every_pair(Input input, std::uint32_t min_dense_support, std::atomic<std::uint64_t>* counter,
                        RfIsa isa, Buffer<std::uint32_t>& cells) {
  const std::size_t n = input.size();
  if (n == 0) {
    if (!cells.empty()) wrong_result_size(0, cells.size());
    return true;
  }
  // Splits held by every tree cancel out of every pair; splits of one tree need no column.
  ColumnLayout layout = assign_columns(input.supports(), n, {2, n}, min_dense_support);
  const auto n32 = static_cast<std::uint32_t>(n);
  std::uint32_t universal = 0;
  for (const std::uint32_t c : input.supports()) universal += c == n32 ? 1 : 0;
  const std::size_t width = (std::size_t{layout.dense} + 63) / 64;
  const std::uint32_t shift = block_shift();

  Layout<std::uint64_t, std::uint32_t> laid = lay_out<std::uint64_t, std::uint32_t>(
      input, std::move(layout), shift, false, width,
      [&](std::size_t, const InternSnap& snap, const ColumnLayout& columns, std::span<std::uint64_t> row,
          std::vector<SparseEntry>& sparse) {
        return lay_out_tree(snap, columns, universal, row, sparse);
      });
  if (pool::stopped()) return false;

  std::vector<std::uint64_t> words(n * width);
  if (width > 0) {
    const std::size_t block = std::size_t{1} << shift;
    for (std::size_t b = 0; b < laid.rows.blocks.size(); ++b) {
      Buffer<std::uint64_t>& buffer = laid.rows.blocks[b];
      std::memcpy(words.data() + b * block * width, buffer.data(), buffer.size() * sizeof(std::uint64_t));
      buffer = Buffer<std::uint64_t>();
    }
  }
  std::vector<Buffer<std::uint64_t>>().swap(laid.rows.blocks);
  const BitRows bits(std::move(words), width, n);
  const Postings& postings = laid.postings;
  const std::uint32_t* totals = laid.totals.data();
  const RfIsa kernel_isa = resolve(isa);
  const bool by_columns = kernel_isa == RfIsa::avx512 || kernel_isa == RfIsa::avx2 || kernel_isa == RfIsa::neon;
  const WordColumns columns = by_columns ? word_columns(bits, n) : WordColumns{};

  return fill_symmetric<std::uint32_t>(n, kTileRows, counter, [&](std::size_t r0, std::span<std::uint32_t> chunk) {
    const std::size_t rows = chunk.size() / n;
    // Rare splits first: every tree sharing one gets +1 in its own cell (the diagonal is reset).
    for (std::size_t i = r0; i < r0 + rows; ++i) {
      std::uint32_t* row = chunk.data() + (i - r0) * n;
      const Postings::OwnRange own = postings.own_of(i);
      for (std::uint64_t e = own.first; e < own.last; ++e) {
        const std::uint32_t s = own.block->columns[e];
        const std::uint64_t end = postings.list_end(s);
        for (std::uint64_t p = postings.list_begin(s); p < end; ++p) ++row[postings.trees[p]];
      }
    }
    std::vector<std::uint64_t> own(std::max<std::size_t>(bits.width, 1) * kTileRows);
    const std::uint64_t* words = bits.words.data();
    const Range* ranges = bits.ranges.data();
    switch (kernel_isa) {
#if BRANTOVEIL_X86_64
      case RfIsa::avx512:
        finish_rf_rows_avx512(words, columns, ranges, totals, bits.width, n, r0, rows, own.data(), chunk.data());
        break;
      case RfIsa::avx2:
        finish_rf_rows_avx2(words, columns, ranges, totals, bits.width, n, r0, rows, own.data(), chunk.data());
        break;
      case RfIsa::popcnt:
        finish_rf_tile_popcnt(words, ranges, totals, bits.width, n, r0, rows, own.data(), chunk.data());
        break;
#endif
#if BRANTOVEIL_NEON
      case RfIsa::neon:
        finish_rf_rows_neon(words, columns, ranges, totals, bits.width, n, r0, rows, own.data(), chunk.data());
        break;
#endif
      default:
        finish_rf_tile_plain(words, ranges, totals, bits.width, n, r0, rows, own.data(), chunk.data());
    }
  }, cells, LowerCells::kernel);
}

// Distances between the distinct split sets only, then every tree's row gathered from its set's
// row. Identical split sets have identical rows, so the matrix is the same as pair by pair.
bool fill_rf_through_classes(Input input, const TreeClasses& classes, std::uint32_t min_dense_support,
                             std::atomic<std::uint64_t>* counter, RfIsa isa, Buffer<std::uint32_t>& cells) {
  const std::size_t n = input.size();
  const std::size_t m = classes.first.size();
  std::vector<InternSnap> distinct(m);
  std::vector<std::uint32_t> supports(input.supports().size(), 0);
  for (std::size_t k = 0; k < m; ++k) {
    const InternSnap& snap = input.snaps()[classes.first[k]];
    distinct[k].ids = snap.ids;
    distinct[k].pendants = snap.pendants;
    for (const std::uint32_t id : snap.ids) ++supports[id];
  }
  const std::uint32_t pendants = m == 0 ? 0 : distinct[0].pendants;
  for (std::uint32_t id = 0; id < pendants; ++id) supports[id] = static_cast<std::uint32_t>(m);
  input.release(0, n);
  input.release_supports();
  // The same share of trees as the caller's boundary: all-dense and all-sparse stay so.
  const std::uint32_t boundary =
      min_dense_support <= 2 ? min_dense_support
                             : static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                   UINT32_MAX, (std::uint64_t{min_dense_support} * m + n - 1) / n));
  Buffer<std::uint32_t> table;
  if (!fill_rf_every_pair(Input::owned(std::move(distinct), std::move(supports)), std::max(boundary, 2u), nullptr,
                          isa, table)) {
    return false;
  }
  const std::size_t total = n * n;
  if (cells.size() != total) {
    if (!cells.owned() || !cells.empty()) wrong_result_size(total, cells.size());
    cells = Buffer<std::uint32_t>(total);
    prepare_result_pages(cells.data(), total * sizeof(std::uint32_t));
  }
  return expand_classes(table.span(), classes, cells.data(), counter);
}

// The whole kernel into `cells` (see fill_symmetric); false when stopped.
bool fill_rf(Input input, std::uint32_t min_dense_support, std::atomic<std::uint64_t>* counter, RfIsa isa,
             Buffer<std::uint32_t>& cells) {
  const std::size_t n = input.size();
  if (n == 0) {
    if (!cells.empty()) wrong_result_size(0, cells.size());
    return true;
  }
  // Posteriors revisit topologies: with at most one distinct split set per 8 trees the table over
  // distinct sets is under 2% of the matrix and its pairs under 2% of the work.
  constexpr std::size_t kTreesPerClass = 8;
  const TreeClasses classes = group_repeats(input.snaps());
  if (classes.first.size() * kTreesPerClass <= n) {
    return fill_rf_through_classes(std::move(input), classes, min_dense_support, counter, isa, cells);
  }
  return fill_rf_every_pair(std::move(input), min_dense_support, counter, isa, cells);
}

}  // namespace

Buffer<std::uint32_t> distance_rf_split(Input input, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter, RfIsa isa) {
  Buffer<std::uint32_t> cells;
  if (!fill_rf(std::move(input), min_dense_support, counter, isa, cells)) return {};
  return cells;
}

Buffer<std::uint32_t> distance_rf(Input input, std::atomic<std::uint64_t>* counter) {
  const std::uint32_t min_dense_support = min_dense_support_rf(input.size());
  return distance_rf_split(std::move(input), min_dense_support, counter);
}

bool distance_rf(Input input, std::atomic<std::uint64_t>* counter, std::span<std::uint32_t> into,
                 Contents contents) {
  const std::uint32_t min_dense_support = min_dense_support_rf(input.size());
  Buffer<std::uint32_t> cells = Buffer<std::uint32_t>::over(into, contents);
  return fill_rf(std::move(input), min_dense_support, counter, RfIsa::best, cells);
}

}  // namespace brantoveil::distances
