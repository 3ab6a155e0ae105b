// Split building: emission, merging of degree-2 nodes, root edges, keys and canonical clades.
#include "snapshot/build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace brantoveil::snapshot {
namespace {

const std::vector<std::string> kABCD{"A", "B", "C", "D"};

// Each part as its canonical clade's names and its length, e.g. "CD:3", in the order given.
std::vector<std::string> describe(const Snapshot& tree, bool rooted, const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const Part& part : tree.parts) {
    CladeTable table;
    tree.push_canonical(part, rooted, table);
    std::string item;
    for (std::uint32_t leaf : table.clade(0)) item += names[leaf];
    char length[32];
    std::snprintf(length, sizeof length, ":%g", part.length);
    out.push_back(item + length);
  }
  return out;
}

struct SplitRow {
  std::string_view text;
  bool rooted;
  bool ordered;  // false where the parts come out sorted by key, an order fixed by the labels only
  std::vector<std::string> expected;
};

TEST(SplitBuilder, EmitsAndMergesParts) {
  const SplitRow rows[] = {
      // An ordinary inner edge; unrooted it is named by the side without A.
      {"((A:1,B:2):3,C:4,D:5);", false, true, {"A:1", "B:2", "CD:3", "C:4", "D:5"}},
      {"((A:1,B:2):3,C:4,D:5);", true, true, {"A:1", "B:2", "AB:3", "C:4", "D:5"}},
      // Two root edges of an unrooted tree are one edge.
      {"((A:1,B:2):3,(C:4,D:5):6);", false, true, {"A:1", "B:2", "CD:9", "C:4", "D:5"}},
      {"((A:1,B:2):3,(C:4,D:5):6);", true, true, {"A:1", "B:2", "AB:3", "C:4", "D:5", "CD:6"}},
      // A leaf beside an n-1 side: the root edge joins the leaf's pendant edge, in either order.
      {"(A:1,(B:1,C:1,D:1):2);", false, true, {"A:3", "B:1", "C:1", "D:1"}},
      {"((B:1,C:1,D:1):2,A:1);", false, true, {"B:1", "C:1", "D:1", "A:3"}},
      {"((A:1,B:1,C:1):2,D:1);", false, true, {"A:1", "B:1", "C:1", "D:3"}},
      {"(A:1,(B:1,C:1,D:1):2);", true, true, {"A:1", "B:1", "C:1", "D:1", "BCD:2"}},
      // ... also when the leaf or the other side sits in single-child groups, or the root does.
      {"(((A:1):4):5,(B:1,C:1,D:1):2);", false, false, {"A:12", "B:1", "C:1", "D:1"}},
      {"((B:1,C:1,D:1):2,((A:1):4):5);", false, false, {"A:12", "B:1", "C:1", "D:1"}},
      {"(A:1,((B:1,C:1,D:1):2):3);", false, false, {"A:6", "B:1", "C:1", "D:1"}},
      {"((A:1,(B:1,C:1,D:1):2):7);", false, false, {"A:3", "B:1", "C:1", "D:1"}},
      {"(((A:1):4):5,(B:1,C:1,D:1):2);", true, true, {"A:10", "B:1", "C:1", "D:1", "BCD:2"}},
      {"(A:1,((B:1,C:1,D:1):2):3);", true, true, {"A:1", "B:1", "C:1", "D:1", "BCD:5"}},
      // Single-child groups: their edges are summed into the child's.
      {"(((A:1,B:1):1):2,C:1,D:1);", false, false, {"A:1", "B:1", "CD:3", "C:1", "D:1"}},
      {"(((A:1,B:1):1):2,C:1,D:1);", true, true, {"A:1", "B:1", "AB:3", "C:1", "D:1"}},
      {"(((A):1):2,B,C,D);", false, false, {"A:3", "B:0", "C:0", "D:0"}},
      {"(((A):1):2,B,C,D);", true, true, {"A:3", "B:0", "C:0", "D:0"}},
      {"((A,B,C,D):7);", true, true, {"A:0", "B:0", "C:0", "D:0"}},
      {"((A,B,C,D):7);", false, false, {"A:0", "B:0", "C:0", "D:0"}},
      // Pendant edges only.
      {"(A,B,C,D);", false, true, {"A:0", "B:0", "C:0", "D:0"}},
      {"(A,B,C,D);", true, true, {"A:0", "B:0", "C:0", "D:0"}},
      // An inner edge deeper than the root.
      {"(A,B,(C,D));", false, true, {"A:0", "B:0", "C:0", "D:0", "CD:0"}},
      {"(A,(B,(C,D):2):3);", false, true, {"A:3", "B:0", "C:0", "D:0", "CD:2"}},
  };
  for (const auto& row : rows) {
    const LeafContext context = make_leaf_context(kABCD, row.rooted);
    auto tree = snapshot(row.text, TranslateMap(), 0, context);
    ASSERT_TRUE(tree.ok()) << row.text << ": " << tree.error();
    auto got = describe(tree.value(), row.rooted, kABCD);
    auto expected = row.expected;
    if (!row.ordered) {
      std::sort(got.begin(), got.end());
      std::sort(expected.begin(), expected.end());
      std::vector<u128> keys;
      for (const Part& part : tree.value().parts) keys.push_back(part.key);
      EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << row.text;
    }
    EXPECT_EQ(got, expected) << row.text << (row.rooted ? " rooted" : " unrooted");
  }
}

