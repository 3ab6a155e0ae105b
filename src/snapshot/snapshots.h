// The snapshot set of one call and the chunked, parallel pipeline that builds it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "snapshot/clades.h"
#include "snapshot/intern.h"
#include "snapshot/newick.h"
#include "distances/buffer.h"
#include "snapshot/result.h"

namespace brantoveil::snapshot {

/// One input tree: its owned text and its translate map (owned by the caller).
struct TreeItem {
  std::string text;
  /// The tree's map, or none; it must outlive the call, which composes each distinct map once.
  const TranslateMap* translate = nullptr;
};

/// The lazy sequence of input trees; pulled only from the calling thread, between parallel phases.
class TreeSource {
 public:
  virtual ~TreeSource() = default;
  /// The next tree, or nothing at the end (a later call may yield more).
  virtual std::optional<TreeItem> next() = 0;
  /// An estimate of the trees left; only sizes buffers.
  virtual std::size_t size_hint() = 0;
};

/// What a set keeps, and the test-only chunk override.
struct SnapshotOptions {
  bool rooted = false;
  bool keep_lengths = false;
  bool keep_clades = false;
  /// When non-zero, trees per chunk after tree 0 (tests only).
  std::size_t chunk_trees = 0;
};

/// Trees per worker thread in each chunk after tree 0, estimated from tree 0's size.
std::uint64_t chunk_trees_per_thread(std::uint64_t text_bytes, std::uint64_t parts, std::uint64_t leaves,
                                     std::uint64_t threads);

using Counter = std::atomic<std::uint64_t>;

/// All trees of one call, interned.
struct Snapshots {
  std::vector<InternSnap> snaps;
  CladeTable clades;
  std::vector<std::uint32_t> supports;
  std::vector<std::string> leaf_names;

  /// Reads every tree of `items` into one set, or returns the first reading error.
  static Result<Snapshots> from_newick_iter_opts(TreeSource& items, const SnapshotOptions& options);

  // Exports (the set must have been built with keep_clades).
  /// (column_of, split_at): columns are split IDs in cmp_packed order of their clades.
  std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>> column_order() const;
  /// Presence matrix (trees x columns, one byte each) and its split_at.
  std::pair<std::vector<std::uint8_t>, std::vector<std::uint64_t>> build_presence_matrix() const;
  /// Branch-length matrix (trees x columns, little-endian f64) and its split_at.
  std::pair<std::vector<std::uint8_t>, std::vector<std::uint64_t>> build_branch_length_matrix() const;
  /// Canonical leaf membership of each column's split, ceil(L/8) bytes per column.
  std::vector<std::uint8_t> build_bipartition_bytes(const std::vector<std::uint64_t>& split_at) const;
  /// Writes the presence matrix into `out` (trees x columns bytes, contents on entry ignored).
  void fill_presence_matrix(std::span<const std::uint64_t> column_of, std::span<std::uint8_t> out) const;
  /// Writes the branch-length matrix into `out` (trees x columns x 8 bytes, contents ignored).
  void fill_branch_length_matrix(std::span<const std::uint64_t> column_of, std::span<std::uint8_t> out) const;
  /// Writes the clade bytes of the columns `split_at` into `out` (columns x ceil(L/8) bytes).
  void fill_bipartition_bytes(std::span<const std::uint64_t> split_at, std::span<std::uint8_t> out) const;

  // Weighted kernels: the borrowing forms keep the set for exports; `into` may view the caller's
  // storage for the n x n result.
  distances::Buffer<double> pairwise_wrf(Counter* counter, distances::Buffer<double> into = {}) const;
  distances::Buffer<double> pairwise_kf(Counter* counter, distances::Buffer<double> into = {}) const;
  distances::Buffer<double> into_pairwise_wrf(Counter* counter) &&;
  distances::Buffer<double> into_pairwise_kf(Counter* counter) &&;
};

}  // namespace brantoveil::snapshot
