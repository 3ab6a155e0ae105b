// The restricted-split kernel and its symmetric and block drivers.
#include "distances/restricted.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "distances/block.h"
#include "distances/drivers.h"
#include "distances/isa.h"
#include "distances/matrix.h"
#include "pool/pool.h"

namespace brantoveil::distances {

namespace {

// One pair's restricted sides, each once: open addressing over a power-of-two table. A slot is a
// tag word then the side's mask words, so a probe reads one cache line; the tag holds the pair's
// generation (above 8 bits) and which trees hold the side, so slots are reset by a new generation
// rather than cleared.
struct SideTable {
  std::vector<std::uint64_t> slots;
  std::vector<double> first;  // summed length in the lower-index tree (weighted metrics)
  std::vector<double> second;
  std::vector<std::uint32_t> used;  // slots taken, in insertion order (weighted metrics)
  std::uint64_t generation = 0;
  std::size_t bits = 0;

  void start(std::size_t want_bits, std::size_t words, bool weighted) {
    const std::size_t need = (std::size_t{1} << want_bits) * (words + 1);
    if (want_bits > bits || slots.size() < need) {
      bits = std::max(bits, want_bits);
      slots.assign((std::size_t{1} << bits) * (words + 1), 0);
      generation = 0;
    }
    if (weighted && first.size() < (std::size_t{1} << bits)) {
      first.resize(std::size_t{1} << bits);
      second.resize(std::size_t{1} << bits);
    }
    ++generation;
    used.clear();
  }
};

thread_local SideTable tls_table;

template <std::size_t W>
struct Words {
  static constexpr std::size_t count(std::size_t) { return W; }
};
template <>
struct Words<0> {
  static std::size_t count(std::size_t runtime) { return runtime; }
};

}  // namespace

template <class Cell>
RestrictedKernel<Cell>::RestrictedKernel(const snapshot::GeneSet& set, GeneMetric metric,
                                         std::span<const std::uint64_t> keep, bool leave_same_taxa)
    : set_(set), metric_(metric), keep_(keep.begin(), keep.end()), leave_same_taxa_(leave_same_taxa) {
  if (keep_.empty()) keep_.assign(set.words, ~std::uint64_t{0});
  std::uint64_t most = 1;
  for (std::size_t t = 0; t < set.size(); ++t) most = std::max(most, set.edge_offsets[t + 1] - set.edge_offsets[t]);
  // At most 2 * most sides per pair: a table of at least 4 * most slots stays under half full.
  table_bits_ = static_cast<std::size_t>(std::bit_width(4 * most - 1));
  // The popcount instruction where the machine has it and the cap admits it, else the plain twin.
  static constexpr Implementation<bool> kLevels[] = {{Isa::popcnt, true}, {Isa::plain, false}};
  popcnt_ = pick(std::span<const Implementation<bool>>(kLevels)).entry;
}

template <class Cell>
template <std::size_t W>
[[gnu::always_inline]] inline double RestrictedKernel<Cell>::pair_in(std::uint64_t a, std::uint64_t b) const {
  const std::size_t words = Words<W>::count(set_.words);
  if (a > b) std::swap(a, b);
  // The shared taxa M, their count m and M's first taxon.
  std::uint64_t shared[W == 0 ? 64 : W];
  std::vector<std::uint64_t> wide;
  std::uint64_t* m_mask = shared;
  if (W == 0 && words > 64) {
    wide.resize(words);
    m_mask = wide.data();
  }
  const std::uint64_t* ta = set_.taxon_masks.data() + a * words;
  const std::uint64_t* tb = set_.taxon_masks.data() + b * words;
  std::size_t m = 0;
  for (std::size_t w = 0; w < words; ++w) {
    m_mask[w] = ta[w] & tb[w] & keep_[w];
    m += static_cast<std::size_t>(__builtin_popcountll(m_mask[w]));
  }
  if (m < fewest_shared(set_.rooted)) return std::numeric_limits<double>::quiet_NaN();
  std::size_t low_word = 0;
  while (m_mask[low_word] == 0) ++low_word;
  const std::uint64_t low_bit = m_mask[low_word] & (~m_mask[low_word] + 1);
  const bool rooted = set_.rooted;
  const std::size_t largest_inner = rooted ? m - 1 : m - 2;
  const bool weighted = metric_ != GeneMetric::rf;

  SideTable& table = tls_table;
  table.start(table_bits_, words, weighted);
  const std::size_t shift = 64 - table.bits;
  const std::size_t slot_mask = (std::size_t{1} << table.bits) - 1;
  const std::size_t stride = words + 1;
  const std::uint64_t tag = table.generation << 8;
  std::size_t only_first = 0;
  std::size_t only_second = 0;
  std::uint64_t side_buffer[W == 0 ? 64 : W];
  std::vector<std::uint64_t> wide_side;
  std::uint64_t* side = side_buffer;
  if (W == 0 && words > 64) {
    wide_side.resize(words);
    side = wide_side.data();
  }

  // Step 1: each tree's edges cut to M, canonical, merged into the table.
  for (std::uint64_t which = 0; which < 2; ++which) {
    const std::uint64_t t = which == 0 ? a : b;
    const std::uint64_t begin = set_.edge_offsets[t];
    const std::uint64_t end = weighted ? set_.edge_offsets[t + 1] : set_.first_pendant[t];
    const std::uint64_t bit = std::uint64_t{1} << which;
    std::size_t& only = which == 0 ? only_first : only_second;
    for (std::uint64_t e = begin; e < end; ++e) {
      const std::uint64_t* edge = set_.edge(e);
      const std::uint64_t flip = !rooted && (edge[low_word] & low_bit) != 0 ? ~std::uint64_t{0} : 0;
      std::size_t size = 0;
      std::uint64_t hash = 0;
      for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t cut = (edge[w] ^ flip) & m_mask[w];
        side[w] = cut;
        size += static_cast<std::size_t>(__builtin_popcountll(cut));
        hash = (hash ^ cut) * 0x9E3779B97F4A7C15ull;
      }
      if (size == 0 || size == m) continue;
      if (!weighted && (size < 2 || size > largest_inner)) continue;
      std::size_t slot = static_cast<std::size_t>(hash >> shift);
      while (true) {
        std::uint64_t* at = table.slots.data() + slot * stride;
        if ((at[0] >> 8) != table.generation) {
          at[0] = tag | bit;
          std::memcpy(at + 1, side, words * sizeof(std::uint64_t));
          ++only;
          if (weighted) {
            table.first[slot] = 0.0;
            table.second[slot] = 0.0;
            table.used.push_back(static_cast<std::uint32_t>(slot));
          }
          break;
        }
        if (std::memcmp(at + 1, side, words * sizeof(std::uint64_t)) == 0) {
          if ((at[0] & bit) == 0) {
            // A side of the first tree, now held by both.
            at[0] |= bit;
            --only_first;
          }
          break;
        }
        slot = (slot + 1) & slot_mask;
      }
      if (weighted) (which == 0 ? table.first : table.second)[slot] += set_.edge_lengths[e];
    }
  }
  if (!weighted) return static_cast<double>(only_first + only_second);

