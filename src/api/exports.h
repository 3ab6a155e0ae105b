// The result tuple shared by the three exporting functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/pyref.h"
#include "snapshot/snapshots.h"

namespace brantoveil::api {

/// (names, matrix, leaf names, column count, export matrix, clade bytes), the clade bytes in the
/// export matrix's column order `split_at`; nullptr with an exception set.
PyObject* export_tuple(const std::vector<std::string>& names, PyObject* matrix, const snapshot::Snapshots& set,
                       const std::vector<std::uint8_t>& export_matrix, const std::vector<std::uint64_t>& split_at);

}  // namespace brantoveil::api
