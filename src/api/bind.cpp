// Argument binding: exact texts for missing, surplus, duplicate and unexpected arguments.
#include "api/bind.h"

#include <string>
#include <vector>

namespace brantoveil::api {

namespace {

void too_many_positional(std::string_view display, std::size_t min, std::size_t max, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  const std::string name(display);
  if (min == max) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", name.c_str(), max, given,
                 verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", name.c_str(),
                 min, max, given, verb);
  }
}

void unexpected_keyword(std::string_view display, PyObject* keyword) {
  const std::string name(display);
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", name.c_str(), keyword);
}

void multiple_values(std::string_view display, const char* parameter) {
  const std::string name(display);
  PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", name.c_str(), parameter);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void missing_required(std::string_view display, const std::vector<const char*>& missing) {
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) list += ',';
      list += i + 1 == missing.size() ? " and " : " ";
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  const std::string name(display);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", name.c_str(), missing.size(),
               missing.size() == 1 ? "" : "s", list.c_str());
}

}  // namespace

bool bind_arguments(std::string_view display, std::span<const char* const> parameters, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound) {
  const std::size_t count = parameters.size();
  for (auto& slot : bound) slot = nullptr;
  if (nargs > static_cast<Py_ssize_t>(count)) {
    too_many_positional(display, required, count, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t match = count;
    for (std::size_t p = 0; p < count; ++p) {
      if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, parameters[p]) == 0) {
        match = p;
        break;
      }
    }
    if (match == count) {
      unexpected_keyword(display, keyword);
      return false;
    }
    if (bound[match] != nullptr) {
      multiple_values(display, parameters[match]);
      return false;
    }
    bound[match] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t p = 0; p < required; ++p) {
    if (bound[p] == nullptr) missing.push_back(parameters[p]);
  }
  if (!missing.empty()) {
    missing_required(display, missing);
    return false;
  }
  return true;
}

bool bind_no_arguments(std::string_view display, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  if (given > 0) {
    too_many_positional(display, 0, 0, given);
    return false;
  }
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    PyDict_Next(kwargs, &position, &key, &value);
    unexpected_keyword(display, key);
    return false;
  }
  return true;
}

}  // namespace brantoveil::api
