// The snapshot set of one call and the chunked, parallel pipeline that builds it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shared/result.h"
#include "snapshot/clades.h"
#include "snapshot/intern.h"
#include "snapshot/newick.h"

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
};

}  // namespace brantoveil::snapshot
