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
