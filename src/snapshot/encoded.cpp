// Encoding a read set into sorted per-tree split IDs, and the checked byte form that ships it.
#include "snapshot/encoded.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <string>
#include <utility>

#include "pool/pool.h"
#include "snapshot/messages.h"

namespace brantoveil::snapshot {

namespace {

// "BVSAMPLE", then the version: a reader refuses any version it does not know.
constexpr std::uint8_t kMagic[8] = {'B', 'V', 'S', 'A', 'M', 'P', 'L', 'E'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kRootedFlag = 1;
constexpr std::uint32_t kLengthsFlag = 2;

template <class T>
T to_little(T value) {
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    auto bytes = std::bit_cast<std::array<unsigned char, sizeof(T)>>(value);
    std::reverse(bytes.begin(), bytes.end());
    return std::bit_cast<T>(bytes);
  }
  return value;
}

class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}

  template <class T>
  void scalar(T value) {
    value = to_little(value);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    out_.insert(out_.end(), bytes, bytes + sizeof(T));
  }
  template <class T>
  void array(std::span<const T> values) {
    const std::size_t at = out_.size();
    out_.resize(at + values.size() * sizeof(T));
    if (values.empty()) return;
    std::memcpy(out_.data() + at, values.data(), values.size() * sizeof(T));
    if constexpr (std::endian::native == std::endian::big) {
      for (std::size_t i = 0; i < values.size(); ++i) {
        const T value = to_little(values[i]);
        std::memcpy(out_.data() + at + i * sizeof(T), &value, sizeof(T));
      }
    }
  }
  void strings(const std::vector<std::string>& values) {
    for (const std::string& value : values) {
      scalar(static_cast<std::uint64_t>(value.size()));
      out_.insert(out_.end(), value.begin(), value.end());
    }
  }

 private:
  std::vector<std::uint8_t>& out_;
};

// Every read is bounds-checked against what is left, with counts checked before any product is
// formed, so no length field can make the reader overrun or over-allocate.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : rest_(bytes) {}

  std::size_t left() const { return rest_.size(); }

  template <class T>
  bool scalar(T& value) {
    if (rest_.size() < sizeof(T)) return false;
    std::memcpy(&value, rest_.data(), sizeof(T));
    value = to_little(value);
    rest_ = rest_.subspan(sizeof(T));
    return true;
  }
  template <class T>
  bool array(std::uint64_t count, std::vector<T>& out) {
    if (count > rest_.size() / sizeof(T)) return false;
    out.resize(count);
    if (count > 0) std::memcpy(out.data(), rest_.data(), count * sizeof(T));
    if constexpr (std::endian::native == std::endian::big) {
      for (T& value : out) value = to_little(value);
    }
    rest_ = rest_.subspan(count * sizeof(T));
    return true;
  }
  bool strings(std::uint64_t count, std::vector<std::string>& out) {
    // Each string costs at least its 8-byte length, which bounds the count before reserving.
    if (count > rest_.size() / sizeof(std::uint64_t)) return false;
    out.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t size = 0;
      if (!scalar(size) || size > rest_.size()) return false;
      out.emplace_back(reinterpret_cast<const char*>(rest_.data()), size);
      rest_ = rest_.subspan(size);
    }
    return true;
  }

 private:
  std::span<const std::uint8_t> rest_;
};

Error corrupt(std::string_view reason) { return Error{messages::corrupt_sample(reason), ErrorKind::corrupt}; }

// Split ID supports from the trees: pendant IDs are in every tree, repeats count as the interner counts them.
std::vector<std::uint32_t> count_supports(const EncodedSample& sample, std::uint64_t splits) {
  std::vector<std::uint32_t> supports(splits, 0);
  const auto trees = static_cast<std::uint32_t>(sample.size());
  std::fill_n(supports.begin(), sample.pendants, trees);
  for (const std::uint32_t id : sample.ids) ++supports[id];
  return supports;
}

}  // namespace

