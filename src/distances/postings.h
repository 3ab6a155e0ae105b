// Postings: each rare split's ascending list of trees, and each tree's own list of rare splits.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brantoveil::distances {

struct ColumnLayout;

/// One rare split of a tree: its sparse index and the tree's branch length (0.0 without lengths).
struct SparseEntry {
  std::uint32_t index;
  double length;
};

/// One block's forward lists: local tree j owns positions offsets[j] .. offsets[j + 1].
struct OwnPosted {
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> columns;
  std::vector<double> weights;
};

class PostingsBuilder;

/// Inverted index over the sparse columns plus every tree's own ascending list of them.
struct Postings {
  std::vector<std::uint64_t> offsets;  // S + 1 positions into `trees`
  std::vector<std::uint32_t> trees;    // every posting list, ascending by tree
  std::vector<double> weights;         // per posting, the tree's length (weighted metrics only)
  std::vector<OwnPosted> own;          // one per block
  std::uint32_t shift = 0;

  /// A builder sized from the supports of the sparse columns of `layout`.
  static PostingsBuilder builder(std::span<const std::uint32_t> supports, const ColumnLayout& layout,
                                 std::size_t n, std::uint32_t block_shift, bool weighted_flag);

  /// Where one tree's own list lies: positions [first, last) of its block's `columns`/`weights`.
  struct OwnRange {
    const OwnPosted* block;
    std::uint64_t first;
    std::uint64_t last;
  };
  /// Tree `tree`'s own list of sparse indices.
  OwnRange own_of(std::size_t tree) const {
    const OwnPosted& block = own[tree >> shift];
    const std::size_t j = tree & ((std::size_t{1} << shift) - 1);
    return {&block, block.offsets[j], block.offsets[j + 1]};
  }

  /// First position of sparse index s's list holding a tree after `tree` (binary search).
  std::uint64_t later_than(std::uint32_t s, std::size_t tree) const {
    const std::uint32_t* first = trees.data() + offsets[s];
    const std::uint32_t* last = trees.data() + offsets[s + 1];
    const std::uint32_t* it = std::upper_bound(first, last, tree,
                                               [](std::size_t t, std::uint32_t x) { return t < x; });
    return static_cast<std::uint64_t>(it - trees.data());
  }
  /// First position of sparse index s's list.
  std::uint64_t list_begin(std::uint32_t s) const { return offsets[s]; }
  /// One past the last position of sparse index s's list.
  std::uint64_t list_end(std::uint32_t s) const { return offsets[s + 1]; }
};

/// Fills the postings block by block, in tree order, so every list comes out ascending.
class PostingsBuilder {
 public:
  PostingsBuilder(Postings postings, std::vector<std::uint64_t> cursor, bool weighted_flag,
                  std::size_t blocks);

  /// Appends one block: the sparse lists of its trees, in tree order, each sorted by index.
  void push_block(std::span<const std::vector<SparseEntry>> lists);
  /// The finished postings; every block must have been pushed.
  Postings finish() &&;

 private:
  Postings postings_;
  std::vector<std::uint64_t> cursor_;
  std::uint32_t next_tree_ = 0;
  bool weighted_flag_ = false;
};

}  // namespace brantoveil::distances
