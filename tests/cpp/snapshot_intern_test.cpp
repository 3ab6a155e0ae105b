// Split interner: identity, numbering, lengths layout, clade rows, overflow and determinism.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include "pool/pool.h"
#include "snapshot/fingerprint.h"
#include "snapshot/intern.h"
#include "snapshot/messages.h"
#include "snapshot/snapshots.h"

namespace brantoveil::snapshot {
namespace {

// An edge given by its leaf range in leaf_order; keys follow the reader's rules.
struct Edge {
  std::uint32_t start;
  std::uint32_t size;
  double length = 0.0;
};

// Builds a snapshot as the reader would emit it (no root merge: callers give root-free edge lists).
Snapshot make_snapshot(std::vector<std::uint32_t> leaf_order, const std::vector<Edge>& edges, bool rooted) {
  const std::vector<u128> labels = taxon_labels(leaf_order.size());
  u128 total = 0;
  for (u128 label : labels) total ^= label;
  Snapshot snap;
  for (const Edge& edge : edges) {
    u128 key = 0;
    for (std::uint32_t k = edge.start; k < edge.start + edge.size; ++k) key ^= labels[leaf_order[k]];
    if (!rooted && edge.size != 1) key = std::min(key, key ^ total);
    snap.parts.push_back(Part{key, edge.length, edge.start, edge.size});
  }
  snap.leaf_order = std::move(leaf_order);
  return snap;
}

// Pendant edges for every leaf position, with length 1 + position.
std::vector<Edge> pendants(std::uint32_t n) {
  std::vector<Edge> edges;
  for (std::uint32_t k = 0; k < n; ++k) edges.push_back({k, 1, 1.0 + k});
  return edges;
}

// A random tree: root with three subtrees (so no root merge), binary below, post-order parts.
Snapshot random_tree(std::uint32_t n, bool rooted, std::mt19937& rng) {
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<Edge> edges;
  auto split = [&](auto&& self, std::uint32_t start, std::uint32_t size) -> void {
    if (size > 1) {
      const std::uint32_t left = 1 + rng() % (size - 1);
      self(self, start, left);
      self(self, start + left, size - left);
    }
    if (rooted || size == 1 || size < n - 1) edges.push_back({start, size, double(rng() % 100) / 8});
  };
  const std::uint32_t a = 1 + rng() % (n - 2);
  const std::uint32_t b = 1 + rng() % (n - a - 1);
  split(split, 0, a);
  split(split, a, b);
  split(split, a + b, n - a - b);
  return make_snapshot(std::move(order), edges, rooted);
}

std::vector<Snapshot> random_trees(std::size_t count, std::uint32_t n, bool rooted, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Snapshot> trees;
  for (std::size_t t = 0; t < count; ++t) trees.push_back(random_tree(n, rooted, rng));
  return trees;
}

struct Flags {
  bool rooted = false;
  bool keep_lengths = false;
  bool keep_clades = false;
};

// Interns `trees` cut into chunks of `chunk` trees (the first tree alone, as the driver does).
Snapshots intern_all(std::vector<Snapshot> trees, std::uint64_t n, Flags flags, std::size_t chunk) {
  Interner interner(n, flags.rooted, flags.keep_lengths, flags.keep_clades);
  std::size_t next = 0;
  while (next < trees.size()) {
    const std::size_t take = next == 0 ? 1 : std::min(chunk, trees.size() - next);
    EXPECT_TRUE(interner.push_chunk(std::span<const Snapshot>(trees).subspan(next, take)).ok());
    next += take;
  }
  std::vector<std::string> names(n, "x");
  return std::move(interner).finish(names);
}

void expect_same_set(const Snapshots& a, const Snapshots& b) {
  ASSERT_EQ(a.snaps.size(), b.snaps.size());
  for (std::size_t t = 0; t < a.snaps.size(); ++t) {
    EXPECT_EQ(a.snaps[t].ids, b.snaps[t].ids) << "tree " << t;
    EXPECT_EQ(a.snaps[t].lengths, b.snaps[t].lengths) << "tree " << t;
    EXPECT_EQ(a.snaps[t].pendants, b.snaps[t].pendants) << "tree " << t;
  }
  EXPECT_EQ(a.supports, b.supports);
  EXPECT_EQ(a.clades.members, b.clades.members);
  EXPECT_EQ(a.clades.offsets, b.clades.offsets);
}

// ((A,B),C,(D,E)) over leaves in text order A..E = 0..4, and its two internal edges.
std::vector<Edge> five_leaf_edges() {
  return {{0, 1, 1}, {1, 1, 2}, {0, 2, 3}, {2, 1, 4}, {3, 1, 5}, {4, 1, 6}, {3, 2, 7}};
}

TEST(Interner, SameSplitGetsOneIdInOneOrTwoChunks) {
  for (std::size_t chunk : {1, 2}) {
    std::vector<Snapshot> trees;
    trees.push_back(make_snapshot({0, 1, 2, 3, 4}, five_leaf_edges(), false));
    // ((B,A),C,(E,D)): the same two splits written in another order.
    trees.push_back(make_snapshot({1, 0, 2, 4, 3}, five_leaf_edges(), false));
    const Snapshots set = intern_all(std::move(trees), 5, {}, chunk);
    ASSERT_EQ(set.supports, (std::vector<std::uint32_t>{2, 2})) << "chunk " << chunk;
    EXPECT_EQ(set.snaps[0].ids, set.snaps[1].ids);
    EXPECT_EQ(set.snaps[0].pendants, 0u);
  }
}

TEST(Interner, StarTreeHasNoIdsAndPendantLengthsByLeafIndex) {
  std::vector<Snapshot> trees;
  trees.push_back(make_snapshot({2, 0, 3, 1}, pendants(4), false));
  const Snapshots set = intern_all(std::move(trees), 4, {.keep_lengths = true}, 1);
  EXPECT_TRUE(set.snaps[0].ids.empty());
  // Leaf 2 was written first (length 1), leaf 0 second (length 2), and so on.
  EXPECT_EQ(set.snaps[0].lengths, (std::vector<double>{2, 4, 1, 3}));
  EXPECT_EQ(set.supports, (std::vector<std::uint32_t>{1, 1, 1, 1}));
}

TEST(Interner, EqualKeysWithDifferentMinorSizesAreDifferentSplits) {
  Snapshot snap;
  snap.leaf_order = {0, 1, 2, 3, 4, 5, 6};
  const u128 key = u128(0x1234) << 64 | 0x55;
  snap.parts = {Part{key, 0, 0, 2}, Part{key, 0, 0, 3}, Part{key, 0, 2, 5}};  // minor sizes 2, 3, 2
  std::vector<Snapshot> trees;
  trees.push_back(std::move(snap));
  const Snapshots set = intern_all(std::move(trees), 7, {}, 1);
  EXPECT_EQ(set.snaps[0].ids, (std::vector<std::uint32_t>{0, 1, 0}));
  EXPECT_EQ(set.supports, (std::vector<std::uint32_t>{2, 1}));
}

TEST(Interner, PendantIdsAreReservedWhenLengthsOrCladesAreKept) {
  struct Row {
    Flags flags;
    std::uint32_t pendants;
  };
  const Row rows[] = {
      {{}, 0},                                           // plain RF: interned IDs start at 0
      {{.keep_lengths = true}, 5},                       // weighted
      {{.keep_clades = true}, 5},                        // RF with exports
      {{.keep_lengths = true, .keep_clades = true}, 5},  // weighted with exports
  };
  for (const Row& row : rows) {
    std::vector<Snapshot> trees;
    trees.push_back(make_snapshot({0, 1, 2, 3, 4}, five_leaf_edges(), false));
    trees.push_back(make_snapshot({0, 1, 2, 3, 4}, pendants(5), false));
    const Snapshots set = intern_all(std::move(trees), 5, row.flags, 2);
    const auto& ids = set.snaps[0].ids;
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(std::min(ids[0], ids[1]), row.pendants);
    EXPECT_EQ(std::max(ids[0], ids[1]), row.pendants + 1);
    EXPECT_EQ(set.snaps[1].pendants, row.pendants);
    EXPECT_EQ(set.supports.size(), row.pendants + 2u);
    // Pendant IDs are in every tree; each internal split only in the first.
    for (std::uint32_t id = 0; id < row.pendants; ++id) EXPECT_EQ(set.supports[id], 2u);
    EXPECT_EQ(set.supports[row.pendants], 1u);
    EXPECT_EQ(set.clades.size(), row.flags.keep_clades ? row.pendants + 2u : 0u);
    if (row.flags.keep_lengths) {
      // Pendants by leaf index, then internal lengths in parts order (3 and 7).
      EXPECT_EQ(set.snaps[0].lengths, (std::vector<double>{1, 2, 4, 5, 6, 3, 7}));
      EXPECT_EQ(set.snaps[1].lengths, (std::vector<double>{1, 2, 3, 4, 5}));
    } else {
      EXPECT_TRUE(set.snaps[0].lengths.empty());
    }
  }
}

TEST(Interner, IdsFollowShardOrderThenFirstOccurrence) {
  Snapshot snap;
  snap.leaf_order = {0, 1, 2, 3, 4, 5, 6, 7};
  // Shards 9, 3, 9, 3 in parts order: shard 3's splits come first, each shard by first occurrence.
  snap.parts = {Part{u128(1) << 64 | 9, 0, 0, 2}, Part{u128(2) << 64 | 3, 0, 0, 2},
                Part{u128(3) << 64 | 9, 0, 0, 2}, Part{u128(4) << 64 | 3, 0, 0, 2}};
  std::vector<Snapshot> trees;
  trees.push_back(std::move(snap));
  const Snapshots set = intern_all(std::move(trees), 8, {.keep_lengths = true}, 1);
  EXPECT_EQ(set.snaps[0].ids, (std::vector<std::uint32_t>{10, 8, 11, 9}));
}

TEST(Interner, CladeRowsArePendantSingletonsThenCanonicalSides) {
  for (bool rooted : {false, true}) {
    std::vector<Snapshot> trees;
    // Text order C, D, A, B, E with the edges above (C,D) and (A,B).
    trees.push_back(make_snapshot({2, 3, 0, 1, 4}, {{0, 2, 1}, {2, 2, 1}}, rooted));
    const Snapshots set = intern_all(std::move(trees), 5, {.rooted = rooted, .keep_clades = true}, 1);
    ASSERT_EQ(set.clades.size(), 7u);
    for (std::uint32_t leaf = 0; leaf < 5; ++leaf) {
      EXPECT_EQ(std::vector<std::uint32_t>(set.clades.clade(leaf).begin(), set.clades.clade(leaf).end()),
                std::vector<std::uint32_t>{leaf});
    }
    std::vector<std::vector<std::uint32_t>> rows;
    for (std::uint32_t id : set.snaps[0].ids) {
      rows.emplace_back(set.clades.clade(id).begin(), set.clades.clade(id).end());
    }
    // Unrooted: the side without leaf 0, so {A,B} becomes {C,D,E}. Rooted: as written.
    const std::vector<std::vector<std::uint32_t>> expected =
        rooted ? std::vector<std::vector<std::uint32_t>>{{2, 3}, {0, 1}}
               : std::vector<std::vector<std::uint32_t>>{{2, 3}, {2, 3, 4}};
    EXPECT_EQ(rows, expected) << (rooted ? "rooted" : "unrooted");
  }
}

TEST(Interner, FullShardRejectsOnlyNewSplits) {
  // Keys all in shard 0; the cap is lowered to 3 splits.
  auto tree_with = [](std::initializer_list<std::uint64_t> highs) {
    Snapshot snap;
    snap.leaf_order = {0, 1, 2, 3, 4, 5};
    for (std::uint64_t high : highs) snap.parts.push_back(Part{u128(high) << 64, 0, 0, 2});
    std::vector<Snapshot> chunk;
    chunk.push_back(std::move(snap));
    return chunk;
  };
  Interner interner(6, false, false, false);
  interner.limit_shard_splits_for_testing(3);
  EXPECT_TRUE(interner.push_chunk(tree_with({1, 2, 3})).ok());
  EXPECT_TRUE(interner.push_chunk(tree_with({3, 2, 1})).ok());  // hits only
  const Status full = interner.push_chunk(tree_with({1, 4}));
  ASSERT_FALSE(full.ok());
  EXPECT_EQ(full.error(), messages::kTooManySplits);
}

// Offsets of the joined clade table are 32-bit: a chunk that would take its members (the n
// singletons included) past the cap fails with a clear error rather than wrapping.
TEST(Interner, CladeMembersPastTheCapAreAnError) {
  for (const bool rooted : {false, true}) {
    std::vector<Snapshot> trees = random_trees(2, 12, rooted, 5);
    Interner probe(12, rooted, false, true);
    std::vector<Snapshot> first;
    first.push_back(trees[0]);
    ASSERT_TRUE(probe.push_chunk(std::move(first)).ok());
    const Snapshots one = std::move(probe).finish(std::vector<std::string>(12, "x"));
    const std::uint64_t members = one.clades.members.size();

    Interner interner(12, rooted, false, true);
    interner.limit_clade_members_for_testing(members);  // exactly tree 0's table fits
    std::vector<Snapshot> chunk0, chunk1;
    chunk0.push_back(std::move(trees[0]));
    chunk1.push_back(std::move(trees[1]));
    ASSERT_TRUE(interner.push_chunk(std::move(chunk0)).ok());
    const Status past = interner.push_chunk(std::move(chunk1));
    ASSERT_FALSE(past.ok());
    EXPECT_EQ(past.error(), messages::kTooManyCladeMembers);
  }
}

// Final IDs, supports and clade rows do not depend on thread count or chunking.
TEST(Interner, ResultIsIndependentOfThreadsAndChunks) {
  for (bool rooted : {false, true}) {
    for (std::uint32_t n : {6u, 40u}) {
      const Flags flags{rooted, true, true};
      const std::size_t count = 60;
      Snapshots reference = [&] {
        pool::Pool one(1);
        pool::ScopedPool use(one);
        return intern_all(random_trees(count, n, rooted, n), n, flags, count);
      }();
      // Small leaf sets repeat splits, so supports above 1 are exercised.
      if (n == 6) {
        EXPECT_GT(*std::max_element(reference.supports.begin() + n, reference.supports.end()), 1u);
      }
      for (std::size_t threads : {1, 2, 3, 8}) {
        pool::Pool p(threads);
        pool::ScopedPool use(p);
        for (std::size_t chunk : {1, 2, 3, 7, 1000}) {
          SCOPED_TRACE(testing::Message() << "rooted " << rooted << " n " << n << " threads " << threads
                                          << " chunk " << chunk);
          expect_same_set(intern_all(random_trees(count, n, rooted, n), n, flags, chunk), reference);
        }
      }
    }
  }
}

}  // namespace
}  // namespace brantoveil::snapshot
