// Export matrices and clade bytes, written row by row on the pool.
#include "snapshot/export.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "pool/pool.h"

namespace brantoveil::snapshot {

namespace {

// The splits of a tree are the pendant IDs 0..pendants-1 followed by its interned IDs.
template <class Visit>
void for_each_split(const InternSnap& snap, Visit&& visit) {
  std::size_t k = 0;
  for (std::uint32_t id = 0; id < snap.pendants; ++id) visit(k++, id);
  for (std::uint32_t id : snap.ids) visit(k++, id);
}

// Stores one value as little-endian binary64 whatever the host order.
inline void store_le_f64(std::uint8_t* out, double value) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
  std::memcpy(out, &bits, sizeof bits);
}

[[noreturn]] void wrong_export_size(std::size_t expected, std::size_t given) {
  std::fprintf(stderr, "brantoveil: internal error: an export view holds %zu bytes where %zu are needed\n", given,
               expected);
  std::abort();
}

// Sorts `order` by `less` on the pool: parts sorted in parallel, then merged pairwise, level by
// level. The result is the one order of a strict total order, so the split never shows.
template <class Less>
void parallel_sort(std::vector<std::uint64_t>& order, Less less) {
  constexpr std::size_t kMinPart = 1 << 14;
  const std::size_t parts =
      std::max<std::size_t>(1, std::min(pool::thread_count() * 2, order.size() / kMinPart));
  const auto bound = [&](std::size_t part) { return order.size() * part / parts; };
  pool::parallel_for(parts, [&](std::size_t part) {
    std::sort(order.begin() + bound(part), order.begin() + bound(part + 1), less);
  });
  for (std::size_t width = 1; width < parts; width *= 2) {
    pool::parallel_for((parts + 2 * width - 1) / (2 * width), [&](std::size_t k) {
      const std::size_t first = 2 * width * k;
      const std::size_t middle = std::min(first + width, parts);
      const std::size_t last = std::min(first + 2 * width, parts);
      if (middle < last) {
        std::inplace_merge(order.begin() + bound(first), order.begin() + bound(middle), order.begin() + bound(last),
                           less);
      }
    });
  }
}

}  // namespace

// Columns follow the packed-bit-row order of the canonical clades, which depends only on which
// splits occur: not on tree order, IDs, threads or chunking. Distinct splits have distinct
// clades, so the order has no ties. The clades are packed into bit rows once, in parallel, and
// the rows compared word by word, which is the packed order by definition.
std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>> column_order(const Snapshots& set) {
  const CladeTable& clades = set.clades;
  const std::size_t count = clades.size();
  std::uint32_t leaves = static_cast<std::uint32_t>(set.leaf_names.size());
  for (const std::uint32_t leaf : clades.members) leaves = std::max(leaves, leaf + 1);
  const std::size_t words = std::max<std::size_t>(1, (std::size_t{leaves} + 63) / 64);
  std::vector<std::uint64_t> rows(count * words, 0);
  constexpr std::size_t kCladesPerTask = 4096;
  pool::parallel_for((count + kCladesPerTask - 1) / kCladesPerTask, [&](std::size_t task) {
    const std::size_t end = std::min(count, (task + 1) * kCladesPerTask);
    for (std::size_t k = task * kCladesPerTask; k < end; ++k) {
      std::uint64_t* row = rows.data() + k * words;
      for (const std::uint32_t leaf : clades.clade(k)) row[leaf / 64] |= std::uint64_t{1} << (leaf % 64);
    }
  });
  std::vector<std::uint64_t> split_at(count);
  std::iota(split_at.begin(), split_at.end(), std::uint64_t{0});
  if (words == 1) {
    parallel_sort(split_at, [&](std::uint64_t a, std::uint64_t b) { return rows[a] < rows[b]; });
  } else {
    parallel_sort(split_at, [&](std::uint64_t a, std::uint64_t b) {
      const std::uint64_t* x = rows.data() + a * words;
      const std::uint64_t* y = rows.data() + b * words;
      std::size_t w = 0;
      while (w + 1 < words && x[w] == y[w]) ++w;
      return x[w] < y[w];
    });
  }
  std::vector<std::uint64_t>().swap(rows);
  std::vector<std::uint64_t> column_of(count);
  for (std::size_t column = 0; column < count; ++column) column_of[split_at[column]] = column;
  return {std::move(column_of), std::move(split_at)};
}

