// The one rule for the interpreter lock, and the one guard that releases it.
//
// The rule: a call releases the lock only around work that touches no Python object (reading the
// trees drawn so far, kernels, exports, serialising), and how far it does so is its module's
// choice, stated once in its intake options (`Unlock`): the public functions keep the lock
// throughout unless given a counter, and then release it for the kernel alone, as their
// documentation promises; the companion's calls release it while reading and for every kernel,
// block and export.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "api/pyref.h"
#include "pool/pool.h"

namespace brantoveil::api {

/// How far a call lets other Python threads run (see the rule above).
enum class Unlock {
  /// The public functions: the kernel of a call given a counter, nothing else.
  with_counter,
  /// The companion's calls: reading, every kernel and every export.
  always,
};

/// Parks the calling thread for good: what a thread does when the finalising interpreter unwinds it
/// (glibc's forced unwind), which every noexcept frame above would turn into std::terminate.
/// Nothing of the call is still running, and the process is about to exit.
[[noreturn]] void park_thread() noexcept;

/// Takes the interpreter lock back; a thread the finalising interpreter refuses parks for good.
void retake_gil(PyThreadState* state) noexcept;

/// Releases the interpreter lock for a scope (when `release`), re-taking it at the end.
class ReleasedGil {
 public:
  explicit ReleasedGil(bool release = true) : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~ReleasedGil() {
    if (state_ != nullptr) retake_gil(state_);
  }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

/// Releases the interpreter lock for each outermost parallel loop of the calling thread, so the
/// lock is held between loops, where the iterator is advanced.
class UnlockedLoops final : public pool::LoopWait {
 public:
  void enter() override { state_ = PyEval_SaveThread(); }
  void leave() override { retake_gil(state_); }

 private:
  PyThreadState* state_ = nullptr;
};

}  // namespace brantoveil::api
