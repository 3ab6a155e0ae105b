"""Progress on stderr for every phase longer than a moment: engine calls, long Python phases, writes.

An engine call stays on the calling thread, so Ctrl-C reaches it; a small daemon thread polls the
engine's lock-free `ProgressCounter` (the engine releases the interpreter lock while it works) and
the number of trees handed over so far, and draws one line per phase with tqdm: trees read, the
splits prepared and pairs compared, the matrix finished; the engine counts nothing before the first
pairs and after the last, so those phases are spinners with the time spent. The call gets a
counter even when nothing is shown: with one the engine computes without holding the interpreter
lock, so other Python threads keep running.

Quiet callers (`show=False`) never import tqdm.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, TypeVar

import brantoveil

if TYPE_CHECKING:
    from tqdm import tqdm

T = TypeVar("T")
POLL_SECONDS = 0.1
PREPARING = "preparing splits"
FINISHING = "finishing the matrix"


def _bar(show: bool | None, **options: Any) -> tqdm[Any]:
    """A tqdm bar on stderr; `show` None: only when stderr is a terminal."""
    from tqdm import tqdm

    return tqdm(disable=None if show is None else not show, dynamic_ncols=True, leave=True, **options)


def _spinner(show: bool | None, desc: str) -> tqdm[Any]:
    # No total: the line says what is being done and for how long, redrawn by its caller's thread.
    return _bar(show, desc=desc, total=None, bar_format="{desc}: {elapsed}", mininterval=0)


class _Run:
    """What the poller watches: the end of the call, and whether it ended with a result."""

    def __init__(self) -> None:
        self.done = threading.Event()
        self.finished = False


class _Reading:
    """Counts the texts handed to the engine."""

    def __init__(self, texts: Iterator[str]) -> None:
        self.texts = texts
        self.count = 0

    def __iter__(self) -> Iterator[str]:
        return self

    def __next__(self) -> str:
        text = next(self.texts)
        self.count += 1
        return text


def run_with_progress(call: Callable[[Iterator[str], brantoveil.ProgressCounter], T],
                      texts: Iterator[str], trees: int, show: bool | None) -> T:
    """Calls ``call(texts, counter)``; with `show` (None: only on a terminal) draws its phases.

    `trees` is the number of texts that will be read, for the first bar's total.
    """
    counter = brantoveil.ProgressCounter()
    if show is False:
        return call(texts, counter)
    reading = _Reading(texts)
    run = _Run()
    poller = threading.Thread(target=_poll, args=(reading, trees, counter, run, show), daemon=True,
                              name="brantoveil-progress")
    poller.start()
    try:
        result = call(reading, counter)
        run.finished = True
        return result
    finally:
        run.done.set()
        poller.join()


def _poll(reading: _Reading, trees: int, counter: brantoveil.ProgressCounter, run: _Run,
          show: bool | None) -> None:
    # One line open at a time: reading; preparing (every text handed over, no pair counted yet: the
    # engine builds its split tables and, when it will compare pairs, faults in the matrix's memory);
    # comparing; finishing (every pair counted: the engine mirrors the matrix's upper triangle).
    bar = _bar(show, total=trees, desc="reading trees", unit="tree", unit_scale=True)
    phase = "reading"

    def advance(to: str) -> None:
        nonlocal bar, phase
        if phase == "reading":
            bar.update(trees - bar.n)
        elif phase == "comparing":
            bar.update(counter.total() - bar.n)
        bar.close()
        phase = to
        if to == "preparing":
            bar = _spinner(show, _preparing(counter))
        elif to == "comparing":
            bar = _bar(show, total=counter.total(), desc="comparing pairs", unit="pair", unit_scale=True)
        else:
            bar = _spinner(show, FINISHING)

    try:
        while not run.done.wait(POLL_SECONDS):
            total, value = counter.total(), counter.value()
            if phase == "comparing" and value >= total:
                advance("finishing")
            elif phase in ("reading", "preparing") and value > 0:
                advance("comparing")
            elif phase == "reading" and (reading.count >= trees or total > 0):
                advance("preparing")
            if phase == "reading":
                bar.update(reading.count - bar.n)
            elif phase == "comparing":
                bar.update(value - bar.n)
            else:
                if phase == "preparing":
                    bar.set_description_str(_preparing(counter), refresh=False)
                bar.refresh()
        if run.finished:
            # A call that compares no pairs (reading alone) never opens the comparing bar.
            if phase in ("reading", "preparing") and counter.total() > 0:
                advance("comparing")
            if phase == "reading":
                bar.update(trees - bar.n)
            elif phase == "comparing":
                bar.update(counter.total() - bar.n)
    finally:
        bar.close()


def _preparing(counter: brantoveil.ProgressCounter) -> str:
    return PREPARING if counter.total() == 0 else f"{PREPARING} and the matrix"


@contextmanager
def phase(desc: str, show: bool | None) -> Iterator[None]:
    """Shows `desc` and the time spent while the block runs, redrawn every moment by a daemon thread,
    so the clock keeps running while one long step holds the block. `show` None: only on a terminal;
    False: nothing at all (tqdm is not imported)."""
    if show is False:
        yield
        return
    bar = _spinner(show, desc)
    done = threading.Event()

    def redraw() -> None:
        while not done.wait(POLL_SECONDS):
            bar.refresh()

    drawer = threading.Thread(target=redraw, daemon=True, name="brantoveil-phase")
    drawer.start()
    try:
        yield
    finally:
        done.set()
        drawer.join()
        bar.close()


class Bytes:
    """A bar of bytes written, shown on stderr (`show` None: only on a terminal; False: nothing).

    A text file's size is known only once written: `expect` moves the total as the estimate improves.
    """

    def __init__(self, desc: str, total: int | None, show: bool | None) -> None:
        self._bar = None if show is False else _bar(show, desc=desc, total=total, unit="B", unit_scale=True)

    def add(self, n: int) -> None:
        """Counts `n` more bytes written."""
        if self._bar is not None:
            self._bar.update(n)

    def expect(self, total: int) -> None:
        """Sets the number of bytes the file will have."""
        if self._bar is not None:
            self._bar.total = total  # drawn with the next bytes counted

    def close(self) -> None:
        """Ends the bar (at its total when every byte was counted)."""
        if self._bar is not None:
            self._bar.close()
