// Gene trees: trees that each hold their own taxa, read into split masks over the union of all taxa.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shared/result.h"
#include "snapshot/newick.h"

namespace brantoveil::snapshot {

/// Every tree's taxon set and edges as bit masks over the sorted union of the trees' taxa.
/// Tree t's edges are [edge_offsets[t], edge_offsets[t + 1]): its non-pendant edges first
/// (first_pendant[t] is where its pendant edges start), each the side below a node of the tree
/// as written, with its length (0 without one); edges of single-child nodes are already merged.
struct GeneSet {
  std::vector<std::string> taxa;
  std::size_t words = 0;  // 64-bit words per mask
  bool rooted = false;
  std::vector<std::uint64_t> taxon_masks;  // tree t at t * words
  std::vector<std::uint64_t> edge_offsets;
  std::vector<std::uint64_t> first_pendant;
  std::vector<std::uint64_t> edge_masks;  // edge e at e * words
  std::vector<double> edge_lengths;

  std::size_t size() const { return first_pendant.size(); }
  std::span<const std::uint64_t> taxa_of(std::size_t t) const { return {taxon_masks.data() + t * words, words}; }
  const std::uint64_t* edge(std::uint64_t e) const { return edge_masks.data() + e * words; }
};

/// One tree's text and the translate map its labels go through (empty for none).
struct GeneText {
  std::string_view text;
  const TranslateMap* translate;
};

/// Reads the trees on the current pool; an error names the first tree that cannot be read.
Result<GeneSet> read_gene_set(std::span<const GeneText> trees, bool rooted);

/// The mask over `set`'s taxa of the names in `names` that it holds (names it lacks are ignored).
std::vector<std::uint64_t> taxa_mask(const GeneSet& set, std::span<const std::string> names);

}  // namespace brantoveil::snapshot
