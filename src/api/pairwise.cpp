// The six public pairwise functions: each is its name and its whole-matrix options.
#include "api/pairwise.h"

#include "api/input.h"
#include "api/matrix.h"
#include "api/module.h"

namespace brantoveil::api {

namespace {

PyObject* public_matrix(const char* display, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, const WholeMatrix& options) {
  auto call = intake(display, public_intake(module), args, nargs, kwnames);
  return call ? whole_matrix(*call, options) : nullptr;
}

}  // namespace

PyObject* pairwise_rf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return public_matrix("pairwise_rf_from_newick_iter()", module, args, nargs, kwnames, {.metric = Metric::rf});
}

PyObject* pairwise_rf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
  return public_matrix("pairwise_rf_with_snapshots_from_newick_iter()", module, args, nargs, kwnames,
                       {.metric = Metric::rf, .exports = true});
}

PyObject* pairwise_wrf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames) {
  return public_matrix("pairwise_wrf_with_snapshots_from_newick_iter()", module, args, nargs, kwnames,
                       {.metric = Metric::wrf, .exports = true});
}

PyObject* pairwise_kf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
  return public_matrix("pairwise_kf_with_snapshots_from_newick_iter()", module, args, nargs, kwnames,
                       {.metric = Metric::kf, .exports = true});
}

PyObject* pairwise_wrf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return public_matrix("pairwise_wrf_from_newick_iter()", module, args, nargs, kwnames,
                       {.metric = Metric::wrf, .as_list = true});
}

PyObject* pairwise_kf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return public_matrix("pairwise_kf_from_newick_iter()", module, args, nargs, kwnames,
                       {.metric = Metric::kf, .as_list = true});
}

}  // namespace brantoveil::api
