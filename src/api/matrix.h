// The one "whole matrix for Python": read the trees, fill zeroed result bytes, hand them back.
#pragma once

#include "api/input.h"
#include "api/pyref.h"
#include "distances/block.h"

namespace brantoveil::api {

using Metric = distances::BlockMetric;

/// What a whole-matrix call hands back.
struct WholeMatrix {
  Metric metric = Metric::rf;
  /// The exporting functions' six-tuple (presence for rf, branch lengths otherwise) instead of
  /// (names, matrix).
  bool exports = false;
  /// The matrix as a list of floats (the public plain weighted functions) instead of row-major
  /// little-endian bytes ('<u4' rf, '<f8' wrf/kf).
  bool as_list = false;
};

/// Reads the trees of `call` and computes their whole matrix, the interpreter lock released by
/// the call's rule (lock.h) and its counter run by the whole-matrix protocol (run_counted);
/// nullptr with an exception set.
PyObject* whole_matrix(CallArgs& call, const WholeMatrix& options);

}  // namespace brantoveil::api
