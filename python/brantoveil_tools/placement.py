"""A tree the engine cannot read, placed as the user reads it: the file, the tree as the file names it, the fault."""

from __future__ import annotations

from dataclasses import dataclass

from .errors import BrantoveilError, TreeError
from .sample import Sample
from .treefile import leaf_labels

_SHOWN_TAXA = 3
_DIFFERENT_TAXA = "its taxa differ from the first tree's"


@dataclass(frozen=True)
class ReadFault:
    """The engine's reading error: its message, the tree's position in the input, and what is wrong there."""

    message: str
    kind: str
    """'syntax', 'leaf_set', 'tree' (an unnamed or repeated leaf, a tree too large) or 'general'."""
    tree_index: int | None
    offset: int | None
    reason: str
    """The message without the words that place the tree."""

    def __str__(self) -> str:
        return self.message


def placed(error: ReadFault, sample: Sample) -> BrantoveilError:
    """The engine's reading error as the user reads it: the file, the tree as the file names it, what is wrong."""
    k = error.tree_index
    if k is None or not 0 <= k < len(sample):
        return BrantoveilError(str(error))
    run = int(sample.runs[k])
    label = sample.run_labels[run]
    where = f"{label}, tree {sample.tree_names[k]}"
    if error.kind == "syntax":
        message = f"{where}: not a Newick tree: {error.reason}"
    elif error.kind == "leaf_set":
        message = f"{where}: {_taxa_difference(sample, k) or _DIFFERENT_TAXA}"
    elif error.kind == "tree":
        message = f"{where}: the tree {error.reason}"
    else:
        message = f"{where}: {error}"
    return TreeError(message, tree_index=k, path=_path(sample, run), tree_number=_tree_number(sample, k, run),
                     offset=error.offset, kind=error.kind)


def _taxa(sample: Sample, k: int) -> set[str]:
    text = next(sample.subset([k]).newick())
    table = sample.translate_maps[int(sample.map_indices[k])]
    return {table.get(label, label) for label in leaf_labels(text)}


def _taxa_difference(sample: Sample, k: int) -> str:
    """"its taxa differ from the first tree's (missing: X; extra: Y)", or "" when the texts do not tell."""
    try:
        first, here = _taxa(sample, 0), _taxa(sample, k)
    except (BrantoveilError, OSError, UnicodeDecodeError, StopIteration):
        return ""
    parts = [f"{word}: {_few(sorted(names))}" for word, names in (("missing", first - here), ("extra", here - first))
             if names]
    return f"{_DIFFERENT_TAXA} ({'; '.join(parts)})" if parts else ""


def _few(names: list[str]) -> str:
    shown = ", ".join(names[:_SHOWN_TAXA])
    return shown + (f" and {len(names) - _SHOWN_TAXA} more" if len(names) > _SHOWN_TAXA else "")


def _path(sample: Sample, run: int) -> str:
    runs = sample.selection.runs
    return runs[run].path if run < len(runs) and runs[run].path else sample.run_labels[run]


def _tree_number(sample: Sample, k: int, run: int) -> int | None:
    """The tree's 1-based position in its file, when the sample holds the whole selection of that run."""
    runs = sample.selection.runs
    if run >= len(runs):
        return None
    chosen = runs[run]
    first = int(sample.runs.searchsorted(run))
    held = int(sample.runs.searchsorted(run, side="right")) - first
    if held != chosen.kept:
        return None  # a subset: positions are no longer dropped + thin * i
    return chosen.dropped + sample.selection.thin * (k - first) + 1
