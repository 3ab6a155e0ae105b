// EncodedSample: argument intake for blocks and reductions, results as little-endian bytes, pickling.
#include "api/engine/sample.h"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "api/bind.h"
#include "api/convert.h"
#include "api/guard.h"
#include "api/progress.h"
#include "api/signals.h"

namespace brantoveil::api::engine {

namespace {

using distances::BlockMetric;

struct SampleObject {
  PyObject_HEAD
  Engine* engine;
};

const Engine& engine_of(PyObject* self) { return *reinterpret_cast<SampleObject*>(self)->engine; }
const snapshot::EncodedSample& sample_of(PyObject* self) { return engine_of(self).sample; }

// Intake -------------------------------------------------------------------------------------

// A metric the sample can answer: weighted ones need lengths.
std::optional<BlockMetric> convert_sample_metric(PyObject* object, const snapshot::EncodedSample& sample) {
  const std::optional<BlockMetric> metric = convert_metric(object);
  if (metric && *metric != BlockMetric::rf && !sample.has_lengths) {
    PyErr_Format(PyExc_ValueError, "metric %R needs a sample encoded with lengths=True", object);
    return std::nullopt;
  }
  return metric;
}

bool out_of_range(const char* what, long long index, std::size_t n) {
  PyErr_Format(PyExc_ValueError, "%s index %lld is out of range for %zu trees", what, index, n);
  return false;
}

// An 8-byte signed integer buffer format, whatever its byte-order prefix on this little-endian host.
bool is_int64_format(const char* format, Py_ssize_t itemsize) {
  if (itemsize != 8 || format == nullptr) return false;
  if (*format == '<' || *format == '=' || *format == '@') ++format;
  return (std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0) && std::endian::native == std::endian::little;
}

// Tree indices from a range of step 1, an int64 buffer (read in place), or any sequence of ints.
bool convert_indices(PyObject* object, const char* what, std::size_t n, std::vector<std::uint64_t>& out) {
  if (PyRange_Check(object)) {
    long long bounds[3];
    const char* names[3] = {"start", "stop", "step"};
    for (int i = 0; i < 3; ++i) {
      PyRef value = PyRef::steal(PyObject_GetAttrString(object, names[i]));
      if (!value) return false;
      bounds[i] = PyLong_AsLongLong(value.get());
      if (bounds[i] == -1 && PyErr_Occurred()) return false;
    }
    if (bounds[2] != 1) {
      PyErr_Format(PyExc_ValueError, "%s must be a range with step 1", what);
      return false;
    }
    if (bounds[1] <= bounds[0]) return true;
    if (bounds[0] < 0) return out_of_range(what, bounds[0], n);
    if (static_cast<unsigned long long>(bounds[1]) > n) return out_of_range(what, bounds[1] - 1, n);
    out.resize(static_cast<std::size_t>(bounds[1] - bounds[0]));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint64_t>(bounds[0]) + i;
    return true;
  }
  if (PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be a range or a sequence of tree indices, not 'str'", what);
    return false;
  }
  if (PyObject_CheckBuffer(object)) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) == 0) {
      const bool direct = view.ndim == 1 && is_int64_format(view.format, view.itemsize);
      if (direct) {
        out.resize(static_cast<std::size_t>(view.shape[0]));
        const char* at = static_cast<const char*>(view.buf);
        for (std::size_t i = 0; i < out.size(); ++i, at += view.strides[0]) {
          long long index;
          std::memcpy(&index, at, sizeof index);
          if (index < 0 || static_cast<unsigned long long>(index) >= n) {
            PyBuffer_Release(&view);
            return out_of_range(what, index, n);
          }
          out[i] = static_cast<std::uint64_t>(index);
        }
      }
      const int ndim = view.ndim;
      PyBuffer_Release(&view);
      if (direct) return true;
      if (ndim != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be one-dimensional", what);
        return false;
      }
    } else {
      PyErr_Clear();  // not readable as a strided buffer: try it as a sequence
    }
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) {
    PyErr_Format(PyExc_TypeError, "%s must be a range or a sequence of tree indices, not '%s'", what,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyRef index = PyRef::steal(PyNumber_Index(item.get()));
    if (!index) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || static_cast<unsigned long long>(value) >= n) {
      return out_of_range(what, overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : value, n);
    }
    out.push_back(static_cast<std::uint64_t>(value));
  }
  return !PyErr_Occurred();
}

