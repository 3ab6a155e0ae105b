"""Gene trees, one per locus, each holding its own taxa: read as people keep them, compared on the taxa
each pair shares, normalised, and written out.

Every pair is compared on the taxa both trees hold (``taxa="shared"``): each tree is cut to those taxa
(the induced subtree; edges that become one are merged, their lengths summed), then the metric is taken
as for trees of one taxon set. ``taxa="common"`` cuts every tree to the taxa all of them hold; a list of
names (or a file of them) cuts every tree to those taxa. Pairs that hold the same taxa are computed by
the engine's whole-matrix kernel for one taxon set, so they equal an ordinary matrix bit for bit.
"""

from __future__ import annotations

import os
import re
from collections.abc import Sequence
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from . import engine, memory, policy
from .errors import BrantoveilError
from .output import atomic_path
from .textio import ByteSource, open_source
from .treefile import index_file, tree_texts

PathLike = str | os.PathLike[str]
Taxa = str | PathLike | Sequence[str]
"""Which taxa pairs are compared on: "shared", "common", a list of taxon names, or a file of them."""

_TOKENS = re.compile(r"\[[^\]]*\]|'(?:[^']|'')*'|\"[^\"]*\"|;|\(")
_COMMENT = re.compile(r"\[[^\]]*\]")
_ROW_BLOCK = 1024


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class GeneTrees:
    """Trees read from gene-tree files, each with its own taxa.

    Attributes
    ----------
    names : tuple of str
        A name per tree: the name before it in its file (locus names, NEXUS tree names), else its file and
        position.
    texts : tuple of str
        Every tree's Newick text.
    translate_maps : tuple of dict
        The NEXUS translate tables (label to taxon name); the first is empty.
    map_indices : tuple of int
        The table of every tree.
    """

    names: tuple[str, ...]
    texts: tuple[str, ...]
    translate_maps: tuple[dict[str, str], ...]
    map_indices: tuple[int, ...]

    def __len__(self) -> int:
        return len(self.texts)


def read_gene_trees(sources: GeneTrees | PathLike | Sequence[PathLike] | Sequence[str]) -> GeneTrees:
    """Gene trees from files or from Newick strings held in memory.

    A file is NEXUS (with or without a translate table) or Newick: one tree per ``;``, a tree optionally
    preceded on its line by its name (``locus01<TAB>(...);``, as concatenated per-locus ML outputs are
    kept). Several files, of one tree or many each, make one set. Labels of inner nodes (``95``,
    ``95/100``) are supports, not taxa. gzip, bzip2 and xz files are read as they are.
    """
    if isinstance(sources, GeneTrees):
        return sources
    items: list[PathLike] = [sources] if isinstance(sources, str | os.PathLike) else list(sources)
    if items and all(isinstance(item, str) and item.rstrip().endswith(";") and "(" in item for item in items):
        given = [str(item).strip() for item in items]
        return GeneTrees(tuple(str(i + 1) for i in range(len(given))), tuple(given), ({},), (0,) * len(given))
    names: list[str] = []
    texts: list[str] = []
    maps: list[dict[str, str]] = [{}]
    indices: list[int] = []
    for item in items:
        source = open_source(item)
        file_names, file_texts, table = _read_file(source)
        label = Path(source.label).name
        if len(items) > 1:
            file_names = [label if len(file_names) == 1 and name == "1" else f"{label}:{name}" for name in file_names]
        if table:
            maps.append(table)
        names += file_names
        texts += file_texts
        indices += [len(maps) - 1 if table else 0] * len(file_texts)
    if not texts:
        raise BrantoveilError("no gene trees given")
    return GeneTrees(tuple(names), tuple(texts), tuple(maps), tuple(indices))


