// Split building: turns the walk's events into one tree's parts, then merges edges split by degree-2 nodes.
#include "snapshot/build.h"

#include <algorithm>
#include <cassert>

#include "snapshot/messages.h"
#include "snapshot/newick-inl.h"

namespace brantoveil::snapshot {

LeafContext make_leaf_context(const std::vector<std::string>& sorted_names, bool rooted) {
  LeafContext context;
  context.labels = taxon_labels(sorted_names.size());
  for (const u128 label : context.labels) context.total ^= label;
  context.leaf_index = build_leaf_index(sorted_names);
  context.rooted = rooted;
  return context;
}

namespace {

/*
 * Tree-mode handler of the walk. A node's key is the XOR of its leaves' labels, so a group's
 * key is built child by child and no leaf set is ever materialised. Parts are emitted in
 * post-order as nodes are attached; a subtree's leaves are consecutive in leaf_order, so each
 * part's leaves are leaf_order[start, start + size).
 */
// An open group of the walk: its key so far, first leaf and child count.
struct Group {
  u128 key;
  std::uint32_t start;
  std::uint32_t children;
};

// An unrooted side of n - 1 leaves is the pendant edge of the one leaf outside it.
struct PendantExtension {
  std::uint32_t start;
  double length;
};

// What a builder needs only while it reads one tree, kept per thread so that reading a tree
// allocates nothing but the tree itself.
struct BuildScratch {
  std::vector<std::uint8_t> seen;
  std::vector<Group> stack;
  std::vector<PendantExtension> extensions;
};

class SplitBuilder {
 public:
  SplitBuilder(const LeafContext& context, Snapshot& tree, BuildScratch& scratch)
      : context_(context), n_(static_cast<std::uint32_t>(context.n_leaves())), tree_(tree),
        seen_(scratch.seen), stack_(scratch.stack), extensions_(scratch.extensions) {
    tree_.leaf_order.reserve(n_);
    tree_.parts.reserve(2 * static_cast<std::size_t>(n_));
    seen_.assign(n_, 0);
    stack_.clear();
    extensions_.clear();
  }

  void open() { stack_.push_back(Group{0, static_cast<std::uint32_t>(tree_.leaf_order.size()), 0}); }

  detail::LeafVerdict leaf(std::string_view name) { return leaf_at(context_.leaf_index.find(name)); }

  detail::LeafVerdict leaf_at(std::uint32_t index) {
    if (index == StringIndex::kAbsent) return detail::LeafVerdict::kUnknown;
    if (seen_[index]) return detail::LeafVerdict::kRepeated;
    seen_[index] = 1;
    current_ = Node{context_.labels[index], 0.0, static_cast<std::uint32_t>(tree_.leaf_order.size()), 1};
    tree_.leaf_order.push_back(index);
    return detail::LeafVerdict::kAccepted;
  }

  void set_length(double length) { current_.length = length; }

  void attach() {
    Group& group = stack_.back();
    group.key ^= current_.key;
    ++group.children;
    const bool emitted = emit();
    if (stack_.size() == 1 && group.children <= 2) {
      root_slots_[group.children - 1] = RootSlot{emitted, static_cast<std::uint32_t>(tree_.parts.size() - 1)};
    }
  }

  void close() {
    const Group group = stack_.back();
    stack_.pop_back();
    const auto size = static_cast<std::uint32_t>(tree_.leaf_order.size()) - group.start;
    current_ = Node{group.key, 0.0, group.start, size};
    if (group.children == 1) unary_ = true;
    if (stack_.empty()) root_children_ = group.children;
  }

  /// Post-processing once the walk has reached ';'.
  Status finish(std::uint64_t tree_index);

 private:
  struct Node {
    u128 key;
    double length;
    std::uint32_t start;
    std::uint32_t size;
  };
  struct RootSlot {
    bool emitted = false;
    std::uint32_t at = 0;
  };
  bool emit() {
    const Node& node = current_;
    if (context_.rooted || node.size == 1) {
      tree_.parts.push_back(Part{node.key, node.length, node.start, node.size});
      return true;
    }
    if (node.size >= n_ - 1) {
      if (node.size == n_ - 1) extensions_.push_back(PendantExtension{node.start, node.length});
      return false;
    }
    const u128 flipped = node.key ^ context_.total;
    tree_.parts.push_back(Part{std::min(node.key, flipped), node.length, node.start, node.size});
    return true;
  }

  void extend_pendants();
  void merge_equal_neighbours();

