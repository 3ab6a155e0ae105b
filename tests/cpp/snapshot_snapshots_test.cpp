// Snapshot set driver: leaf set from tree 0, chunking, error precedence and pulling discipline.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "distances/weighted.h"
#include "pool/pool.h"
#include "snapshot/encoded.h"
#include "snapshot/messages.h"
#include "snapshot/snapshots.h"

namespace brantoveil::snapshot {
namespace {

// How the in-memory source answers size_hint().
enum class Hint { kExact, kZero, kHuge };

// Trees from a list, counting what was pulled.
class ListSource : public TreeSource {
 public:
  explicit ListSource(std::vector<std::string> texts, Hint hint = Hint::kExact)
      : texts_(std::move(texts)), hint_(hint) {}

  std::optional<TreeItem> next() override {
    if (pulled_ == texts_.size()) return std::nullopt;
    return TreeItem{texts_[pulled_++], nullptr};
  }
  std::size_t size_hint() override {
    switch (hint_) {
      case Hint::kExact: return texts_.size() - pulled_;
      case Hint::kZero: return 0;
      case Hint::kHuge: return std::numeric_limits<std::size_t>::max();
    }
    return 0;
  }

  std::size_t pulled() const { return pulled_; }

 private:
  std::vector<std::string> texts_;
  Hint hint_;
  std::size_t pulled_ = 0;
};

// A random binary tree over t0..t{n-1} with lengths, as Newick text.
std::string random_newick(std::size_t n, std::mt19937& rng) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < n; ++i) names.push_back("t" + std::to_string(i));
  std::shuffle(names.begin(), names.end(), rng);
  auto build = [&](auto&& self, std::size_t lo, std::size_t hi) -> std::string {
    const std::string length = ":" + std::to_string(1 + rng() % 16) + ".5";
    if (hi - lo == 1) return names[lo] + length;
    const std::size_t mid = lo + 1 + rng() % (hi - lo - 1);
    return "(" + self(self, lo, mid) + "," + self(self, mid, hi) + ")" + length;
  };
  const std::size_t mid = 1 + rng() % (n - 1);
  return "(" + build(build, 0, mid) + "," + build(build, mid, n) + ");";
}

std::vector<std::string> random_forest(std::size_t count, std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> texts;
  for (std::size_t t = 0; t < count; ++t) texts.push_back(random_newick(n, rng));
  return texts;
}

Result<Snapshots> read(std::vector<std::string> texts, SnapshotOptions options, Hint hint = Hint::kExact) {
  ListSource source(std::move(texts), hint);
  return Snapshots::from_newick_iter_opts(source, options);
}

void expect_same_set(const Snapshots& a, const Snapshots& b) {
  ASSERT_EQ(a.snaps.size(), b.snaps.size());
  for (std::size_t t = 0; t < a.snaps.size(); ++t) {
    EXPECT_EQ(a.snaps[t].ids, b.snaps[t].ids) << "tree " << t;
    EXPECT_EQ(a.snaps[t].lengths, b.snaps[t].lengths) << "tree " << t;
  }
  EXPECT_EQ(a.supports, b.supports);
  EXPECT_EQ(a.clades.members, b.clades.members);
  EXPECT_EQ(a.clades.offsets, b.clades.offsets);
  EXPECT_EQ(a.leaf_names, b.leaf_names);
}

const SnapshotOptions kAll{.keep_lengths = true, .keep_clades = true};

TEST(SnapshotSet, EmptySourceGivesEmptySet) {
  const Result<Snapshots> set = read({}, kAll);
  ASSERT_TRUE(set.ok());
  EXPECT_TRUE(set.value().snaps.empty());
  EXPECT_TRUE(set.value().supports.empty());
  EXPECT_TRUE(set.value().leaf_names.empty());
  EXPECT_EQ(set.value().clades.offsets, std::vector<std::uint32_t>{0});
}

TEST(SnapshotSet, SingleTreeGivesOneInternedTree) {
  const Result<Snapshots> set = read({"((b:1,a:2):3,c:4,d:5);"}, {.keep_lengths = true});
  ASSERT_TRUE(set.ok()) << set.error();
  const Snapshots& s = set.value();
  EXPECT_EQ(s.leaf_names, (std::vector<std::string>{"a", "b", "c", "d"}));
  ASSERT_EQ(s.snaps.size(), 1u);
  EXPECT_EQ(s.snaps[0].ids, std::vector<std::uint32_t>{4});
  EXPECT_EQ(s.snaps[0].lengths, (std::vector<double>{2, 1, 4, 5, 3}));
  EXPECT_EQ(s.supports, (std::vector<std::uint32_t>{1, 1, 1, 1, 1}));
}

