// Process-wide fork-join worker pool: the only source of parallelism in the core.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace brantoveil::pool {

/// A fork-join pool: `threads() - 1` workers plus the calling thread, which takes part in each loop.
class Pool {
 public:
  /// A pool running loops on `threads` threads in all (at least 1; the caller counts as one).
  explicit Pool(std::size_t threads);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  /// Threads taking part in a loop, the caller included.
  std::size_t threads() const;

  /// Runs body(i) for every i in [0, n), in any order and on any thread; returns when all have run.
  /// A loop started from inside a task runs inline on that task's thread. An exception leaving
  /// body(i) on a shared loop ends the process (out of memory with a message saying so), since
  /// other threads may still be using the caller's buffers; a loop run inline passes it on.
  void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body);

  /// Joins the workers when no loop is running, so that a fork() sees a single thread; the next
  /// loop starts them again. Returns whether they were stopped (or none were running).
  bool stop_idle_workers();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

/// The pool the calling thread uses: the one installed by `ScopedPool`, else the process-wide pool.
Pool& current();

/// The process-wide pool, created on first use with the size `set_global_threads` gave, else the
/// environment variable BRANTOVEIL_THREADS (a positive integer; anything else is ignored), else one
/// thread per CPU in the affinity mask. Its idle workers are stopped before every fork() and start
/// again on the next loop.
Pool& global();

/// Sets the size the process-wide pool starts with. True when it will have (or already has)
/// `threads` threads; false, changing nothing, when it already runs with another size.
bool set_global_threads(std::size_t threads);

/// The size the process-wide pool has, or the one it will start with.
std::size_t global_threads();

/// BRANTOVEIL_THREADS as a thread count: 0 when unset or not a positive integer.
std::size_t threads_from_environment();

/// Number of CPUs in the process's affinity mask (at least 1).
std::size_t cpu_count();

/// Makes `pool` the calling thread's current pool for the guard's lifetime (tests pin thread counts).
class ScopedPool {
 public:
  explicit ScopedPool(Pool& pool);
  ~ScopedPool();
  ScopedPool(const ScopedPool&) = delete;
  ScopedPool& operator=(const ScopedPool&) = delete;

 private:
  Pool* previous_;
};

/// Asked on the calling thread between parallel batches whether its call should end early.
class StopCheck {
 public:
  virtual ~StopCheck() = default;
  /// True to end the call; asked from the calling thread, never inside a task.
  virtual bool stop_requested() = 0;
};

/// Makes `check` the calling thread's stop check for the guard's lifetime.
class ScopedStopCheck {
 public:
  explicit ScopedStopCheck(StopCheck& check);
  ~ScopedStopCheck();
  ScopedStopCheck(const ScopedStopCheck&) = delete;
  ScopedStopCheck& operator=(const ScopedStopCheck&) = delete;

 private:
  StopCheck* previous_;
  bool previous_stopped_;
};

/// Told when the calling thread enters and leaves an outermost parallel loop, e.g. to let go of a
/// lock that no task needs while the loop runs.
class LoopWait {
 public:
  virtual ~LoopWait() = default;
  /// Before the loop's first index runs; called on the calling thread.
  virtual void enter() = 0;
  /// After every index has run (or an exception left an inline loop).
  virtual void leave() = 0;
};

/// Makes `wait` the calling thread's loop hook for the guard's lifetime.
class ScopedLoopWait {
 public:
  explicit ScopedLoopWait(LoopWait& wait);
  ~ScopedLoopWait();
  ScopedLoopWait(const ScopedLoopWait&) = delete;
  ScopedLoopWait& operator=(const ScopedLoopWait&) = delete;

 private:
  LoopWait* previous_;
};

/// Whether the calling thread's call should end: asks its stop check (at most every few
/// milliseconds); once true it stays true for the check's lifetime. False inside tasks.
bool stop_requested();

/// Whether the calling thread's stop check has already asked to stop; asks nothing.
bool stopped();

/// Runs body(i) for every i in [0, n) like `parallel_for`, but in batches of about 20 to 80 ms
/// with a stop check between them when the calling thread has one installed. False when stopped,
/// and then some indices never ran.
bool parallel_for_batches(std::size_t n, const std::function<void(std::size_t)>& body);

/// Thread count of the current pool.
inline std::size_t thread_count() { return current().threads(); }

/// Runs body(i) for every i in [0, n) on the current pool.
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
  if (n == 0) return;
  if (n == 1) {
    body(std::size_t{0});
    return;
  }
  current().parallel_for(n, std::function<void(std::size_t)>(std::ref(body)));
}

}  // namespace brantoveil::pool
