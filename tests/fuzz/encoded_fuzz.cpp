// libFuzzer target for the encoded-sample reader: bytes that decode must re-encode to themselves,
// and every block over the decoded sample must run inside its arrays.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "distances/block.h"
#include "snapshot/encoded.h"

using namespace brantoveil;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  Result<snapshot::EncodedSample> decoded = snapshot::EncodedSample::from_bytes(bytes);
  if (!decoded.ok()) return 0;
  const snapshot::EncodedSample& sample = decoded.value();
  const std::vector<std::uint8_t> again = sample.to_bytes();
  require(again.size() == size && std::equal(again.begin(), again.end(), data));

  const distances::SampleColumns columns = distances::sample_columns_split(sample, 2, 3);
  std::vector<std::uint64_t> trees(sample.size());
  std::iota(trees.begin(), trees.end(), 0);
  std::vector<std::uint32_t> rf(trees.size() * trees.size());
  require(distances::block_rf(sample, columns, trees, trees, {rf.data(), trees.size()}, nullptr, 3));
  for (std::size_t i = 0; i < trees.size(); ++i) require(rf[i * trees.size() + i] == 0);
  if (sample.has_lengths) {
    std::vector<double> kf(rf.size());
    require(distances::block_weighted(distances::BlockMetric::kf, sample, columns, trees, trees,
                                      {kf.data(), trees.size()}, nullptr, 3));
  }
  return 0;
}
