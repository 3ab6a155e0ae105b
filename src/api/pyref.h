// Owned Python references and small exception helpers: the one place refcounts are handled.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace brantoveil::api {

/// Whether the interpreter is finalising; readable without the lock.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

/// A move-only owned reference; every incref is visible through `borrow`.
class PyRef {
 public:
  PyRef() = default;
  /// Takes over a new reference (may be null).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  /// Takes a reference of its own to a borrowed object (may be null).
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(nullptr); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  /// Hands the reference back to CPython.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  void reset(PyObject* object) {
    PyObject* old = std::exchange(object_, object);
    if (old == nullptr) return;
    // A thread that the finalising interpreter ends by unwinding it holds no lock; its references
    // are left behind, as the interpreter leaves those of C frames.
    if (interpreter_finalizing() && !PyGILState_Check()) return;
    Py_DECREF(old);
  }

  PyObject* object_ = nullptr;
};

/// A raised exception taken out of the interpreter's error indicator, to be raised again later.
class SavedError {
 public:
  SavedError() = default;
  /// Moves the current exception (one must be set) into the saved slot.
  static SavedError fetch() {
    SavedError saved;
#if PY_VERSION_HEX >= 0x030C0000
    saved.exception_ = PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    saved.exception_ = PyRef::steal(value);
#endif
    return saved;
  }
  explicit operator bool() const { return static_cast<bool>(exception_); }
  PyObject* exception() const { return exception_.get(); }
  /// Sets the saved exception as the current one and empties the slot.
  void restore() {
    if (!exception_) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception_.release());
#else
    PyObject* value = exception_.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
  }

 private:
  PyRef exception_;
};

/// Raises `type` with a UTF-8 message; returns nullptr for the caller to return.
inline std::nullptr_t raise(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

}  // namespace brantoveil::api
