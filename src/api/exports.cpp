// Export results: leaf names, the column count and the two export buffers, in one tuple.
#include "api/exports.h"

#include "api/convert.h"

namespace brantoveil::api {

PyObject* export_tuple(const std::vector<std::string>& names, PyObject* matrix, const snapshot::Snapshots& set,
                       const std::vector<std::uint8_t>& export_matrix, const std::vector<std::uint64_t>& split_at) {
  PyRef tree_names = PyRef::steal(string_list(names));
  if (!tree_names) return nullptr;
  PyRef leaf_names = PyRef::steal(string_list(set.leaf_names));
  if (!leaf_names) return nullptr;
  const std::vector<std::uint8_t> clade_bytes = set.build_bipartition_bytes(split_at);
  PyRef columns = PyRef::steal(PyLong_FromSize_t(set.supports.size()));
  if (!columns) return nullptr;
  PyRef export_bytes = PyRef::steal(little_endian_bytes(std::span<const std::uint8_t>(export_matrix)));
  if (!export_bytes) return nullptr;
  PyRef clades = PyRef::steal(little_endian_bytes(std::span<const std::uint8_t>(clade_bytes)));
  if (!clades) return nullptr;
  return PyTuple_Pack(6, tree_names.get(), matrix, leaf_names.get(), columns.get(), export_bytes.get(),
                      clades.get());
}

}  // namespace brantoveil::api
