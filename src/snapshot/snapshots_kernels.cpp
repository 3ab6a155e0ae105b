// The weighted kernels as methods of a finished set: borrowing forms keep it, consuming forms free it.
#include "distances/weighted.h"
#include "snapshot/snapshots.h"

namespace brantoveil::snapshot {

namespace {

// The kernels never read clades or names; dropping them before the matrix is allocated lowers the peak.
distances::Input consume(Snapshots& set) {
  set.clades = CladeTable{};
  set.leaf_names = std::vector<std::string>{};
  return distances::Input::owned(std::move(set.snaps), std::move(set.supports));
}

}  // namespace

distances::Buffer<double> Snapshots::pairwise_wrf(Counter* counter, distances::Buffer<double> into) const {
  return distances::distance_wrf(distances::Input::borrowed(snaps, supports), counter, std::move(into));
}

distances::Buffer<double> Snapshots::pairwise_kf(Counter* counter, distances::Buffer<double> into) const {
  return distances::distance_kf(distances::Input::borrowed(snaps, supports), counter, std::move(into));
}

distances::Buffer<double> Snapshots::into_pairwise_wrf(Counter* counter) && {
  return distances::distance_wrf(consume(*this), counter);
}

distances::Buffer<double> Snapshots::into_pairwise_kf(Counter* counter) && {
  return distances::distance_kf(consume(*this), counter);
}

}  // namespace brantoveil::snapshot
