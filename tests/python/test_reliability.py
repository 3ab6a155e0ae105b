"""Interpreter exit, interrupts and forks around running calls; each case runs in its own interpreter."""

import json
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


def run_script(body, timeout=120, args_after=()):
    """Runs `body` in a fresh interpreter that can import the test helpers, with `args_after` as
    its arguments."""
    script = f"import sys\nsys.path.insert(0, {HERE!r})\n" + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script, *args_after], capture_output=True, text=True,
                          timeout=timeout)


EXIT_DURING_CALL = """
    import sys, threading, time
    import brantoveil, reference

    trees = reference.sample(5, 400, 50, lengths="binary")
    n = len(trees)
    # A generator runs Python code inside the call, where the interpreter may end the thread too.
    source = iter if sys.argv[1] == "list" else lambda items: (item for item in items)

    def loop():
        counter = brantoveil.ProgressCounter()
        while True:
            brantoveil.pairwise_kf_from_newick_iter([str(i) for i in range(n)], source(trees), [{}], [0] * n,
                                                    progress=counter)

    threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.3)
"""


@pytest.mark.parametrize("source", ["list", "generator"])
def test_exit_while_a_daemon_thread_computes_with_a_counter(source):
    # The daemon thread wants the lock back while the interpreter finalises; that must end quietly.
    with ThreadPoolExecutor(max_workers=2) as runs:
        results = list(runs.map(lambda _: run_script(EXIT_DURING_CALL, args_after=[source]), range(12)))
    failures = [(r.returncode, r.stderr[-300:]) for r in results if r.returncode != 0]
    assert failures == []


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("at, earlier", [(1, False), (3, False), (50, True)])
def test_interrupt_from_the_iterator_stops_reading_at_once(function, stop, at, earlier):
    trees = list(FIVE_TREES) * 40
    items = [*trees[:at], stop("now"), *trees[at:]]
    if earlier:  # an ordinary error stored before it must not win
        items.insert(10, ValueError("earlier"))
    source = TrackedIterator(items)
    n = len(items)
    with pytest.raises(stop, match="now"):
        function([f"t{i}" for i in range(n)], source, [{}], [0] * n)
    assert source.pulled == at + 1 + earlier


# One long call, interrupted by the parent's SIGINT; prints "ready" (and "filling" once a call
# with a counter has released the lock for the pairwise fill), then a JSON report.
INTERRUPTED_CALL = """
import json
import sys
import threading
import time

import brantoveil
import reference

name, n_trees, taxa, distinct = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
with_counter = sys.argv[5] == "1"
function = getattr(brantoveil, name)
trees = reference.sample(7, distinct, taxa, lengths="binary")
trees = (trees * (n_trees // len(trees) + 1))[:n_trees]
small = reference.sample(8, 30, 10, lengths="binary")


def run(items, progress=None):
    n = len(items)
    return function([str(i) for i in range(n)], iter(items), [{}], [0] * n, progress=progress)


expected_small = run(small)
counter = brantoveil.ProgressCounter() if with_counter else None
report = {}
print("ready", flush=True)


def announce_fill():
    # Runs once the call releases the lock for the pairwise fill.
    while counter.value() == 0:
        time.sleep(0.001)
    print("filling", flush=True)


if counter is not None:
    threading.Thread(target=announce_fill, daemon=True).start()
try:
    run(trees, counter)
    report["outcome"] = "finished"
    time.sleep(30)  # the signal still comes; a finished call means the case was too short
except KeyboardInterrupt:
    report.setdefault("outcome", "interrupted")
report["caught"] = time.monotonic()
if counter is not None:
    report["counter"] = [counter.value(), counter.total()]
report["pool_usable"] = run(small) == expected_small
print(json.dumps(report), flush=True)
"""


