// One tree as its emitted edges: split keys, lengths and leaf ranges.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "shared/result.h"
#include "snapshot/clades.h"
#include "snapshot/fingerprint.h"
#include "snapshot/newick.h"

namespace brantoveil::snapshot {

/// Read-only per-call context shared by every tree of the call.
struct LeafContext {
  std::vector<u128> labels;
  u128 total = 0;
  LeafIndex leaf_index;
  bool rooted = false;

  std::size_t n_leaves() const { return labels.size(); }
};

/// The context for the sorted leaf names (which must outlive it).
LeafContext make_leaf_context(const std::vector<std::string>& sorted_names, bool rooted);

/// One emitted edge; its leaves are leaf_order[start, start + size).
struct Part {
  u128 key;
  double length;
  std::uint32_t start;
  std::uint32_t size;
};

/// One parsed tree.
struct Snapshot {
  std::vector<Part> parts;
  std::vector<std::uint32_t> leaf_order;

  /// Appends the canonical leaf set of `part` (a part of this snapshot) to `table`.
  void push_canonical(const Part& part, bool rooted, CladeTable& table) const;
};

/// Reads one tree into its parts; an error names `tree_index` and, when it has one, its byte.
Result<Snapshot> snapshot(std::string_view text, const TranslateMap& translate, std::uint64_t tree_index,
                          const LeafContext& context);

/// A translate map composed with a call's leaf index: the leaf of each map entry's taxon, or
/// StringIndex::kAbsent when that taxon is no leaf. A translated leaf then costs one lookup.
struct TranslatedLeaves {
  const TranslateMap* map = nullptr;
  std::vector<std::uint32_t> leaf_of_entry;
};

/// Composes `map` (which must outlive the result) with the leaf index of `context`.
TranslatedLeaves compose_translation(const TranslateMap& map, const LeafContext& context);

/// `snapshot` of a tree whose translate map is `translated.map`, composed beforehand.
Result<Snapshot> snapshot(std::string_view text, const TranslatedLeaves& translated, std::uint64_t tree_index,
                          const LeafContext& context);

/// The same, read into `tree`, whose storage is reused: a reader that keeps its trees between
/// chunks allocates (and faults in) their parts only once. After an error `tree` is a fragment.
Status read_into(std::string_view text, const TranslatedLeaves& translated, std::uint64_t tree_index,
                 const LeafContext& context, Snapshot& tree);

}  // namespace brantoveil::snapshot
