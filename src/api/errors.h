// Reading errors at the boundary: the public module's ValueError, or the companion's structured one.
#pragma once

#include <cstdint>
#include <string_view>

#include "api/pyref.h"
#include "shared/result.h"

namespace brantoveil::api {

/// Where an error happened and what it says without its place.
struct Located {
  ErrorKind kind = ErrorKind::general;
  std::uint64_t tree = Error::kUnknown;
  std::uint64_t offset = Error::kUnknown;
  /// The message without the "at index N: " or "Tree N " that places it.
  std::string_view reason;
};

/// The place of `error`: its own fields, and for an error that leaves them unset the tree its
/// message names (the reader's messages place a tree in one of two fixed ways).
Located locate(const Error& error);

/// Raises a reading error: ValueError with the message when `tree_error` is null, else
/// `tree_error` (a ValueError subclass) with the message and the attributes kind, tree_index,
/// offset (None when unknown) and reason. Returns nullptr for the caller to return.
std::nullptr_t raise_reading_error(const Error& error, PyObject* tree_error);

/// The companion's exception type for reading errors, made once per module object.
PyObject* new_tree_error_type(const char* qualified_name);

}  // namespace brantoveil::api
