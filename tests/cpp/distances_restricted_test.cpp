// Restricted splits against a brute-force pruning: each pair's trees pruned to the shared taxa by hand.
#include "distances/restricted.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "pool/pool.h"

namespace brantoveil::distances {
namespace {

// A rooted tree as nodes; a leaf has a taxon number, node 0 is the root.
struct Node {
  int taxon = -1;
  double length = 0.0;
  std::vector<int> children;
};
using Tree = std::vector<Node>;

std::string newick(const Tree& tree, int at = 0) {
  const Node& node = tree[at];
  std::string text;
  if (node.taxon >= 0) {
    text = "t" + std::to_string(node.taxon);
  } else {
    text = "(";
    for (std::size_t i = 0; i < node.children.size(); ++i) text += (i ? "," : "") + newick(tree, node.children[i]);
    text += ")";
  }
  if (at == 0) return text + ";";
  char length[40];
  std::snprintf(length, sizeof length, ":%.17g", node.length);
  return text + length;
}

// A random tree over a random subset of `pool` taxa (at least 3), with polytomies and single-child nodes.
Tree random_tree(std::mt19937_64& rng, int pool) {
  std::vector<int> taxa(pool);
  for (int i = 0; i < pool; ++i) taxa[i] = i;
  std::shuffle(taxa.begin(), taxa.end(), rng);
  taxa.resize(3 + rng() % (pool - 2));
  Tree tree(1);
  std::uniform_real_distribution<double> length(0.0, 2.0);
  std::vector<int> open;
  for (int taxon : taxa) {
    tree.push_back(Node{taxon, length(rng), {}});
    open.push_back(static_cast<int>(tree.size()) - 1);
  }
  while (open.size() > 3) {
    const std::size_t take = std::min<std::size_t>(open.size() - 1, rng() % 4 == 0 ? 3 : 2);
    std::shuffle(open.begin(), open.end(), rng);
    Node parent{-1, length(rng), {}};
    parent.children.assign(open.end() - take, open.end());
    open.resize(open.size() - take);
    tree.push_back(parent);
    if (rng() % 10 == 0) tree.push_back(Node{-1, length(rng), {static_cast<int>(tree.size()) - 1}});
    open.push_back(static_cast<int>(tree.size()) - 1);
  }
  if (rng() % 2 == 0 && open.size() == 3) {  // a two-child root
    tree.push_back(Node{-1, length(rng), {open[1], open[2]}});
    open = {open[0], static_cast<int>(tree.size()) - 1};
  }
  tree[0].children = open;
  return tree;
}

using Mask = std::set<int>;

// The tree pruned to `keep`: each node with one child left is replaced by it (lengths summed), and
// sides of the root's edges collected as taxon sets with their lengths.
struct Pruned {
  Mask below;
  double length;
  std::vector<Pruned> children;
};

std::optional<Pruned> prune(const Tree& tree, int at, const Mask& keep) {
  const Node& node = tree[at];
  if (node.taxon >= 0) {
    if (!keep.count(node.taxon)) return std::nullopt;
    return Pruned{{node.taxon}, node.length, {}};
  }
  std::vector<Pruned> kept;
  for (int child : node.children) {
    if (auto p = prune(tree, child, keep)) kept.push_back(std::move(*p));
  }
  if (kept.empty()) return std::nullopt;
  if (kept.size() == 1) {
    kept[0].length += node.length;
    return std::move(kept[0]);
  }
  Pruned out{{}, node.length, std::move(kept)};
  for (const Pruned& child : out.children) out.below.insert(child.below.begin(), child.below.end());
  return out;
}

void collect(const Pruned& node, const Mask& all, bool rooted, std::map<Mask, double>& sides) {
  for (const Pruned& child : node.children) {
    Mask side = child.below;
    if (!rooted && side.count(*all.begin())) {
      Mask other;
      for (int t : all) {
        if (!side.count(t)) other.insert(t);
      }
      side = other;
    }
    if (!side.empty() && side.size() < all.size()) sides[side] += child.length;
    collect(child, all, rooted, sides);
  }
}

double brute_force(const Tree& a, const Tree& b, bool rooted, GeneMetric metric) {
  Mask ta, tb, shared;
  for (const Node& n : a) if (n.taxon >= 0) ta.insert(n.taxon);
  for (const Node& n : b) if (n.taxon >= 0) tb.insert(n.taxon);
  for (int t : ta) if (tb.count(t)) shared.insert(t);
  if (shared.size() < fewest_shared(rooted)) return std::numeric_limits<double>::quiet_NaN();
  std::map<Mask, double> sa, sb;
  collect(*prune(a, 0, shared), shared, rooted, sa);
  collect(*prune(b, 0, shared), shared, rooted, sb);
  const std::size_t largest_inner = shared.size() - (rooted ? 1 : 2);
  auto inner = [&](const Mask& side) { return side.size() >= 2 && side.size() <= largest_inner; };
  double sum = 0.0;
  std::map<Mask, std::pair<double, double>> both;
  for (const auto& [side, length] : sa) both[side].first = length;
  for (const auto& [side, length] : sb) both[side].second = length;
  for (const auto& [side, lengths] : both) {
    const auto [x, y] = lengths;
    if (metric == GeneMetric::rf) {
      if (inner(side) && (sa.count(side) != sb.count(side))) sum += 1;
    } else if (metric == GeneMetric::wrf) {
      sum += std::abs(x - y);
    } else {
      sum += (x - y) * (x - y);
    }
  }
  return metric == GeneMetric::kf ? std::sqrt(sum) : sum;
}

snapshot::GeneSet read(const std::vector<std::string>& texts, bool rooted) {
  std::vector<snapshot::GeneText> trees;
  for (const std::string& text : texts) trees.push_back({text, nullptr});
  auto set = snapshot::read_gene_set(trees, rooted);
  EXPECT_TRUE(set.ok()) << (set.ok() ? "" : set.failure().message);
  return std::move(set).value();
}

bool same(double expected, double got, GeneMetric metric) {
  if (std::isnan(expected)) return std::isnan(got);
  return metric == GeneMetric::rf ? expected == got : std::abs(expected - got) <= 1e-9 * (1 + std::abs(expected));
}

// Random pairs, rooted and unrooted, every metric, against the pruning: over 70 taxa (two mask
// words; Robinson-Foulds by leaf ranks) and over 300 (Robinson-Foulds by restricted masks too).
TEST(RestrictedKernel, MatchesBruteForcePruning) {
  for (const auto& [rooted, wide] : {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
    std::mt19937_64 rng(rooted ? 7 : 3);
    std::vector<Tree> trees;
    std::vector<std::string> texts;
    for (int i = 0; i < (wide ? 24 : 60); ++i) {
      trees.push_back(random_tree(rng, wide ? 300 : i < 30 ? 12 : 70));
      texts.push_back(newick(trees.back()));
    }
    const snapshot::GeneSet set = read(texts, rooted);
    for (const GeneMetric metric : {GeneMetric::rf, GeneMetric::wrf, GeneMetric::kf}) {
      const RestrictedKernel<double> kernel(set, metric, {});
      for (std::size_t a = 0; a < trees.size(); ++a) {
        for (std::size_t b = 0; b < trees.size(); ++b) {
          const double expected = brute_force(trees[a], trees[b], rooted, metric);
          ASSERT_TRUE(same(expected, kernel.pair(a, b), metric))
              << "rooted " << rooted << " metric " << int(metric) << " pair " << a << "," << b << ": "
              << expected << " vs " << kernel.pair(a, b) << "\n" << texts[a] << "\n" << texts[b];
        }
      }
    }
  }
}

struct PairCase {
  const char* a;
  const char* b;
  bool rooted;
  GeneMetric metric;
  double expected;
};

// Hand-worked pairs: what merging, dropping and the shared-taxa floor do.
const PairCase kPairs[] = {
    // ab|cd against ac|bd on {a,b,c,d}; e and f are pruned away.
    {"((a,b),(c,d),e);", "((a,c),(b,d),f);", false, GeneMetric::rf, 2},
    // x's removal merges a's pendant edge with the edge above it: 1 + 1 against 2.
    {"(((a:1,x:1):1,b:1):1,c:1,d:1);", "((a:2,b:1):1,c:1,d:1);", false, GeneMetric::wrf, 0},
    // Only three taxa shared: no unrooted distance.
    {"((a,b),(c,x),y);", "((a,b),(c,z),w);", false, GeneMetric::rf, std::numeric_limits<double>::quiet_NaN()},
    // Rooted, three shared taxa: clade ab against clade bc.
    {"((a,b),(c,x));", "((b,c),(a,y));", true, GeneMetric::rf, 2},
    // Rooted: the edge above the shared taxa's root is dropped, so only the pendant edges differ.
    {"(((a:1,b:1):5,c:1):1,x:1);", "(((a:1,b:1):5,c:1):9,y:1);", true, GeneMetric::kf, 0},
};

TEST(RestrictedKernel, HandWorkedPairs) {
  for (const PairCase& row : kPairs) {
    const snapshot::GeneSet set = read({row.a, row.b}, row.rooted);
    const RestrictedKernel<double> kernel(set, row.metric, {});
    EXPECT_TRUE(same(row.expected, kernel.pair(0, 1), row.metric)) << row.a << " " << row.b;
    EXPECT_TRUE(same(row.expected, kernel.pair(1, 0), row.metric)) << row.a << " " << row.b;
  }
}

// The symmetric driver and the block driver agree bit for bit with the pair hook on any pool.
TEST(RestrictedKernel, DriversAgreeWithPairs) {
  std::mt19937_64 rng(11);
  std::vector<std::string> texts;
  for (int i = 0; i < 150; ++i) texts.push_back(newick(random_tree(rng, 200)));
  const snapshot::GeneSet set = read(texts, false);
  const RestrictedKernel<double> kernel(set, GeneMetric::wrf, {});
  const std::size_t n = texts.size();
  for (const std::size_t threads : {1, 3}) {
    pool::Pool p(threads);
    pool::ScopedPool use(p);
    std::vector<double> full(n * n, -1.0);
    std::atomic<std::uint64_t> counter{0};
    ASSERT_TRUE(restricted_symmetric(kernel, n, &counter, full.data()));
    EXPECT_EQ(counter.load(), n * (n - 1) / 2);
    std::vector<std::uint64_t> rows = {5, 0, 149}, cols(n);
    for (std::size_t i = 0; i < n; ++i) cols[i] = i;
    std::vector<double> block(rows.size() * n, -1.0);
    ASSERT_TRUE(restricted_block(kernel, rows, cols, nullptr, block.data()));
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t c = 0; c < n; ++c) {
        const double want = kernel.pair(r, c);
        ASSERT_EQ(std::memcmp(&want, &full[r * n + c], sizeof want), 0) << r << "," << c;
      }
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
      for (std::size_t c = 0; c < n; ++c) ASSERT_EQ(std::memcmp(&block[r * n + c], &full[rows[r] * n + c], 8), 0);
    }
    // The reduction driver: each row's sum in column order, and its nearest other tree.
    ReduceRequest request;
    request.k = 1;
    const auto reduced = restricted_reduce(kernel, rows, cols, request, nullptr);
    ASSERT_TRUE(reduced.has_value());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      double sum = 0.0;
      std::int64_t nearest = -1;
      for (std::size_t c = 0; c < n; ++c) {
        const double v = full[rows[r] * n + c];
        sum = sum + v;
        if (c != rows[r] && !std::isnan(v) && (nearest < 0 || v < full[rows[r] * n + nearest])) nearest = static_cast<std::int64_t>(c);
      }
      if (nearest < 0) nearest = rows[r] == 0 ? 1 : 0;  // every other distance NaN: the lowest index
      EXPECT_EQ(std::memcmp(&sum, &reduced->sums[r], sizeof sum), 0) << r;
      EXPECT_EQ(reduced->knn_index[r], nearest) << r;
    }
  }
}

}  // namespace
}  // namespace brantoveil::distances
