"""Policies every command and notebook shares, each written once: the metrics, the default burn-in, exit statuses."""

from __future__ import annotations

import enum
from dataclasses import dataclass

import numpy as np

from .errors import BrantoveilError, SettingError


@dataclass(frozen=True)
class Metric:
    """A distance between two trees: its command name, its title, the matrix's dtype, whether it reads lengths."""

    name: str
    title: str
    dtype: np.dtype[np.uint32] | np.dtype[np.float64]
    needs_lengths: bool
    summary: str

    def __str__(self) -> str:
        return self.name


RF = Metric("rf", "Robinson-Foulds", np.dtype("<u4"), False,
            "the number of splits found in exactly one of the two trees (topology only)")
WRF = Metric("wrf", "weighted Robinson-Foulds", np.dtype("<f8"), True,
             "the sum over all splits of the absolute difference of the split's branch lengths "
             "(a split missing from a tree has length 0 there)")
KF = Metric("kf", "Kuhner-Felsenstein branch score", np.dtype("<f8"), True,
            "the square root of the sum over all splits of the squared difference of the split's branch "
            "lengths (a split missing from a tree has length 0 there)")

METRICS: dict[str, Metric] = {metric.name: metric for metric in (RF, WRF, KF)}

TILE_SIDE = 4096
"""The side of a tile of the matrix (its rows and columns) when none is given."""

DEFAULT_BURNIN = 0.25
"""The share of every run dropped from its start unless told otherwise, as MrBayes's sumt and sump do."""


def metric(name: str | Metric) -> Metric:
    """The metric called ``name`` ("rf", "wrf" or "kf"); a one-line error for any other."""
    if isinstance(name, Metric):
        return name
    try:
        return METRICS[name]
    except (KeyError, TypeError):
        raise BrantoveilError(f"unknown metric {name!r}: expected one of {', '.join(METRICS)}") from None


class ExitStatus(enum.IntEnum):
    """What the command's exit status means."""

    OK = 0
    VERDICT_FAILED = 1
    ERROR = 2
    INTERRUPTED = 130
    BROKEN_PIPE = 141
    """The reader of standard output went away (`| head`): 128 + SIGPIPE, as Unix tools end."""


def check_min_freq(value: float) -> float:
    """A minimum split or clade frequency: a number in [0, 1] (NaN is not)."""
    if not 0.0 <= value <= 1.0:
        raise SettingError("min_freq", f"must lie in [0, 1], not {value}")
    return float(value)
