// Pair counting and the tiled mirror of the symmetric result matrix.
#include "distances/matrix.h"

#include <algorithm>

namespace brantoveil::distances {

std::uint64_t pairs_in_rows(std::size_t n, std::size_t r0, std::size_t rows) {
  if (rows == 0) return 0;
  const std::uint64_t w = rows;
  return w * (n - 1 - r0) - w * (w - 1) / 2;
}

template <class T>
void mirror_upper(T* cells, std::size_t n) {
  // 64 x 64 tiles keep both the row-wise reads and the column-wise writes inside a cached block.
  constexpr std::size_t kTile = 64;
  for (std::size_t rb = 0; rb < n; rb += kTile) {
    const std::size_t r_end = std::min(rb + kTile, n);
    for (std::size_t cb = rb; cb < n; cb += kTile) {
      const std::size_t c_end = std::min(cb + kTile, n);
      for (std::size_t r = rb; r < r_end; ++r) {
        for (std::size_t c = std::max(cb, r + 1); c < c_end; ++c) cells[c * n + r] = cells[r * n + c];
      }
    }
  }
}

template void mirror_upper<std::uint32_t>(std::uint32_t*, std::size_t);
template void mirror_upper<double>(double*, std::size_t);

}  // namespace brantoveil::distances
