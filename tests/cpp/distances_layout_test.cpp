// Column numbering, the sides the kernels lay out, and postings found by column range.
#include "distances/layout.h"

#include <gtest/gtest.h>

#include "distances/kernels.h"
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

// Trees over split IDs given as lists (sorted here, as the record keeps them), no pendants.
EncodedTrees hand_trees(const std::vector<std::vector<std::uint32_t>>& trees, std::size_t splits) {
  EncodedTrees out;
  out.offsets.push_back(0);
  out.supports.assign(splits, 0);
  for (std::vector<std::uint32_t> ids : trees) {
    std::sort(ids.begin(), ids.end());
    for (const std::uint32_t id : ids) ++out.supports[id];
    out.ids.insert(out.ids.end(), ids.begin(), ids.end());
    out.offsets.push_back(out.ids.size());
  }
  return out;
}

TEST(RfSide, FindsTheNonZeroWordsOfEachRow) {
  // Every ID its own dense column: three words per row.
  const EncodedTrees trees = hand_trees({{64, 66}, {}, {0, 129}, {129, 128}}, 192);
  ColumnLayout layout;
  for (std::uint32_t id = 0; id < 192; ++id) layout.columns.push_back(id);
  layout.dense = layout.total = 192;
  const std::vector<std::uint64_t> order = {0, 1, 2, 3};
  const RfSide side = RfKernel(trees, layout, 0).lay_out(order);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {{1, 2}, {0, 0}, {0, 3}, {2, 3}};
  EXPECT_EQ(side.spans, expected);
  EXPECT_EQ(side.totals, (std::vector<std::uint32_t>{2, 0, 2, 2}));
}

TEST(Postings, ListColumnsInOrderAndFindAnyColumnRange) {
  // Five trees, all splits sparse; the column side takes them in the order 4, 0, 2, 1, 3.
  const EncodedTrees trees = hand_trees({{0, 1}, {1}, {0, 1, 2}, {2}, {0, 2}}, 3);
  const ColumnLayout layout = assign_columns(trees.supports, 5, {2, 6}, 99);
  const std::vector<std::uint64_t> order = {4, 0, 2, 1, 3};
  const RfKernel kernel(trees, layout, 0);
  const RfSide side = kernel.lay_out(order);
  const Postings postings = kernel.postings(side);
  // Sparse indices by descending support, ties by ID: split 0 -> 0, 1 -> 1, 2 -> 2 (all held by 3).
  struct Case {
    std::uint32_t sparse;
    std::size_t c0, c1;
    std::vector<std::uint32_t> positions;
  };
  const Case cases[] = {
      {0, 0, 5, {0, 1, 2}},  // the whole list, no search
      {1, 0, 5, {1, 2, 3}},
      {2, 0, 5, {0, 2, 4}},
      {2, 1, 4, {2}},        // both ends cut
      {0, 2, 5, {2}},        // from a column on
      {1, 0, 2, {1}},        // up to a column
      {0, 3, 3, {}},         // an empty range
  };
  for (const Case& c : cases) {
    const Postings::Range range = postings.range(c.sparse, c.c0, c.c1);
    const std::vector<std::uint32_t> got(postings.positions.begin() + static_cast<std::ptrdiff_t>(range.first),
                                         postings.positions.begin() + static_cast<std::ptrdiff_t>(range.last));
    EXPECT_EQ(got, c.positions) << c.sparse << " [" << c.c0 << ", " << c.c1 << ")";
  }
}

}  // namespace
}  // namespace brantoveil::distances