EncodedTrees encode_trees(Snapshots& set, bool has_lengths, bool consume, bool sort) {
  EncodedTrees sample;
  sample.sorted = sort;
  const std::size_t n = set.snaps.size();
  sample.has_lengths = has_lengths;
  sample.pendants = n == 0 ? 0 : set.snaps[0].pendants;
  if (consume) {
    sample.supports = std::move(set.supports);
    set.supports = {};
  } else {
    sample.supports = set.supports;
  }
  const std::size_t pendants = sample.pendants;

  sample.offsets.assign(n + 1, 0);
  for (std::size_t t = 0; t < n; ++t) sample.offsets[t + 1] = sample.offsets[t] + set.snaps[t].ids.size();
  const std::size_t entries = sample.offsets[n];
  sample.ids.resize(entries);
  if (has_lengths) {
    sample.lengths.resize(entries);
    sample.pendant_lengths.resize(n * pendants);
    sample.private_wrf.resize(n);
    sample.private_kf.resize(n);
  }

  pool::parallel_for(n, [&](std::size_t t) {
    InternSnap& snap = set.snaps[t];
    assert(snap.pendants == pendants);
    const std::size_t first = sample.offsets[t];
    const std::size_t count = snap.ids.size();
    if (has_lengths) {
      assert(snap.lengths.size() == pendants + count);
      // The weighted metrics' term of a split with itself is l (minimum) or l * l (product).
      double wrf = 0.0;
      double kf = 0.0;
      const std::size_t splits = std::min(pendants + count, snap.lengths.size());
      for (std::size_t k = 0; k < splits; ++k) {
        const std::uint32_t id = k < pendants ? static_cast<std::uint32_t>(k) : snap.ids[k - pendants];
        if (sample.supports[id] >= 2) continue;
        const double length = snap.lengths[k];
        wrf = wrf + length;
        kf = kf + length * length;
      }
      sample.private_wrf[t] = wrf;
      sample.private_kf[t] = kf;
      for (std::size_t k = 0; k < pendants; ++k) {
        sample.pendant_lengths[t * pendants + k] = k < snap.lengths.size() ? snap.lengths[k] : 0.0;
      }
    }
    if (!sort || !has_lengths) {
      const auto at = sample.ids.begin() + static_cast<std::ptrdiff_t>(first);
      std::copy(snap.ids.begin(), snap.ids.end(), at);
      if (sort) std::sort(at, at + static_cast<std::ptrdiff_t>(count));
      for (std::size_t k = 0; k < count && has_lengths; ++k) {
        sample.lengths[first + k] = pendants + k < snap.lengths.size() ? snap.lengths[pendants + k] : 0.0;
      }
      if (consume) snap = InternSnap{};
      return;
    }
    // By ID, repeats in reading order, so the last length of a repeated split stays the last.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order(count);
    for (std::size_t k = 0; k < count; ++k) order[k] = {snap.ids[k], static_cast<std::uint32_t>(k)};
    std::sort(order.begin(), order.end());
    for (std::size_t k = 0; k < count; ++k) {
      sample.ids[first + k] = order[k].first;
      const std::size_t from = pendants + order[k].second;
      sample.lengths[first + k] = from < snap.lengths.size() ? snap.lengths[from] : 0.0;
    }
    if (consume) snap = InternSnap{};
  });
  if (consume) std::vector<InternSnap>().swap(set.snaps);
  return sample;
}

EncodedSample EncodedSample::from_snapshots(Snapshots set, std::vector<std::string> names, bool rooted,
                                            bool has_lengths) {
  EncodedSample sample;
  static_cast<EncodedTrees&>(sample) = encode_trees(set, has_lengths, true, true);
  names.resize(sample.size());
  sample.names = std::move(names);
  sample.leaf_names = std::move(set.leaf_names);
  sample.rooted = rooted;

  const std::size_t row_bytes = sample.clade_row_bytes();
  const std::size_t splits = set.clades.size();
  assert(splits == sample.supports.size());
  sample.clades.assign(splits * row_bytes, 0);
  pool::parallel_for((splits + 4095) / 4096, [&](std::size_t part) {
    for (std::size_t id = part * 4096; id < std::min(splits, (part + 1) * 4096); ++id) {
      std::uint8_t* row = sample.clades.data() + id * row_bytes;
      for (const std::uint32_t leaf : set.clades.clade(id)) row[leaf / 8] |= static_cast<std::uint8_t>(1u << (leaf % 8));
    }
  });
  return sample;
}

