// The result tuple shared by the three exporting functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/pyref.h"
#include "api/signals.h"
#include "snapshot/snapshots.h"

namespace brantoveil::api {

/// Which per-tree matrix over the columns a result exports.
enum class ExportMatrix { kPresence, kBranchLengths };

/// (names, matrix, leaf names, column count, export matrix, clade bytes), the export matrix written
/// straight into its bytes object and the clade bytes in its column order; nullptr with an
/// exception set, also when a signal handler stopped the call while they were built. With
/// `unlocked` the rows and clade bytes are built without the interpreter lock.
PyObject* export_tuple(const std::vector<std::string>& names, PyObject* matrix, const snapshot::Snapshots& set,
                       ExportMatrix kind, SignalCheck& signals, bool unlocked = false);

}  // namespace brantoveil::api
