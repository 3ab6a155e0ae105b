"""Per-node annotations of the sampled trees (BEAST's rates, traits, locations) summarized by type, as
TreeAnnotator writes them: numbers by mean, median, 95% HPD and range; text (a discrete trait) by its
most frequent state, that state's share, and every state seen with its share; vectors ``{a,b}``
component by component (``name1``, ``name2``: mean, median and range)."""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence

from .newick import number
from .tree import Annotation, describe


def describe_note(name: str, texts: Sequence[str], notes: dict[str, Annotation], upper_median: bool = False,
                  constant_once: bool = False) -> bool:
    """Adds the summary of one annotation's raw texts over the trees holding a clade; True when values
    that are not finite were left out. States are listed in sorted order; the mode is the first of the
    most frequent."""
    if texts and all(text.startswith("{") and text.endswith("}") for text in texts):
        rows = [[part.strip() for part in text[1:-1].split(",")] for text in texts]
        width = len(rows[0])
        if all(len(row) == width for row in rows):
            columns = [[number(row[k]) for row in rows] for k in range(width)]
            if all(value is not None for column in columns for value in column):
                dropped = False
                for k, column in enumerate(columns, 1):
                    values = [float(value) for value in column if value is not None]
                    dropped |= describe(f"{name}{k}", values, notes, upper_median, False, constant_once).dropped
                return dropped
    values_or_none = [number(text) for text in texts]
    if all(value is not None for value in values_or_none):
        numbers = [float(v) for v in values_or_none if v is not None]
        return describe(name, numbers, notes, upper_median, True, constant_once).dropped
    seen = Counter(_unquote(text) for text in texts)
    states = {state: seen[state] for state in sorted(seen)}
    mode = max(states, key=lambda state: states[state])  # the first in sorted order among equals
    total = len(texts)
    notes[name] = mode
    notes[f"{name}.prob"] = states[mode] / total
    notes[f"{name}.set"] = tuple(states)
    notes[f"{name}.set.prob"] = tuple(count / total for count in states.values())
    return False


def _unquote(text: str) -> str:
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "\"'":
        return text[1:-1]
    return text
