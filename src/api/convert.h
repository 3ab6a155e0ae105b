// Native result buffers to Python bytes and lists, little-endian whatever the host.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "api/pyref.h"

namespace brantoveil::api {

/// A bytes object holding the elements as little-endian values; nullptr with an exception set.
template <class T>
PyObject* little_endian_bytes(std::span<T> span) {
  using Element = std::remove_const_t<T>;
  static_assert(std::is_trivially_copyable_v<Element>);
  const std::span<const Element> values = span;
  const std::size_t size = values.size() * sizeof(Element);
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) return nullptr;
  char* out = PyBytes_AS_STRING(bytes);
  if (size > 0) std::memcpy(out, values.data(), size);
  if constexpr (std::endian::native == std::endian::big && sizeof(Element) > 1) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      char* element = out + i * sizeof(Element);
      for (std::size_t a = 0, b = sizeof(Element) - 1; a < b; ++a, --b) std::swap(element[a], element[b]);
    }
  }
  return bytes;
}

/// A list of Python floats; nullptr with an exception set.
inline PyObject* float_list(std::span<const double> values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* value = PyFloat_FromDouble(values[i]);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  return list.release();
}

}  // namespace brantoveil::api
