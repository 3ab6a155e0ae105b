// The four weighted functions (weighted Robinson-Foulds and branch score).
#pragma once

#include "api/pyref.h"

namespace brantoveil::api {

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
