"""The Variable handle: properties, setters, predicates, the solution logic (validity, gap,
rounding, default value), identity, and what happens when the model is gone or the id names
no variable. Its LP bounds text is tested with the other LP fragments."""

from __future__ import annotations

import math

import pytest

from zemlo._ondrel import AffineExpr, Category, Model, Sense
from support import LOST_HANDLE

INF = float("inf")
NAN = float("nan")
C, I, B = Category.Continuous, Category.Integer, Category.Binary


def same(a, b):
    """Equal as floats, telling -0.0 from 0.0 and taking NaN as equal to NaN."""
    if a is None or b is None:
        return a is b
    return a.hex() == b.hex()


@pytest.fixture
def m():
    return Model("m")


@pytest.fixture
def make(m):
    def make(lb=0.0, ub=INF, category=C, value=None, name="v"):
        v = m.add_variable(name, lb, ub, category)
        if value is not None:
            v.set_value(value)
        return v
    return make


# ---------------------------------------------------------------------------------------------
# Properties and setters.


def test_properties_read_the_record(make):
    v = make(-1, 2.5, I, name="a b")
    assert (v.id(), v.name, v.lb, v.ub, v.category, v.value, v.dj) == (0, "a_b", -1.0, 2.5, I, None, None)
    assert type(v.lb) is float and v.category is Category.Integer


@pytest.mark.parametrize("attribute", ["name", "lb", "ub", "category", "value", "dj"])
def test_properties_are_read_only(make, attribute):
    v = make()
    with pytest.raises(AttributeError):
        setattr(v, attribute, getattr(v, attribute))


def test_setters_store_without_validation_and_handles_share_the_record(m, make):
    v = make(0, 1, B, name="x")
    other = make(name="y")
    same_var = m.get_variable(0)
    assert v.set_lb(7) is None and v.set_ub(-INF) is None
    v.set_value(NAN)
    v.set_dj(-0.0)
    assert same_var.set_category(I) is None
    same_var.set_name("y")
    assert (same_var.lb, same_var.ub, v.category, v.name, other.name) == (7.0, -INF, I, "y", "y")
    assert math.isnan(same_var.value) and same(same_var.dj, -0.0)
    v.set_category(category=B)  # the bounds are not touched
    v.set_value(v=3)
    assert (v.lb, v.ub, v.category, v.value) == (7.0, -INF, B, 3.0)


@pytest.mark.parametrize(
    "given, stored",
    [("one two three", "one_two_three"), ("tab\there", "tab\there"), ("nb\xa0sp", "nb\xa0sp"), (" ", "_"), ("", "")],
)
def test_set_name_replaces_ascii_spaces(make, given, stored):
    v = make()
    v.set_name(name=given)
    assert v.name == stored


# ---------------------------------------------------------------------------------------------
# Predicates.


@pytest.mark.parametrize(
    "lb, ub, category, free, constant, positive, integer, binary",
    [
        (-INF, INF, C, True, False, False, False, False),
        (0.0, INF, C, False, False, True, False, False),
        (-0.0, INF, I, False, False, True, True, False),
        (0.0, 1.0, I, False, False, False, True, True),
        (-0.0, 1.0, I, False, False, False, True, True),
        (0.0, 1.0, C, False, False, False, False, False),
        (5.0, 9.0, B, False, False, False, False, True),
        (0.0, 1.0000001, I, False, False, False, True, False),
        (3.0, 3.0, C, False, True, False, False, False),
        (INF, INF, C, False, False, False, False, False),
        (-INF, -INF, I, False, False, False, True, False),
        (NAN, INF, C, False, False, False, False, False),
        (-INF, NAN, C, False, False, False, False, False),
        (NAN, NAN, I, False, False, False, True, False),
    ],
)
def test_predicates(make, lb, ub, category, free, constant, positive, integer, binary):
    v = make(lb, ub, category)
    assert (v.is_free(), v.is_constant(), v.is_positive(), v.is_integer(), v.is_binary()) == (
        free, constant, positive, integer, binary)


