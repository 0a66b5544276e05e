"""How arguments are bound and converted: one table of accepted and rejected values per
parameter kind, each reached through a real method, then the binding rules, the note naming
the failed parameter, the conversion order, and that a failed conversion changes nothing."""

from __future__ import annotations

import math
import re
import struct
from array import array
from collections import OrderedDict, namedtuple
from types import MappingProxyType

import numpy as np
import pytest

from zemlo import _ondrel as z

CONT = z.Category.Continuous
ACCEPTED = object()  # the probe cannot observe the converted value, only that conversion passed

# One model that lives for the whole module, for probes that need a live variable.
M = z.Model("binding")
X = M.add_variable("x", 0.0, 10.0, z.Category.Integer)
X.set_value(2.4)  # integral gap -0.4 when mip is true, 0.0 when false


def probe(parameter):
    """Marks a probe with the name of the parameter whose converter it reaches."""
    def mark(fn):
        fn.parameter = parameter
        return fn
    return mark


@probe("constant")
def set_constant(v):
    e = z.AffineExpr()
    e.set_constant(v)
    return e.constant


@probe("lb")
def add_variable_lb(v):
    m = z.Model("m")
    return m.add_variable("x", v, 1.0, CONT).lb


def shown_id(fn, pattern):
    # Every id is out of range for an empty model, so the range message shows the converted id.
    try:
        fn()
    except ValueError as exc:
        if getattr(exc, "__notes__", None):
            raise
        return int(re.fullmatch(pattern, str(exc))[1])
    raise AssertionError("an empty model accepted an id")


@probe("ids")
def remove_variables_id(v):
    return shown_id(lambda: z.Model("m").remove_variables([v]),
                    r"Variable id (\d+) is out of range \(model has 0 variables\)")


@probe("entries")
def add_column_constraint_id(v):
    return shown_id(lambda: z.Model("m").add_column("y", 0.0, 1.0, CONT, 0.0, [(v, 1.0)]),
                    r"Constraint id (\d+) is out of range \(model has 0 constraints\)")


@probe("sense")
def read_mps_sense(v):
    try:
        z.read_mps("/nonexistent-dir/zemlo-binding.mps", v)
    except RuntimeError as exc:  # the file error comes after a successful conversion
        assert not getattr(exc, "__notes__", None)
        return ACCEPTED
    raise AssertionError("read a file that does not exist")


@probe("mip")
def infeasibility_gap_mip(v):
    return X.infeasibility_gap(mip=v) != 0.0


@probe("name")
def expr_set_name(v):
    e = z.AffineExpr()
    e.set_name(v)
    return e.name


@probe("name")
def model_name(v):
    z.Model(v)
    return ACCEPTED


@probe("other_sense")
def combine_sense_other(v):
    e = z.AffineExpr()
    e.combine_sense(v, -1.0)
    return e.sense


@probe("key")
def sos_group_key(v):
    z.Model("m").add_sos_group(z.SosKind.Sos1, v, [])
    return ACCEPTED


@probe("var")
def add_term_var(v):
    e = z.AffineExpr()
    e.add_term(v, 2.0)
    return e.values()


@probe("other")
def add_expr_other(v):
    z.AffineExpr().add_expr(v, 1.0)
    return ACCEPTED


@probe("model")
def terms_with_variables_model(v):
    return z.AffineExpr().terms_with_variables(v)


@probe("names")
def batch_names(v):
    m = z.Model("m")
    return [x.name for x in m.add_variables_batch(v, 0.0, 1.0, CONT)]


@probe("ids")
def remove_variables_ids(v):
    m = z.Model("m")
    m.add_variables_batch(["a", "b", "c"], 0.0, 1.0, CONT)
    m.remove_variables(v)
    return ACCEPTED


@probe("entries")
def column_entry(v):
    m = z.Model("m")
    y = m.add_variable("y", 0.0, 1.0, CONT)
    m.add_constraint(sensed(z.AffineExpr.from_variable(y), z.Sense.LessEqual))
    m.add_column("col", 0.0, 1.0, CONT, 0.0, [v])
    return m.num_variables


