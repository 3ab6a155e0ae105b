// Signal checks for the core: the handlers run on the calling thread, under the lock.
#include "api/signals.h"

namespace brantoveil::api {

SignalCheck::SignalCheck() : main_thread_(_PyOS_IsMainThread() != 0) {}

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
