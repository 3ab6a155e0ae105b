// Building the postings: exact sizes from the supports, then one block of trees at a time.
#include "distances/postings.h"

#include <cassert>
#include <utility>

#include "distances/layout.h"

namespace brantoveil::distances {

PostingsBuilder Postings::builder(std::span<const std::uint32_t> supports,
                                  const ColumnLayout& layout, std::size_t n,
                                  std::uint32_t block_shift, bool weighted_flag) {
  const std::size_t sparse = layout.total - layout.dense;
  Postings postings;
  postings.shift = block_shift;
  // Every list's length is its split's support, so one prefix sum places all of them.
  postings.offsets.assign(sparse + 1, 0);
  for (std::size_t id = 0; id < layout.columns.size(); ++id) {
    const std::uint32_t col = layout.columns[id];
    if (col != NO_COLUMN && col >= layout.dense) postings.offsets[col - layout.dense] = supports[id];
  }
  std::uint64_t running = 0;
  for (std::uint64_t& entry : postings.offsets) {
    const std::uint64_t count = entry;
    entry = running;
    running += count;
  }
  std::vector<std::uint64_t> cursor(postings.offsets.begin(), postings.offsets.end() - 1);
  postings.trees.assign(running, 0);
  if (weighted_flag) postings.weights.assign(running, 0.0);
  const std::size_t block = std::size_t{1} << block_shift;
  return PostingsBuilder(std::move(postings), std::move(cursor), weighted_flag,
                         (n + block - 1) / block);
}

PostingsBuilder::PostingsBuilder(Postings postings, std::vector<std::uint64_t> cursor,
                                 bool weighted_flag, std::size_t blocks)
    : postings_(std::move(postings)), cursor_(std::move(cursor)), weighted_flag_(weighted_flag) {
  postings_.own.reserve(blocks);
}

void PostingsBuilder::push_block(std::span<const std::vector<SparseEntry>> lists) {
  std::size_t entries = 0;
  for (const auto& list : lists) entries += list.size();
  OwnPosted block;
  block.offsets.reserve(lists.size() + 1);
  block.offsets.push_back(0);
  block.columns.reserve(entries);
  if (weighted_flag_) block.weights.reserve(entries);
  std::uint32_t tree = next_tree_;
  for (const auto& list : lists) {
    for (const SparseEntry& entry : list) {
      const std::uint64_t pos = cursor_[entry.index]++;
      assert(pos < postings_.offsets[entry.index + 1]);
      postings_.trees[pos] = tree;
      block.columns.push_back(entry.index);
      if (weighted_flag_) {
        postings_.weights[pos] = entry.length;
        block.weights.push_back(entry.length);
      }
    }
    block.offsets.push_back(block.columns.size());
    ++tree;
  }
  next_tree_ = tree;
  postings_.own.push_back(std::move(block));
}

Postings PostingsBuilder::finish() && {
  cursor_ = {};
  return std::move(postings_);
}

}  // namespace brantoveil::distances
