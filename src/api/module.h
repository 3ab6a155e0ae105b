// Per-module state: the Python objects the module owns.
#pragma once

#include "api/input.h"
#include "api/pyref.h"

namespace brantoveil::api {

/// What one module object holds.
struct ModuleState {
  PyTypeObject* progress_counter_type = nullptr;
};

/// The state of a module object created from this module's definition.
inline ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

/// How the public module's functions take their arguments: its own counter type, plain ValueError.
inline IntakeOptions public_intake(PyObject* module) {
  return {module_state(module)->progress_counter_type, nullptr, Unlock::with_counter};
}

}  // namespace brantoveil::api