def _read_file(source: ByteSource) -> tuple[list[str], list[str], dict[str, str]]:
    head = next((block for block in source.blocks() if block.strip()), b"").lstrip()
    if head[:6].upper() == b"#NEXUS":
        index = index_file(source)
        nexus = [text.decode("utf-8") for text in tree_texts(source, index.starts, index.ends)]
        return list(index.names), nexus, {label: name for label, (name, _) in index.translate.items()}
    try:
        data = b"".join(source.blocks()).decode("utf-8")
    except UnicodeDecodeError as error:
        raise BrantoveilError(f"{source.label}: not UTF-8 text ({error.reason} at byte {error.start})") from None
    names: list[str] = []
    texts: list[str] = []
    start = 0
    opening = -1
    for match in _TOKENS.finditer(data):
        token = match.group()
        if token == "(" and opening < 0:
            opening = match.start()
        elif token == ";":
            statement = data[start : match.end()]
            if opening < 0:
                if statement[:-1].strip():
                    raise BrantoveilError(f"{source.label}: not a Newick tree: {statement.strip()[:60]!r}")
            else:
                name = _COMMENT.sub("", data[start:opening]).strip().rstrip("=").strip()
                names.append(name or str(len(texts) + 1))
                texts.append(data[opening : match.end()])
            start, opening = match.end(), -1
    if data[start:].strip():
        raise BrantoveilError(f"{source.label}: the last tree does not end in ';'")
    if not texts:
        raise BrantoveilError(f"{source.label}: no tree found")
    return names, texts, {}


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class GeneDistances:
    """Distances between gene trees on the taxa each pair shares.

    Attributes
    ----------
    metric : {"rf", "wrf", "kf"}
    rooted : bool
    taxa_rule : str
        "shared", "common" or "listed".
    matrix : ndarray, shape (n, n), or (n, 1) against a reference
        ``float32`` for Robinson-Foulds, ``float64`` otherwise; NaN where a pair shares fewer than 4 taxa
        (3 rooted).
    names : tuple of str
        The trees' names (the rows; the columns too without a reference).
    taxa : tuple of str
        Every taxon of any tree, sorted.
    presence : ndarray of bool, shape (trees, taxa)
        Which taxa each tree holds (after the cut), the reference last when there is one.
    reference : str or None
        The reference tree's name.
    """

    metric: str
    rooted: bool
    taxa_rule: str
    matrix: npt.NDArray[Any]
    names: tuple[str, ...]
    taxa: tuple[str, ...]
    presence: npt.NDArray[np.bool_]
    reference: str | None = None

    @cached_property
    def shared(self) -> npt.NDArray[np.int32]:
        """The number of taxa every pair shares (the taxa it is compared on), shaped as `matrix`."""
        held = self.presence.astype(np.float32)
        columns = held[-1:] if self.reference is not None else held
        rows = held[:-1] if self.reference is not None else held
        out = np.empty(self.matrix.shape, dtype=np.int32)
        for start in range(0, len(rows), _ROW_BLOCK):  # exact: counts stay far below 2^24
            out[start : start + _ROW_BLOCK] = rows[start : start + _ROW_BLOCK] @ columns.T
        return out

    def normalized(self) -> npt.NDArray[np.float64]:
        """Every distance divided by its largest possible value for its pair: 2(m - 3) unrooted, 2(m - 2)
        rooted, for m shared taxa (Robinson-Foulds only)."""
        if self.metric != "rf":
            raise BrantoveilError(f"normalize is defined for Robinson-Foulds only, not for metric {self.metric!r}")
        out = np.empty(self.matrix.shape, dtype=np.float64)
        fewest = 2 if self.rooted else 3
        for start in range(0, len(out), _ROW_BLOCK):
            block = slice(start, start + _ROW_BLOCK)
            largest = 2.0 * (self.shared[block] - fewest)
            with np.errstate(invalid="ignore", divide="ignore"):
                out[block] = np.where(largest > 0, self.matrix[block] / np.maximum(largest, 1), np.nan)
            out[block][np.isnan(self.matrix[block])] = np.nan
        return out

    @property
    def unscored(self) -> int:
        """Pairs of distinct trees sharing too few taxa for a distance (NaN)."""
        count = 0
        for start in range(0, len(self.matrix), _ROW_BLOCK):
            block = self.matrix[start : start + _ROW_BLOCK]
            count += int(np.count_nonzero(np.isnan(block)))
        if self.reference is None:
            diagonal = int(np.count_nonzero(np.isnan(np.diagonal(self.matrix))))
            return (count - diagonal) // 2
        return count

    def __repr__(self) -> str:
        rows, cols = self.matrix.shape
        return (f"<GeneDistances: {self.metric} on {self.taxa_rule} taxa, {rows} x {cols} {self.matrix.dtype} matrix, "
                f"{len(self.taxa)} taxa>")


