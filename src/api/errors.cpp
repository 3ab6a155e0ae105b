// Reading and decoding errors raised: the plain ValueError of the public module, or the companion's
// structured ones.
#include "api/errors.h"

#include <cstdint>
#include <string_view>

namespace brantoveil::api {

namespace {

const char* kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::syntax: return "syntax";
    case ErrorKind::leaf_set: return "leaf_set";
    case ErrorKind::tree: return "tree";
    case ErrorKind::corrupt: return "corrupt";
    case ErrorKind::general: break;
  }
  return "general";
}

PyObject* index_or_none(std::uint64_t value) {
  return value == Error::kUnknown ? Py_NewRef(Py_None) : PyLong_FromUnsignedLongLong(value);
}

}  // namespace

std::nullptr_t raise_reading_error(const Error& error, PyObject* type) {
  if (type == nullptr) return raise(PyExc_ValueError, error.message);
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!message) return nullptr;
  PyRef exception = PyRef::steal(PyObject_CallOneArg(type, message.get()));
  if (!exception) return nullptr;
  const std::string_view why = error.reason();
  PyRef reason = PyRef::steal(PyUnicode_DecodeUTF8(why.data(), static_cast<Py_ssize_t>(why.size()), "replace"));
  PyRef kind = PyRef::steal(PyUnicode_FromString(kind_name(error.kind)));
  PyRef tree = PyRef::steal(index_or_none(error.tree));
  PyRef offset = PyRef::steal(index_or_none(error.offset));
  if (!reason || !kind || !tree || !offset) return nullptr;
  if (PyObject_SetAttrString(exception.get(), "kind", kind.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "tree_index", tree.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "offset", offset.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "reason", reason.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(type, exception.get());
  return nullptr;
}

PyObject* new_sample_error_type(const char* qualified_name) {
  return PyErr_NewExceptionWithDoc(
      qualified_name,
      "Trees or bytes that do not make a sample. Attributes: kind ('syntax', 'leaf_set', 'tree', 'general'\n"
      "for trees, 'corrupt' for bytes that do not hold an encoded sample), tree_index (0-based position in\n"
      "the call's input, or None), offset (byte offset in that tree's Newick text where the fault was\n"
      "found, or None when it has no place there) and reason (the message without its place).",
      PyExc_ValueError, nullptr);
}

PyObject* new_tree_error_type(const char* qualified_name, PyObject* sample_error) {
  return PyErr_NewExceptionWithDoc(
      qualified_name,
      "A tree that cannot be read: a SampleError whose kind is 'syntax', 'leaf_set', 'tree' or 'general'.",
      sample_error, nullptr);
}

}  // namespace brantoveil::api
