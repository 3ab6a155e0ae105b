// Grouping trees by split set, and the gather that spreads a table over distinct sets to all trees.
#include "distances/repeats.h"

#include <algorithm>
#include <unordered_map>

#include "distances/matrix.h"
#include "pool/pool.h"

namespace brantoveil::distances {

namespace {

// Mixes one split ID into a set hash; the ids are sorted first, so equal sets hash equal.
inline std::uint64_t mix(std::uint64_t h, std::uint32_t id) {
  h ^= id + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 31);
}

// Rows gathered per task: a few rows keep the scheduling cost per cell negligible.
constexpr std::size_t kRowsPerTask = 4;

// One row: out[c] = source[class_of[c]]. The source row is at most a few KiB and stays in L1;
// the writes stream. Compiled twice so that AVX-512's gather does 16 cells per instruction.
[[gnu::always_inline]] inline void gather_row(const std::uint32_t* source, const std::uint32_t* class_of,
                                              std::size_t n, std::uint32_t* out) {
  for (std::size_t c = 0; c < n; ++c) out[c] = source[class_of[c]];
}

__attribute__((target("avx512f"))) void gather_row_avx512(const std::uint32_t* source,
                                                          const std::uint32_t* class_of, std::size_t n,
                                                          std::uint32_t* out) {
  gather_row(source, class_of, n, out);
}

void gather_row_plain(const std::uint32_t* source, const std::uint32_t* class_of, std::size_t n,
                      std::uint32_t* out) {
  gather_row(source, class_of, n, out);
}

using GatherRow = void (*)(const std::uint32_t*, const std::uint32_t*, std::size_t, std::uint32_t*);

GatherRow pick_gather_row() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") ? gather_row_avx512 : gather_row_plain;
}

}  // namespace

TreeClasses group_repeats(std::span<const snapshot::InternSnap> snaps) {
  const std::size_t n = snaps.size();
  // Each tree's ids sorted into one flat array, and the hash of the sorted list, in parallel.
  std::vector<std::size_t> offsets(n + 1, 0);
  for (std::size_t t = 0; t < n; ++t) offsets[t + 1] = offsets[t] + snaps[t].ids.size();
  std::vector<std::uint32_t> sorted(offsets[n]);
  std::vector<std::uint64_t> hashes(n);
  constexpr std::size_t kTreesPerTask = 256;
  pool::parallel_for((n + kTreesPerTask - 1) / kTreesPerTask, [&](std::size_t task) {
    const std::size_t end = std::min(n, (task + 1) * kTreesPerTask);
    for (std::size_t t = task * kTreesPerTask; t < end; ++t) {
      std::uint32_t* ids = sorted.data() + offsets[t];
      std::copy(snaps[t].ids.begin(), snaps[t].ids.end(), ids);
      std::sort(ids, ids + snaps[t].ids.size());
      std::uint64_t h = mix(snaps[t].ids.size(), snaps[t].pendants);
      for (std::size_t k = 0; k < snaps[t].ids.size(); ++k) h = mix(h, ids[k]);
      hashes[t] = h;
    }
  });

  // Serial grouping in input order, so class numbers never depend on the thread count. Equal
  // hashes are confirmed on the sorted lists.
  TreeClasses classes;
  classes.class_of.resize(n);
  std::unordered_multimap<std::uint64_t, std::uint32_t> by_hash;
  by_hash.reserve(n);
  const auto same = [&](std::size_t a, std::size_t b) {
    return snaps[a].pendants == snaps[b].pendants &&
           std::equal(sorted.begin() + offsets[a], sorted.begin() + offsets[a + 1], sorted.begin() + offsets[b],
                      sorted.begin() + offsets[b + 1]);
  };
  for (std::size_t t = 0; t < n; ++t) {
    std::uint32_t found = UINT32_MAX;
    const auto [begin, end] = by_hash.equal_range(hashes[t]);
    for (auto it = begin; it != end; ++it) {
      if (same(classes.first[it->second], t)) {
        found = it->second;
        break;
      }
    }
    if (found == UINT32_MAX) {
      found = static_cast<std::uint32_t>(classes.first.size());
      classes.first.push_back(static_cast<std::uint32_t>(t));
      by_hash.emplace(hashes[t], found);
    }
    classes.class_of[t] = found;
  }
  return classes;
}

void expand_classes(std::span<const std::uint32_t> table, const TreeClasses& classes, std::uint32_t* cells,
                    std::atomic<std::uint64_t>* counter) {
  const std::size_t n = classes.class_of.size();
  const std::size_t m = classes.first.size();
  static const GatherRow gather = pick_gather_row();
  const std::uint32_t* class_of = classes.class_of.data();
  pool::parallel_for((n + kRowsPerTask - 1) / kRowsPerTask, [&](std::size_t task) {
    const std::size_t r0 = task * kRowsPerTask;
    const std::size_t rows = std::min(kRowsPerTask, n - r0);
    for (std::size_t r = r0; r < r0 + rows; ++r) {
      gather(table.data() + std::size_t{class_of[r]} * m, class_of, n, cells + r * n);
    }
    if (counter != nullptr) counter->fetch_add(pairs_in_rows(n, r0, rows), std::memory_order_relaxed);
  });
}

}  // namespace brantoveil::distances
