// Robinson-Foulds entry points: intake, collection, the kernel under the progress protocol, results.
#include "api/rf.h"

#include "api/convert.h"
#include "api/exports.h"
#include "api/input.h"
#include "api/module.h"
#include "api/progress.h"
#include "api/signals.h"
#include "distances/rf.h"
#include "shared/pages.h"
#include "snapshot/encoded.h"

namespace brantoveil::api {

namespace {

// Both functions: the plain one hands the trees to the kernel, the exporting one lends them and
// exports the presence matrix afterwards.
PyObject* rf_pairwise(const char* display, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, bool exports) {
  auto call = intake(display, public_intake(module), args, nargs, kwnames);
  if (!call) return nullptr;
  SignalCheck signals;
  auto set = collect_snapshots_from_iter(call->bundle, false, exports, signals);
  if (!set) return nullptr;
  const std::size_t n = set->snaps.size();
  // The kernel writes straight into the result's bytes: no second n x n copy, and no clearing.
  PyRef matrix = PyRef::steal(new_zeroed_bytes_for<std::uint32_t>(n * n));
  if (!matrix) return nullptr;
  const std::span<std::uint32_t> cells = elements_of<std::uint32_t>(matrix.get());
  // Faulted in on every core now rather than one page at a time under the kernel's writes.
  populate_result(cells.data(), cells.size_bytes());
  // Without exports the set is encoded in its place, and clades and leaf names go with it; the
  // kernel frees the encoded trees once it has laid them out.
  EncodedTrees trees = snapshot::encode_trees(*set, false, !exports, false);
  if (!exports) set.reset();
  const bool filled = with_counter(std::move(call->progress), pair_count(n), [&](CounterCell& cell) {
    return distances::distance_rf(std::move(trees), &cell, cells, Contents::zeros);
  });
  if (!filled) {
    signals.raise_if_stopped();
    return nullptr;
  }
  to_little_endian(cells);
  if (!exports) {
    PyRef names = PyRef::steal(string_list(call->names));
    if (!names) return nullptr;
    return PyTuple_Pack(2, names.get(), matrix.get());
  }
  return export_tuple(call->names, matrix.get(), *set, ExportMatrix::kPresence, signals);
}

}  // namespace

PyObject* pairwise_rf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return rf_pairwise("pairwise_rf_from_newick_iter()", module, args, nargs, kwnames, false);
}

PyObject* pairwise_rf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
  return rf_pairwise("pairwise_rf_with_snapshots_from_newick_iter()", module, args, nargs, kwnames, true);
}

}  // namespace brantoveil::api
