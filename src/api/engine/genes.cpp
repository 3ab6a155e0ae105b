// genes(): gene trees read on their own taxa, then the restricted-split kernel over every pair or
// against one reference tree, without the interpreter lock, with a counter and Ctrl-C.
#include "api/engine/genes.h"

#include <array>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <optional>
#include <string>
#include <vector>

#include "api/bind.h"
#include "api/convert.h"
#include "api/engine/sample.h"
#include "api/errors.h"
#include "api/input.h"
#include "api/progress.h"
#include "api/signals.h"
#include "distances/restricted.h"
#include "shared/pages.h"
#include "snapshot/genes.h"

namespace brantoveil::api::engine {

namespace {

using distances::GeneMetric;

constexpr std::array<const char*, 10> kParameters = {"metric",      "names",    "newick_iter", "translate_maps",
                                                     "map_indices", "rooted",   "progress",    "keep",
                                                     "reference",   "leave_same_taxa"};

// The module's one metric conversion, in the restricted kernel's terms.
std::optional<GeneMetric> gene_metric(PyObject* object) {
  const auto metric = convert_metric(object);
  if (!metric) return std::nullopt;
  switch (*metric) {
    case distances::BlockMetric::rf:
      return GeneMetric::rf;
    case distances::BlockMetric::wrf:
      return GeneMetric::wrf;
    case distances::BlockMetric::kf:
      return GeneMetric::kf;
  }
  return std::nullopt;
}

// Which taxa every pair is cut to besides its shared ones.
struct Keep {
  bool common = false;
  std::vector<std::string> names;  // empty with `common` false: no cut
  bool given = false;
};

std::optional<Keep> convert_keep(PyObject* object) {
  Keep keep;
  if (object == nullptr || object == Py_None) return keep;
  if (PyUnicode_Check(object)) {
    if (PyUnicode_CompareWithASCIIString(object, "common") == 0) {
      keep.common = true;
      return keep;
    }
    PyErr_Format(PyExc_ValueError, "keep must be None, 'common' or a list of taxon names, not %R", object);
    return std::nullopt;
  }
  PyRef items = PyRef::steal(PySequence_Fast(object, "keep must be None, 'common' or a list of taxon names"));
  if (!items) return std::nullopt;
  keep.given = true;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (text == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keep must hold taxon names (str)");
      return std::nullopt;
    }
    keep.names.emplace_back(text, static_cast<std::size_t>(size));
  }
  return keep;
}

// The texts of the iterator, as UTF-8; nothing with an exception set.
std::optional<std::vector<std::string>> draw_texts(PyObject* iterator) {
  std::vector<std::string> texts;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator))) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), &size) : nullptr;
    if (text == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "newick_iter must yield str");
      return std::nullopt;
    }
    texts.emplace_back(text, static_cast<std::size_t>(size));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return texts;
}

template <class Cell>
PyRef compute(const snapshot::GeneSet& set, GeneMetric metric, std::span<const std::uint64_t> keep, bool reference,
              bool leave_same_taxa, PyRef progress, SignalCheck& signals) {
  const std::size_t n = set.size();
  const std::size_t rows = reference ? n - 1 : n;
  const std::size_t cols = reference ? 1 : n;
  const std::uint64_t cells_wanted = reference ? rows : pair_count(n);
  // A bytearray, so the caller may put the pairs it computes another way into it in place.
  if (rows * cols > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(Cell)) return PyRef::steal(PyErr_NoMemory());
  PyRef matrix = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * cols * sizeof(Cell))));
  if (!matrix) return matrix;
  const std::span<Cell> cells(reinterpret_cast<Cell*>(PyByteArray_AS_STRING(matrix.get())), rows * cols);
  std::shared_ptr<CounterCell> cell = std::make_shared<CounterCell>(0);
  if (progress) {
    auto* counter = reinterpret_cast<ProgressCounterObject*>(progress.get());
    counter->value->store(0, std::memory_order_relaxed);
    counter->total->store(cells_wanted, std::memory_order_relaxed);
    cell = counter->value;
  }
  bool filled;
  {
    ReleasedGil unlocked;
    const distances::RestrictedKernel<Cell> kernel(set, metric, keep, leave_same_taxa);
    if (reference) {
      std::vector<std::uint64_t> row_trees(rows);
      for (std::size_t i = 0; i < rows; ++i) row_trees[i] = i;
      const std::uint64_t last = n - 1;
      filled = distances::restricted_block(kernel, row_trees, std::span<const std::uint64_t>(&last, 1), cell.get(),
                                           cells.data());
    } else {
      populate_result(cells.data(), cells.size_bytes());
      filled = distances::restricted_symmetric(kernel, n, cell.get(), cells.data());
    }
  }
  if (!filled) {
    if (!signals.raise_if_stopped()) PyErr_SetString(PyExc_RuntimeError, "the distance computation was stopped");
    return PyRef();
  }
  cell->store(cells_wanted, std::memory_order_relaxed);
  to_little_endian(cells);
  return matrix;
}

}  // namespace

