"""The settings of a convergence report as one frozen value, checked in one place."""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from brantoveil_tools import policy
from brantoveil_tools.converge import ess
from brantoveil_tools.converge.assess import DEFAULT_MIN_ESS, Settings
from brantoveil_tools.converge.split_ess import DEFAULT_PRECISION
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.policy import DEFAULT_BURNIN, check_min_freq
from brantoveil_tools.selection import BurnIn, check_thin

if TYPE_CHECKING:
    from brantoveil_tools.converge.params import ParameterReport, TreeGenerations

PathLike = str | os.PathLike[str]

METRICS = (policy.RF.name, policy.KF.name)
"""The metrics the tree-space figures may use."""


@dataclass(frozen=True)
class ConvergeSettings:
    """Everything `converge` may be told, with its defaults.

    Attributes
    ----------
    burnin, thin
        The selection of trees, as for every command: a fraction, a count or ``"gen:N"``.
    min_freq : float
        Splits reaching this frequency in at least one run enter the ASDSF.
    rooted : bool or None
        Compare clades (True) or unrooted bipartitions (False); None decides from the files
        (`brantoveil_tools.rooting.decide`: [&R] / [&U], else rooted when every tree's root has two
        children). The report says which was used and why.
    metric : {"rf", "kf"}
        Distance of the subsample matrix behind the tree-space picture, heatmap and distance quantiles.
        Frequencies, medoids, traces and ESS always use Robinson-Foulds distances.
    seed : int
        Accepted for callers that give it: no figure is random any more (every tree is a focal tree of
        the pseudo-ESS).
    max_lag : int
        K, the largest lag of the approximate and Frechet-correlation ESS (default 100).
    min_ess : float
        Every tree ESS measure of every run must reach it (default 625).
    precision : float
        Standard error of split frequencies the runs must reach: split ESS at least (1 / (4 precision))^2,
        625 for the default 0.01; the split-frequency test uses that ESS.
    suggest_burnin : bool
        Also judge burn-ins of 10% .. 50% of every run and report the smallest after which every criterion
        passes (never applied). Needs tree files; for a Sample the fractions are of its kept trees.
    progress : bool or None
        Progress bars on stderr while the files are read; None shows them only on a terminal.
    params, no_params
        One parameter file per run (default: those beside the tree files, when there are any), or none.
        Their burn-in is the trees' first kept generation (a file must match its run's generations) and
        their thinning the trees'; their criteria join the verdict.
    params_include, params_exclude : sequence of str
        Glob patterns of the parameter columns to keep and to leave out.
    whole_sample : bool
        The Sample given is every tree of the runs (as a watched run's files hold them so far): the
        burn-in and thinning are applied to it as to tree files.
    parameters_from : callable, optional
        Gives the parameter report from the runs' tree generations instead of reading parameter files
        (the watcher keeps its parameter rows between updates).
    """

    burnin: BurnIn = DEFAULT_BURNIN
    thin: int = 1
    min_freq: float = 0.10
    rooted: bool | None = None
    metric: str = "rf"
    seed: int = ess.SEED
    max_lag: int = ess.DEFAULT_MAX_LAG
    min_ess: float = DEFAULT_MIN_ESS
    precision: float = DEFAULT_PRECISION
    suggest_burnin: bool = True
    progress: bool | None = False
    params: Sequence[PathLike] | None = None
    no_params: bool = False
    params_include: Sequence[str] = ()
    params_exclude: Sequence[str] = ()
    whole_sample: bool = False
    parameters_from: Callable[[Sequence[TreeGenerations]], ParameterReport | None] | None = None

    def criteria(self) -> Settings:
        """The thresholds and sizes the criteria use, after one-line errors for values that make no sense."""
        if self.metric not in METRICS:
            raise BrantoveilError(f"unknown metric {self.metric!r}: use {' or '.join(METRICS)}")
        check_min_freq(self.min_freq)
        check_thin(self.thin)
        return Settings.checked(max_lag=self.max_lag, min_ess=self.min_ess, precision=self.precision,
                                min_freq=self.min_freq)
