"""ProgressCounter: construction, reads, reset, type properties, and its use by a call."""

import gc
import threading
import time
import weakref

import brantoveil
import pytest
from conftest import ALL_FUNCTIONS, FIVE_TREES, call


def state(counter):
    return counter.value(), counter.total(), counter.fraction(), repr(counter)


def test_fresh_counter():
    counter = brantoveil.ProgressCounter()
    assert state(counter) == (0, 0, 0.0, "ProgressCounter(value=0, total=0)")
    assert str(counter) == repr(counter)
    assert counter.reset() is None


@pytest.mark.parametrize("function", ALL_FUNCTIONS, ids=lambda f: f.__name__)
def test_successful_call_finishes_the_counter(function):
    counter = brantoveil.ProgressCounter()
    call(function, FIVE_TREES, progress=counter)
    assert state(counter) == (10, 10, 1.0, "ProgressCounter(value=10, total=10)")
    counter.reset()
    assert state(counter) == (0, 0, 0.0, "ProgressCounter(value=0, total=0)")


@pytest.mark.parametrize(
    "trees",
    [
        ["(A,B,C);"],  # fewer than two trees
        ["(A,B,C);", "(A,B,D);"],  # a reading error
        ["(A,B,C);", 5],  # an item error
    ],
)
def test_failed_call_keeps_previous_values(trees):
    counter = brantoveil.ProgressCounter()
    call(brantoveil.pairwise_rf_from_newick_iter, FIVE_TREES, progress=counter)
    with pytest.raises((ValueError, TypeError)):
        call(brantoveil.pairwise_rf_from_newick_iter, trees, names=["a", "b"], progress=counter)
    assert state(counter)[:3] == (10, 10, 1.0)


def test_counter_reused_by_later_calls():
    counter = brantoveil.ProgressCounter()
    call(brantoveil.pairwise_kf_from_newick_iter, FIVE_TREES, progress=counter)
    call(brantoveil.pairwise_rf_from_newick_iter, FIVE_TREES[:3], progress=counter)
    assert state(counter)[:3] == (3, 3, 1.0)


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError) as info:
        brantoveil.ProgressCounter(1)
    assert str(info.value) == "ProgressCounter.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as info:
        brantoveil.ProgressCounter(1, 2)
    assert str(info.value) == "ProgressCounter.__new__() takes 0 positional arguments but 2 were given"
    with pytest.raises(TypeError) as info:
        brantoveil.ProgressCounter(x=1)
    assert str(info.value) == "ProgressCounter.__new__() got an unexpected keyword argument 'x'"


def test_type_properties():
    cls = brantoveil.ProgressCounter
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("ProgressCounter",) * 2 + ("brantoveil",)
    assert cls.__text_signature__ == "()"
    assert cls.__doc__.startswith("Thread-safe pair-completion counter")
    for method in ("value", "total", "fraction", "reset"):
        assert getattr(cls, method).__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    counter = cls()
    assert not hasattr(counter, "__dict__")
    with pytest.raises(AttributeError):
        counter.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(counter)
    assert gc.is_tracked(counter)


def test_counter_outlives_its_python_references_during_a_call():
    counter = brantoveil.ProgressCounter()
    trees = FIVE_TREES * 40
    result = call(brantoveil.pairwise_rf_from_newick_iter, trees, progress=counter)
    del counter
    gc.collect()
    assert len(result[1]) == 4 * len(trees) ** 2


def _caterpillars(n_trees, n_taxa, seed):
    """Trees of one topology with fresh lengths: every split is dense, so the kernel does real work."""
    import random

    rng = random.Random(seed)
    for _ in range(n_trees):
        text = f"T{n_taxa - 1}:{rng.random():.6f}"
        for i in range(n_taxa - 2, -1, -1):
            text = f"(T{i}:{rng.random():.6f},{text}):{rng.random():.6f}"
        yield text + ";"


def _poll_during_call(counter, run, reset_once=False):
    samples, done = [], threading.Event()

    def poll():
        reset_done = False
        while not done.is_set():
            samples.append((counter.value(), counter.total()))
            if reset_once and not reset_done and samples[-1][0] > 0:
                counter.reset()
                reset_done = True
            time.sleep(0.0005)

    poller = threading.Thread(target=poll)
    poller.start()
    try:
        run()
    finally:
        done.set()
        poller.join()
    return samples


def test_second_thread_sees_monotonic_progress_while_the_kernel_runs():
    n = 2500
    pairs = n * (n - 1) // 2
    counter = brantoveil.ProgressCounter()
    def run():
        return brantoveil.pairwise_kf_with_snapshots_from_newick_iter(
            [str(i) for i in range(n)], _caterpillars(n, 120, 3), [{}], [0] * n, progress=counter)
    samples = _poll_during_call(counter, run)
    values = [value for value, total in samples if total == pairs]
    assert values == sorted(values)
    assert all(value <= pairs for value in values)
    # The poller ran while the kernel was in flight: the interpreter lock was released.
    assert any(0 < value < pairs for value in values)
    assert state(counter)[:3] == (pairs, pairs, 1.0)


def test_reset_during_the_kernel():
    n = 2500
    counter = brantoveil.ProgressCounter()
    def run():
        return brantoveil.pairwise_kf_with_snapshots_from_newick_iter(
            [str(i) for i in range(n)], _caterpillars(n, 120, 4), [{}], [0] * n, progress=counter)
    _poll_during_call(counter, run, reset_once=True)
    assert state(counter)[:3] == (n * (n - 1) // 2, 0, 0.0)
