// Weighted RF and KF against per-split length tables, bit-identical across pools and boundaries.
#include "distances/weighted.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <string>

#include "distances/block.h"
#include "distances_trees.h"

namespace brantoveil::distances {
namespace {

using testing::InternSnap;
using testing::TreeSet;
using testing::TreeShape;

template <class Metric>
std::vector<double> run_weighted(const TreeSet& set, std::uint32_t min_dense_support, std::size_t threads,
                                 std::uint64_t* pairs = nullptr, std::optional<Isa> isa = {}) {
  pool::Pool p(threads);
  pool::ScopedPool use(p);
  std::atomic<std::uint64_t> counter{0};
  const Buffer<double> m = weighted_distances_split<Metric>(testing::trees_of(set),
                                                            min_dense_support, &counter, isa);
  if (pairs != nullptr) *pairs = counter.load();
  return {m.data(), m.data() + m.size()};
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

struct SetCase {
  std::size_t trees;
  std::uint32_t pendants;
  std::size_t candidates;
};
// Row chunks of 16 and 32, column groups of 4 and panels of 8 meet every remainder here; the
// widths of the dense rows range from under 8 (only the padded partial group) to over 512 columns.
const SetCase kSets[] = {{1, 0, 10}, {2, 3, 10}, {5, 4, 30}, {9, 0, 60}, {13, 6, 1000}, {40, 10, 90},
                         {101, 2, 200}, {130, 0, 40}};

// With lengths in eighths every sum is exact, so any boundary must reproduce the table exactly.
TEST(WeightedDistances, MatchExactReferenceForEveryBoundaryAndPool) {
  std::uint64_t seed = 100;
  for (const SetCase& c : kSets) {
    TreeShape shape;
    shape.trees = c.trees;
    shape.pendants = c.pendants;
    shape.candidates = c.candidates;
    shape.with_lengths = true;
    shape.seed = seed++;
    const TreeSet set = testing::random_trees(shape);
    const std::vector<double> wrf = testing::brute_weighted(set, false);
    const std::vector<double> kf = testing::brute_weighted(set, true);
    const auto n = static_cast<std::uint32_t>(c.trees);
    for (const std::uint32_t boundary : {2u, 3u, n / 2 + 1, n, n + 1, UINT32_MAX}) {
      for (const std::size_t threads : {1, 2, 3}) {
        SCOPED_TRACE(::testing::Message() << "n=" << n << " boundary=" << boundary << " threads=" << threads);
        std::uint64_t pairs = 0;
        EXPECT_EQ(run_weighted<WeightedRf>(set, boundary, threads, &pairs), wrf);
        EXPECT_EQ(pairs, std::uint64_t{n} * (n - 1) / 2);
        EXPECT_EQ(run_weighted<BranchScore>(set, boundary, threads), kf);
      }
    }
  }
}

// With arbitrary lengths the order of summation is fixed, so every pool gives the same bits.
TEST(WeightedDistances, AreBitIdenticalAcrossPoolsWithRealLengths) {
  std::uint64_t seed = 200;
  for (const SetCase& c : kSets) {
    TreeShape shape;
    shape.trees = c.trees;
    shape.pendants = c.pendants;
    shape.candidates = c.candidates;
    shape.with_lengths = true;
    shape.exact_lengths = false;
    shape.seed = seed++;
    const TreeSet set = testing::random_trees(shape);
    const std::vector<double> wrf = testing::brute_weighted(set, false);
    const std::vector<double> kf = testing::brute_weighted(set, true);
    const auto n = static_cast<std::uint32_t>(c.trees);
    for (const std::uint32_t boundary : {2u, n / 2 + 1, UINT32_MAX}) {
      const std::vector<double> wrf1 = run_weighted<WeightedRf>(set, boundary, 1);
      const std::vector<double> kf1 = run_weighted<BranchScore>(set, boundary, 1);
      for (std::size_t k = 0; k < wrf.size(); ++k) {
        ASSERT_NEAR(wrf1[k], wrf[k], 1e-9 * (1 + wrf[k])) << k;
        ASSERT_NEAR(kf1[k], kf[k], 1e-6 * (1 + kf[k])) << k;  // sqrt magnifies cancellation near 0
      }
      for (const std::size_t threads : {2, 3}) {
        EXPECT_TRUE(same_bits(run_weighted<WeightedRf>(set, boundary, threads), wrf1)) << n << " " << threads;
        EXPECT_TRUE(same_bits(run_weighted<BranchScore>(set, boundary, threads), kf1)) << n << " " << threads;
      }
      // The AVX-512 pass reads trees in panels of 8 and fills chunks of its own height: every
      // instruction set must still give the same bits across panel and chunk edges.
      for (const Isa isa : kIsaOrder) {
        if (!dense_implemented(isa)) continue;
        EXPECT_TRUE(same_bits(run_weighted<WeightedRf>(set, boundary, 2, nullptr, isa), wrf1))
            << n << " isa " << static_cast<int>(isa);
        EXPECT_TRUE(same_bits(run_weighted<BranchScore>(set, boundary, 2, nullptr, isa), kf1))
            << n << " isa " << static_cast<int>(isa);
      }
    }
  }
}

// The all-dense matrix summed scalar-wise in the fixed order: 8 lanes by column, lanes left to
// right. The vector dense pass must agree to the last bit (wrong lane mapping or a fused
// multiply-add would not).
template <class Metric>
std::vector<double> all_dense_in_fixed_order(const TreeSet& set) {
  const std::size_t n = set.snaps.size();
  std::vector<std::uint32_t> order;
  for (std::uint32_t id = 0; id < set.supports.size(); ++id) {
    if (set.supports[id] >= 2) order.push_back(id);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return set.supports[a] > set.supports[b]; });
  std::vector<std::uint32_t> column(set.supports.size(), UINT32_MAX);
  for (std::uint32_t c = 0; c < order.size(); ++c) column[order[c]] = c;
  const std::size_t width = order.size();
  std::vector<std::vector<double>> rows(n, std::vector<double>(width, 0.0));
  std::vector<double> totals(n);
  const auto lane_sum = [](const double (&lanes)[8]) {
    double sum = lanes[0];
    for (int l = 1; l < 8; ++l) sum = sum + lanes[l];
    return sum;
  };
  for (std::size_t t = 0; t < n; ++t) {
    const auto seq = testing::split_sequence(set.snaps[t]);
    double own_only = 0.0;
    for (std::size_t k = 0; k < seq.size(); ++k) {
      const double l = set.snaps[t].lengths[k];
      if (column[seq[k]] == UINT32_MAX) own_only = own_only + Metric::pair_term(l, l);
      else rows[t][column[seq[k]]] = l;
    }
    double lanes[8] = {};
    for (std::size_t k = 0; k < width; ++k) lanes[k % 8] = lanes[k % 8] + Metric::pair_term(rows[t][k], rows[t][k]);
    totals[t] = own_only + (lane_sum(lanes) + 0.0);
  }
  std::vector<double> out(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      double lanes[8] = {};
      for (std::size_t k = 0; k < width; ++k) lanes[k % 8] = lanes[k % 8] + Metric::pair_term(rows[i][k], rows[j][k]);
      const double q = lane_sum(lanes) + 0.0;
      const double sum = (totals[i] + totals[j]) - (q + q);
      out[i * n + j] = out[j * n + i] = sum > 0.0 ? Metric::finish_pair(sum) : 0.0;
    }
  }
  return out;
}

// Every instruction set the CPU has must reproduce the scalar order bit for bit, NaN rules included.
TEST(WeightedDistances, DensePassKeepsTheFixedSummationOrderOnEveryIsa) {
  for (const Isa isa : kIsaOrder) {
    if (!dense_implemented(isa)) continue;
    for (const std::size_t candidates : {13, 70, 600}) {
      TreeShape shape;
      shape.trees = 11;
      shape.pendants = 3;
      shape.candidates = candidates;
      shape.with_lengths = true;
      shape.exact_lengths = false;
      shape.seed = candidates;
      const TreeSet set = testing::random_trees(shape);
      SCOPED_TRACE(::testing::Message() << "isa=" << static_cast<int>(isa) << " candidates=" << candidates);
      EXPECT_TRUE(same_bits(run_weighted<WeightedRf>(set, 2, 2, nullptr, isa),
                            all_dense_in_fixed_order<WeightedRf>(set)));
      EXPECT_TRUE(same_bits(run_weighted<BranchScore>(set, 2, 2, nullptr, isa),
                            all_dense_in_fixed_order<BranchScore>(set)));
      // With the rare splits in postings the reference order no longer applies, but the
      // instruction sets must still agree with each other.
      EXPECT_TRUE(same_bits(run_weighted<WeightedRf>(set, 5, 2, nullptr, isa), run_weighted<WeightedRf>(set, 5, 2)));
      EXPECT_TRUE(same_bits(run_weighted<BranchScore>(set, 5, 2, nullptr, isa), run_weighted<BranchScore>(set, 5, 2)));
    }
  }
}

InternSnap weighted_tree(std::vector<std::uint32_t> ids, std::vector<double> lengths, std::uint32_t pendants = 0) {
  InternSnap snap;
  snap.ids = std::move(ids);
  snap.lengths = std::move(lengths);
  snap.pendants = pendants;
  return snap;
}

TEST(WeightedDistances, SmallHandBuiltPairs) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* what;
    std::vector<InternSnap> snaps;
    std::vector<std::uint32_t> supports;
    double wrf, kf;  // distance of trees 0 and 1
  };
  const Case cases[] = {
      {"identical trees", {weighted_tree({0, 1}, {0.1, 0.7}), weighted_tree({1, 0}, {0.7, 0.1})}, {2, 2}, 0.0, 0.0},
      {"one shared split, 1.0 against 3.5", {weighted_tree({0}, {1.0}), weighted_tree({0}, {3.5})}, {2}, 2.5, 2.5},
      {"a split of one tree only", {weighted_tree({0, 1}, {1.0, 2.0}), weighted_tree({0}, {1.0})}, {2, 1}, 2.0, 2.0},
      {"pendant edges count", {weighted_tree({}, {1.0, 2.0}, 2), weighted_tree({}, {1.0, 2.5}, 2)}, {2, 2}, 0.5, 0.5},
      {"a NaN length makes the distance unknown", {weighted_tree({0}, {nan}), weighted_tree({0}, {1.0})}, {2}, nan, nan},
      {"infinities on one split cancel to unknown", {weighted_tree({0}, {inf}), weighted_tree({0}, {inf})}, {2}, nan, nan},
      {"one infinite length is infinitely far", {weighted_tree({0}, {inf}), weighted_tree({1}, {1.0})}, {1, 1}, inf, inf},
  };
  for (const Case& c : cases) {
    for (const std::uint32_t boundary : {2u, 3u}) {  // dense, then through the postings
      const TreeSet set{c.snaps, c.supports};
      const std::vector<double> wrf = run_weighted<WeightedRf>(set, boundary, 2);
      const std::vector<double> kf = run_weighted<BranchScore>(set, boundary, 2);
      SCOPED_TRACE(::testing::Message() << c.what << " boundary=" << boundary);
      ASSERT_EQ(wrf.size(), 4u);
      EXPECT_EQ(wrf[0], 0.0);
      if (std::isnan(c.wrf)) {
        EXPECT_TRUE(std::isnan(wrf[1]) && std::isnan(wrf[2]));
        EXPECT_TRUE(std::isnan(kf[1]) && std::isnan(kf[2]));
      } else {
        EXPECT_EQ(wrf[1], c.wrf);
        EXPECT_EQ(wrf[2], c.wrf);
        EXPECT_EQ(kf[1], c.kf);
        EXPECT_EQ(kf[2], c.kf);
      }
    }
  }
}

