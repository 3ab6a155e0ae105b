"""Interpreter exit, interrupts and forks around running calls; each case runs in its own interpreter."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import FIVE_TREES, TrackedIterator

HERE = os.path.dirname(os.path.abspath(__file__))


def run_script(body, timeout=120, **kwargs):
    """Runs `body` in a fresh interpreter that can import the test helpers."""
    script = "import sys\nsys.path.insert(0, %r)\n" % HERE + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout,
                          **kwargs)


EXIT_DURING_CALL = """
    import threading, time
    import brantoveil, reference

    trees = reference.sample(5, 400, 50, lengths="binary")
    n = len(trees)

    def loop():
        counter = brantoveil.ProgressCounter()
        while True:
            brantoveil.pairwise_kf_from_newick_iter([str(i) for i in range(n)], iter(trees), [{}], [0] * n,
                                                    progress=counter)

    threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.3)
"""


def test_exit_while_a_daemon_thread_computes_with_a_counter():
    # The daemon thread wants the lock back while the interpreter finalises; that must end quietly.
    with ThreadPoolExecutor(max_workers=2) as runs:
        results = list(runs.map(lambda _: run_script(EXIT_DURING_CALL), range(12)))
    failures = [(r.returncode, r.stderr[-300:]) for r in results if r.returncode != 0]
    assert failures == []


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("at, earlier", [(1, False), (3, False), (50, True)])
def test_interrupt_from_the_iterator_stops_reading_at_once(function, stop, at, earlier):
    trees = list(FIVE_TREES) * 40
    items = trees[:at] + [stop("now")] + trees[at:]
    if earlier:  # an ordinary error stored before it must not win
        items.insert(10, ValueError("earlier"))
    source = TrackedIterator(items)
    n = len(items)
    with pytest.raises(stop, match="now"):
        function([f"t{i}" for i in range(n)], source, [{}], [0] * n)
    assert source.pulled == at + 1 + earlier
