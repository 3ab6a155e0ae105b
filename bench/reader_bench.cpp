// How fast does the reader turn MCMC-like Newick text into snapshots, on one thread and on all, and
// how fast is the whole reading of a call, interning included?
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "pool/pool.h"
#include "snapshot/build.h"
#include "snapshot/newick.h"
#include "snapshot/snapshots.h"

using namespace brantoveil;
using namespace brantoveil::snapshot;

namespace {

// One sample: its text and the sum of the lengths written into it (the reference answer).
struct Sample {
  std::string text;
  double length_sum = 0;
};

// Random binary rooted topology as child pairs of internal nodes n..2n-2 (root 2n-2); leaves 0..n-1.
std::vector<std::pair<int, int>> random_topology(int n, std::mt19937_64& random) {
  std::vector<int> pool(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) pool[static_cast<std::size_t>(i)] = i;
  std::vector<std::pair<int, int>> children;
  while (pool.size() > 1) {
    const std::size_t a = random() % pool.size();
    std::swap(pool[a], pool.back());
    const int left = pool.back();
    pool.pop_back();
    const std::size_t b = random() % pool.size();
    const int right = pool[b];
    pool[b] = n + static_cast<int>(children.size());
    children.emplace_back(left, right);
  }
  return children;
}

// MrBayes/BEAST-style text: translate numbers as labels, ten-decimal branch lengths.
void write(int node, int n, const std::vector<std::pair<int, int>>& children, const std::vector<int>& label_of,
           std::mt19937_64& random, Sample& out, bool is_root) {
  if (node < n) {
    out.text += std::to_string(label_of[static_cast<std::size_t>(node)] + 1);
  } else {
    const auto [left, right] = children[static_cast<std::size_t>(node - n)];
    out.text += '(';
    write(left, n, children, label_of, random, out, false);
    out.text += ',';
    write(right, n, children, label_of, random, out, false);
    out.text += ')';
  }
  if (is_root) return;
  char buffer[32];
  const double length = static_cast<double>(random() % 1000000000) * 1e-10;
  std::snprintf(buffer, sizeof buffer, ":%.10f", length);
  out.text += buffer;
  out.length_sum += std::strtod(buffer + 1, nullptr);
}

// Samples around one topology: each swaps a few leaves, like neighbouring MCMC states.
std::vector<Sample> mcmc_sample(int n, int trees, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  const auto children = random_topology(n, random);
  std::vector<int> base(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) base[static_cast<std::size_t>(i)] = i;
  std::vector<Sample> samples(static_cast<std::size_t>(trees));
  for (Sample& sample : samples) {
    std::vector<int> label_of = base;
    for (int swap = 0; swap < 3; ++swap) {
      std::swap(label_of[random() % label_of.size()], label_of[random() % label_of.size()]);
    }
    write(2 * n - 2, n, children, label_of, random, sample, true);
    sample.text += ';';
  }
  return samples;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of the calling thread: on a shared machine it leaves out the time others ran.
double thread_cpu_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

bool run(int n, int trees, bool rooted) {
  const auto samples = mcmc_sample(n, trees, 42 + static_cast<std::uint64_t>(n));
  std::size_t bytes = 0;
  for (const Sample& sample : samples) bytes += sample.text.size();

  TranslateMap translate;
  std::vector<std::string> names;
  for (int i = 1; i <= n; ++i) {
    translate.insert(std::to_string(i), "Taxon_" + std::to_string(i));
    names.push_back("Taxon_" + std::to_string(i));
  }
  auto first = leaf_names(samples[0].text, translate);
  if (!first.ok()) {
    std::fprintf(stderr, "%s\n", first.error().c_str());
    return false;
  }
  std::vector<std::string> sorted = std::move(first).value();
  if (!prepare_leaf_set(sorted).ok() || sorted.size() != static_cast<std::size_t>(n)) return false;
  const LeafContext context = make_leaf_context(sorted, rooted);
  // As a call does: the translate map composed with the leaf index once.
  const TranslatedLeaves translated = compose_translation(translate, context);

  // Binary trees: 2n-2 rooted edges; unrooted, the root's two edges are one, so 2n-3.
  const std::size_t expected_parts = rooted ? 2 * static_cast<std::size_t>(n) - 2 : 2 * static_cast<std::size_t>(n) - 3;
  // Trees are read into storage kept from the previous pass, as a call reads each chunk into the
  // storage of the one before. The first pass, into fresh storage, also pays for faulting in the
  // parts (2 to 3 times the text's bytes); it is reported on its own.
  std::vector<Snapshot> out(samples.size());
  std::vector<std::uint8_t> read(samples.size(), 0);
  auto read_one = [&](std::size_t i) {
    read[i] = snapshot::read_into(samples[i].text, translated, i, context, out[i]).ok() ? 1 : 0;
  };
  auto verify = [&]() {
    for (std::size_t i = 0; i < samples.size(); ++i) {
      double sum = 0;
      for (const Part& part : out[i].parts) sum += part.length;
      if (!read[i] || out[i].parts.size() != expected_parts ||
          out[i].leaf_order.size() != static_cast<std::size_t>(n) || std::fabs(sum - samples[i].length_sum) > 1e-9) {
        std::fprintf(stderr, "tree %zu: %s, %zu parts (want %zu), length sum %.12f (want %.12f)\n", i,
                     read[i] ? "read" : "not read", out[i].parts.size(), expected_parts, sum, samples[i].length_sum);
        return false;
      }
      read[i] = 0;
    }
    return true;
  };

  const char* mode = rooted ? "rooted" : "unrooted";
  double first_pass = 0;
  double best = 1e30;
  double best_cpu = 1e30;
  for (int repeat = 0; repeat < 4; ++repeat) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_seconds();
    for (std::size_t i = 0; i < samples.size(); ++i) read_one(i);
    const double cpu = thread_cpu_seconds() - cpu_start;
    const double wall = seconds_since(start);
    if (!verify()) return false;
    if (repeat == 0) {
      first_pass = wall;
      continue;
    }
    best_cpu = std::min(best_cpu, cpu);
    best = std::min(best, wall);
  }
  std::printf("n=%3d %-8s 1 thread : %7.1f MB/s %9.0f trees/s  (CPU time: %.1f MB/s; first pass, fresh storage: "
              "%.1f MB/s; %zu trees, %.1f MB)\n",
              n, mode, bytes / best / 1e6, trees / best, bytes / best_cpu / 1e6, bytes / first_pass / 1e6, samples.size(),
              bytes / 1e6);

  const std::size_t threads = pool::thread_count();
  if (threads > 1) {
    best = 1e30;
    for (int repeat = 0; repeat < 3; ++repeat) {
      const auto start = std::chrono::steady_clock::now();
      pool::parallel_for(samples.size(), read_one);
      best = std::min(best, seconds_since(start));
      if (!verify()) return false;
    }
    std::printf("n=%3d %-8s %zu threads: %7.1f MB/s %9.0f trees/s  (%.1f MB/s per thread)\n", n, mode, threads,
                bytes / best / 1e6, trees / best, bytes / best / 1e6 / static_cast<double>(threads));
  }

  // The whole reading as a call does it: texts pulled one by one, parsed in parallel chunks, then
  // every split interned. Each tree must come out with one ID per internal split, and the supports
  // must add up to all of them.
  class Source final : public TreeSource {
   public:
    Source(const std::vector<Sample>& samples, const TranslateMap& translate) : samples_(samples), translate_(translate) {}
    std::optional<TreeItem> next() override {
      if (next_ == samples_.size()) return std::nullopt;
      return TreeItem{samples_[next_++].text, &translate_};
    }
    std::size_t size_hint() override { return samples_.size() - next_; }

   private:
    const std::vector<Sample>& samples_;
    const TranslateMap& translate_;
    std::size_t next_ = 0;
  };
  const std::size_t internal = expected_parts - static_cast<std::size_t>(n);
  SnapshotOptions options;
  options.rooted = rooted;
  best = 1e30;
  for (int repeat = 0; repeat < 3; ++repeat) {
    Source source(samples, translate);
    const auto start = std::chrono::steady_clock::now();
    auto set = Snapshots::from_newick_iter_opts(source, options);
    best = std::min(best, seconds_since(start));
    if (!set.ok() || set.value().snaps.size() != samples.size()) {
      std::fprintf(stderr, "reading and interning: %s\n", set.ok() ? "wrong tree count" : set.error().c_str());
      return false;
    }
    std::uint64_t supported = 0;
    for (const std::uint32_t support : set.value().supports) supported += support;
    for (const auto& snap : set.value().snaps) {
      if (snap.ids.size() != internal) return false;
    }
    if (supported != internal * samples.size()) {
      std::fprintf(stderr, "reading and interning: supports add up to %llu, want %zu\n",
                   static_cast<unsigned long long>(supported), internal * samples.size());
      return false;
    }
  }
  std::printf("n=%3d %-8s read and interned, %zu thread(s): %7.1f MB/s %9.0f trees/s\n", n, mode, threads,
              bytes / best / 1e6, trees / best);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int trees = argc > 1 ? std::atoi(argv[1]) : 20000;
  bool ok = true;
  for (int n : {50, 200}) {
    for (bool rooted : {false, true}) ok = run(n, trees, rooted) && ok;
  }
  if (!ok) std::fprintf(stderr, "wrong answer: figures withheld\n");
  return ok ? 0 : 1;
}
