// Signal checks for the core: the handlers run on the calling thread, under the lock.
#include "api/signals.h"

namespace brantoveil::api {

namespace {

// Whether the calling thread is the main thread, the only one that runs signal handlers. Asked
// through `threading`, as the interpreter's own test is not public on every version. When the
// answer is unknown the check stays off: retaking the lock off the main thread gains nothing.
bool on_main_thread() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
  PyRef ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
  const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return ident && value == PyThread_get_thread_ident();
}

}  // namespace

SignalCheck::SignalCheck() : main_thread_(on_main_thread()) {}

bool SignalCheck::stop_requested() {
  if (!main_thread_) return false;
  // Ensure/Release retake and release the lock only when the call had released it.
  const PyGILState_STATE gil = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() < 0;
  if (raised) error_ = SavedError::fetch();
  PyGILState_Release(gil);
  return raised;
}

bool SignalCheck::raise_if_stopped() {
  if (!pool::stopped()) return false;
  error_.restore();
  return true;
}

}  // namespace brantoveil::api
