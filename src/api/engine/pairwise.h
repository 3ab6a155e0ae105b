// The companion's whole-matrix call: every metric answered in bytes, exports only when asked.
#pragma once

#include "api/pyref.h"

namespace brantoveil::api::engine {

/// pairwise(metric, names, newick_iter, translate_maps, map_indices, rooted=False, progress=None, exports=False)
PyObject* pairwise(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace brantoveil::api::engine
