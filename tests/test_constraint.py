"""The Constraint handle: setters and their checks, coefficient order, replacing the whole body
from an expression, evaluation at the stored solution, feasibility, the texts, and what happens
when the model is gone."""

from __future__ import annotations

import math
from array import array

import pytest
from support import LOST_EXPR, LOST_HANDLE, make_expr

from zemlo._ondrel import AffineExpr, Category, Model, Sense

INF = float("inf")
NAN = float("nan")
LE, EQ, GE = Sense.LessEqual, Sense.Equal, Sense.GreaterEqual


def bits(x):
    return None if x is None else x.hex()


def state(c):
    """Everything a constraint shows, with floats compared by their bits."""
    return (c.name, bits(c.rhs), c.sense, [(v.name, bits(k)) for v, k in c.items()], bits(c.pi), bits(c.slack))


@pytest.fixture
def m():
    return Model("m")


@pytest.fixture
def v(m):
    """x in [0, 4], y in [-2, inf), z in [0, 10], w free."""
    return dict(zip("xyzw", [m.add_variable("x", 0.0, 4.0, Category.Continuous),
                             m.add_variable("y", -2.0, INF, Category.Continuous),
                             m.add_variable("z", 0.0, 10.0, Category.Integer),
                             m.add_variable("w", -INF, INF, Category.Continuous)]))


@pytest.fixture
def c(m, v):
    """c: y + z <= 5, pi and slack set."""
    con = m.add_constraint(make_expr([(v["y"], 1.0), (v["z"], 1.0)], -5.0, LE, "c"))
    con.set_pi(0.5)
    con.set_slack(1.5)
    return con


# ---------------------------------------------------------------------------------------------
# Simple setters.

@pytest.mark.parametrize("name", ["_reserved", "  padded\t", "", "c", "é name"])
def test_set_name_stores_the_text_unchanged(c, name):
    c.set_name(name)
    assert c.name == name


def test_setters_write_through_to_every_handle(m, c):
    c.set_pi(-0.0)
    c.set_slack(NAN)
    c.set_rhs(-0.0)
    c.set_sense(GE)
    other = m.get_constraint_by_name("c")
    assert (bits(other.pi), math.isnan(other.slack), bits(other.rhs), other.sense) == ("-0x0.0p+0", True, "-0x0.0p+0", GE)
    assert other.sense is Sense.GreaterEqual


@pytest.mark.parametrize("rhs, text", [(INF, "inf"), (-INF, "-inf"), (NAN, "NaN")])
def test_set_rhs_rejects_non_finite_values(c, rhs, text):
    before = state(c)
    with pytest.raises(ValueError) as info:
        c.set_rhs(rhs)
    assert str(info.value) == f"Invalid constraint RHS value: {text}. Coefficients and bounds must be finite."
    assert state(c) == before


# ---------------------------------------------------------------------------------------------
# set_coefficient.

def test_set_coefficient_keeps_positions_and_appends_new_terms(c, v):
    names = lambda: [(var.name, k) for var, k in c.items()]  # noqa: E731
    c.set_coefficient(v["x"], 3.0)
    assert names() == [("y", 1.0), ("z", 1.0), ("x", 3.0)]
    c.set_coefficient(v["x"], 4.0)
    assert names() == [("y", 1.0), ("z", 1.0), ("x", 4.0)]
    c.set_coefficient(v["y"], -0.0)
    assert names() == [("z", 1.0), ("x", 4.0)]
    c.set_coefficient(v["y"], 2.0)
    assert names() == [("z", 1.0), ("x", 4.0), ("y", 2.0)]
    c.set_coefficient(v["w"], 0.0)  # absent: nothing happens
    assert names() == [("z", 1.0), ("x", 4.0), ("y", 2.0)]


def test_set_coefficient_checks_in_order(m, c, v):
    other_model = Model("other")
    other = other_model.add_variable("q", 0, 1, Category.Continuous)
    gone = Model("gone").add_variable("g", 0, 1, Category.Continuous)  # its model is dropped at once
    beyond = m.get_variable(7)
    before = state(c)
    cases = [
        (other, NAN, "Variable belongs to a different model than the constraint."),
        (gone, NAN, LOST_HANDLE),
        (beyond, INF, "Invalid coefficient value: inf for variable id 7. Coefficients must be finite."),
        (v["x"], -INF, "Invalid coefficient value: -inf for variable id 0. Coefficients must be finite."),
        (beyond, 1.0, "Variable id 7 is out of range (model has 4 variables)"),
        (beyond, 0.0, "Variable id 7 is out of range (model has 4 variables)"),
    ]
    for var, coeff, message in cases:
        with pytest.raises(ValueError) as info:
            c.set_coefficient(var, coeff)
        assert str(info.value) == message
    assert state(c) == before