// Trees one ulp apart leave only rounding noise in T_A + T_B - 2 sum, often below zero: every
// such pair is formed again term by term, never negative, -0.0 or NaN, and zero only when equal.
TEST(WeightedDistances, TreesAnUlpApartAreNeitherNegativeNorZero) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> length(0.01, 3.0);
  std::vector<InternSnap> snaps;
  std::vector<std::uint32_t> supports(40, 0);
  for (int t = 0; t < 24; ++t) {
    InternSnap snap;
    for (std::uint32_t s = 0; s < 40; ++s) {
      snap.ids.push_back(s);
      ++supports[s];
    }
    snaps.push_back(snap);
  }
  for (std::size_t s = 0; s < 40; ++s) {
    const double base = length(rng);
    for (auto& snap : snaps) snap.lengths.push_back(rng() % 2 ? base : std::nextafter(base, 4.0));
  }
  const TreeSet set{snaps, supports};
  for (const std::uint32_t boundary : {2u, 100u}) {
    for (const auto& m : {run_weighted<WeightedRf>(set, boundary, 2), run_weighted<BranchScore>(set, boundary, 2)}) {
      for (std::size_t k = 0; k < m.size(); ++k) {
        const double d = m[k];
        ASSERT_FALSE(std::isnan(d));
        ASSERT_GE(d, 0.0);
        ASSERT_FALSE(std::signbit(d));
        ASSERT_LT(d, 1e-6);
        // Trees one ulp apart are apart: zero only for equal lengths.
        EXPECT_EQ(d == 0.0, snaps[k / 24].lengths == snaps[k % 24].lengths) << k;
      }
    }
  }
}