TEST(SplitBuilder, SmallLeafCounts) {
  const std::vector<std::string> one{"A"};
  const std::vector<std::string> two{"A", "B"};
  const std::vector<std::string> three{"A", "B", "C"};
  const struct {
    const std::vector<std::string>& names;
    std::string_view text;
    bool rooted;
    std::vector<std::string> expected;
  } rows[] = {
      {one, "A;", false, {}},
      {one, "A:5;", true, {}},
      // n = 2: the two pendant edges keep their own lengths (their keys differ).
      {two, "(A:1,B:2);", false, {"A:1", "B:2"}},
      {two, "(A:1,B:2);", true, {"A:1", "B:2"}},
      {two, "((A:1):2,B:4);", false, {"A:3", "B:4"}},
      // n = 3: the side of two leaves is n - 1.
      {three, "(A:1,(B:1,C:1):2);", false, {"A:3", "B:1", "C:1"}},
      {three, "(A:1,(B:1,C:1):2);", true, {"A:1", "B:1", "C:1", "BC:2"}},
  };
  for (const auto& row : rows) {
    const LeafContext context = make_leaf_context(row.names, row.rooted);
    auto tree = snapshot(row.text, TranslateMap(), 0, context);
    ASSERT_TRUE(tree.ok()) << row.text << ": " << tree.error();
    EXPECT_EQ(describe(tree.value(), row.rooted, row.names), row.expected) << row.text;
    EXPECT_EQ(tree.value().leaf_order.size(), row.names.size());
  }
}

// Sorted (key, length) pairs: what the interner sees of a tree.
std::vector<std::pair<u128, double>> keyed(std::string_view text, const LeafContext& context) {
  auto tree = snapshot(text, TranslateMap(), 0, context);
  EXPECT_TRUE(tree.ok()) << text;
  std::vector<std::pair<u128, double>> out;
  if (!tree.ok()) return out;
  for (const Part& part : tree.value().parts) out.emplace_back(part.key, part.length);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(SplitBuilder, SameUnrootedTreeGivesSameKeysAndLengths) {
  const std::vector<std::string> names{"A", "B", "C", "D", "E", "F"};
  const LeafContext context = make_leaf_context(names, false);
  const std::vector<std::vector<std::string_view>> groups = {
      // Re-rootings and child orders of one unrooted tree with all lengths distinct.
      {"((A:1,B:2):3,C:4,(D:5,(E:6,F:7):8):9);", "(A:1,B:2,(C:4,(D:5,(E:6,F:7):8):9):3);",
       "(((A:1,B:2):3,C:4):4.5,(D:5,(E:6,F:7):8):4.5);", "(((E:6,F:7):8,D:5):9,(B:2,A:1):3,C:4);",
       "(((((A:1,B:2):3,C:4):9,D:5):8):0,(E:6,F:7):0);"},
      // The mended root: a leaf beside the rest.
      {"(A:1,(B:1,C:1,(D:1,E:1,F:1):2):2);", "(A:3,B:1,C:1,(D:1,E:1,F:1):2);",
       "((B:1,C:1,(D:1,E:1,F:1):2):0.5,(A:2):0.5);"},
  };
  for (const auto& group : groups) {
    const auto first = keyed(group[0], context);
    for (std::string_view text : group) EXPECT_EQ(keyed(text, context), first) << text;
  }
}

TEST(SplitBuilder, PartsDescribeTheirLeaves) {
  // Random binary trees: every part's key is the XOR of its leaves' labels (or the complement's).
  std::mt19937_64 random(3);
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back("t" + std::to_string(i));
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  for (bool rooted : {false, true}) {
    const LeafContext context = make_leaf_context(sorted, rooted);
    for (int trial = 0; trial < 50; ++trial) {
      std::vector<std::string> nodes = names;
      std::shuffle(nodes.begin(), nodes.end(), random);
      while (nodes.size() > 2) {
        const std::size_t at = random() % (nodes.size() - 1);
        nodes[at] = "(" + nodes[at] + "," + nodes[at + 1] + "):1";
        nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(at) + 1);
      }
      const std::string text = "(" + nodes[0] + "," + nodes[1] + ");";
      auto tree = snapshot(text, TranslateMap(), 0, context);
      ASSERT_TRUE(tree.ok()) << tree.error();
      const Snapshot& snap = tree.value();
      EXPECT_EQ(snap.parts.size(), rooted ? 2 * names.size() - 2 : 2 * names.size() - 3);
      for (const Part& part : snap.parts) {
        u128 key = 0;
        for (std::uint32_t k = 0; k < part.size; ++k) key ^= context.labels[snap.leaf_order[part.start + k]];
        if (!rooted && part.size > 1) key = std::min(key, key ^ context.total);
        EXPECT_EQ(part.key, key);
      }
    }
  }
}

