// Symmetric fill: chunk boundaries, the progress count per chunk, and the mirror.
#include "distances/matrix.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "distances/isa.h"

namespace brantoveil::distances {
namespace {

// The mirror copies every cell above the diagonal below it and leaves the upper triangle alone,
// whatever the size (whole and partial 64 x 64 tiles) and however the rows fall on cache lines:
// the matrix starts anywhere in a line, so the runs of a row start at every point of one.
template <class T>
void check_mirror(std::size_t n, std::size_t offset) {
  std::vector<T> storage(n * n + 32);
  T* cells = storage.data() + offset;
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < n; ++c) cells[r * n + c] = c > r ? static_cast<T>(r * n + c + 1) : T{0};
  }
  mirror_upper(cells, n);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < n; ++c) {
      const std::size_t above = std::min(r, c) * n + std::max(r, c) + 1;
      ASSERT_EQ(cells[r * n + c], r == c ? T{0} : static_cast<T>(above)) << n << " " << offset << " " << r << " " << c;
    }
  }
  EXPECT_EQ(storage[offset + n * n], T{0});  // nothing written past the end
  EXPECT_EQ(std::count(storage.begin(), storage.begin() + static_cast<std::ptrdiff_t>(offset), T{0}),
            static_cast<std::ptrdiff_t>(offset));  // nor before the start
}

TEST(MirrorUpper, CopiesEveryCellForAnySizeAndAlignmentOnEveryLevel) {
  const Isa before = isa_cap();
  for (const Isa level : kIsaOrder) {
    cap_isa(level);
    if (best_isa() != level) continue;  // this CPU lacks it
    for (const std::size_t n : {1u, 2u, 63u, 64u, 65u, 129u, 192u, 200u, 257u}) {
      for (const std::size_t offset : {0u, 1u, 3u, 7u, 12u, 15u}) {
        SCOPED_TRACE(static_cast<int>(level));
        check_mirror<double>(n, offset);
        check_mirror<std::uint32_t>(n, offset);
      }
    }
  }
  cap_isa(before);
}

TEST(PairsInRows, CountsPairsAboveTheDiagonal) {
  struct Case {
    std::size_t n, r0, rows;
    std::uint64_t pairs;
  };
  const Case cases[] = {
      {1, 0, 1, 0},    // the lone row has no pair
      {2, 0, 1, 1},    // row 0 of two trees
      {2, 1, 1, 0},    // the last row never has a pair
      {9, 0, 8, 36},   // rows 0-7 of nine hold every pair
      {9, 8, 1, 0},    // the short last chunk adds nothing
      {10, 8, 2, 1},   // rows 8 and 9 of ten: only (8, 9)
      {10, 3, 0, 0},   // an empty run of rows
      {100, 40, 8, 8 * 59 - 28},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pairs_in_rows(c.n, c.r0, c.rows), c.pairs) << c.n << " " << c.r0 << " " << c.rows;
  }
}

// Writes r * 1000 + c above the diagonal and records which chunks ran.
TEST(FillSymmetric, MirrorsEveryChunkLayoutOnEveryPool) {
  for (const std::size_t threads : {1, 2, 3}) {
    pool::Pool p(threads);
    pool::ScopedPool use(p);
    for (const std::size_t rows_per_chunk : {1, 8}) {
      for (const std::size_t n : {0, 1, 2, 7, 9, 64, 65, 130}) {
        std::atomic<std::uint64_t> counter{5};
        std::mutex seen_lock;
        std::multiset<std::size_t> starts;
        bool lower_untouched = true;
        Buffer<double> m;
        const bool filled = fill_symmetric<double>(
            n, rows_per_chunk, &counter, [&](std::size_t r0, std::span<double> rows) {
              {
                std::lock_guard lock(seen_lock);
                starts.insert(r0);
              }
              ASSERT_EQ(rows.size() % n, 0u);
              for (std::size_t k = 0; k < rows.size(); ++k) {
                const std::size_t r = r0 + k / n, c = k % n;
                if (rows[k] != 0.0) lower_untouched = false;
                if (c > r) rows[k] = static_cast<double>(r * 1000 + c);
              }
            }, m);
        SCOPED_TRACE(testing::Message() << "n=" << n << " chunk=" << rows_per_chunk
                                        << " threads=" << threads);
        ASSERT_TRUE(filled);
        ASSERT_EQ(m.size(), n * n);
        EXPECT_TRUE(lower_untouched);
        EXPECT_EQ(counter.load(), 5 + n * (n - (n > 0 ? 1 : 0)) / 2);
        std::multiset<std::size_t> expected;
        for (std::size_t r0 = 0; r0 < n; r0 += rows_per_chunk) expected.insert(r0);
        EXPECT_EQ(starts, expected);
        for (std::size_t r = 0; r < n; ++r) {
          for (std::size_t c = 0; c < n; ++c) {
            const double want = r == c ? 0.0 : static_cast<double>(std::min(r, c) * 1000 + std::max(r, c));
            ASSERT_EQ(m[r * n + c], want) << r << "," << c;
          }
        }
      }
    }
  }
}