// The counter's shared cell, or null for None / absent.
bool convert_progress(PyObject* self, PyObject* object, std::shared_ptr<CounterCell>& out) {
  if (object == nullptr || object == Py_None) return true;
  PyObject* module = PyType_GetModule(Py_TYPE(self));
  if (module == nullptr) return false;
  PyTypeObject* counter_type = engine_state(module)->counter_type;
  if (!PyObject_TypeCheck(object, counter_type)) {
    PyErr_Format(PyExc_TypeError, "progress must be a brantoveil.ProgressCounter or None, not '%s'",
                 Py_TYPE(object)->tp_name);
    return false;
  }
  out = reinterpret_cast<ProgressCounterObject*>(object)->value;
  return true;
}

constexpr std::size_t kMaxBinEdges = std::size_t{1} << 20;

bool convert_bins(PyObject* object, std::vector<double>& out) {
  if (object == nullptr || object == Py_None) return true;
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (out.size() > kMaxBinEdges) break;
    const double edge = PyFloat_AsDouble(item.get());
    if (edge == -1.0 && PyErr_Occurred()) return false;
    out.push_back(edge);
  }
  if (PyErr_Occurred()) return false;
  if (out.size() < 2) {
    PyErr_SetString(PyExc_ValueError, "bins must hold at least two edges");
    return false;
  }
  // Every row chunk keeps a count per bin while it runs.
  if (out.size() > kMaxBinEdges) {
    PyErr_Format(PyExc_ValueError, "bins must hold at most %zu edges", kMaxBinEdges);
    return false;
  }
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] != out[i] || (i > 0 && out[i - 1] > out[i])) {
      PyErr_SetString(PyExc_ValueError, "bins must increase monotonically");
      return false;
    }
  }
  return true;
}

// Methods ------------------------------------------------------------------------------------

// Whether a buffer format names native elements of T ('I' for u4, 'd' for f8), any byte-order prefix
// meaning the same on this little-endian host.
template <class T>
bool is_element_format(const char* format) {
  if (format == nullptr || std::endian::native != std::endian::little) return false;
  if (*format == '<' || *format == '=' || *format == '@') ++format;
  return std::strcmp(format, std::is_same_v<T, double> ? "d" : "I") == 0;
}

// A caller's array as the block's destination: rows x cols elements of T with contiguous rows
// (2-D, any row stride) or rows * cols contiguous elements (1-D).
template <class T>
bool destination(Py_buffer& view, std::size_t rows, std::size_t cols, distances::CellRows<T>& out) {
  const auto item = static_cast<Py_ssize_t>(sizeof(T));
  bool fits = view.itemsize == item && is_element_format<T>(view.format);
  if (fits && view.ndim == 2) {
    fits = static_cast<std::size_t>(view.shape[0]) == rows && static_cast<std::size_t>(view.shape[1]) == cols &&
           (cols <= 1 || view.strides[1] == item) &&
           (rows <= 1 || (view.strides[0] % item == 0 && view.strides[0] / item >= static_cast<Py_ssize_t>(cols)));
    out = {static_cast<T*>(view.buf), rows <= 1 ? cols : static_cast<std::size_t>(view.strides[0] / item)};
  } else if (fits && view.ndim == 1) {
    fits = static_cast<std::size_t>(view.shape[0]) == rows * cols && (rows * cols <= 1 || view.strides[0] == item);
    out = {static_cast<T*>(view.buf), cols};
  } else {
    fits = false;
  }
  if (!fits) {
    PyErr_Format(PyExc_ValueError, "out must be a writable %zu x %zu array of %s with contiguous rows", rows, cols,
                 std::is_same_v<T, double> ? "float64" : "uint32");
  }
  return fits;
}

// NULL with the exception of a signal handler that ended the call.
PyObject* stopped_call(SignalCheck& signals) {
  if (!signals.raise_if_stopped()) PyErr_SetString(PyExc_RuntimeError, "the distance computation was stopped");
  return nullptr;
}

