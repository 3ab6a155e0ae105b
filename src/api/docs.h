// The six functions' docstrings; the first three lines give each its text signature.
#pragma once

namespace brantoveil::api::docs {

inline constexpr char kPairwiseRfFromNewickIter[] = R"doc(pairwise_rf_from_newick_iter(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)
--

Compute pairwise Robinson-Foulds distances from a lazy Python iterator of newick strings.

Args:
    names: Tree identifiers (one per newick).
    newick_iter: Python iterator yielding newick strings.
    translate_maps: List of translate maps (number → taxon name).
    map_indices: Per-tree index into translate_maps.
    rooted: If True compare clades; if False compare bipartitions (default: False).
    progress: Optional ``brantoveil.ProgressCounter``. Instantiate one,
        hand it in, then read ``.value()`` / ``.total()`` / ``.fraction()``
        from any other Python thread to observe live progress. While the
        counter is in use the GIL is released for the duration of the
        pairwise loop, so a polling thread runs unimpeded. When ``None``
        (the default) the call has zero progress-related overhead and the
        GIL stays held throughout.

Returns:
    (tree_names, rf_matrix_bytes) — rf_matrix_bytes is flat u32 bytes (row-major n×n).

Raises:
    ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch.)doc";

inline constexpr char kPairwiseRfWithSnapshotsFromNewickIter[] = R"doc(pairwise_rf_with_snapshots_from_newick_iter(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)
--

Compute pairwise RF distances and export binary tree snapshots in a single pass.

Parses each newick once, building both the RF distance matrix and a binary
presence matrix encoding which bipartitions appear in each tree.

# Presence matrix format

Shape `(n_trees, n_bipartitions)`, encoded as a flat row-major `uint8` byte buffer.
Column ordering is deterministic and stable across calls on the same tree set. Reconstruct on the Python side:
```python
presence = np.frombuffer(pres_bytes, dtype=np.uint8).reshape(n_trees, n_bip).copy()
```

# Bipartition clade bytes

`bipartition_clade_bytes` is a flat `bytes` buffer encoding the canonical leaf
membership of every bipartition. Shape: `(n_bipartitions, ceil(n_leaves / 8))`,
row-major. Bit `i` of row `j` — **little-endian bit order within each byte** — is `1`
if `leaf_names[i]` is on the canonical side of bipartition `j`. Column order matches
the presence matrix, and is stable across calls.

For unrooted trees the canonical side is the half that does **not** contain the first
leaf alphabetically, so bit 0 of every row is always `0`.

Decode with NumPy:
```python
import math
bytes_per_bip = math.ceil(len(leaf_names) / 8)
bip_arr  = np.frombuffer(bipartition_clade_bytes, dtype=np.uint8)
               .reshape(n_bip, bytes_per_bip)
bip_bool = np.unpackbits(bip_arr, axis=1, bitorder='little')[:, :len(leaf_names)]
# bip_bool[j, i] == 1  →  leaf_names[i] is in bipartition j

# Human-readable column labels
col_labels = [
    "|".join(n for i, n in enumerate(leaf_names) if bip_bool[j, i])
    for j in range(n_bip)
]
```

Args:
    names: Tree identifiers (one per newick).
    newick_iter: Python iterator yielding newick strings.
    translate_maps: List of translate maps (number → taxon name).
    map_indices: Per-tree index into translate_maps.
    rooted: If True compare clades; if False compare bipartitions (default: False).
    progress: Optional ``brantoveil.ProgressCounter`` whose ``.value()`` /
        ``.total()`` / ``.fraction()`` reflect live progress. Typically
        polled from another Python thread. See
        ``pairwise_rf_from_newick_iter`` for details.

Returns:
    6-tuple (tree_names, rf_matrix_bytes, leaf_names, n_bipartitions, presence_bytes,
    bipartition_clade_bytes).

Raises:
    ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch.)doc";

inline constexpr char kPairwiseWrfWithSnapshotsFromNewickIter[] = R"doc(pairwise_wrf_with_snapshots_from_newick_iter(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)
--

Compute pairwise WRF distances and export a branch-length matrix in a single pass.

Parses each newick once, building both the pairwise WRF distance matrix and a
per-edge branch-length matrix encoding the branch length of every edge in each tree.

# Branch-length matrix format

Shape `(n_trees, n_bip)`, encoded as a flat row-major `float64` byte buffer.
`branch_length_bytes[i, j]` is the branch length of edge `j` in tree `i`, or `0.0`
if that edge is absent. Pendant (leaf) edges are always present in every tree.
Column order matches `bipartition_clade_bytes`, and is stable across calls.

