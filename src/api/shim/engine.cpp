// brantoveil_tools._engine's own shared object: the module itself lives in brantoveil's library,
// reached through its capsule as one extension reaches another's C API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "api/capi.h"

PyMODINIT_FUNC PyInit__engine(void) {
  using brantoveil::api::EngineCapi;
  const auto* capi =
      static_cast<const EngineCapi*>(PyCapsule_Import(brantoveil::api::kEngineCapsuleName, 0));
  if (capi == nullptr) {
    // An older brantoveil without the capsule: say which build is missing, not which attribute.
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ImportError,
                      "brantoveil_tools._engine needs the brantoveil module it was built with (this one "
                      "offers no engine interface): reinstall brantoveil");
    }
    return nullptr;
  }
  if (capi->version != brantoveil::api::kEngineCapiVersion) {
    PyErr_Format(PyExc_ImportError,
                 "brantoveil_tools._engine was built for another brantoveil (engine interface %d, found %d)",
                 brantoveil::api::kEngineCapiVersion, capi->version);
    return nullptr;
  }
  return capi->init_engine();
}
