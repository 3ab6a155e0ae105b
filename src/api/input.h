// Argument intake shared by the six functions, and the bridge from the Python iterator to the core.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <optional>
#include <string>
#include <vector>

#include "api/lock.h"
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
  /// The companion's structured reading error type; null for the public module's ValueError.
  PyObject* tree_error = nullptr;
  /// Whether the trees are read with the lock released between iterator steps (Unlock::always).
  Unlock unlock = Unlock::with_counter;
};

/// The six converted arguments of a call.
struct CallArgs {
  std::vector<std::string> names;
  CallBundle bundle;
  PyRef progress;  // null when absent
  bool lengths = false;  // the encoder's seventh argument
};

/// Which module a call belongs to: the counter type its `progress` must be, and the companion's
/// texts and error type where the public module's are fixed.
struct IntakeOptions {
  PyTypeObject* counter_type = nullptr;
  /// Borrowed; null for the public module, whose reading errors are plain ValueError.
  PyObject* tree_error = nullptr;
  /// How far the module's calls release the interpreter lock (lock.h states the rule).
  Unlock unlock = Unlock::with_counter;
};

/// The six parameters every reading call takes, in order.
inline constexpr std::array<const char*, 6> kCallParameters = {"names",       "newick_iter", "translate_maps",
                                                               "map_indices", "rooted",      "progress"};

/// Binds and converts the six arguments in order, then runs validate_iter_args.
/// Returns nothing with an exception set; the iterator is never advanced here.
std::optional<CallArgs> intake(const char* display, const IntakeOptions& options, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames);

/// `intake` after binding: `bound` holds the six arguments in order (null for an omitted optional);
/// `lengths`, when given, is converted like `rooted`, between `rooted` and `progress`.
std::optional<CallArgs> convert_call(const IntakeOptions& options, std::span<PyObject* const, 6> bound,
                                     PyObject* lengths = nullptr);

/// Count checks before any tree is read; false with ValueError set.
bool validate_iter_args(std::size_t names_length, const std::vector<std::uint64_t>& map_indices,
                        std::size_t translate_maps);

/// Reads every tree of the call into a set of at least two trees; nothing with an exception set
/// (a signal handler's exception first, then the iterator's, then a reading error).
std::optional<snapshot::Snapshots> collect_snapshots_from_iter(CallBundle& bundle, bool keep_lengths,
                                                               bool keep_clades, SignalCheck& signals);

}  // namespace brantoveil::api
