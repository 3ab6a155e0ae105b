// Blocks of an encoded sample against the one-call kernels, bit for bit, and the fused reductions.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <random>

#include "distances/block.h"
#include "distances/isa.h"
#include "distances/rf.h"
#include "distances/weighted.h"
#include "distances_trees.h"

namespace brantoveil::distances {
namespace {

using testing::encode;
using testing::random_trees;
using testing::TreeSet;
using testing::TreeShape;

// Unsorted indices with repeats, and a length that is no multiple of any chunk size.
std::vector<std::uint64_t> scattered(std::size_t count, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> out(count);
  for (auto& index : out) index = rng() % n;
  return out;
}

std::vector<std::uint64_t> all_trees(std::size_t n) {
  std::vector<std::uint64_t> out(n);
  std::iota(out.begin(), out.end(), 0);
  return out;
}

template <class T>
std::vector<T> picked(const Buffer<T>& matrix, std::size_t n, std::span<const std::uint64_t> rows,
                      std::span<const std::uint64_t> cols) {
  std::vector<T> out;
  for (const auto r : rows) {
    for (const auto c : cols) out.push_back(matrix[r * n + c]);
  }
  return out;
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

bool same_bits_or_nan(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const bool nan = std::isnan(a[i]);
    if (nan != std::isnan(b[i]) || (!nan && std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i]))) {
      return false;
    }
  }
  return true;
}

struct Case {
  std::size_t trees;
  std::size_t candidates;
  std::uint32_t pendants;
  std::uint32_t rf_min_dense;        // 2: all dense; above n: all sparse
  std::uint32_t weighted_min_dense;
  std::size_t tile;                  // trees laid out per side
};

class BlockMatchesOneCall : public ::testing::TestWithParam<Case> {};

// On every instruction-set level this CPU has: each level's one call and blocks run their own
// passes (the tiles' rows may be the lower or the higher trees of their cells).
TEST_P(BlockMatchesOneCall, EveryCellBitForBit) {
  const Case& c = GetParam();
  const TreeSet set = random_trees({.trees = c.trees, .pendants = c.pendants, .candidates = c.candidates,
                                    .with_lengths = true, .exact_lengths = false, .seed = c.trees + c.tile});
  const snapshot::EncodedSample sample = encode(set, c.pendants);
  const SampleColumns columns = sample_columns_split(sample, c.rf_min_dense, c.weighted_min_dense);
  const std::size_t n = c.trees;
  const Isa cap = cap_isa(Isa::plain);
  for (const Isa level : kIsaOrder) {
    cap_isa(level);
    if (best_isa() != level) continue;
    SCOPED_TRACE(::testing::Message() << "level " << static_cast<int>(level));
    const Buffer<std::uint32_t> rf = distance_rf_split(testing::trees_of(set), c.rf_min_dense, nullptr);
    const Buffer<double> wrf =
        weighted_distances_split<WeightedRf>(testing::trees_of(set), c.weighted_min_dense, nullptr);
    const Buffer<double> kf =
        weighted_distances_split<BranchScore>(testing::trees_of(set), c.weighted_min_dense, nullptr);

    const std::vector<std::uint64_t> everything = all_trees(n);
    const std::vector<std::uint64_t> rows = scattered(n / 2 + 3, n, 1);
    const std::vector<std::uint64_t> cols = scattered(n + 5, n, 2);
    const std::vector<std::uint64_t> backwards(everything.rbegin(), everything.rend());
    const std::pair<std::span<const std::uint64_t>, std::span<const std::uint64_t>> shapes[] = {
        {everything, everything}, {rows, cols}, {cols, rows}, {rows, everything}, {backwards, everything}};
    for (const auto& [r, k] : shapes) {
      std::vector<std::uint32_t> rf_block(r.size() * k.size());
      ASSERT_TRUE(block_rf(sample, columns, r, k, {rf_block.data(), k.size()}, nullptr, c.tile));
      EXPECT_EQ(rf_block, picked(rf, n, r, k));
      for (const BlockMetric metric : {BlockMetric::wrf, BlockMetric::kf}) {
        std::vector<double> block(r.size() * k.size());
        ASSERT_TRUE(block_weighted(metric, sample, columns, r, k, {block.data(), k.size()}, nullptr, c.tile));
        EXPECT_TRUE(same_bits(block, picked(metric == BlockMetric::wrf ? wrf : kf, n, r, k)))
            << (metric == BlockMetric::wrf ? "wrf" : "kf") << " block of " << r.size() << " x " << k.size();
      }
    }
  }
  cap_isa(cap);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BlockMatchesOneCall,
    ::testing::Values(Case{37, 60, 4, 2, 2, 4096},        // every eligible split dense, one tile
                      Case{37, 60, 4, 9, 9, 5},           // mixed, many small tiles
                      Case{37, 60, 4, 1000, 1000, 16},    // every eligible split sparse
                      Case{301, 150, 6, 10, 76, 128},     // rows and columns over several tiles
                      Case{2, 20, 3, 2, 2, 4096},         // the smallest sample
                      Case{50, 700, 5, 3, 3, 4096}),      // wide dense rows: several 512-column segments
    [](const ::testing::TestParamInfo<Case>& info) {
      const Case& c = info.param;
      return "Trees" + std::to_string(c.trees) + "Dense" + std::to_string(c.rf_min_dense) + "And" +
             std::to_string(c.weighted_min_dense) + "Tile" + std::to_string(c.tile);
    });