TEST(FillSymmetric, RunsWithoutCounter) {
  Buffer<std::uint32_t> m;
  ASSERT_TRUE(fill_symmetric<std::uint32_t>(2, 1, nullptr, [](std::size_t r0, std::span<std::uint32_t> row) {
    if (r0 == 0) row[1] = 7;
  }, m));
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], 0u);
  EXPECT_EQ(m[1], 7u);
  EXPECT_EQ(m[2], 7u);
  EXPECT_EQ(m[3], 0u);
}

// Storage handed in by the caller holds garbage or is lent as zeros: the kernel must still see
// zeroed cells (from the diagonal on when the mirror writes the rest, whole rows when the kernel
// writes both triangles) and the result must land in that storage, diagonal included.
TEST(FillSymmetric, WritesIntoCallerStorage) {
  for (const Contents contents : {Contents::unknown, Contents::zeros}) {
    for (const LowerCells lower : {LowerCells::mirror, LowerCells::kernel}) {
      for (const std::size_t n : {1, 3, 9, 600}) {
        std::vector<std::uint32_t> storage(n * n, contents == Contents::zeros ? 0 : 0xDEADBEEF);
        bool zero_on_entry = true;
        Buffer<std::uint32_t> m = Buffer<std::uint32_t>::over(storage, contents);
        const bool filled = fill_symmetric<std::uint32_t>(
            n, 1, nullptr,
            [&](std::size_t r0, std::span<std::uint32_t> row) {
              for (std::size_t c = lower == LowerCells::kernel ? 0 : r0; c < n; ++c) {
                if (row[c] != 0) zero_on_entry = false;
                if (c > r0 || (lower == LowerCells::kernel && c < r0)) row[c] = static_cast<std::uint32_t>(r0 + c);
              }
            },
            m, lower);
        SCOPED_TRACE(testing::Message() << "n=" << n << " kernel writes lower=" << (lower == LowerCells::kernel)
                                        << " lent as zeros=" << (contents == Contents::zeros));
        ASSERT_TRUE(filled);
        EXPECT_TRUE(zero_on_entry);
        EXPECT_EQ(m.data(), storage.data());
        for (std::size_t r = 0; r < n; ++r) {
          for (std::size_t c = 0; c < n; ++c) ASSERT_EQ(storage[r * n + c], r == c ? 0u : r + c) << r << "," << c;
        }
      }
    }
  }
}

// When the kernel writes both triangles nothing is mirrored over them: a lower triangle that
// differs from the upper one stays as the kernel left it.
TEST(FillSymmetric, LeavesTheLowerTriangleToAKernelThatWritesIt) {
  Buffer<std::uint32_t> m;
  ASSERT_TRUE(fill_symmetric<std::uint32_t>(70, 8, nullptr, [](std::size_t r0, std::span<std::uint32_t> rows) {
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const std::size_t r = r0 + k / 70, c = k % 70;
      if (r != c) rows[k] = static_cast<std::uint32_t>(r * 100 + c);
    }
  }, m, LowerCells::kernel));
  for (std::size_t r = 0; r < 70; ++r) {
    for (std::size_t c = 0; c < 70; ++c) ASSERT_EQ(m[r * 70 + c], r == c ? 0u : r * 100 + c) << r << "," << c;
  }
}