PyObject* genes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParameters.size()> bound{};
  if (!bind_arguments("genes()", kParameters, 5, args, nargs, kwnames, bound)) return nullptr;
  const auto metric = gene_metric(bound[0]);
  if (!metric) return nullptr;
  std::array<PyObject*, 6> common{};
  std::copy(bound.begin() + 1, bound.begin() + 7, common.begin());
  auto call = convert_call(engine_intake(module), common);
  if (!call) return nullptr;
  auto keep = convert_keep(bound[7]);
  if (!keep) return nullptr;
  const bool reference = bound[8] != nullptr && PyObject_IsTrue(bound[8]) == 1;
  const bool leave_same_taxa = bound[9] != nullptr && PyObject_IsTrue(bound[9]) == 1;
  if (PyErr_Occurred()) return nullptr;

  SignalCheck signals;
  auto texts = draw_texts(call->bundle.iterator.get());
  if (!texts) return nullptr;
  if (texts->size() != call->names.size()) {
    PyErr_Format(PyExc_ValueError, "newick_iter gave %zu trees for %zu names", texts->size(), call->names.size());
    return nullptr;
  }
  std::vector<snapshot::GeneText> trees(texts->size());
  for (std::size_t i = 0; i < trees.size(); ++i) {
    trees[i] = {(*texts)[i], &call->bundle.translate_maps[call->bundle.map_indices[i]]};
  }
  std::optional<Result<snapshot::GeneSet>> read;
  {
    ReleasedGil unlocked;
    read.emplace(snapshot::read_gene_set(trees, call->bundle.rooted));
  }
  if (!read->ok()) return raise_reading_error(read->failure(), call->bundle.tree_error);
  const snapshot::GeneSet set = std::move(*read).value();
  read.reset();
  texts.reset();
#ifdef __GLIBC__
  // The reading's many small blocks are free now: hand them back before the matrix is allocated, so
  // the peak is the set and the matrix, not the reading's high-water mark as well.
  malloc_trim(0);
#endif

  std::vector<std::uint64_t> mask;
  if (keep->common) {
    mask.assign(set.words, ~std::uint64_t{0});
    for (std::size_t t = 0; t < set.size(); ++t) {
      for (std::size_t w = 0; w < set.words; ++w) mask[w] &= set.taxon_masks[t * set.words + w];
    }
  } else if (keep->given) {
    mask = snapshot::taxa_mask(set, keep->names);
  }

  PyRef matrix = *metric == GeneMetric::rf
                     ? compute<float>(set, *metric, mask, reference, leave_same_taxa, std::move(call->progress), signals)
                     : compute<double>(set, *metric, mask, reference, leave_same_taxa, std::move(call->progress),
                                       signals);
  if (!matrix) return nullptr;

  // Which taxa each tree holds (after the cut), one byte per tree and taxon.
  const std::size_t t = set.taxa.size();
  PyRef presence = PyRef::steal(new_zeroed_bytes_for<std::uint8_t>(set.size() * t));
  if (!presence) return nullptr;
  std::uint8_t* held = elements_of<std::uint8_t>(presence.get()).data();
  for (std::size_t i = 0; i < set.size(); ++i) {
    for (std::size_t g = 0; g < t; ++g) {
      const std::uint64_t bit = std::uint64_t{1} << (g % 64);
      const bool kept = mask.empty() || (mask[g / 64] & bit) != 0;
      held[i * t + g] = kept && (set.taxon_masks[i * set.words + g / 64] & bit) != 0 ? 1 : 0;
    }
  }
  PyRef taxa = PyRef::steal(string_list(set.taxa));
  if (!taxa) return nullptr;
  return PyTuple_Pack(3, taxa.get(), presence.get(), matrix.get());
}

}  // namespace brantoveil::api::engine
