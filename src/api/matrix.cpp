// The whole matrix for Python, shared by the six public functions and the companion's pairwise().
#include "api/matrix.h"

#include "api/convert.h"
#include "api/exports.h"
#include "api/progress.h"
#include "api/signals.h"
#include "distances/rf.h"
#include "distances/weighted.h"
#include "shared/pages.h"
#include "snapshot/encoded.h"

namespace brantoveil::api {

namespace {

// NULL with the exception of a signal handler that ended the call, or a RuntimeError.
PyObject* stopped_call(SignalCheck& signals) {
  if (!signals.raise_if_stopped()) PyErr_SetString(PyExc_RuntimeError, "the distance computation was stopped");
  return nullptr;
}

// The trees the kernels read. Without exports the set is encoded in its place, clades and leaf
// names dropped first (the kernels never read them), and the kernel frees the encoded trees once
// it has laid them out: memory does not grow with trees x distinct splits.
EncodedTrees kernel_input(std::optional<snapshot::Snapshots>& set, bool weighted, bool exports) {
  if (exports) return snapshot::encode_trees(*set, weighted, false, false);
  set->clades = snapshot::CladeTable{};
  set->leaf_names = std::vector<std::string>{};
  EncodedTrees trees = snapshot::encode_trees(*set, weighted, true, false);
  set.reset();
  return trees;
}

// The plain weighted functions' list of floats: the kernel owns its cells, then each becomes a float.
PyObject* matrix_list(CallArgs& call, Metric metric, std::optional<snapshot::Snapshots>& set, SignalCheck& signals) {
  const std::uint64_t pairs = pair_count(set->snaps.size());
  EncodedTrees trees = kernel_input(set, true, false);
  Buffer<double> matrix = run_counted(std::move(call.progress), pairs, call.bundle.unlock, [&](CounterCell& cell) {
    return metric == Metric::wrf ? distances::distance_wrf(std::move(trees), &cell)
                                 : distances::distance_kf(std::move(trees), &cell);
  });
  if (pool::stopped()) return stopped_call(signals);
  PyRef names = PyRef::steal(string_list(call.names));
  if (!names) return nullptr;
  PyRef values = PyRef::steal(float_list(matrix.span()));
  if (!values) return nullptr;
  return PyTuple_Pack(2, names.get(), values.get());
}

// The matrix written straight into new zeroed bytes of n x n elements of T: no second copy and no clearing.
template <class T, class Kernel>
PyRef matrix_bytes(CallArgs& call, std::size_t n, SignalCheck& signals, Kernel&& kernel) {
  PyRef matrix = PyRef::steal(new_zeroed_bytes_for<T>(n * n));
  if (!matrix) return matrix;
  const std::span<T> cells = elements_of<T>(matrix.get());
  const bool filled = run_counted(std::move(call.progress), pair_count(n), call.bundle.unlock, [&](CounterCell& cell) {
    // Faulted in on every core rather than one page at a time under the kernel's writes.
    populate_result(cells.data(), cells.size_bytes());
    return kernel(&cell, cells);
  });
  if (!filled) {
    stopped_call(signals);
    return PyRef();
  }
  to_little_endian(cells);
  return matrix;
}

}  // namespace

PyObject* whole_matrix(CallArgs& call, const WholeMatrix& options) {
  SignalCheck signals;
  const bool weighted = options.metric != Metric::rf;
  auto set = collect_snapshots_from_iter(call.bundle, weighted, options.exports, signals);
  if (!set) return nullptr;
  if (options.as_list) return matrix_list(call, options.metric, set, signals);
  const std::size_t n = set->snaps.size();
  PyRef matrix;
  if (options.metric == Metric::rf) {
    matrix = matrix_bytes<std::uint32_t>(call, n, signals, [&](CounterCell* cell, std::span<std::uint32_t> cells) {
      return distances::distance_rf(kernel_input(set, false, options.exports), cell, cells, Contents::zeros);
    });
  } else {
    const bool kf = options.metric == Metric::kf;
    matrix = matrix_bytes<double>(call, n, signals, [&](CounterCell* cell, std::span<double> cells) {
      EncodedTrees trees = kernel_input(set, true, options.exports);
      return kf ? distances::distance_kf(std::move(trees), cell, cells, Contents::zeros)
                : distances::distance_wrf(std::move(trees), cell, cells, Contents::zeros);
    });
  }
  if (!matrix) return nullptr;
  if (options.exports) {
    return export_tuple(call.names, matrix.get(), *set, weighted ? ExportMatrix::kBranchLengths : ExportMatrix::kPresence,
                        signals, call.bundle.unlock == Unlock::always);
  }
  PyRef names = PyRef::steal(string_list(call.names));
  if (!names) return nullptr;
  return PyTuple_Pack(2, names.get(), matrix.get());
}

}  // namespace brantoveil::api
