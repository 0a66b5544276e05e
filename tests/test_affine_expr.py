"""AffineExpr: construction, terms, arithmetic, sense and name, the model binding, the term
accessors and the bulk path from id and coefficient buffers.

Rejections of add_term_ids_coeffs before its first pair are also in the table of rejected calls
in test_model_building.py, which checks that they leave the expression as it was."""

from __future__ import annotations

import math
import random
from array import array

import numpy as np
import pytest

from zemlo._ondrel import AffineExpr, Category, Model, Sense
from support import LOST_EXPR, accepts_terms_of, make_expr as expr

INF = float("inf")
NAN = float("nan")
LE, EQ, GE = Sense.LessEqual, Sense.Equal, Sense.GreaterEqual


def hx(values):
    """Floats as hex text: -0.0 differs from 0.0 and NaN equals NaN."""
    return [v.hex() for v in values]


def ids(e):
    return [v.id() for v in e.keys()]


def binding(e, m):
    """The expression's model reference: "unbound", "m" (bound to m), "other" or "lost".
    Tried on copies, so e itself never gets bound."""
    fresh = accepts_terms_of(e, Model(None))
    if fresh != "elsewhere":
        return {"here": "unbound", "lost": "lost"}[fresh]
    return "m" if accepts_terms_of(e, m) == "here" else "other"


@pytest.fixture
def m():
    model = Model("m")
    model.add_variables_batch(["a", "b", "c", "d", "e"], 0.0, 10.0, Category.Continuous)
    return model


@pytest.fixture
def x(m):
    return m.list_variables()


@pytest.fixture
def m2():
    model = Model("m2")
    model.add_variables_batch(["p", "q", "r"], 0.0, 1.0, Category.Binary)
    return model


@pytest.fixture
def dead_var():
    gone = Model("gone")
    return gone.add_variable("z", 0.0, 1.0, Category.Continuous)




# ---------------------------------------------------------------------------------------------
# Construction.


def test_new_expressions(m, x, dead_var):
    for e in (AffineExpr(), AffineExpr.from_constant(3)):
        assert (e.num_terms(), e.name, e.sense, e.keys(), e.items(), e.values()) == (0, None, None, [], [], [])
        assert binding(e, m) == "unbound"
    assert AffineExpr().constant == 0.0
    c = AffineExpr.from_constant(value=3)
    assert type(c.constant) is float and c.constant == 3.0
    v = AffineExpr.from_variable(x[2])
    assert (ids(v), v.values(), v.constant, v.sense, v.name, binding(v, m)) == ([2], [1.0], 0.0, None, None, "m")
    assert binding(AffineExpr.from_variable(dead_var), m) == "lost"


# ---------------------------------------------------------------------------------------------
# Terms.


@pytest.mark.parametrize(
    "adds, expected",
    [
        ([(0, 2.0), (0, 3.0)], [(0, 5.0)]),
        ([(0, 0.0)], [(0, 0.0)]),
        ([(0, 1.0), (1, 1.0), (0, 1.0)], [(0, 2.0), (1, 1.0)]),
        ([(3, -0.0)], [(3, 0.0)]),  # a new term stores coeff + 0.0
        ([(1, -2.0), (1, 2.0)], [(1, 0.0)]),
        ([(1, NAN), (2, INF)], [(1, NAN), (2, INF)]),
        ([(4, INF), (4, -INF)], [(4, NAN)]),
    ],
)
def test_add_term_accumulates_in_insertion_order(x, adds, expected):
    e = AffineExpr()
    for i, c in adds:
        assert e.add_term(x[i], c) is None
    assert (ids(e), hx(e.values()), e.num_terms()) == (
        [i for i, _ in expected], hx(c for _, c in expected), len(expected))


def test_add_term_to_an_existing_term_keeps_ieee_signs(x):
    e = expr([(x[0], -0.0)])
    e.scale(-1.0)
    assert hx(e.values()) == hx([-0.0])
    e.add_term(x[0], -0.0)
    assert hx(e.values()) == hx([-0.0])
    e.add_term(var=x[0], coeff=0.0)
    assert hx(e.values()) == hx([0.0])


