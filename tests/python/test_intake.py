"""Module frame, argument binding, conversion and count checks of the six functions."""

import inspect
import sys

import brantoveil
import pytest
from conftest import ALL_FUNCTIONS, TrackedIterator

EXPORTS = [
    "pairwise_rf_from_newick_iter",
    "pairwise_rf_with_snapshots_from_newick_iter",
    "pairwise_wrf_with_snapshots_from_newick_iter",
    "pairwise_kf_with_snapshots_from_newick_iter",
    "pairwise_wrf_from_newick_iter",
    "pairwise_kf_from_newick_iter",
    "ProgressCounter",
]
PARAMETERS = ["names", "newick_iter", "translate_maps", "map_indices", "rooted", "progress"]

TREES = ["(A,B,(C,D));", "((A,B),C,D);"]


def test_module_registers_members_in_order():
    assert brantoveil.__all__ == EXPORTS
    assert brantoveil.__doc__ == "Python module definition"
    for name in EXPORTS:
        assert getattr(brantoveil, name).__name__ == name


@pytest.mark.parametrize("name", EXPORTS[:6])
def test_signature_comes_from_docstring(name):
    function = getattr(brantoveil, name)
    signature = inspect.signature(function)
    assert list(signature.parameters) == PARAMETERS
    assert signature.parameters["rooted"].default is False
    assert signature.parameters["progress"].default is None
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    assert function.__doc__.startswith("Compute pairwise ")
    assert "Raises:\n    ValueError: If fewer than 2 trees" in function.__doc__


def _args(**overrides):
    values = {"names": ["a", "b"], "newick_iter": iter(TREES), "translate_maps": [{}], "map_indices": [0, 0]}
    values.update(overrides)
    return values


# (positional arguments, keyword arguments, message after "<name>() ")
BINDING_CASES = [
    ((), {}, "missing 4 required positional arguments: 'names', 'newick_iter', 'translate_maps', and 'map_indices'"),
    ((["a", "b"],), {}, "missing 3 required positional arguments: 'newick_iter', 'translate_maps', and 'map_indices'"),
    ((["a", "b"], iter(TREES)), {}, "missing 2 required positional arguments: 'translate_maps' and 'map_indices'"),
    ((["a", "b"], iter(TREES), [{}]), {}, "missing 1 required positional argument: 'map_indices'"),
    ((["a", "b"], iter(TREES), [{}], [0, 0], False, None, 7), {},
     "takes from 4 to 6 positional arguments but 7 were given"),
    ((["a", "b"], iter(TREES), [{}], [0, 0]), {"bogus": 1}, "got an unexpected keyword argument 'bogus'"),
    ((["a", "b"], iter(TREES), [{}], [0, 0]), {"names": ["x"]}, "got multiple values for argument 'names'"),
    ((["a", "b"],), {"translate_maps": [{}], "map_indices": [0, 0]},
     "missing 1 required positional argument: 'newick_iter'"),
]


