"""Convergence diagnostics of MCMC tree samples: split-frequency spread, tree and split ESS, the split-frequency
test, one verdict over every criterion, medoids and pictures."""

from brantoveil_tools.converge.parts import BurninSuggestion, DistanceFigures, RunReport, SplitCourses, SplitTable
from brantoveil_tools.converge.report import ConvergenceReport, converge
from brantoveil_tools.converge.settings import ConvergeSettings
from brantoveil_tools.converge.verdict import Criterion, Verdict

__all__ = ["BurninSuggestion", "ConvergeSettings", "ConvergenceReport", "Criterion", "DistanceFigures", "RunReport",
           "SplitCourses", "SplitTable", "Verdict", "converge"]
