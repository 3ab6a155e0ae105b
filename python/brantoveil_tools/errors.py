"""The error and warning types users see: a mistake in their input or options, told in one line."""

from __future__ import annotations


class BrantoveilError(Exception):
    """A problem with the input files, the options or the output, described in one line.

    The command line prints the message alone and exits with status 2; notebook code can catch it.
    """


class SettingError(BrantoveilError):
    """A setting of a library call that is out of its range, named as the library names it (``min_freq``).

    The command line names the flag instead (``--min-freq``); the message reads "<setting> <problem>".
    """

    def __init__(self, setting: str, problem: str) -> None:
        super().__init__(f"{setting} {problem}")
        self.setting = setting
        self.problem = problem


class TreeError(BrantoveilError):
    """A tree the engine cannot read, placed in its file.

    Attributes
    ----------
    tree_index : int
        The tree's position in the sample (0-based, after burn-in and thinning).
    path : str
        The file holding it, as the run is labelled (``"-"`` for standard input).
    tree_number : int or None
        The tree's own position in that file (1-based), when the selection tells it.
    offset : int or None
        Byte offset within the tree's Newick text where the fault was found (the stray delimiter,
        the first byte of a bad branch length or of a repeated leaf, the ``;`` of an unfinished tree,
        the end of a tree without ``;``), counted in UTF-8 bytes from the tree's first non-blank byte
        in its file (in NEXUS, after ``tree NAME =``) or from the start of a string given in memory.
        A single-quoted name holding a quote is read rewritten, which can shift the offsets after it.
        None when the fault has no one place (taxa that differ from the first tree's, a tree too large).
    kind : str
        ``"syntax"``, ``"leaf_set"``, ``"tree"`` (an unnamed or repeated leaf, a tree too large) or
        ``"general"``.
    """

    def __init__(self, message: str, *, tree_index: int, path: str, tree_number: int | None,
                 offset: int | None, kind: str) -> None:
        super().__init__(message)
        self.tree_index = tree_index
        self.path = path
        self.tree_number = tree_number
        self.offset = offset
        self.kind = kind


class TruncatedTraceWarning(UserWarning):
    """A parameter file's last row is cut off (a run still being written); the complete rows are used."""


class NonFiniteValueWarning(UserWarning):
    """A branch length or annotation of a sampled tree is NaN or infinite (left out of the summary's
    statistics), or a summary value overflowed and is written as such."""
