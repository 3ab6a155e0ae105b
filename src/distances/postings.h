// Postings: each rare split's ascending list of the column trees holding it, found by column range.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "distances/layout.h"

namespace brantoveil::distances {

/// Inverted index of a block's column side: for each sparse index, the positions of the column
/// trees holding it, ascending, with their lengths (weighted metrics only).
struct Postings {
  std::vector<std::uint64_t> offsets;  // sparse index s owns positions[offsets[s], offsets[s + 1])
  std::vector<std::uint32_t> positions;
  std::vector<double> lengths;
  std::size_t columns = 0;

  /// Inverts the sparse lists of `cols` over `sparse` sparse indices.
  template <class T, class Total>
  static Postings of(const Side<T, Total>& cols, std::uint32_t sparse, bool weighted);

  /// Where sparse index s's list holds the columns [c0, c1): positions [first, last).
  struct Range {
    std::uint64_t first;
    std::uint64_t last;
  };
  /// The part of sparse index s's list inside columns [c0, c1) (binary searches unless whole).
  Range range(std::uint32_t s, std::size_t c0, std::size_t c1) const {
    const std::uint32_t* begin = positions.data() + offsets[s];
    const std::uint32_t* end = positions.data() + offsets[s + 1];
    if (c0 > 0) begin = std::lower_bound(begin, end, static_cast<std::uint32_t>(c0));
    if (c1 < columns) end = std::lower_bound(begin, end, static_cast<std::uint32_t>(c1));
    return {static_cast<std::uint64_t>(begin - positions.data()), static_cast<std::uint64_t>(end - positions.data())};
  }
};

template <class T, class Total>
Postings Postings::of(const Side<T, Total>& cols, std::uint32_t sparse, bool weighted) {
  Postings out;
  out.columns = cols.size();
  // Every list's length first, then one pass in column order, so every list comes out ascending
  // and a column's entries keep their order.
  out.offsets.assign(std::size_t{sparse} + 1, 0);
  for (const std::uint32_t s : cols.sparse) ++out.offsets[s + 1];
  for (std::size_t s = 0; s < sparse; ++s) out.offsets[s + 1] += out.offsets[s];
  std::vector<std::uint64_t> cursor(out.offsets.begin(), out.offsets.end() - 1);
  out.positions.resize(cols.sparse.size());
  if (weighted) out.lengths.resize(cols.sparse.size());
  for (std::size_t j = 0; j < cols.size(); ++j) {
    for (std::uint64_t e = cols.sparse_offsets[j]; e < cols.sparse_offsets[j + 1]; ++e) {
      const std::uint64_t at = cursor[cols.sparse[e]]++;
      out.positions[at] = static_cast<std::uint32_t>(j);
      if (weighted) out.lengths[at] = cols.sparse_lengths[e];
    }
  }
  return out;
}

}  // namespace brantoveil::distances