// Computes the block into `out` when given (returning None), else into new bytes; `compute` is
// false when a signal ended it.
template <class T, class Compute>
PyObject* block_into(PyObject* out, std::size_t rows, std::size_t cols, const std::shared_ptr<CounterCell>& counter,
                     Compute&& compute) {
  SignalCheck signals;
  bool done = false;
  if (out != nullptr && out != Py_None) {
    Py_buffer view;
    if (PyObject_GetBuffer(out, &view, PyBUF_RECORDS) < 0) return nullptr;
    distances::CellRows<T> cells{};
    const bool fits = destination<T>(view, rows, cols, cells);
    if (fits) {
      ReleasedGil released;
      done = compute(cells, counter.get());
    }
    PyBuffer_Release(&view);
    if (!fits) return nullptr;
    if (!done) return stopped_call(signals);
    Py_RETURN_NONE;
  }
  PyRef bytes = PyRef::steal(new_bytes_for<T>(rows * cols));
  if (!bytes) return nullptr;
  const std::span<T> values = elements_of<T>(bytes.get());
  {
    ReleasedGil released;
    done = compute(distances::CellRows<T>{values.data(), cols}, counter.get());
  }
  if (!done) return stopped_call(signals);
  to_little_endian(values);
  return bytes.release();
}

// The first three arguments of `block` and `block_reduce`: the metric, then the row and column
// indices; nothing with an exception set.
struct BlockArgs {
  BlockMetric metric;
  std::vector<std::uint64_t> rows;
  std::vector<std::uint64_t> cols;
};

std::optional<BlockArgs> convert_block_args(const Engine& engine, PyObject* const* bound) {
  const std::size_t n = engine.sample.size();
  const auto metric = convert_sample_metric(bound[0], engine.sample);
  if (!metric) return std::nullopt;
  BlockArgs block{*metric, {}, {}};
  if (!convert_indices(bound[1], "rows", n, block.rows) || !convert_indices(bound[2], "cols", n, block.cols)) {
    return std::nullopt;
  }
  return block;
}

constexpr std::array<const char*, 5> kBlockParameters = {"metric", "rows", "cols", "progress", "out"};

PyObject* sample_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kBlockParameters.size()> bound{};
  if (!bind_arguments("block()", kBlockParameters, 3, args, nargs, kwnames, bound)) return nullptr;
  const Engine& engine = engine_of(self);
  auto block = convert_block_args(engine, bound.data());
  if (!block) return nullptr;
  const BlockMetric metric = block->metric;
  const std::vector<std::uint64_t>& rows = block->rows;
  const std::vector<std::uint64_t>& cols = block->cols;
  std::shared_ptr<CounterCell> counter;
  if (!convert_progress(self, bound[3], counter)) return nullptr;
  std::size_t cells = 0;
  if (__builtin_mul_overflow(rows.size(), cols.size(), &cells)) return PyErr_NoMemory();

  if (metric == BlockMetric::rf) {
    return block_into<std::uint32_t>(bound[4], rows.size(), cols.size(), counter,
                                     [&](distances::CellRows<std::uint32_t> into, CounterCell* cell) {
                                       return distances::block_rf(engine.sample, engine.columns, rows, cols, into,
                                                                  cell);
                                     });
  }
  return block_into<double>(bound[4], rows.size(), cols.size(), counter,
                            [&](distances::CellRows<double> into, CounterCell* cell) {
                              return distances::block_weighted(metric, engine.sample, engine.columns, rows, cols,
                                                               into, cell);
                            });
}

constexpr std::size_t kMaxNearestCells = std::size_t{1} << 32;

constexpr std::array<const char*, 6> kReduceParameters = {"metric", "rows", "cols", "k", "bins", "progress"};