def gene_distances(trees: GeneTrees | PathLike | Sequence[PathLike] | Sequence[str], metric: str = "rf", *,
                   taxa: Taxa = "shared", rooted: bool = False, reference: GeneTrees | PathLike | str | None = None,
                   progress: bool | None = False, check_memory: bool = True) -> GeneDistances:
    """Distances between gene trees that each hold their own taxa.

    Parameters
    ----------
    trees : GeneTrees, path, sequence of paths, or sequence of Newick strings
        See `read_gene_trees`.
    metric : {"rf", "wrf", "kf"}
    taxa : "shared", "common", a sequence of taxon names, or a path to a file of them (one per line)
        The taxa each pair is compared on: the ones both trees hold, the ones every tree holds, or the
        listed ones that both trees hold.
    rooted : bool
        Compare clades of rooted trees instead of bipartitions.
    reference : GeneTrees, path or Newick string, optional
        One tree (a species tree, say): the distance of every tree to it, as one column.
    progress : bool or None
        Progress bars on stderr; None shows them only when stderr is a terminal.
    check_memory : bool
        Refuse, before any work, a matrix larger than the memory available, as `distances` does.

    Returns
    -------
    GeneDistances

    Examples
    --------
    >>> result = gene_distances("loci.treefile", "rf")                         # doctest: +SKIP
    >>> result.normalized().shape, result.unscored                            # doctest: +SKIP
    ((1200, 1200), 0)
    """
    chosen = policy.metric(metric)
    if not isinstance(rooted, bool):
        raise BrantoveilError("rooted must be True or False")
    rule, keep = _taxa_rule(taxa)
    genes = read_gene_trees(trees)
    names, texts = list(genes.names), list(genes.texts)
    maps, indices = list(genes.translate_maps), list(genes.map_indices)
    reference_name: str | None = None
    if reference is not None:
        other = read_gene_trees([reference] if isinstance(reference, str) and reference.rstrip().endswith(";")
                                else reference)
        if len(other) != 1:
            raise BrantoveilError(f"the reference must be one tree, not {len(other)}")
        reference_name = other.names[0]
        names.append(reference_name)
        texts.append(other.texts[0])
        table = other.translate_maps[other.map_indices[0]]
        if table:
            maps.append(table)
        indices.append(len(maps) - 1 if table else 0)
    elif len(genes) < 2:
        raise BrantoveilError(f"need at least 2 trees to compare; {len(genes)} given")
    if chosen.needs_lengths and not all(":" in text for text in texts):
        raise BrantoveilError(f"metric {chosen.name!r} needs branch lengths, and some trees have none")
    dtype = np.dtype("<f4") if chosen.name == "rf" else np.dtype("<f8")
    if check_memory and reference is None:  # a reference gives one column, never a size to check
        memory.check(len(genes), 0, dtype.itemsize)
    # Pairs holding the same taxa are left to the kernel of one taxon set (filled in below).
    same_taxa_path = rule == "shared" and reference is None
    taxon_names, presence_bytes, matrix_bytes = engine.gene_matrix(
        chosen.name, names, texts, maps, indices, rooted, keep, reference is not None, progress, same_taxa_path)
    n = len(genes)
    matrix = np.frombuffer(matrix_bytes, dtype=dtype).reshape(n, 1 if reference is not None else n)
    presence = np.frombuffer(presence_bytes, dtype=np.uint8).reshape(len(texts), len(taxon_names)).astype(bool)
    if same_taxa_path:
        _same_taxa_pairs(matrix, presence, chosen.name, names, texts, maps, indices, rooted)
    return GeneDistances(chosen.name, rooted, rule, matrix, tuple(genes.names), tuple(taxon_names), presence,
                         reference_name)


