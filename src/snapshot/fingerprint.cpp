// Taxon labels, FxHash and the open-addressing string table behind the leaf index and translate maps.
#include "snapshot/fingerprint.h"

#include <cassert>
#include <cstring>

namespace brantoveil::snapshot {

namespace {

// SplitMix64: fixed start so every call with the same leaf count gets the same labels.
struct SplitMix64 {
  std::uint64_t state = 0x243f6a8885a308d3ULL;
  std::uint64_t next() {
    state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
};

}  // namespace

std::vector<u128> taxon_labels(std::size_t n) {
  std::vector<u128> labels(n);
  SplitMix64 generator;
  for (auto& label : labels) {
    const std::uint64_t high = generator.next();
    const std::uint64_t low = generator.next();
    label = (static_cast<u128>(high) << 64) | low;
  }
  return labels;
}

StringIndex::StringIndex(std::size_t expected) {
  std::size_t capacity = 8;
  while (capacity < 2 * expected) capacity *= 2;
  rehash(capacity);
}

void StringIndex::rehash(std::size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{});
  mask_ = capacity - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  for (const Slot& slot : old) {
    if (slot.index == kAbsent) continue;
    std::size_t at = home({slot.data, slot.length});
    while (slots_[at].index != kAbsent) at = (at + 1) & mask_;
    slots_[at] = slot;
  }
}

void StringIndex::insert(std::string_view key, std::uint32_t index) {
  assert(index != kAbsent);
  assert(key.size() <= 0xFFFFFFFFu);
  if (slots_.empty() || 2 * (size_ + 1) > slots_.size()) grow();
  std::size_t at = home(key);
  while (slots_[at].index != kAbsent) {
    Slot& slot = slots_[at];
    if (detail::same_bytes(slot.data, slot.length, key)) {
      slot.index = index;
      return;
    }
    at = (at + 1) & mask_;
  }
  slots_[at] = Slot{key.data(), static_cast<std::uint32_t>(key.size()), index};
  ++size_;
}

void StringIndex::grow() { rehash(slots_.empty() ? 8 : 2 * slots_.size()); }

LeafIndex build_leaf_index(const std::vector<std::string>& names) {
  LeafIndex index(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) index.insert(names[i], static_cast<std::uint32_t>(i));
  return index;
}

}  // namespace brantoveil::snapshot
