// The six public pairwise functions: intake, then the one whole-matrix call with their options.
#pragma once

#include "api/pyref.h"

namespace brantoveil::api {

/// pairwise_rf_from_newick_iter(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)
PyObject* pairwise_rf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
/// pairwise_rf_with_snapshots_from_newick_iter(...): the matrix plus presence and clade exports.
PyObject* pairwise_rf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames);
/// Weighted RF with branch-length and clade exports.
PyObject* pairwise_wrf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames);
/// Branch score with branch-length and clade exports.
PyObject* pairwise_kf_with_snapshots_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames);
/// Weighted RF as a flat list of floats.
PyObject* pairwise_wrf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
/// Branch score as a flat list of floats.
PyObject* pairwise_kf_from_newick_iter(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace brantoveil::api