Reconstruct and compute Fréchet traces on the Python side:
```python
bl = np.frombuffer(branch_length_bytes, dtype=np.float64).reshape(n_trees, n_bip)
wrf_trace = np.sum(np.abs(bl[ref_idx, :] - bl), axis=1)   # wRF to one reference
kf_trace  = np.sqrt(np.sum((bl[ref_idx, :] - bl)**2, axis=1))  # KF to one reference
```

Args:
    names: Tree identifiers (one per newick).
    newick_iter: Python iterator yielding newick strings.
    translate_maps: List of translate maps (number → taxon name).
    map_indices: Per-tree index into translate_maps.
    rooted: If True compare clades; if False compare bipartitions (default: False).
    progress: Optional ``brantoveil.ProgressCounter`` whose ``.value()`` /
        ``.total()`` / ``.fraction()`` reflect live progress. Typically
        polled from another Python thread. See
        ``pairwise_rf_from_newick_iter`` for details.

Returns:
    6-tuple (tree_names, wrf_matrix_bytes, leaf_names, n_bip,
    branch_length_bytes, bipartition_clade_bytes).
    wrf_matrix_bytes is flat float64 bytes (row-major n×n).

Raises:
    ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch.)doc";

inline constexpr char kPairwiseKfWithSnapshotsFromNewickIter[] = R"doc(pairwise_kf_with_snapshots_from_newick_iter(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)
--

Compute pairwise KF distances and export a branch-length matrix in a single pass.

Identical to `pairwise_wrf_with_snapshots_from_newick_iter` except the distance
matrix uses the Kuhner–Felsenstein (Branch Score) metric instead of Weighted RF.
The branch-length matrix is metric-agnostic and identical in both functions.

Args:
    names: Tree identifiers (one per newick).
    newick_iter: Python iterator yielding newick strings.
    translate_maps: List of translate maps (number → taxon name).
    map_indices: Per-tree index into translate_maps.
    rooted: If True compare clades; if False compare bipartitions (default: False).
    progress: Optional ``brantoveil.ProgressCounter`` whose ``.value()`` /
        ``.total()`` / ``.fraction()`` reflect live progress. Typically
        polled from another Python thread. See
        ``pairwise_rf_from_newick_iter`` for details.

Returns:
    6-tuple (tree_names, kf_matrix_bytes, leaf_names, n_bip,
    branch_length_bytes, bipartition_clade_bytes).
    kf_matrix_bytes is flat float64 bytes (row-major n×n).

Raises:
    ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch.)doc";

inline constexpr char kPairwiseWrfFromNewickIter[] = R"doc(pairwise_wrf_from_newick_iter(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)
--

Compute pairwise Weighted Robinson-Foulds distances from a lazy Python iterator.

Args:
    names: Tree identifiers (one per newick).
    newick_iter: Python iterator yielding newick strings.
    translate_maps: List of translate maps (number → taxon name).
    map_indices: Per-tree index into translate_maps.
    rooted: If True compare clades; if False compare bipartitions (default: False).
    progress: Optional ``brantoveil.ProgressCounter`` whose ``.value()`` /
        ``.total()`` / ``.fraction()`` reflect live progress. Typically
        polled from another Python thread. See
        ``pairwise_rf_from_newick_iter`` for details.

Returns:
    (tree_names, distance_matrix) — a 2D list of Weighted RF distances.

Raises:
    ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch.)doc";

inline constexpr char kPairwiseKfFromNewickIter[] = R"doc(pairwise_kf_from_newick_iter(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)
--

Compute pairwise Kuhner-Felsenstein (Branch Score) distances from a lazy Python iterator.

Args:
    names: Tree identifiers (one per newick).
    newick_iter: Python iterator yielding newick strings.
    translate_maps: List of translate maps (number → taxon name).
    map_indices: Per-tree index into translate_maps.
    rooted: If True compare clades; if False compare bipartitions (default: False).
    progress: Optional ``brantoveil.ProgressCounter`` whose ``.value()`` /
        ``.total()`` / ``.fraction()`` reflect live progress. Typically
        polled from another Python thread. See
        ``pairwise_rf_from_newick_iter`` for details.

Returns:
    (tree_names, distance_matrix) — a 2D list of KF distances.

Raises:
    ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch.)doc";

}  // namespace brantoveil::api::docs