TEST(WeightedDistances, DefaultBoundaryAndOwnedInput) {
  TreeShape shape;
  shape.trees = 30;
  shape.pendants = 5;
  shape.with_lengths = true;
  TreeSet set = testing::random_trees(shape);
  const std::vector<double> wrf = testing::brute_weighted(set, false);
  TreeSet copy = set;
  const Buffer<double> a = distance_wrf(testing::trees_of(copy), nullptr);
  EXPECT_EQ(std::vector<double>(a.data(), a.data() + a.size()), wrf);
  const Buffer<double> b = distance_kf(testing::trees_of(set), nullptr);
  EXPECT_EQ(std::vector<double>(b.data(), b.data() + b.size()), testing::brute_weighted(set, true));
  EXPECT_EQ(distance_kf(EncodedTrees{}, nullptr).size(), 0u);
}


// Two trees that agree but for `changed` branches, moved by a relative `delta`; the second may
// also hold one split of its own in place of one of the first's. Other trees around them make the
// shared splits dense or rare depending on the boundary.
struct NearCase {
  double scale;      // lengths near this
  double delta;      // relative change of each changed branch
  int changed;       // branches changed
  bool other_split;  // the second tree swaps one split for another
};

// The distance of two trees in long double, from the lengths as given: every split either tree
// holds, (a - b)^2 or |a - b| with a split the other lacks counting as 0.
long double exact_distance(const InternSnap& a, const InternSnap& b, bool squared) {
  std::map<std::uint32_t, std::pair<long double, long double>> by_split;
  const auto add = [&](const InternSnap& t, bool second) {
    for (std::size_t k = 0; k < t.pendants + t.ids.size(); ++k) {
      const std::uint32_t id = k < t.pendants ? static_cast<std::uint32_t>(k) : t.ids[k - t.pendants];
      (second ? by_split[id].second : by_split[id].first) = t.lengths[k];
    }
  };
  add(a, false);
  add(b, true);
  long double sum = 0;
  for (const auto& [id, both] : by_split) {
    const long double d = both.first - both.second;
    sum += squared ? d * d : std::fabs(d);
  }
  return squared ? std::sqrt(sum) : sum;
}

