"""Tree files in, distance matrices and convergence reports out: the companion of the `brantoveil` engine.

>>> from brantoveil_tools import distances                                    # doctest: +SKIP
>>> result = distances(["run1.t", "run2.t"], "rf", burnin=0.25)              # doctest: +SKIP
>>> result.matrix            # n x n numpy array, labelled by result.names   # doctest: +SKIP
"""

from __future__ import annotations

from .api import DistanceResult, SplitExports, distances
from .checks import MissingLengthsWarning, NonFiniteDistanceWarning
from .errors import BrantoveilError, TreeError
from .sample import Sample, TruncatedFileWarning, from_newick, read_sample
from .selection import RunSelection, Selection
from .summarize import SummaryResult, summarize

__all__ = [
    "BrantoveilError",
    "DistanceResult",
    "MissingLengthsWarning",
    "NonFiniteDistanceWarning",
    "RunSelection",
    "Sample",
    "Selection",
    "SplitExports",
    "SummaryResult",
    "TreeError",
    "TruncatedFileWarning",
    "__version__",
    "distances",
    "from_newick",
    "read_sample",
    "summarize",
]


def __getattr__(name: str) -> str:
    # The version is looked up only when asked for: importlib.metadata and the email parser it
    # brings cost more than a command's own modules.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("brantoveil")
    except PackageNotFoundError:  # running from a source tree
        return "0+unknown"