std::vector<std::uint8_t> EncodedSample::to_bytes() const {
  std::vector<std::uint8_t> out;
  std::size_t text = 0;
  for (const auto& name : names) text += 8 + name.size();
  for (const auto& name : leaf_names) text += 8 + name.size();
  out.reserve(64 + text + offsets.size() * 8 + ids.size() * 4 + lengths.size() * 8 + pendant_lengths.size() * 8 +
              private_wrf.size() * 16 + clades.size());
  Writer w(out);
  w.array(std::span<const std::uint8_t>(kMagic));
  w.scalar(kVersion);
  w.scalar((rooted ? kRootedFlag : 0) | (has_lengths ? kLengthsFlag : 0));
  w.scalar(static_cast<std::uint64_t>(size()));
  w.scalar(static_cast<std::uint64_t>(n_leaves()));
  w.scalar(static_cast<std::uint64_t>(pendants));
  w.scalar(static_cast<std::uint64_t>(n_splits()));
  w.scalar(static_cast<std::uint64_t>(ids.size()));
  w.strings(names);
  w.strings(leaf_names);
  w.array(std::span<const std::uint64_t>(offsets));
  w.array(std::span<const std::uint32_t>(ids));
  if (has_lengths) {
    w.array(std::span<const double>(lengths));
    w.array(std::span<const double>(pendant_lengths));
    w.array(std::span<const double>(private_wrf));
    w.array(std::span<const double>(private_kf));
  }
  w.array(std::span<const std::uint8_t>(clades));
  return out;
}

Result<EncodedSample> EncodedSample::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return corrupt("no header");
  }
  Reader r(bytes.subspan(sizeof kMagic));
  std::uint32_t version = 0, flags = 0;
  std::uint64_t trees = 0, leaves = 0, pendants = 0, splits = 0, entries = 0;
  if (!r.scalar(version) || !r.scalar(flags) || !r.scalar(trees) || !r.scalar(leaves) || !r.scalar(pendants) ||
      !r.scalar(splits) || !r.scalar(entries)) {
    return corrupt("truncated header");
  }
  if (version != kVersion) return corrupt("unknown version " + std::to_string(version));
  if ((flags & ~(kRootedFlag | kLengthsFlag)) != 0) return corrupt("unknown flags");
  if (trees < 2) return corrupt("fewer than 2 trees");
  if (leaves == 0 || pendants != leaves || splits < pendants || splits > 0xFFFFFFFFu) return corrupt("inconsistent split counts");

  EncodedSample sample;
  sample.rooted = (flags & kRootedFlag) != 0;
  sample.has_lengths = (flags & kLengthsFlag) != 0;
  sample.pendants = static_cast<std::uint32_t>(pendants);
  if (!r.strings(trees, sample.names) || !r.strings(leaves, sample.leaf_names)) return corrupt("truncated names");
  for (std::size_t i = 1; i < sample.leaf_names.size(); ++i) {
    if (!(sample.leaf_names[i - 1] < sample.leaf_names[i])) return corrupt("leaf names out of order");
  }
  if (trees >= r.left() / sizeof(std::uint64_t) || !r.array(trees + 1, sample.offsets)) {
    return corrupt("truncated offsets");
  }
  if (!r.array(entries, sample.ids)) return corrupt("truncated split IDs");
  if (sample.offsets.front() != 0 || sample.offsets.back() != entries) return corrupt("offsets do not cover the IDs");
  // All offsets in order before any tree's IDs are read: with the last one at `entries`, that keeps
  // every tree's run inside the IDs.
  for (std::size_t t = 0; t < trees; ++t) {
    if (sample.offsets[t] > sample.offsets[t + 1]) return corrupt("offsets out of order");
  }
  for (std::size_t t = 0; t < trees; ++t) {
    const std::span<const std::uint32_t> ids = sample.ids_of(t);
    for (std::size_t k = 0; k < ids.size(); ++k) {
      if (ids[k] < pendants || ids[k] >= splits) return corrupt("split ID out of range");
      if (k > 0 && ids[k - 1] > ids[k]) return corrupt("split IDs out of order");
    }
  }
  if (sample.has_lengths) {
    // trees * pendants cannot overflow: both fit the bytes already read.
    if (!r.array(entries, sample.lengths) || !r.array(trees * pendants, sample.pendant_lengths) ||
        !r.array(trees, sample.private_wrf) || !r.array(trees, sample.private_kf)) {
      return corrupt("truncated lengths");
    }
  }
  const std::uint64_t row_bytes = (leaves + 7) / 8;
  if (row_bytes != 0 && splits > r.left() / row_bytes) return corrupt("truncated clades");
  if (!r.array(splits * row_bytes, sample.clades)) return corrupt("truncated clades");
  if (r.left() != 0) return corrupt("trailing bytes");
  if (leaves % 8 != 0) {
    const auto padding = static_cast<std::uint8_t>(0xFFu << (leaves % 8));
    for (std::uint64_t id = 0; id < splits; ++id) {
      if ((sample.clades[id * row_bytes + row_bytes - 1] & padding) != 0) return corrupt("clade bits past the leaves");
    }
  }
  sample.supports = count_supports(sample, splits);
  return sample;
}

}  // namespace brantoveil::snapshot