# ---------------------------------------------------------------------------------------------
# set_expr.

def test_set_expr_replaces_terms_rhs_and_sense_only(c, v):
    e = make_expr([(v["x"], 1.0), (v["y"], -1.0), (v["z"], 0.0)], -4.0, LE, "ignored")
    c.set_sense(EQ)
    c.set_expr(e)
    assert state(c) == ("c", bits(4.0), LE, [("x", bits(1.0)), ("y", bits(-1.0))], bits(0.5), bits(1.5))
    # The expression is left as it was.
    assert (e.num_terms(), e.constant, e.name, e.sense) == (3, -4.0, "ignored", LE)


def test_set_expr_with_zero_constant_gives_negative_zero_rhs(c, v):
    c.set_expr(make_expr([(v["x"], 2.0)], 0.0, GE))
    assert bits(c.rhs) == "-0x0.0p+0"
    assert c.as_cplex_lp_constraint("c") == "c: 2 x >= 0\n"
    assert c.str_repr() == "2*x >= -0"


def test_set_expr_accepts_an_unbound_expression_and_leaves_it_unbound(c):
    e = make_expr([], 3.0, EQ)
    c.set_expr(e)
    assert state(c)[:4] == ("c", bits(-3.0), EQ, [])
    # Still unbound: an expression bound to c's model would refuse another model here.
    e.add_term_ids_coeffs(Model("n"), array("Q"), array("d"))


def test_set_expr_failures_change_nothing(m, c, v):
    other_model = Model("other")
    q = other_model.add_variable("q", 0, 1, Category.Continuous)
    dead = make_expr([(Model("dead").add_variable("d", 0, 1, Category.Continuous), 1.0)], 0.0, LE)
    beyond = m.get_variable(9)
    cases = [
        (make_expr([(q, 1.0)], 0.0, LE), "Expression is bound to a different model than the constraint."),
        (dead, LOST_EXPR),
        (make_expr([(v["x"], 1.0)], 0.0), "Cannot add constraint without a sense (<=, >=, ==)"),
        (make_expr([(v["x"], NAN)], INF, LE), "Invalid constraint RHS value: inf. Coefficients and bounds must be finite."),
        (make_expr([(v["x"], 1.0), (beyond, NAN)], 1.0, GE),
         "Invalid coefficient value: NaN for variable id 9. Coefficients must be finite."),
        (make_expr([(v["x"], 1.0), (beyond, 0.0)], 1.0, GE), "Variable id 9 is out of range (model has 4 variables)"),
    ]
    before = state(c)
    for e, message in cases:
        with pytest.raises(ValueError) as info:
            c.set_expr(e)
        assert str(info.value) == message
        assert state(c) == before


# ---------------------------------------------------------------------------------------------
# Evaluation and feasibility.

def test_value_follows_the_term_order_exactly(m):
    xs = m.add_variables_batch(["a", "b", "c"], -INF, INF, Category.Continuous)
    coeffs, values, rhs = [1e16, 1.0, -1e16], [1.0, 1.0, 1.0], 0.5
    con = m.add_constraint(make_expr(list(zip(xs, coeffs)), -rhs, EQ))
    for x, val in zip(xs, values):
        x.set_value(val)
    acc = 0.0 - rhs
    for k, val in zip(coeffs, values):
        acc = acc + k * val
    # Starting from -rhs, 1e16 absorbs both the 0.5 and the 1.0; adding -rhs last would give -0.5.
    assert bits(con.value()) == bits(acc) == bits(0.0)


def test_value_is_none_while_a_variable_has_no_value(c, v):
    v["y"].set_value(1.0)
    assert c.value() is None
    assert c.valid(1e9) is False
    # z has no value: its default is the midpoint of its finite bounds, 5.
    assert c.value_or_default() == 1.0 + 5.0 - 5.0
    v["z"].set_value(2.0)
    assert c.value() == -2.0


