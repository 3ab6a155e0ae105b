// Argument conversion, count checks, and tree collection from the Python iterator.
#include "api/input.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "api/bind.h"
#include "api/errors.h"
#include "api/progress.h"
#include "pool/pool.h"

namespace brantoveil::api {

namespace {

constexpr const auto& kParameters = kCallParameters;
constexpr std::size_t kRequired = 4;

// A hostile __len__ must not be able to make us reserve terabytes; the hint only saves regrowth.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

const char kNeedTwoTrees[] = "Need at least 2 trees to compute pairwise distances";

// TypeError "'T' object is not an instance of 'X'" (or the None form).
void not_instance(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

// Attaches "while processing 'p'" to the pending exception; a failure to attach is dropped.
void add_note(const char* parameter) {
  SavedError error = SavedError::fetch();
  if (!error) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  if (note) {
    PyRef done = PyRef::steal(PyObject_CallMethod(error.exception(), "add_note", "O", note.get()));
  }
  PyErr_Clear();
  error.restore();
}

bool to_utf8(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    not_instance(object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// Sequence intake: refuse str, require the sequence check, then read by plain iteration.
// The public module's text for a str given as a sequence is fixed; the companion says it plainly.
template <class Element, class Convert>
bool convert_sequence(PyObject* object, std::vector<Element>& out, Convert&& convert, bool companion) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, companion ? "expected a sequence (a list or tuple), not a single str"
                                               : "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    not_instance(object, "Sequence");
    return false;
  }
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserve)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    Element element{};
    if (!convert(item.get(), element)) return false;
    out.push_back(std::move(element));
  }
  return !PyErr_Occurred();
}

bool convert_translate_map(PyObject* object, snapshot::TranslateMap& out) {
  if (!PyDict_Check(object)) {
    not_instance(object, "dict");
    return false;
  }
  out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(object)));
  Py_ssize_t position = 0;
  PyObject *key, *value;
  std::string label, taxon;
  while (PyDict_Next(object, &position, &key, &value)) {
    if (!to_utf8(key, label) || !to_utf8(value, taxon)) return false;
    out.insert(label, taxon);
  }
  return true;
}

bool convert_index(PyObject* object, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// NumPy's bool scalar is accepted by type name, so NumPy need not be importable here.
bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

bool convert_rooted(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  if (is_numpy_bool(object)) {
    PyTypeObject* type = Py_TYPE(object);
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", type);
      return false;
    }
    const int value = truth(object);
    if (value < 0) return false;
    out = value != 0;
    return true;
  }
  not_instance(object, "bool");
  return false;
}

// Step 1 of every call: convert in declared order, stopping at the first failure. `bound` holds
// the six common arguments in order; `lengths`, when given, is converted between `rooted` and
// `progress`, as the encoder declares it.
bool convert_all(const IntakeOptions& options, std::span<PyObject* const, 6> bound, CallArgs& out,
                 PyObject* lengths) {
  const bool companion = options.tree_error != nullptr;
  std::size_t step = 0;
  const char* failed = nullptr;
  const bool ok = [&] {
    step = 0;
    if (!convert_sequence(bound[0], out.names, to_utf8, companion)) return false;
    step = 1;
    if (!PyIter_Check(bound[1])) {
      not_instance(bound[1], "Iterator");
      return false;
    }
    out.bundle.iterator = PyRef::borrow(bound[1]);
    step = 2;
    if (!convert_sequence(bound[2], out.bundle.translate_maps, convert_translate_map, companion)) return false;
    step = 3;
    if (!convert_sequence(bound[3], out.bundle.map_indices, convert_index, companion)) return false;
    step = 4;
    if (bound[4] != nullptr && !convert_rooted(bound[4], out.bundle.rooted)) return false;
    if (lengths != nullptr && !convert_rooted(lengths, out.lengths)) {
      failed = "lengths";
      return false;
    }
    step = 5;
    PyObject* progress = bound[5];
    if (progress != nullptr && progress != Py_None) {
      if (!PyObject_TypeCheck(progress, options.counter_type)) {
        not_instance(progress, "ProgressCounter");
        return false;
      }
      out.progress = PyRef::borrow(progress);
    }
    return true;
  }();
  if (!ok) add_note(failed != nullptr ? failed : kParameters[step]);
  return ok;
}

// The lazy tree source: pairs each iterator item with its translate map, recording Python errors.
class PyTreeSource final : public snapshot::TreeSource {
 public:
  explicit PyTreeSource(CallBundle& bundle) : bundle_(bundle) {}