  // Step 2: the weighted sum over every side, in the order the sides were first met.
  double sum = 0.0;
  for (const std::uint32_t slot : table.used) {
    const double x = table.first[slot];
    const double y = table.second[slot];
    sum += metric_ == GeneMetric::wrf ? (x < y ? y - x : x - y) : (x - y) * (x - y);
  }
  return metric_ == GeneMetric::kf ? std::sqrt(sum) : sum;
}

// The same body where the CPU counts bits in one instruction (the counts are most of its work).
template <class Cell>
template <std::size_t W>
#if BRANTOVEIL_X86_64
__attribute__((target("popcnt")))
#endif
double RestrictedKernel<Cell>::pair_popcnt(std::uint64_t a, std::uint64_t b) const {
  return pair_in<W>(a, b);
}

template <class Cell>
double RestrictedKernel<Cell>::pair(std::uint64_t a, std::uint64_t b) const {
  if (leave_same_taxa_ && a != b) {
    const auto ta = set_.taxa_of(a);
    const auto tb = set_.taxa_of(b);
    if (std::equal(ta.begin(), ta.end(), tb.begin())) {
      std::size_t m = 0;
      for (const std::uint64_t word : ta) m += static_cast<std::size_t>(std::popcount(word));
      if (m >= fewest_shared(set_.rooted)) return 0.0;
    }
  }
  if (popcnt_) {
    switch (set_.words) {
      case 1: return pair_popcnt<1>(a, b);
      case 2: return pair_popcnt<2>(a, b);
      case 3: return pair_popcnt<3>(a, b);
      case 4: return pair_popcnt<4>(a, b);
      default: return pair_popcnt<0>(a, b);
    }
  }
  switch (set_.words) {
    case 1: return pair_in<1>(a, b);
    case 2: return pair_in<2>(a, b);
    case 3: return pair_in<3>(a, b);
    case 4: return pair_in<4>(a, b);
    default: return pair_in<0>(a, b);
  }
}

