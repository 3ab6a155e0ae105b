// The fork-join pool: coverage of every index, concurrent callers, nesting, and use after fork().
#include "pool/pool.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

namespace brantoveil::pool {
namespace {

// Runs a loop of `n` and returns how often each index was visited.
std::vector<int> visits(Pool& pool, std::size_t n) {
  std::vector<std::atomic<int>> counts(n);
  pool.parallel_for(n, [&](std::size_t i) { counts[i].fetch_add(1, std::memory_order_relaxed); });
  std::vector<int> result(n);
  for (std::size_t i = 0; i < n; ++i) result[i] = counts[i].load();
  return result;
}

TEST(Pool, VisitsEveryIndexExactlyOnce) {
  for (std::size_t threads : {1u, 2u, 3u, 8u}) {
    Pool pool(threads);
    EXPECT_EQ(pool.threads(), threads);
    for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 100000u}) {
      const auto counts = visits(pool, n);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(counts[i], 1) << "threads " << threads << " n " << n << " i " << i;
    }
  }
}

TEST(Pool, ZeroThreadsMeansOne) { EXPECT_EQ(Pool(0).threads(), 1u); }

TEST(Pool, CallerWaitsForSlowTasks) {
  Pool pool(3);
  std::atomic<int> finished{0};
  pool.parallel_for(6, [&](std::size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    finished.fetch_add(1);
  });
  EXPECT_EQ(finished.load(), 6);
}

TEST(Pool, NestedLoopRunsInline) {
  Pool pool(4);
  std::vector<std::atomic<int>> counts(32 * 32);
  pool.parallel_for(32, [&](std::size_t i) {
    pool.parallel_for(32, [&](std::size_t j) { counts[i * 32 + j].fetch_add(1); });
  });
  for (auto& count : counts) ASSERT_EQ(count.load(), 1);
}

TEST(Pool, ConcurrentCallersShareThePool) {
  Pool pool(3);
  constexpr int kCallers = 4;
  std::vector<std::thread> callers;
  std::atomic<bool> all_ok{true};
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 200; ++round) {
        const std::size_t n = 1 + static_cast<std::size_t>((round * 37 + c * 11) % 500);
        const auto counts = visits(pool, n);
        for (int count : counts) {
          if (count != 1) all_ok = false;
        }
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_TRUE(all_ok.load());
}

TEST(Pool, ScopedPoolPinsTheCurrentPool) {
  Pool three(3);
  {
    ScopedPool use(three);
    EXPECT_EQ(thread_count(), 3u);
    EXPECT_EQ(&current(), &three);
  }
  EXPECT_EQ(&current(), &global());
  EXPECT_EQ(global().threads(), cpu_count());
}

// Forks with `parent_busy` loops running on another thread, then runs loops in the child.
// Returns the child's exit status: 0 when every index was visited once.
// Other threads may still be using the caller's buffers, so out of memory in a shared task ends
// the process, saying why; a loop run inline has nobody to wait for and passes it on.
TEST(PoolDeathTest, OutOfMemoryInASharedTaskEndsTheProcess) {
  EXPECT_DEATH(
      {
        Pool pool(2);
        pool.parallel_for(64, [](std::size_t i) {
          if (i == 40) throw std::bad_alloc();
        });
      },
      "out of memory in a parallel task; ending the process");
}

