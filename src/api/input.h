// Argument intake shared by the six functions, and the bridge from the Python iterator to the core.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api/pyref.h"
#include "api/signals.h"
#include "snapshot/newick.h"
#include "snapshot/snapshots.h"

namespace brantoveil::api {

/// What a call hands to tree collection: the iterator and the converted maps.
struct CallBundle {
  PyRef iterator;
  std::vector<snapshot::TranslateMap> translate_maps;
  std::vector<std::uint64_t> map_indices;
  bool rooted = false;
};

/// The six converted arguments of a call.
struct CallArgs {
  std::vector<std::string> names;
  CallBundle bundle;
  PyRef progress;  // null when absent
  bool lengths = false;  // the encoder's seventh argument
};

/// Binds and converts the six arguments in order, then runs validate_iter_args.
/// Returns nothing with an exception set; the iterator is never advanced here.
std::optional<CallArgs> intake(const char* display, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

/// `intake` for the encoder: `lengths` (converted like `rooted`) comes between `rooted` and `progress`.
std::optional<CallArgs> intake_encode(const char* display, PyObject* module, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames);

/// Count checks before any tree is read; false with ValueError set.
bool validate_iter_args(std::size_t names_length, const std::vector<std::uint64_t>& map_indices,
                        std::size_t translate_maps);

/// Reads every tree of the call into a set of at least two trees; nothing with an exception set
/// (a signal handler's exception first, then the iterator's, then a reading error).
std::optional<snapshot::Snapshots> collect_snapshots_from_iter(CallBundle& bundle, bool keep_lengths,
                                                               bool keep_clades, SignalCheck& signals);

}  // namespace brantoveil::api
