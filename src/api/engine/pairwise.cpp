// The companion's whole-matrix call: the public functions' reading and kernels, but every matrix in
// bytes, the lock released for the kernel and the exports, and exports built only when asked.
#include "api/engine/pairwise.h"

#include <array>
#include <optional>

#include "api/bind.h"
#include "api/convert.h"
#include "api/engine/sample.h"
#include "api/exports.h"
#include "api/input.h"
#include "api/progress.h"
#include "api/signals.h"
#include "distances/rf.h"
#include "distances/weighted.h"
#include "shared/pages.h"
#include "snapshot/encoded.h"

namespace brantoveil::api::engine {

namespace {

enum class Metric { rf, wrf, kf };

constexpr std::array<const char*, 8> kParameters = {"metric",      "names",  "newick_iter", "translate_maps",
                                                    "map_indices", "rooted", "progress",    "exports"};

std::optional<Metric> convert_metric(PyObject* object) {
  if (PyUnicode_Check(object)) {
    if (PyUnicode_CompareWithASCIIString(object, "rf") == 0) return Metric::rf;
    if (PyUnicode_CompareWithASCIIString(object, "wrf") == 0) return Metric::wrf;
    if (PyUnicode_CompareWithASCIIString(object, "kf") == 0) return Metric::kf;
  }
  PyErr_Format(PyExc_ValueError, "metric must be 'rf', 'wrf' or 'kf', not %R", object);
  return std::nullopt;
}

// Runs `kernel(cell)` without the interpreter lock, on the counter's cell (reset to 0 of `pairs`
// first, and set to `pairs` afterwards unless stopped) or on a private one.
template <class Kernel>
bool run_unlocked(PyRef progress, std::uint64_t pairs, Kernel&& kernel) {
  std::shared_ptr<CounterCell> cell;
  if (progress) {
    auto* counter = reinterpret_cast<ProgressCounterObject*>(progress.get());
    counter->value->store(0, std::memory_order_relaxed);
    counter->total->store(pairs, std::memory_order_relaxed);
    cell = counter->value;
  } else {
    cell = std::make_shared<CounterCell>(0);
  }
  bool filled;
  {
    ReleasedGil unlocked;
    filled = kernel(*cell);
  }
  if (filled) cell->store(pairs, std::memory_order_relaxed);
  return filled;
}

// The matrix into new zeroed bytes of n x n elements of T, by `kernel(cell, cells)`.
template <class T, class Kernel>
PyRef compute_matrix(std::size_t n, PyRef progress, SignalCheck& signals, Kernel&& kernel) {
  PyRef matrix = PyRef::steal(new_zeroed_bytes_for<T>(n * n));
  if (!matrix) return matrix;
  const std::span<T> cells = elements_of<T>(matrix.get());
  const bool filled = run_unlocked(std::move(progress), pair_count(n), [&](CounterCell& cell) {
    // Faulted in on every core rather than one page at a time under the kernel's writes.
    populate_result(cells.data(), cells.size_bytes());
    return kernel(cell, cells);
  });
  if (!filled) {
    if (!signals.raise_if_stopped()) PyErr_SetString(PyExc_RuntimeError, "the distance computation was stopped");
    return PyRef();
  }
  to_little_endian(cells);
  return matrix;
}

}  // namespace

PyObject* pairwise(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParameters.size()> bound{};
  if (!bind_arguments("pairwise()", kParameters, 5, args, nargs, kwnames, bound)) return nullptr;
  const auto metric = convert_metric(bound[0]);
  if (!metric) return nullptr;
  std::array<PyObject*, 6> common{};
  std::copy(bound.begin() + 1, bound.begin() + 7, common.begin());
  auto call = convert_call(engine_intake(module), common);
  if (!call) return nullptr;
  bool exports = false;
  if (bound[7] != nullptr) {
    if (!PyBool_Check(bound[7])) {
      PyErr_Format(PyExc_TypeError, "exports must be True or False, not '%s'", Py_TYPE(bound[7])->tp_name);
      return nullptr;
    }
    exports = bound[7] == Py_True;
  }

  SignalCheck signals;
  const bool weighted = *metric != Metric::rf;
  // Without exports no clade table is kept, so memory does not grow with trees x distinct splits.
  auto set = collect_snapshots_from_iter(call->bundle, weighted, exports, signals);
  if (!set) return nullptr;
  const std::size_t n = set->snaps.size();
  // Without exports the set is encoded in its place and the kernel frees the encoded trees once
  // it has laid them out.
  const auto input = [&] {
    if (!exports) {
      set->clades = snapshot::CladeTable{};
      set->leaf_names = std::vector<std::string>{};
    }
    return snapshot::encode_trees(*set, weighted, !exports, false);
  };
  PyRef matrix;
  if (*metric == Metric::rf) {
    matrix = compute_matrix<std::uint32_t>(n, std::move(call->progress), signals,
                                           [&](CounterCell& cell, std::span<std::uint32_t> cells) {
                                             return distances::distance_rf(input(), &cell, cells, Contents::zeros);
                                           });
  } else {
    const bool kf = *metric == Metric::kf;
    matrix = compute_matrix<double>(n, std::move(call->progress), signals,
                                    [&](CounterCell& cell, std::span<double> cells) {
                                      return kf ? distances::distance_kf(input(), &cell, cells, Contents::zeros)
                                                : distances::distance_wrf(input(), &cell, cells, Contents::zeros);
                                    });
  }
  if (!matrix) return nullptr;
  if (exports) {
    return export_tuple(call->names, matrix.get(), *set,
                        weighted ? ExportMatrix::kBranchLengths : ExportMatrix::kPresence, signals, true);
  }
  PyRef names = PyRef::steal(string_list(call->names));
  if (!names) return nullptr;
  return PyTuple_Pack(2, names.get(), matrix.get());
}

}  // namespace brantoveil::api::engine
