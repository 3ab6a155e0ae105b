// Gene-tree reading: each tree through the ordinary reader on its own taxa, then its edges as masks
// over the union of every tree's taxa.
#include "snapshot/genes.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "pool/pool.h"
#include "snapshot/build.h"
#include "snapshot/messages.h"

namespace brantoveil::snapshot {

namespace {

// One tree read on its own taxa: its sorted names and its parts over them.
struct OwnTree {
  std::vector<std::string> names;
  Snapshot parts;
};

// An error the name collector placed at tree 0, placed at tree `index`.
Error placed(const Error& error, std::uint64_t index) {
  if (error.kind == ErrorKind::syntax) return messages::newick_syntax(index, error.offset, error.reason());
  return messages::tree_error(error.kind, index, error.reason(), error.offset);
}

Result<OwnTree> read_own(const GeneText& tree, std::uint64_t index, bool rooted) {
  static const TranslateMap kNone;
  const TranslateMap& translate = tree.translate == nullptr ? kNone : *tree.translate;
  auto names = leaf_names(tree.text, translate);
  if (!names.ok()) return placed(names.failure(), index);
  OwnTree own{std::move(names).value(), {}};
  if (Status unique = prepare_leaf_set(own.names); !unique) return placed(unique.failure(), index);
  const LeafContext context = make_leaf_context(own.names, rooted);
  auto parts = snapshot(tree.text, translate, index, context);
  if (!parts.ok()) return std::move(parts).take_error();
  own.parts = std::move(parts).value();
  return own;
}

}  // namespace

Result<GeneSet> read_gene_set(std::span<const GeneText> trees, bool rooted) {
  const std::size_t n = trees.size();
  std::vector<OwnTree> read(n);
  std::vector<std::optional<Error>> failed(n);
  pool::parallel_for(n, [&](std::size_t t) {
    auto own = read_own(trees[t], t, rooted);
    if (own.ok()) {
      read[t] = std::move(own).value();
    } else {
      failed[t] = std::move(own).take_error();
    }
  });
  for (auto& error : failed) {
    if (error) return std::move(*error);
  }

  // The union of the taxa, sorted, and each tree's own leaf numbers mapped into it.
  GeneSet set;
  set.rooted = rooted;
  std::unordered_map<std::string_view, std::uint32_t> number;
  for (const OwnTree& own : read) {
    for (const std::string& name : own.names) number.try_emplace(name, 0);
  }
  for (const auto& entry : number) set.taxa.emplace_back(entry.first);
  std::sort(set.taxa.begin(), set.taxa.end());
  for (std::uint32_t i = 0; i < set.taxa.size(); ++i) number[set.taxa[i]] = i;
  const std::size_t words = std::max<std::size_t>((set.taxa.size() + 63) / 64, 1);
  set.words = words;

  set.taxon_masks.assign(n * words, 0);
  set.edge_offsets.assign(n + 1, 0);
  set.first_pendant.assign(n, 0);
  for (std::size_t t = 0; t < n; ++t) set.edge_offsets[t + 1] = set.edge_offsets[t] + read[t].parts.parts.size();
  set.edge_masks.assign(set.edge_offsets[n] * words, 0);
  set.edge_lengths.assign(set.edge_offsets[n], 0.0);
  pool::parallel_for(n, [&](std::size_t t) {
    const OwnTree& own = read[t];
    std::vector<std::uint32_t> global(own.names.size());
    for (std::size_t i = 0; i < global.size(); ++i) global[i] = number.find(own.names[i])->second;
    std::uint64_t* taxa = set.taxon_masks.data() + t * words;
    for (const std::uint32_t g : global) taxa[g / 64] |= std::uint64_t{1} << (g % 64);
    // Non-pendant edges first, then pendant ones, each in the order the reader gave them.
    std::uint64_t e = set.edge_offsets[t];
    for (const bool pendant : {false, true}) {
      if (pendant) set.first_pendant[t] = e;
      for (const Part& part : own.parts.parts) {
        if ((part.size == 1) != pendant) continue;
        std::uint64_t* mask = set.edge_masks.data() + e * words;
        for (std::uint32_t k = part.start; k < part.start + part.size; ++k) {
          const std::uint32_t g = global[own.parts.leaf_order[k]];
          mask[g / 64] |= std::uint64_t{1} << (g % 64);
        }
        set.edge_lengths[e++] = part.length;
      }
    }
  });
  return set;
}

std::vector<std::uint64_t> taxa_mask(const GeneSet& set, std::span<const std::string> names) {
  std::vector<std::uint64_t> mask(set.words, 0);
  for (const std::string& name : names) {
    const auto at = std::lower_bound(set.taxa.begin(), set.taxa.end(), name);
    if (at == set.taxa.end() || *at != name) continue;
    const auto g = static_cast<std::size_t>(at - set.taxa.begin());
    mask[g / 64] |= std::uint64_t{1} << (g % 64);
  }
  return mask;
}

}  // namespace brantoveil::snapshot