TEST(SplitBuilder, CanonicalCladeAvoidsLeafZeroWhenUnrooted) {
  const LeafContext unrooted = make_leaf_context(kABCD, false);
  for (std::string_view text : {"((A,B),(C,D));", "((C,D),(A,B));", "((B,A),(D,C));"}) {
    auto tree = snapshot(text, TranslateMap(), 0, unrooted);
    ASSERT_TRUE(tree.ok());
    std::size_t inner = 0;
    for (const Part& part : tree.value().parts) {
      if (part.size == 1) continue;
      ++inner;
      CladeTable table;
      tree.value().push_canonical(part, false, table);
      EXPECT_EQ(std::vector<std::uint32_t>(table.clade(0).begin(), table.clade(0).end()),
                (std::vector<std::uint32_t>{2, 3}))
          << text;
    }
    EXPECT_EQ(inner, 1u) << text;
  }
  // Pendant edges are the leaf itself, leaf 0 included; rooted clades are the side below.
  const LeafContext rooted = make_leaf_context(kABCD, true);
  auto tree = snapshot("((B,A),(C,D));", TranslateMap(), 0, rooted);
  ASSERT_TRUE(tree.ok());
  CladeTable table;
  for (const Part& part : tree.value().parts) tree.value().push_canonical(part, true, table);
  ASSERT_EQ(table.size(), 6u);
  EXPECT_EQ(std::vector<std::uint32_t>(table.clade(1).begin(), table.clade(1).end()), std::vector<std::uint32_t>{0});
  EXPECT_EQ(std::vector<std::uint32_t>(table.clade(2).begin(), table.clade(2).end()),
            (std::vector<std::uint32_t>{0, 1}));
}

TEST(SplitBuilder, TranslatedLeavesResolveToTheirIndex) {
  TranslateMap translate;
  translate.insert("1", "D");
  translate.insert("2", "C");
  translate.insert("3", "B");
  translate.insert("4", "A");
  const LeafContext context = make_leaf_context(kABCD, true);
  auto tree = snapshot("((1,2),3,4);", translate, 0, context);
  ASSERT_TRUE(tree.ok()) << tree.error();
  EXPECT_EQ(tree.value().leaf_order, (std::vector<std::uint32_t>{3, 2, 1, 0}));
}

// A map composed once with the leaf index reads every tree as the map itself does: the same parts
// in the same order, or the same message. So does reading into storage that held the previous
// text's tree, after a failure too.
TEST(SplitBuilder, ComposedTranslationReadsAsTheMap) {
  TranslateMap translate;
  translate.insert("1", "A");
  translate.insert("2", "B");
  translate.insert("3", "C");
  translate.insert("4", "D");
  translate.insert("5", "E");  // a taxon that is no leaf of the call
  for (const bool rooted : {false, true}) {
    const LeafContext context = make_leaf_context(kABCD, rooted);
    const TranslatedLeaves composed = compose_translation(translate, context);
    const std::string_view texts[] = {
        "((1:1,2:2):3,3:4,4:5);",  // every label translated
        "((4,3),(2,1));",          // other order, no lengths
        "((1,2),3,9);",            // a label missing from the map
        "((1,2),3,5);",            // a taxon outside the leaf set
        "((1,2),3,2);",            // a repeated leaf, named by its taxon
        "((1,2),3);",              // a leaf missing
        "(((1:1,2:1):1):2,3:1,4:1);",  // a single-child group, after a failure
        "((2:1,1:2):3,(4:4,3:5):6);",
    };
    Snapshot reused;
    for (const std::string_view text : texts) {
      const Result<Snapshot> plain = snapshot(text, translate, 7, context);
      const Result<Snapshot> fast = snapshot(text, composed, 7, context);
      const Status into = read_into(text, composed, 7, context, reused);
      ASSERT_EQ(plain.ok(), fast.ok()) << text;
      ASSERT_EQ(plain.ok(), into.ok()) << text;
      if (!plain.ok()) {
        EXPECT_EQ(fast.error(), plain.error()) << text;
        EXPECT_EQ(into.error(), plain.error()) << text;
        continue;
      }
      EXPECT_EQ(describe(fast.value(), rooted, kABCD), describe(plain.value(), rooted, kABCD)) << text;
      EXPECT_EQ(fast.value().leaf_order, plain.value().leaf_order) << text;
      EXPECT_EQ(describe(reused, rooted, kABCD), describe(plain.value(), rooted, kABCD)) << text;
      EXPECT_EQ(reused.leaf_order, plain.value().leaf_order) << text;
    }
  }
}

}  // namespace
}  // namespace brantoveil::snapshot
