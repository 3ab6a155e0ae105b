"""The thread-count policy: what counts as a thread count, from an argument or from the environment."""

from __future__ import annotations

import os

from .errors import BrantoveilError

THREADS_VARIABLE = "BRANTOVEIL_THREADS"
"""The environment variable that sizes the worker pool when it starts (a positive integer)."""

MAX_THREADS = 4096
"""The most threads ``BRANTOVEIL_THREADS`` may ask for."""


def check_count(n: object) -> int:
    """`n` itself when it is a positive integer (a bool is not); else a `BrantoveilError`."""
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise BrantoveilError(f"the thread count must be a positive integer, not {n!r}")
    return n


def check_environment() -> None:
    """Refuses a ``BRANTOVEIL_THREADS`` that is set but not a positive integer (the engine would ignore it)."""
    text = os.environ.get(THREADS_VARIABLE)
    if text is None or text == "":
        return
    if not (text.isascii() and text.isdigit() and 1 <= int(text) <= MAX_THREADS):
        raise BrantoveilError(f"{THREADS_VARIABLE} must be a whole number of threads between 1 and {MAX_THREADS}, "
                              f"not {text!r}")
