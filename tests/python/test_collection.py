"""Tree collection: how items are pulled from the iterator, and how reading errors surface."""

import contextlib
import sys

import brantoveil
import pytest
from conftest import ALL_FUNCTIONS, TrackedIterator

RF = brantoveil.pairwise_rf_from_newick_iter
SQUARE = ["((A,B),(C,D));", "((A,C),(B,D));", "((A,D),(B,C));"]


def rf_matrix(result, n):
    raw = result[1]
    return [[int.from_bytes(raw[4 * (i * n + j) : 4 * (i * n + j) + 4], "little") for j in range(n)] for i in range(n)]


def run(trees, names=None, function=RF, maps=None, indices=None, **kwargs):
    names = names if names is not None else [f"t{i}" for i in range(len(trees))]
    maps = maps if maps is not None else [{}]
    indices = indices if indices is not None else [0] * len(names)
    iterator = trees if hasattr(trees, "__next__") else iter(trees)
    return function(names, iterator, maps, indices, **kwargs)


@pytest.mark.parametrize("function", ALL_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("trees", [[], ["((A,B),(C,D));"]])
def test_fewer_than_two_trees(function, trees):
    with pytest.raises(ValueError) as info:
        run(trees, names=["a", "b", "c"], function=function)
    assert str(info.value) == "Need at least 2 trees to compute pairwise distances"


def test_short_iterator_gives_smaller_matrix_but_all_names():
    names = ["a", "b", "c", "d", "e"]
    result = run(SQUARE, names=names)
    assert result[0] == names
    assert len(result[1]) == 4 * 3 * 3
    assert rf_matrix(result, 3) == [[0, 2, 2], [2, 0, 2], [2, 2, 0]]


def test_long_iterator_reads_only_as_many_trees_as_names():
    trees = TrackedIterator(SQUARE * 10)
    result = run(trees, names=["a", "b"])
    assert len(result[1]) == 16
    # Two pulls past the names are discarded (one ends the chunk, one finds the end); the rest is unread.
    assert trees.pulled == 4


# (items, exception type, exact message)
ITEM_ERRORS = [
    (["((A,B),(C,D));", b"((A,B),(C,D));", "((A,B),(C,D));"], TypeError, "'bytes' object is not an instance of 'str'"),
    (["((A,B),(C,D));", None, "((A,B),(C,D));"], TypeError, "'None' is not an instance of 'str'"),
    (["((A,B),(C,D));", "((A,B),(C,\udcff));"], UnicodeEncodeError, None),
    (["((A,B),(C,D));", RuntimeError("boom"), "((A,B),(C,D));"], RuntimeError, "boom"),
    # An iterator error outranks a reading error found in the same call.
    (["((A,B),(C,D));", "((A,B),(C,X));", KeyError("late")], KeyError, "'late'"),
]


@pytest.mark.parametrize("function", ALL_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("items, error, message", ITEM_ERRORS)
def test_item_and_iterator_errors(function, items, error, message):
    with pytest.raises(error) as info:
        run(TrackedIterator(items), names=["a", "b", "c"], function=function)
    if message is not None:
        assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_iterator_exception_is_raised_unchanged():
    failure = LookupError("from the iterator")
    with pytest.raises(LookupError) as info:
        run(TrackedIterator(["((A,B),(C,D));", failure]), names=["a", "b"])
    assert info.value is failure


# (trees, exact ValueError text)
READING_ERRORS = [
    (["((A,B),(C,D));", "((A,B),(C,E));"],
     "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa."),
    (["((A,B),(C,D));", "((A,B),C);"],
     "Tree 1 has a different leaf set than tree 0. All trees must share the same taxa."),
    (["((A,B),(C,D));", "((A,B),(C,D),A);"], 'Tree 1 repeats the leaf name "A". All leaf names must be unique.'),
    (["((A,B),(C,D));", "((A,B),(C,D))"], "Failed to parse newick at index 1: the tree does not end in ';'"),
    (["((A,B),(B,D));", "((A,B),(C,D));"], "Tree 0 has duplicate leaf names. All leaf names must be unique."),
    (["((A,B),(C,D);", "((A,B),(C,D));"], "Failed to parse newick at index 0: a '(' is never closed"),
    (["((A,B),(C,D));", "((A,B),(C:x,D));"],
     'Failed to parse newick at index 1: invalid branch length "x": invalid float literal'),
    (["((A,B),(,D));", "((A,B),(C,D));"], "Tree 0 has an unnamed leaf. All leaves must be named."),
]


@pytest.mark.parametrize("function", ALL_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("trees, message", READING_ERRORS)
def test_reading_errors(function, trees, message):
    with pytest.raises(ValueError) as info:
        run(trees, function=function)
    assert str(info.value) == message


def _long_sample(n, bad=()):
    taxa = [f"T{i}" for i in range(50)]
    good = "(" + ",".join(taxa[:-1]) + f",({taxa[-1]},X));"
    broken = "(" + ",".join(taxa[:-1]) + f",({taxa[-1]},Y));"
    for i in range(n):
        yield broken if i in bad else good


@pytest.mark.parametrize(
    "bad, reported",
    [({5}, 5), ({5000}, 5000), ({9000, 4500}, 4500), ({12000, 100, 11000}, 100)],
)
def test_error_position_in_long_iterator(bad, reported):
    n = 13000
    with pytest.raises(ValueError) as info:
        run(_long_sample(n, bad), names=[str(i) for i in range(n)])
    assert str(info.value) == (
        f"Tree {reported} has a different leaf set than tree 0. All trees must share the same taxa."
    )


def test_translate_maps_are_chosen_per_tree():
    maps = [{"1": "A", "2": "B", "3": "C", "4": "D"}, {"a": "A", "b": "B", "c": "C", "d": "D"}, {}]
    trees = ["((1,2),(3,4));", "((a,c),(b,d));", "((A,B),(C,D));"]
    result = run(trees, maps=maps, indices=[0, 1, 2])
    assert rf_matrix(result, 3) == [[0, 2, 0], [2, 0, 2], [0, 2, 0]]
    with pytest.raises(ValueError) as info:
        run(trees, maps=maps, indices=[0, 0, 2])
    assert str(info.value) == "Tree 1 has an unnamed leaf. All leaves must be named."


class HintRaises(TrackedIterator):
    def __length_hint__(self):
        raise ArithmeticError("no hint")


def test_failing_length_hint_is_reported_as_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: seen.append(report))
    iterator = HintRaises(SQUARE)
    result = run(iterator, names=["a", "b", "c"])
    assert rf_matrix(result, 3)[0] == [0, 2, 2]
    assert seen and all(r.object is iterator and isinstance(r.exc_value, ArithmeticError) for r in seen)


@pytest.mark.parametrize("function", ALL_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("items", [SQUARE, [*SQUARE[:1], b"x"], [*SQUARE[:1], "((A,B),(C,Q));"]])
def test_no_references_leak(function, items):
    items = list(items)
    before_items = [sys.getrefcount(item) for item in items]
    iterator = iter(items)
    before_iterator = sys.getrefcount(iterator)
    for _ in range(3):
        iterator = iter(items)
        with contextlib.suppress(TypeError, ValueError):
            run(iterator, names=["a", "b", "c"], function=function)
        assert sys.getrefcount(iterator) == before_iterator
    assert [sys.getrefcount(item) for item in items] == before_items
