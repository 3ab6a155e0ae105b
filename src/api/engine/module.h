// The companion's private module, built into the public module's library and handed out by its capsule.
#pragma once

#include "api/pyref.h"

namespace brantoveil::api::engine {

/// What `PyInit__engine` returns: the private module's definition, for multi-phase initialisation.
PyObject* init_module();

}  // namespace brantoveil::api::engine