def test_add_term_binds_once_and_then_accepts_any_variable_by_id(m, x, m2):
    y = m2.list_variables()
    e = expr([(y[1], 2.0)])
    assert binding(e, m2) == "m"
    e.add_term(x[1], 3.0)
    e.add_term(x[4], 1.0)
    assert binding(e, m2) == "m"
    assert [(v.name, c) for v, c in e.items()] == [("q", 5.0), ("", 1.0)]
    assert (e.get_coeff(x[1]), e.get_coeff(y[1]), e.get_coeff(var=x[0])) == (5.0, 5.0, 0.0)


def test_add_term_binds_to_a_dead_model(dead_var, m):
    e = AffineExpr()
    e.add_term(dead_var, 2.0)
    assert (e.values(), binding(e, m)) == ([2.0], "lost")


# ---------------------------------------------------------------------------------------------
# Arithmetic.


def test_add_expr_adds_a_signed_copy(m, x):
    e = expr([(x[0], 2.0), (x[1], 1.0)], 3.0, LE, "e")
    other = expr([(x[1], 4.0), (x[2], 5.0), (x[3], 0.0)], 10.0, GE, "o")
    assert e.add_expr(other, -1.0) is None
    assert (ids(e), hx(e.values()), e.constant, e.sense, e.name) == (
        [0, 1, 2, 3], hx([2.0, -3.0, -5.0, 0.0]), -7.0, LE, "e")
    e.add_expr(other=other, sign=0.5)
    assert (hx(e.values()), e.constant) == (hx([2.0, -1.0, -2.5, 0.0]), -2.0)
    assert (ids(other), other.values(), other.constant, other.sense, other.name) == (
        [1, 2, 3], [4.0, 5.0, 0.0], 10.0, GE, "o")


def test_add_expr_binds_an_unbound_expression(m, x):
    e = AffineExpr.from_constant(1.0)
    e.add_expr(AffineExpr.from_variable(x[3]), 2.0)
    assert (binding(e, m), ids(e), e.values(), e.constant) == ("m", [3], [2.0], 1.0)


def test_add_expr_of_different_models_changes_nothing(m, x, m2):
    e = expr([(x[0], 1.0)], 2.0)
    with pytest.raises(ValueError) as info:
        e.add_expr(expr([(m2.get_variable(1), 1.0)], 5.0), 1.0)
    assert str(info.value) == "Models are not the same"
    assert (ids(e), e.values(), e.constant, binding(e, m)) == ([0], [1.0], 2.0, "m")


def test_add_expr_with_a_dead_model(m, x, dead_var):
    dead = expr([(dead_var, 1.0)], 4.0)
    # The binding taken from `other` stays although the call fails.
    e = AffineExpr.from_constant(1.0)
    with pytest.raises(ValueError) as info:
        e.add_expr(dead, 1.0)
    assert str(info.value) == LOST_EXPR
    assert (e.values(), e.constant, binding(e, m)) == ([], 1.0, "lost")
    bound = expr([(x[0], 1.0)])
    with pytest.raises(ValueError, match="no longer exists"):
        bound.add_expr(dead, 1.0)
    assert (bound.values(), bound.constant) == ([1.0], 0.0)
    # An unbound `other` is not checked at all.
    dead.add_expr(AffineExpr.from_constant(2.0), -1.0)
    assert dead.constant == 2.0


def test_add_expr_to_itself_raises_and_changes_nothing(m, x):
    e = expr([(x[0], 1.0)], 2.0, LE, "e")
    with pytest.raises(RuntimeError):
        e.add_expr(e, 1.0)
    assert (ids(e), e.values(), e.constant, e.sense, e.name) == ([0], [1.0], 2.0, LE, "e")


def test_scale_keeps_the_sense(x):
    e = expr([(x[0], 1.5), (x[1], -2.0)], 3.0, LE)
    assert e.scale(-2.0) is None
    assert (e.values(), e.constant, e.sense) == ([-3.0, 4.0], -6.0, LE)


