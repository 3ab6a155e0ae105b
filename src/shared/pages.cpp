// Page advice for large fresh results, and the watch that gives up huge pages when they come slowly.
#include "shared/pages.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "pool/pool.h"

namespace brantoveil {

namespace {

constexpr std::uintptr_t kPage = 4096;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

}  // namespace

void populate_pages(void* data, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
  // Purely a speed-up: an older kernel refuses it and the pages fault in on first write as before.
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

namespace {

enum class HugePages { kNever, kOnRequest, kAlways };

// The system's setting for transparent huge pages: "never" refuses them, "madvise" gives them to
// regions that ask, "always" to every large region. Unreadable (no such pages): never. Read once.
HugePages huge_pages_setting() {
  static const HugePages setting = [] {
    std::FILE* file = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
    if (file == nullptr) return HugePages::kNever;
    char text[128] = {};
    const std::size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[got] = '\0';
    if (got == 0 || std::strstr(text, "[never]") != nullptr) return HugePages::kNever;
    return std::strstr(text, "[always]") != nullptr ? HugePages::kAlways : HugePages::kOnRequest;
  }();
  return setting;
}

}  // namespace

void prepare_result_pages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  // Below this the page faults cost little, and a stall while the kernel assembles huge pages
  // could cost more than it saves.
  constexpr std::size_t kMinBytes = std::size_t{32} << 20;
  if (bytes < kMinBytes || huge_pages_setting() == HugePages::kNever) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  // Advice only: refused, the pages stay normal and nothing else changes.
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

HugePageWatch::HugePageWatch(std::chrono::nanoseconds slow, int patience) : slow_(slow), patience_(patience) {}

bool HugePageWatch::record(std::chrono::nanoseconds took) {
  if (took <= slow_) return false;
  return slow_steps_.fetch_add(1, std::memory_order_relaxed) + 1 == patience_ && !given_up_.exchange(true);
}

void HugePageWatch::give_up() { given_up_.store(true, std::memory_order_relaxed); }

bool HugePageWatch::given_up() const { return given_up_.load(std::memory_order_relaxed); }

void populate_result(void* data, std::size_t bytes) {
#if defined(MADV_POPULATE_WRITE) && defined(MADV_NOHUGEPAGE)
  // Below this the faults cost little next to a parallel loop.
  constexpr std::size_t kMinBytes = std::size_t{32} << 20;
  if (bytes < kMinBytes) return;
  prepare_result_pages(data, bytes);
  // Huge pages take a 512th of the faults and zero memory faster when the memory behind them is
  // ready. A virtual machine that hands freed memory back to its host must first get it back,
  // and a huge page then costs far more than the same memory in small pages (400 MiB on one
  // thread: about 1 s against 0.27 s, `pages_bench first-touch`). Ready, a huge step takes
  // 0.1-0.6 ms against 0.5-0.8 ms in small pages; back from the host, 5 ms or more.
  HugePageWatch watch(std::chrono::microseconds(2000), 2);
  auto* cells = static_cast<unsigned char*>(data);
  const auto begin = reinterpret_cast<std::uintptr_t>(cells);
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
  if (last <= first) return;
  if (huge_pages_setting() == HugePages::kNever) watch.give_up();
  // Steps are claimed in ascending order, so the switch applies to what comes after the step
  // that decided it. Purely a speed-up: any refusal leaves the pages to fault in on first write
  // as before.
  (void)pool::parallel_for_batches((last - first + kHugePage - 1) / kHugePage, [&](std::size_t step) {
    const std::uintptr_t from = first + step * kHugePage;
    const std::uintptr_t to = std::min(last, from + kHugePage);
    const bool huge = !watch.given_up();
    const auto start = std::chrono::steady_clock::now();
    if (::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) != 0) return;
    if (!huge || !watch.record(std::chrono::steady_clock::now() - start)) return;
    const std::uintptr_t rest = (to + kHugePage - 1) & ~(kHugePage - 1);
    if (last > rest) ::madvise(reinterpret_cast<void*>(rest), last - rest, MADV_NOHUGEPAGE);
  });
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace brantoveil
