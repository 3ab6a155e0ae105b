// The kernel family: for each metric one side layout and one hook that computes the cells of
// rows [r0, r1) of one side against columns [c0, c1) of another. The drivers (drivers.h) run it
// as the one-call symmetric matrix, as rectangular blocks and as reductions.
//
// The one-call matrix computes each pair from the tree with the lower index, and so does every
// hook: a cell may hold the pair either way round, so every asymmetric step (the argument order
// of a term, which total comes first) is taken from the lower tree index, never from the
// row/column role. A cell therefore has the same bits whichever driver and block computed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "distances/layout.h"
#include "distances/panel.h"
#include "distances/postings.h"
#include "distances/rf.h"
#include "distances/weighted.h"
#include "shared/records.h"

namespace brantoveil::distances {

/// The cells a hook must leave final.
enum class Wanted {
  /// Every cell of the block.
  all,
  /// Rows and columns are one side whose trees ascend with their positions (the one call with a
  /// mirror): only the cells right of the diagonal. The diagonal is left as it came, the cells left
  /// of it may hold anything.
  above_diagonal,
};

// Robinson-Foulds ------------------------------------------------------------------------------

/// Cells per hook call of the Robinson-Foulds finish: its rows are held transposed, side by side.
inline constexpr std::size_t kRfTileRows = 16;

/// A Robinson-Foulds side: bit rows over the dense columns, each row's non-zero words, and
/// K = the tree's splits less the universal ones; its columns side by side when the finish reads
/// them so (word w of tree j at w * column_stride + j, the padding zero).
struct RfSide : Side<std::uint64_t, std::uint32_t> {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;  // per tree: first non-zero word, one past the last
  std::vector<std::uint64_t> column_words;
  std::size_t column_stride = 0;
};

/// The dense finish of rows [r0, r0 + count) (count <= kRfTileRows) against columns [c0, c1):
/// cell (r, c), at cells[(r - r0) * stride + c - c0], enters holding the rare splits the two trees
/// share and leaves holding K_r + K_c - 2 * (dense shared + rare shared), 0 for a tree against itself.
using RfFinish = void (*)(const RfSide& rows, const RfSide& cols, std::size_t r0, std::size_t count, std::size_t c0,
                          std::size_t c1, std::uint32_t* cells, std::size_t stride);

/// One implementation of the Robinson-Foulds finish: the finish, whether it reads the columns side
/// by side, and the relative cost of a finish word, which decides between computing every pair
/// twice and mirroring (see RfKernel::whole_rows).
struct RfPass {
  RfFinish finish;
  bool columns_side_by_side;
  std::size_t word_cost;
};

/// Robinson-Foulds over a sample's columns: splits held by every tree are left out, as they
/// cancel from every pair, and splits of one tree take no column.
class RfKernel {
 public:
  using Cell = std::uint32_t;
  using Rows = RfSide;
  using Columns = RfSide;
  static constexpr bool kWeighted = false;

  /// Rows per block task: one transposed tile of the finish.
  static constexpr std::size_t kBlockRows = kRfTileRows;

  /// `universal` counts the split IDs `layout` leaves out because every tree holds them; `isa`
  /// pins the finish (tests compare them) and must be supported.
  RfKernel(const EncodedTrees& sample, const ColumnLayout& layout, std::uint32_t universal,
           std::optional<Isa> isa = {});

  /// Lays the trees `trees` out as rows.
  RfSide lay_out(std::span<const std::uint64_t> trees) const;
  /// Lays the trees `trees` out as columns (side by side too, when the finish reads them so).
  RfSide lay_out_columns(std::span<const std::uint64_t> trees) const;
  /// The postings of a column side.
  Postings postings(const RfSide& cols) const { return Postings::of(cols, layout_.sparse(), false); }

  /// Whether computing every pair twice costs less than computing half and mirroring: where the
  /// finish over `dense_words` words a pair is cheap at the level that runs.
  bool whole_rows(std::size_t dense_words) const;

