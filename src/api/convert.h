// Native result buffers to Python bytes and lists, little-endian whatever the host.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "api/pyref.h"

namespace brantoveil::api {

/// An uninitialised bytes object with room for `count` elements of T; nullptr with an exception set.
template <class T>
PyObject* new_bytes_for(std::size_t count) {
  if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) return PyErr_NoMemory();
  return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)));
}

/// A bytes object of `count` zero elements of T, as `bytes(size)` makes it: its memory comes from
/// calloc, so a large one is fresh pages that nobody clears twice; nullptr with an exception set.
template <class T>
PyObject* new_zeroed_bytes_for(std::size_t count) {
  if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) return PyErr_NoMemory();
  return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyBytes_Type), "n",
                               static_cast<Py_ssize_t>(count * sizeof(T)));
}

/// The storage of a bytes object made by `new_bytes_for<T>` or `new_zeroed_bytes_for<T>`, as elements of T.
template <class T>
std::span<T> elements_of(PyObject* bytes) {
  return {reinterpret_cast<T*>(PyBytes_AS_STRING(bytes)), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) / sizeof(T)};
}

/// Puts natively written elements into little-endian byte order (nothing to do on little-endian hosts).
template <class T>
void to_little_endian(std::span<T> values) {
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    for (T& value : values) {
      auto* bytes = reinterpret_cast<unsigned char*>(&value);
      for (std::size_t a = 0, b = sizeof(T) - 1; a < b; ++a, --b) std::swap(bytes[a], bytes[b]);
    }
  }
}

/// A bytes object holding the elements as little-endian values; nullptr with an exception set.
template <class T>
PyObject* little_endian_bytes(std::span<const T> values) {
  PyObject* bytes = new_bytes_for<T>(values.size());
  if (bytes == nullptr) return nullptr;
  const std::span<T> out = elements_of<T>(bytes);
  if (!values.empty()) std::memcpy(out.data(), values.data(), values.size() * sizeof(T));
  to_little_endian(out);
  return bytes;
}

/// A list of Python floats; nullptr with an exception set.
inline PyObject* float_list(std::span<const double> values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    // A long conversion still answers Ctrl-C, and lets other Python threads run between slices: the
    // lock is dropped for an instant, which hands it to a thread that has been waiting for it.
    if (i % (std::size_t{1} << 16) == 0 && i != 0) {
      if (PyErr_CheckSignals() < 0) return nullptr;
      PyEval_RestoreThread(PyEval_SaveThread());
    }
    PyObject* value = PyFloat_FromDouble(values[i]);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  return list.release();
}

/// A new list of str from UTF-8 strings; nullptr with an exception set.
inline PyObject* string_list(const std::vector<std::string>& strings) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(strings.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < strings.size(); ++i) {
    PyObject* text = PyUnicode_DecodeUTF8(strings[i].data(), static_cast<Py_ssize_t>(strings[i].size()), "replace");
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

}  // namespace brantoveil::api
