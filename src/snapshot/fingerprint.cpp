// Taxon labels, FxHash and the open-addressing string table behind the leaf index and translate maps.
#include "snapshot/fingerprint.h"

#include <bit>
#include <cassert>
#include <cstring>

namespace brantoveil::snapshot {

namespace {

constexpr std::uint64_t kFxSeed = 0x517cc1b727220a95ULL;

// Equal bytes; memcmp is never handed the null data of an empty view.
inline bool same_bytes(const char* data, std::uint32_t length, std::string_view key) {
  return length == key.size() && (length == 0 || std::memcmp(data, key.data(), length) == 0);
}

inline std::uint64_t fx_step(std::uint64_t hash, std::uint64_t word) {
  return (std::rotl(hash, 5) ^ word) * kFxSeed;
}

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

std::uint64_t fx_hash(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  std::uint64_t hash = 0;
  while (left >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);  // x86-64 and aarch64 Linux are little-endian, as the hash wants
    hash = fx_step(hash, word);
    p += 8;
    left -= 8;
  }
  if (left >= 4) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    hash = fx_step(hash, word);
    p += 4;
    left -= 4;
  }
  if (left >= 2) {
    std::uint16_t word;
    std::memcpy(&word, p, 2);
    hash = fx_step(hash, word);
    p += 2;
    left -= 2;
  }
  if (left >= 1) hash = fx_step(hash, static_cast<unsigned char>(*p));
  return hash;
}

StringIndex::StringIndex(std::size_t expected) {
  std::size_t capacity = 8;
  while (capacity < 2 * expected) capacity *= 2;
  rehash(capacity);
}

std::size_t StringIndex::home(std::string_view key) const {
  // FxHash's low bits depend only on the low input bits, so take the high ones.
  return static_cast<std::size_t>(fx_hash(key) >> shift_);
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
    if (same_bytes(slot.data, slot.length, key)) {
      slot.index = index;
      return;
    }
    at = (at + 1) & mask_;
  }
  slots_[at] = Slot{key.data(), static_cast<std::uint32_t>(key.size()), index};
  ++size_;
}

void StringIndex::grow() { rehash(slots_.empty() ? 8 : 2 * slots_.size()); }

std::uint32_t StringIndex::find(std::string_view key) const {
  if (size_ == 0) return kAbsent;
  std::size_t at = home(key);
  while (true) {
    const Slot& slot = slots_[at];
    if (slot.index == kAbsent) return kAbsent;
    if (same_bytes(slot.data, slot.length, key)) return slot.index;
    at = (at + 1) & mask_;
  }
}

LeafIndex build_leaf_index(const std::vector<std::string>& names) {
  LeafIndex index(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) index.insert(names[i], static_cast<std::uint32_t>(i));
  return index;
}

}  // namespace brantoveil::snapshot
