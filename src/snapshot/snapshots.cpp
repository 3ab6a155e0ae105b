// The pipeline driver: tree 0 fixes the leaf set, later trees are parsed and interned in chunks.
#include "snapshot/snapshots.h"

#ifdef __GLIBC__
#if defined(__GLIBC__) || defined(__linux__)
#include <malloc.h>
#endif
#endif

#include <algorithm>
#include <atomic>
#include <memory>
#include <span>
#include <unordered_map>
#include <utility>

#include "pool/pool.h"
#include "snapshot/build.h"
#include "snapshot/messages.h"

namespace brantoveil::snapshot {

namespace {

// One chunk costs about this many bytes in flight, estimated from tree 0.
constexpr std::uint64_t kChunkBytes = 16u << 20;
// And holds at most about this many trees, whatever their size.
constexpr std::uint64_t kChunkTrees = 4096;

const TranslateMap& translate_of(const TreeItem& item) {
  static const TranslateMap empty;
  return item.translate != nullptr ? *item.translate : empty;
}

// Pulls up to `limit` items. The list starts with room for 4 and at least doubles when full; the
// source's estimate (never trusted beyond `limit`) is asked only while more items may follow.
std::vector<TreeItem> pull_chunk(TreeSource& items, std::size_t limit) {
  std::vector<TreeItem> chunk;
  std::optional<TreeItem> item = items.next();
  if (!item) return chunk;
  std::size_t room = 4;
  if (limit > 1) room = std::max(room, std::min(items.size_hint(), limit - 1) + 1);
  chunk.reserve(std::min(room, limit));
  chunk.push_back(std::move(*item));
  while (chunk.size() < limit) {
    item = items.next();
    if (!item) break;
    if (chunk.size() == chunk.capacity()) {
      std::size_t grown = chunk.size() * 2;
      if (chunk.size() + 1 < limit) {
        grown = std::max(grown, chunk.size() + 1 + std::min(items.size_hint(), limit - chunk.size() - 1));
      }
      chunk.reserve(std::min(grown, limit));
    }
    chunk.push_back(std::move(*item));
  }
  return chunk;
}

// Every translate map of the call composed with its leaf index, once per map, on the calling
// thread as the chunks arrive; the workers then only read them.
class Translations {
 public:
  explicit Translations(const LeafContext& context) : context_(context) {}

  /// The composition of each item's map, in item order.
  std::vector<const TranslatedLeaves*> of(const std::vector<TreeItem>& chunk) {
    std::vector<const TranslatedLeaves*> out(chunk.size());
    for (std::size_t j = 0; j < chunk.size(); ++j) {
      const TranslateMap* map = &translate_of(chunk[j]);
      auto [at, added] = index_.try_emplace(map, composed_.size());
      if (added) composed_.push_back(std::make_unique<TranslatedLeaves>(compose_translation(*map, context_)));
      out[j] = composed_[at->second].get();
    }
    return out;
  }

 private:
  const LeafContext& context_;
  std::unordered_map<const TranslateMap*, std::size_t> index_;
  std::vector<std::unique_ptr<TranslatedLeaves>> composed_;
};

// Parses a chunk on the pool into trees[0, chunk.size()), whose storage earlier chunks left
// behind: after the first chunk a tree's parts land in memory that is already faulted in. The
// first worker to fail claims the error slot; the others see the stop flag and skip their
// remaining items, so a bad chunk costs little more than its first error.
Status parse_chunk(const std::vector<TreeItem>& chunk, const std::vector<const TranslatedLeaves*>& translated,
                   std::uint64_t first_index, const LeafContext& context, std::uint64_t max_tree_bytes,
                   std::vector<Snapshot>& trees) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  if (trees.size() < chunk.size()) trees.resize(chunk.size());
  std::atomic<std::size_t> failed{kNone};
  Error error;  // written only by the worker that claimed `failed`
  pool::parallel_for(chunk.size(), [&](std::size_t j) {
    if (failed.load(std::memory_order_relaxed) != kNone) return;
    Status tree = chunk[j].text.size() > max_tree_bytes
                      ? Status(messages::tree_error(ErrorKind::tree, first_index + j, messages::kTreeTooLarge))
                      : read_into(chunk[j].text, *translated[j], first_index + j, context, trees[j]);
    if (tree) return;
    std::size_t expected = kNone;
    if (failed.compare_exchange_strong(expected, j, std::memory_order_acq_rel)) error = std::move(tree).take_error();
  });
  if (failed.load() != kNone) return error;
  return success();
}

}  // namespace

