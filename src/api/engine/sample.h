// The EncodedSample type of brantoveil_tools._engine: one read sample, its blocks, reductions and exports.
#pragma once

#include <memory>
#include <optional>

#include "api/input.h"
#include "api/pyref.h"
#include "distances/block.h"
#include "snapshot/encoded.h"

namespace brantoveil::api::engine {

/// What the engine module holds.
struct EngineState {
  PyTypeObject* counter_type = nullptr;  // brantoveil.ProgressCounter
  PyTypeObject* sample_type = nullptr;
  PyObject* decode = nullptr;      // the module's decode(), which unpickling calls
  PyObject* tree_error = nullptr;  // the module's TreeError, a ValueError with the tree's place
  PyObject* sample_error = nullptr;  // the module's SampleError, TreeError's base: corrupt bytes
};

/// The engine module's state.
inline EngineState* engine_state(PyObject* module) { return static_cast<EngineState*>(PyModule_GetState(module)); }

/// How the engine's reading calls take their arguments: the public counter type, structured errors,
/// and the lock released while reading and computing.
inline IntakeOptions engine_intake(PyObject* module) {
  const EngineState* state = engine_state(module);
  return {state->counter_type, state->tree_error, Unlock::always};
}

/// A sample and its columns, fixed together for the sample's lifetime.
struct Engine {
  snapshot::EncodedSample sample;
  distances::SampleColumns columns;
};

/// Creates the EncodedSample type for `module`; nullptr with an exception set.
PyTypeObject* create_sample_type(PyObject* module);

/// A new EncodedSample owning `engine`; nullptr with an exception set.
PyObject* wrap_sample(PyObject* module, std::unique_ptr<Engine> engine);

/// The metric a name gives, for every call of the module: TypeError for a name that is no str,
/// ValueError for an unknown one.
std::optional<distances::BlockMetric> convert_metric(PyObject* object);

}  // namespace brantoveil::api::engine
