// One task on a thread of its own, beside the pool, for work that should overlap the caller's.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace brantoveil::pool {

/// Runs `work(stop)` on a new thread; `work` should return soon after `stop` becomes true. The
/// task is only ever a speed-up: when no thread can be started it does not run at all. The
/// destructor asks it to stop and joins it. Before a fork() every running task is asked to stop
/// and joined, so neither side of the fork waits on a thread it does not have.
class Background {
 public:
  explicit Background(std::function<void(const std::atomic<bool>& stop)> work);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  /// Asks the task to stop and waits for it.
  void stop();

  /// Stops every running task; for the fork handler, which holds the registry's lock.
  static void stop_all_locked();

 private:
  void stop_locked();

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace brantoveil::pool
