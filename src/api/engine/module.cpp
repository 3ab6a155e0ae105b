// brantoveil_tools._engine: the private module that encodes samples for tile-by-tile work.
#include <memory>

#include "api/engine/sample.h"
#include "api/input.h"

namespace brantoveil::api::engine {

namespace {

// encode(names, newick_iter, translate_maps, map_indices, rooted=False, lengths=False, progress=None):
// the public functions' intake and reading, with clades always kept for the exports.
PyObject* encode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  auto call = intake_encode("encode()", module, args, nargs, kwnames);
  if (!call) return nullptr;
  SignalCheck signals;
  auto set = collect_snapshots_from_iter(call->bundle, call->lengths, true, signals);
  if (!set) return nullptr;
  auto engine = std::make_unique<Engine>();
  engine->sample = snapshot::EncodedSample::from_snapshots(std::move(*set), std::move(call->names),
                                                           call->bundle.rooted, call->lengths);
  set.reset();
  engine->columns = distances::sample_columns(engine->sample);
  return wrap_sample(module, std::move(engine));
}

// decode(data): a sample from its byte form; ValueError for anything else.
PyObject* decode(PyObject* module, PyObject* data) noexcept {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  auto decoded = snapshot::EncodedSample::from_bytes(
      std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)));
  PyBuffer_Release(&view);
  if (!decoded.ok()) return raise(PyExc_ValueError, decoded.error());
  auto engine = std::make_unique<Engine>();
  engine->sample = std::move(decoded).value();
  engine->columns = distances::sample_columns(engine->sample);
  return wrap_sample(module, std::move(engine));
}

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept>
PyObject* fast_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return F(module, args, nargs, kwnames);
}

template <PyObject* (*F)(PyObject*, PyObject*) noexcept>
PyObject* one_argument(PyObject* module, PyObject* arg) {
  return F(module, arg);
}

PyMethodDef kFunctions[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_call<encode>)),
     METH_FASTCALL | METH_KEYWORDS,
     "encode(names, newick_iter, translate_maps, map_indices, rooted=False, lengths=False, progress=None)\n--\n\n"
     "Reads the trees once into an EncodedSample; lengths=True keeps branch lengths for 'wrf' and 'kf'."},
    {"decode", one_argument<decode>, METH_O, "decode(data, /)\n--\n\nThe EncodedSample of a to_bytes() result."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
  EngineState* state = engine_state(module);
  // Progress arguments are the public module's counters, so one counter serves both modules.
  PyRef brantoveil = PyRef::steal(PyImport_ImportModule("brantoveil"));
  if (!brantoveil) return -1;
  PyRef counter_type = PyRef::steal(PyObject_GetAttrString(brantoveil.get(), "ProgressCounter"));
  if (!counter_type) return -1;
  if (!PyType_Check(counter_type.get())) {
    PyErr_SetString(PyExc_TypeError, "brantoveil.ProgressCounter is not a type");
    return -1;
  }
  state->common.progress_counter_type = reinterpret_cast<PyTypeObject*>(counter_type.release());
  PyTypeObject* sample_type = create_sample_type(module);
  if (sample_type == nullptr) return -1;
  state->sample_type = sample_type;
  if (PyModule_AddObjectRef(module, "EncodedSample", reinterpret_cast<PyObject*>(sample_type)) < 0) return -1;
  if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
  state->decode = PyObject_GetAttrString(module, "decode");
  return state->decode == nullptr ? -1 : 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  EngineState* state = engine_state(module);
  if (state != nullptr) {
    Py_VISIT(state->common.progress_counter_type);
    Py_VISIT(state->sample_type);
    Py_VISIT(state->decode);
  }
  return 0;
}

int clear_module(PyObject* module) {
  EngineState* state = engine_state(module);
  if (state != nullptr) {
    Py_CLEAR(state->common.progress_counter_type);
    Py_CLEAR(state->sample_type);
    Py_CLEAR(state->decode);
  }
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "brantoveil_tools._engine",
    "Encoded samples and their distance blocks, for computing matrices tile by tile.",
    sizeof(EngineState),
    nullptr,
    kSlots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace brantoveil::api::engine

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&brantoveil::api::engine::kModule); }
