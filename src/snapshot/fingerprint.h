// Split fingerprints: per-leaf 128-bit taxon labels and the name-to-leaf-index table.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
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

// ---- Inline bodies: every leaf of every tree goes through these --------------------------

namespace detail {

inline std::uint64_t fx_step(std::uint64_t hash, std::uint64_t word) {
  return (std::rotl(hash, 5) ^ word) * 0x517cc1b727220a95ULL;
}

// Names are short: a byte loop beats a call to memcmp for them.
inline bool same_bytes(const char* data, std::uint32_t length, std::string_view key) {
  if (length != key.size()) return false;
  if (length > 16) return std::memcmp(data, key.data(), length) == 0;
  for (std::uint32_t i = 0; i < length; ++i) {
    if (data[i] != key[i]) return false;
  }
  return true;
}

}  // namespace detail

/// FxHash of a byte string: 8-byte little-endian words, then a 4-, 2- and 1-byte tail.
inline std::uint64_t fx_hash(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  std::uint64_t hash = 0;
  for (; left >= 8; p += 8, left -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    hash = detail::fx_step(hash, word);
  }
  if (left >= 4) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    hash = detail::fx_step(hash, word);
    p += 4;
    left -= 4;
  }
  if (left >= 2) {
    std::uint16_t word;
    std::memcpy(&word, p, 2);
    hash = detail::fx_step(hash, word);
    p += 2;
    left -= 2;
  }
  if (left >= 1) hash = detail::fx_step(hash, static_cast<unsigned char>(*p));
  return hash;
}

inline std::size_t StringIndex::home(std::string_view key) const {
  // FxHash's low bits depend only on the low input bits, so take the high ones.
  return static_cast<std::size_t>(fx_hash(key) >> shift_);
}

inline std::uint32_t StringIndex::find(std::string_view key) const {
  if (size_ == 0) return kAbsent;
  std::size_t at = home(key);
  while (true) {
    const Slot& slot = slots_[at];
    if (slot.index == kAbsent) return kAbsent;
    if (detail::same_bytes(slot.data, slot.length, key)) return slot.index;
    at = (at + 1) & mask_;
  }
}

/// Taxon name to leaf index, names[i] mapped to i.
using LeafIndex = StringIndex;

/// The leaf index over the sorted, duplicate-free names, which must outlive it.
LeafIndex build_leaf_index(const std::vector<std::string>& names);

}  // namespace brantoveil::snapshot