PyObject* sample_block_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kReduceParameters.size()> bound{};
  if (!bind_arguments("block_reduce()", kReduceParameters, 3, args, nargs, kwnames, bound)) return nullptr;
  const Engine& engine = engine_of(self);
  auto block = convert_block_args(engine, bound.data());
  if (!block) return nullptr;
  const BlockMetric metric = block->metric;
  const std::vector<std::uint64_t>& rows = block->rows;
  const std::vector<std::uint64_t>& cols = block->cols;
  std::size_t k = 0;
  if (bound[3] != nullptr) {
    PyRef index = PyRef::steal(PyNumber_Index(bound[3]));
    if (!index) return nullptr;
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 0) {
      PyErr_SetString(PyExc_ValueError, "k must not be negative");
      return nullptr;
    }
    k = static_cast<std::size_t>(value);
  }
  std::vector<double> bins;
  if (!convert_bins(bound[4], bins)) return nullptr;
  std::shared_ptr<CounterCell> counter;
  if (!convert_progress(self, bound[5], counter)) return nullptr;
  // The k nearest are held for every row at once; a table past this is no sensible request.
  std::size_t knn_cells = 0;
  if (__builtin_mul_overflow(rows.size(), k, &knn_cells) || knn_cells > kMaxNearestCells) {
    PyErr_Format(PyExc_ValueError, "k = %zu nearest trees for %zu rows is too many (at most %zu in all)", k,
                 rows.size(), kMaxNearestCells);
    return nullptr;
  }

  SignalCheck signals;
  std::optional<distances::Reductions> reduced;
  {
    ReleasedGil released;
    reduced = distances::block_reduce(metric, engine.sample, engine.columns, rows, cols,
                                      distances::ReduceRequest{k, bins}, counter.get());
  }
  if (!reduced) return stopped_call(signals);
  const distances::Reductions& reductions = *reduced;
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  const auto put = [&](const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(result.get(), key, owned.get()) == 0;
  };
  if (!put("sums", little_endian_bytes(std::span<const double>(reductions.sums)))) return nullptr;
  if (k > 0) {
    if (!put("knn_index", little_endian_bytes(std::span<const std::int64_t>(reductions.knn_index))) ||
        !put("knn_distance", little_endian_bytes(std::span<const double>(reductions.knn_distance)))) {
      return nullptr;
    }
  }
  if (!bins.empty() && !put("histogram", little_endian_bytes(std::span<const std::int64_t>(reductions.histogram)))) {
    return nullptr;
  }
  return result.release();
}

PyObject* sample_presence_csr(PyObject* self, PyObject*) {
  const snapshot::EncodedSample& sample = sample_of(self);
  PyRef indptr = PyRef::steal(little_endian_bytes(std::span<const std::uint64_t>(sample.offsets)));
  if (!indptr) return nullptr;
  PyRef indices = PyRef::steal(little_endian_bytes(std::span<const std::uint32_t>(sample.ids)));
  if (!indices) return nullptr;
  PyRef lengths = sample.has_lengths ? PyRef::steal(little_endian_bytes(std::span<const double>(sample.lengths)))
                                     : PyRef::borrow(Py_None);
  if (!lengths) return nullptr;
  return PyTuple_Pack(3, indptr.get(), indices.get(), lengths.get());
}

PyObject* sample_clade_bytes(PyObject* self, PyObject*) {
  return little_endian_bytes(std::span<const std::uint8_t>(sample_of(self).clades));
}

PyObject* sample_split_supports(PyObject* self, PyObject*) {
  return little_endian_bytes(std::span<const std::uint32_t>(sample_of(self).supports));
}