@pytest.mark.parametrize(
    "current, other, sign, expected",
    [
        (None, None, -1.0, None),
        (None, LE, 1.0, LE),
        (None, GE, 0.0, GE),
        (None, LE, -0.0, LE),
        (None, EQ, NAN, EQ),
        (None, LE, -1.0, GE),
        (None, EQ, -2.0, EQ),
        (None, GE, -INF, LE),
        (LE, GE, 1.0, LE),
        (GE, GE, -1.0, GE),
        (EQ, None, -1.0, EQ),
    ],
)
def test_combine_sense(current, other, sign, expected):
    e = expr(sense=current)
    assert e.combine_sense(other, sign) is None
    assert e.sense is expected


def test_combine_sense_twice_keeps_the_first_result():
    e = AffineExpr()
    e.combine_sense(other_sense=LE, sign=-1.0)
    e.combine_sense(EQ, 1.0)
    assert e.sense is GE


# ---------------------------------------------------------------------------------------------
# Sense, name, constant.


def test_setters_and_clearers():
    e = AffineExpr()
    e.set_constant(-2)
    e.set_sense(EQ)
    e.set_name("")
    assert (e.constant, e.sense, e.name) == (-2.0, EQ, "")
    e.set_name(" n\tm ")
    e.clear_sense()
    assert (e.sense, e.name) == (None, " n\tm ")
    e.clear_name()
    assert e.name is None


@pytest.mark.parametrize("attribute, value", [("constant", 1.0), ("sense", LE), ("name", "n")])
def test_attributes_are_read_only(attribute, value):
    with pytest.raises(AttributeError):
        setattr(AffineExpr(), attribute, value)


def test_clone_is_independent_and_shares_the_binding(m, x):
    e = expr([(x[3], 2.0), (x[1], 1.0)], 4.0, GE, "orig")
    c = e.clone_expr()
    assert (ids(c), c.values(), c.constant, c.sense, c.name, binding(c, m)) == (
        [3, 1], [2.0, 1.0], 4.0, GE, "orig", "m")
    c.add_term(x[0], 1.0)
    c.set_name("copy")
    e.add_term(x[3], 1.0)
    e.clear_sense()
    assert (ids(e), e.values(), e.sense, e.name) == ([3, 1], [3.0, 1.0], None, "orig")
    assert (ids(c), c.values(), c.sense, c.name) == ([3, 1, 0], [2.0, 1.0, 1.0], GE, "copy")
    assert binding(AffineExpr.from_constant(1.0).clone_expr(), m) == "unbound"


def test_binding_is_never_cleared(m, x, m2):
    e = expr([(x[0], 1.0)], 1.0, LE, "n")
    e.clear_sense()
    e.clear_name()
    e.set_constant(0.0)
    e.scale(0.0)
    e.add_expr(AffineExpr.from_constant(1.0), 1.0)
    e.add_term(m2.get_variable(0), 1.0)
    e.combine_sense(GE, -1.0)
    assert binding(e, m) == "m"


# ---------------------------------------------------------------------------------------------
# Term accessors.


def test_accessors_follow_insertion_order(m, x, m2):
    e = expr([(x[4], 1.0), (x[0], 2.0), (m.get_variable(99), 3.0)])
    keys = e.keys()
    assert [v.id() for v in keys] == [4, 0, 99]
    assert [v.name for v in keys] == ["e", "a", ""]
    assert [(v.id(), c) for v, c in e.items()] == [(4, 1.0), (0, 2.0), (99, 3.0)]
    assert e.values() == [1.0, 2.0, 3.0]
    assert keys[0] is not e.keys()[0]
    # terms_with_variables makes handles of the given model, whatever the expression's binding.
    pairs = e.terms_with_variables(m2)
    assert [(v.id(), v.model_identity(), c) for v, c in pairs] == [
        (i, m2.get_variable(0).model_identity(), c) for i, c in [(4, 1.0), (0, 2.0), (99, 3.0)]]


def test_a_dead_model_stops_only_what_resolves_the_reference(m2):
    gone = Model("gone")
    v = gone.add_variables_batch(["a", "b"], 0, 1, Category.Continuous)
    e = expr([(v[0], 1.0), (v[1], 2.0)], 1.0)
    del gone
    for call in (e.keys, e.items, lambda: e.add_expr(AffineExpr.from_variable(m2.get_variable(0)), 1.0),
                 lambda: e.add_term_ids_coeffs(m2, array("Q", [0]), array("d", [1.0]))):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == LOST_EXPR
    assert (e.values(), e.num_terms(), e.get_coeff(v[1])) == ([1.0, 2.0], 2, 2.0)
    e.add_term(v[0], 1.0)
    e.scale(2.0)
    assert (e.values(), e.constant) == ([4.0, 4.0], 2.0)
    assert [(h.id(), c) for h, c in e.terms_with_variables(m2)] == [(0, 4.0), (1, 4.0)]


