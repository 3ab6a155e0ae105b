// Errors of trees and samples at the boundary: the public module's ValueError, or the companion's
// structured ones.
#pragma once

#include <cstddef>

#include "api/pyref.h"
#include "shared/result.h"

namespace brantoveil::api {

/// Raises a reading or decoding error: ValueError with the message when `type` is null, else
/// `type` (SampleError or its TreeError) with the message and the error's kind, tree_index, offset
/// (None when unknown) and reason as attributes. Returns nullptr for the caller to return.
std::nullptr_t raise_reading_error(const Error& error, PyObject* type);

/// The companion's structured error for anything that does not make a sample (a ValueError
/// subclass), made once per module object.
PyObject* new_sample_error_type(const char* qualified_name);

/// The companion's error for a tree that cannot be read, a subclass of `sample_error`.
PyObject* new_tree_error_type(const char* qualified_name, PyObject* sample_error);

}  // namespace brantoveil::api
