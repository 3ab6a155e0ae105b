// Clade tables and the packed-bit-row order of leaf sets.
#include "snapshot/clades.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace brantoveil::snapshot {
namespace {

using Leaves = std::vector<std::uint32_t>;

// The reference: build both bit rows and compare them word by word.
int packed_reference(const Leaves& a, const Leaves& b) {
  const std::uint32_t top = std::max(a.empty() ? 0 : a.back(), b.empty() ? 0 : b.back());
  std::vector<std::uint64_t> ra(top / 64 + 1), rb(top / 64 + 1);
  for (auto i : a) ra[i / 64] |= std::uint64_t{1} << (i % 64);
  for (auto i : b) rb[i / 64] |= std::uint64_t{1} << (i % 64);
  for (std::size_t w = 0; w < ra.size(); ++w) {
    if (ra[w] != rb[w]) return ra[w] < rb[w] ? -1 : 1;
  }
  return 0;
}

int sign(int x) { return (x > 0) - (x < 0); }

TEST(CmpPacked, OrdersByWordsFromTheFirst) {
  const struct {
    Leaves a, b;
    int expected;
  } rows[] = {
      {{0}, {1}, -1},
      {{1}, {0, 1}, -1},
      {{0, 64}, {0}, 1},
      {{63}, {0, 64}, 1},  // word 0 decides before word 1
      {{}, {5}, -1},
      {{}, {}, 0},
      {{3, 70}, {3, 70}, 0},
      {{0, 1, 2}, {0, 1, 3}, -1},
      {{0, 65}, {0, 64, 65}, -1},
      {{1, 2, 130}, {1, 2, 129, 130}, -1},
      {{5, 200}, {5, 6}, -1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(sign(cmp_packed(row.a, row.b)), row.expected);
    EXPECT_EQ(sign(cmp_packed(row.b, row.a)), -row.expected);
    EXPECT_EQ(packed_reference(row.a, row.b), row.expected);
  }
}

TEST(CmpPacked, AgreesWithBuiltRows) {
  std::mt19937 random(5);
  auto draw = [&](std::uint32_t universe) {
    Leaves out;
    for (std::uint32_t i = 0; i < universe; ++i) {
      if (random() % 4 == 0) out.push_back(i);
    }
    return out;
  };
  for (int trial = 0; trial < 20000; ++trial) {
    const std::uint32_t universe = 1 + random() % 200;
    Leaves a = draw(universe);
    Leaves b = random() % 3 == 0 ? a : draw(universe);
    if (!b.empty() && random() % 2 == 0) b.erase(b.begin() + random() % b.size());
    ASSERT_EQ(sign(cmp_packed(a, b)), packed_reference(a, b));
  }
}

TEST(CladeTable, PushSortsEachClade) {
  CladeTable table = CladeTable::with_capacity(3, 8);
  table.push(Leaves{5, 1, 3});
  table.push(Leaves{9, 7}, Leaves{0, 8});
  table.push(Leaves{});
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table.offsets, (Leaves{0, 3, 7, 7}));
  EXPECT_EQ(table.members, (Leaves{1, 3, 5, 0, 7, 8, 9}));
  EXPECT_TRUE(table.clade(2).empty());
}

TEST(CladeTable, ConcatKeepsListOrder) {
  EXPECT_EQ(CladeTable::concat({}).offsets, Leaves{0});
  EXPECT_TRUE(CladeTable::concat({}).members.empty());
  EXPECT_EQ(CladeTable::singletons(0).offsets, Leaves{0});
  EXPECT_TRUE(CladeTable::singletons(0).members.empty());

  CladeTable second;
  second.push(Leaves{4, 2});
  second.push(Leaves{6});
  std::vector<CladeTable> tables;
  tables.push_back(CladeTable::singletons(3));
  tables.push_back(CladeTable{});
  tables.push_back(std::move(second));
  const CladeTable joined = CladeTable::concat(std::move(tables));
  EXPECT_EQ(joined.members, (Leaves{0, 1, 2, 2, 4, 6}));
  EXPECT_EQ(joined.offsets, (Leaves{0, 1, 2, 3, 5, 6}));
  EXPECT_EQ(joined.size(), 5u);
}

}  // namespace
}  // namespace brantoveil::snapshot
