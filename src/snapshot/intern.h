// Split interner: gives every distinct split of a call one dense 32-bit split ID.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "shared/records.h"
#include "shared/result.h"
#include "snapshot/build.h"
#include "snapshot/clades.h"

namespace brantoveil::snapshot {

/// One tree as the interner numbers it: the pendant IDs 0..pendants-1 followed by `ids`, in the
/// order the tree was read; `lengths`, when kept, runs parallel to that sequence. `encode_trees`
/// turns a set of them into the record the kernels read.
struct InternSnap {
  std::vector<std::uint32_t> ids;
  std::vector<double> lengths;
  std::uint32_t pendants = 0;
};

struct Snapshots;

/// Number of shards; a split's shard is the lowest byte of its key.
inline constexpr std::size_t kShards = 256;

/// Most splits one shard may hold: local indices must fit the 24 bits of a provisional ID.
inline constexpr std::uint32_t kMaxShardSplits = 1u << 24;

/// What every shard of one interner needs to know while interning.
struct ShardRules {
  std::uint32_t n_leaves = 0;
  bool rooted = false;
  bool keep_clades = false;
  std::uint32_t max_splits = kMaxShardSplits;
};

/// One shard's distinct splits as parallel arrays indexed by local index, plus a table of indices.
class Shard {
 public:
  /// Returned by `intern` when the shard is already full.
  static constexpr std::uint32_t kFull = 0xFFFFFFFFu;

  /// The local index of the split with this key and side size, inserting it when new (its clade
  /// read from snapshot.parts[part]); kFull when no room is left.
  std::uint32_t intern(u128 key, std::uint32_t size, const Snapshot& snapshot, std::uint32_t part,
                       const ShardRules& rules);

  /// Number of distinct splits held.
  std::size_t size() const { return supports.size(); }

  /// The 128-bit key of each split.
  std::vector<u128> keys;
  /// The smaller side's leaf count of each split; with the key it is the split's identity.
  std::vector<std::uint32_t> minor_sizes;
  /// Trees containing each split so far.
  std::vector<std::uint32_t> supports;
  /// Canonical leaf set of each split, in local-index order (only when clades are kept).
  CladeTable clades;

  /// Drops the lookup table and keys once numbering no longer needs them.
  void release_lookup();

 private:
  void grow_table();

  // Open addressing with linear probing over local indices; kEmpty marks a free slot. The slot
  // is found from key bits 8..71, which are already uniformly random, so no hash is computed.
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  std::vector<std::uint32_t> table_;
  std::size_t mask_ = 0;
};

/// Interns chunks of parsed trees over 256 lock-free shards; `finish` fixes the final numbering.
class Interner {
 public:
  Interner(std::uint64_t n_leaves, bool rooted, bool keep_lengths, bool keep_clades);
  ~Interner();
  Interner(Interner&&) noexcept;
  Interner& operator=(Interner&&) noexcept;

  /// Interns consecutive trees of the input, in input order; the caller keeps the snapshots.
  Status push_chunk(std::span<const Snapshot> chunk);
  /// Final IDs, supports and clade table; consumes the interner.
  Snapshots finish(std::vector<std::string> leaf_names) &&;

  /// Lowers the per-shard cap so tests reach the overflow path without 16M inserts.
  void limit_shard_splits_for_testing(std::uint32_t max_splits);
  /// Lowers the cap on clade members so tests reach that overflow path without 16 GiB of them.
  void limit_clade_members_for_testing(std::uint64_t max_members);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace brantoveil::snapshot
