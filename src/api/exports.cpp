// Export results: leaf names, the column count and the two export buffers, in one tuple.
#include "api/exports.h"

#include <tuple>

#include "api/convert.h"
#include "api/progress.h"
#include "shared/pages.h"
#include "snapshot/export.h"

namespace brantoveil::api {

PyObject* export_tuple(const std::vector<std::string>& names, PyObject* matrix, const snapshot::Snapshots& set,
                       ExportMatrix kind, SignalCheck& signals, bool unlocked) {
  PyRef tree_names = PyRef::steal(string_list(names));
  if (!tree_names) return nullptr;
  PyRef leaf_names = PyRef::steal(string_list(set.leaf_names));
  if (!leaf_names) return nullptr;
  std::vector<std::uint64_t> column_of, split_at;
  {
    ReleasedGil released(unlocked);
    std::tie(column_of, split_at) = snapshot::column_order(set);
  }
  const std::size_t cells = set.snaps.size() * column_of.size();
  // Zeroed by calloc, as the distance matrix is, and faulted in on every core before the rows
  // are written: a large export (the branch lengths of a posterior of many taxa can take as much
  // memory as the matrix) would otherwise be cleared once more and fault in a page at a time.
  PyRef export_bytes = PyRef::steal(kind == ExportMatrix::kPresence ? new_zeroed_bytes_for<std::uint8_t>(cells)
                                                                      : new_zeroed_bytes_for<double>(cells));
  if (!export_bytes) return nullptr;
  // Both matrices are written in little-endian order already.
  const std::span<std::uint8_t> out = elements_of<std::uint8_t>(export_bytes.get());
  bool written = false;
  std::vector<std::uint8_t> clade_bytes;
  // Nothing below touches a Python object; the stop check takes the lock itself when it asks.
  const auto build = [&] {
    populate_result(out.data(), out.size());
    written = kind == ExportMatrix::kPresence ? snapshot::write_presence_matrix(set, column_of, out, Contents::zeros)
                                              : snapshot::write_branch_length_matrix(set, column_of, out,
                                                                                    Contents::zeros);
    if (written) clade_bytes = snapshot::build_bipartition_bytes(set, split_at);
  };
  {
    ReleasedGil released(unlocked);
    build();
  }
  if (!written) {
    signals.raise_if_stopped();
    return nullptr;
  }
  if (signals.raise_if_stopped()) return nullptr;
  PyRef columns = PyRef::steal(PyLong_FromSize_t(set.supports.size()));
  if (!columns) return nullptr;
  PyRef clades = PyRef::steal(little_endian_bytes(std::span<const std::uint8_t>(clade_bytes)));
  if (!clades) return nullptr;
  return PyTuple_Pack(6, tree_names.get(), matrix, leaf_names.get(), columns.get(), export_bytes.get(),
                      clades.get());
}

}  // namespace brantoveil::api
