"""Convergence diagnostics of MCMC tree samples: split-frequency spread, tree ESS, medoids and pictures."""

from brantoveil_tools.converge.report import (
    ConvergenceReport,
    DistanceFigures,
    RunReport,
    SplitTable,
    converge,
)

__all__ = ["ConvergenceReport", "DistanceFigures", "RunReport", "SplitTable", "converge"]
