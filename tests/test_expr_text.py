"""Expression evaluation against stored values, and the human-readable and repr-style texts."""

import math
from array import array

import pytest

from zemlo._ondrel import AffineExpr, Category, Model, Sense
from support import LOST_EXPR

INF = math.inf


def expr(model, terms, constant=0.0, sense=None):
    """An expression over variables of `model` named by `terms` [(name, coeff)], added in order."""
    handles = {name: v for name, v in model.variables_dict()}
    e = AffineExpr()
    for name, c in terms:
        if name not in handles:
            handles[name] = model.add_variable(name, -INF, INF, Category.Continuous)
        e.add_term(handles[name], c)
    e.set_constant(constant)
    if sense is not None:
        e.set_sense(sense)
    return e


YXZ = [("y", 2.0), ("x", 1.0), ("z", -2.5)]


@pytest.mark.parametrize(
    "terms, constant, sense, method, expected",
    [
        (YXZ, 3.0, None, lambda e: e.str_expr(), "x + 2*y - 2.5*z + 3"),
        (YXZ, 3.0, None, lambda e: e.str_expr(include_constant=False), "x + 2*y - 2.5*z"),
        (YXZ, 3.0, None, lambda e: e.str_with_sense(), "x + 2*y - 2.5*z + 3"),
        (YXZ, 3.0, Sense.LessEqual, lambda e: e.str_with_sense(), "x + 2*y - 2.5*z <= -3"),
        (YXZ, 0.0, Sense.LessEqual, lambda e: e.str_with_sense(), "x + 2*y - 2.5*z <= -0"),
        (YXZ, 3.0, None, lambda e: e.repr_expr(), "1.0*x + 2.0*y + -2.5*z + 3.0"),
        (YXZ, 3.0, Sense.LessEqual, lambda e: e.repr_expr(), "1.0*x + 2.0*y + -2.5*z + 3.0 <= 0"),
        (YXZ, 3.0, None, str, "2*y + x - 2.5*z + 3"),
        (YXZ, -3.0, None, repr, "2*y + x - 2.5*z - 3"),
        ([], 5.0, None, lambda e: e.str_expr(), "5"),
        ([], 5.0, None, lambda e: e.str_expr(False), "0"),
        ([], 5.0, Sense.GreaterEqual, lambda e: e.str_with_sense(), "0 >= -5"),
        ([], 5.0, Sense.Equal, lambda e: e.repr_expr(), "5.0 = 0"),
        ([], 5.0, None, str, "5"),
        ([], -0.0, None, str, "-0"),
        (
            [("a", -1.0), ("b", 3.0000000000000004), ("c", 1e-16), ("d", 0.1)],
            2.5,
            None,
            lambda e: e.str_expr(),
            "-a + 3*b + 0*c + 0.1*d + 2.5",
        ),
        (
            [("a", -1.0), ("b", 3.0000000000000004), ("c", 1e-16), ("d", 0.1)],
            2.5,
            None,
            lambda e: e.repr_expr(),
            "-1.0*a + 3.0000000000000004*b + 0.0000000000000001*c + 0.1*d + 2.5",
        ),
        ([("a", 0.0)], 0.0, None, lambda e: e.str_expr(), "0*a"),
        ([("a", -1.0), ("b", -3.0)], -1.0, None, str, "-a - 3*b - 1"),
        ([("a", 1.0), ("b", -1.0)], 0.0, None, str, "a - b"),
        ([("a", 1.0)], math.nan, None, str, "a - NaN"),
        ([("B", 0.5), ("a", 3.0), ("b", -1.0)], 0.0, None, lambda e: e.str_expr(), "0.5*B + 3*a - b"),
    ],
)
def test_texts(terms, constant, sense, method, expected):
    m = Model(None)
    assert method(expr(m, terms, constant, sense)) == expected