# ---------------------------------------------------------------------------------------------
# Solution logic.


@pytest.mark.parametrize(
    "lb, ub, category, value, kwargs, expected",
    [
        (0, 10, C, None, {}, False),
        (0, 10, C, 10.0000001, {}, True),  # exactly 10 + 1e-7 in double precision
        (0, 10, C, 10.001, {}, False),
        (0, 10, C, 10.0000001, {"eps": 0.0}, False),
        (0, 10, C, -1e-7, {}, True),
        (0, 10, C, -2e-7, {}, False),
        (-INF, INF, I, 2.4, {}, False),
        (-INF, INF, I, 2.00000005, {}, True),
        (-INF, INF, I, 2.4, {"eps": 0.5}, True),
        (0, 1, B, 0.5, {}, True),
        (0, 10, I, NAN, {}, True),
        (NAN, NAN, C, -1e300, {}, True),
        (5, 1, C, 3.0, {}, False),
        (5, 1, C, 1.0, {}, False),
        (0, INF, C, INF, {}, True),
        (-INF, INF, I, INF, {}, True),
        (0, 10, C, INF, {}, False),
    ],
)
def test_valid(make, lb, ub, category, value, kwargs, expected):
    assert make(lb, ub, category, value).valid(**kwargs) is expected


@pytest.mark.parametrize("name, expected", [("__dummy", True), ("__Dummy", False), ("dummy", False)])
def test_valid_without_a_value_depends_on_the_name(make, name, expected):
    assert make(name=name).valid() is expected


@pytest.mark.parametrize(
    "lb, ub, category, value, mip, expected",
    [
        (0, 10, C, 12.0, True, 2.0),
        (0, 10, C, -3.0, True, -3.0),
        (5, 1, C, 3.0, True, 2.0),  # the upper bound is tested first
        (5, 1, C, 0.0, True, -5.0),
        (-INF, INF, I, 2.4, True, 2.0 - 2.4),
        (-INF, INF, I, 2.4, False, 0.0),
        (-INF, INF, I, 2.5, True, 0.5),  # halves round away from zero
        (-INF, INF, I, -2.5, True, -0.5),
        (0, 10, I, 3.0, True, 0.0),
        (0, 1, B, 0.5, True, 0.0),
        (0, 10, I, NAN, True, NAN),
        (0, 10, C, NAN, True, 0.0),
        (NAN, 4, C, -5.0, True, 0.0),
        (0, 10, I, 10.5, True, 0.5),
    ],
)
def test_infeasibility_gap(make, lb, ub, category, value, mip, expected):
    v = make(lb, ub, category, value)
    assert same(v.infeasibility_gap(mip), expected)
    if mip:
        assert same(v.infeasibility_gap(), expected)  # mip defaults to True


def test_infeasibility_gap_without_a_value(make):
    with pytest.raises(ValueError) as info:
        make().infeasibility_gap()
    assert str(info.value) == "variable value is None"


@pytest.mark.parametrize(
    "lb, ub, category, value, kwargs, expected",
    [
        (0, 5, I, 5.00000005, {}, 5.0),
        (0, 5, I, 4.999996, {}, 5.0),
        (0, 5, I, 4.9, {}, 4.9),
        (0, 5, I, 4.9, {"eps_int": 0.2}, 5.0),
        (0, 5, C, 5.00000005, {}, 5.0),
        (0, 5, C, 5.0000002, {}, 5.0000002),
        (0, 5, C, 5.0000002, {"eps": 1e-6}, 5.0),
        (0, 5, C, -5e-8, {}, 0.0),
        (0, 5, C, 5.0, {}, 5.0),
        (2, 1, C, 1.00000005, {}, 1.0),  # the upper bound is tried first
        (0.3, 5, I, 0.29999999, {}, 0.3),  # snapping works on the bounded value
        (0, 2.5, I, 2.50000001, {}, 2.5),
        (0, INF, I, -3e-6, {}, -0.0),
        (0, 1, B, 0.99999, {}, 0.99999),
        (0, 10, I, NAN, {}, NAN),
        (NAN, NAN, I, 7.000001, {}, 7.0),
        (0, 10, I, 2.5, {"eps_int": 0.5}, 3.0),
        (-10, 0, I, -2.5, {"eps_int": 0.5, "eps": 0.0}, -3.0),
    ],
)
def test_round_value(make, lb, ub, category, value, kwargs, expected):
    v = make(lb, ub, category, value)
    assert v.round_value(**kwargs) is None
    assert same(v.value, expected)