// NaN lengths, signed zeros and infinities, through blocks in every order of rows and columns:
// every cell still equals the one-call matrix's bit for bit, NaN meeting NaN (a NaN's payload is
// left to the compiler, which may swap the operands of a sum).
TEST(Block, SpecialLengthsKeepTheOneCallBits) {
  TreeSet set = random_trees({.trees = 90, .pendants = 5, .candidates = 40, .with_lengths = true,
                              .exact_lengths = false, .seed = 11});
  for (std::size_t t = 0; t < set.snaps.size(); ++t) {
    std::vector<double>& lengths = set.snaps[t].lengths;
    if (lengths.empty()) continue;
    double& length = lengths[t % lengths.size()];
    switch (t % 9) {
      case 0:
        length = std::bit_cast<double>(0x7FF8000000000000ull | (t + 1));
        break;
      case 1:
        length = -0.0;
        break;
      case 2:
        length = std::numeric_limits<double>::infinity();
        break;
      default:
        break;
    }
  }
  const snapshot::EncodedSample sample = encode(set, 5);
  const std::size_t n = set.snaps.size();
  const std::vector<std::uint64_t> everything = all_trees(n);
  const std::vector<std::uint64_t> reversed(everything.rbegin(), everything.rend());
  const std::vector<std::uint64_t> scattered_rows = scattered(41, n, 3);
  for (const std::uint32_t min_dense : {2u, 12u}) {
    const SampleColumns columns = sample_columns_split(sample, 2, min_dense);
    const Buffer<double> wrf =
        weighted_distances_split<WeightedRf>(testing::trees_of(set), min_dense, nullptr);
    const Buffer<double> kf =
        weighted_distances_split<BranchScore>(testing::trees_of(set), min_dense, nullptr);
    const std::pair<std::span<const std::uint64_t>, std::span<const std::uint64_t>> shapes[] = {
        {everything, everything}, {reversed, everything}, {scattered_rows, everything}, {everything, reversed}};
    for (const auto& [r, k] : shapes) {
      for (const BlockMetric metric : {BlockMetric::wrf, BlockMetric::kf}) {
        std::vector<double> block(r.size() * k.size());
        ASSERT_TRUE(block_weighted(metric, sample, columns, r, k, {block.data(), k.size()}, nullptr, 4096));
        EXPECT_TRUE(same_bits_or_nan(block, picked(metric == BlockMetric::wrf ? wrf : kf, n, r, k)))
            << (metric == BlockMetric::wrf ? "wrf" : "kf") << " dense from " << min_dense << ", block of " << r.size()
            << " x " << k.size();
      }
    }
  }
}

TEST(Block, WritesOnlyItsCellsOfAWiderMatrix) {
  const TreeSet set = random_trees({.trees = 19, .pendants = 4, .candidates = 30, .with_lengths = true, .seed = 3});
  const snapshot::EncodedSample sample = encode(set, 4);
  const SampleColumns columns = sample_columns(sample);
  const std::vector<std::uint64_t> rows = scattered(11, 19, 5);
  const std::vector<std::uint64_t> cols = scattered(7, 19, 6);
  std::vector<double> packed(rows.size() * cols.size());
  ASSERT_TRUE(block_weighted(BlockMetric::wrf, sample, columns, rows, cols, {packed.data(), cols.size()}, nullptr));
  const std::size_t stride = cols.size() + 3;
  std::vector<double> wide(rows.size() * stride, -1.0);
  ASSERT_TRUE(block_weighted(BlockMetric::wrf, sample, columns, rows, cols, {wide.data(), stride}, nullptr, 4));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < stride; ++c) {
      EXPECT_EQ(wide[r * stride + c], c < cols.size() ? packed[r * cols.size() + c] : -1.0);
    }
  }
}

