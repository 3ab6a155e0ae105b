// Split interner: 256 independent shards, provisional IDs per chunk, one renumbering at the end.
#include "snapshot/intern.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "pool/pool.h"
#include "snapshot/messages.h"
#include "snapshot/snapshots.h"

namespace brantoveil::snapshot {

namespace {

static_assert(kMaxShardSplits - 1 <= 0xFFFFFFu, "local indices must fit the 24 bits of a provisional ID");

// Keys are XORs of random labels, so their low byte spreads splits evenly over the shards.
inline std::size_t shard_of(u128 key) { return static_cast<std::uint8_t>(key); }

// Bits 8..71 of the key: disjoint from the shard byte, so they stay uniform inside a shard.
inline std::uint64_t in_shard_hash(u128 key) { return static_cast<std::uint64_t>(key >> 8); }

// A provisional ID keeps the shard in its low byte until `finish` knows every shard's size.
inline std::uint32_t provisional_id(std::uint32_t local, std::size_t shard) {
  return (local << 8) | static_cast<std::uint32_t>(shard);
}

// One internal part of a chunk as its shard sees it: a copy of what the lookup reads, so a shard
// task reads its parts from one contiguous run rather than chasing every tree's own vector.
struct ShardEntry {
  u128 key;
  std::uint32_t size;
  std::uint32_t tree;  // within the chunk
  std::uint32_t part;  // index into the tree's parts, read only to record a new split's clade
  std::uint32_t slot;  // index among the tree's internal parts, i.e. into its `ids`
};
static_assert(sizeof(ShardEntry) == 32);

// Trees per bucketing task: enough that a task's 256 runs fill a few cache lines each.
constexpr std::size_t kTreesPerBucketTask = 256;

}  // namespace

// Shard -------------------------------------------------------------------------------------

std::uint32_t Shard::intern(u128 key, std::uint32_t size, const Snapshot& snapshot, std::uint32_t part,
                            const ShardRules& rules) {
  // Identity is (key, smaller side): keys alone could collide for complementary sides.
  const std::uint32_t minor = std::min(size, rules.n_leaves - size);
  if (table_.empty()) grow_table();

  std::size_t slot = in_shard_hash(key) & mask_;
  for (;;) {
    const std::uint32_t i = table_[slot];
    if (i == kEmpty) break;
    if (keys[i] == key && minor_sizes[i] == minor) {
      ++supports[i];
      return i;
    }
    slot = (slot + 1) & mask_;
  }

  const std::size_t index = keys.size();
  if (index >= rules.max_splits) return kFull;
  if (index == keys.capacity()) {
    // The three arrays grow in step, by half their length (at least 16).
    const std::size_t grown = index + std::max<std::size_t>(index / 2, 16);
    keys.reserve(grown);
    minor_sizes.reserve(grown);
    supports.reserve(grown);
  }
  keys.push_back(key);
  minor_sizes.push_back(minor);
  supports.push_back(1);
  if (rules.keep_clades) snapshot.push_canonical(snapshot.parts[part], rules.rooted, clades);

  table_[slot] = static_cast<std::uint32_t>(index);
  // Load stays at most one half, so misses end after a probe or two.
  if ((index + 1) * 2 > table_.size()) grow_table();
  return static_cast<std::uint32_t>(index);
}

void Shard::grow_table() {
  const std::size_t capacity = std::max<std::size_t>(table_.size() * 2, 32);
  table_.assign(capacity, kEmpty);
  mask_ = capacity - 1;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::size_t slot = in_shard_hash(keys[i]) & mask_;
    while (table_[slot] != kEmpty) slot = (slot + 1) & mask_;
    table_[slot] = static_cast<std::uint32_t>(i);
  }
}

void Shard::release_lookup() {
  std::vector<std::uint32_t>().swap(table_);
  std::vector<u128>().swap(keys);
  std::vector<std::uint32_t>().swap(minor_sizes);
  mask_ = 0;
}

// Interner ----------------------------------------------------------------------------------

struct Interner::State {
  std::vector<Shard> shards = std::vector<Shard>(kShards);
  std::vector<InternSnap> snaps;
  std::uint64_t n_leaves = 0;
  bool keep_lengths = false;
  bool keep_clades = false;
  std::uint32_t pendants = 0;  // P: n when pendant edges get reserved IDs, else 0
  ShardRules rules;
  std::uint64_t max_clade_members = CladeTable::kMaxMembers;
  // Scratch of `push_chunk`, reused by every chunk.
  std::vector<ShardEntry> entries;
  std::vector<std::size_t> bucket_at;
};

