// Distances between gene trees on the taxa each pair shares: every edge restricted to the shared
// taxa, then Robinson-Foulds, weighted Robinson-Foulds or Kuhner-Felsenstein on what is left.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "distances/block.h"
#include "distances/postings.h"
#include "snapshot/genes.h"

namespace brantoveil::distances {

enum class GeneMetric { rf, wrf, kf };

/// Fewest shared taxa a pair needs for a distance (else NaN): 4 unrooted, 3 rooted.
inline std::size_t fewest_shared(bool rooted) { return rooted ? 3 : 4; }

/// One side of a block of gene trees: their indices.
struct GeneSide {
  std::vector<std::uint64_t> trees;
  std::size_t size() const { return trees.size(); }
};

/*
 * The restricted-split kernel. For a pair with shared taxa M (and the kept taxa, when a caller
 * keeps only some), each edge's side is cut to M and made canonical (unrooted: the side without
 * M's first taxon); a side that becomes empty or all of M is dropped, one of a single taxon (or of
 * all but M's first) is that taxon's pendant edge, and edges that become the same are one edge
 * with their lengths summed, in the tree's edge order. Robinson-Foulds counts the non-pendant
 * sides in exactly one tree; the weighted metrics run over every side, pendant ones included.
 * Each pair is computed from the tree with the lower index, so a cell has the same bits whichever
 * driver, block or thread computed it. Scratch tables are per thread: no locks.
 */
template <class CellType>
class RestrictedKernel {
 public:
  using Cell = CellType;
  using Rows = GeneSide;
  using Columns = GeneSide;
  static constexpr std::size_t kBlockRows = 8;

  /// `keep` is empty or a mask over the set's taxa that every shared set is cut to. With
  /// `leave_same_taxa`, pairs of distinct trees holding the same taxa (enough for a distance) are
  /// left as 0, for a caller that computes them with the kernels of one taxon set.
  RestrictedKernel(const snapshot::GeneSet& set, GeneMetric metric, std::span<const std::uint64_t> keep,
                   bool leave_same_taxa = false);

  GeneSide lay_out(std::span<const std::uint64_t> trees) const { return {{trees.begin(), trees.end()}}; }
  GeneSide lay_out_columns(std::span<const std::uint64_t> trees) const { return lay_out(trees); }
  Postings postings(const GeneSide&) const { return {}; }

  /// Cells of rows [r0, r1) against columns [c0, c1), row r's at out + (r - r0) * stride.
  void compute(const GeneSide& rows, const GeneSide& cols, const Postings&, std::size_t r0, std::size_t r1,
               std::size_t c0, std::size_t c1, Cell* out, std::size_t stride) const;

  /// The distance of trees a and b; NaN when they share too few taxa.
  double pair(std::uint64_t a, std::uint64_t b) const;

 private:
  template <std::size_t W>
  double pair_in(std::uint64_t a, std::uint64_t b) const;
  template <std::size_t W>
  double pair_popcnt(std::uint64_t a, std::uint64_t b) const;  // pair_in with the popcount instruction

  const snapshot::GeneSet& set_;
  GeneMetric metric_;
  std::vector<std::uint64_t> keep_;
  std::size_t table_bits_ = 0;
  bool popcnt_ = false;
  bool leave_same_taxa_ = false;
};

extern template class RestrictedKernel<float>;
extern template class RestrictedKernel<double>;

/// The symmetric n x n matrix of every tree of the set into `cells` (n x n, any contents): the
/// cells right of the diagonal in row chunks on the pool, then mirrored. Adds pairs done to
/// `counter`; false when the calling thread's stop check ended it.
template <class Cell>
[[nodiscard]] bool restricted_symmetric(const RestrictedKernel<Cell>& kernel, std::size_t n,
                                        std::atomic<std::uint64_t>* counter, Cell* cells);

/// Every tree of `rows` against every tree of `cols`, row by row into `cells` (row stride
/// cols.size()), by the block driver; false when stopped.
template <class Cell>
[[nodiscard]] bool restricted_block(const RestrictedKernel<Cell>& kernel, std::span<const std::uint64_t> rows,
                                    std::span<const std::uint64_t> cols, std::atomic<std::uint64_t>* counter,
                                    Cell* cells);

/// Row sums, nearest trees and a histogram of `rows` against `cols`, by the reduction driver, row
/// chunk by row chunk (no block is held whole); nothing when stopped.
template <class Cell>
std::optional<Reductions> restricted_reduce(const RestrictedKernel<Cell>& kernel, std::span<const std::uint64_t> rows,
                                            std::span<const std::uint64_t> cols, const ReduceRequest& request,
                                            std::atomic<std::uint64_t>* counter);

}  // namespace brantoveil::distances