# ---------------------------------------------------------------------------------------------
# Bulk path.


def test_add_term_ids_coeffs_accumulates_and_binds(m, x):
    e = AffineExpr()
    assert e.add_term_ids_coeffs(m, array("Q", [3, 1, 3, 4]), array("d", [1.0, 2.0, 0.5, -0.0])) is None
    assert (ids(e), hx(e.values()), binding(e, m)) == ([3, 1, 4], hx([1.5, 2.0, 0.0]), "m")
    e.add_term(x[0], 1.0)
    e.add_term_ids_coeffs(model=m, ids=array("Q", [0, 2]), coeffs=array("d", [-1.0, 7.0]))
    assert (ids(e), hx(e.values())) == ([3, 1, 4, 0, 2], hx([1.5, 2.0, 0.0, 0.0, 7.0]))


def test_empty_buffers_bind(m, m2):
    e = AffineExpr()
    e.add_term_ids_coeffs(m2, array("Q"), array("d"))
    assert (e.num_terms(), binding(e, m2)) == (0, "m")


def _read_only(a):
    a.setflags(write=False)
    return a


@pytest.mark.parametrize(
    "make_ids, make_coeffs",
    [
        (lambda v: array("Q", v), lambda v: array("d", v)),
        (lambda v: array("L", v), lambda v: memoryview(array("d", v))),
        (lambda v: np.array(v, dtype=np.uint64), lambda v: np.array(v, dtype=np.float64)),
        (lambda v: memoryview(np.array(v, dtype=np.uint64)), lambda v: np.array(v, dtype="<f8")),
        (lambda v: _read_only(np.array(v, dtype=np.uint64)), lambda v: _read_only(np.array(v))),
    ],
    ids=["array Q/d", "array L/memoryview", "numpy", "memoryview of numpy", "read-only numpy"],
)
def test_accepted_buffer_kinds(m, make_ids, make_coeffs):
    e = AffineExpr()
    e.add_term_ids_coeffs(m, make_ids([4, 0, 4]), make_coeffs([1.0, 2.0, 3.0]))
    assert (ids(e), e.values()) == ([4, 0], [4.0, 2.0])


@pytest.mark.parametrize(
    "ids_buf, coeffs_buf, exc, parameter",
    [
        (np.zeros(1, dtype=np.int64), array("d", [1.0]), BufferError, "ids"),
        (array("q", [0]), array("d", [1.0]), BufferError, "ids"),
        (np.zeros(1, dtype=">u8"), array("d", [1.0]), BufferError, "ids"),
        (array("I", [0, 0]), array("d", [1.0]), BufferError, "ids"),
        (np.frombuffer(bytearray(17), dtype=np.uint64, offset=1), array("d", [1.0, 2.0]), BufferError, "ids"),
        (b"\0" * 8, array("d", [1.0]), BufferError, "ids"),
        ((0,), array("d", [1.0]), TypeError, "ids"),
        (array("Q", [0]), np.zeros(1, dtype=np.float32), BufferError, "coeffs"),
        (array("Q", [0]), array("Q", [0]), BufferError, "coeffs"),
        (array("Q", [0, 1]), np.frombuffer(bytearray(17), dtype=np.float64, offset=1), BufferError, "coeffs"),
        (array("Q", [0]), 1.0, TypeError, "coeffs"),
    ],
)
def test_rejected_buffers_name_their_parameter(m, ids_buf, coeffs_buf, exc, parameter):
    e = AffineExpr()
    with pytest.raises(exc) as info:
        e.add_term_ids_coeffs(m, ids_buf, coeffs_buf)
    assert any(f"'{parameter}'" in n for n in getattr(info.value, "__notes__", []))
    assert binding(e, m) == "unbound"


