"""Warnings for values that are not finite: in the sampled trees (left out of the summary's
statistics) and in the summary written (a mean that overflowed), each naming where it is."""

from __future__ import annotations

import math
import re
import warnings
from collections.abc import Sequence

from ..errors import NonFiniteValueWarning
from ..sample import Sample
from .tree import SummaryTree

_COMMENT = re.compile(r"\[[^\]]*\]")
_LENGTH = re.compile(r":\s*([^\s,();:\[\]]+)")
_NOTE = re.compile(r"([^\s=,{}\[&]+)\s*=\s*(\{[^}]*\}|[^,\]]+)")


def _not_finite(token: str) -> bool:
    try:
        return not math.isfinite(float(token))
    except ValueError:
        return False


def warn_non_finite_values(sample: Sample, stacklevel: int = 3) -> None:
    """Warns once, naming the run, the tree and the value, of the first branch length or annotation of
    the sample that is NaN or infinite; silent when there is none (NaN also stands for a missing value)."""
    for k, text in enumerate(sample.newick()):
        what = None
        for comment in _COMMENT.findall(text):
            for name, value in _NOTE.findall(comment):
                parts = value.strip("{}").split(",") if value.startswith("{") else [value]
                bad = next((part.strip() for part in parts if _not_finite(part.strip())), None)
                if bad is not None:
                    what = f"annotation {name}={value.strip()}"
                    break
            if what:
                break
        if what is None:
            bad = next((token for token in _LENGTH.findall(_COMMENT.sub("", text)) if _not_finite(token)), None)
            if bad is not None:
                what = f"branch length {bad}"
        if what is not None:
            run = sample.run_labels[int(sample.runs[k])]
            warnings.warn(f"{run}, tree {sample.tree_names[k]}: {what} is not finite: left out of the "
                          "summary's means, medians and intervals", NonFiniteValueWarning, stacklevel=stacklevel)
            return


def warn_non_finite_summary(tree: SummaryTree, taxa: Sequence[str], stacklevel: int = 3) -> None:
    """Warns once when a value the summary tree will be written with is infinite (a mean that overflowed)."""
    for node in tree.nodes:
        for name, value in [("length", node.length), ("height", node.height), *node.notes.items()]:
            parts = value if isinstance(value, tuple) else (value,)
            if any(isinstance(part, float) and math.isinf(part) for part in parts):
                members = [taxa[k] for k in range(len(taxa)) if node.key >> k & 1]
                clade = ", ".join(members[:3]) + (", ..." if len(members) > 3 else "")
                warnings.warn(f"the summary's {name} of the clade ({clade}) is {value!r}: written as it is",
                              NonFiniteValueWarning, stacklevel=stacklevel)
                return
