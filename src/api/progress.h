// ProgressCounter: pair-completion counts readable from Python while a kernel runs without the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

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

/// Takes the interpreter lock back; a thread the finalising interpreter refuses parks for good.
void retake_gil(PyThreadState* state) noexcept;

/// Releases and re-takes the interpreter lock around a scope.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { retake_gil(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

/// Runs `kernel(cell)`: with a counter, resets it to (0, pairs), runs without the interpreter lock and
/// stores `pairs` as the value afterwards unless the call was stopped; without one, runs on a
/// private cell with the lock held.
template <class Kernel>
auto with_counter(PyRef progress, std::uint64_t pairs, Kernel&& kernel) {
  if (!progress) {
    CounterCell cell{0};
    return kernel(cell);
  }
  auto* counter = reinterpret_cast<ProgressCounterObject*>(progress.get());
  counter->value->store(0, std::memory_order_relaxed);
  counter->total->store(pairs, std::memory_order_relaxed);
  std::shared_ptr<CounterCell> cell = counter->value;
  auto result = [&] {
    ReleasedGil unlocked;
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