  std::optional<snapshot::TreeItem> next() override {
    if (stopped_) return std::nullopt;
    PyRef item = PyRef::steal(PyIter_Next(bundle_.iterator.get()));
    if (!item && !PyErr_Occurred()) return std::nullopt;
    // An ordinary error is kept while reading goes on (a later one replaces it); these two mean
    // "stop now", so the source ends here, even past the last name, where other errors go unseen.
    if (!item && (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit))) {
      error_ = SavedError::fetch();
      stopped_ = true;
      return std::nullopt;
    }
    if (position_ >= bundle_.map_indices.size()) {
      PyErr_Clear();  // past the last name: whatever the pull produced goes unseen
      return std::nullopt;
    }
    const std::uint64_t index = bundle_.map_indices[position_++];
    if (!item) {
      error_ = SavedError::fetch();
      return std::nullopt;
    }
    snapshot::TreeItem tree;
    if (!to_utf8(item.get(), tree.text)) {
      error_ = SavedError::fetch();
      return std::nullopt;
    }
    tree.translate = &bundle_.translate_maps[index];
    return tree;
  }

  std::size_t size_hint() override {
    const Py_ssize_t hint = PyObject_LengthHint(bundle_.iterator.get(), 0);
    if (hint < 0) {
      PyErr_WriteUnraisable(bundle_.iterator.get());
      return 0;
    }
    return static_cast<std::size_t>(hint);
  }

  SavedError& error() { return error_; }

 private:
  CallBundle& bundle_;
  std::size_t position_ = 0;
  SavedError error_;
  bool stopped_ = false;
};

}  // namespace

std::optional<CallArgs> intake(const char* display, const IntakeOptions& options, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParameters.size()> bound{};
  if (!bind_arguments(display, kParameters, kRequired, args, nargs, kwnames, bound)) return std::nullopt;
  return convert_call(options, bound);
}

std::optional<CallArgs> convert_call(const IntakeOptions& options, std::span<PyObject* const, 6> bound,
                                     PyObject* lengths) {
  CallArgs call;
  call.bundle.tree_error = options.tree_error;
  call.bundle.unlock = options.unlock;
  if (!convert_all(options, bound, call, lengths)) return std::nullopt;
  if (!validate_iter_args(call.names.size(), call.bundle.map_indices, call.bundle.translate_maps.size())) {
    return std::nullopt;
  }
  return call;
}

bool validate_iter_args(std::size_t names_length, const std::vector<std::uint64_t>& map_indices,
                        std::size_t translate_maps) {
  if (names_length < 2) {
    PyErr_SetString(PyExc_ValueError, kNeedTwoTrees);
    return false;
  }
  if (names_length != map_indices.size()) {
    PyErr_Format(PyExc_ValueError, "names length (%zu) must equal map_indices length (%zu)", names_length,
                 map_indices.size());
    return false;
  }
  for (std::size_t i = 0; i < map_indices.size(); ++i) {
    if (map_indices[i] >= translate_maps) {
      PyErr_Format(PyExc_ValueError, "map_indices[%zu] = %llu is out of bounds (only %zu translate maps provided)", i,
                   static_cast<unsigned long long>(map_indices[i]), translate_maps);
      return false;
    }
  }
  return true;
}

std::optional<snapshot::Snapshots> collect_snapshots_from_iter(CallBundle& bundle, bool keep_lengths,
                                                               bool keep_clades, SignalCheck& signals) {
  // Where the module's rule says so (lock.h), other threads run while the trees drawn so far are
  // parsed and interned: no task touches a Python object, and the iterator is advanced between
  // loops only.
  UnlockedLoops unlocked;
  std::optional<pool::ScopedLoopWait> loops;
  if (bundle.unlock == Unlock::always) loops.emplace(unlocked);
  PyTreeSource source(bundle);
  snapshot::SnapshotOptions options;
  options.rooted = bundle.rooted;
  options.keep_lengths = keep_lengths;
  options.keep_clades = keep_clades;
  auto result = snapshot::Snapshots::from_newick_iter_opts(source, options);
  if (signals.raise_if_stopped()) return std::nullopt;
  if (source.error()) {
    source.error().restore();
    return std::nullopt;
  }
  if (!result.ok()) {
    raise_reading_error(result.failure(), bundle.tree_error);
    return std::nullopt;
  }
  if (result.value().snaps.size() < 2) {
    PyErr_SetString(PyExc_ValueError, kNeedTwoTrees);
    return std::nullopt;
  }
  return std::move(result).value();
}

}  // namespace brantoveil::api
