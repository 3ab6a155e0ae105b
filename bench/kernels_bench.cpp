// How fast are the three distance kernels on MCMC-like and on unrelated tree sets?
//
// Builds interned trees directly (no parsing), checks sampled pairs against a brute-force
// reference, and only then prints seconds and pairs per second. For the weighted kernels it also
// prints the least time their dense pass can take on this machine: the fixed order of summation
// leaves one minimum (or product) and one addition per dense column and pair, 8 pairs to a vector
// instruction, and the machine's rate for that pair of instructions is measured here.
// Usage: kernels_bench [trees=10000] [only this set: 0 MCMC-like without lengths, 1 with, 2 unrelated]
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "distances/boundary.h"
#include "distances/isa.h"
#include "distances/rf.h"
#include "distances/weighted.h"
#include "pool/pool.h"
#include "snapshot/encoded.h"

namespace {

using brantoveil::Buffer;
using brantoveil::EncodedTrees;
using brantoveil::snapshot::InternSnap;
using brantoveil::distances::distance_kf;
using brantoveil::distances::distance_rf;
using brantoveil::distances::distance_wrf;

struct TreeSet {
  std::vector<InternSnap> snaps;
  std::vector<std::uint32_t> supports;
};

// Each tree holds `internal` splits. With probability `keep` a slot takes the consensus split
// of that slot, otherwise an alternative drawn from `alternatives` with a skew towards the first
// ones, as a posterior sample does; with keep = 0 and a huge pool the trees are unrelated.
TreeSet make_trees(std::size_t n, std::uint32_t taxa, std::uint32_t internal, double keep,
                   std::uint32_t alternatives, bool lengths, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::exponential_distribution<double> branch(10.0);
  const std::uint32_t pendants = lengths ? taxa : 0;
  std::unordered_map<std::uint64_t, std::uint32_t> id_of;  // candidate split -> dense ID
  TreeSet set;
  set.supports.assign(pendants, static_cast<std::uint32_t>(n));
  for (std::size_t t = 0; t < n; ++t) {
    InternSnap snap;
    snap.pendants = pendants;
    for (std::uint32_t slot = 0; slot < internal; ++slot) {
      std::uint64_t candidate;
      if (unit(rng) < keep) {
        candidate = slot;
      } else {
        const double skew = std::pow(unit(rng), 3.0);
        candidate = internal + static_cast<std::uint64_t>(skew * alternatives);
      }
      auto [it, fresh] = id_of.try_emplace(candidate, static_cast<std::uint32_t>(set.supports.size()));
      if (fresh) set.supports.push_back(0);
      // A tree holds a split once; a repeated draw stands for a different, unique split.
      if (std::find(snap.ids.begin(), snap.ids.end(), it->second) != snap.ids.end()) {
        snap.ids.push_back(static_cast<std::uint32_t>(set.supports.size()));
        set.supports.push_back(1);
        continue;
      }
      snap.ids.push_back(it->second);
      ++set.supports[it->second];
    }
    if (lengths) {
      snap.lengths.resize(pendants + snap.ids.size());
      for (double& l : snap.lengths) l = branch(rng);
    }
    set.snaps.push_back(std::move(snap));
  }
  return set;
}

// Brute-force splits -> length of one tree.
std::unordered_map<std::uint32_t, double> table_of(const InternSnap& snap) {
  std::unordered_map<std::uint32_t, double> table;
  for (std::uint32_t i = 0; i < snap.pendants + snap.ids.size(); ++i) {
    const std::uint32_t id = i < snap.pendants ? i : snap.ids[i - snap.pendants];
    table[id] = snap.lengths.empty() ? 1.0 : snap.lengths[i];
  }
  return table;
}

// metric: 0 RF, 1 weighted RF, 2 KF.
double reference(const TreeSet& set, std::size_t a, std::size_t b, int metric) {
  auto ta = table_of(set.snaps[a]);
  auto tb = table_of(set.snaps[b]);
  double sum = 0.0;
  for (const auto& [id, la] : ta) {
    const auto it = tb.find(id);
    const double lb = it == tb.end() ? 0.0 : it->second;
    const double d = metric == 0 ? (it == tb.end() ? 1.0 : 0.0) : la - lb;
    sum += metric == 2 ? d * d : std::fabs(d);
  }
  for (const auto& [id, lb] : tb) {
    if (ta.count(id) != 0) continue;
    sum += metric == 0 ? 1.0 : metric == 2 ? lb * lb : std::fabs(lb);
  }
  return metric == 2 ? std::sqrt(sum) : sum;
}

template <class T>
bool check_sample(const TreeSet& set, const Buffer<T>& m, int metric) {
  const std::size_t n = set.snaps.size();
  std::mt19937_64 rng(99);
  for (int k = 0; k < 300; ++k) {
    const std::size_t a = rng() % n, b = rng() % n;
    const double want = a == b ? 0.0 : reference(set, a, b, metric);
    const double got = static_cast<double>(m[a * n + b]);
    if (std::fabs(got - want) > 1e-9 * (1.0 + want) || m[a * n + b] != m[b * n + a]) {
      std::fprintf(stderr, "mismatch at (%zu, %zu): got %.17g, want %.17g\n", a, b, got, want);
      return false;
    }
  }
  return true;
}

// CPU seconds of all threads, so that a busy machine shows up as wall time above CPU time / threads.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One thread's rate of dense terms: the minimum of two vectors of 8 doubles added to one of 24
// independent accumulators, as in the dense pass, all in registers (written out in assembly so
// that the compiler can neither merge the minima nor keep the sums in memory).
#if defined(__x86_64__)
#define TERM(acc, a, b) \
  "vminpd %%zmm" #b ", %%zmm" #a ", %%zmm30\n\t" \
  "vaddpd %%zmm30, %%zmm" #acc ", %%zmm" #acc "\n\t"
__attribute__((target("avx512f"))) double vector_terms_per_second() {
  constexpr long kRounds = 4'000'000;
  const double inputs[6] = {0.125, 0.25, 0.375, 0.5, 0.625, 0.75};
  long rounds = kRounds;
  const auto start = std::chrono::steady_clock::now();
  asm volatile(
      "vbroadcastsd 0(%[in]), %%zmm24\n\t"
      "vbroadcastsd 8(%[in]), %%zmm25\n\t"
      "vbroadcastsd 16(%[in]), %%zmm26\n\t"
      "vbroadcastsd 24(%[in]), %%zmm27\n\t"
      "vbroadcastsd 32(%[in]), %%zmm28\n\t"
      "vbroadcastsd 40(%[in]), %%zmm29\n\t"
      "1:\n\t"
      TERM(0, 24, 25) TERM(1, 24, 26) TERM(2, 24, 27) TERM(3, 24, 28)
      TERM(4, 25, 26) TERM(5, 25, 27) TERM(6, 25, 28) TERM(7, 25, 29)
      TERM(8, 26, 27) TERM(9, 26, 28) TERM(10, 26, 29) TERM(11, 26, 24)
      TERM(12, 27, 28) TERM(13, 27, 29) TERM(14, 27, 24) TERM(15, 27, 25)
      TERM(16, 28, 29) TERM(17, 28, 24) TERM(18, 28, 25) TERM(19, 28, 26)
      TERM(20, 29, 24) TERM(21, 29, 25) TERM(22, 29, 26) TERM(23, 29, 27)
      "dec %[rounds]\n\t"
      "jnz 1b\n\t"
      : [rounds] "+r"(rounds)
      : [in] "r"(inputs)
      : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
        "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22",
        "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return static_cast<double>(kRounds) * 24.0 / seconds;
}
#undef TERM

// The same rate with every thread of the pool at it, as in the dense pass: a processor may run
// its vector units slower when all cores use them.
double vector_terms_per_second_each() {
  const std::size_t threads = brantoveil::pool::thread_count();
  std::vector<double> rates(threads);
  std::vector<std::thread> running;
  for (std::size_t t = 0; t < threads; ++t) running.emplace_back([&rates, t] { rates[t] = vector_terms_per_second(); });
  for (auto& thread : running) thread.join();
  return *std::min_element(rates.begin(), rates.end());
}
#endif

// Seconds the dense pass needs at least: pairs x dense columns / 8 vector terms, spread over the
// threads at the measured rate. The dense columns are the splits the default share makes dense.
double dense_floor_seconds(const TreeSet& set, double terms_per_second) {
  const std::size_t n = set.snaps.size();
  const std::uint32_t min_support = brantoveil::distances::min_dense_support_weighted(n);
  double width = 0.0;
  for (const std::uint32_t s : set.supports) width += s >= min_support;
  const double pairs = static_cast<double>(n) * static_cast<double>(n - 1) / 2.0;
  return pairs * width / 8.0 / (terms_per_second * static_cast<double>(brantoveil::pool::thread_count()));
}

// terms_per_second: 0 when the machine has no AVX-512, and then no floor is printed.
template <class Run>
bool time_kernel(const char* name, const TreeSet& set, int metric, double terms_per_second, Run run) {
  const std::size_t n = set.snaps.size();
  // The record the one call builds from the interned trees, made before the clock starts.
  brantoveil::snapshot::Snapshots copy;
  copy.snaps = set.snaps;
  copy.supports = set.supports;
  EncodedTrees trees = brantoveil::snapshot::encode_trees(copy, !set.snaps[0].lengths.empty(), true, false);
  const double cpu_start = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  const auto m = run(std::move(trees));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpu_seconds() - cpu_start;
  if (!check_sample(set, m, metric)) return false;
  const double pairs = static_cast<double>(n) * static_cast<double>(n - 1) / 2.0;
  std::printf("  %-13s %8.3f s  %12.0f pairs/s  (%.3f s CPU)", name, seconds, pairs / seconds, cpu);
  if (metric != 0 && terms_per_second > 0.0) {
    std::printf("  dense pass at least %.3f s", dense_floor_seconds(set, terms_per_second));
  }
  std::printf("\n");
  return true;
}

bool bench_set(const char* title, const TreeSet& set, double terms_per_second) {
  std::size_t single = 0;
  for (const std::uint32_t s : set.supports) single += s == 1;
  std::printf("%s: %zu trees, %zu split IDs (%zu held by one tree)\n", title, set.snaps.size(),
              set.supports.size(), single);
  bool ok = time_kernel("rf", set, 0, 0.0, [](EncodedTrees in) { return distance_rf(std::move(in), nullptr); });
  if (!set.snaps.empty() && !set.snaps[0].lengths.empty()) {
    ok = ok && time_kernel("weighted rf", set, 1, terms_per_second,
                           [](EncodedTrees in) { return distance_wrf(std::move(in), nullptr); });
    ok = ok && time_kernel("kf", set, 2, terms_per_second,
                           [](EncodedTrees in) { return distance_kf(std::move(in), nullptr); });
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
  const int only = argc > 2 ? std::atoi(argv[2]) : -1;
  const auto wanted = [&](int set) { return only < 0 || only == set; };
  std::printf("threads: %zu\n", brantoveil::pool::thread_count());
  double terms_per_second = 0.0;
#if defined(__x86_64__)
  // The floor is the AVX-512 pass's: measured only where that pass runs.
  if (brantoveil::distances::best_isa() == brantoveil::distances::Isa::avx512) {
    terms_per_second = vector_terms_per_second_each();
    std::printf("each thread, all at once: %.3g vector terms/s (minimum and sum of 8 doubles)\n", terms_per_second);
  }
#endif
  std::printf("instruction set: %s\n", std::string(brantoveil::distances::isa_name(brantoveil::distances::best_isa())).c_str());
  bool ok = true;
  // 50 taxa: 47 internal splits, 90% of slots on the consensus, alternatives skewed.
  const auto run = [&](const char* title, const TreeSet& trees) {
    ok = ok && bench_set(title, trees, terms_per_second);
  };
  if (wanted(0)) run("MCMC-like, 50 taxa, no lengths", make_trees(n, 50, 47, 0.9, 3000, false, 1));
  if (wanted(1)) run("MCMC-like, 50 taxa, lengths", make_trees(n, 50, 47, 0.9, 3000, true, 2));
  // 100 taxa, unrelated: 97 internal splits drawn from a pool so large they almost never repeat.
  if (wanted(2)) run("unrelated, 100 taxa, lengths", make_trees(n, 100, 97, 0.0, 1u << 30, true, 3));
  return ok ? 0 : 1;
}