TreeSet near_pair_among_others(const NearCase& c) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> unit(0.5, 1.5);
  constexpr std::uint32_t kPendants = 5;
  constexpr std::uint32_t kSplits = 30;  // IDs kPendants .. kPendants + kSplits - 1
  TreeSet set;
  set.supports.assign(kPendants + kSplits + 1, 0);
  InternSnap first;
  first.pendants = kPendants;
  for (std::uint32_t s = 0; s < kSplits; ++s) first.ids.push_back(kPendants + s);
  for (std::size_t k = 0; k < kPendants + kSplits; ++k) first.lengths.push_back(c.scale * unit(rng));
  InternSnap second = first;
  for (int b = 0; b < c.changed; ++b) {
    double& length = second.lengths[(7 * static_cast<std::size_t>(b) + 3) % second.lengths.size()];
    length = length * (1 + c.delta);
  }
  if (c.other_split) second.ids[4] = kPendants + kSplits;  // a split no other tree holds
  set.snaps = {first, second};
  // Others: half of the first tree's splits each, fresh lengths.
  for (int t = 0; t < 10; ++t) {
    InternSnap other;
    other.pendants = kPendants;
    for (std::size_t k = 0; k < kPendants; ++k) other.lengths.push_back(c.scale * unit(rng));
    for (std::uint32_t s = 0; s < kSplits; ++s) {
      if (rng() % 2 == 0) continue;
      other.ids.push_back(kPendants + s);
      other.lengths.push_back(c.scale * unit(rng));
    }
    set.snaps.push_back(other);
  }
  for (const InternSnap& t : set.snaps) {
    for (std::uint32_t id = 0; id < kPendants; ++id) ++set.supports[id];
    for (const std::uint32_t id : t.ids) ++set.supports[id];
  }
  if (set.supports.back() == 0) set.supports.pop_back();
  return set;
}

