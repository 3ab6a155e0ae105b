// The result matrix allocated before the trees are read, its pages faulted in on the idle core.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "api/pyref.h"
#include "pool/background.h"

namespace brantoveil::api {

/// Reading the trees keeps one thread busy with the interpreter while the other cores wait; the
/// kernel then pays the first touch of every page of a fresh n x n result (about as long as
/// writing it). This moves that cost under the reading: the bytes for one tree per name are
/// allocated up front, and a background task faults their pages in as the trees arrive.
class EarlyResult {
 public:
  /// Sets out to allocate `expected`² elements of `element_size` bytes. Nothing is done when the
  /// result is small, when there is only one CPU, or when the bytes cannot be had (the usual
  /// allocation after reading then raises as before).
  EarlyResult(std::size_t expected, std::size_t element_size);
  ~EarlyResult();
  EarlyResult(const EarlyResult&) = delete;
  EarlyResult& operator=(const EarlyResult&) = delete;

  /// The count the tree source bumps for every tree pulled; null when nothing is being warmed.
  std::atomic<std::size_t>* pulled() { return warming_ ? &pulled_ : nullptr; }

  /// Stops the warming and returns bytes for `n`² elements: the early ones when `n` trees were
  /// read as expected, otherwise new ones; null with MemoryError set when they cannot be had.
  PyRef take(std::size_t n);

 private:
  std::size_t expected_;
  std::size_t element_size_;
  PyRef bytes_;
  std::atomic<std::size_t> pulled_{0};
  std::size_t warmed_ = 0;  // written by the warming task, read once it has been joined
  std::unique_ptr<pool::Background> warming_;
};

}  // namespace brantoveil::api