// One chunk in flight should cost about 16 MiB (text plus parsed parts and leaf order, as tree 0
// costs) and hold at most about 4,096 trees, yet give every thread at least one tree.
std::uint64_t chunk_trees_per_thread(std::uint64_t text_bytes, std::uint64_t parts, std::uint64_t leaves,
                                     std::uint64_t threads) {
  threads = std::max<std::uint64_t>(threads, 1);
  const std::uint64_t bytes = text_bytes + 32 * parts + 4 * leaves;
  const std::uint64_t per_round = std::max<std::uint64_t>(bytes, 1) * threads;
  if (per_round > kChunkBytes) return 1;
  return std::min(kChunkBytes / per_round, std::max<std::uint64_t>(kChunkTrees / threads, 1));
}

Result<Snapshots> Snapshots::from_newick_iter_opts(TreeSource& items, const SnapshotOptions& options) {
  // Tree 0 fixes the leaf set.
  std::optional<TreeItem> first = items.next();
  if (!first) return Snapshots{};
  if (first->text.size() > options.max_tree_bytes) {
    return messages::tree_error(ErrorKind::tree, 0, messages::kTreeTooLarge);
  }
  const TranslateMap& map0 = translate_of(*first);
  Result<std::vector<std::string>> listed = snapshot::leaf_names(first->text, map0);
  if (!listed) return std::move(listed).take_error();
  std::vector<std::string> names = std::move(listed).value();
  Status unique = prepare_leaf_set(names);
  if (!unique) return std::move(unique).take_error();
  // The context views `names`; moving the vector later keeps its strings in place.
  const LeafContext context = make_leaf_context(names, options.rooted);

  Result<Snapshot> parsed0 = snapshot(first->text, map0, 0, context);
  if (!parsed0) return std::move(parsed0).take_error();
  Snapshot tree0 = std::move(parsed0).value();

  // Chunks are sized once, from tree 0.
  const std::uint64_t threads = std::max<std::uint64_t>(pool::thread_count(), 1);
  const std::uint64_t per_thread =
      chunk_trees_per_thread(first->text.size(), tree0.parts.size(), tree0.leaf_order.size(), threads);
  first.reset();
  (void)items.size_hint();

  Interner interner(names.size(), options.rooted, options.keep_lengths, options.keep_clades);
  // Tree 0's storage becomes the first of the trees every chunk is read into.
  std::vector<Snapshot> trees;
  trees.push_back(std::move(tree0));
  {
    Status pushed = interner.push_chunk(std::span<const Snapshot>(trees));
    if (!pushed) return std::move(pushed).take_error();
  }

  const std::size_t chunk_trees =
      options.chunk_trees != 0 ? options.chunk_trees : static_cast<std::size_t>(per_thread * threads);
  std::uint64_t next_index = 1;
  Translations translations(context);
  for (;;) {
    if (pool::stop_requested()) return Error{std::string(messages::kStopped)};
    std::vector<TreeItem> chunk = pull_chunk(items, chunk_trees);
    if (chunk.empty()) break;
    if (next_index + chunk.size() > options.max_trees) return Error{std::string(messages::kTooManyTrees)};
    Status parsed = parse_chunk(chunk, translations.of(chunk), next_index, context, options.max_tree_bytes, trees);
    if (!parsed) return std::move(parsed).take_error();
    const std::size_t count = chunk.size();
    next_index += count;
    std::vector<TreeItem>().swap(chunk);
    Status pushed = interner.push_chunk(std::span<const Snapshot>(trees).first(count));
    if (!pushed) return std::move(pushed).take_error();
  }
  std::vector<Snapshot>().swap(trees);
#ifdef __GLIBC__
  // The chunks' texts and parse trees were freed on the workers, into per-thread heaps that keep
  // them resident; hand those pages back before the caller allocates its results.
  ::malloc_trim(0);
#endif
  return std::move(interner).finish(std::move(names));
}

}  // namespace brantoveil::snapshot
