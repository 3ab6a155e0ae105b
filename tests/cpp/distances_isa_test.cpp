// Every instruction-set level this CPU has, forced by the cap, against the plain kernels bit for bit.
#include "distances/isa.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "distances/block.h"
#include "distances/rf.h"
#include "distances/weighted.h"
#include "distances_trees.h"

namespace brantoveil::distances {
namespace {

TEST(IsaCap, ParsesTheLevelsOfBothArchitectures) {
  struct Row {
    std::optional<std::string_view> text;
    std::optional<Isa> expected;
  };
  const Row rows[] = {
      {"plain", Isa::plain}, {"avx2", Isa::avx2}, {"avx512", Isa::avx512},
      {"neon", Isa::neon},      // named on every build; x86-64 reads it as plain
      {"popcnt", Isa::popcnt},       // x86-64's scalar popcount, below AVX2
      {" avx2\n", Isa::avx2},  // white space around the name
      {std::nullopt, std::nullopt},  // unset: no cap
      {"", std::nullopt},            // empty: no cap
      {"AVX2", std::nullopt},        // names are lower case
      {"sve", std::nullopt},         // no kernels of that level
  };
  for (const Row& row : rows) EXPECT_EQ(parse_isa(row.text), row.expected) << row.text.value_or("(unset)");
}

TEST(IsaPick, TakesTheBestImplementationTheCapAdmits) {
  // Levels that need nothing of the CPU, so the table holds on every machine: only the cap decides.
  const Implementation<int> list[] = {
      {Isa::avx512, 512, CpuFeature::none}, {Isa::avx2, 2, CpuFeature::none}, {Isa::plain, 0, CpuFeature::none}};
  struct Row {
    Isa cap;
    std::optional<Isa> pinned;
    int expected;
  };
  const Row rows[] = {
      {Isa::avx512, std::nullopt, 512},  // the best first
      {Isa::popcnt, std::nullopt, 0},    // nothing between the cap and plain
      {Isa::avx2, std::nullopt, 2},      // the cap skips what lies above it
      {Isa::avx512, Isa::avx2, 2},       // a pinned level, when the cap admits it
      {Isa::avx2, Isa::avx512, 0},       // a pinned level the cap refuses falls back to plain
      {Isa::avx512, Isa::neon, 0},       // so does one the family lacks
  };
  const Isa before = isa_cap();
  for (const Row& row : rows) {
    cap_isa(row.cap);
    EXPECT_EQ(pick<int>(list, row.pinned).entry, row.expected)
        << "cap " << isa_name(row.cap) << " pinned " << (row.pinned ? isa_name(*row.pinned) : "none");
  }
  cap_isa(before);
}

// Every result a kernel family produces on one set of trees, as raw bytes.
struct Results {
  std::vector<std::vector<unsigned char>> parts;
};

template <class T>
std::vector<unsigned char> bytes_of(const T* data, std::size_t count) {
  std::vector<unsigned char> out(count * sizeof(T));
  if (count > 0) std::memcpy(out.data(), data, out.size());
  return out;
}

Results everything(const testing::TreeSet& set, std::uint32_t leaves) {
  Results out;
  const std::size_t n = set.snaps.size();
  const auto input = [&] { return testing::trees_of(set); };
  const Buffer<std::uint32_t> rf = distance_rf(input(), nullptr);
  out.parts.push_back(bytes_of(rf.data(), rf.size()));
  // Every boundary share: all dense, mixed, all sparse.
  for (const std::uint32_t boundary : {2u, static_cast<std::uint32_t>(n / 3 + 2), UINT32_MAX}) {
    const Buffer<double> wrf = weighted_distances_split<WeightedRf>(input(), boundary, nullptr);
    const Buffer<double> kf = weighted_distances_split<BranchScore>(input(), boundary, nullptr);
    out.parts.push_back(bytes_of(wrf.data(), wrf.size()));
    out.parts.push_back(bytes_of(kf.data(), kf.size()));
  }
  const snapshot::EncodedSample sample = testing::encode(set, leaves);
  const SampleColumns columns = sample_columns_split(sample, 2, static_cast<std::uint32_t>(n / 4 + 2));
  std::vector<std::uint64_t> rows(n);
  std::iota(rows.begin(), rows.end(), 0);
  std::vector<std::uint64_t> cols(rows.rbegin(), rows.rend());
  std::vector<std::uint32_t> rf_block(n * n);
  if (!block_rf(sample, columns, rows, cols, {rf_block.data(), n}, nullptr, 100)) rf_block.clear();
  out.parts.push_back(bytes_of(rf_block.data(), rf_block.size()));
  for (const BlockMetric metric : {BlockMetric::wrf, BlockMetric::kf}) {
    std::vector<double> block(n * n);
    if (!block_weighted(metric, sample, columns, rows, cols, {block.data(), n}, nullptr, 100)) block.clear();
    out.parts.push_back(bytes_of(block.data(), block.size()));
  }
  return out;
}

TEST(IsaCap, EveryLevelGivesThePlainBits) {
  // Unrounded lengths, so that any change of summation order shows; above 256 trees (the
  // Robinson-Foulds share applies) and 128 (whole tiles of the mirror). The second set repeats
  // few topologies, so Robinson-Foulds goes through the table of distinct split sets.
  testing::TreeShape shape;
  shape.trees = 300;
  shape.pendants = 9;
  shape.candidates = 150;
  shape.with_lengths = true;
  shape.exact_lengths = false;
  testing::TreeSet varied = testing::random_trees(shape);
  shape.trees = 20;
  shape.seed = 7;
  const testing::TreeSet few = testing::random_trees(shape);
  testing::TreeSet repeated;
  repeated.supports.assign(few.supports.size(), 0);
  for (std::size_t t = 0; t < 260; ++t) {
    repeated.snaps.push_back(few.snaps[t * 7 % 20]);
    for (const std::uint32_t id : repeated.snaps.back().ids) ++repeated.supports[id];
  }
  for (std::uint32_t id = 0; id < shape.pendants; ++id) repeated.supports[id] = 260;

  const Isa before = cap_isa(Isa::plain);
  ASSERT_EQ(best_isa(), Isa::plain);
  const Results plain_varied = everything(varied, 12);
  const Results plain_repeated = everything(repeated, 12);
  int levels = 0;
  for (const Isa level : {Isa::neon, Isa::popcnt, Isa::avx2, Isa::avx512}) {
    cap_isa(level);
    if (best_isa() != level) continue;  // this CPU lacks it
    ++levels;
    const Results varied_bits = everything(varied, 12);
    const Results repeated_bits = everything(repeated, 12);
    for (std::size_t k = 0; k < plain_varied.parts.size(); ++k) {
      EXPECT_TRUE(varied_bits.parts[k] == plain_varied.parts[k]) << "level " << static_cast<int>(level) << " part " << k;
      EXPECT_TRUE(repeated_bits.parts[k] == plain_repeated.parts[k]) << "level " << static_cast<int>(level) << " part " << k;
    }
  }
  cap_isa(before);
  RecordProperty("levels_compared", levels);
  // Every build but an x86-64 one without AVX2 has some level beyond plain to compare.
  if (BRANTOVEIL_NEON || cpu_has(CpuFeature::avx2)) EXPECT_GT(levels, 0);
}

TEST(IsaCap, EveryLevelCountsLongRowsOfSharedSplits) {
  // Tree t lacks the splits s with s mod n = t: every split is held by all trees but one, so each
  // pair shares nearly every bit of 41 words, more than a byte counter of the vector popcounts
  // holds unless it is widened in time.
  constexpr std::size_t kTrees = 20;
  constexpr std::uint32_t kSplits = 2600;
  testing::TreeSet set;
  set.supports.assign(kSplits, kTrees - 1);
  for (std::size_t t = 0; t < kTrees; ++t) {
    testing::InternSnap snap;
    for (std::uint32_t s = 0; s < kSplits; ++s) {
      if (s % kTrees != t) snap.ids.push_back(s);
    }
    set.snaps.push_back(std::move(snap));
  }
  const std::vector<std::uint32_t> expected = testing::brute_rf(set);
  const Isa before = cap_isa(Isa::plain);
  for (const Isa level : kIsaOrder) {
    cap_isa(level);
    if (best_isa() != level) continue;
    const Buffer<std::uint32_t> rf = distance_rf(testing::trees_of(set), nullptr);
    EXPECT_EQ(std::vector<std::uint32_t>(rf.data(), rf.data() + rf.size()), expected) << static_cast<int>(level);
  }
  cap_isa(before);
}

TEST(IsaCap, AnotherArchitecturesCapKeepsTheLevelsBelowIt) {
  struct Row {
    Isa cap;
    Isa x86_64_with_avx512;  // the level on a CPU that has every x86-64 level
    Isa arm;
  };
  const Row rows[] = {
      {Isa::avx512, Isa::avx512, Isa::neon},
      {Isa::avx2, Isa::avx2, Isa::neon},  // an x86-64 cap leaves NEON in place
      {Isa::popcnt, Isa::popcnt, Isa::neon},
      {Isa::neon, Isa::plain, Isa::neon},  // and NEON's leaves x86-64 plain
      {Isa::plain, Isa::plain, Isa::plain},
  };
  const Isa before = isa_cap();
  for (const Row& row : rows) {
    cap_isa(row.cap);
    if (BRANTOVEIL_NEON) {
      EXPECT_EQ(best_isa(), row.arm) << static_cast<int>(row.cap);
    } else if (cpu_has(CpuFeature::avx512f)) {
      EXPECT_EQ(best_isa(), row.x86_64_with_avx512) << static_cast<int>(row.cap);
    }
  }
  cap_isa(before);
}

}  // namespace
}  // namespace brantoveil::distances
