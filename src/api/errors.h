// Reading errors at the boundary: the public module's ValueError, or the companion's structured one.
#pragma once

#include <cstddef>

#include "api/pyref.h"
#include "shared/result.h"

namespace brantoveil::api {

/// Raises a reading error: ValueError with the message when `tree_error` is null, else
/// `tree_error` (a ValueError subclass) with the message and the error's kind, tree_index, offset
/// (None when unknown) and reason as attributes. Returns nullptr for the caller to return.
std::nullptr_t raise_reading_error(const Error& error, PyObject* tree_error);

/// The companion's exception type for reading errors, made once per module object.
PyObject* new_tree_error_type(const char* qualified_name);

}  // namespace brantoveil::api