def test_round_value_without_a_value_stores_nothing(make):
    v = make(0, 1, I)
    v.round_value()
    assert v.value is None


@pytest.mark.parametrize(
    "category, ub, value, kwargs, expected",
    [
        (I, 10, 2.4, {}, 2.4),
        (I, 10, 2.000001, {}, 2.0),
        (I, 10, 2.000001, {"eps": 1e-7}, 2.000001),
        (C, 10, 2.000001, {}, 2.000001),
        (B, 1, 0.999999, {}, 0.999999),
        (I, 10, -2.5, {"eps": 0.5}, -3.0),
        (I, 1, 5.0000001, {}, 5.0),  # bounds play no part
        (I, 10, NAN, {}, NAN),
        (I, 10, None, {}, None),
    ],
)
def test_rounded_value_leaves_the_record_alone(make, category, ub, value, kwargs, expected):
    v = make(0, ub, category, value)
    assert same(v.rounded_value(**kwargs), expected)
    assert same(v.value, value)


@pytest.mark.parametrize(
    "lb, ub, expected",
    [
        (2, 5, 2.0),
        (-5, -2, -2.0),
        (-1, 1, 0.0),
        (-0.0, 5, 0.0),
        (0, 0, 0.0),
        (5, 2, 5.0),
        (-5, -7, -7.0),
        (3, INF, 3.0),
        (-3, INF, 0.0),
        (-INF, 3, 0.0),
        (-INF, -3, -3.0),
        (-INF, INF, 0.0),
        (NAN, -4, -4.0),
        (NAN, 4, 0.0),
        (7, NAN, 7.0),
        (INF, -INF, 0.0),
    ],
)
def test_value_or_default(make, lb, ub, expected):
    v = make(lb, ub)
    assert same(v.value_or_default(), expected)
    v.set_value(-0.0)
    assert same(v.value_or_default(), -0.0)


# ---------------------------------------------------------------------------------------------
# Identity and the owning model.


def test_model_identity_is_the_store(m, make):
    v, w = make(), make()
    other = Model("other")
    ov = other.add_variable("v", 0, 1, C)
    same_store = v.containing_model()
    ident = v.model_identity()
    assert type(ident) is int
    assert ident == w.model_identity() == m.get_variable(0).model_identity() == same_store.get_variable(1).model_identity()
    copy = m.copy_model()
    assert ident != ov.model_identity() and ident != copy.get_variable(0).model_identity()
    assert v != m.get_variable(0)  # handles have no comparison of their own


def test_containing_model_shares_and_keeps_the_store():
    m = Model("m")
    v = m.add_variable("v", 0, 1, C)
    holder = v.containing_model()
    assert holder is not v.containing_model()
    holder.add_variable("w", 0, 1, C)
    assert m.num_variables == 2
    # Any Model of the store will do: an expression of v belongs to the holder's store too.
    e = AffineExpr.from_variable(v)
    e.set_sense(Sense.Equal)
    assert holder.add_constraint(e).id() == 0 and m.num_constraints == 1
    del m
    assert (v.name, holder.summary()) == ("v", "Model(name=m, vars=2, constraints=1, objective=unset)")


# ---------------------------------------------------------------------------------------------
# Failures.

