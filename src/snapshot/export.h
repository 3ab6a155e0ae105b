// Per-tree matrices over all splits of a set, and the splits' leaf sets, for analysis in Python.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "shared/buffer.h"
#include "snapshot/snapshots.h"

namespace brantoveil::snapshot {

// The set must have been built with keep_clades. Rows are written in batches with stop checks
// between them; a stopped export returns false, or nothing (empty vectors).

/// (column_of, split_at): columns are split IDs in cmp_packed order of their clades.
std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>> column_order(const Snapshots& set);

/// Writes the presence matrix (trees x columns, one byte each) into `out`, which must hold
/// exactly that many bytes (anything else ends the process); false when stopped. Storage lent
/// as zeros is not cleared again.
[[nodiscard]] bool write_presence_matrix(const Snapshots& set, const std::vector<std::uint64_t>& column_of,
                                         std::span<std::uint8_t> out, Contents contents = Contents::unknown);
/// Writes the branch-length matrix (trees x columns, little-endian f64) into `out`, like
/// `write_presence_matrix`.
[[nodiscard]] bool write_branch_length_matrix(const Snapshots& set, const std::vector<std::uint64_t>& column_of,
                                              std::span<std::uint8_t> out, Contents contents = Contents::unknown);

/// Presence matrix and its split_at, in new vectors.
std::pair<std::vector<std::uint8_t>, std::vector<std::uint64_t>> build_presence_matrix(const Snapshots& set);
/// Branch-length matrix and its split_at, in new vectors.
std::pair<std::vector<std::uint8_t>, std::vector<std::uint64_t>> build_branch_length_matrix(const Snapshots& set);
/// Canonical leaf membership of each column's split, ceil(L/8) bytes per column.
std::vector<std::uint8_t> build_bipartition_bytes(const Snapshots& set, const std::vector<std::uint64_t>& split_at);

}  // namespace brantoveil::snapshot