def interrupt_call(name, n_trees, taxa, distinct, with_counter, delay):
    """Starts a long call in a child and sends SIGINT `delay` seconds after it starts (with a
    counter: after the pairwise fill has started); returns the child's report and the time from
    the signal to the KeyboardInterrupt."""
    script = f"import sys\nsys.path.insert(0, {HERE!r})\n" + INTERRUPTED_CALL
    child = subprocess.Popen([sys.executable, "-c", script, name, str(n_trees), str(taxa), str(distinct),
                              "1" if with_counter else "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        if with_counter:
            assert child.stdout.readline().strip() == "filling"
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err[-500:]
    report = json.loads(out.strip().splitlines()[-1])
    return report, report["caught"] - sent


# Each call runs for seconds uninterrupted; the signal reaches the reading, or the pairwise fill
# with and without the lock (the export phase is covered in the C++ tests). The bound is generous
# for a shared machine: without the checks the signal waits for the whole call.
@pytest.mark.parametrize(
    "name, n_trees, taxa, distinct, with_counter, delay",
    [
        ("pairwise_rf_from_newick_iter", 12000, 1000, 200, False, 0.3),
        # Six trees per split set: every pair goes through the kernel, which the gather over
        # distinct sets would finish before the signal.
        ("pairwise_rf_from_newick_iter", 12000, 1000, 2000, True, 0.2),
        ("pairwise_wrf_from_newick_iter", 4500, 1000, 200, False, 1.5),
        ("pairwise_kf_with_snapshots_from_newick_iter", 4500, 1000, 200, True, 0.2),
    ],
)
def test_ctrl_c_ends_a_long_call_promptly(name, n_trees, taxa, distinct, with_counter, delay):
    report, latency = interrupt_call(name, n_trees, taxa, distinct, with_counter, delay)
    assert report["outcome"] == "interrupted"
    assert latency < 1.0
    assert report["pool_usable"]
    if with_counter:
        value, total = report["counter"]
        assert 0 < value <= total  # left where the fill stopped (complete only if stopped in the mirror)


FORK_AFTER_A_CALL = """
    import os
    import brantoveil, reference

    trees = reference.sample(3, 60, 12)
    n = len(trees)

    def rf():
        return brantoveil.pairwise_rf_from_newick_iter([str(i) for i in range(n)], iter(trees), [{}], [0] * n)

    first = rf()
    pid = os.fork()  # interpreters that warn about forking with threads see only this one
    if pid == 0:
        os._exit(0)
    threads_after_fork = len(os.listdir("/proc/self/task"))
    os.waitpid(pid, 0)
    print(threads_after_fork, rf() == first)
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_fork_after_a_call_sees_a_single_thread():
    result = run_script(FORK_AFTER_A_CALL, timeout=60)
    assert result.returncode == 0, result.stderr[-500:]
    assert result.stdout.split() == ["1", "True"]
    assert "multi-threaded" not in result.stderr


OUT_OF_MEMORY = """
    import resource, sys
    import brantoveil

    where = sys.argv[1]
    quartet = "((A,B),(C,D));"
    small = lambda: brantoveil.pairwise_rf_from_newick_iter(["a", "b"], iter([quartet] * 2), [{}], [0, 0])
    expected = small()  # starts the pool before the limit
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20),) * 2)
    if where == "caller":
        # The 20000 x 20000 matrix of floats is allocated on the calling thread.
        trees = [quartet] * 20000
        function = brantoveil.pairwise_wrf_from_newick_iter
    else:
        # The deep tree is read by a parallel task next to another tree of its chunk.
        deep = "((" + "(" * 10_000_000 + "A" + ")" * 10_000_000 + ",B),(C,D));"
        trees = [quartet, deep, quartet]
        function = brantoveil.pairwise_rf_from_newick_iter
    try:
        function([str(i) for i in range(len(trees))], iter(trees), [{}], [0] * len(trees))
    except MemoryError:
        print("MemoryError", small() == expected)
"""


@pytest.mark.skipif(not os.path.isfile("/proc/self/status"), reason="reads the address-space size from /proc")
@pytest.mark.parametrize("where", ["caller", "task"])
def test_out_of_memory_ends_cleanly(where):
    result = run_script(OUT_OF_MEMORY, timeout=120, args_after=[where])
    if where == "caller":
        assert (result.returncode, result.stdout.strip()) == (0, "MemoryError True"), result.stderr[-500:]
    else:
        assert result.returncode == -signal.SIGABRT
        assert "brantoveil: out of memory in a parallel task; ending the process" in result.stderr


HANDLER_RAISES = """
    import signal, time
    import brantoveil, reference

    def alarm(signum, frame):
        raise RuntimeError("alarm")

    trees = reference.sample(7, 200, 1000, lengths="binary") * 60
    n = len(trees)
    signal.signal(signal.SIGALRM, alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    start = time.monotonic()
    try:
        brantoveil.pairwise_rf_from_newick_iter([str(i) for i in range(n)], iter(trees), [{}], [0] * n)
        print("finished")
    except RuntimeError as error:
        print(error, time.monotonic() - start < 2.0)
"""


def test_whatever_a_signal_handler_raises_ends_the_call():
    result = run_script(HANDLER_RAISES)
    assert result.returncode == 0, result.stderr[-500:]
    assert result.stdout.split() == ["alarm", "True"]
