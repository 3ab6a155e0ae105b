// Binding of positional and keyword arguments to named parameters, with the module's TypeError texts.
#pragma once

#include <span>
#include <string_view>

#include "api/pyref.h"

namespace brantoveil::api {

/// Binds a fast call to `parameters` (all positional-or-keyword, the first `required` required).
/// `bound` receives one borrowed reference (or nullptr for an omitted optional) per parameter.
/// Returns false with TypeError set; `display` is the callable's name with "()", e.g. "f()".
bool bind_arguments(std::string_view display, std::span<const char* const> parameters, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound);

/// Refuses any argument of a call that takes none (tuple-and-dict convention); false with TypeError set.
bool bind_no_arguments(std::string_view display, PyObject* args, PyObject* kwargs);

}  // namespace brantoveil::api
