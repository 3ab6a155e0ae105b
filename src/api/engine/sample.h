// The EncodedSample type of brantoveil_tools._engine: one read sample, its blocks, reductions and exports.
#pragma once

#include <memory>

#include "api/module.h"
#include "api/pyref.h"
#include "distances/block.h"
#include "snapshot/encoded.h"

namespace brantoveil::api::engine {

/// What the engine module holds. `common` comes first so the shared intake finds the counter type.
struct EngineState {
  ModuleState common;  // progress_counter_type: brantoveil.ProgressCounter
  PyTypeObject* sample_type = nullptr;
  PyObject* decode = nullptr;  // the module's decode(), which unpickling calls
};

/// The engine module's state.
inline EngineState* engine_state(PyObject* module) { return static_cast<EngineState*>(PyModule_GetState(module)); }

/// A sample and its columns, fixed together for the sample's lifetime.
struct Engine {
  snapshot::EncodedSample sample;
  distances::SampleColumns columns;
};

/// Creates the EncodedSample type for `module`; nullptr with an exception set.
PyTypeObject* create_sample_type(PyObject* module);

/// A new EncodedSample owning `engine`; nullptr with an exception set.
PyObject* wrap_sample(PyObject* module, std::unique_ptr<Engine> engine);

}  // namespace brantoveil::api::engine
