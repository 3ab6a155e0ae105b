// Weighted entry points: two drivers shared by the four functions, the metric being a parameter.
#include "api/weighted.h"

#include "api/convert.h"
#include "api/exports.h"
#include "api/input.h"
#include "api/module.h"
#include "api/progress.h"
#include "api/signals.h"
#include "distances/weighted.h"
#include "shared/pages.h"
#include "snapshot/encoded.h"

namespace brantoveil::api {

namespace {

using snapshot::Snapshots;

enum class Metric { kWeightedRf, kBranchScore };

// The kernels never read clades or names; dropping them before the matrix is allocated lowers the peak.
EncodedTrees consume(Snapshots& set) {
  set.clades = snapshot::CladeTable{};
  set.leaf_names = std::vector<std::string>{};
  return snapshot::encode_trees(set, true, true, false);
}

// Plain variants: the kernel consumes the set; the matrix comes back as a list of floats.
PyObject* weighted_pairwise(CallArgs& call, Metric metric) {
  SignalCheck signals;
  auto set = collect_snapshots_from_iter(call.bundle, true, false, signals);
  if (!set) return nullptr;
  const std::uint64_t pairs = pair_count(set->snaps.size());
  EncodedTrees trees = consume(*set);
  set.reset();
  auto matrix = with_counter(std::move(call.progress), pairs, [&](CounterCell& cell) {
    return metric == Metric::kWeightedRf ? distances::distance_wrf(std::move(trees), &cell)
                                         : distances::distance_kf(std::move(trees), &cell);
  });
  if (signals.raise_if_stopped()) return nullptr;
  PyRef names = PyRef::steal(string_list(call.names));
  if (!names) return nullptr;
  PyRef values = PyRef::steal(float_list(matrix.span()));
  if (!values) return nullptr;
  return PyTuple_Pack(2, names.get(), values.get());
}

// Export variants: the kernel borrows the set, which then yields the branch-length and clade bytes.
PyObject* weighted_pairwise_with_snapshots(CallArgs& call, Metric metric) {
  SignalCheck signals;
  auto set = collect_snapshots_from_iter(call.bundle, true, true, signals);
  if (!set) return nullptr;
  const std::size_t n = set->snaps.size();
  // The kernel writes straight into the result's bytes: no second n x n copy, and no clearing.
  PyRef matrix_bytes = PyRef::steal(new_zeroed_bytes_for<double>(n * n));
  if (!matrix_bytes) return nullptr;
  const std::span<double> cells = elements_of<double>(matrix_bytes.get());
  // Faulted in on every core now rather than one page at a time under the kernel's writes.
  populate_result(cells.data(), cells.size_bytes());
  EncodedTrees trees = snapshot::encode_trees(*set, true, false, false);
  const bool filled = with_counter(std::move(call.progress), pair_count(n), [&](CounterCell& cell) {
    return metric == Metric::kWeightedRf ? distances::distance_wrf(std::move(trees), &cell, cells, Contents::zeros)
                                         : distances::distance_kf(std::move(trees), &cell, cells, Contents::zeros);
  });
  if (!filled) {
    signals.raise_if_stopped();
    return nullptr;
  }
  to_little_endian(cells);
  return export_tuple(call.names, matrix_bytes.get(), *set, ExportMatrix::kBranchLengths, signals);
}

}  // namespace

PyObject* pairwise_wrf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames) {
  auto call = intake("pairwise_wrf_with_snapshots_from_newick_iter()", public_intake(module), args, nargs, kwnames);
  return call ? weighted_pairwise_with_snapshots(*call, Metric::kWeightedRf) : nullptr;
}

PyObject* pairwise_kf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
  auto call = intake("pairwise_kf_with_snapshots_from_newick_iter()", public_intake(module), args, nargs, kwnames);
  return call ? weighted_pairwise_with_snapshots(*call, Metric::kBranchScore) : nullptr;
}

PyObject* pairwise_wrf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  auto call = intake("pairwise_wrf_from_newick_iter()", public_intake(module), args, nargs, kwnames);
  return call ? weighted_pairwise(*call, Metric::kWeightedRf) : nullptr;
}

PyObject* pairwise_kf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  auto call = intake("pairwise_kf_from_newick_iter()", public_intake(module), args, nargs, kwnames);
  return call ? weighted_pairwise(*call, Metric::kBranchScore) : nullptr;
}

}  // namespace brantoveil::api
