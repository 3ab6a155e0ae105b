// The capsule through which the companion's private module reaches this module's runtime.
#pragma once

#include "api/pyref.h"

namespace brantoveil::api {

/// Where the capsule lives: attribute `_engine_capi` of the module `brantoveil`.
inline constexpr char kEngineCapsuleName[] = "brantoveil._engine_capi";
/// Raised whenever the table below changes shape.
inline constexpr int kEngineCapiVersion = 1;

/// What the capsule holds. The private module is built into this module's library, so one
/// process has one worker pool, one counter type and one error policy; its own shared object
/// only asks for it here.
struct EngineCapi {
  int version;
  /// The private module's `PyInit` result (a module definition for multi-phase initialisation).
  PyObject* (*init_engine)();
};

/// The table, for the capsule.
const EngineCapi& engine_capi();

}  // namespace brantoveil::api
