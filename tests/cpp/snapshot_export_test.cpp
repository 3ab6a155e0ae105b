// Export matrices: column order, presence and branch-length rows, packed clade bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "pool/pool.h"
#include "snapshot/export.h"

namespace brantoveil::snapshot {
namespace {

class ListSource : public TreeSource {
 public:
  explicit ListSource(std::vector<std::string> texts) : texts_(std::move(texts)) {}
  std::optional<TreeItem> next() override {
    if (next_ == texts_.size()) return std::nullopt;
    return TreeItem{texts_[next_++], nullptr};
  }
  std::size_t size_hint() override { return texts_.size() - next_; }

 private:
  std::vector<std::string> texts_;
  std::size_t next_ = 0;
};

Snapshots read(std::vector<std::string> texts, bool rooted) {
  ListSource source(std::move(texts));
  Result<Snapshots> set =
      Snapshots::from_newick_iter_opts(source, {.rooted = rooted, .keep_lengths = true, .keep_clades = true});
  EXPECT_TRUE(set.ok()) << set.error();
  return std::move(set).value();
}

// The branch-length bytes decoded as little-endian doubles.
std::vector<double> decode(const std::vector<std::uint8_t>& bytes) {
  std::vector<double> values(bytes.size() / 8);
  for (std::size_t k = 0; k < values.size(); ++k) {
    std::uint64_t bits = 0;
    for (int b = 7; b >= 0; --b) bits = bits << 8 | bytes[8 * k + b];
    std::memcpy(&values[k], &bits, 8);
  }
  return values;
}

TEST(Export, WorkedExampleOfTwoQuartets) {
  const Snapshots set = read({"((a,b),(c,d));", "((a,c),(b,d));"}, false);
  const auto [presence, split_at] = build_presence_matrix(set);
  ASSERT_EQ(split_at.size(), 6u);
  // Pendant columns first (leaf masks 1, 2, 4, 8), then {b,d} (10) and {c,d} (12).
  EXPECT_EQ(std::vector<std::uint64_t>(split_at.begin(), split_at.begin() + 4),
            (std::vector<std::uint64_t>{0, 1, 2, 3}));
  EXPECT_EQ(presence, (std::vector<std::uint8_t>{1, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0}));
  EXPECT_EQ(build_bipartition_bytes(set, split_at),
            (std::vector<std::uint8_t>{0x01, 0x02, 0x04, 0x08, 0x0A, 0x0C}));
  const auto [column_of, order] = column_order(set);
  EXPECT_EQ(order, split_at);
  for (std::size_t c = 0; c < order.size(); ++c) EXPECT_EQ(column_of[order[c]], c);
}

TEST(Export, BranchLengthsByColumnWithZeroForAbsentSplits) {
  // Tree 0's two root edges form one edge of length 9; tree 1's inner edge is AC|BD, length 3.
  const Snapshots set = read({"((a:1,b:2):3,(c:4,d:5):6);", "((a:1,c:2):3,b:4,d:5);"}, false);
  const auto [bytes, split_at] = build_branch_length_matrix(set);
  ASSERT_EQ(bytes.size(), 2u * 6u * 8u);
  // Columns a, b, c, d, {b,d}, {c,d}.
  EXPECT_EQ(decode(bytes), (std::vector<double>{1, 2, 4, 5, 0, 9, 1, 4, 2, 5, 3, 0}));
  // 1.0 as little-endian binary64.
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 8),
            (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
}

TEST(Export, ReversedInputReversesRowsOnly) {
  const std::vector<std::string> texts = {
      "((a:1,b:2):3,(c:4,(d:5,e:6):7):8,f:9);",
      "((a:1,c:2):3,(b:4,(d:5,f:6):7):8,e:9);",
      "((e:1,f:2):3,(c:4,(d:5,a:6):7):8,b:9);",
      "(a:1,b:2,c:3,d:4,e:5,f:6);",
  };
  for (bool rooted : {false, true}) {
    const Snapshots forward = read(texts, rooted);
    const Snapshots backward = read(std::vector<std::string>(texts.rbegin(), texts.rend()), rooted);
    const auto [presence_f, split_f] = build_presence_matrix(forward);
    const auto [presence_b, split_b] = build_presence_matrix(backward);
    const auto [lengths_f, unused_f] = build_branch_length_matrix(forward);
    const auto [lengths_b, unused_b] = build_branch_length_matrix(backward);
    ASSERT_EQ(split_f.size(), split_b.size());
    EXPECT_EQ(build_bipartition_bytes(forward, split_f), build_bipartition_bytes(backward, split_b));
    const std::size_t s = split_f.size();
    const std::size_t t = texts.size();
    for (std::size_t row = 0; row < t; ++row) {
      const std::size_t mirrored = t - 1 - row;
      EXPECT_TRUE(std::equal(presence_f.begin() + row * s, presence_f.begin() + (row + 1) * s,
                             presence_b.begin() + mirrored * s))
          << "presence row " << row << (rooted ? " rooted" : " unrooted");
      EXPECT_TRUE(std::equal(lengths_f.begin() + row * s * 8, lengths_f.begin() + (row + 1) * s * 8,
                             lengths_b.begin() + mirrored * s * 8))
          << "length row " << row << (rooted ? " rooted" : " unrooted");
    }
    // The star tree holds only its pendant columns.
    const std::size_t star = 3;
    for (std::size_t c = 0; c < s; ++c) EXPECT_EQ(presence_f[star * s + c], split_f[c] < 6 ? 1 : 0);
  }
}

TEST(Export, CladeRowsPackLeavesLittleEndianPerByte) {
  // Nine leaves a..i, rooted: every clade as written, so {a,b} keeps leaf 0.
  const Snapshots set = read({"((a,b),(c,(d,(e,(f,(g,(h,i)))))));"}, true);
  const auto [presence, split_at] = build_presence_matrix(set);
  const std::vector<std::uint8_t> bytes = build_bipartition_bytes(set, split_at);
  // For nine leaves the columns ascend by membership mask.
  const std::vector<std::uint32_t> masks = {1,     2,     3,     4,     8,     16,    32,    64,
                                            128,   256,   0x180, 0x1C0, 0x1E0, 0x1F0, 0x1F8, 0x1FC};
  ASSERT_EQ(bytes.size(), masks.size() * 2);
  for (std::size_t c = 0; c < masks.size(); ++c) {
    EXPECT_EQ(bytes[2 * c], masks[c] & 0xFF) << "column " << c;
    EXPECT_EQ(bytes[2 * c + 1], masks[c] >> 8) << "column " << c;
  }
}

// Says stop whenever asked.
struct AlwaysStop final : pool::StopCheck {
  bool stop_requested() override { return true; }
};

// Caller storage starts as garbage, or as zeros lent as such: every byte of a written matrix
// must be right, and a stopped write says so instead of returning a partial matrix.
TEST(Export, WritesEveryByteOfCallerStorageOrReportsTheStop) {
  const Snapshots set = read({"((a:1,b:2):3,(c:4,d:5):6);", "((a:1,c:2):3,b:4,d:5);", "(a,b,c,d);"}, false);
  const auto [column_of, split_at] = column_order(set);
  std::vector<std::uint8_t> presence(set.snaps.size() * column_of.size(), 0xAB);
  std::vector<std::uint8_t> lengths(presence.size() * 8, 0xAB);
  ASSERT_TRUE(write_presence_matrix(set, column_of, presence));
  ASSERT_TRUE(write_branch_length_matrix(set, column_of, lengths));
  EXPECT_EQ(presence, build_presence_matrix(set).first);
  EXPECT_EQ(lengths, build_branch_length_matrix(set).first);
  std::vector<std::uint8_t> zero_presence(presence.size(), 0);
  std::vector<std::uint8_t> zero_lengths(lengths.size(), 0);
  ASSERT_TRUE(write_presence_matrix(set, column_of, zero_presence, Contents::zeros));
  ASSERT_TRUE(write_branch_length_matrix(set, column_of, zero_lengths, Contents::zeros));
  EXPECT_EQ(zero_presence, presence);
  EXPECT_EQ(zero_lengths, lengths);
  AlwaysStop stop;
  pool::ScopedStopCheck scope(stop);
  EXPECT_FALSE(write_presence_matrix(set, column_of, presence));
  EXPECT_FALSE(write_branch_length_matrix(set, column_of, lengths));
  EXPECT_TRUE(build_bipartition_bytes(set, split_at).empty());
}

TEST(ExportDeathTest, AbortsOnStorageOfTheWrongSize) {
  const Snapshots set = read({"((a,b),(c,d));", "((a,c),(b,d));"}, false);
  const auto [column_of, split_at] = column_order(set);
  std::vector<std::uint8_t> bytes(set.snaps.size() * column_of.size() + 1);
  EXPECT_DEATH((void)write_presence_matrix(set, column_of, bytes), "export view holds");
  EXPECT_DEATH((void)write_branch_length_matrix(set, column_of, bytes), "export view holds");
}

// Many random clades over one to three words of leaves: the parallel packed-row sort must give
// the comparison order of cmp_packed, for every pool size.
TEST(Export, ColumnOrderOfManyCladesIsTheComparisonOrder) {
  for (const std::size_t leaves : {9, 64, 150}) {
    std::mt19937_64 rng(leaves);
    Snapshots set;
    for (std::size_t i = 0; i < leaves; ++i) set.leaf_names.push_back("t" + std::to_string(i));
    std::vector<std::uint32_t> clade;
    for (std::size_t k = 0; k < 40000; ++k) {
      clade.clear();
      // Dense low leaves make long shared prefixes, so later words often decide.
      for (std::uint32_t leaf = 0; leaf < leaves; ++leaf) {
        if (rng() % (leaf < 60 ? 2 : 8) == 0) clade.push_back(leaf);
      }
      set.clades.push(clade);
    }
    std::vector<std::uint64_t> expected(set.clades.size());
    std::iota(expected.begin(), expected.end(), std::uint64_t{0});
    std::stable_sort(expected.begin(), expected.end(), [&](std::uint64_t a, std::uint64_t b) {
      return cmp_packed(set.clades.clade(a), set.clades.clade(b)) < 0;
    });
    for (const std::size_t threads : {1, 2, 3}) {
      pool::Pool p(threads);
      pool::ScopedPool use(p);
      const auto [column_of, split_at] = column_order(set);
      // Random clades may repeat; equal clades may come in either order.
      for (std::size_t c = 0; c < split_at.size(); ++c) {
        ASSERT_EQ(cmp_packed(set.clades.clade(split_at[c]), set.clades.clade(expected[c])), 0) << leaves << " " << c;
        ASSERT_EQ(column_of[split_at[c]], c);
      }
    }
  }
}


}  // namespace
}  // namespace brantoveil::snapshot
