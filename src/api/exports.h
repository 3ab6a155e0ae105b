// The result tuple shared by the three exporting functions.
#pragma once

#include <string>
#include <vector>

#include "api/pyref.h"
#include "snapshot/snapshots.h"

namespace brantoveil::api {

/// Which per-tree matrix an exporting function returns.
enum class ExportMatrix { kPresence, kBranchLengths };

/// (names, matrix, leaf names, column count, export matrix, clade bytes), both exports in one
/// column order computed here and written straight into their bytes; nullptr with an exception set.
PyObject* export_tuple(const std::vector<std::string>& names, PyObject* matrix, const snapshot::Snapshots& set,
                       ExportMatrix kind);

}  // namespace brantoveil::api
