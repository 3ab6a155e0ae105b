"""A sample read once into the engine's compact form, ready to be shipped to every worker."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import engine, policy
from ..api import as_sample, require_pair
from ..errors import BrantoveilError
from ..sample import PathLike, Sample
from ..selection import BurnIn, Selection


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class Encoded:
    """An encoded sample and its labels: the native sample travels to the workers, the labels stay here.

    Attributes
    ----------
    native : brantoveil_tools.engine.EncodedSample
        Every tree as its sorted split IDs (and branch lengths when `lengths`); pickles to bytes.
    names, runs, run_labels, selection
        As in `DistanceResult`.
    """

    native: engine.EncodedSample
    names: tuple[str, ...]
    runs: npt.NDArray[np.int64]
    run_labels: tuple[str, ...]
    selection: Selection

    def __len__(self) -> int:
        return self.native.n_trees

    @property
    def lengths(self) -> bool:
        return self.native.has_lengths


def encode(trees: Sample | PathLike | Sequence[PathLike] | Sequence[str], *, lengths: bool = False,
           rooted: bool = False, burnin: BurnIn | None = None, thin: int = 1,
           progress: bool | None = False) -> Encoded:
    """Reads the trees once into an `Encoded` sample (arguments as for `brantoveil_tools.distances`).

    `lengths=True` keeps branch lengths, which the weighted metrics ("wrf", "kf") need.
    """
    sample = require_pair(as_sample(trees, burnin, thin, progress))
    native = engine.encode(sample, rooted=rooted, lengths=lengths, progress=progress)
    return Encoded(native, sample.names, sample.runs, sample.run_labels, sample.selection)


def check_metric(encoded: Encoded, metric: str | policy.Metric) -> np.dtype[Any]:
    """The element type of `metric`'s matrix; refuses metrics the sample cannot give."""
    chosen = policy.metric(metric)
    if chosen.needs_lengths and not encoded.lengths:
        raise BrantoveilError(f"the {chosen.title} needs branch lengths: encode with lengths=True")
    return chosen.dtype