@pytest.mark.parametrize(
    "given_ids, coeffs, message, applied",
    [
        ([0, 7], [1.0, 2.0], "variable id 7 is out of range (model has 5 variables)", [(0, 1.0)]),
        ([0, 1], [1.0, NAN], "non-finite coefficient in coeffs buffer", [(0, 1.0)]),
        ([2, 2, 9], [1.0, 1.0, INF], "variable id 9 is out of range (model has 5 variables)", [(2, 2.0)]),
        ([3, 1, 9], [1.0, -INF, 1.0], "non-finite coefficient in coeffs buffer", [(3, 1.0)]),
        ([2**64 - 1], [1.0], f"variable id {2**64 - 1} is out of range (model has 5 variables)", []),
    ],
)
def test_failing_pair_keeps_earlier_pairs_and_the_binding(m, given_ids, coeffs, message, applied):
    e = AffineExpr()
    with pytest.raises(ValueError) as info:
        e.add_term_ids_coeffs(m, array("Q", given_ids), array("d", coeffs))
    assert str(info.value) == message
    assert ([(v.id(), c) for v, c in e.items()], binding(e, m)) == (applied, "m")


def test_add_term_with_a_non_finite_coefficient_is_accepted(x):
    e = expr([(x[0], NAN)])
    assert math.isnan(e.get_coeff(x[0]))


@pytest.mark.parametrize("prefix", [[], [(17, 0.25), (3, -1.0)]], ids=["empty", "with terms"])
@pytest.mark.parametrize("distinct", [7, 5000])
def test_large_buffers_match_a_dictionary(prefix, distinct):
    m = Model(None)
    m.add_variables_batch([f"v{i}" for i in range(5000)], 0, 1, Category.Continuous)
    rng = random.Random(distinct)
    pairs = [(rng.randrange(distinct), rng.choice([rng.uniform(-5, 5), 0.0, -0.0, 1e300]))
             for _ in range(100_000)]
    expected = {}
    for i, c in prefix + pairs:
        expected[i] = c + expected[i] if i in expected else c + 0.0
    e = AffineExpr()
    for i, c in prefix:
        e.add_term(m.get_variable(i), c)
    e.add_term_ids_coeffs(m, array("Q", [i for i, _ in pairs]), array("d", [c for _, c in pairs]))
    assert ids(e) == list(expected)
    assert hx(e.values()) == hx(expected.values())


def test_distinct_buffer_then_lookups_and_repeats():
    # A buffer of distinct ids fills the expression without building its lookup structure;
    # everything that looks terms up afterwards must still find each one exactly once.
    m = Model(None)
    vs = m.add_variables_batch([f"v{i}" for i in range(5000)], 0, 1, Category.Continuous)
    perm = list(range(5000))
    random.Random(11).shuffle(perm)
    e = AffineExpr()
    e.add_term_ids_coeffs(m, array("Q", perm[:4000]), array("d", [float(i) for i in perm[:4000]]))
    assert ids(e) == perm[:4000]
    assert [e.get_coeff(vs[i]) for i in perm] == [float(i) for i in perm[:4000]] + [0.0] * 1000
    e.add_term(vs[perm[0]], 0.5)
    e.add_term_ids_coeffs(m, array("Q", perm[3990:]), array("d", [1.0] * 1010))
    assert ids(e) == perm
    assert e.get_coeff(vs[perm[0]]) == perm[0] + 0.5
    assert [e.get_coeff(vs[i]) for i in perm[3990:4001]] == [i + 1.0 for i in perm[3990:4000]] + [1.0]


def test_large_buffer_failing_late_keeps_everything_before():
    m = Model(None)
    m.add_variables_batch([f"v{i}" for i in range(1000)], 0, 1, Category.Continuous)
    rng = random.Random(5)
    id_list = [rng.randrange(1000) for _ in range(50_000)]
    coeffs = [float(rng.randrange(1, 9)) for _ in id_list]
    coeffs[40_000] = NAN
    e = AffineExpr()
    with pytest.raises(ValueError, match="non-finite"):
        e.add_term_ids_coeffs(m, np.array(id_list, dtype=np.uint64), np.array(coeffs))
    expected = {}
    for i, c in zip(id_list[:40_000], coeffs[:40_000]):
        expected[i] = expected.get(i, 0.0) + c
    assert dict(zip(ids(e), e.values())) == expected and ids(e) == list(expected)
