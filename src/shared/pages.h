// The page policy of large fresh results: huge pages where they come quickly, pages faulted in on
// every core before the first writes. Kernels and the exports alike use it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

namespace brantoveil {

/// Maps in the pages of a chunk of a fresh zeroed buffer without writing them, so the zeroing
/// of the lower triangle happens on the workers rather than in the serial mirror.
void populate_pages(void* data, std::size_t bytes);

/// Asks for transparent huge pages on the 2 MiB-aligned interior of a large fresh result before its
/// first touch, unless the system has them switched off; small results keep normal pages. Once per
/// buffer, before anything touches it: advice given again would undo a switch to small pages.
void prepare_result_pages(void* data, std::size_t bytes);

/// Decides when huge pages come slowly often enough that the rest of a result should take small
/// ones: a step slower than `slow` counts, and the `patience`-th such step decides. One slow step
/// alone can be a single block the host had to hand back, not the rule. Safe on any thread.
class HugePageWatch {
 public:
  HugePageWatch(std::chrono::nanoseconds slow, int patience);
  /// Counts one huge step's time; true for exactly the call that decides to give up.
  bool record(std::chrono::nanoseconds took);
  /// Gives up without waiting for slow steps (huge pages are switched off).
  void give_up();
  bool given_up() const;

 private:
  std::chrono::nanoseconds slow_;
  int patience_;
  std::atomic<int> slow_steps_{0};
  std::atomic<bool> given_up_{false};
};

/// Chooses the page size of a large fresh result (see prepare_result_pages) and faults all its
/// pages in on every core before the kernel's first writes, in batches that spare a trap per
/// page; huge pages are given up for the rest once a second one comes slowly (HugePageWatch).
/// Small results are left alone. The contents do not change, so zeros stay zeros.
void populate_result(void* data, std::size_t bytes);

}  // namespace brantoveil
