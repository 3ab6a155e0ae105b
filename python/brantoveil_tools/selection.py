"""Which trees of each run are kept: burn-in (a fraction, a count or a generation) and thinning."""

from __future__ import annotations

import math
import re
from dataclasses import asdict, dataclass
from fractions import Fraction
from typing import Any

from .errors import BrantoveilError
from .textio import printable

BurnIn = float | int | str


@dataclass(frozen=True)
class BurnInRule:
    """A parsed burn-in: `kind` is "fraction", "count" or "generation"."""

    kind: str
    value: Fraction | int
    text: str

    def dropped(self, generations: list[int] | None, trees: int, label: str) -> int:
        """How many leading trees of a run with `trees` trees this rule drops."""
        if self.kind == "fraction":
            return math.floor(self.value * trees)  # as MrBayes does: floor(f * m), exactly
        if self.kind == "count":
            return min(int(self.value), trees)
        if generations is None or any(g < 0 for g in generations):
            raise BrantoveilError(
                f"{label}: burn-in by generation needs generations in the tree names "
                f"(like gen.250000 or STATE_250000); use a fraction or a count instead")
        return next((k for k, g in enumerate(generations) if g >= self.value), trees)


def parse_burnin(value: BurnIn) -> BurnInRule:
    """Reads 0.25 or "25%" (fraction), 2500 (count of trees) or "gen:250000" / "state:250000" (generation)."""
    if isinstance(value, bool):
        raise BrantoveilError(f"invalid burn-in {value!r}")
    if isinstance(value, int):
        if value < 0:
            raise BrantoveilError(f"invalid burn-in {value}: a count of trees cannot be negative")
        return BurnInRule("count", value, str(value))
    if isinstance(value, float):
        if not 0.0 <= value < 1.0:
            raise BrantoveilError(
                f"invalid burn-in {value}: a fraction must be at least 0 and below 1 (or give a whole count)")
        return BurnInRule("fraction", Fraction(repr(value)), repr(value))
    text = value.strip()
    generation = re.fullmatch(r"(?i)(?:gen|generation|state):\s*(\d+)", text)
    if generation:
        return BurnInRule("generation", int(generation.group(1)), f"gen:{int(generation.group(1))}")
    percent = re.fullmatch(r"(\d+(?:\.\d*)?|\.\d+)\s*%", text)
    try:
        if percent:
            fraction = Fraction(percent.group(1)) / 100
        elif re.fullmatch(r"\d+", text):
            return BurnInRule("count", int(text), str(int(text)))
        elif re.fullmatch(r"\d*\.\d*", text) and text != ".":
            fraction = Fraction(text)
        else:
            raise ValueError
    except ValueError:
        raise BrantoveilError(
            f"invalid burn-in '{printable(value)}': give a fraction (0.25 or 25%), a count of trees (2500) "
            f"or a generation (gen:250000)") from None
    if not 0 <= fraction < 1:
        raise BrantoveilError(f"invalid burn-in '{printable(value)}': a fraction must be at least 0 and below 1")
    return BurnInRule("fraction", fraction, text)


def check_thin(thin: int) -> int:
    if isinstance(thin, bool) or not isinstance(thin, int) or thin < 1:
        raise BrantoveilError(f"invalid thinning {thin!r}: keep every k-th tree with k a whole number of at least 1")
    return thin


@dataclass(frozen=True)
class RunSelection:
    """The trees kept from one run (file): `trees_in_file` complete trees, the first `dropped` are burn-in."""

    label: str
    path: str
    format: str
    trees_in_file: int
    dropped: int
    kept: int
    first_kept: str  # name of the first kept tree
    last_kept: str


@dataclass(frozen=True)
class Selection:
    """The sample selection actually used, recorded with every result."""

    burnin: str
    thin: int
    runs: tuple[RunSelection, ...]

    def __repr__(self) -> str:
        # Sized for notebooks: a few runs, then how many more.
        runs = ", ".join(f"{run.label}: {run.kept} of {run.trees_in_file}" for run in self.runs[:4])
        more = f", and {len(self.runs) - 4} more runs" if len(self.runs) > 4 else ""
        return f"Selection(burnin={self.burnin!r}, thin={self.thin}, kept=[{runs}{more}])"

    def to_dict(self) -> dict[str, Any]:
        return {"burnin": self.burnin, "thin": self.thin, "runs": [asdict(run) for run in self.runs]}

    def describe(self) -> str:
        """One line per run, for the terminal."""
        lines = []
        for run in self.runs:
            thinning = f", then 1 in {self.thin}" if self.thin > 1 else ""
            lines.append(f"{run.label}: kept {run.kept} of {run.trees_in_file} trees "
                         f"(burn-in {self.burnin}: {run.dropped} dropped{thinning})")
        return "\n".join(lines)


def kept_positions(dropped: int, trees: int, thin: int) -> range:
    """Positions kept: every `thin`-th tree from the first one after the burn-in."""
    return range(dropped, trees, thin)
