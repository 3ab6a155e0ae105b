// The dense passes of the weighted kernel, one per instruction set: the row-major passes and the
// panel passes, each a WeightedDense (kernels.h). The kernel's list in weighted.cpp picks one.
#pragma once

#include <cstddef>

#include "distances/isa.h"
#include "distances/kernels.h"

namespace brantoveil::distances::dense {

/// The row-major pass with SSE2's (or the build's plain) vectors.
template <class Metric>
void dense_rows_plain(const WeightedSide& rows, const WeightedSide& cols, const DenseBlock& block);

#if BRANTOVEIL_X86_64
// Each declaration carries its definition's target: GCC would take a declaration without it for
// another version of the function.

/// The row-major pass with AVX2's vectors.
template <class Metric>
__attribute__((target("avx2"))) void dense_rows_avx2(const WeightedSide& rows, const WeightedSide& cols, const DenseBlock& block);

/// The panel pass with AVX-512's vectors.
template <class Metric>
__attribute__((target("avx512f"))) void panel_pass_avx512(const WeightedSide& rows, const WeightedSide& cols, const DenseBlock& block);
#endif

#if BRANTOVEIL_X86_64 || BRANTOVEIL_NEON
/// The panel pass with narrower vectors: AVX2's 4 doubles, NEON's 2.
template <class Metric>
#if BRANTOVEIL_X86_64
__attribute__((target("avx2")))
#endif
void panel_pass_narrow(const WeightedSide& rows, const WeightedSide& cols, const DenseBlock& block);
#endif

}  // namespace brantoveil::distances::dense
