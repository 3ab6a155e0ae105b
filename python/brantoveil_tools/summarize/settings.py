"""The settings of a summary tree as one frozen value, checked in one place."""

from __future__ import annotations

import os
from dataclasses import dataclass, replace

from ..errors import BrantoveilError
from ..policy import DEFAULT_BURNIN, check_min_freq
from ..selection import BurnIn

METHODS = ("majority", "allcompat", "mcc", "hipstr")
LENGTHS = ("median", "mean", "none")
HEIGHTS = ("mean", "median", "keep", "ca")

PathLike = str | os.PathLike[str]


@dataclass(frozen=True)
class SummarizeSettings:
    """Everything `summarize` may be told, with its defaults.

    Attributes
    ----------
    method : str
        ``"majority"`` (majority-rule consensus), ``"allcompat"`` (majority rule plus every compatible
        clade by decreasing frequency), ``"mcc"`` (maximum clade credibility tree) or ``"hipstr"``.
    burnin, thin : see `read_sample`
    rooted : bool or None
        Compare clades (rooted trees, e.g. from BEAST) instead of splits; None reads it from the files
        (`brantoveil_tools.rooting.decide`: [&R] / [&U], else rooted when every root has two children).
    min_freq : float
        Majority rule keeps clades of frequency above one half and at least `min_freq`.
    lengths : str or None
        Branch lengths of unrooted summaries: the clade's ``"median"`` length by MrBayes's sumt rule
        (of an even count the upper middle value; the default), its ``"mean"``, or ``"none"``.
    heights : str or None
        Node heights of rooted summaries: the clade's ``"mean"`` or ``"median"`` height over the trees
        holding it, ``"ca"`` the mean height of its taxa's most recent common ancestor over all trees,
        or ``"keep"`` the MCC or target tree's own; None: mean when the trees have lengths.
    credible : float or None
        Also list the credible set of topologies of this mass (e.g. 0.95).
    progress : bool or None
        Progress bars on stderr while the files are read; None shows them only on a terminal.
    target : path or None
        A tree file whose first tree is annotated instead of building one (`method` is then unused);
        its clades absent from the sample get posterior 0 and keep the target's own heights.
    """

    method: str = "majority"
    burnin: BurnIn = DEFAULT_BURNIN
    thin: int = 1
    rooted: bool | None = None
    min_freq: float = 0.5
    lengths: str | None = None
    heights: str | None = None
    credible: float | None = None
    progress: bool | None = False
    target: PathLike | None = None

    def checked(self) -> SummarizeSettings:
        """The settings with their defaults filled in (lengths median), after one-line errors for any that
        make no sense."""
        if self.method not in METHODS:
            raise BrantoveilError(f"unknown method {self.method!r}: expected one of {', '.join(METHODS)}")
        lengths, heights = "median" if self.lengths is None else self.lengths, self.heights
        if lengths not in LENGTHS:
            raise BrantoveilError(f"unknown --lengths {lengths!r}: expected one of {', '.join(LENGTHS)}")
        if heights is not None and heights not in HEIGHTS:
            raise BrantoveilError(f"unknown --heights {heights!r}: expected one of {', '.join(HEIGHTS)}")
        if heights == "keep" and self.method != "mcc" and self.target is None:
            raise BrantoveilError("--heights keep needs a sampled tree: use it with --method mcc or --target")
        check_min_freq(self.min_freq)
        if self.credible is not None and not 0.0 < self.credible <= 1.0:
            raise BrantoveilError(f"the credible set's mass must lie in (0, 1], not {self.credible}")
        return replace(self, lengths=lengths)