template <class Cell>
void RestrictedKernel<Cell>::compute(const GeneSide& rows, const GeneSide& cols, const Postings&, std::size_t r0,
                                     std::size_t r1, std::size_t c0, std::size_t c1, Cell* out,
                                     std::size_t stride) const {
  for (std::size_t r = r0; r < r1; ++r) {
    Cell* row = out + (r - r0) * stride;
    for (std::size_t c = c0; c < c1; ++c) row[c - c0] = static_cast<Cell>(pair(rows.trees[r], cols.trees[c]));
  }
}

template class RestrictedKernel<float>;
template class RestrictedKernel<double>;

template <class Cell>
bool restricted_symmetric(const RestrictedKernel<Cell>& kernel, std::size_t n, std::atomic<std::uint64_t>* counter,
                          Cell* cells) {
  constexpr std::size_t kChunkRows = 4;
  const std::size_t chunks = (n + kChunkRows - 1) / kChunkRows;
  // Task k takes chunk k and chunk chunks - 1 - k, so every task holds about as many pairs: the pool
  // runs tasks in batches with a barrier between them, and a long task beside a short one would idle
  // a core.
  const auto fill_chunk = [&](std::size_t k) {
    const std::size_t r0 = k * kChunkRows;
    const std::size_t r1 = std::min(n, r0 + kChunkRows);
    for (std::size_t r = r0; r < r1; ++r) {
      Cell* row = cells + r * n;
      row[r] = static_cast<Cell>(kernel.pair(r, r));
      for (std::size_t c = r + 1; c < n; ++c) row[c] = static_cast<Cell>(kernel.pair(r, c));
    }
    if (counter != nullptr) counter->fetch_add(pairs_in_rows(n, r0, r1 - r0), std::memory_order_relaxed);
  };
  const bool filled = pool::parallel_for_batches((chunks + 1) / 2, [&](std::size_t task) {
    fill_chunk(task);
    if (chunks - 1 - task != task) fill_chunk(chunks - 1 - task);
  });
  if (!filled) return false;
  // Tile row `tile` writes only its rows left of the diagonal and reads only finished cells above it.
  return pool::parallel_for_batches((n + kMirrorTile - 1) / kMirrorTile, [&](std::size_t tile) {
    const std::size_t first = tile * kMirrorTile;
    const std::size_t last = std::min(n, first + kMirrorTile);
    for (std::size_t c0 = 0; c0 < last; c0 += kMirrorTile) {
      for (std::size_t r = first; r < last; ++r) {
        const std::size_t c1 = std::min(r, c0 + kMirrorTile);
        for (std::size_t c = c0; c < c1; ++c) cells[r * n + c] = cells[c * n + r];
      }
    }
  });
}

template <class Cell>
bool restricted_block(const RestrictedKernel<Cell>& kernel, std::span<const std::uint64_t> rows,
                      std::span<const std::uint64_t> cols, std::atomic<std::uint64_t>* counter, Cell* cells) {
  return drivers::run_block(kernel, rows, cols, CellRows<Cell>{cells, cols.size()}, counter, kBlockTileTrees);
}

template <class Cell>
std::optional<Reductions> restricted_reduce(const RestrictedKernel<Cell>& kernel, std::span<const std::uint64_t> rows,
                                            std::span<const std::uint64_t> cols, const ReduceRequest& request,
                                            std::atomic<std::uint64_t>* counter) {
  return drivers::run_reduce(kernel, rows, cols, request, counter, kBlockTileTrees);
}

template std::optional<Reductions> restricted_reduce<float>(const RestrictedKernel<float>&,
                                                            std::span<const std::uint64_t>,
                                                            std::span<const std::uint64_t>, const ReduceRequest&,
                                                            std::atomic<std::uint64_t>*);
template std::optional<Reductions> restricted_reduce<double>(const RestrictedKernel<double>&,
                                                             std::span<const std::uint64_t>,
                                                             std::span<const std::uint64_t>, const ReduceRequest&,
                                                             std::atomic<std::uint64_t>*);
template bool restricted_symmetric<float>(const RestrictedKernel<float>&, std::size_t, std::atomic<std::uint64_t>*,
                                          float*);
template bool restricted_symmetric<double>(const RestrictedKernel<double>&, std::size_t,
                                           std::atomic<std::uint64_t>*, double*);
template bool restricted_block<float>(const RestrictedKernel<float>&, std::span<const std::uint64_t>,
                                      std::span<const std::uint64_t>, std::atomic<std::uint64_t>*, float*);
template bool restricted_block<double>(const RestrictedKernel<double>&, std::span<const std::uint64_t>,
                                       std::span<const std::uint64_t>, std::atomic<std::uint64_t>*, double*);

}  // namespace brantoveil::distances
