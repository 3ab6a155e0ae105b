// Symmetric fill: chunk boundaries, the progress count per chunk, and the mirror.
#include "distances/matrix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <vector>

namespace brantoveil::distances {
namespace {

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
        const Buffer<double> m = fill_symmetric<double>(
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
            });
        SCOPED_TRACE(testing::Message() << "n=" << n << " chunk=" << rows_per_chunk
                                        << " threads=" << threads);
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
  const Buffer<std::uint32_t> m =
      fill_symmetric<std::uint32_t>(2, 1, nullptr, [](std::size_t r0, std::span<std::uint32_t> row) {
        if (r0 == 0) row[1] = 7;
      });
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], 0u);
  EXPECT_EQ(m[1], 7u);
  EXPECT_EQ(m[2], 7u);
  EXPECT_EQ(m[3], 0u);
}

// Storage handed in by the caller holds garbage: the kernel must still see zeroed rows and the
// result must land in that storage, diagonal included.
TEST(FillSymmetric, WritesIntoCallerStorage) {
  for (const std::size_t n : {1, 3, 9, 600}) {
    std::vector<std::uint32_t> storage(n * n, 0xDEADBEEF);
    bool zero_on_entry = true;
    const Buffer<std::uint32_t> m = fill_symmetric<std::uint32_t>(
        n, 1, nullptr,
        [&](std::size_t r0, std::span<std::uint32_t> row) {
          // Left of the diagonal the mirror overwrites everything, so only the rest is cleared.
          for (std::size_t c = r0; c < n; ++c) {
            if (row[c] != 0) zero_on_entry = false;
            if (c > r0) row[c] = static_cast<std::uint32_t>(r0 + c);
          }
        },
        Buffer<std::uint32_t>::over(storage));
    EXPECT_TRUE(zero_on_entry) << n;
    EXPECT_EQ(m.data(), storage.data());
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t c = 0; c < n; ++c) ASSERT_EQ(storage[r * n + c], r == c ? 0u : r + c) << r << "," << c;
    }
  }
}

}  // namespace
}  // namespace brantoveil::distances
