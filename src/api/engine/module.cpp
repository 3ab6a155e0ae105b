// brantoveil_tools._engine: the private module that encodes samples for tile-by-tile work and computes
// whole matrices for the companion, on the public module's runtime (it is built into its library).
#include "api/engine/module.h"

#include <array>
#include <memory>
#include <optional>

#include "api/bind.h"
#include "api/capi.h"
#include "api/engine/genes.h"
#include "api/engine/pairwise.h"
#include "api/engine/sample.h"
#include "api/errors.h"
#include "api/guard.h"
#include "api/input.h"
#include "api/progress.h"
#include "pool/pool.h"

namespace brantoveil::api::engine {

namespace {

constexpr std::array<const char*, 7> kEncodeParameters = {"names",  "newick_iter", "translate_maps", "map_indices",
                                                          "rooted", "lengths",     "progress"};

// encode(names, newick_iter, translate_maps, map_indices, rooted=False, lengths=False, progress=None):
// the public functions' intake and reading, with clades always kept for the exports.
PyObject* encode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kEncodeParameters.size()> bound{};
  if (!bind_arguments("encode()", kEncodeParameters, 4, args, nargs, kwnames, bound)) return nullptr;
  const std::array<PyObject*, 6> common = {bound[0], bound[1], bound[2], bound[3], bound[4], bound[6]};
  auto call = convert_call(engine_intake(module), common, bound[5]);
  if (!call) return nullptr;
  SignalCheck signals;
  auto set = collect_snapshots_from_iter(call->bundle, call->lengths, true, signals);
  if (!set) return nullptr;
  auto engine = std::make_unique<Engine>();
  {
    // Encoding and numbering the columns touch no Python object: other threads run meanwhile.
    ReleasedGil released;
    engine->sample = snapshot::EncodedSample::from_snapshots(std::move(*set), std::move(call->names),
                                                             call->bundle.rooted, call->lengths);
    set.reset();
    engine->columns = distances::sample_columns(engine->sample);
  }
  return wrap_sample(module, std::move(engine));
}

// decode(data): a sample from its byte form; SampleError (kind 'corrupt') for anything else.
PyObject* decode(PyObject* module, PyObject* data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  // The view keeps the bytes alive and in place while the lock is released.
  const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(view.buf),
                                            static_cast<std::size_t>(view.len));
  auto engine = std::make_unique<Engine>();
  std::optional<Error> failed;
  {
    ReleasedGil released;
    auto decoded = snapshot::EncodedSample::from_bytes(bytes);
    if (decoded.ok()) {
      engine->sample = std::move(decoded).value();
      engine->columns = distances::sample_columns(engine->sample);
    } else {
      failed = std::move(decoded).take_error();
    }
  }
  PyBuffer_Release(&view);
  if (failed) return raise_reading_error(*failed, engine_state(module)->sample_error);
  return wrap_sample(module, std::move(engine));
}

// set_threads(n): the size the worker pool starts with; False when it already runs with another.
PyObject* set_threads(PyObject*, PyObject* count) {
  PyRef index = PyRef::steal(PyNumber_Index(count));
  if (!index) return nullptr;
  const Py_ssize_t value = PyLong_AsSsize_t(index.get());
  if (value == -1 && PyErr_Occurred()) return nullptr;
  if (value < 1 || value > 4096) {
    PyErr_Format(PyExc_ValueError, "the thread count must lie between 1 and 4096, not %zd", value);
    return nullptr;
  }
  return PyBool_FromLong(pool::set_global_threads(static_cast<std::size_t>(value)));
}

// pool_threads(): the worker pool's size, or the one it will start with.
PyObject* pool_threads(PyObject*, PyObject*) { return PyLong_FromSize_t(pool::global_threads()); }

PyMethodDef kFunctions[] = {
    fast_method<encode>(
        "encode",
        "encode(names, newick_iter, translate_maps, map_indices, rooted=False, lengths=False, progress=None)\n--\n\n"
        "Reads the trees once into an EncodedSample; lengths=True keeps branch lengths for 'wrf' and 'kf'."),
    plain_method<decode>("decode", METH_O, "decode(data, /)\n--\n\nThe EncodedSample of a to_bytes() result."),
    fast_method<pairwise>(
        "pairwise",
        "pairwise(metric, names, newick_iter, translate_maps, map_indices, rooted=False, progress=None, "
        "exports=False)\n--\n\n"
        "The whole matrix of one metric as bytes ('<u4' rf, '<f8' otherwise): (names, matrix), or with\n"
        "exports=True the six-tuple of the public exporting functions. The interpreter lock is released\n"
        "while distances and exports are computed, with or without a counter."),
    fast_method<genes>(
        "genes",
        "genes(metric, names, newick_iter, translate_maps, map_indices, rooted=False, progress=None, keep=None, "
        "reference=False, leave_same_taxa=False)\n--\n\n"
        "Distances between trees that each hold their own taxa, on the taxa each pair shares (cut to the\n"
        "taxa of keep: 'common' or a list of names): (taxa, presence, matrix), presence bytes '<u1' trees x taxa,\n"
        "matrix a bytearray '<f4' rf or '<f8' otherwise, n x n, or with reference=True the last tree against the others;\n"
        "leave_same_taxa=True leaves pairs of distinct trees holding the same taxa as 0, for pairwise() to fill."),
    plain_method<set_threads>("set_threads", METH_O,
                              "set_threads(n, /)\n--\n\nThe worker pool's size when it starts; False when it "
                              "already runs with another size."),
    plain_method<pool_threads>("pool_threads", METH_NOARGS,
                               "pool_threads()\n--\n\nThe worker pool's size, or the one it will start with."),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module_impl(PyObject* module) {
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
  state->counter_type = reinterpret_cast<PyTypeObject*>(counter_type.release());
  state->sample_error = new_sample_error_type("brantoveil_tools._engine.SampleError");
  if (state->sample_error == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "SampleError", state->sample_error) < 0) return -1;
  state->tree_error = new_tree_error_type("brantoveil_tools._engine.TreeError", state->sample_error);
  if (state->tree_error == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "TreeError", state->tree_error) < 0) return -1;
  PyTypeObject* sample_type = create_sample_type(module);
  if (sample_type == nullptr) return -1;
  state->sample_type = sample_type;
  if (PyModule_AddObjectRef(module, "EncodedSample", reinterpret_cast<PyObject*>(sample_type)) < 0) return -1;
  if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
  state->decode = PyObject_GetAttrString(module, "decode");
  return state->decode == nullptr ? -1 : 0;
}

int exec_module(PyObject* module) noexcept { return Guard<exec_module_impl>::call(module); }

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  EngineState* state = engine_state(module);
  if (state != nullptr) {
    Py_VISIT(state->counter_type);
    Py_VISIT(state->sample_type);
    Py_VISIT(state->decode);
    Py_VISIT(state->tree_error);
    Py_VISIT(state->sample_error);
  }
  return 0;
}

int clear_module(PyObject* module) {
  EngineState* state = engine_state(module);
  if (state != nullptr) {
    Py_CLEAR(state->counter_type);
    Py_CLEAR(state->sample_type);
    Py_CLEAR(state->decode);
    Py_CLEAR(state->tree_error);
    Py_CLEAR(state->sample_error);
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

const EngineCapi kCapi = {kEngineCapiVersion, &init_module};

}  // namespace

PyObject* init_module() { return PyModuleDef_Init(&kModule); }

}  // namespace brantoveil::api::engine

namespace brantoveil::api {

const EngineCapi& engine_capi() { return engine::kCapi; }

}  // namespace brantoveil::api
