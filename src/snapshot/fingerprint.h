// Split fingerprints: per-leaf 128-bit taxon labels and the name-to-leaf-index table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brantoveil::snapshot {

using u128 = unsigned __int128;

/// The n pseudo-random taxon labels; labels[i] depends on i alone.
std::vector<u128> taxon_labels(std::size_t n);

/// Open-addressing table from byte strings to 32-bit indices, hashed with FxHash.
/// It stores views: the strings it was built from must outlive it.
class StringIndex {
 public:
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

  StringIndex() = default;
  /// An empty table sized so that `expected` inserts never grow it.
  explicit StringIndex(std::size_t expected);

  /// Maps `key` to `index`; a key inserted twice keeps the later index.
  void insert(std::string_view key, std::uint32_t index);
  /// The index of `key`, or kAbsent.
  std::uint32_t find(std::string_view key) const;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  struct Slot {
    const char* data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t index = kAbsent;
  };
  void grow();
  void rehash(std::size_t capacity);
  std::size_t home(std::string_view key) const;

  // Capacity is a power of two kept at least twice the size, so probes stay short and end.
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;  // home slot = top log2(capacity) hash bits, which mix every input byte
};

/// FxHash of a byte string.
std::uint64_t fx_hash(std::string_view bytes);

/// Taxon name to leaf index, names[i] mapped to i.
using LeafIndex = StringIndex;

/// The leaf index over the sorted, duplicate-free names, which must outlive it.
LeafIndex build_leaf_index(const std::vector<std::string>& names);

}  // namespace brantoveil::snapshot
