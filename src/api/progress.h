// ProgressCounter: pair-completion counts readable from Python while a kernel runs without the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "api/lock.h"
#include "api/pyref.h"
#include "pool/pool.h"

namespace brantoveil::api {

using CounterCell = std::atomic<std::uint64_t>;

/// The Python object: two shared cells, so a running call can outlive every Python reference.
struct ProgressCounterObject {
  PyObject_HEAD
  std::shared_ptr<CounterCell> value;
  std::shared_ptr<CounterCell> total;
};

/// Creates the ProgressCounter type for `module`; nullptr with an exception set.
PyTypeObject* create_progress_counter_type(PyObject* module);

/// The whole-matrix counter protocol: runs `kernel(cell)` on the counter's cell, first reset to 0
/// of `pairs`, and stores `pairs` as its value afterwards unless the call was stopped; without a
/// counter, on a private cell. The lock is released around the kernel by the rule of lock.h: when
/// `unlock` is always, or a counter is given.
template <class Kernel>
auto run_counted(PyRef progress, std::uint64_t pairs, Unlock unlock, Kernel&& kernel) {
  std::shared_ptr<CounterCell> cell;
  if (progress) {
    auto* counter = reinterpret_cast<ProgressCounterObject*>(progress.get());
    counter->value->store(0, std::memory_order_relaxed);
    counter->total->store(pairs, std::memory_order_relaxed);
    cell = counter->value;
  } else {
    cell = std::make_shared<CounterCell>(0);
  }
  auto result = [&] {
    ReleasedGil released(unlock == Unlock::always || progress);
    return kernel(*cell);
  }();
  // A stopped call leaves the count where it stopped.
  if (!pool::stopped()) cell->store(pairs, std::memory_order_relaxed);
  return result;
}

/// n(n-1)/2 in 64 bits, the product saturating before the halving.
inline std::uint64_t pair_count(std::uint64_t n) {
  if (n == 0) return 0;
  std::uint64_t product;
  if (__builtin_mul_overflow(n, n - 1, &product)) product = ~std::uint64_t{0};
  return product / 2;
}

}  // namespace brantoveil::api