@probe("members")
def sos_member(v):
    M.add_sos_group(z.SosKind.Sos2, None, [v])
    return ACCEPTED


def sensed(e, s):
    e.set_sense(s)
    return e


class FloatSub(float):
    pass


class StrSub(str):
    pass


class HasFloat:
    def __float__(self):
        return 2.5


class HasIndex:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("from __float__")


class OldSequence:
    """A sequence by __len__ and __getitem__ only."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class SequenceWithoutLength(OldSequence):
    def __len__(self):
        raise RuntimeError("no length")


Pair = namedtuple("Pair", "first second")
NAN, INF = math.nan, math.inf

CONVERSIONS = [
    # float
    (set_constant, 3, 3.0),
    (set_constant, True, 1.0),
    (set_constant, -0.0, -0.0),
    (set_constant, 2**53 + 1, 9007199254740992.0),
    (set_constant, FloatSub(0.25), 0.25),
    (set_constant, HasFloat(), 2.5),
    (set_constant, HasIndex(7), 7.0),
    (set_constant, NAN, NAN),
    (set_constant, -INF, -INF),
    (set_constant, np.float32(0.5), 0.5),
    (set_constant, "3", TypeError),
    (set_constant, None, TypeError),
    (set_constant, b"1", TypeError),
    (set_constant, 1j, TypeError),
    (set_constant, z.Sense.Equal, TypeError),
    (set_constant, 10**400, OverflowError),
    (set_constant, FloatRaises(), ZeroDivisionError),
    (add_variable_lb, 5, 5.0),
    (add_variable_lb, -INF, -INF),
    (add_variable_lb, "5", TypeError),
    (add_variable_lb, None, TypeError),
    (add_variable_lb, -(10**400), OverflowError),
    # unsigned integer, as an item of a sequence and as the first item of a pair
    *[(p, v, e) for p in (remove_variables_id, add_column_constraint_id) for v, e in [
        (0, 0),
        (7, 7),
        (HasIndex(9), 9),
        (2**64 - 1, 2**64 - 1),
        (-1, OverflowError),
        (2**64, OverflowError),
        (2.0, TypeError),
        (None, TypeError),
        ("1", TypeError),
    ]],
    # signed 32-bit integer
    (read_mps_sense, 0, ACCEPTED),
    (read_mps_sense, -1, ACCEPTED),
    (read_mps_sense, 2**31 - 1, ACCEPTED),
    (read_mps_sense, -(2**31), ACCEPTED),
    (read_mps_sense, HasIndex(1), ACCEPTED),
    (read_mps_sense, 2**31, OverflowError),
    (read_mps_sense, -(2**31) - 1, OverflowError),
    (read_mps_sense, 1.0, TypeError),
    (read_mps_sense, "1", TypeError),
    (read_mps_sense, None, TypeError),
    # flag
    (infeasibility_gap_mip, True, True),
    (infeasibility_gap_mip, False, False),
    (infeasibility_gap_mip, np.True_, True),
    (infeasibility_gap_mip, np.False_, False),
    (infeasibility_gap_mip, 1, TypeError),
    (infeasibility_gap_mip, 0, TypeError),
    (infeasibility_gap_mip, 1.0, TypeError),
    (infeasibility_gap_mip, "True", TypeError),
    (infeasibility_gap_mip, np.int64(1), TypeError),
    (infeasibility_gap_mip, None, TypeError),
    # text
    (expr_set_name, "c1", "c1"),
    (expr_set_name, "", ""),
    (expr_set_name, "é ✓ \t x", "é ✓ \t x"),
    (expr_set_name, StrSub("sub"), "sub"),
    (expr_set_name, b"c1", TypeError),
    (expr_set_name, None, TypeError),
    (expr_set_name, 5, TypeError),
    (expr_set_name, "a\ud800", UnicodeEncodeError),
    (model_name, "m", ACCEPTED),
    (model_name, b"m", TypeError),
    (model_name, "\udc80", UnicodeEncodeError),
    # optional values
    (model_name, None, ACCEPTED),
    (combine_sense_other, None, None),
    (combine_sense_other, z.Sense.LessEqual, z.Sense.GreaterEqual),
    (combine_sense_other, 0, TypeError),
    (sos_group_key, None, ACCEPTED),
    (sos_group_key, "k", ACCEPTED),
    (sos_group_key, 1, TypeError),
    (sos_group_key, b"k", TypeError),
    # class instances
    (add_term_var, X, [2.0]),
    (add_term_var, z.AffineExpr.from_variable(X), TypeError),
    (add_term_var, M, TypeError),
    (add_term_var, 0, TypeError),
    (add_term_var, None, TypeError),
    (add_expr_other, z.AffineExpr(), ACCEPTED),
    (add_expr_other, X, TypeError),
    (add_expr_other, None, TypeError),
    (terms_with_variables_model, M, []),
    (terms_with_variables_model, X, TypeError),
    # sequences
    (batch_names, ["a", "b"], ["a", "b"]),
    (batch_names, ("a", "b"), ["a", "b"]),
    (batch_names, [], []),
    (batch_names, OldSequence(["p", "q"]), ["p", "q"]),
    (batch_names, SequenceWithoutLength(["p"]), ["p"]),
    (batch_names, "ab", TypeError),
    (batch_names, StrSub("ab"), TypeError),
    (batch_names, {"a", "b"}, TypeError),
    (batch_names, frozenset("a"), TypeError),
    (batch_names, {"a": 1}, TypeError),
    (batch_names, (n for n in ["a"]), TypeError),
    (batch_names, iter(["a"]), TypeError),
    (batch_names, None, TypeError),
    (batch_names, ["a", 1], TypeError),
    (batch_names, ["a", b"b"], TypeError),
    (remove_variables_ids, range(3), ACCEPTED),
    (remove_variables_ids, array("Q", [0, 2]), ACCEPTED),
    (remove_variables_ids, (HasIndex(1), 1), ACCEPTED),
    (remove_variables_ids, array("d", [0.0]), TypeError),
    (remove_variables_ids, [0, -1], OverflowError),
    # pairs
    (column_entry, (0, 1.0), 2),
    (column_entry, Pair(0, 0.0), 2),
    (column_entry, [0, 1.0], TypeError),
    (column_entry, (0, 1.0, 2.0), ValueError),
    (column_entry, (0,), ValueError),
    (column_entry, (), ValueError),
    (column_entry, ("0", 1.0), TypeError),
    (column_entry, (0, "1"), TypeError),
    (column_entry, (-1, 1.0), OverflowError),
    (sos_member, (X, 1.0), ACCEPTED),
    (sos_member, Pair(X, 2), ACCEPTED),
    (sos_member, [X, 1.0], TypeError),
    (sos_member, (X, 1.0, 3.0), ValueError),
    (sos_member, (1.0, X), TypeError),
    (sos_member, (X, None), TypeError),
]


def same(a, b):
    """Equal and of the same type; floats bit for bit (any NaN matches any NaN)."""
    if b is ACCEPTED or b is None or isinstance(b, bool):
        return a is b
    if isinstance(b, float):
        return type(a) is float and (
            struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b)))
    return type(a) is type(b) and a == b


def label(v):
    if type(v) not in (int, float, str, bytes, bool, complex, list, tuple, dict, set, range, type(None)):
        return type(v).__name__
    # A set of strings is shown sorted: its repr follows the string hashes, which differ from one
    # process to the next, and every pytest-xdist worker collects the tests itself.
    text = "{" + ", ".join(sorted(map(repr, v))) + "}" if type(v) is set else repr(v)
    return text if len(text) <= 24 else type(v).__name__


@pytest.mark.parametrize(
    ("fn", "value", "expected"), CONVERSIONS,
    ids=[f"{fn.__name__}-{label(v)}" for fn, v, _ in CONVERSIONS],
)
def test_conversion(fn, value, expected):
    if isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected) as info:
            fn(value)
        assert type(info.value) is expected
        assert any(f"'{fn.parameter}'" in note for note in info.value.__notes__), info.value.__notes__
    else:
        assert same(fn(value), expected)


IDS_MSG = "ids must be C-contiguous unsigned 64-bit integers (e.g. array.array('Q'))"
COEFFS_MSG = "coeffs must be C-contiguous float64 (e.g. array.array('d'))"
Q2, D2 = array("Q", [0, 0]), array("d", [1.5, 2.5])
EVERY_OTHER_Q = memoryview(array("Q", [0, 9, 0, 9]))[::2]
EVERY_OTHER_D = memoryview(array("d", [1.5, 9.0, 2.5, 9.0]))[::2]

BUFFERS = [
    (Q2, D2, [4.0]),
    (memoryview(array("Q", [9, 0, 0]))[1:], D2, [4.0]),
    (np.zeros(2, dtype=np.uint64), np.array([1.5, 2.5]), [4.0]),
    ([0, 0], D2, (TypeError, "ids")),
    (Q2, [1.5, 2.5], (TypeError, "coeffs")),
    (None, D2, (TypeError, "ids")),
    (array("d", [0.0, 0.0]), D2, (BufferError, "ids")),
    (array("i", [0, 0]), D2, (BufferError, "ids")),
    (array("q", [0, 0]), D2, (BufferError, "ids")),
    (bytes(16), D2, (BufferError, "ids")),
    (np.zeros(2, dtype=">u8"), D2, (BufferError, "ids")),
    (Q2, array("f", [1.5, 2.5]), (BufferError, "coeffs")),
    (Q2, array("Q", [1, 2]), (BufferError, "coeffs")),
    (Q2, np.array([1.5, 2.5], dtype=">f8"), (BufferError, "coeffs")),
    (memoryview(bytearray(17))[1:].cast("Q"), D2, (BufferError, "ids")),
    # Both buffers are obtained before either is checked for contiguity.
    (EVERY_OTHER_Q, array("f", [1.5, 2.5]), (BufferError, "coeffs")),
    (EVERY_OTHER_Q, D2, (ValueError, IDS_MSG)),
    (EVERY_OTHER_Q, EVERY_OTHER_D, (ValueError, IDS_MSG)),
    (memoryview(array("Q", [0, 0]))[::-1], D2, (ValueError, IDS_MSG)),
    (np.zeros(4, dtype=np.uint64)[::2], D2, (ValueError, IDS_MSG)),
    (Q2, EVERY_OTHER_D, (ValueError, COEFFS_MSG)),
]


@pytest.mark.parametrize(("ids", "coeffs", "expected"), BUFFERS,
                         ids=[f"{label(i)}-{label(c)}" for i, c, _ in BUFFERS])
def test_buffer_conversion(ids, coeffs, expected):
    e = z.AffineExpr()
    if isinstance(expected, list):
        e.add_term_ids_coeffs(M, ids, coeffs)
        assert e.values() == expected
    else:
        cls, text = expected
        with pytest.raises(cls) as info:
            e.add_term_ids_coeffs(M, ids, coeffs)
        if cls is ValueError:
            assert str(info.value) == text  # a check of the converted buffers, not a conversion
        else:
            assert any(f"'{text}'" in note for note in info.value.__notes__)
        assert e.num_terms() == 0
    # Every buffer view is released again: an array that still exported one could not grow.
    for buf in (ids, coeffs):
        if isinstance(buf, array):
            buf.append(buf[0])
            buf.pop()


def test_name_to_float_mapping():
    m = z.Model("m")
    x, x2, y = m.add_variables_batch(["x", "x", "y"], 0.0, 1.0, CONT)
    m.set_variable_values_by_name({"x": 3})
    assert (x.value, x2.value, y.value) == (3.0, 3.0, None)
    m.set_variable_values_by_name(OrderedDict(y=HasIndex(2)))
    assert y.value == 2.0
    for bad, cls in [([("x", 1.0)], TypeError), (MappingProxyType({"x": 1.0}), TypeError),
                     ({1: 1.0}, TypeError), ({"x": "1"}, TypeError), ({"x": None}, TypeError),
                     ({"x": 10**400}, OverflowError), ({"\ud800": 1.0}, UnicodeEncodeError)]:
        with pytest.raises(cls) as info:
            m.set_variable_values_by_name(bad)
        assert any("'values'" in note for note in info.value.__notes__)
    assert (x.value, y.value) == (3.0, 2.0)

    # A value whose conversion empties the dictionary: the reader must not touch freed entries.
    values = {}

    class Clears:
        def __float__(self):
            values.clear()
            return 5.0

    values.update({"x": Clears(), "y": 7.0, **{f"k{i}": float(i) for i in range(50)}})
    try:
        m.set_variable_values_by_name(values)
    except RuntimeError:  # refusing a dictionary that changed is allowed; it then changes nothing
        assert (x.value, y.value) == (3.0, 2.0)
    else:
        assert x.value == 5.0
        assert y.value in (2.0, 7.0)


# ---------------------------------------------------------------------------------------------
# Binding.

class Recorder:
    """A float whose conversion is counted."""

    def __init__(self):
        self.calls = 0

    def __float__(self):
        self.calls += 1
        return 1.0


BAD_BINDINGS = {
    "missing first": lambda r: z.AffineExpr().add_term(coeff=r),
    "missing last": lambda r: M.add_variable("x", r, r),
    "extra positional": lambda r: z.AffineExpr().set_constant(r, r),
    "extra positional with defaults": lambda r: X.round_value(r, r, r),
    "unknown keyword": lambda r: z.AffineExpr().set_constant(r, value=r),
    "given twice": lambda r: z.AffineExpr().set_constant(r, constant=r),
    "given twice, defaulted": lambda r: X.round_value(r, eps_int=r),
    "static method": lambda r: z.AffineExpr.from_constant(r, value=r),
    "no-argument method": lambda r: z.AffineExpr().clone_expr(r),
    "constructor missing": lambda r: z.Model(),
    "constructor extra": lambda r: z.Model("a", "b"),
    "constructor unknown keyword": lambda r: z.Model(title="a"),
    "constructor given twice": lambda r: z.Model("a", name="b"),
    "constructor without parameters": lambda r: z.AffineExpr(r),
    "constructor without parameters, keyword": lambda r: z.AffineExpr(constant=r),
    "module function missing": lambda r: z.read_mps("file.mps"),
    "module function extra": lambda r: z.write_lp(M, "f.lp", True, 8, "obj", "d", r),
}


@pytest.mark.parametrize("call", BAD_BINDINGS.values(), ids=BAD_BINDINGS.keys())
def test_binding_errors_come_before_conversion(call):
    r = Recorder()
    with pytest.raises(TypeError) as info:
        call(r)
    assert r.calls == 0
    assert not getattr(info.value, "__notes__", None)  # not a conversion failure


@pytest.mark.parametrize(
    ("call", "parameter"),
    [
        (lambda: X.valid(eps=None), "eps"),
        (lambda: X.infeasibility_gap(None), "mip"),
        (lambda: X.round_value(None), "eps_int"),
        (lambda: X.round_value(1e-5, None), "eps"),
        (lambda: X.rounded_value(eps=None), "eps"),
    ],
)
def test_defaults_apply_only_when_omitted(call, parameter):
    with pytest.raises(TypeError) as info:
        call()
    assert any(f"'{parameter}'" in note for note in info.value.__notes__)


def test_defaults_when_omitted():
    m = z.Model("m")
    x = m.add_variable("x", 0.0, 10.0, z.Category.Integer)
    x.set_value(2.4)
    assert x.infeasibility_gap() == x.infeasibility_gap(mip=True) != 0.0
    x.set_value(3.000004)
    x.round_value(eps=1e-7)  # eps_int keeps its default 1e-5
    assert x.value == 3.0


def test_conversion_runs_in_declaration_order_and_stops_at_the_first_failure():
    first, second = Recorder(), Recorder()
    with pytest.raises(TypeError) as info:
        X.round_value("bad", second)
    assert (info.value.__notes__, second.calls) == (["argument 'eps_int' of round_value()"], 0)

    with pytest.raises(TypeError) as info:
        X.round_value(eps=first, eps_int="bad")
    assert first.calls == 0

    with pytest.raises(TypeError) as info:
        M.add_variable(category=CONT, ub="bad", lb=first, name="x")
    assert first.calls == 1  # lb before ub, whatever the keyword order
    assert info.value.__notes__ == ["argument 'ub' of add_variable()"]

    with pytest.raises(TypeError) as info:
        M.add_variable("x", first, second, 1)
    assert (first.calls, second.calls) == (2, 1)
    assert info.value.__notes__ == ["argument 'category' of add_variable()"]

    with pytest.raises(ZeroDivisionError) as info:
        M.add_variable("x", FloatRaises(), second, CONT)
    assert second.calls == 1
    assert info.value.__notes__ == ["argument 'lb' of add_variable()"]


def test_a_call_that_fails_in_conversion_changes_nothing():
    m = z.Model("m")
    x = m.add_variable("x", 0.0, 1.0, CONT)
    m.add_constraint(sensed(z.AffineExpr.from_variable(x), z.Sense.Equal))
    failing = [
        lambda: m.add_variables_batch(["a", "b", 3], 0.0, 1.0, CONT),
        lambda: m.add_variables_batch(["a", "b"], 0.0, 1.0, 2),
        lambda: m.add_variable("x", 0.0, 1.0, CONT, extra=1),
        lambda: m.add_column("y", 0.0, 1.0, CONT, 1.0, [(0, 1.0), [0, 2.0]]),
        lambda: m.add_column("y", 0.0, 1.0, CONT, 1.0, [(0, 1.0)], 5),
        lambda: m.add_constraint(x),
    ]
    for call in failing:
        with pytest.raises((TypeError, ValueError)):
            call()
        assert (m.num_variables, m.num_constraints) == (1, 1)

    other = z.Model("other")
    bound = z.AffineExpr.from_variable(other.add_variable("o", 0.0, 1.0, CONT))
    e = z.AffineExpr()
    for call in (lambda: e.add_term(x, "2"), lambda: e.add_expr(bound, None),
                 lambda: e.combine_sense(z.Sense.LessEqual, "1"),
                 lambda: e.add_term_ids_coeffs(m, array("Q", [0]), [1.0])):
        with pytest.raises(TypeError):
            call()
    assert (e.num_terms(), e.constant, e.sense) == (0, 0.0, None)
    # Still unbound: it can be bound to any model now.
    e.add_term_ids_coeffs(other, array("Q"), array("d"))
    e.add_expr(bound, 1.0)
    assert e.values() == [1.0]


def test_a_list_changed_by_an_item_conversion_is_read_as_iteration_would():
    m = z.Model("m")
    m.add_variable("x", 0.0, 1.0, CONT)
    ids = []

    class Shrinks:
        def __index__(self):
            ids.clear()
            return 0

    ids.extend([Shrinks(), 5, 6])
    # Iteration ends once the list is empty, so the out-of-range 5 and 6 are never read.
    assert m.remove_variables(ids) is None


def test_an_expression_given_itself_is_refused():
    e = z.AffineExpr.from_variable(X)
    e.set_constant(3.0)
    for call in (lambda: e.add_expr(e, 1.0), lambda: e.add_expr(sign=-1.0, other=e)):
        with pytest.raises(RuntimeError):
            call()
        assert (e.values(), e.constant, [v.id() for v in e.keys()]) == ([1.0], 3.0, [0])
    e.add_expr(e.clone_expr(), 1.0)
    assert (e.values(), e.constant) == ([2.0], 6.0)
