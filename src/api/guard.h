// The one error policy of both modules: every function CPython calls runs inside `Guard`.
#pragma once

#include <type_traits>

#include "api/pyref.h"

namespace brantoveil::api {

/// Turns the C++ exception being handled into a Python exception: out of memory (or a size no
/// container can hold) into MemoryError, anything else into RuntimeError. Call only from a catch
/// block. A thread the finalising interpreter unwinds parks here for good instead.
void set_error_from_current_exception() noexcept;

namespace detail {

template <class R>
R failed() noexcept {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

template <auto F, class R, class... A>
R guarded_call(A... args) noexcept {
  try {
    return F(args...);
  } catch (...) {
    set_error_from_current_exception();
    return failed<R>();
  }
}

}  // namespace detail

/// `Guard<f>::call` has f's signature, is noexcept, and never lets an exception reach CPython:
/// nullptr (or -1) with a Python exception set instead.
template <auto F>
struct Guard;

template <class R, class... A, R (*F)(A...)>
struct Guard<F> {
  static R call(A... args) noexcept { return detail::guarded_call<F, R, A...>(args...); }
};

template <class R, class... A, R (*F)(A...) noexcept>
struct Guard<F> {
  static R call(A... args) noexcept { return detail::guarded_call<F, R, A...>(args...); }
};

/// A PyMethodDef entry for a fast-call function with keywords, behind the guard.
template <auto F>
PyMethodDef fast_method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Guard<F>::call)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

/// A PyMethodDef entry for a METH_O or METH_NOARGS function, behind the guard.
template <auto F>
PyMethodDef plain_method(const char* name, int flags, const char* doc) {
  return {name, &Guard<F>::call, flags, doc};
}

}  // namespace brantoveil::api
