// Robinson-Foulds kernel against set differences, for every dense/sparse boundary and pool size.
#include "distances/rf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "distances/boundary.h"
#include "pool/pool.h"
#include "distances/repeats.h"
#include "distances/weighted.h"
#include "distances_trees.h"

namespace brantoveil::distances {
namespace {

using testing::InternSnap;
using testing::TreeSet;
using testing::TreeShape;

std::vector<std::uint32_t> run_rf(const TreeSet& set, std::uint32_t min_dense_support,
                                  std::size_t threads, std::uint64_t* pairs = nullptr, std::optional<Isa> isa = {},
                                  RfRows rows = RfRows::chosen) {
  pool::Pool p(threads);
  pool::ScopedPool use(p);
  std::atomic<std::uint64_t> counter{0};
  const Buffer<std::uint32_t> m =
      distance_rf_split(testing::trees_of(set), min_dense_support, &counter, isa, rows);
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
  // split pools (more than 64 candidates makes bit rows span several words), on every
  // instruction set of the dense pass this CPU has, each pair computed twice or mirrored.
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
    for (const Isa isa : kIsaOrder) {
      if (!rf_implemented(isa)) continue;
      for (const std::uint32_t boundary : {2u, 3u, n / 3 + 2, n, n + 1, UINT32_MAX}) {
        for (const std::size_t threads : {1, 2, 3}) {
          for (const RfRows rows : {RfRows::whole_rows, RfRows::mirrored}) {
            std::uint64_t pairs = 0;
            EXPECT_EQ(run_rf(set, boundary, threads, &pairs, isa, rows), expected)
                << "n=" << n << " boundary=" << boundary << " threads=" << threads << " isa=" << static_cast<int>(isa)
                << " mirrored=" << (rows == RfRows::mirrored);
            EXPECT_EQ(pairs, std::uint64_t{n} * (n - 1) / 2);
          }
        }
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
        distance_rf(testing::trees_of(set), &counter);
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
    const Buffer<std::uint32_t> m = distance_rf(testing::trees_of(c.snaps, c.supports), nullptr);
    EXPECT_EQ(std::vector<std::uint32_t>(m.data(), m.data() + m.size()), c.expected) << c.what;
  }
}

// A posterior-like sample: a few distinct trees, each repeated many times in shuffled order and
// with its splits listed in a different order each time.
TreeSet repeated_trees(std::size_t trees, std::size_t distinct, std::uint32_t pendants, std::uint64_t seed) {
  TreeShape shape;
  shape.trees = distinct;
  shape.pendants = pendants;
  shape.candidates = 90;
  shape.seed = seed;
  const TreeSet base = testing::random_trees(shape);
  std::mt19937_64 rng(seed);
  TreeSet set;
  set.supports.assign(base.supports.size(), 0);
  for (std::uint32_t id = 0; id < pendants; ++id) set.supports[id] = static_cast<std::uint32_t>(trees);
  for (std::size_t t = 0; t < trees; ++t) {
    InternSnap snap = base.snaps[t < distinct ? t : rng() % distinct];
    std::shuffle(snap.ids.begin(), snap.ids.end(), rng);
    for (const std::uint32_t id : snap.ids) ++set.supports[id];
    set.snaps.push_back(std::move(snap));
  }
  std::shuffle(set.snaps.begin(), set.snaps.end(), rng);
  return set;
}

TEST(DistanceRf, RepeatedSplitSetsGiveTheMatrixOfEveryPair) {
  struct Case {
    std::size_t trees;
    std::size_t distinct;
    std::uint32_t pendants;
  };
  // Few and many repeats, odd n, below and above 256 trees, with and without pendant IDs; one
  // distinct set only gives the all-zero matrix.
  const Case cases[] = {{9, 1, 0}, {41, 5, 0}, {257, 30, 6}, {301, 12, 0}, {513, 64, 4}};
  for (const Case& c : cases) {
    const TreeSet set = repeated_trees(c.trees, c.distinct, c.pendants, c.trees);
    const std::vector<std::uint32_t> expected = testing::brute_rf(set);
    const auto n = static_cast<std::uint32_t>(c.trees);
    for (const std::uint32_t boundary : {2u, n / 3 + 2, UINT32_MAX}) {
      for (const std::size_t threads : {1, 2, 3}) {
        std::uint64_t pairs = 0;
        EXPECT_EQ(run_rf(set, boundary, threads, &pairs), expected)
            << "n=" << n << " boundary=" << boundary << " threads=" << threads;
        EXPECT_EQ(pairs, std::uint64_t{n} * (n - 1) / 2);
      }
    }
    // Written into caller storage that holds garbage, from an owned input.
    TreeSet owned = set;
    std::vector<std::uint32_t> storage(std::size_t{n} * n, 0xDEADBEEF);
    EXPECT_TRUE(distance_rf(testing::trees_of(owned), nullptr,
                            std::span<std::uint32_t>(storage)));
    EXPECT_EQ(storage, expected) << n;
  }
}

TEST(GroupRepeats, ClassesFollowFirstAppearanceAndIgnoreSplitOrder) {
  const auto snap = [](std::vector<std::uint32_t> ids) {
    InternSnap s;
    s.ids = std::move(ids);
    return s;
  };
  const std::vector<InternSnap> snaps = {snap({4, 2, 7}), snap({1}),    snap({7, 4, 2}), snap({}),
                                         snap({2, 4}),    snap({1}),    snap({}),        snap({2, 4, 7})};
  for (const bool sort : {false, true}) {  // the one call's record, an encoded sample's
    const TreeClasses classes = group_repeats(testing::trees_of(snaps, std::vector<std::uint32_t>(8, 1), sort));
    EXPECT_EQ(classes.class_of, (std::vector<std::uint32_t>{0, 1, 0, 2, 3, 1, 2, 0})) << sort;
    EXPECT_EQ(classes.first, (std::vector<std::uint32_t>{0, 1, 3, 4})) << sort;
  }
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
  const auto input = [&] { return testing::trees_of(set); };
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
