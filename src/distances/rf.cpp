// Robinson-Foulds kernel: shared rare splits counted into the output row, frequent ones by popcount.
#include "distances/rf.h"

#include <algorithm>
#include <cstring>

#include "distances/boundary.h"
#include "distances/matrix.h"
#include "distances/repeats.h"

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
// K_i + K_j - 2 * (dense shared + rare shared). The tile's rows are held transposed, word w of all
// rows side by side, so each word of tree j is loaded once and ANDed with every row of the tile: a
// loop the compiler turns into vector popcounts where the CPU has them. Only words inside some
// row's non-zero span and j's can be non-zero. Whole rows rather than the upper triangle and a
// mirror: the popcounts of each pair twice cost less than the mirror's pass over the matrix
// (mcmc120 at 10,000: 0.20-0.23 s against 0.26-0.29 s).
constexpr std::size_t kTileRows = 16;

[[gnu::always_inline]] inline void finish_rf_tile(const std::uint64_t* words, const Range* ranges,
                                                  const std::uint32_t* totals, std::size_t width, std::size_t n,
                                                  std::size_t r0, std::size_t rows, std::uint64_t* own,
                                                  std::uint32_t* cells) {
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

using FinishRfTile = void (*)(const std::uint64_t*, const Range*, const std::uint32_t*, std::size_t, std::size_t,
                              std::size_t, std::size_t, std::uint64_t*, std::uint32_t*);

// With AVX-512's vector popcount, with the scalar popcount instruction, and without either for
// CPUs that lack them. Chosen by a plain function pointer rather than an ifunc, whose resolver
// would run before sanitizer runtimes.
__attribute__((target("avx512f,avx512vpopcntdq,popcnt")))
void finish_rf_tile_avx512(const std::uint64_t* words, const Range* ranges, const std::uint32_t* totals,
                           std::size_t width, std::size_t n, std::size_t r0, std::size_t rows, std::uint64_t* own,
                           std::uint32_t* cells) {
  finish_rf_tile(words, ranges, totals, width, n, r0, rows, own, cells);
}

__attribute__((target("popcnt")))
void finish_rf_tile_popcnt(const std::uint64_t* words, const Range* ranges, const std::uint32_t* totals,
                           std::size_t width, std::size_t n, std::size_t r0, std::size_t rows, std::uint64_t* own,
                           std::uint32_t* cells) {
  finish_rf_tile(words, ranges, totals, width, n, r0, rows, own, cells);
}

void finish_rf_tile_plain(const std::uint64_t* words, const Range* ranges, const std::uint32_t* totals,
                          std::size_t width, std::size_t n, std::size_t r0, std::size_t rows, std::uint64_t* own,
                          std::uint32_t* cells) {
  finish_rf_tile(words, ranges, totals, width, n, r0, rows, own, cells);
}

FinishRfTile pick_finish_rf_tile() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512vpopcntdq") && __builtin_cpu_supports("avx512f")) return finish_rf_tile_avx512;
  return __builtin_cpu_supports("popcnt") ? finish_rf_tile_popcnt : finish_rf_tile_plain;
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
             Buffer<std::uint32_t>& cells) {
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
      [&](const InternSnap& snap, const ColumnLayout& columns, std::span<std::uint64_t> row,
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
  static const FinishRfTile finish_tile = pick_finish_rf_tile();

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
    finish_tile(bits.words.data(), bits.ranges.data(), totals, bits.width, n, r0, rows, own.data(), chunk.data());
  }, cells, LowerCells::kernel);
}

// Distances between the distinct split sets only, then every tree's row gathered from its set's
// row. Identical split sets have identical rows, so the matrix is the same as pair by pair.
bool fill_rf_through_classes(Input input, const TreeClasses& classes, std::uint32_t min_dense_support,
                             std::atomic<std::uint64_t>* counter, Buffer<std::uint32_t>& cells) {
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
                          table)) {
    return false;
  }
  const std::size_t total = n * n;
  if (cells.size() != total) {
    if (!cells.zeroed() || !cells.empty()) wrong_result_size(total, cells.size());
    cells = Buffer<std::uint32_t>(total);
    prepare_result_pages(cells.data(), total * sizeof(std::uint32_t));
  }
  return expand_classes(table.span(), classes, cells.data(), counter);
}

// The whole kernel into `cells` (see fill_symmetric); false when stopped.
bool fill_rf(Input input, std::uint32_t min_dense_support, std::atomic<std::uint64_t>* counter,
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
    return fill_rf_through_classes(std::move(input), classes, min_dense_support, counter, cells);
  }
  return fill_rf_every_pair(std::move(input), min_dense_support, counter, cells);
}

}  // namespace

Buffer<std::uint32_t> distance_rf_split(Input input, std::uint32_t min_dense_support,
                                        std::atomic<std::uint64_t>* counter) {
  Buffer<std::uint32_t> cells;
  if (!fill_rf(std::move(input), min_dense_support, counter, cells)) return {};
  return cells;
}

Buffer<std::uint32_t> distance_rf(Input input, std::atomic<std::uint64_t>* counter) {
  const std::uint32_t min_dense_support = min_dense_support_rf(input.size());
  return distance_rf_split(std::move(input), min_dense_support, counter);
}

bool distance_rf(Input input, std::atomic<std::uint64_t>* counter, std::span<std::uint32_t> into) {
  const std::uint32_t min_dense_support = min_dense_support_rf(input.size());
  Buffer<std::uint32_t> cells = Buffer<std::uint32_t>::over(into);
  return fill_rf(std::move(input), min_dense_support, counter, cells);
}

}  // namespace brantoveil::distances
