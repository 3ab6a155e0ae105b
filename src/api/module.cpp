// The module definition: multi-phase initialisation registering six functions and ProgressCounter, and
// the capsule of the companion's private module.
#include "api/module.h"

#include "api/capi.h"
#include "api/docs.h"
#include "api/engine/module.h"
#include "api/guard.h"
#include "api/progress.h"
#include "api/pairwise.h"

namespace brantoveil::api {

namespace {

template <auto F>
PyMethodDef function(const char* name, const char* doc) {
  return fast_method<F>(name, doc);
}

// Registration order is part of the module's face: it is the order of __all__.
PyMethodDef kFunctions[] = {
    function<pairwise_rf_from_newick_iter>("pairwise_rf_from_newick_iter", docs::kPairwiseRfFromNewickIter),
    function<pairwise_rf_with_snapshots_from_newick_iter>("pairwise_rf_with_snapshots_from_newick_iter",
                                                          docs::kPairwiseRfWithSnapshotsFromNewickIter),
    function<pairwise_wrf_with_snapshots_from_newick_iter>("pairwise_wrf_with_snapshots_from_newick_iter",
                                                           docs::kPairwiseWrfWithSnapshotsFromNewickIter),
    function<pairwise_kf_with_snapshots_from_newick_iter>("pairwise_kf_with_snapshots_from_newick_iter",
                                                          docs::kPairwiseKfWithSnapshotsFromNewickIter),
    function<pairwise_wrf_from_newick_iter>("pairwise_wrf_from_newick_iter", docs::kPairwiseWrfFromNewickIter),
    function<pairwise_kf_from_newick_iter>("pairwise_kf_from_newick_iter", docs::kPairwiseKfFromNewickIter),
};

// Sets module.<name> = value and appends name to __all__ (created on the first addition).
int add_member(PyObject* module, const char* name, PyObject* value) {
  if (PyObject_SetAttrString(module, name, value) < 0) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return -1;
  return PyList_Append(all.get(), text.get());
}

int exec_module_impl(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "brantoveil can only be executed on a module object");
    return -1;
  }
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& def : kFunctions) {
    PyRef callable = PyRef::steal(PyCFunction_NewEx(&def, module, module_name.get()));
    if (!callable || add_member(module, def.ml_name, callable.get()) < 0) return -1;
  }
  PyTypeObject* type = create_progress_counter_type(module);
  if (type == nullptr) return -1;
  module_state(module)->progress_counter_type = type;  // the state keeps this reference
  if (add_member(module, "ProgressCounter", reinterpret_cast<PyObject*>(type)) < 0) return -1;
  // Not a member of __all__: only the private module asks for it, by name.
  PyRef capsule = PyRef::steal(
      PyCapsule_New(const_cast<EngineCapi*>(&engine_capi()), kEngineCapsuleName, nullptr));
  if (!capsule) return -1;
  return PyModule_AddObjectRef(module, "_engine_capi", capsule.get());
}

int exec_module(PyObject* module) noexcept { return Guard<exec_module_impl>::call(module); }

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  if (state != nullptr) Py_VISIT(state->progress_counter_type);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = module_state(module);
  if (state != nullptr) Py_CLEAR(state->progress_counter_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

const char kModuleDoc[] = "Python module definition";

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // Nothing here relies on the GIL for safety: counters are atomics and calls share no state.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "brantoveil",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,
    kSlots,
    traverse_module,
    clear_module,
    free_module,
};

#if defined(PyMODEXPORT_FUNC) && defined(Py_mod_abi) && defined(Py_mod_name) && defined(Py_mod_state_size)
PyABIInfo_VAR(kAbiInfo);

PyModuleDef_Slot kExportSlots[] = {
    {Py_mod_abi, &kAbiInfo},
    {Py_mod_name, const_cast<char*>("brantoveil")},
    {Py_mod_doc, const_cast<char*>(kModuleDoc)},
    {Py_mod_state_size, reinterpret_cast<void*>(sizeof(ModuleState))},
    {Py_mod_state_traverse, reinterpret_cast<void*>(traverse_module)},
    {Py_mod_state_clear, reinterpret_cast<void*>(clear_module)},
    {Py_mod_state_free, reinterpret_cast<void*>(free_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};
#define BRANTOVEIL_HAS_EXPORT_HOOK 1
#endif

}  // namespace

}  // namespace brantoveil::api

PyMODINIT_FUNC PyInit_brantoveil(void) { return PyModuleDef_Init(&brantoveil::api::kModule); }

#ifdef BRANTOVEIL_HAS_EXPORT_HOOK
PyMODEXPORT_FUNC PyModExport_brantoveil(void) { return brantoveil::api::kExportSlots; }
#endif
