// Column numbering, block sizes, postings and the block-by-block layout with its releases.
#include "distances/layout.h"

#include <gtest/gtest.h>

#include "distances/postings.h"

namespace brantoveil::distances {
namespace {

TEST(AssignColumns, NumbersBySupportThenId) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> supports;
    std::size_t n;
    Eligibility eligible;
    std::uint32_t min_dense_support;
    std::vector<std::uint32_t> columns;
    std::uint32_t dense, total;
  };
  const std::uint32_t X = NO_COLUMN;
  const Case cases[] = {
      {"ties go by ascending ID", {3, 2, 3, 1, 2}, 4, {2, 4}, 3, {0, 2, 1, X, 3}, 2, 4},
      {"universal and single splits take no column", {4, 1, 2, 4, 3}, 4, {2, 4}, 2, {X, X, 1, X, 0}, 2, 2},
      {"weighted keeps universal splits", {4, 1, 2, 4, 3}, 4, {2, 5}, 2, {0, X, 3, 1, 2}, 4, 4},
      {"a threshold above every support leaves no dense column", {2, 3, 3}, 3, {2, 4}, 9, {2, 0, 1}, 0, 3},
      {"no splits", {}, 5, {2, 6}, 2, {}, 0, 0},
  };
  for (const Case& c : cases) {
    const ColumnLayout layout = assign_columns(c.supports, c.n, c.eligible, c.min_dense_support);
    EXPECT_EQ(layout.columns, c.columns) << c.what;
    EXPECT_EQ(layout.dense, c.dense) << c.what;
    EXPECT_EQ(layout.total, c.total) << c.what;
  }
}

TEST(BlockShift, FourTreesPerThreadRoundedDown) {
  const std::pair<std::size_t, std::uint32_t> cases[] = {{0, 2}, {1, 2}, {2, 3}, {3, 3}, {6, 4}, {8, 5}, {9, 5}};
  for (const auto& [threads, shift] : cases) EXPECT_EQ(block_shift_for(threads), shift) << threads;
}

// Five trees over split IDs 0..3 with supports {2, 3, 1, 2}; only IDs 0, 1 and 3 are eligible.
InternSnap tree(std::vector<std::uint32_t> ids, std::vector<double> lengths) {
  InternSnap snap;
  snap.ids = std::move(ids);
  snap.lengths = std::move(lengths);
  return snap;
}

std::vector<InternSnap> five_trees() {
  std::vector<InternSnap> snaps;
  snaps.push_back(tree({1, 0}, {1.0, 2.0}));
  snaps.push_back(tree({2}, {3.0}));
  snaps.push_back(tree({1, 3}, {4.0, 5.0}));
  snaps.push_back(tree({0, 3, 1}, {6.0, 7.0, 8.0}));
  snaps.push_back(tree({}, {}));
  return snaps;
}
const std::vector<std::uint32_t> kSupports = {2, 3, 1, 2};

// Places every eligible split in the row or the sparse list; total = number of splits.
std::uint32_t count_layout(std::size_t, const InternSnap& snap, const ColumnLayout& layout, std::span<double> row,
                           std::vector<SparseEntry>& sparse) {
  for (std::size_t k = 0; k < snap.ids.size(); ++k) {
    const std::uint32_t col = layout.columns[snap.ids[k]];
    if (col == NO_COLUMN) continue;
    if (col < layout.dense) row[col] = snap.lengths[k];
    else sparse.push_back({col - layout.dense, snap.lengths[k]});
  }
  std::sort(sparse.begin(), sparse.end(), [](auto& a, auto& b) { return a.index < b.index; });
  return static_cast<std::uint32_t>(snap.ids.size());
}

TEST(LayOut, BuildsRowsPostingsAndTotalsForAnyBlockSize) {
  // Column order: ID 1 (support 3), then IDs 0 and 3 (support 2); only ID 1 is dense.
  for (const std::uint32_t shift : {0u, 1u, 2u, 5u}) {
    const std::vector<InternSnap> snaps = five_trees();
    Input input = Input::borrowed(snaps, kSupports);
    ColumnLayout columns = assign_columns(input.supports(), 5, {2, 6}, 3);
    ASSERT_EQ(columns.dense, 1u);
    const auto laid = lay_out<double, std::uint32_t>(input, std::move(columns), shift, true, 1, count_layout);
    SCOPED_TRACE(shift);
    EXPECT_EQ(laid.totals, (std::vector<std::uint32_t>{2, 1, 2, 3, 0}));
    EXPECT_EQ(laid.rows.blocks.size(), (5 + (1u << shift) - 1) >> shift);
    const double dense[] = {1.0, 0.0, 4.0, 8.0, 0.0};
    for (std::size_t t = 0; t < 5; ++t) EXPECT_EQ(laid.rows.row(t)[0], dense[t]) << t;

    const Postings& p = laid.postings;
    EXPECT_EQ(p.offsets, (std::vector<std::uint64_t>{0, 2, 4}));
    EXPECT_EQ(p.trees, (std::vector<std::uint32_t>{0, 3, 2, 3}));
    EXPECT_EQ(p.weights, (std::vector<double>{2.0, 6.0, 5.0, 7.0}));
    const std::vector<std::vector<std::uint32_t>> own = {{0}, {}, {1}, {0, 1}, {}};
    for (std::size_t t = 0; t < 5; ++t) {
      const Postings::OwnRange range = p.own_of(t);
      const std::vector<std::uint32_t> got(range.block->columns.begin() + range.first,
                                           range.block->columns.begin() + range.last);
      EXPECT_EQ(got, own[t]) << t;
    }
    // Later trees of sparse column 0 (trees 0 and 3).
    EXPECT_EQ(p.later_than(0, 0), 1u);
    EXPECT_EQ(p.later_than(0, 2), 1u);
    EXPECT_EQ(p.later_than(0, 3), 2u);
    EXPECT_EQ(p.list_end(0), 2u);
  }
}

