// The n x n result matrix: parallel row chunks fill the upper triangle, then one mirror pass (or
// the chunks fill whole rows).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "pool/pool.h"
#include "shared/buffer.h"
#include "shared/pages.h"

namespace brantoveil::distances {

/// Pairs (r, c) with c > r whose first index lies in rows [r0, r0 + rows) of an n-row matrix.
std::uint64_t pairs_in_rows(std::size_t n, std::size_t r0, std::size_t rows);

/// Copies every cell above the diagonal to its mirror cell, in 64 x 64 tiles on the pool.
template <class T>
void mirror_upper(T* cells, std::size_t n);

/// `mirror_upper` for the tile rows that start at rows [first, last), both multiples of kMirrorTile.
template <class T>
void mirror_upper_rows(T* cells, std::size_t n, std::size_t first, std::size_t last);

inline constexpr std::size_t kMirrorTile = 64;

extern template void mirror_upper<std::uint32_t>(std::uint32_t*, std::size_t);
extern template void mirror_upper<double>(double*, std::size_t);
extern template void mirror_upper_rows<std::uint32_t>(std::uint32_t*, std::size_t, std::size_t, std::size_t);
extern template void mirror_upper_rows<double>(double*, std::size_t, std::size_t, std::size_t);

/// Ends the process: a result view of the wrong size would hand back memory nobody wrote.
[[noreturn]] void wrong_result_size(std::size_t expected, std::size_t given);

/// Who writes the cells left of the diagonal: the pool's mirror after the fill, or the kernel
/// itself, computing every pair twice, which pays where computing a pair costs less than the
/// mirror's second pass over the matrix.
enum class LowerCells { mirror, kernel };

/// Fills `cells` with the symmetric n x n matrix of `kernel`(r0, rows) run on chunks of
/// `rows_per_chunk` rows. An empty owned `cells` gets a new zeroed buffer; a view must hold n x n
/// elements. False when the calling thread's stop check ended the fill (the cells are then
/// meaningless).
///
/// With the mirror, the kernel's rows start zeroed from the diagonal on; chunks run in parallel
/// and each adds its pair count to `counter` when given; the pool then mirrors the upper triangle.
/// The kernel must leave every cell (r, c) with c > r of its rows final and the diagonal zero; it
/// may write anything left of the diagonal in its own rows, since chunks own disjoint rows (no
/// lock guards the buffer) and the mirror overwrites all of it. Without it, the kernel's rows start wholly zeroed and it must leave every
/// cell of them final, the diagonal zero. The counter is bumped once per chunk, after its cells are
/// final, so a reader never sees more than the pairs actually done and sees exactly n(n-1)/2 once
/// the loop has joined.
template <class T, class Kernel>
[[nodiscard]] bool fill_symmetric(std::size_t n, std::size_t rows_per_chunk, std::atomic<std::uint64_t>* counter,
                                  Kernel&& kernel, Buffer<T>& cells, LowerCells lower = LowerCells::mirror) {
  const std::size_t total = n * n;
  if (cells.size() != total) {
    if (!cells.owned() || !cells.empty()) wrong_result_size(total, cells.size());
    cells = Buffer<T>(total);
    prepare_result_pages(cells.data(), total * sizeof(T));
  }
  // Storage from the caller, unless lent as zeros, is cleared chunk by chunk on the workers,
  // which also faults it in; with the mirror only from the diagonal on, since the mirror
  // overwrites everything left of it.
  const bool clear = !cells.zeroed();
  std::size_t chunk_len = rows_per_chunk * n;
  if (chunk_len == 0) chunk_len = 1;
  const std::size_t chunks = (total + chunk_len - 1) / chunk_len;
  T* base = cells.data();
  // Only a large owned buffer has its own fresh mapping; a small one's pages come from the heap,
  // and a lender faults its own storage in.
  const bool fresh_pages = cells.owned() && total * sizeof(T) >= (std::size_t{1} << 20);
  const bool filled = pool::parallel_for_batches(chunks, [&](std::size_t k) {
    const std::size_t start = k * chunk_len;
    const std::size_t len = std::min(chunk_len, total - start);
    const std::size_t r0 = k * rows_per_chunk;
    if (clear) {
      if (lower == LowerCells::kernel) {
        std::memset(static_cast<void*>(base + start), 0, len * sizeof(T));
      } else {
        for (std::size_t r = r0; r < r0 + len / n; ++r) {
          std::memset(static_cast<void*>(base + r * n + r), 0, (n - r) * sizeof(T));
        }
      }
    } else if (fresh_pages) {
      populate_pages(base + start, len * sizeof(T));
    }
    kernel(r0, std::span<T>(base + start, len));
    if (counter != nullptr) {
      const std::size_t rows = len / n;
      counter->fetch_add(pairs_in_rows(n, r0, rows), std::memory_order_relaxed);
    }
  });
  if (!filled) return false;
  if (lower == LowerCells::kernel) return true;
  // Tile row rb writes only columns [rb, rb + 64) below the diagonal and reads only the finished
  // upper triangle, so the tile rows run in parallel, with stop checks between batches.
  return pool::parallel_for_batches((n + kMirrorTile - 1) / kMirrorTile, [&](std::size_t tile) {
    const std::size_t first = tile * kMirrorTile;
    mirror_upper_rows(base, n, first, std::min(first + kMirrorTile, n));
  });
}

}  // namespace brantoveil::distances
