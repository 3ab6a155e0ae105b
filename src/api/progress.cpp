// The ProgressCounter type: lock-free reads of the shared value and total cells.
#include "api/progress.h"

#include <new>

#include "api/bind.h"
#include "api/guard.h"

namespace brantoveil::api {

namespace {

ProgressCounterObject* as_counter(PyObject* self) { return reinterpret_cast<ProgressCounterObject*>(self); }

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!bind_no_arguments("ProgressCounter.__new__()", args, kwargs)) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* counter = as_counter(self);
  new (&counter->value) std::shared_ptr<CounterCell>(std::make_shared<CounterCell>(0));
  new (&counter->total) std::shared_ptr<CounterCell>(std::make_shared<CounterCell>(0));
  return self;
}

int counter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int counter_clear(PyObject*) { return 0; }

void counter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* counter = as_counter(self);
  counter->value.~shared_ptr();
  counter->total.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* counter_value(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(as_counter(self)->value->load(std::memory_order_relaxed));
}

PyObject* counter_total(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(as_counter(self)->total->load(std::memory_order_relaxed));
}

PyObject* counter_fraction(PyObject* self, PyObject*) {
  const std::uint64_t value = as_counter(self)->value->load(std::memory_order_relaxed);
  const std::uint64_t total = as_counter(self)->total->load(std::memory_order_relaxed);
  if (total == 0) return PyFloat_FromDouble(0.0);
  const double quotient = static_cast<double>(value) / static_cast<double>(total);
  return PyFloat_FromDouble(quotient > 1.0 ? 1.0 : quotient);
}

PyObject* counter_reset(PyObject* self, PyObject*) {
  as_counter(self)->value->store(0, std::memory_order_relaxed);
  as_counter(self)->total->store(0, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyObject* counter_repr(PyObject* self) {
  const unsigned long long value = as_counter(self)->value->load(std::memory_order_relaxed);
  const unsigned long long total = as_counter(self)->total->load(std::memory_order_relaxed);
  return PyUnicode_FromFormat("ProgressCounter(value=%llu, total=%llu)", value, total);
}

const char kClassDoc[] =
    "ProgressCounter()\n"
    "--\n"
    "\n"
    "Thread-safe pair-completion counter that Python code can read on its own\n"
    "schedule while a native pairwise computation runs in another thread.\n"
    "\n"
    "Construct with `brantoveil.ProgressCounter()`, pass to any of the\n"
    "`pairwise_*_from_newick_iter` functions as `progress=...`. The function\n"
    "(a) resets the counter and sets its `total` to `n*(n-1)/2` at entry,\n"
    "(b) atomically increments it as pool workers finish rows, and\n"
    "(c) releases the GIL while the parallel loop runs so a polling Python thread\n"
    "can keep reading the counter.\n"
    "\n"
    "Reading is lock-free: `.value()` is a single atomic load (~1 ns).";

PyMethodDef kMethods[] = {
    {"value", counter_value, METH_NOARGS,
     "value($self)\n--\n\nPairs completed so far (lock-free atomic load)."},
    {"total", counter_total, METH_NOARGS,
     "total($self)\n--\n\nTotal pairs the in-flight call will compute (``n*(n-1)/2``), or ``0``\n"
     "before any call has started."},
    {"fraction", counter_fraction, METH_NOARGS,
     "fraction($self)\n--\n\n``value() / total()`` clamped to ``[0.0, 1.0]``. Returns ``0.0`` if\n"
     "no call has started yet (``total == 0``)."},
    {"reset", counter_reset, METH_NOARGS,
     "reset($self)\n--\n\nReset `value` and `total` to ``0``. Called automatically at the start\n"
     "of every pairwise call that takes this counter; exposed so consumers\n"
     "can also reset between manual runs."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(Guard<counter_new>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(counter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(counter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(counter_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(counter_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "brantoveil.ProgressCounter",
    sizeof(ProgressCounterObject),
    0,
    // Neither BASETYPE (no subclasses) nor a dict or weakref slot.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyTypeObject* create_progress_counter_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
}

}  // namespace brantoveil::api
