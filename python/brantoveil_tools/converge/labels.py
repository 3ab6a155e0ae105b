"""Legend labels for the report's figures: short, and never two alike."""

from __future__ import annotations

from collections.abc import Sequence


def unique(labels: Sequence[str]) -> list[str]:
    """The labels with a number added to every repeat ("x", "x (2)"), so no two legend entries read the same."""
    seen: dict[str, int] = {}
    result = []
    for label in labels:
        seen[label] = seen.get(label, 0) + 1
        result.append(label if seen[label] == 1 else f"{label} ({seen[label]})")
    return result


def split_names(taxa: Sequence[tuple[str, ...]], shown: int = 4) -> list[str]:
    """Short names of splits, their first ``shown`` taxa and how many more ("a, b, c +2"), with more taxa shown
    until no two names are the same (two different splits always differ within their full lists)."""
    for k in range(shown, max((len(t) for t in taxa), default=0) + 1):
        names = [", ".join(t[:k]) + (f" +{len(t) - k}" if len(t) > k else "") for t in taxa]
        if len(set(names)) == len(names):
            return names
    return unique([", ".join(t) for t in taxa])


__all__ = ["split_names", "unique"]