TEST(SnapshotSet, LeafSetComesFromTreeZero) {
  struct Row {
    std::vector<std::string> texts;
    std::string error;                     // empty when the set must build
    std::vector<std::string> leaf_names;  // when it builds
  };
  const Row rows[] = {
      // Names are sorted byte-wise: leaf 0 is the first in byte order.
      {{"(b,a);"}, "", {"a", "b"}},
      {{"(b,B,a);", "(a,b,B);"}, "", {"B", "a", "b"}},
      // A repeated name in tree 0 is a leaf-set error, not a per-tree one.
      {{"(b,a,b);"}, "Tree 0 has duplicate leaf names. All leaf names must be unique.", {}},
      // Later trees are held against tree 0's set.
      {{"(a,b,c);", "(a,b,d);"},
       "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa.",
       {}},
      {{"(a,b,c);", "(a,b);"}, "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa.", {}},
      // Tree 0's own parse errors carry index 0.
      {{"(a,b"}, "Failed to parse newick at index 0: the tree does not end in ';'", {}},
  };
  for (const Row& row : rows) {
    const Result<Snapshots> set = read(row.texts, kAll);
    if (row.error.empty()) {
      ASSERT_TRUE(set.ok()) << set.error();
      EXPECT_EQ(set.value().leaf_names, row.leaf_names);
    } else {
      ASSERT_FALSE(set.ok()) << row.texts[0];
      EXPECT_EQ(set.error(), row.error);
    }
  }
}

TEST(SnapshotSet, ParseErrorNamesInputPositionWhateverTheChunking) {
  std::vector<std::string> texts = random_forest(12, 6, 1);
  texts[5] = "((t0,t1),(t2,t3),t4,t5)";
  for (std::size_t threads : {1, 3}) {
    pool::Pool p(threads);
    pool::ScopedPool use(p);
    for (std::size_t chunk : {0, 1, 2, 3, 4, 5, 7}) {
      const Result<Snapshots> set = read(texts, {.chunk_trees = chunk});
      ASSERT_FALSE(set.ok());
      EXPECT_EQ(set.error(), "Failed to parse newick at index 5: the tree does not end in ';'")
          << "threads " << threads << " chunk " << chunk;
    }
  }
}

TEST(SnapshotSet, ErrorInEarlierChunkWins) {
  std::vector<std::string> texts = random_forest(10, 6, 2);
  texts[3] = "((t0,t1),(t2,t3),t4,x);";
  texts[4] = "((t0,t1),(t2,t3),t4,t5";
  const std::string third = "Tree 3 has a different leaf set than tree 0. All trees must share the same taxa.";
  const std::string fourth = "Failed to parse newick at index 4: the tree does not end in ';'";
  pool::Pool p(3);
  pool::ScopedPool use(p);
  // After tree 0, chunks of 1 and of 3 put the two trees in different chunks; chunks of 2 do not.
  for (std::size_t chunk : {1, 3}) {
    const Result<Snapshots> set = read(texts, {.chunk_trees = chunk});
    ASSERT_FALSE(set.ok());
    EXPECT_EQ(set.error(), third) << "chunk " << chunk;
  }
  const Result<Snapshots> same = read(texts, {.chunk_trees = 2});
  ASSERT_FALSE(same.ok());
  EXPECT_TRUE(same.error() == third || same.error() == fourth) << same.error();
}

TEST(SnapshotSet, FailedChunkIsTheLastOnePulled) {
  std::vector<std::string> texts = random_forest(10, 6, 3);
  texts[3] = "(t0,t1,t2,t3,t4,t4);";
  ListSource source(texts);
  // Chunks after tree 0: [1,2], [3,4]; nothing beyond tree 4 may be consumed.
  const Result<Snapshots> set = Snapshots::from_newick_iter_opts(source, {.chunk_trees = 2});
  ASSERT_FALSE(set.ok());
  EXPECT_EQ(set.error(), "Tree 3 repeats the leaf name \"t4\". All leaf names must be unique.");
  EXPECT_EQ(source.pulled(), 5u);
}

// Says stop whenever asked.
struct AlwaysStop final : pool::StopCheck {
  bool stop_requested() override { return true; }
};

TEST(SnapshotSet, StopCheckEndsReadingBeforeTheNextChunk) {
  ListSource source(random_forest(10, 6, 3));
  AlwaysStop stop;
  pool::ScopedStopCheck scope(stop);
  const Result<Snapshots> set = Snapshots::from_newick_iter_opts(source, {.chunk_trees = 2});
  ASSERT_FALSE(set.ok());
  EXPECT_EQ(set.error(), messages::kStopped);
  EXPECT_EQ(source.pulled(), 1u);  // tree 0 fixes the leaf set before the first check
}