Interner::Interner(std::uint64_t n_leaves, bool rooted, bool keep_lengths, bool keep_clades)
    : state_(std::make_unique<State>()) {
  State& st = *state_;
  st.n_leaves = n_leaves;
  st.keep_lengths = keep_lengths;
  st.keep_clades = keep_clades;
  st.pendants = (keep_lengths || keep_clades) ? static_cast<std::uint32_t>(n_leaves) : 0;
  st.rules.n_leaves = static_cast<std::uint32_t>(n_leaves);
  st.rules.rooted = rooted;
  st.rules.keep_clades = keep_clades;
}

Interner::~Interner() = default;
Interner::Interner(Interner&&) noexcept = default;
Interner& Interner::operator=(Interner&&) noexcept = default;

void Interner::limit_shard_splits_for_testing(std::uint32_t max_splits) {
  state_->rules.max_splits = std::min(max_splits, kMaxShardSplits);
}

void Interner::limit_clade_members_for_testing(std::uint64_t max_members) {
  state_->max_clade_members = std::min(max_members, CladeTable::kMaxMembers);
}

namespace {

using State = Interner::State;

// Phase 1: each run of trees counts its internal parts by shard and sizes its trees' ID lists
// (the chunk's trees start at `first`); the counts then place every shard's parts in one
// contiguous run of st.entries, ordered by tree and part, and a second pass writes them there.
// Returns where each shard's run begins, and the end.
std::array<std::size_t, kShards + 1> bucket_by_shard(State& st, std::span<const Snapshot> chunk, std::size_t first) {
  const std::size_t count = chunk.size();
  const std::size_t tasks = (count + kTreesPerBucketTask - 1) / kTreesPerBucketTask;
  std::vector<std::size_t>& at = st.bucket_at;  // [task][shard]: where the task's next entry goes
  at.assign(tasks * kShards, 0);
  const auto trees_of = [count](std::size_t task) {
    return std::pair{task * kTreesPerBucketTask, std::min(count, (task + 1) * kTreesPerBucketTask)};
  };
  pool::parallel_for(tasks, [&](std::size_t task) {
    std::size_t* own = at.data() + task * kShards;
    const auto [begin, end] = trees_of(task);
    for (std::size_t t = begin; t < end; ++t) {
      std::uint32_t slot = 0;
      for (const Part& part : chunk[t].parts) {
        if (part.size == 1) continue;
        ++own[shard_of(part.key)];
        ++slot;
      }
      st.snaps[first + t].ids.resize(slot);
    }
  });
  // Shard-major, task-minor: a shard's entries follow the input order.
  std::size_t total = 0;
  for (std::size_t s = 0; s < kShards; ++s) {
    for (std::size_t task = 0; task < tasks; ++task) {
      const std::size_t n = at[task * kShards + s];
      at[task * kShards + s] = total;
      total += n;
    }
  }
  std::array<std::size_t, kShards + 1> shard_begin;
  for (std::size_t s = 0; s < kShards; ++s) shard_begin[s] = at[s];
  shard_begin[kShards] = total;
  // Kept between chunks, so later chunks write into memory that is already faulted in.
  std::vector<ShardEntry>& entries = st.entries;
  if (entries.size() < total) entries.resize(total);
  pool::parallel_for(tasks, [&](std::size_t task) {
    std::size_t* own = at.data() + task * kShards;
    const auto [begin, end] = trees_of(task);
    for (std::size_t t = begin; t < end; ++t) {
      std::uint32_t slot = 0;
      const std::vector<Part>& parts = chunk[t].parts;
      for (std::uint32_t p = 0; p < parts.size(); ++p) {
        const Part& part = parts[p];
        if (part.size == 1) continue;
        entries[own[shard_of(part.key)]++] = ShardEntry{part.key, part.size, static_cast<std::uint32_t>(t), p, slot++};
      }
    }
  });
  return shard_begin;
}

// Phase 2: one task per shard interns that shard's parts of every tree and writes their
// provisional IDs into the trees' lists (each ID slot belongs to exactly one shard). Returns
// whether some shard is full.
bool intern_shards(State& st, std::span<const Snapshot> chunk, std::size_t first,
                   const std::array<std::size_t, kShards + 1>& shard_begin) {
  std::vector<std::uint8_t> full(kShards, 0);
  pool::parallel_for(kShards, [&](std::size_t s) {
    Shard& shard = st.shards[s];
    for (std::size_t e = shard_begin[s]; e < shard_begin[s + 1]; ++e) {
      const ShardEntry& entry = st.entries[e];
      const std::uint32_t local = shard.intern(entry.key, entry.size, chunk[entry.tree], entry.part, st.rules);
      if (local == Shard::kFull) {
        full[s] = 1;
        return;
      }
      st.snaps[first + entry.tree].ids[entry.slot] = provisional_id(local, s);
    }
  });
  return std::find(full.begin(), full.end(), 1) != full.end();
}

// What the IDs or clades interned so far exceed, if anything.
std::optional<std::string_view> exceeded_limit(const State& st, bool shard_full) {
  if (shard_full) return messages::kTooManySplits;
  std::uint64_t ids = st.pendants;
  for (const Shard& shard : st.shards) ids += shard.size();
  // The number of IDs, pendant IDs included, must itself fit in 32 bits.
  if (ids > 0xFFFFFFFFull) return messages::kTooManySplits;
  if (st.keep_clades) {
    // The joined table's offsets are 32-bit: its members (the singletons first) must fit. A
    // shard's own offsets may have wrapped above, but nothing reads them after this error.
    std::uint64_t members = st.n_leaves;
    for (const Shard& shard : st.shards) members += shard.clades.members.size();
    if (members > st.max_clade_members) return messages::kTooManyCladeMembers;
  }
  return std::nullopt;
}

// Phase 3: each tree's lengths, in the order of its IDs.
void lay_out_lengths(State& st, std::span<const Snapshot> chunk, std::size_t first) {
  const std::uint32_t pendants = st.pendants;
  pool::parallel_for(chunk.size(), [&](std::size_t t) {
    const Snapshot& snap = chunk[t];
    InternSnap& out = st.snaps[first + t];
    if (st.keep_lengths) {
      // Pendant lengths go to their leaf's slot, so every tree lists them in leaf-index order;
      // internal ones follow in part order, as their IDs do.
      out.lengths.assign(pendants + out.ids.size(), 0.0);
      std::size_t next = pendants;
      for (const Part& part : snap.parts) {
        if (part.size != 1) {
          out.lengths[next++] = part.length;
        } else if (pendants != 0) {
          out.lengths[snap.leaf_order[part.start]] = part.length;
        }
      }
    }
    out.pendants = pendants;
  });
}

}  // namespace

