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
#include "snapshot/result.h"

namespace brantoveil::snapshot {

/// One input tree: its owned text and its translate map (owned by the caller).
struct TreeItem {
  std::string text;
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
  /// Most trees a set may hold, and most bytes of one tree's text: tree counts and positions
  /// within a tree are 32-bit. Tests lower them to reach the errors.
  std::uint64_t max_trees = 0xFFFFFFFFu;
  std::uint64_t max_tree_bytes = 0xFFFFFFFEu;
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

  /// Reads every tree of `items` into one set, or returns the first reading error. The calling
  /// thread's stop check is asked before each chunk; a stopped read returns `messages::kStopped`.
  static Result<Snapshots> from_newick_iter_opts(TreeSource& items, const SnapshotOptions& options);

  // Exports (the set must have been built with keep_clades). Rows are written in batches with stop
  // checks between them; a stopped export returns false, or nothing (empty vectors).
  /// (column_of, split_at): columns are split IDs in cmp_packed order of their clades.
  std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>> column_order() const;
  /// Writes the presence matrix (trees x columns, one byte each) into `out`, which must hold
  /// exactly that many bytes (anything else ends the process); false when stopped.
  [[nodiscard]] bool write_presence_matrix(const std::vector<std::uint64_t>& column_of,
                                           std::span<std::uint8_t> out) const;
  /// Writes the branch-length matrix (trees x columns, little-endian f64) into `out`, like
  /// `write_presence_matrix`.
  [[nodiscard]] bool write_branch_length_matrix(const std::vector<std::uint64_t>& column_of,
                                                std::span<std::uint8_t> out) const;
  /// Presence matrix and its split_at, in new vectors.
  std::pair<std::vector<std::uint8_t>, std::vector<std::uint64_t>> build_presence_matrix() const;
  /// Branch-length matrix and its split_at, in new vectors.
  std::pair<std::vector<std::uint8_t>, std::vector<std::uint64_t>> build_branch_length_matrix() const;
  /// Canonical leaf membership of each column's split, ceil(L/8) bytes per column.
  std::vector<std::uint8_t> build_bipartition_bytes(const std::vector<std::uint64_t>& split_at) const;

};

}  // namespace brantoveil::snapshot