@pytest.mark.parametrize("lb, ub, default", [(0.0, 4.0, 2.0), (-2.0, INF, -2.0), (-INF, 7.0, 7.0), (-INF, INF, 0.0)])
def test_value_or_default_uses_the_bound_based_default(m, lb, ub, default):
    x = m.add_variable("x", lb, ub, Category.Continuous)
    con = m.add_constraint(make_expr([(x, 3.0)], 1.0, LE))
    assert con.value_or_default() == 1.0 + 3.0 * default  # rhs is -1.0


@pytest.mark.parametrize("sense", [LE, EQ, GE])
def test_constraint_without_terms_and_zero_rhs(m, sense):
    con = m.add_constraint(make_expr([], 0.0, sense))
    assert bits(con.value()) == bits(0.0) and bits(con.value_or_default()) == bits(0.0)
    assert con.valid() is True


@pytest.mark.parametrize("sense, value, eps, ok", [
    (EQ, 1e-9, 0.0, False), (EQ, 1e-9, 1e-6, True), (EQ, -1e-9, 1e-6, True),
    (GE, -1e-9, 1e-6, True), (GE, -1e-5, 1e-6, False), (GE, 0.0, 0.0, True),
    (LE, 1e-9, 0.0, False), (LE, 1e-9, 1e-8, True), (LE, -3.0, 0.0, True),
    (LE, NAN, 1e300, False), (EQ, NAN, INF, False), (GE, NAN, INF, False),
])
def test_valid_by_sense(m, sense, value, eps, ok):
    x = m.add_variable("x", -INF, INF, Category.Continuous)
    con = m.add_constraint(make_expr([(x, 1.0)], 0.0, sense))
    x.set_value(value)
    assert con.valid(eps=eps) is ok


# ---------------------------------------------------------------------------------------------
# Texts.

def test_texts_of_a_constraint(m, v):
    con = m.add_constraint(make_expr([(v["y"], 2.0), (v["x"], 1.0), (v["w"], -0.5)], -5.0, LE, "k"))
    assert con.str_repr() == "-0.5*w + x + 2*y <= 5"
    assert con.repr_str() == "-0.5*w + 1.0*x + 2.0*y + -5.0 <= 0"
    assert con.as_cplex_lp_constraint("label") == "label: - 0.5 w + x + 2 y <= 5\n"
    assert con.as_cplex_lp_affine_expression("label") == "label: - 0.5 w + x + 2 y - 5\n"
    assert con.as_cplex_lp_affine_expression("label", include_constant=False) == "label: - 0.5 w + x + 2 y\n"


def test_texts_agree_with_the_expression_they_came_from(m, v):
    # The constraint shows what the expression it was made from shows.
    e = make_expr([(v["x"], 1.0), (v["y"], 2.0)], -5.0, LE)
    con = m.add_constraint(e)
    assert con.str_repr() == e.str_with_sense() == "x + 2*y <= 5"
    assert con.as_cplex_lp_constraint("n") == e.as_cplex_lp_constraint("n")
    assert con.as_cplex_lp_affine_expression("n") == e.as_cplex_lp_affine_expression("n")


def test_texts_of_a_constraint_without_terms(m):
    con = m.add_constraint(make_expr([], -2.0, GE, "e"))
    assert con.str_repr() == "0 >= 2"
    assert con.repr_str() == "-2.0 >= 0"
    con.set_rhs(-0.0)
    assert con.repr_str() == "0.0 >= 0"  # 0.0 - rhs is +0.0 for either zero


def test_items_lists_zero_terms_made_by_add_constraint(m, v):
    con = m.add_constraint(make_expr([(v["x"], 0.0), (v["y"], 1.0)], 0.0, LE))
    assert [(var.id(), k) for var, k in con.items()] == [(0, 0.0), (1, 1.0)]
    con.set_coefficient(v["y"], 3.0)  # the zero term stays until it is removed
    assert [(var.id(), k) for var, k in con.items()] == [(0, 0.0), (1, 3.0)]


# ---------------------------------------------------------------------------------------------
# Arguments and the lost-model rule.

