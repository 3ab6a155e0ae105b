// Reading errors placed and raised: one place that knows how the reader's messages name a tree.
#include "api/errors.h"

#include <charconv>
#include <string>

namespace brantoveil::api {

namespace {

// Reads the decimal tree index at the start of `text`; kUnknown when there is none.
std::uint64_t leading_index(std::string_view text, std::size_t& length) {
  std::uint64_t value = 0;
  const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
  length = static_cast<std::size_t>(end - text.data());
  return code == std::errc() && length > 0 ? value : Error::kUnknown;
}

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

Located locate(const Error& error) {
  Located out{error.kind, error.tree, error.offset, error.message};
  if (out.tree != Error::kUnknown) return out;
  // The reader places a syntax error as "Failed to parse newick at index N: reason" and any other
  // error of one tree as "Tree N reason"; both are its fixed texts.
  const std::string_view message = error.message;
  constexpr std::string_view kSyntax = "Failed to parse newick at index ";
  constexpr std::string_view kTree = "Tree ";
  std::size_t digits = 0;
  if (message.starts_with(kSyntax)) {
    const std::string_view rest = message.substr(kSyntax.size());
    const std::uint64_t tree = leading_index(rest, digits);
    if (tree == Error::kUnknown || !rest.substr(digits).starts_with(": ")) return out;
    return {ErrorKind::syntax, tree, error.offset, rest.substr(digits + 2)};
  }
  if (message.starts_with(kTree)) {
    const std::string_view rest = message.substr(kTree.size());
    const std::uint64_t tree = leading_index(rest, digits);
    if (tree == Error::kUnknown || !rest.substr(digits).starts_with(" ")) return out;
    const std::string_view reason = rest.substr(digits + 1);
    const bool leaf_set = reason.starts_with("has a different leaf set");
    return {leaf_set ? ErrorKind::leaf_set : ErrorKind::tree, tree, error.offset, reason};
  }
  return out;
}

std::nullptr_t raise_reading_error(const Error& error, PyObject* tree_error) {
  if (tree_error == nullptr) return raise(PyExc_ValueError, error.message);
  const Located place = locate(error);
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!message) return nullptr;
  PyRef exception = PyRef::steal(PyObject_CallOneArg(tree_error, message.get()));
  if (!exception) return nullptr;
  PyRef reason = PyRef::steal(
      PyUnicode_DecodeUTF8(place.reason.data(), static_cast<Py_ssize_t>(place.reason.size()), "replace"));
  PyRef kind = PyRef::steal(PyUnicode_FromString(kind_name(place.kind)));
  PyRef tree = PyRef::steal(index_or_none(place.tree));
  PyRef offset = PyRef::steal(index_or_none(place.offset));
  if (!reason || !kind || !tree || !offset) return nullptr;
  if (PyObject_SetAttrString(exception.get(), "kind", kind.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "tree_index", tree.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "offset", offset.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "reason", reason.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(tree_error, exception.get());
  return nullptr;
}

PyObject* new_tree_error_type(const char* qualified_name) {
  return PyErr_NewExceptionWithDoc(
      qualified_name,
      "A tree that cannot be read. Attributes: kind ('syntax', 'leaf_set', 'tree', 'general'), tree_index\n"
      "(0-based position in the call's input, or None), offset (byte offset in that tree's text, or None)\n"
      "and reason (the message without its place).",
      PyExc_ValueError, nullptr);
}

}  // namespace brantoveil::api
