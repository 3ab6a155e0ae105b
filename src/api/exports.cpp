// Export results: leaf names, the column count and the two export buffers, in one tuple.
#include "api/exports.h"

#include "api/convert.h"

namespace brantoveil::api {

PyObject* export_tuple(const std::vector<std::string>& names, PyObject* matrix, const snapshot::Snapshots& set,
                       ExportMatrix kind) {
  PyRef tree_names = PyRef::steal(string_list(names));
  if (!tree_names) return nullptr;
  PyRef leaf_names = PyRef::steal(string_list(set.leaf_names));
  if (!leaf_names) return nullptr;
  PyRef columns = PyRef::steal(PyLong_FromSize_t(set.supports.size()));
  if (!columns) return nullptr;
  const auto [column_of, split_at] = set.column_order();
  const std::size_t cells = set.snaps.size() * split_at.size();
  // Both buffers are written in place: no second copy of an export is ever held.
  PyRef export_bytes = PyRef::steal(kind == ExportMatrix::kPresence ? new_bytes_for<std::uint8_t>(cells)
                                                                     : new_bytes_for<double>(cells));
  if (!export_bytes) return nullptr;
  if (kind == ExportMatrix::kPresence) {
    set.fill_presence_matrix(column_of, elements_of<std::uint8_t>(export_bytes.get()));
  } else {
    set.fill_branch_length_matrix(column_of, elements_of<std::uint8_t>(export_bytes.get()));
  }
  PyRef clades = PyRef::steal(new_bytes_for<std::uint8_t>(split_at.size() * ((set.leaf_names.size() + 7) / 8)));
  if (!clades) return nullptr;
  set.fill_bipartition_bytes(split_at, elements_of<std::uint8_t>(clades.get()));
  return PyTuple_Pack(6, tree_names.get(), matrix, leaf_names.get(), columns.get(), export_bytes.get(),
                      clades.get());
}

}  // namespace brantoveil::api