CALLS = {
    "name": lambda c: c.name, "pi": lambda c: c.pi, "slack": lambda c: c.slack,
    "sense": lambda c: c.sense, "rhs": lambda c: c.rhs, "items": lambda c: c.items(),
    "set_name": lambda c: c.set_name("n"), "set_pi": lambda c: c.set_pi(1.0),
    "set_slack": lambda c: c.set_slack(1.0), "set_rhs": lambda c: c.set_rhs(1.0),
    "set_sense": lambda c: c.set_sense(EQ), "set_expr": lambda c: c.set_expr(make_expr([], 0.0, EQ)),
    "value": lambda c: c.value(), "value_or_default": lambda c: c.value_or_default(),
    "valid": lambda c: c.valid(), "lp_constraint": lambda c: c.as_cplex_lp_constraint("n"),
    "lp_affine": lambda c: c.as_cplex_lp_affine_expression("n"), "str_repr": lambda c: c.str_repr(),
    "repr_str": lambda c: c.repr_str(),
}


@pytest.fixture
def orphan():
    m = Model("gone")
    m.add_constraint(make_expr([], 0.0, EQ))
    con = m.add_constraint(make_expr([], 0.0, EQ))
    del m
    return con


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS)
def test_every_method_but_id_needs_the_model(orphan, call):
    with pytest.raises(ValueError) as info:
        call(orphan)
    assert str(info.value) == LOST_HANDLE
    assert orphan.id() == 1


def test_items_handles_are_orphaned_with_the_constraint():
    m = Model("m")
    x = m.add_variable("x", 0, 1, Category.Continuous)
    con = m.add_constraint(make_expr([(x, 1.0)], 0.0, LE))
    (var, _), = con.items()
    assert var.name == "x"
    del m, x
    with pytest.raises(ValueError) as info:
        var.name
    assert str(info.value) == LOST_HANDLE


def test_set_coefficient_on_an_orphan_reports_the_constraint_first(orphan, v):
    with pytest.raises(ValueError) as info:
        orphan.set_coefficient(v["x"], 1.0)
    assert str(info.value) == LOST_HANDLE


@pytest.mark.parametrize("call, exc", [
    (lambda c, v: c.valid(None), TypeError),
    (lambda c, v: c.valid(eps="0"), TypeError),
    (lambda c, v: c.as_cplex_lp_affine_expression("n", include_constant=1), TypeError),
    (lambda c, v: c.as_cplex_lp_affine_expression("n", None), TypeError),
    (lambda c, v: c.as_cplex_lp_constraint(b"n"), TypeError),
    (lambda c, v: c.set_name(None), TypeError),
    (lambda c, v: c.set_sense(1), TypeError),
    (lambda c, v: c.set_sense(Category.Integer), TypeError),
    (lambda c, v: c.set_coefficient(AffineExpr(), 1.0), TypeError),
    (lambda c, v: c.set_coefficient(v["x"], None), TypeError),
    (lambda c, v: c.set_coefficient(v["x"], 10**400), OverflowError),
    (lambda c, v: c.set_expr(v["x"]), TypeError),
    (lambda c, v: c.set_rhs(rhs=None), TypeError),
    (lambda c, v: c.set_pi(), TypeError),
    (lambda c, v: c.set_slack(1.0, 2.0), TypeError),
])
def test_bad_arguments_change_nothing(c, v, call, exc):
    before = state(c)
    with pytest.raises(exc):
        call(c, v)
    assert state(c) == before


def test_bad_arguments_are_reported_before_the_model_is_looked_at(orphan):
    with pytest.raises(TypeError):
        orphan.valid(None)
    with pytest.raises(TypeError):
        orphan.set_expr(None)


def test_keywords_and_defaults(c, v):
    c.set_coefficient(var=v["x"], coeff=2.0)
    v["x"].set_value(1.0)
    v["y"].set_value(1.0)
    v["z"].set_value(1.0)
    assert c.value() == -1.0
    assert c.valid() is True and c.valid(eps=0.0) is True
    c.set_expr(expr=make_expr([(v["x"], 1.0)], -2.0, GE))
    assert c.valid() is False and c.valid(1.0) is True


def test_handles_compare_by_identity(m, c):
    assert m.get_constraint_by_name("c") != c
    assert c == c
    with pytest.raises(TypeError):
        type(c)()