// A caller taking the rows step by step gets every tree's row once, from steps that start on
// step boundaries, and the layout keeps none of them; totals and postings are unchanged.
TEST(LayOut, TakeRowsHandsOverEveryStepInsteadOfKeepingIt) {
  const std::size_t n = 2 * kLayoutStepTrees + 37;
  std::vector<InternSnap> snaps;
  for (std::size_t t = 0; t < n; ++t) snaps.push_back(tree({0, 1}, {static_cast<double>(t), 0.5}));
  const std::vector<std::uint32_t> supports = {static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(n)};
  for (const std::uint32_t shift : {2u, 3u, 9u}) {
    SCOPED_TRACE(shift);
    Input input = Input::borrowed(snaps, supports);
    std::vector<double> first_column(n, -1.0);
    std::vector<double> second_column(n, -1.0);
    std::vector<std::size_t> starts;
    const auto laid = lay_out<double, std::uint32_t>(
        input, assign_columns(supports, n, {2, n + 1}, 2), shift, true, 2, count_layout,
        [&](std::size_t first, std::size_t end, const auto& row) {
          starts.push_back(first);
          for (std::size_t k = 0; k < end - first; ++k) {
            first_column[first + k] = row(k)[0];
            second_column[first + k] = row(k)[1];
          }
        });
    const std::size_t step = std::max(kLayoutStepTrees, std::size_t{1} << shift);
    std::vector<std::size_t> want_starts;
    for (std::size_t first = 0; first < n; first += step) want_starts.push_back(first);
    EXPECT_EQ(starts, want_starts);
    for (std::size_t t = 0; t < n; ++t) {
      ASSERT_EQ(first_column[t], static_cast<double>(t)) << t;
      ASSERT_EQ(second_column[t], 0.5) << t;
    }
    EXPECT_TRUE(laid.rows.blocks.empty());
    EXPECT_EQ(laid.totals, std::vector<std::uint32_t>(n, 2));
  }
}

TEST(LayOut, NoDenseColumnsLeavesEveryBlockEmpty) {
  const std::vector<InternSnap> snaps = five_trees();
  Input input = Input::borrowed(snaps, kSupports);
  const auto laid = lay_out<double, std::uint32_t>(input, assign_columns(kSupports, 5, {2, 6}, 99), 1,
                                                   false, 0, count_layout);
  ASSERT_EQ(laid.rows.blocks.size(), 3u);
  for (const auto& block : laid.rows.blocks) EXPECT_TRUE(block.empty());
  EXPECT_EQ(laid.postings.offsets.size(), 4u);
  EXPECT_EQ(laid.postings.trees.size(), 7u);
  EXPECT_TRUE(laid.postings.weights.empty());
}

TEST(LayOut, ReleasesOwnedRecordsAndKeepsBorrowedOnes) {
  const std::vector<InternSnap> kept = five_trees();
  Input borrowed = Input::borrowed(kept, kSupports);
  lay_out<double, std::uint32_t>(borrowed, assign_columns(kSupports, 5, {2, 6}, 2), 1, false, 3, count_layout);
  EXPECT_EQ(kept[3].ids.size(), 3u);
  EXPECT_EQ(borrowed.supports().size(), 4u);

  Input owned = Input::owned(five_trees(), kSupports);
  Input moved = std::move(owned);  // the views must follow the moved vectors
  ASSERT_EQ(moved.size(), 5u);
  ASSERT_EQ(moved.snaps()[3].ids.size(), 3u);
  lay_out<double, std::uint32_t>(moved, assign_columns(moved.supports(), 5, {2, 6}, 2), 1, false, 3,
                                 count_layout);
  for (const InternSnap& snap : moved.snaps()) EXPECT_TRUE(snap.ids.empty() && snap.lengths.empty());
  EXPECT_TRUE(moved.supports().empty());
}

}  // namespace
}  // namespace brantoveil::distances