// Rows are cleared (unless lent as zeros) and written by the task that owns them, so storage from
// the caller needs no serial pass first, and the calling thread can be stopped between batches.
bool write_presence_matrix(const Snapshots& set, const std::vector<std::uint64_t>& column_of,
                           std::span<std::uint8_t> out, Contents contents) {
  const std::vector<InternSnap>& snaps = set.snaps;
  const std::size_t columns = column_of.size();
  if (out.size() != snaps.size() * columns) wrong_export_size(snaps.size() * columns, out.size());
  return pool::parallel_for_batches(snaps.size(), [&](std::size_t t) {
    std::uint8_t* row = out.data() + t * columns;
    if (contents != Contents::zeros) std::memset(row, 0, columns);
    // A set built without clades has no columns; its IDs are skipped rather than misplaced.
    for_each_split(snaps[t], [&](std::size_t, std::uint32_t id) {
      if (id < columns) row[column_of[id]] = 1;
    });
  });
}

bool write_branch_length_matrix(const Snapshots& set, const std::vector<std::uint64_t>& column_of,
                                std::span<std::uint8_t> out, Contents contents) {
  const std::vector<InternSnap>& snaps = set.snaps;
  const std::size_t columns = column_of.size();
  const std::size_t row_bytes = columns * sizeof(double);
  if (out.size() != snaps.size() * row_bytes) wrong_export_size(snaps.size() * row_bytes, out.size());
  if (columns == 0) return true;
  return pool::parallel_for_batches(snaps.size(), [&](std::size_t t) {
    const InternSnap& snap = snaps[t];
    std::uint8_t* row = out.data() + t * row_bytes;
    // Zero bytes are 0.0, so absent splits need no other write.
    if (contents != Contents::zeros) std::memset(row, 0, row_bytes);
    for_each_split(snap, [&](std::size_t k, std::uint32_t id) {
      if (k < snap.lengths.size() && id < columns) store_le_f64(row + column_of[id] * sizeof(double), snap.lengths[k]);
    });
  });
}

std::pair<std::vector<std::uint8_t>, std::vector<std::uint64_t>> build_presence_matrix(const Snapshots& set) {
  auto [column_of, split_at] = column_order(set);
  std::vector<std::uint8_t> bytes(set.snaps.size() * column_of.size());
  if (!write_presence_matrix(set, column_of, bytes)) return {};
  return {std::move(bytes), std::move(split_at)};
}

std::pair<std::vector<std::uint8_t>, std::vector<std::uint64_t>> build_branch_length_matrix(const Snapshots& set) {
  auto [column_of, split_at] = column_order(set);
  std::vector<std::uint8_t> bytes(set.snaps.size() * column_of.size() * sizeof(double));
  if (!write_branch_length_matrix(set, column_of, bytes)) return {};
  return {std::move(bytes), std::move(split_at)};
}

std::vector<std::uint8_t> build_bipartition_bytes(const Snapshots& set, const std::vector<std::uint64_t>& split_at) {
  const std::size_t row_bytes = (set.leaf_names.size() + 7) / 8;
  std::vector<std::uint8_t> bytes(split_at.size() * row_bytes, 0);
  for (std::size_t column = 0; column < split_at.size(); ++column) {
    if (column % 4096 == 0 && pool::stop_requested()) return {};
    std::uint8_t* row = bytes.data() + column * row_bytes;
    for (std::uint32_t leaf : set.clades.clade(split_at[column])) {
      row[leaf / 8] |= static_cast<std::uint8_t>(1u << (leaf % 8));
    }
  }
  return bytes;
}

}  // namespace brantoveil::snapshot
