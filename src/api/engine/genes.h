// The companion's gene-tree call: distances between trees that each hold their own taxa.
#pragma once

#include "api/pyref.h"

namespace brantoveil::api::engine {

/// genes(metric, names, newick_iter, translate_maps, map_indices, rooted=False, progress=None, keep=None,
/// reference=False)
PyObject* genes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace brantoveil::api::engine
