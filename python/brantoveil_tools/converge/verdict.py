"""The convergence verdict: every criterion a posterior is judged by, its threshold, its value and its outcome."""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Literal

Direction = Literal["at most", "at least"]


@dataclass(frozen=True)
class Criterion:
    """One criterion: ``value`` compared with ``threshold`` in ``direction``.

    ``runs`` names the runs (or pairs of runs, "run1 / run2") that fail it; empty when it passes or when it
    concerns all runs together. ``group`` is "trees" or "parameters". A NaN value passes only when
    ``nan_passes`` (a statistic that is undefined because nothing varies, for example).
    ``generations_needed``: for a failing criterion, the generations the runs still need by its rate so far
    (`brantoveil_tools.converge.needed`); None when it passes or cannot be estimated.
    """

    name: str
    value: float
    threshold: float
    direction: Direction
    passed: bool
    group: str = "trees"
    runs: tuple[str, ...] = ()
    note: str = ""
    generations_needed: float | None = None

    @classmethod
    def judge(cls, name: str, value: float, threshold: float, direction: Direction, *, group: str = "trees",
              runs: Iterable[str] = (), note: str = "", nan_passes: bool = False) -> Criterion:
        """A criterion whose outcome follows from its value, threshold and direction."""
        if math.isnan(value):
            passed = nan_passes
        elif direction == "at most":
            passed = value <= threshold
        else:
            passed = value >= threshold
        return cls(name, value, threshold, direction, passed, group, tuple(runs), note)

    def to_dict(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "group": self.group,
            "value": None if math.isnan(self.value) else self.value,
            "threshold": self.threshold,
            "direction": self.direction,
            "passed": self.passed,
            "runs": list(self.runs),
            "note": self.note,
            "generations_needed": None if self.generations_needed is None else round(self.generations_needed),
        }


@dataclass(frozen=True)
class Verdict:
    """All criteria; the posterior passes when every one passes."""

    criteria: tuple[Criterion, ...]

    @property
    def passed(self) -> bool:
        return all(criterion.passed for criterion in self.criteria)

    @property
    def failed(self) -> tuple[Criterion, ...]:
        return tuple(criterion for criterion in self.criteria if not criterion.passed)

    def extended(self, criteria: Iterable[Criterion]) -> Verdict:
        """This verdict with more criteria (the parameters' after the trees', say)."""
        return Verdict(self.criteria + tuple(criteria))

    def headline(self) -> str:
        """One line: passed, or which criteria failed and for which runs."""
        if self.passed:
            return f"verdict: passed ({len(self.criteria)} criteria)"
        parts = []
        for criterion in self.failed:
            where = f" ({', '.join(criterion.runs)})" if criterion.runs else ""
            parts.append(f"{criterion.name}{where}")
        return f"verdict: FAILED {len(parts)} of {len(self.criteria)} criteria: " + "; ".join(parts)

    def to_dict(self) -> dict[str, Any]:
        return {"passed": self.passed, "criteria": [criterion.to_dict() for criterion in self.criteria]}