// Three fork-join phases. The first two give every part a place that depends only on its tree and
// position, and the shard phase gives each shard to exactly one task, which takes that shard's
// parts in input order; so local indices are ranks of first occurrence whatever the thread count
// or chunking, and no lock is needed anywhere.
Status Interner::push_chunk(std::span<const Snapshot> chunk) {
  State& st = *state_;
  if (chunk.empty()) return success();
  const std::size_t first = st.snaps.size();
  st.snaps.resize(first + chunk.size());
  const auto shard_begin = bucket_by_shard(st, chunk, first);
  const bool shard_full = intern_shards(st, chunk, first, shard_begin);
  if (const auto message = exceeded_limit(st, shard_full)) {
    // A failed chunk leaves no half-written trees behind.
    st.snaps.resize(first);
    return Error{std::string(*message)};
  }
  lay_out_lengths(st, chunk, first);
  return success();
}

Snapshots Interner::finish(std::vector<std::string> leaf_names) && {
  State& st = *state_;
  std::vector<ShardEntry>().swap(st.entries);

  // Shards are laid end to end after the pendant IDs.
  std::array<std::uint32_t, kShards> base{};
  std::uint32_t running = st.pendants;
  for (std::size_t s = 0; s < kShards; ++s) {
    base[s] = running;
    running += static_cast<std::uint32_t>(st.shards[s].size());
  }

  pool::parallel_for(st.snaps.size(), [&](std::size_t t) {
    for (std::uint32_t& id : st.snaps[t].ids) id = base[id & 0xFFu] + (id >> 8);
  });

  Snapshots set;
  set.supports.reserve(running);
  set.supports.assign(st.pendants, static_cast<std::uint32_t>(st.snaps.size()));
  std::vector<CladeTable> tables;
  if (st.keep_clades) {
    tables.reserve(kShards + 1);
    tables.push_back(CladeTable::singletons(st.n_leaves));
  }
  for (Shard& shard : st.shards) {
    shard.release_lookup();
    set.supports.insert(set.supports.end(), shard.supports.begin(), shard.supports.end());
    std::vector<std::uint32_t>().swap(shard.supports);
    if (st.keep_clades) tables.push_back(std::move(shard.clades));
  }
  std::vector<Shard>().swap(st.shards);
  if (st.keep_clades) set.clades = CladeTable::concat(std::move(tables));

  set.snaps = std::move(st.snaps);
  set.leaf_names = std::move(leaf_names);
  state_.reset();
  return set;
}

}  // namespace brantoveil::snapshot
