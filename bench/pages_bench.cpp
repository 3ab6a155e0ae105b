// What does a large result cost before and after the kernel's arithmetic: faulting its pages in,
// spreading a table over distinct split sets, mirroring the upper triangle?
//
// 1. First touch of 400 MiB of fresh memory: huge pages against small ones, one thread against
//    two. Each case runs in a child process started 2.5 s after the last, so that memory freed by
//    the one before has had time to go back to the host where the machine is a virtual machine
//    that does so (the figures are then those of a program's first large allocation).
// 2. The gather of `expand_classes` (10,000 trees, 700 distinct split sets) into faulted-in memory,
//    against the same loop with plain stores; every cell is checked.
// 3. `mirror_upper` of a 10,000 x 10,000 matrix of uint32 and of double; every cell is checked.
//
// Usage: pages_bench [first-touch|gather|mirror]   (all three when no argument is given)
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "distances/matrix.h"
#include "distances/repeats.h"
#include "pool/pool.h"

using namespace brantoveil;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A fresh mapping of `bytes`, aligned to 2 MiB, with or without huge pages asked for.
unsigned char* fresh_mapping(std::size_t bytes, bool huge) {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  void* mapped = ::mmap(nullptr, bytes + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  auto* aligned = reinterpret_cast<unsigned char*>((reinterpret_cast<std::uintptr_t>(mapped) + kHuge - 1) & ~(kHuge - 1));
  ::madvise(aligned, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  return aligned;
}

// Faults `bytes` in on `threads` threads, each writing one byte per page of its share; true when
// every page reads back what was written.
bool first_touch(std::size_t bytes, bool huge, int threads, double& seconds) {
  unsigned char* cells = fresh_mapping(bytes, huge);
  if (cells == nullptr) return false;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([=] {
      const std::size_t share = bytes / static_cast<std::size_t>(threads);
      for (std::size_t at = share * static_cast<std::size_t>(t); at < share * static_cast<std::size_t>(t + 1); at += 4096) {
        cells[at] = static_cast<unsigned char>(at / 4096);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  seconds = seconds_since(start);
  for (std::size_t at = 0; at + 4096 <= bytes; at += 4096) {
    if (cells[at] != static_cast<unsigned char>(at / 4096)) return false;
  }
  return true;
}

bool run_first_touch() {
  constexpr std::size_t kBytes = std::size_t{400} << 20;
  std::printf("first touch of 400 MiB of fresh memory, each case in a new process 2.5 s after the last:\n");
  for (const bool huge : {true, false}) {
    for (const int threads : {1, 2}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      int pipe_ends[2];
      if (::pipe(pipe_ends) != 0) return false;
      const pid_t child = ::fork();
      if (child == 0) {
        double seconds = 0;
        const bool ok = first_touch(kBytes, huge, threads, seconds);
        const double report = ok ? seconds : -1.0;
        (void)!::write(pipe_ends[1], &report, sizeof report);
        ::_exit(0);
      }
      double seconds = -1.0;
      (void)!::read(pipe_ends[0], &seconds, sizeof seconds);
      ::close(pipe_ends[0]);
      ::close(pipe_ends[1]);
      int status = 0;
      ::waitpid(child, &status, 0);
      if (seconds < 0) return false;
      std::printf("  %-11s %d thread%s: %.3f s\n", huge ? "huge pages" : "small pages", threads, threads == 1 ? " " : "s",
                  seconds);
    }
  }
  return true;
}

bool run_gather() {
  constexpr std::size_t n = 10000;
  constexpr std::size_t m = 700;
  std::mt19937_64 random(7);
  distances::TreeClasses classes;
  classes.class_of.resize(n);
  for (std::size_t k = 0; k < m; ++k) classes.first.push_back(static_cast<std::uint32_t>(k));
  for (std::size_t t = 0; t < n; ++t) classes.class_of[t] = t < m ? static_cast<std::uint32_t>(t) : static_cast<std::uint32_t>(random() % m);
  std::vector<std::uint32_t> table(m * m);
  for (std::uint32_t& cell : table) cell = static_cast<std::uint32_t>(random() % 100);
  const std::size_t bytes = n * n * sizeof(std::uint32_t);
  auto* cells = reinterpret_cast<std::uint32_t*>(fresh_mapping(bytes, true));
  if (cells == nullptr) return false;
  std::memset(cells, 0xFF, bytes);  // faulted in: only the gather itself is timed
  double streamed = 1e30;
  double plain = 1e30;
  for (int repeat = 0; repeat < 3; ++repeat) {
    auto start = std::chrono::steady_clock::now();
    if (!distances::expand_classes(table, classes, cells, nullptr)) return false;
    streamed = std::min(streamed, seconds_since(start));
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t c = 0; c < n; ++c) {
        if (cells[r * n + c] != table[classes.class_of[r] * m + classes.class_of[c]]) return false;
      }
    }
    start = std::chrono::steady_clock::now();
    pool::parallel_for(n, [&](std::size_t r) {
      const std::uint32_t* source = table.data() + std::size_t{classes.class_of[r]} * m;
      for (std::size_t c = 0; c < n; ++c) cells[r * n + c] = source[classes.class_of[c]];
    });
    plain = std::min(plain, seconds_since(start));
  }
  std::printf("gather of 10,000 x 10,000 cells from 700 distinct split sets, %zu threads: %.3f s (plain stores: %.3f s)\n",
              pool::thread_count(), streamed, plain);
  return true;
}

template <class T>
bool run_mirror(const char* type) {
  constexpr std::size_t n = 10000;
  auto* cells = reinterpret_cast<T*>(fresh_mapping(n * n * sizeof(T), true));
  if (cells == nullptr) return false;
  double best = 1e30;
  for (int repeat = 0; repeat < 3; ++repeat) {
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t c = 0; c < n; ++c) cells[r * n + c] = c > r ? static_cast<T>(r * 3 + c) : T{0};
    }
    const auto start = std::chrono::steady_clock::now();
    distances::mirror_upper(cells, n);
    best = std::min(best, seconds_since(start));
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t c = 0; c < r; ++c) {
        if (cells[r * n + c] != static_cast<T>(c * 3 + r)) return false;
      }
    }
  }
  std::printf("mirror of a 10,000 x 10,000 matrix of %s, %zu threads: %.3f s\n", type, pool::thread_count(), best);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  bool ok = true;
  if (ok && (only.empty() || only == "first-touch")) ok = run_first_touch();
  if (ok && (only.empty() || only == "gather")) ok = run_gather();
  if (ok && (only.empty() || only == "mirror")) ok = run_mirror<std::uint32_t>("uint32") && run_mirror<double>("double");
  if (!ok) std::fprintf(stderr, "wrong answer: figures withheld\n");
  return ok ? 0 : 1;
}