@pytest.mark.parametrize("function", ALL_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("args, kwargs, message", BINDING_CASES)
def test_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == f"{function.__name__}() {message}"
    assert not getattr(info.value, "__notes__", None)


def test_one_positional_too_many_says_was():
    with pytest.raises(TypeError) as info:
        brantoveil.pairwise_rf_from_newick_iter(*range(7))
    assert str(info.value).endswith("but 7 were given")
    with pytest.raises(TypeError, match=r"^ProgressCounter.__new__\(\) takes 0 positional arguments but 1 was given$"):
        brantoveil.ProgressCounter(1)


class StrSubclass(str):
    pass


class DictSubclass(dict):
    pass


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadLength:
    """A sequence whose __len__ raises: the length is only a hint."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return self.items[i]


class HugeLength(BadLength):
    def __len__(self):
        return sys.maxsize


class BadIter(BadLength):
    def __len__(self):
        return 2

    def __iter__(self):
        raise KeyError("no iteration")


# (argument overrides, exception type, exact message or None for the interpreter's own, parameter in the note)
CONVERSION_ERRORS = [
    ({"names": "ab"}, TypeError, "Can't extract `str` to `Vec`", "names"),
    ({"names": 5}, TypeError, "'int' object is not an instance of 'Sequence'", "names"),
    ({"names": None}, TypeError, "'None' is not an instance of 'Sequence'", "names"),
    ({"names": {"a": 1, "b": 2}}, TypeError, "'dict' object is not an instance of 'Sequence'", "names"),
    ({"names": ["a", 3]}, TypeError, "'int' object is not an instance of 'str'", "names"),
    ({"names": ["a", None]}, TypeError, "'None' is not an instance of 'str'", "names"),
    ({"names": ["a", b"b"]}, TypeError, "'bytes' object is not an instance of 'str'", "names"),
    ({"names": ["a", "\ud800"]}, UnicodeEncodeError, None, "names"),
    ({"names": BadIter(["a", "b"])}, KeyError, None, "names"),
    ({"newick_iter": TREES}, TypeError, "'list' object is not an instance of 'Iterator'", "newick_iter"),
    ({"newick_iter": None}, TypeError, "'None' is not an instance of 'Iterator'", "newick_iter"),
    ({"translate_maps": "x"}, TypeError, "Can't extract `str` to `Vec`", "translate_maps"),
    ({"translate_maps": {}}, TypeError, "'dict' object is not an instance of 'Sequence'", "translate_maps"),
    ({"translate_maps": [[]]}, TypeError, "'list' object is not an instance of 'dict'", "translate_maps"),
    ({"translate_maps": [{1: "a"}]}, TypeError, "'int' object is not an instance of 'str'", "translate_maps"),
    ({"translate_maps": [{"a": None}]}, TypeError, "'None' is not an instance of 'str'", "translate_maps"),
    ({"translate_maps": [{"a": "\udfff"}]}, UnicodeEncodeError, None, "translate_maps"),
    ({"map_indices": "00"}, TypeError, "Can't extract `str` to `Vec`", "map_indices"),
    ({"map_indices": [0, -1]}, OverflowError, None, "map_indices"),
    ({"map_indices": [0, 2**64]}, OverflowError, None, "map_indices"),
    ({"map_indices": [0, 10**100]}, OverflowError, None, "map_indices"),
    ({"map_indices": [0, 1.0]}, TypeError, None, "map_indices"),
    ({"map_indices": [0, "1"]}, TypeError, None, "map_indices"),
    ({"rooted": 1}, TypeError, "'int' object is not an instance of 'bool'", "rooted"),
    ({"rooted": None}, TypeError, "'None' is not an instance of 'bool'", "rooted"),
    ({"rooted": "yes"}, TypeError, "'str' object is not an instance of 'bool'", "rooted"),
    ({"progress": 0}, TypeError, "'int' object is not an instance of 'ProgressCounter'", "progress"),
    ({"progress": object()}, TypeError, "'object' object is not an instance of 'ProgressCounter'", "progress"),
    ({"progress": StrSubclass}, TypeError, "'type' object is not an instance of 'ProgressCounter'", "progress"),
]


@pytest.mark.parametrize("function", ALL_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("overrides, error, message, parameter", CONVERSION_ERRORS)
def test_conversion_errors_carry_a_note(function, overrides, error, message, parameter):
    trees = TrackedIterator(TREES)
    args = _args(newick_iter=trees)
    args.update(overrides)
    with pytest.raises(error) as info:
        function(**args)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]
    assert trees.pulled == 0


def test_first_failing_argument_wins():
    with pytest.raises(TypeError) as info:
        brantoveil.pairwise_rf_from_newick_iter("ab", [], "x", "y", rooted=3, progress=4)
    assert str(info.value) == "Can't extract `str` to `Vec`"
    assert info.value.__notes__ == ["while processing 'names'"]


# (argument overrides, exact ValueError text)
COUNT_ERRORS = [
    ({"names": []}, "Need at least 2 trees to compute pairwise distances"),
    ({"names": ["a"], "map_indices": [0, 0, 0]}, "Need at least 2 trees to compute pairwise distances"),
    ({"names": ["a", "b", "c"], "map_indices": [0, 0]}, "names length (3) must equal map_indices length (2)"),
    ({"map_indices": [0, 5]}, "map_indices[1] = 5 is out of bounds (only 1 translate maps provided)"),
    ({"map_indices": [7, 5]}, "map_indices[0] = 7 is out of bounds (only 1 translate maps provided)"),
    ({"translate_maps": [], "map_indices": [0, 0]},
     "map_indices[0] = 0 is out of bounds (only 0 translate maps provided)"),
    ({"map_indices": [0, 2**64 - 1]},
     "map_indices[1] = 18446744073709551615 is out of bounds (only 1 translate maps provided)"),
]


@pytest.mark.parametrize("function", ALL_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("overrides, message", COUNT_ERRORS)
def test_count_checks_leave_the_iterator_untouched(function, overrides, message):
    trees = TrackedIterator(TREES)
    counter = brantoveil.ProgressCounter()
    args = _args(newick_iter=trees, progress=counter)
    args.update(overrides)
    with pytest.raises(ValueError) as info:
        function(**args)
    assert str(info.value) == message
    assert trees.pulled == 0
    assert (counter.value(), counter.total()) == (0, 0)


ACCEPTED_FORMS = [
    {"names": ("a", "b")},
    {"names": [StrSubclass("a"), StrSubclass("b")]},
    {"names": BadLength(["a", "b"])},
    {"names": HugeLength(["a", "b"])},
    {"translate_maps": [DictSubclass()]},
    {"translate_maps": ({},)},
    {"map_indices": [False, Indexable(0)]},
    {"map_indices": (0, 0)},
    {"rooted": True},
    {"progress": None},
]


@pytest.mark.parametrize("overrides", ACCEPTED_FORMS)
def test_accepted_argument_forms(overrides):
    args = _args()
    args.update(overrides)
    _names, matrix = brantoveil.pairwise_rf_from_newick_iter(**args)
    assert len(matrix) == 16


def test_translate_map_dict_subclass_and_str_subclass_entries():
    maps = [DictSubclass({StrSubclass("1"): StrSubclass("A"), "2": "B", "3": "C"})]
    _names, matrix = brantoveil.pairwise_rf_from_newick_iter(["x", "y"], iter(["(1,2,3);", "(3,2,1);"]), maps, [0, 0])
    assert matrix == bytes(16)



def test_numpy_booleans_are_accepted():
    np = pytest.importorskip("numpy")
    for value, expected_rooted in ((np.bool_(True), True), (np.bool_(False), False)):
        trees = ["((A,B),C);", "((A,C),B);"]
        _, matrix = brantoveil.pairwise_rf_from_newick_iter(["x", "y"], iter(trees), [{}], [0, 0], rooted=value)
        # Rooted, the two trees differ in one clade each; unrooted, three-leaf trees are all equal.
        assert int.from_bytes(matrix[4:8], "little") == (2 if expected_rooted else 0)
    with pytest.raises(TypeError) as info:
        brantoveil.pairwise_rf_from_newick_iter(["x", "y"], iter(TREES), [{}], [0, 0], rooted=np.int64(1))
    assert str(info.value) == "'int64' object is not an instance of 'bool'"
    assert info.value.__notes__ == ["while processing 'rooted'"]


def _numpy_like(name, **members):
    return type(name, (), {"__module__": "numpy", **members})()


@pytest.mark.parametrize(
    "value, outcome",
    [
        (_numpy_like("bool_", __bool__=lambda self: True), 2),
        (_numpy_like("bool", __bool__=lambda self: False), 0),
        (_numpy_like("bool_"), "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
        (_numpy_like("bool_", __bool__=lambda self: 1 / 0), ZeroDivisionError),
        (_numpy_like("float64", __bool__=lambda self: True), "'float64' object is not an instance of 'bool'"),
    ],
)
def test_numpy_bool_is_recognised_by_type_name(value, outcome):
    trees = ["((A,B),C);", "((A,C),B);"]
    def run():
        return brantoveil.pairwise_rf_from_newick_iter(["x", "y"], iter(trees), [{}], [0, 0], rooted=value)
    if isinstance(outcome, int):
        assert int.from_bytes(run()[1][4:8], "little") == outcome
        return
    expected = outcome if isinstance(outcome, type) else TypeError
    with pytest.raises(expected) as info:
        run()
    if isinstance(outcome, str):
        assert str(info.value) == outcome
    assert info.value.__notes__ == ["while processing 'rooted'"]
