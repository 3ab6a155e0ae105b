// Random interned tree sets and brute-force distances that the kernel tests compare against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "shared/records.h"
#include "snapshot/encoded.h"

namespace brantoveil::testing {

using snapshot::InternSnap;

/// Trees as the interner hands them over: records plus per-ID supports.
struct TreeSet {
  std::vector<InternSnap> snaps;
  std::vector<std::uint32_t> supports;
};

/// How a random set is drawn.
struct TreeShape {
  std::size_t trees = 10;
  std::uint32_t pendants = 0;      // implied IDs 0..pendants-1 in every tree
  std::size_t candidates = 60;     // distinct internal splits to draw from
  bool with_lengths = false;
  bool exact_lengths = true;       // multiples of 1/8, so every sum is exact
  std::uint64_t seed = 1;
};

/// Trees holding candidate splits `held[t]` (each below `candidates`), as the interner numbers them:
/// dense IDs after the pendants, by first appearance; no lengths.
inline TreeSet numbered(const std::vector<std::vector<std::uint32_t>>& held, std::uint32_t pendants,
                        std::size_t candidates) {
  std::vector<std::uint32_t> id_of(candidates, UINT32_MAX);
  TreeSet set;
  set.supports.assign(pendants, static_cast<std::uint32_t>(held.size()));
  for (const auto& tree : held) {
    InternSnap snap;
    snap.pendants = pendants;
    for (const std::uint32_t s : tree) {
      if (id_of[s] == UINT32_MAX) {
        id_of[s] = static_cast<std::uint32_t>(set.supports.size());
        set.supports.push_back(0);
      }
      snap.ids.push_back(id_of[s]);
      ++set.supports[id_of[s]];
    }
    set.snaps.push_back(std::move(snap));
  }
  return set;
}

/// Draws trees whose splits range from universal through frequent to unique; IDs are dense and
/// every ID is held by at least one tree, as the interner guarantees.
inline TreeSet random_trees(const TreeShape& shape) {
  std::mt19937_64 rng(shape.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> chance(shape.candidates);
  for (double& p : chance) {
    const double pick = unit(rng);
    p = pick < 0.1 ? 1.0 : pick < 0.4 ? 0.5 + unit(rng) / 2 : pick < 0.7 ? unit(rng) / 4 : 0.02;
  }
  const auto draw_length = [&] {
    if (shape.exact_lengths) return static_cast<double>(rng() % 33) / 8.0;
    return unit(rng) * 3.0;
  };
  std::vector<std::vector<std::uint32_t>> held(shape.trees);
  for (auto& tree : held) {
    for (std::uint32_t s = 0; s < shape.candidates; ++s) {
      if (unit(rng) < chance[s]) tree.push_back(s);
    }
    std::shuffle(tree.begin(), tree.end(), rng);
  }
  TreeSet set = numbered(held, shape.pendants, shape.candidates);
  if (shape.with_lengths) {
    for (InternSnap& snap : set.snaps) {
      snap.lengths.resize(shape.pendants + snap.ids.size());
      for (double& l : snap.lengths) l = draw_length();
    }
  }
  return set;
}

/// A tree's split sequence: pendant IDs, then its interned IDs.
inline std::vector<std::uint32_t> split_sequence(const InternSnap& snap) {
  std::vector<std::uint32_t> all;
  for (std::uint32_t i = 0; i < snap.pendants; ++i) all.push_back(i);
  all.insert(all.end(), snap.ids.begin(), snap.ids.end());
  return all;
}

/// Robinson-Foulds by set difference.
inline std::vector<std::uint32_t> brute_rf(const TreeSet& set) {
  const std::size_t n = set.snaps.size();
  std::vector<std::vector<std::uint32_t>> sorted(n);
  for (std::size_t i = 0; i < n; ++i) {
    sorted[i] = split_sequence(set.snaps[i]);
    std::sort(sorted[i].begin(), sorted[i].end());
  }
  std::vector<std::uint32_t> out(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      std::vector<std::uint32_t> diff;
      std::set_symmetric_difference(sorted[i].begin(), sorted[i].end(), sorted[j].begin(),
                                    sorted[j].end(), std::back_inserter(diff));
      out[i * n + j] = static_cast<std::uint32_t>(diff.size());
    }
  }
  return out;
}

/// Weighted RF (squared = false) or KF (squared = true) from per-split length tables.
inline std::vector<double> brute_weighted(const TreeSet& set, bool squared) {
  const std::size_t n = set.snaps.size();
  const std::size_t ids = set.supports.size();
  std::vector<std::vector<double>> length(n, std::vector<double>(ids, 0.0));
  for (std::size_t t = 0; t < n; ++t) {
    const auto seq = split_sequence(set.snaps[t]);
    for (std::size_t k = 0; k < seq.size() && k < set.snaps[t].lengths.size(); ++k) {
      length[t][seq[k]] = set.snaps[t].lengths[k];
    }
  }
  std::vector<double> out(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double sum = 0.0;
      for (std::size_t s = 0; s < ids; ++s) {
        const double d = length[i][s] - length[j][s];
        sum += squared ? d * d : std::fabs(d);
      }
      out[i * n + j] = squared ? std::sqrt(sum) : sum;
    }
  }
  return out;
}

/// The one call's record of trees (copied, IDs in the order given unless `sort`), with lengths
/// when the first tree has them.
inline EncodedTrees trees_of(const std::vector<InternSnap>& snaps, const std::vector<std::uint32_t>& supports,
                             bool sort = false) {
  snapshot::Snapshots copy;
  copy.snaps = snaps;
  copy.supports = supports;
  return snapshot::encode_trees(copy, !snaps.empty() && !snaps[0].lengths.empty(), true, sort);
}

/// The one call's record of a set's trees.
inline EncodedTrees trees_of(const TreeSet& set, bool sort = false) { return trees_of(set.snaps, set.supports, sort); }

// The sample of a random set: pendant IDs take single-leaf clades, the others an arbitrary pair.
inline snapshot::EncodedSample encode(const TreeSet& set, std::uint32_t leaves) {
  snapshot::Snapshots snapshots;
  snapshots.snaps = set.snaps;
  snapshots.supports = set.supports;
  for (std::uint32_t i = 0; i < leaves; ++i) snapshots.leaf_names.push_back("L" + std::to_string(i));
  for (std::size_t id = 0; id < set.supports.size(); ++id) {
    if (id < leaves) {
      const std::uint32_t leaf = static_cast<std::uint32_t>(id);
      snapshots.clades.push({&leaf, 1});
    } else {
      const std::uint32_t pair[2] = {0, static_cast<std::uint32_t>(1 + id % (leaves - 1))};
      snapshots.clades.push(pair);
    }
  }
  std::vector<std::string> names(set.snaps.size(), "t");
  return snapshot::EncodedSample::from_snapshots(std::move(snapshots), std::move(names), false, !set.snaps[0].lengths.empty());
}

}  // namespace brantoveil::testing