  /// Cells of rows [r0, r1) against columns [c0, c1), which enter as zeros; row r's cells start
  /// at out + (r - r0) * stride. Every cell is finished whatever is `wanted`.
  void compute(const RfSide& rows, const RfSide& cols, const Postings& postings, std::size_t r0, std::size_t r1,
               std::size_t c0, std::size_t c1, Cell* out, std::size_t stride, Wanted wanted = Wanted::all) const;

 private:
  const EncodedTrees& sample_;
  const ColumnLayout& layout_;
  std::uint32_t universal_;
  const RfPass& pass_;
};

// Weighted metrics ----------------------------------------------------------------------------

/// A weighted side: length rows over the dense columns, each tree's private sum and total
/// T = private + (dense + rare); with the panel pass, its dense values as panels of 8 trees
/// instead of rows.
struct WeightedSide : Side<double, double> {
  std::vector<double> privates;
  std::optional<panel_terms::DensePanels> panels;

  /// Tree j's dense values, wherever they are held.
  DenseValues dense(std::size_t j) const {
    if (panels) return {panels->panel(j / panel_terms::kLanes) + j % panel_terms::kLanes, panel_terms::kLanes};
    return {width == 0 ? nullptr : row(j), 1};
  }
  /// Tree j's rare splits.
  RareValues rare(std::size_t j) const {
    const std::uint64_t first = sparse_offsets[j];
    return {sparse.data() + first, sparse_lengths.data() + first, sparse_offsets[j + 1] - first};
  }
};

/// The cells a dense pass finishes: rows [r0, r1) against columns [c0, c1), cell (r, c) at
/// out + (r - r0) * stride + c - c0; with `above`, only the cells Wanted::above_diagonal asks for.
struct DenseBlock {
  std::size_t r0, r1, c0, c1;
  double* out;
  std::size_t stride;
  bool above;

  /// Rows [first, last) of this block, their cells where this block has them.
  DenseBlock rows_from(std::size_t first, std::size_t last) const {
    return {first, last, c0, c1, out + (first - r0) * stride, stride, above};
  }
};

/// The dense pass of a block: cells enter holding their shared rare sum and leave holding the distance.
using WeightedDense = void (*)(const WeightedSide& rows, const WeightedSide& cols, const DenseBlock& block);

/// Weighted Robinson-Foulds or Kuhner-Felsenstein over a sample's columns; the sample has lengths.
template <class Metric>
class WeightedKernel {
 public:
  using Cell = double;
  using Rows = WeightedSide;
  using Columns = WeightedSide;
  static constexpr bool kWeighted = true;

  /// Rows per block task: a few rows share each column row loaded.
  static constexpr std::size_t kBlockRows = 8;

  /// `isa` pins the dense pass (tests compare them); it must be supported.
  WeightedKernel(const EncodedTrees& sample, const ColumnLayout& layout, std::optional<Isa> isa = {});

  /// Lays the trees `trees` out as rows (as panels for the panel pass).
  WeightedSide lay_out(std::span<const std::uint64_t> trees) const;
  /// Lays the trees `trees` out as columns, as `lay_out` does.
  WeightedSide lay_out_columns(std::span<const std::uint64_t> trees) const;
  /// The postings of a column side.
  Postings postings(const WeightedSide& cols) const { return Postings::of(cols, layout_.sparse(), true); }

  /// Cells of rows [r0, r1) against columns [c0, c1), which enter as zeros (those `wanted`, at
  /// least); row r's cells start at out + (r - r0) * stride. With the panel pass `c0` is best a
  /// multiple of 8, as every driver's is.
  void compute(const WeightedSide& rows, const WeightedSide& cols, const Postings& postings, std::size_t r0,
               std::size_t r1, std::size_t c0, std::size_t c1, Cell* out, std::size_t stride,
               Wanted wanted = Wanted::all) const;

 private:
  const EncodedTrees& sample_;
  const ColumnLayout& layout_;
  WeightedDense row_major_;
  WeightedDense panel_;  // null without the panel pass
};

extern template class WeightedKernel<WeightedRf>;
extern template class WeightedKernel<BranchScore>;

}  // namespace brantoveil::distances
