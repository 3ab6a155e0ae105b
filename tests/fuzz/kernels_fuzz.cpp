// libFuzzer target for the distance kernels: on the same trees, the one-call matrix, the tiles and
// every instruction-set level this CPU has must give the same cells, bit for bit (NaN meeting NaN);
// any difference aborts.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "../cpp/distances_trees.h"
#include "distances/block.h"
#include "distances/isa.h"
#include "distances/rf.h"
#include "distances/weighted.h"

using namespace brantoveil;
using namespace brantoveil::distances;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// Reads the fuzzer's bytes as small numbers; zeros once they run out.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t next(std::uint32_t bound) { return bound == 0 ? 0 : (at_ < size_ ? data_[at_++] : 0) % bound; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Lengths that stress the sums: exact eighths, nearly equal values an ulp or a millionth apart,
// long and very short branches, zeros of both signs, and now and then a NaN or an infinity.
double length_from(Bytes& in, double base) {
  switch (in.next(12)) {
    case 0: return static_cast<double>(in.next(33)) / 8.0;
    case 1: return std::nextafter(base, 4.0);
    case 2: return base * (1 + 1e-6);
    case 3: return base * (1 + 1e-12);
    case 4: return 1e6 + in.next(7);
    case 5: return 1e-9 * (1 + in.next(5));
    case 6: return in.next(2) == 0 ? 0.0 : -0.0;
    case 7: return in.next(16) == 0 ? (in.next(2) == 0 ? NAN : INFINITY) : base;
    default: return base;
  }
}

testing::TreeSet trees_from(Bytes& in) {
  const std::size_t n = 2 + in.next(39);
  const std::uint32_t pendants = 2 + in.next(5);  // the leaves, as in a tree read with lengths
  const std::uint32_t candidates = 1 + in.next(90);
  std::vector<double> base(pendants + candidates);
  for (double& b : base) b = 0.125 + static_cast<double>(in.next(64)) / 16.0;
  // A tree holds a candidate split with the chance its byte gives; some trees copy an earlier one.
  std::vector<std::uint32_t> chance(candidates);
  for (auto& c : chance) c = in.next(5);
  std::vector<std::vector<std::uint32_t>> held(n);
  for (std::size_t t = 0; t < n; ++t) {
    if (t > 0 && in.next(4) == 0) {
      held[t] = held[in.next(static_cast<std::uint32_t>(t))];
      continue;
    }
    for (std::uint32_t s = 0; s < candidates; ++s) {
      if (chance[s] == 4 || (chance[s] > 0 && in.next(4) < chance[s])) held[t].push_back(s);
    }
  }
  testing::TreeSet set = testing::numbered(held, pendants, candidates);
  for (std::size_t t = 0; t < held.size(); ++t) {
    std::vector<double>& lengths = set.snaps[t].lengths;
    for (std::uint32_t k = 0; k < pendants; ++k) lengths.push_back(length_from(in, base[k]));
    for (const std::uint32_t s : held[t]) lengths.push_back(length_from(in, base[pendants + s]));
  }
  return set;
}

bool same_cell(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Everything one level computes: the one-call matrices and the same matrices as tiles.
struct Matrices {
  std::vector<std::uint32_t> rf, rf_tiles;
  std::vector<double> wrf, kf, wrf_tiles, kf_tiles;
};

Matrices compute(const testing::TreeSet& set, const snapshot::EncodedSample& sample, std::uint32_t rf_dense,
                 std::uint32_t weighted_dense, std::size_t tile) {
  const std::size_t n = set.snaps.size();
  const auto input = [&] { return testing::trees_of(set); };
  Matrices out;
  const Buffer<std::uint32_t> rf = distance_rf_split(input(), rf_dense, nullptr);
  const Buffer<double> wrf = weighted_distances_split<WeightedRf>(input(), weighted_dense, nullptr);
  const Buffer<double> kf = weighted_distances_split<BranchScore>(input(), weighted_dense, nullptr);
  out.rf.assign(rf.data(), rf.data() + rf.size());
  out.wrf.assign(wrf.data(), wrf.data() + wrf.size());
  out.kf.assign(kf.data(), kf.data() + kf.size());
  const SampleColumns columns = sample_columns_split(sample, rf_dense, weighted_dense);
  std::vector<std::uint64_t> trees(n);
  std::iota(trees.begin(), trees.end(), 0);
  out.rf_tiles.resize(n * n);
  require(block_rf(sample, columns, trees, trees, {out.rf_tiles.data(), n}, nullptr, tile));
  out.wrf_tiles.resize(n * n);
  out.kf_tiles.resize(n * n);
  require(block_weighted(BlockMetric::wrf, sample, columns, trees, trees, {out.wrf_tiles.data(), n}, nullptr, tile));
  require(block_weighted(BlockMetric::kf, sample, columns, trees, trees, {out.kf_tiles.data(), n}, nullptr, tile));
  return out;
}

void require_same(const std::vector<double>& a, const std::vector<double>& b) {
  require(a.size() == b.size());
  for (std::size_t k = 0; k < a.size(); ++k) require(same_cell(a[k], b[k]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  const std::uint32_t rf_dense = 2 + in.next(12);
  const std::uint32_t weighted_dense = 2 + in.next(12);
  const std::size_t tile = 1 + in.next(48);
  const testing::TreeSet set = trees_from(in);
  const snapshot::EncodedSample sample = testing::encode(set, set.snaps[0].pendants);

  const Isa cap = cap_isa(Isa::plain);
  const Matrices plain = compute(set, sample, rf_dense, weighted_dense, tile);
  require(plain.rf == plain.rf_tiles);
  require_same(plain.wrf, plain.wrf_tiles);
  require_same(plain.kf, plain.kf_tiles);
  for (const Isa level : {Isa::neon, Isa::popcnt, Isa::avx2, Isa::avx512}) {
    cap_isa(level);
    if (best_isa() != level) continue;
    const Matrices wider = compute(set, sample, rf_dense, weighted_dense, tile);
    require(wider.rf == plain.rf && wider.rf_tiles == plain.rf);
    require_same(wider.wrf, plain.wrf);
    require_same(wider.kf, plain.kf);
    require_same(wider.wrf_tiles, plain.wrf);
    require_same(wider.kf_tiles, plain.kf);
  }
  cap_isa(cap);
  return 0;
}