TEST(WeightedDistances, NearlyEqualTreesKeepTheirDistance) {
  const NearCase cases[] = {
      {1.0, 1e-6, 1, false},   {1.0, 1e-8, 1, false},  {1.0, 1e-10, 1, false}, {1.0, 1e-12, 1, false},
      {1e6, 1e-6, 1, false},   {1e6, 1e-12, 1, false},                          // long branches
      {1.0, 1e-9, 20, false},  {1e6, 1e-11, 35, false},                         // many branches moved
      {1.0, 1e-12, 1, true},   {1e-3, 1e-9, 3, true},                           // topologies differ too
      {1.0, 0.0, 0, false},                                                     // equal trees: exactly 0
  };
  for (const NearCase& c : cases) {
    const TreeSet set = near_pair_among_others(c);
    const std::size_t n = set.snaps.size();
    for (const bool squared : {true, false}) {
      const long double exact = exact_distance(set.snaps[0], set.snaps[1], squared);
      // All dense, dense and rare, all rare; every instruction set this CPU has.
      for (const std::uint32_t boundary : {2u, 6u, UINT32_MAX}) {
        for (const Isa isa : kIsaOrder) {
          if (!dense_implemented(isa)) continue;
          const std::vector<double> m = squared ? run_weighted<BranchScore>(set, boundary, 2, nullptr, isa)
                                                : run_weighted<WeightedRf>(set, boundary, 2, nullptr, isa);
          const std::string where = "scale " + std::to_string(c.scale) + " delta " + std::to_string(c.delta) +
                                    " changed " + std::to_string(c.changed) + (squared ? " kf" : " wrf") +
                                    " boundary " + std::to_string(boundary) + " isa " +
                                    std::to_string(static_cast<int>(isa));
          if (exact == 0) {
            EXPECT_EQ(m[1], 0.0) << where;
          } else {
            EXPECT_LT(std::fabs(static_cast<long double>(m[1]) - exact) / exact, 1e-9L) << where << " got " << m[1];
          }
          EXPECT_EQ(m[1], m[n]) << where;  // the mirror
          // The tiles, over several tiles a side, give the one-call bits.
          const snapshot::EncodedSample sample = testing::encode(set, 5);
          const SampleColumns columns = sample_columns_split(sample, 2, boundary);
          std::vector<std::uint64_t> trees(n);
          std::iota(trees.begin(), trees.end(), 0);
          std::vector<double> tiles(n * n);
          ASSERT_TRUE(block_weighted(squared ? BlockMetric::kf : BlockMetric::wrf, sample, columns, trees, trees,
                                     {tiles.data(), n}, nullptr, 5));
          EXPECT_TRUE(same_bits(tiles, m)) << where;
        }
      }
    }
  }
}


}  // namespace
}  // namespace brantoveil::distances
