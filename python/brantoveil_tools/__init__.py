"""Tree files in, distance matrices and convergence reports out: the companion of the `brantoveil` engine.

>>> from brantoveil_tools import distances                                    # doctest: +SKIP
>>> result = distances(["run1.t", "run2.t"], "rf", burnin=0.25)              # doctest: +SKIP
>>> result.matrix            # n x n numpy array, labelled by result.names   # doctest: +SKIP
"""

from __future__ import annotations

import sys
import types

from .errors import BrantoveilError, SettingError, TreeError

# Not typing's: importing typing (and the modules it brings) is the longest moment of the launcher's
# start, and a Ctrl-C then could not be caught.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from .api import DistanceResult, SplitExports, distances
    from .checks import MissingLengthsWarning, NonFiniteDistanceWarning
    from .sample import Sample, TruncatedFileWarning, from_newick, read_sample
    from .selection import RunSelection, Selection
    from .summarize import SummaryResult, summarize

# Where each name of the package lives, imported when first asked for: importing the package (as the
# command's launcher does) loads no NumPy, so a Ctrl-C while the command starts is caught as one line.
_LAZY = {
    "DistanceResult": "api", "SplitExports": "api", "distances": "api",
    "MissingLengthsWarning": "checks", "NonFiniteDistanceWarning": "checks",
    "Sample": "sample", "TruncatedFileWarning": "sample", "from_newick": "sample", "read_sample": "sample",
    "RunSelection": "selection", "Selection": "selection",
}

__all__ = [
    "BrantoveilError",
    "DistanceResult",
    "MissingLengthsWarning",
    "NonFiniteDistanceWarning",
    "RunSelection",
    "Sample",
    "Selection",
    "SettingError",
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


class _Package(types.ModuleType):
    # `summarize` names the function, as it always has; importing the subpackage of the same name
    # (which the `summarize` command does) would otherwise rebind it to the module.
    def __setattr__(self, name: str, value: Any) -> None:
        if name == "summarize" and isinstance(value, types.ModuleType):
            return
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package


def __getattr__(name: str) -> Any:
    # Looked up only when asked for, so that a matrix command never loads them: the summary trees'
    # modules, and the version (importlib.metadata and the email parser it brings cost more than a
    # command's own modules).
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    if name in ("summarize", "SummaryResult"):
        from .summarize import api

        globals().update(summarize=api.summarize, SummaryResult=api.SummaryResult)
        return globals()[name]
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("brantoveil")
    except PackageNotFoundError:  # running from a source tree
        return "0+unknown"