READS = {
    "name": lambda v: v.name,
    "lb": lambda v: v.lb,
    "ub": lambda v: v.ub,
    "category": lambda v: v.category,
    "value": lambda v: v.value,
    "dj": lambda v: v.dj,
    "is_binary": lambda v: v.is_binary(),
    "is_integer": lambda v: v.is_integer(),
    "is_free": lambda v: v.is_free(),
    "is_constant": lambda v: v.is_constant(),
    "is_positive": lambda v: v.is_positive(),
    "valid": lambda v: v.valid(),
    "infeasibility_gap": lambda v: v.infeasibility_gap(False),
    "round_value": lambda v: v.round_value(),
    "value_or_default": lambda v: v.value_or_default(),
    "rounded_value": lambda v: v.rounded_value(),
}
SETTERS = {
    "set_value": lambda v: v.set_value(1.0),
    "set_lb": lambda v: v.set_lb(1.0),
    "set_ub": lambda v: v.set_ub(1.0),
    "set_dj": lambda v: v.set_dj(1.0),
    "set_category": lambda v: v.set_category(B),
    "set_name": lambda v: v.set_name("n m"),
}
IDENTITY = {
    "model_identity": lambda v: v.model_identity(),
    "containing_model": lambda v: v.containing_model(),
}
BAD_ARGUMENTS = [
    (lambda v: v.set_value(None), TypeError),
    (lambda v: v.set_lb("1"), TypeError),
    (lambda v: v.set_ub(10**400), OverflowError),
    (lambda v: v.set_category(1), TypeError),
    (lambda v: v.set_name(b"x"), TypeError),
    (lambda v: v.valid(eps=None), TypeError),
    (lambda v: v.valid(1e-7, 2), TypeError),
    (lambda v: v.infeasibility_gap(1), TypeError),
    (lambda v: v.infeasibility_gap(mip=None), TypeError),
    (lambda v: v.round_value(eps_int="x"), TypeError),
    (lambda v: v.round_value(tolerance=1.0), TypeError),
    (lambda v: v.rounded_value(None), TypeError),
]


@pytest.fixture
def orphan():
    m = Model("gone")
    v = m.add_variables_batch(["a", "b"], 0, 1, I)[1]
    v.set_value(0.5)
    del m
    return v


@pytest.mark.parametrize("call", {**READS, **SETTERS, **IDENTITY}.values(), ids={**READS, **SETTERS, **IDENTITY})
def test_every_method_but_id_needs_the_model(orphan, call):
    with pytest.raises(ValueError) as info:
        call(orphan)
    assert str(info.value) == LOST_HANDLE
    assert orphan.id() == 1


@pytest.mark.parametrize("call, exc", BAD_ARGUMENTS)
def test_bad_arguments_are_reported_before_the_model_is_looked_at(orphan, make, call, exc):
    with pytest.raises(exc):
        call(orphan)
    live = make(0, 1, I, value=0.5, name="x")
    with pytest.raises(exc):
        call(live)
    assert (live.name, live.lb, live.ub, live.category, live.value, live.dj) == ("x", 0.0, 1.0, I, 0.5, None)


@pytest.mark.parametrize("call", [c for k, c in READS.items() if k != "name"], ids=[k for k in READS if k != "name"])
def test_reads_of_an_id_beyond_the_variables_raise(m, make, call):
    make()
    make()
    with pytest.raises(ValueError) as info:
        call(m.get_variable(99))
    assert str(info.value) == "Variable id 99 is out of range (model has 2 variables)"


def test_an_id_beyond_the_variables_has_an_empty_name_and_ignores_setters(m, make):
    make(0, 1, I, 0.5, "a")
    ghost = m.get_variable(99)
    before = [(v.name, v.lb, v.ub, v.category, v.value, v.dj) for v in m.list_variables()]
    for call in SETTERS.values():
        assert call(ghost) is None
    assert [(v.name, v.lb, v.ub, v.category, v.value, v.dj) for v in m.list_variables()] == before
    assert (ghost.name, ghost.id(), m.num_variables) == ("", 99, 1)
    assert ghost.model_identity() == m.get_variable(0).model_identity()
    assert ghost.containing_model().num_variables == 1
    m.add_variables_batch(["v"] * 99, 2.0, 3.0, C)  # now the id names a variable
    assert (ghost.name, ghost.lb) == ("v", 2.0)