def test_slot_text_names_an_id_beyond_the_model_by_number():
    small, big = Model("small"), Model("big")
    a = small.add_variable("a", 0, 1, Category.Continuous)
    big.add_variables_batch([f"v{i}" for i in range(6)], 0, 1, Category.Continuous)
    e = AffineExpr()
    e.add_term(a, -2.0)
    e.add_term(big.get_variable(5), 1.0)  # bound to `small`, which has no variable 5
    e.set_constant(-1.5)
    assert str(e) == "-2*a + x5 - 1.5"
    assert e.var_name_coeffs() == [("a", -2.0), ("", 1.0)]
    # The empty name sorts first and leaves the text empty, so "a" is written as a first term.
    assert e.str_expr() == "-2*a - 1.5"


def test_value_and_value_or_default():
    m = Model(None)
    x = m.add_variable("x", 0.0, 4.0, Category.Continuous)
    y = m.add_variable("y", -INF, INF, Category.Continuous)
    e = AffineExpr()
    e.add_term(x, 2.0)
    e.add_term(y, 3.0)
    e.set_constant(1.0)
    assert e.value() is None
    assert e.value_or_default() == 1.0 + 2.0 * 2.0 + 3.0 * 0.0
    x.set_value(1.5)
    assert e.value() is None  # y still has no value
    y.set_value(2.0)
    assert e.value() == 10.0
    assert e.value_or_default() == 10.0


@pytest.mark.parametrize(
    "lb, ub, default",
    [(1.0, 3.0, 2.0), (2.0, INF, 2.0), (-INF, -4.0, -4.0), (-INF, INF, 0.0), (math.nan, 6.0, 6.0)],
)
def test_value_or_default_uses_the_midpoint_of_finite_bounds(lb, ub, default):
    m = Model(None)
    v = m.add_variable("v", lb, ub, Category.Continuous)
    e = AffineExpr.from_variable(v)
    assert e.value_or_default() == default


def test_evaluation_adds_products_to_the_constant_in_term_order():
    # (1e16 + 1) + 1 differs from 1e16 + (1 + 1): the order of the additions shows.
    m = Model(None)
    a, b = m.add_variables_batch(["a", "b"], -INF, INF, Category.Continuous)
    a.set_value(1.0)
    b.set_value(1.0)
    e = AffineExpr()
    e.add_term(a, 1.0)
    e.add_term(b, 1.0)
    e.set_constant(1e16)
    assert e.value() == (1e16 + 1.0) + 1.0
    assert e.value_or_default() == (1e16 + 1.0) + 1.0


def test_value_is_none_for_an_id_beyond_the_model_and_default_skips_it():
    small, big = Model("small"), Model("big")
    a = small.add_variable("a", 0, 1, Category.Continuous)
    a.set_value(1.0)
    big.add_variables_batch(["p", "q"], 0, 1, Category.Continuous)
    e = AffineExpr.from_variable(a)
    e.add_term(big.get_variable(1), 5.0)
    assert e.value() is None
    assert e.value_or_default() == 1.0


def test_unbound_expressions_evaluate_to_their_constant():
    e = AffineExpr.from_constant(7)
    assert e.value() == 7.0
    assert e.value_or_default() == 7.0
    assert e.var_name_coeffs() == []


def test_bound_expression_of_a_lost_model():
    m = Model(None)
    e = AffineExpr.from_variable(m.add_variable("x", 0, 1, Category.Continuous))
    e.set_sense(Sense.Equal)
    bound_without_terms = AffineExpr()
    bound_without_terms.add_term_ids_coeffs(m, array("Q"), array("d"))
    bound_without_terms.set_constant(2.5)
    del m
    for call in (e.value, e.value_or_default, e.var_name_coeffs, e.str_expr, e.str_with_sense,
                 e.repr_expr, lambda: str(e), lambda: repr(e)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == LOST_EXPR
    assert e.values() == [1.0]
    # str() and repr() of an expression without terms never look at the model.
    assert str(bound_without_terms) == repr(bound_without_terms) == "2.5"


def test_include_constant_must_be_a_bool():
    with pytest.raises(TypeError):
        AffineExpr().str_expr(1)
