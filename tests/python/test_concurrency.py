"""Calls from several Python threads at once, and calls in a child process made by fork()."""

import multiprocessing
import os
import threading

import brantoveil
import pytest
import reference

TREES = reference.sample(31, 400, 20, lengths="binary", unary=0.05, multifurcation=0.1)


def rf_bytes(trees, progress=None):
    n = len(trees)
    return brantoveil.pairwise_rf_from_newick_iter([str(i) for i in range(n)], iter(trees), [{}], [0] * n,
                                                   progress=progress)[1]


def test_concurrent_calls_with_and_without_counters():
    expected = rf_bytes(TREES)
    results, errors = [], []

    def worker(k):
        try:
            for _ in range(3):
                counter = brantoveil.ProgressCounter() if k % 2 == 0 else None
                results.append(rf_bytes(TREES, counter) == expected)
        except Exception as error:  # reported below; a thread cannot fail the test itself
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert results == [True] * 12


def _child(queue):
    queue.put(rf_bytes(TREES))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_forked_child_computes_after_the_parent_used_the_pool():
    expected = rf_bytes(TREES)  # starts the parent's worker pool
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_child, args=(queue,))
    child.start()
    got = queue.get(timeout=60)
    child.join(timeout=60)
    assert child.exitcode == 0
    assert got == expected