// Tree counts and positions within a tree are 32-bit; the caps are lowered here to reach them.
TEST(SnapshotSet, CountsPastThirtyTwoBitsAreErrors) {
  const std::vector<std::string> four = random_forest(4, 6, 9);
  std::uint64_t cap = 0;  // the longest text of the four fits, the padded one does not
  for (const std::string& text : four) cap = std::max<std::uint64_t>(cap, text.size());
  std::string long_tree = four[2];
  long_tree.insert(1, cap, ' ');
  struct Row {
    std::vector<std::string> texts;
    SnapshotOptions options;
    std::string error;  // empty: reads fine
  };
  const std::vector<Row> rows = {
      {{four[0], four[1], four[2]}, {.chunk_trees = 2, .max_trees = 3}, ""},  // exactly at the cap
      {four, {.chunk_trees = 2, .max_trees = 3}, std::string(messages::kTooManyTrees)},
      {{four[0], four[1], long_tree}, {.max_tree_bytes = cap}, messages::tree_error(ErrorKind::tree, 2, messages::kTreeTooLarge).message},
      {{long_tree, four[1]}, {.max_tree_bytes = cap}, messages::tree_error(ErrorKind::tree, 0, messages::kTreeTooLarge).message},
  };
  for (const Row& row : rows) {
    const Result<Snapshots> set = read(row.texts, row.options);
    if (row.error.empty()) {
      EXPECT_TRUE(set.ok()) << set.error();
    } else {
      ASSERT_FALSE(set.ok());
      EXPECT_EQ(set.error(), row.error);
    }
  }
}

TEST(SnapshotSet, ResultIsIndependentOfThreadsChunksAndEstimates) {
  const std::vector<std::string> texts = random_forest(40, 9, 4);
  for (bool rooted : {false, true}) {
    SnapshotOptions options = kAll;
    options.rooted = rooted;
    const Result<Snapshots> reference = read(texts, options);
    ASSERT_TRUE(reference.ok()) << reference.error();
    EXPECT_EQ(reference.value().snaps.size(), texts.size());
    for (std::size_t threads : {1, 2, 3}) {
      pool::Pool p(threads);
      pool::ScopedPool use(p);
      for (std::size_t chunk : {0, 1, 4, 39, 100}) {
        for (Hint hint : {Hint::kExact, Hint::kZero, Hint::kHuge}) {
          SCOPED_TRACE(testing::Message() << "rooted " << rooted << " threads " << threads << " chunk " << chunk
                                          << " hint " << static_cast<int>(hint));
          options.chunk_trees = chunk;
          const Result<Snapshots> set = read(texts, options, hint);
          ASSERT_TRUE(set.ok()) << set.error();
          expect_same_set(set.value(), reference.value());
        }
      }
    }
  }
}

TEST(SnapshotSet, WeightedKernelsSeePendantAndInnerLengths) {
  // Differences: b 2, c 2, AC|BD 3 and AB|CD 9 (tree 0's two root edges joined).
  const std::vector<std::string> texts = {"((a:1,b:2):3,(c:4,d:5):6);", "((a:1,c:2):3,b:4,d:5);"};
  for (const SnapshotOptions& options : {SnapshotOptions{.keep_lengths = true}, kAll}) {
    Result<Snapshots> set = read(texts, options);
    ASSERT_TRUE(set.ok()) << set.error();
    const Buffer<double> wrf = distances::distance_wrf(encode_trees(set.value(), true, false, false), nullptr);
    const Buffer<double> kf = distances::distance_kf(encode_trees(set.value(), true, false, true), nullptr);
    ASSERT_EQ(wrf.size(), 4u);
    EXPECT_DOUBLE_EQ(wrf[1], 16.0);
    EXPECT_DOUBLE_EQ(kf[2], std::sqrt(98.0));
    // Copying left the set whole; consuming it gives the same matrices.
    EXPECT_EQ(set.value().snaps.size(), 2u);
    Snapshots copy = set.value();
    const Buffer<double> kf_owned = distances::distance_kf(encode_trees(copy, true, true, false), nullptr);
    const Buffer<double> wrf_owned = distances::distance_wrf(encode_trees(set.value(), true, true, true), nullptr);
    EXPECT_TRUE(set.value().snaps.empty());
    EXPECT_DOUBLE_EQ(wrf_owned[2], 16.0);
    EXPECT_DOUBLE_EQ(kf_owned[1], std::sqrt(98.0));
    EXPECT_EQ(wrf_owned[0], 0.0);
  }
}

TEST(ChunkSizing, FollowsTheByteBudgetAndTreeCap) {
  struct Row {
    std::uint64_t text_bytes, parts, leaves, threads, per_thread;
  };
  const Row rows[] = {
      {2000, 197, 100, 8, 240},          // 8,704 bytes a tree: the budget decides
      {10, 1, 3, 1, 4096},               // tiny trees: the cap of 4,096 decides
      {10, 1, 3, 8, 512},                // the cap is shared among threads
      {10, 1, 3, 5000, 1},               // but every thread gets a tree
      {16u << 20, 0, 0, 1, 1},           // exactly the budget: one tree
      {(16u << 20) + 1, 0, 0, 1, 1},     // over the budget: still one tree per thread
      {0, 0, 0, 0, 4096},                // empty estimate and no threads count as 1
  };
  for (const Row& row : rows) {
    EXPECT_EQ(chunk_trees_per_thread(row.text_bytes, row.parts, row.leaves, row.threads), row.per_thread)
        << row.text_bytes << " bytes, " << row.threads << " threads";
  }
}

}  // namespace
}  // namespace brantoveil::snapshot
