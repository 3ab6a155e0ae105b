// Flat tables of leaf sets (canonical clades) and their packed-bit-row order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace brantoveil::snapshot {

/// Leaf sets as sorted u32 leaf-index lists, concatenated; clade k is members[offsets[k], offsets[k+1]).
struct CladeTable {
  /// Most members a table may hold, so that every offset fits in 32 bits. Whoever fills a table
  /// checks this first; the interner does so after every chunk.
  static constexpr std::uint64_t kMaxMembers = 0xFFFFFFFFu;

  std::vector<std::uint32_t> members;
  std::vector<std::uint32_t> offsets{0};

  /// An empty table (offsets [0]) with room for the given numbers of clades and members.
  static CladeTable with_capacity(std::size_t clades, std::size_t members);
  /// The n one-leaf clades {0}, ..., {n-1}.
  static CladeTable singletons(std::size_t n);
  /// All clades of `tables`, in list order; together they must hold at most kMaxMembers members.
  static CladeTable concat(std::vector<CladeTable> tables);

  /// Appends one clade (sorted on the way in).
  void push(std::span<const std::uint32_t> leaves);
  /// Appends one clade given as two runs, the first followed by the second.
  void push(std::span<const std::uint32_t> first, std::span<const std::uint32_t> second);

  std::size_t size() const { return offsets.size() - 1; }
  std::span<const std::uint32_t> clade(std::size_t k) const {
    return {members.data() + offsets[k], members.data() + offsets[k + 1]};
  }
};

/// Order of two ascending, repeat-free leaf lists as packed 64-bit bit rows: <0, 0 or >0.
int cmp_packed(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b);

}  // namespace brantoveil::snapshot