// A view that does not hold n x n cells would leave cells nobody wrote: the process ends instead.
TEST(FillSymmetricDeathTest, AbortsOnAViewOfTheWrongSize) {
  for (const std::size_t given : {0, 8, 10}) {
    std::vector<double> storage(given + 1);
    EXPECT_DEATH(
        {
          Buffer<double> m = Buffer<double>::over(std::span<double>(storage.data(), given));
          (void)fill_symmetric<double>(3, 1, nullptr, [](std::size_t, std::span<double>) {}, m);
        },
        "result view holds");
  }
}

// Says stop on its `after`-th question, and counts the questions.
struct StopAfter final : pool::StopCheck {
  explicit StopAfter(int after) : after(after) {}
  bool stop_requested() override { return ++asked >= after; }
  int after;
  int asked = 0;
};

// Stopped at any check (first batch, during the fill, in the mirror), the fill reports it, the
// counter never claims every pair, and the pool runs the next loop as usual.
TEST(FillSymmetric, StopsBetweenBatchesAndLeavesThePoolUsable) {
  pool::Pool p(2);
  pool::ScopedPool use(p);
  constexpr std::size_t n = 1500;
  for (const int after : {1, 2, 3}) {
    std::atomic<std::uint64_t> counter{0};
    Buffer<std::uint32_t> m;
    StopAfter check(after);
    bool filled = true;
    {
      pool::ScopedStopCheck scope(check);
      filled = fill_symmetric<std::uint32_t>(n, 1, &counter, [&](std::size_t r0, std::span<std::uint32_t> row) {
        // Slow enough that the 5 ms between questions pass during the fill.
        for (std::size_t c = r0 + 1; c < n; ++c) row[c] = static_cast<std::uint32_t>(c * c % 7 + 1);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }, m);
      EXPECT_TRUE(pool::stopped());
    }
    EXPECT_FALSE(filled) << after;
    EXPECT_FALSE(pool::stopped());
    EXPECT_EQ(check.asked, after);
    EXPECT_LT(counter.load(), std::uint64_t{n} * (n - 1) / 2);
    std::atomic<std::size_t> ran{0};
    pool::parallel_for(100, [&](std::size_t) { ran.fetch_add(1); });
    EXPECT_EQ(ran.load(), 100u);
  }
}

TEST(ParallelForBatches, RunsEveryIndexOnceWhenNeverStopped) {
  pool::Pool p(3);
  pool::ScopedPool use(p);
  StopAfter never(1 << 30);
  pool::ScopedStopCheck scope(never);
  for (const std::size_t n : {0, 1, 5, 1000, 100000}) {
    std::vector<std::atomic<int>> runs(n);
    EXPECT_TRUE(pool::parallel_for_batches(n, [&](std::size_t i) { runs[i].fetch_add(1); }));
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), 1) << i;
  }
}

// Tasks longer than a batch should take still run on every thread: the batch never shrinks below one
// index a thread (a batch of one ran on the calling thread alone).
TEST(ParallelForBatches, LongTasksKeepEveryThreadBusy) {
  pool::Pool p(2);
  pool::ScopedPool use(p);
  StopAfter never(1 << 30);
  pool::ScopedStopCheck scope(never);
  std::vector<std::thread::id> ran_on(8);
  EXPECT_TRUE(pool::parallel_for_batches(ran_on.size(), [&](std::size_t i) {
    ran_on[i] = std::this_thread::get_id();
    std::this_thread::sleep_for(std::chrono::milliseconds(90));
  }));
  std::set<std::thread::id> later(ran_on.begin() + 2, ran_on.end());  // after the first batch halved
  EXPECT_EQ(later.size(), 2u);
}

}  // namespace
}  // namespace brantoveil::distances
