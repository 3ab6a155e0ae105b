// The page policy of large fresh results: every page faulted in, and huge pages given up in time.
#include "shared/pages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <vector>

#include "pool/pool.h"

namespace brantoveil {
namespace {

// Pages of [data, data + bytes) resident in memory, one flag per 4 KiB page.
std::vector<bool> resident_pages(const void* data, std::size_t bytes) {
  std::vector<unsigned char> flags((bytes + 4095) / 4096);
  EXPECT_EQ(::mincore(const_cast<void*>(data), bytes, flags.data()), 0);
  std::vector<bool> resident(flags.size());
  for (std::size_t i = 0; i < flags.size(); ++i) resident[i] = (flags[i] & 1) != 0;
  return resident;
}

// A large result has every page faulted in, on any pool, without its contents changing; a small
// one is left to fault in under the kernel's writes.
TEST(PopulateResult, FaultsInEveryPageOfALargeResultOnly) {
  for (const std::size_t threads : {1, 2}) {
    pool::Pool p(threads);
    pool::ScopedPool use(p);
    for (const std::size_t bytes : {std::size_t{1} << 20, (std::size_t{48} << 20) + 12345}) {
      const std::size_t mapped = bytes + 8192;
      void* region = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      ASSERT_NE(region, MAP_FAILED);
      auto* data = static_cast<unsigned char*>(region) + 4096 + 40;  // a result rarely starts on a page
      data[0] = 7;
      populate_result(data, bytes);
      const std::size_t interior = bytes - 8192;
      const std::vector<bool> in = resident_pages(static_cast<unsigned char*>(region) + 8192, interior & ~std::size_t{4095});
      const bool large = bytes >= (std::size_t{32} << 20);
      EXPECT_EQ(std::count(in.begin(), in.end(), true), large ? static_cast<std::ptrdiff_t>(in.size()) : 0) << bytes;
      EXPECT_EQ(data[0], 7);
      EXPECT_EQ(data[bytes - 1], 0);
      ::munmap(region, mapped);
    }
  }
}

// One slow huge step is not the rule; the second decides, once, whichever thread reports it.
TEST(HugePageWatch, GivesUpAtTheSecondSlowStepOnly) {
  using std::chrono::microseconds;
  HugePageWatch watch(microseconds(2000), 2);
  const long steps[] = {300, 5000, 400, 2000, 100};  // 2000 is not slower than the limit
  for (const long step : steps) EXPECT_FALSE(watch.record(microseconds(step))) << step;
  EXPECT_FALSE(watch.given_up());
  EXPECT_TRUE(watch.record(microseconds(6000)));
  EXPECT_TRUE(watch.given_up());
  EXPECT_FALSE(watch.record(microseconds(6000)));

  // Many threads reporting slow steps at once: exactly one call decides.
  HugePageWatch shared(microseconds(2000), 2);
  std::atomic<int> decided{0};
  pool::Pool p(4);
  pool::ScopedPool use(p);
  pool::parallel_for(64, [&](std::size_t) {
    if (shared.record(microseconds(9000))) decided.fetch_add(1);
  });
  EXPECT_EQ(decided.load(), 1);
  EXPECT_TRUE(shared.given_up());

  HugePageWatch off(microseconds(2000), 2);
  off.give_up();
  EXPECT_TRUE(off.given_up());
  EXPECT_FALSE(off.record(microseconds(9000)));
  EXPECT_FALSE(off.record(microseconds(9000)));
}

}  // namespace
}  // namespace brantoveil
