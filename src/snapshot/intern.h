// Split interner: gives every distinct split of a call one dense 32-bit split ID.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "snapshot/build.h"
#include "snapshot/clades.h"
#include "snapshot/result.h"

namespace brantoveil::snapshot {

/// One tree as split IDs. Its splits are the pendant IDs 0..pendants-1 followed by `ids`;
/// `lengths`, when kept, runs parallel to that sequence.
struct InternSnap {
  std::vector<std::uint32_t> ids;
  std::vector<double> lengths;
  std::uint32_t pendants = 0;
};

struct Snapshots;

/// Interns chunks of parsed trees over 256 lock-free shards; `finish` fixes the final numbering.
class Interner {
 public:
  Interner(std::uint64_t n_leaves, bool rooted, bool keep_lengths, bool keep_clades);
  ~Interner();
  Interner(Interner&&) noexcept;
  Interner& operator=(Interner&&) noexcept;

  /// Interns consecutive trees of the input, in input order; the snapshots are released.
  Status push_chunk(std::vector<Snapshot> chunk);
  /// Final IDs, supports and clade table; consumes the interner.
  Snapshots finish(std::vector<std::string> leaf_names) &&;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace brantoveil::snapshot
