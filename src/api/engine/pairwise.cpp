// The companion's whole-matrix call: the public functions' reading and kernels, but every matrix in
// bytes, the lock released by the companion's rule (lock.h), and exports built only when asked.
#include "api/engine/pairwise.h"

#include <array>
#include <optional>

#include "api/bind.h"
#include "api/engine/sample.h"
#include "api/input.h"
#include "api/matrix.h"

namespace brantoveil::api::engine {

namespace {

constexpr std::array<const char*, 8> kParameters = {"metric",      "names",  "newick_iter", "translate_maps",
                                                    "map_indices", "rooted", "progress",    "exports"};

}  // namespace

PyObject* pairwise(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParameters.size()> bound{};
  if (!bind_arguments("pairwise()", kParameters, 5, args, nargs, kwnames, bound)) return nullptr;
  const auto metric = convert_metric(bound[0]);
  if (!metric) return nullptr;
  std::array<PyObject*, 6> common{};
  std::copy(bound.begin() + 1, bound.begin() + 7, common.begin());
  auto call = convert_call(engine_intake(module), common);
  if (!call) return nullptr;
  bool exports = false;
  if (bound[7] != nullptr) {
    if (!PyBool_Check(bound[7])) {
      PyErr_Format(PyExc_TypeError, "exports must be True or False, not '%s'", Py_TYPE(bound[7])->tp_name);
      return nullptr;
    }
    exports = bound[7] == Py_True;
  }

  return whole_matrix(*call, {.metric = *metric, .exports = exports});
}

}  // namespace brantoveil::api::engine