def _taxa_rule(taxa: Taxa) -> tuple[str, str | list[str] | None]:
    if isinstance(taxa, str) and taxa in ("shared", "common"):
        return taxa, None if taxa == "shared" else "common"
    if isinstance(taxa, str | os.PathLike):
        path = Path(taxa)
        if not path.is_file():
            raise BrantoveilError(f"taxa must be 'shared', 'common', a list of taxon names or a file of them; "
                                  f"{str(taxa)!r} is none of these")
        try:
            lines = path.read_text(encoding="utf-8").splitlines()
        except (OSError, UnicodeDecodeError) as error:
            raise BrantoveilError(f"cannot read the taxa file {path}: {error}") from None
        listed = [line.strip() for line in lines if line.strip() and not line.lstrip().startswith("#")]
    else:
        listed = [str(name) for name in taxa]
    if not listed:
        raise BrantoveilError("the list of taxa to keep is empty")
    return "listed", listed


def _same_taxa_pairs(matrix: npt.NDArray[Any], presence: npt.NDArray[np.bool_], metric: str, names: list[str],
                     texts: list[str], maps: list[dict[str, str]], indices: list[int], rooted: bool) -> None:
    """Puts the pairs of trees holding the same taxa in place from the whole-matrix kernel for one taxon set."""
    packed = np.packbits(presence, axis=1)
    _, group_of, sizes = np.unique(packed, axis=0, return_inverse=True, return_counts=True)
    group_of = group_of.reshape(-1)
    fewest = 3 if rooted else 4
    for group in np.flatnonzero(sizes >= 2):
        members = np.flatnonzero(group_of == group)
        if int(presence[members[0]].sum()) < fewest:
            continue
        sub = engine.same_taxa_matrix(metric, [names[i] for i in members], [texts[i] for i in members], maps,
                                      [indices[i] for i in members], rooted)
        matrix[np.ix_(members, members)] = sub.astype(matrix.dtype)


GENE_SUFFIXES = (".npz", ".csv", ".tsv", ".phy", ".dist")


def write_gene_outputs(result: GeneDistances, target: PathLike | None, normalize: bool) -> None:
    """Writes the result: .npz holds the distances, the shared-taxon counts and (with `normalize`) the
    normalised distances; CSV, TSV and PHYLIP (square only) hold the distances, normalised if asked;
    no target: TSV on standard output."""
    import sys

    values = result.normalized() if normalize else result.matrix
    if target is None:
        _write_text(result, values, sys.stdout, "\t")
        return
    suffix = Path(target).suffix.lower()
    if suffix not in GENE_SUFFIXES:
        raise BrantoveilError(f"cannot tell the format of {target}: use one of {', '.join(GENE_SUFFIXES)}")
    if suffix in (".phy", ".dist") and result.reference is not None:
        raise BrantoveilError("a PHYLIP matrix is square: write distances to a reference as .csv, .tsv or .npz")
    with atomic_path(target) as path:
        if suffix == ".npz":
            fields: dict[str, Any] = {"distance": result.matrix, "shared": result.shared,
                                      "names": np.array(result.names), "taxa": np.array(result.taxa),
                                      "metric": np.array(result.metric), "rooted": np.array(result.rooted),
                                      "taxa_rule": np.array(result.taxa_rule)}
            if normalize:
                fields["normalized"] = values
            if result.reference is not None:
                fields["reference"] = np.array(result.reference)
            with open(path, "wb") as handle:
                np.savez(handle, **fields)
            return
        with open(path, "w", encoding="utf-8", newline="") as out:
            if suffix in (".phy", ".dist"):
                out.write(f"{len(result.names)}\n")
                for i, name in enumerate(result.names):
                    out.write(name.replace(" ", "_") + " " + " ".join(f"{v:.10g}" for v in values[i]) + "\n")
            else:
                _write_text(result, values, out, "," if suffix == ".csv" else "\t")


def _write_text(result: GeneDistances, values: npt.NDArray[Any], out: Any, sep: str) -> None:
    columns = [result.reference] if result.reference is not None else list(result.names)
    out.write(sep.join(["", *columns]) + "\n")
    for i, name in enumerate(result.names):
        out.write(sep.join([name, *(f"{v:.10g}" for v in values[i])]) + "\n")
