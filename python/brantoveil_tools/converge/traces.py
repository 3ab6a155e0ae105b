"""Reading parameter traces (MrBayes .p, BEAST and RevBayes .log): every complete row, each fault named
by file, line and column."""

from __future__ import annotations

import io
import re
import warnings
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from brantoveil_tools.errors import BrantoveilError, TruncatedTraceWarning
from brantoveil_tools.sample import PathLike
from brantoveil_tools.textio import open_source

# First header cell -> the program that writes such files.
GENERATION_COLUMNS = {"gen": "mrbayes", "state": "beast", "sample": "beast", "iteration": "revbayes"}


@dataclass(frozen=True, eq=False)  # holds arrays: compared by identity
class ParameterTrace:
    """The kept rows of one run's parameter file.

    ``values[i, j]`` is column ``columns[j]`` at row i; ``generations[i]`` the row's generation (its
    first column). ``rows_in_file`` counts complete rows, of which the first ``dropped`` are burn-in.
    """

    label: str
    path: str
    format: str
    generation_column: str
    columns: tuple[str, ...]
    generations: NDArray[np.int64]
    values: NDArray[np.float64]
    rows_in_file: int
    dropped: int = 0

    @property
    def kept(self) -> int:
        return len(self.generations)


def read_trace(path: PathLike, label: str | None = None) -> ParameterTrace:
    """Reads every complete row of a parameter file (plain or gzip).

    Lines in brackets (MrBayes's ID line), lines starting with ``#`` (BEAST's comments) and blank lines
    before the header are skipped. The header's first cell names the generation column: Gen (MrBayes),
    state or Sample (BEAST), Iteration (RevBayes). A last row cut off in the middle gives a warning and is
    left out; any other short, long or non-numeric row is an error naming the file, line and column.
    """
    source = open_source(path)
    name = label or source.label
    data = b"".join(source.blocks())
    text = data.decode("utf-8", errors="replace")
    if not text.strip():
        raise BrantoveilError(f"{name}: empty parameter file")
    lines = text.split("\n")
    complete_end = text.endswith("\n") and not source.truncated_stream
    header_at = header_line(lines, name)
    header = lines[header_at].rstrip("\r").rstrip("\t ").split("\t")
    header = [cell.strip() for cell in header]
    if len(header) < 2:
        raise BrantoveilError(f"{name} line {header_at + 1}: the header has no parameter columns")
    duplicated = sorted({c for c in header if header.count(c) > 1})
    if duplicated:
        raise BrantoveilError(f"{name} line {header_at + 1}: column {duplicated[0]!r} appears twice")
    last = len(lines) - 1
    while last > header_at and not lines[last].strip():
        last -= 1
    table = None if source.truncated_stream else fast_table(lines[header_at + 1 : last + 1], len(header))
    if table is None:
        table = _checked_table(lines, header_at, last, header, name, complete_end, source.truncated_stream)
    generations = table[:, 0]
    if not np.all(generations == np.round(generations)):
        raise BrantoveilError(f"{name}: the {header[0]} column holds numbers that are not whole")
    backwards = np.flatnonzero(np.diff(generations) <= 0)
    if len(backwards):  # the burn-in and the matching with the trees go by generation
        row = int(backwards[0]) + 1
        raise BrantoveilError(f"{name} line {_line_of_row(lines, header_at, row)}: {header[0]} "
                              f"{int(generations[row])} does not follow {int(generations[row - 1])}: "
                              f"the rows must have strictly increasing {header[0]}")
    fmt = GENERATION_COLUMNS[header[0].lower()]
    return ParameterTrace(label=name, path=str(source.path), format=fmt, generation_column=header[0],
                          columns=tuple(header[1:]), generations=generations.astype(np.int64),
                          values=np.ascontiguousarray(table[:, 1:]), rows_in_file=len(table))


def _line_of_row(lines: list[str], header_at: int, row: int) -> int:
    """The 1-based line number of data row ``row`` (0-based; blank lines are not rows)."""
    seen = -1
    for number in range(header_at + 1, len(lines)):
        if lines[number].strip():
            seen += 1
            if seen == row:
                return number + 1
    return len(lines)


def fast_table(body: list[str], width: int) -> NDArray[np.float64] | None:
    """Every row at once when the file is clean (whole rows of finite numbers); None sends it to the
    checked reader, which finds the first fault and says where it is."""
    rows = [line.rstrip("\r").rstrip("\t ") for line in body]
    rows = [row for row in rows if row.strip()]
    if not rows or any(row.count("\t") != width - 1 for row in rows):
        return None
    try:
        table = np.loadtxt(io.StringIO("\n".join(rows)), delimiter="\t", dtype=np.float64, ndmin=2)
    except ValueError:
        return None
    return table if table.shape == (len(rows), width) and np.isfinite(table).all() else None


def _checked_table(lines: list[str], header_at: int, last: int, header: Sequence[str], name: str,
                   complete_end: bool, truncated_stream: bool) -> NDArray[np.float64]:
    """Row by row, cell by cell: the first fault is an error naming line and column, except a cut-off
    last row, which is a warning and left out."""
    rows: list[list[float]] = []
    for number in range(header_at + 1, last + 1):
        line = lines[number].rstrip("\r").rstrip("\t ")
        if not line.strip():
            continue
        try:
            # A gzip stream cut short may end inside a number that still reads as one.
            if number == last and truncated_stream:
                raise BrantoveilError("cut off")
            rows.append(parse_row(line, header, name, number + 1))
        except BrantoveilError as error:
            if number == last and not complete_end:
                warnings.warn(f"{name}: the last row (line {number + 1}) is cut off and skipped "
                              f"({len(rows)} complete rows used)", TruncatedTraceWarning, stacklevel=2)
                break
            raise error from None
    if not rows:
        raise BrantoveilError(f"{name}: no samples after the header")
    return np.asarray(rows, dtype=np.float64)


def header_line(lines: list[str], name: str) -> int:
    for number, raw in enumerate(lines):
        line = raw.strip()
        if not line or line.startswith("#") or (line.startswith("[") and line.endswith("]")):
            continue
        first = line.split("\t", 1)[0].strip()
        if first.lower() not in GENERATION_COLUMNS:
            raise BrantoveilError(f"{name} line {number + 1}: not a parameter file header "
                                  f"(its first column should be Gen, state, Sample or Iteration, not {first!r})")
        return number
    raise BrantoveilError(f"{name}: no header line (comments only)")


_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def parse_row(line: str, header: Sequence[str], name: str, number: int) -> list[float]:
    cells = line.split("\t")
    if len(cells) != len(header):
        raise BrantoveilError(f"{name} line {number}: {len(cells)} cells where the header has {len(header)}")
    values = []
    for column, cell in zip(header, cells, strict=True):
        cell = cell.strip()
        if not _NUMBER.fullmatch(cell):
            raise BrantoveilError(f"{name} line {number} column {column}: {cell!r} is not a number")
        values.append(float(cell))
    return values