  const LeafContext& context_;
  const std::uint32_t n_;
  Snapshot& tree_;
  std::vector<std::uint8_t>& seen_;
  std::vector<Group>& stack_;
  std::vector<PendantExtension>& extensions_;
  Node current_{};
  bool unary_ = false;
  std::uint32_t root_children_ = 0;
  RootSlot root_slots_[2];
};

// The lengths of n - 1 sides (the other child of a two-child root, and any single-child groups
// around it) belong to the outside leaf's pendant edge; dropping them would lose the root edge.
void SplitBuilder::extend_pendants() {
  auto& parts = tree_.parts;
  for (const PendantExtension& extension : extensions_) {
    // The side covers leaf_order[start, start + n - 1), so the outside leaf is first or last.
    const std::uint32_t outside = extension.start == 0 ? n_ - 1 : 0;
    for (Part& part : parts) {
      if (part.size == 1 && part.start == outside) {
        // Any one part of the leaf will do: a unary chain's parts are summed afterwards.
        part.length += extension.length;
        break;
      }
    }
  }
}

// Keeps the first part of each run of equal keys, with the run's lengths summed in order.
void SplitBuilder::merge_equal_neighbours() {
  auto& parts = tree_.parts;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (kept > 0 && parts[kept - 1].key == parts[i].key) {
      parts[kept - 1].length += parts[i].length;
    } else {
      parts[kept++] = parts[i];
    }
  }
  parts.resize(kept);
}

Status SplitBuilder::finish(std::uint64_t tree_index) {
  if (tree_.leaf_order.size() != n_) {
    return messages::tree_error(ErrorKind::leaf_set, tree_index, messages::kDifferentLeafSet);
  }
  extend_pendants();
  auto& parts = tree_.parts;
  if (unary_) {
    // Single-child groups repeat their child's edge: the repeats share a key and are summed.
    if (context_.rooted) {
      std::erase_if(parts, [this](const Part& part) { return part.size == n_; });
    } else {
      std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.key < b.key; });
    }
    merge_equal_neighbours();
  } else if (!context_.rooted && root_children_ == 2 && root_slots_[0].emitted && root_slots_[1].emitted &&
             parts[root_slots_[0].at].key == parts[root_slots_[1].at].key) {
    // The two root edges of an unrooted tree are one edge.
    parts[root_slots_[0].at].length += parts[root_slots_[1].at].length;
    parts.erase(parts.begin() + root_slots_[1].at);
  }
  return success();
}

}  // namespace

namespace {

Status read_tree(std::string_view text, const TranslateMap& translate, const std::uint32_t* leaf_of_entry,
                 std::uint64_t tree_index, const LeafContext& context, Snapshot& tree) {
  thread_local BuildScratch scratch;
  // Built in a local and moved back: trees of one chunk sit side by side, and a push into the
  // caller's copy would rewrite a cache line that other threads are writing too.
  Snapshot local = std::move(tree);
  local.parts.clear();
  local.leaf_order.clear();
  SplitBuilder builder(context, local, scratch);
  Status read = detail::walk(text, translate, tree_index, builder, leaf_of_entry);
  if (read) read = builder.finish(tree_index);
  tree = std::move(local);
  return read;
}

}  // namespace

Result<Snapshot> snapshot(std::string_view text, const TranslateMap& translate, std::uint64_t tree_index,
                          const LeafContext& context) {
  Snapshot tree;
  Status read = read_tree(text, translate, nullptr, tree_index, context, tree);
  if (!read) return std::move(read).take_error();
  return tree;
}

TranslatedLeaves compose_translation(const TranslateMap& map, const LeafContext& context) {
  TranslatedLeaves composed;
  composed.map = &map;
  composed.leaf_of_entry.resize(map.size());
  for (std::uint32_t entry = 0; entry < map.size(); ++entry) {
    composed.leaf_of_entry[entry] = context.leaf_index.find(map.taxon_at(entry));
  }
  return composed;
}

Result<Snapshot> snapshot(std::string_view text, const TranslatedLeaves& translated, std::uint64_t tree_index,
                          const LeafContext& context) {
  Snapshot tree;
  Status read = read_into(text, translated, tree_index, context, tree);
  if (!read) return std::move(read).take_error();
  return tree;
}

Status read_into(std::string_view text, const TranslatedLeaves& translated, std::uint64_t tree_index,
                 const LeafContext& context, Snapshot& tree) {
  return read_tree(text, *translated.map, translated.leaf_of_entry.data(), tree_index, context, tree);
}

void Snapshot::push_canonical(const Part& part, bool rooted, CladeTable& table) const {
  const std::span<const std::uint32_t> order(leaf_order);
  const auto below = order.subspan(part.start, part.size);
  if (!rooted && part.size > 1 && std::find(below.begin(), below.end(), 0u) != below.end()) {
    // Unrooted clades are the side without leaf 0, so both orientations of an edge agree.
    table.push(order.first(part.start), order.subspan(part.start + part.size));
  } else {
    table.push(below);
  }
}

}  // namespace brantoveil::snapshot