TEST(BlockReduce, EqualsReductionsOfTheBlock) {
  const TreeSet set = random_trees({.trees = 83, .pendants = 5, .candidates = 90, .with_lengths = true,
                                    .exact_lengths = false, .seed = 7});
  const snapshot::EncodedSample sample = encode(set, 5);
  const SampleColumns columns = sample_columns_split(sample, 4, 20);
  const std::vector<std::uint64_t> rows = scattered(21, 83, 3);
  const std::vector<std::uint64_t> cols = scattered(97, 83, 4);
  const std::size_t k = 4;
  for (const BlockMetric metric : {BlockMetric::rf, BlockMetric::wrf, BlockMetric::kf}) {
    std::vector<double> cells(rows.size() * cols.size());
    if (metric == BlockMetric::rf) {
      std::vector<std::uint32_t> counts(cells.size());
      ASSERT_TRUE(block_rf(sample, columns, rows, cols, {counts.data(), cols.size()}, nullptr));
      std::copy(counts.begin(), counts.end(), cells.begin());
    } else {
      ASSERT_TRUE(block_weighted(metric, sample, columns, rows, cols, {cells.data(), cols.size()}, nullptr));
    }
    const double top = *std::max_element(cells.begin(), cells.end());
    const std::vector<double> bins = {0.0, top / 3, top / 3, top / 2, top};
    std::atomic<std::uint64_t> done{0};
    const Reductions got = block_reduce(metric, sample, columns, rows, cols, {k, bins}, &done, 16).value();
    EXPECT_EQ(done.load(), cells.size());

    std::vector<std::int64_t> histogram(bins.size() - 1, 0);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const double* row = cells.data() + r * cols.size();
      double sum = 0.0;
      std::vector<std::pair<double, std::int64_t>> others;
      for (std::size_t c = 0; c < cols.size(); ++c) {
        sum = sum + row[c];
        if (cols[c] != rows[r]) others.push_back({row[c], static_cast<std::int64_t>(cols[c])});
        const auto edge = std::upper_bound(bins.begin(), bins.end(), row[c]);
        histogram[row[c] == top ? bins.size() - 2 : static_cast<std::size_t>(edge - bins.begin()) - 1]++;
      }
      EXPECT_EQ(got.sums[r], sum);
      std::sort(others.begin(), others.end());
      for (std::size_t j = 0; j < k; ++j) {
        EXPECT_EQ(got.knn_distance[r * k + j], others[j].first);
        EXPECT_EQ(got.knn_index[r * k + j], others[j].second);
      }
    }
    EXPECT_EQ(got.histogram, histogram);
  }
}

TEST(BlockReduce, PadsRowsWithFewerThanKOtherTrees) {
  const TreeSet set = random_trees({.trees = 6, .pendants = 4, .candidates = 10, .with_lengths = true});
  const snapshot::EncodedSample sample = encode(set, 4);
  const SampleColumns columns = sample_columns(sample);
  const std::vector<std::uint64_t> rows = {2};
  const std::vector<std::uint64_t> cols = {2, 5, 2};
  const Reductions got = block_reduce(BlockMetric::kf, sample, columns, rows, cols, {3, {}}, nullptr).value();
  EXPECT_EQ(got.knn_index, (std::vector<std::int64_t>{5, -1, -1}));
  EXPECT_EQ(got.knn_distance[1], std::numeric_limits<double>::infinity());
  EXPECT_TRUE(got.histogram.empty());
}

// A stop check that asks to stop ends blocks and reductions before they have computed every
// cell, so a signal need not wait for the block; without one the same calls finish.
TEST(Block, StopCheckEndsTheCall) {
  struct StopAtOnce final : pool::StopCheck {
    bool stop_requested() override { return true; }
  };
  const TreeSet set = random_trees({.trees = 300, .pendants = 5, .candidates = 80, .with_lengths = true, .seed = 3});
  const snapshot::EncodedSample sample = encode(set, 5);
  const SampleColumns columns = sample_columns(sample);
  const std::vector<std::uint64_t> trees = all_trees(300);
  for (const bool stop : {false, true}) {
    std::optional<pool::ScopedStopCheck> scope;
    StopAtOnce check;
    if (stop) scope.emplace(check);
    std::vector<std::uint32_t> counts(300 * 300, 77);
    std::vector<double> cells(300 * 300, -1.0);
    EXPECT_EQ(block_rf(sample, columns, trees, trees, {counts.data(), 300}, nullptr), !stop);
    EXPECT_EQ(block_weighted(BlockMetric::kf, sample, columns, trees, trees, {cells.data(), 300}, nullptr), !stop);
    EXPECT_EQ(block_reduce(BlockMetric::wrf, sample, columns, trees, trees, {2, {}}, nullptr).has_value(), !stop);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 77u) > 0, stop);
  }
}

}  // namespace
}  // namespace brantoveil::distances
