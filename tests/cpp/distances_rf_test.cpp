// Robinson-Foulds kernel against set differences, for every dense/sparse boundary and pool size.
#include "distances/rf.h"

#include <gtest/gtest.h>

#include <cstring>

#include "distances/boundary.h"
#include "distances/weighted.h"
#include "distances_trees.h"

namespace brantoveil::distances {
namespace {

using testing::TreeSet;
using testing::TreeShape;

std::vector<std::uint32_t> run_rf(const TreeSet& set, std::uint32_t min_dense_support,
                                  std::size_t threads, std::uint64_t* pairs = nullptr) {
  pool::Pool p(threads);
  pool::ScopedPool use(p);
  std::atomic<std::uint64_t> counter{0};
  const Buffer<std::uint32_t> m =
      distance_rf_split(Input::borrowed(set.snaps, set.supports), min_dense_support, &counter);
  if (pairs != nullptr) *pairs = counter.load();
  return {m.data(), m.data() + m.size()};
}

TEST(DistanceRf, MatchesSetDifferenceForEveryBoundary) {
  struct Case {
    std::size_t trees;
    std::uint32_t pendants;
    std::size_t candidates;
  };
  // Below and above 256 trees, with and without implied pendant splits, over wide and narrow
  // split pools (more than 64 candidates makes bit rows span several words).
  const Case cases[] = {{1, 0, 10}, {2, 0, 10}, {3, 5, 20}, {17, 0, 150}, {64, 8, 300},
                        {255, 0, 90}, {256, 12, 90}, {300, 0, 200}};
  std::uint64_t seed = 11;
  for (const Case& c : cases) {
    TreeShape shape;
    shape.trees = c.trees;
    shape.pendants = c.pendants;
    shape.candidates = c.candidates;
    shape.seed = seed++;
    const TreeSet set = testing::random_trees(shape);
    const std::vector<std::uint32_t> expected = testing::brute_rf(set);
    const auto n = static_cast<std::uint32_t>(c.trees);
    for (const std::uint32_t boundary : {2u, 3u, n / 3 + 2, n, n + 1, UINT32_MAX}) {
      for (const std::size_t threads : {1, 2, 3}) {
        std::uint64_t pairs = 0;
        EXPECT_EQ(run_rf(set, boundary, threads, &pairs), expected)
            << "n=" << n << " boundary=" << boundary << " threads=" << threads;
        EXPECT_EQ(pairs, std::uint64_t{n} * (n - 1) / 2);
      }
    }
  }
}

TEST(DistanceRf, DefaultBoundaryAndOwnedInputGiveTheSameMatrix) {
  for (const std::size_t trees : {40, 260}) {
    TreeShape shape;
    shape.trees = trees;
    shape.candidates = 120;
    shape.seed = trees;
    TreeSet set = testing::random_trees(shape);
    const std::vector<std::uint32_t> expected = testing::brute_rf(set);
    std::atomic<std::uint64_t> counter{0};
    const Buffer<std::uint32_t> m =
        distance_rf(Input::owned(std::move(set.snaps), std::move(set.supports)), &counter);
    EXPECT_EQ(std::vector<std::uint32_t>(m.data(), m.data() + m.size()), expected) << trees;
    EXPECT_EQ(counter.load(), trees * (trees - 1) / 2);
  }
}

TEST(DistanceRf, SmallHandBuiltSets) {
  const auto snap = [](std::vector<std::uint32_t> ids, std::uint32_t pendants = 0) {
    InternSnap s;
    s.ids = std::move(ids);
    s.pendants = pendants;
    return s;
  };
  struct Case {
    const char* what;
    std::vector<InternSnap> snaps;
    std::vector<std::uint32_t> supports;
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      {"identical trees", {snap({0, 1}), snap({1, 0})}, {2, 2}, {0, 0, 0, 0}},
      {"two trees share nothing eligible: K0 + K1", {snap({0, 1, 2}), snap({3, 1})}, {1, 2, 1, 1},
       {0, 3, 3, 0}},
      {"one split swapped", {snap({0, 1}), snap({0, 2}), snap({0, 1})}, {3, 2, 1},
       {0, 2, 0, 2, 0, 2, 0, 2, 0}},
      {"pendants cancel", {snap({2}, 2), snap({3}, 2), snap({}, 2)}, {3, 3, 1, 1},
       {0, 2, 1, 2, 0, 1, 1, 1, 0}},
      {"no trees", {}, {}, {}},
  };
  for (const Case& c : cases) {
    const Buffer<std::uint32_t> m = distance_rf(Input::borrowed(c.snaps, c.supports), nullptr);
    EXPECT_EQ(std::vector<std::uint32_t>(m.data(), m.data() + m.size()), c.expected) << c.what;
  }
}

TEST(BitRows, FindsTheNonZeroSpanOfEachRow) {
  const BitRows rows({0, 5, 0, 0, 0, 0, 1, 0, 2, 0, 0, 3}, 3, 4);
  const std::vector<std::pair<std::size_t, std::size_t>> expected = {{1, 2}, {0, 0}, {0, 3}, {2, 3}};
  EXPECT_EQ(rows.ranges, expected);
}

// Says stop whenever asked.
struct AlwaysStop final : pool::StopCheck {
  bool stop_requested() override { return true; }
};

// A stopped kernel hands back nothing, never a half-filled matrix, and counts no pairs; the same
// input then runs to the end once the check is gone.
TEST(DistanceKernels, StoppedKernelsReturnNothing) {
  TreeShape shape;
  shape.trees = 40;
  shape.pendants = 5;
  shape.with_lengths = true;
  const TreeSet set = testing::random_trees(shape);
  const auto input = [&] { return Input::borrowed(set.snaps, set.supports); };
  std::vector<std::uint32_t> storage(40 * 40);
  std::vector<double> weighted_storage(40 * 40);
  std::atomic<std::uint64_t> counter{0};
  {
    AlwaysStop stop;
    pool::ScopedStopCheck scope(stop);
    EXPECT_TRUE(distance_rf(input(), &counter).empty());
    EXPECT_FALSE(distance_rf(input(), &counter, storage));
    EXPECT_TRUE(distance_wrf(input(), &counter).empty());
    EXPECT_FALSE(distance_kf(input(), &counter, weighted_storage));
  }
  EXPECT_EQ(counter.load(), 0u);
  EXPECT_TRUE(distance_rf(input(), &counter, storage));
  EXPECT_EQ(storage, testing::brute_rf(set));
}

}  // namespace
}  // namespace brantoveil::distances
