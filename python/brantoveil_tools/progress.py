"""Runs one engine call with progress bars on stderr: trees read, then pairs compared.

The call stays on the calling thread, so Ctrl-C reaches it; a small daemon thread polls the
engine's lock-free `ProgressCounter` (the engine releases the interpreter lock while it compares
pairs) and the number of trees handed over so far, and draws both with tqdm. The call gets a
counter even when no bar is shown: with one the engine computes without holding the interpreter
lock, so other Python threads keep running.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

import brantoveil
from tqdm import tqdm

T = TypeVar("T")
POLL_SECONDS = 0.1


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
    """Calls ``call(texts, counter)``; with `show` (None: only on a terminal) draws the two bars.

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
    options: dict[str, Any] = {"disable": None if show is None else not show, "dynamic_ncols": True,
                               "leave": True}
    read_bar = tqdm(total=trees, desc="reading trees", unit="tree", unit_scale=True, **options)
    pair_bar: tqdm[Any] | None = None
    try:
        while not run.done.wait(POLL_SECONDS):
            total = counter.total()
            if pair_bar is None and total > 0:
                read_bar.update(trees - read_bar.n)
                read_bar.close()
                pair_bar = tqdm(total=total, desc="comparing pairs", unit="pair", unit_scale=True, **options)
            if pair_bar is None:
                read_bar.update(reading.count - read_bar.n)
            else:
                pair_bar.update(counter.value() - pair_bar.n)
        if run.finished:
            read_bar.update(trees - read_bar.n)
            # A call that compares no pairs (reading alone) never opens the second bar.
            if pair_bar is None and counter.total() > 0:
                read_bar.close()
                pair_bar = tqdm(total=counter.total(), desc="comparing pairs", unit="pair", unit_scale=True,
                                **options)
            if pair_bar is not None:
                pair_bar.update(counter.total() - pair_bar.n)
    finally:
        read_bar.close()
        if pair_bar is not None:
            pair_bar.close()
