// Robinson-Foulds entry points: intake, collection, the kernel under the progress protocol, results.
#include "api/rf.h"

#include "api/convert.h"
#include "api/input.h"
#include "api/progress.h"
#include "distances/rf.h"

namespace brantoveil::api {

PyObject* pairwise_rf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
  auto call = intake("pairwise_rf_from_newick_iter()", module, args, nargs, kwnames);
  if (!call) return nullptr;
  auto set = collect_snapshots_from_iter(call->bundle, false, false);
  if (!set) return nullptr;
  const std::size_t n = set->snaps.size();
  // The kernel writes straight into the result's bytes: no second n x n copy.
  PyRef matrix = PyRef::steal(new_bytes_for<std::uint32_t>(n * n));
  if (!matrix) return nullptr;
  const std::span<std::uint32_t> cells = elements_of<std::uint32_t>(matrix.get());
  // The kernel owns the trees from here on; clades and leaf names are not needed.
  auto input = distances::Input::owned(std::move(set->snaps), std::move(set->supports));
  set.reset();
  with_counter(std::move(call->progress), pair_count(n), [&](CounterCell& cell) {
    return distances::distance_rf(std::move(input), &cell, distances::Buffer<std::uint32_t>::over(cells));
  });
  to_little_endian(cells);
  PyRef names = PyRef::steal(string_list(call->names));
  if (!names) return nullptr;
  return PyTuple_Pack(2, names.get(), matrix.get());
}

PyObject* pairwise_rf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) noexcept {
  auto call = intake("pairwise_rf_with_snapshots_from_newick_iter()", module, args, nargs, kwnames);
  if (!call) return nullptr;
  auto set = collect_snapshots_from_iter(call->bundle, false, true);
  if (!set) return nullptr;
  const std::size_t n = set->snaps.size();
  PyRef matrix_bytes = PyRef::steal(new_bytes_for<std::uint32_t>(n * n));
  if (!matrix_bytes) return nullptr;
  const std::span<std::uint32_t> cells = elements_of<std::uint32_t>(matrix_bytes.get());
  with_counter(std::move(call->progress), pair_count(n), [&](CounterCell& cell) {
    return distances::distance_rf(distances::Input::borrowed(set->snaps, set->supports), &cell,
                                  distances::Buffer<std::uint32_t>::over(cells));
  });
  to_little_endian(cells);
  PyRef names = PyRef::steal(string_list(call->names));
  if (!names) return nullptr;
  auto [presence, split_at] = set->build_presence_matrix();
  PyRef leaf_names = PyRef::steal(string_list(set->leaf_names));
  if (!leaf_names) return nullptr;
  const std::vector<std::uint8_t> clade_bytes = set->build_bipartition_bytes(split_at);
  PyRef columns = PyRef::steal(PyLong_FromSize_t(set->supports.size()));
  if (!columns) return nullptr;
  PyRef presence_bytes = PyRef::steal(little_endian_bytes(std::span<const std::uint8_t>(presence)));
  if (!presence_bytes) return nullptr;
  PyRef clades = PyRef::steal(little_endian_bytes(std::span<const std::uint8_t>(clade_bytes)));
  if (!clades) return nullptr;
  return PyTuple_Pack(6, names.get(), matrix_bytes.get(), leaf_names.get(), columns.get(), presence_bytes.get(),
                      clades.get());
}

}  // namespace brantoveil::api