TEST(Pool, OutOfMemoryLeavesAnInlineLoop) {
  Pool pool(1);
  EXPECT_THROW(pool.parallel_for(3, [](std::size_t) { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_EQ(visits(pool, 10), std::vector<int>(10, 1));
}

// Threads of this process right now.
std::size_t process_threads() {
  std::size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

// Idle workers are joined before fork(), so the parent forks with its own threads only (the
// workers are gone right after the fork); the next loop starts them again.
TEST(GlobalPool, StopsIdleWorkersForAForkAndRestartsThem) {
  const std::size_t workers = global().threads() - 1;
  visits(global(), 1000);
  const std::size_t before = process_threads();
  const pid_t child = fork();
  if (child == 0) _exit(0);
  const std::size_t after = process_threads();
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(before - after, workers);
  const auto counts = visits(global(), 1000);
  EXPECT_EQ(counts, std::vector<int>(1000, 1));
  EXPECT_EQ(process_threads(), before);
}

int fork_and_use_global_pool(bool parent_busy) {
  global();  // make sure the parent's pool has started
  std::atomic<bool> stop{false};
  std::thread busy;
  if (parent_busy) {
    busy = std::thread([&] {
      while (!stop.load()) {
        pool::parallel_for(256, [](std::size_t) { std::this_thread::sleep_for(std::chrono::microseconds(50)); });
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const pid_t child = fork();
  if (child == 0) {
    alarm(20);  // a hang in the child fails the test instead of blocking it
    for (int round = 0; round < 20; ++round) {
      std::vector<std::atomic<int>> counts(1000);
      pool::parallel_for(counts.size(), [&](std::size_t i) { counts[i].fetch_add(1); });
      for (auto& count : counts) {
        if (count.load() != 1) _exit(1);
      }
    }
    _exit(global().threads() == cpu_count() ? 0 : 2);
  }
  stop = true;
  if (busy.joinable()) busy.join();
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Pool, WorksInForkedChild) {
  EXPECT_EQ(fork_and_use_global_pool(false), 0);
  EXPECT_EQ(fork_and_use_global_pool(true), 0);
}

// The hook sees each outermost loop of its thread once, around all of its indices: never the loops
// nested inside tasks, never a loop that another thread starts.
TEST(Pool, LoopWaitSurroundsOutermostLoopsOnly) {
  struct Recorder final : LoopWait {
    std::atomic<int> inside{0};
    int enters = 0;
    int leaves = 0;
    void enter() override {
      ++enters;
      inside = 1;
    }
    void leave() override {
      ++leaves;
      inside = 0;
    }
  };
  for (std::size_t threads : {1u, 3u}) {
    Pool pool(threads);
    Recorder recorder;
    std::atomic<int> outside{0};
    {
      ScopedLoopWait scope(recorder);
      pool.parallel_for(16, [&](std::size_t) {
        if (recorder.inside.load() == 0) outside.fetch_add(1);
        pool.parallel_for(4, [&](std::size_t) {});
      });
      pool.parallel_for(2, [](std::size_t) {});
      std::thread other([&] { pool.parallel_for(8, [](std::size_t) {}); });
      other.join();
    }
    pool.parallel_for(8, [](std::size_t) {});
    EXPECT_EQ(outside.load(), 0) << threads;
    EXPECT_EQ(recorder.enters, 2) << threads;
    EXPECT_EQ(recorder.leaves, 2) << threads;
  }
}

// The size a child's process-wide pool starts with: the one set, else the environment's, and no
// other size once it runs. In a child, as the parent's pool may run already.
TEST(GlobalPool, StartsWithTheSizeSetOrTheEnvironmentsAndKeepsIt) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("BRANTOVEIL_THREADS", "3", 1);
    bool ok = global_threads() == 3;
    ok = ok && set_global_threads(2) && global_threads() == 2;
    ok = ok && global().threads() == 2;
    ok = ok && !set_global_threads(5) && set_global_threads(2) && global().threads() == 2;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(GlobalPool, ReadsOnlyPositiveIntegersFromTheEnvironment) {
  const struct {
    const char* text;
    std::size_t threads;
  } cases[] = {
      {"4", 4}, {"1", 1}, {"0", 0}, {"", 0}, {"-2", 0}, {"two", 0}, {"3x", 0}, {" 3", 0}, {"99999999999999999999", 0},
  };
  for (const auto& c : cases) {
    setenv("BRANTOVEIL_THREADS", c.text, 1);
    EXPECT_EQ(threads_from_environment(), c.threads) << '"' << c.text << '"';
  }
  unsetenv("BRANTOVEIL_THREADS");
  EXPECT_EQ(threads_from_environment(), 0u);
}

}  // namespace
}  // namespace brantoveil::pool
