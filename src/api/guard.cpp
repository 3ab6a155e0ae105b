// The translation of C++ exceptions into Python ones, shared by every guarded entry point.
#include "api/guard.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind, libstdc++ only
#endif
#include <exception>
#include <new>
#include <stdexcept>

#include "api/lock.h"

namespace brantoveil::api {

void set_error_from_current_exception() noexcept {
  try {
    throw;
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    // A finalising interpreter ends a thread that asks for the lock (while running Python code
    // inside a call: an iterator, a finaliser) by unwinding it. No frame here may pass that on.
    park_thread();
#endif
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than it can ever hold: a size beyond any memory.
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    // Starting the pool's threads can fail when the system is out of them.
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: an unknown exception left the engine");
  }
}

}  // namespace brantoveil::api