PyObject* sample_to_bytes(PyObject* self, PyObject*) {
  std::vector<std::uint8_t> bytes;
  {
    // The sample is immutable, so serialising it needs no lock.
    ReleasedGil released;
    bytes = sample_of(self).to_bytes();
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

// Unpickling calls the module's decode() with the byte form.
PyObject* sample_reduce(PyObject* self, PyObject*) {
  PyObject* module = PyType_GetModule(Py_TYPE(self));
  if (module == nullptr) return nullptr;
  PyRef bytes = PyRef::steal(sample_to_bytes(self, nullptr));
  if (!bytes) return nullptr;
  return Py_BuildValue("O(O)", engine_state(module)->decode, bytes.get());
}

// Properties --------------------------------------------------------------------------------

PyObject* get_n_trees(PyObject* self, void*) { return PyLong_FromSize_t(sample_of(self).size()); }
PyObject* get_n_leaves(PyObject* self, void*) { return PyLong_FromSize_t(sample_of(self).n_leaves()); }
PyObject* get_n_splits(PyObject* self, void*) { return PyLong_FromSize_t(sample_of(self).n_splits()); }
PyObject* get_rooted(PyObject* self, void*) { return PyBool_FromLong(sample_of(self).rooted); }
PyObject* get_has_lengths(PyObject* self, void*) { return PyBool_FromLong(sample_of(self).has_lengths); }
PyObject* get_names(PyObject* self, void*) { return string_list(sample_of(self).names); }
PyObject* get_leaf_names(PyObject* self, void*) { return string_list(sample_of(self).leaf_names); }

PyObject* sample_repr(PyObject* self) {
  const snapshot::EncodedSample& sample = sample_of(self);
  return PyUnicode_FromFormat("EncodedSample(n_trees=%zu, n_leaves=%zu, n_splits=%zu, rooted=%s, has_lengths=%s)",
                              sample.size(), sample.n_leaves(), sample.n_splits(), sample.rooted ? "True" : "False",
                              sample.has_lengths ? "True" : "False");
}

void sample_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<SampleObject*>(self)->engine;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    fast_method<sample_block>(
     "block", "block($self, metric, rows, cols, progress=None, out=None)\n--\n\n"
     "Distances of the row trees to the column trees, row-major bytes ('<u4' for rf, '<f8' otherwise),\n"
     "or written into the writable array `out` (returning None)."),
    fast_method<sample_block_reduce>("block_reduce",
     "block_reduce($self, metric, rows, cols, k=0, bins=None, progress=None)\n--\n\n"
     "Row sums, k nearest columns and a histogram of a block, without holding the block."),
    plain_method<sample_presence_csr>("presence_csr", METH_NOARGS,
     "presence_csr($self)\n--\n\nPer tree its sorted non-pendant split IDs: (indptr '<i8', indices '<u4', "
     "lengths '<f8' or None)."),
    plain_method<sample_clade_bytes>("clade_bytes", METH_NOARGS,
     "clade_bytes($self)\n--\n\nLeaf membership of every split ID, ceil(n_leaves / 8) bytes each."),
    plain_method<sample_split_supports>("split_supports", METH_NOARGS,
     "split_supports($self)\n--\n\nTrees holding each split ID, '<u4'."),
    plain_method<sample_to_bytes>("to_bytes", METH_NOARGS,
     "to_bytes($self)\n--\n\nThe versioned byte form that decode() reads back."),
    plain_method<sample_reduce>("__reduce__", METH_NOARGS, "Pickles through the byte form."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"n_trees", Guard<get_n_trees>::call, nullptr, "Number of trees.", nullptr},
    {"n_leaves", Guard<get_n_leaves>::call, nullptr, "Number of leaves.", nullptr},
    {"n_splits", Guard<get_n_splits>::call, nullptr, "Number of split IDs, pendant splits included.", nullptr},
    {"rooted", Guard<get_rooted>::call, nullptr, "Whether splits are clades.", nullptr},
    {"has_lengths", Guard<get_has_lengths>::call, nullptr, "Whether branch lengths were kept.", nullptr},
    {"names", Guard<get_names>::call, nullptr, "Tree names.", nullptr},
    {"leaf_names", Guard<get_leaf_names>::call, nullptr, "Sorted leaf names.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kClassDoc[] =
    "An immutable sample of trees read once: blocks of its distance matrices, reductions, exports.\n\n"
    "Made by brantoveil_tools._engine.encode() or decode(); pickles through its byte form.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sample_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Guard<sample_repr>::call)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "brantoveil_tools._engine.EncodedSample",
    sizeof(SampleObject),
    0,
    // Holds no Python objects, so it needs no garbage-collector support.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

std::optional<BlockMetric> convert_metric(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "metric must be a str, not '%s'", Py_TYPE(object)->tp_name);
    return std::nullopt;
  }
  if (PyUnicode_CompareWithASCIIString(object, "rf") == 0) return BlockMetric::rf;
  if (PyUnicode_CompareWithASCIIString(object, "wrf") == 0) return BlockMetric::wrf;
  if (PyUnicode_CompareWithASCIIString(object, "kf") == 0) return BlockMetric::kf;
  PyErr_Format(PyExc_ValueError, "metric must be 'rf', 'wrf' or 'kf', not %R", object);
  return std::nullopt;
}

PyTypeObject* create_sample_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
}

PyObject* wrap_sample(PyObject* module, std::unique_ptr<Engine> engine) {
  PyTypeObject* type = engine_state(module)->sample_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<SampleObject*>(self)->engine = engine.release();
  return self;
}

}  // namespace brantoveil::api::engine
