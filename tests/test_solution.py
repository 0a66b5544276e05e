"""Solution data: values, reduced costs, duals and slacks by id and by name; rounding; is_mip."""

import math
from array import array

import pytest

from support import make_expr
from zemlo._ondrel import Category, Model, Sense

INF = math.inf
NAN = math.nan


@pytest.fixture
def model():
    m = Model("m")
    m.add_variables_batch(["x", "x", "y"], 0.0, 10.0, Category.Continuous)
    x0 = m.get_variable(0)
    for name in ("c", "c", "d"):
        m.add_constraint(make_expr([(x0, 1.0)], sense=Sense.LessEqual, name=name))
    return m


def variable_fields(m):
    return [(v.value, v.dj) for v in m.list_variables()]


def constraint_fields(m):
    return [(c.pi, c.slack) for c in m.list_constraints()]


@pytest.mark.parametrize(
    "method, read, index",
    [
        ("set_variable_values", variable_fields, 0),
        ("set_variable_djs", variable_fields, 1),
        ("set_constraint_pis", constraint_fields, 0),
        ("set_constraint_slacks", constraint_fields, 1),
    ],
)
def test_by_id_applies_pairs_in_order_and_skips_unknown_ids(model, method, read, index):
    getattr(model, method)([(0, 1.5), (99, 2.0), (2, NAN), (2, -INF), (0, 2.5)])
    got = [fields[index] for fields in read(model)]
    assert got == [2.5, None, -INF]
    other = [fields[1 - index] for fields in read(model)]
    assert other == [None, None, None]  # the sibling field is untouched


@pytest.mark.parametrize(
    "method, read, index, names",
    [
        ("set_variable_values_by_name", variable_fields, 0, ("x", "y")),
        ("set_variable_djs_by_name", variable_fields, 1, ("x", "y")),
        ("set_constraint_pis_by_name", constraint_fields, 0, ("c", "d")),
        ("set_constraint_slacks_by_name", constraint_fields, 1, ("c", "d")),
    ],
)
def test_by_name_sets_every_record_of_that_name(model, method, read, index, names):
    shared, single = names
    getattr(model, method)({shared: 3.0, "nobody": 7.0})
    assert [fields[index] for fields in read(model)] == [3.0, 3.0, None]
    getattr(model, method)({single: 1})
    assert [fields[index] for fields in read(model)] == [3.0, 3.0, 1.0]


def test_constraint_solutions_follow_the_model_as_it_grows_and_is_copied(model):
    """Duals and slacks are kept beside the constraints: rows added after a solution have none
    until given one, one set on a later row reaches it, and a copy keeps its own."""
    model.set_constraint_pis([(1, 4.0)])
    x0 = model.get_variable(0)
    model.add_constraint(make_expr([(x0, 2.0)], sense=Sense.Equal, name="e"))
    model.add_constraints_batch(array("Q", [0, 1, 1]), array("Q", [0]), array("d", [1.0]), bytes([0, 2]),
                                array("d", [1.0, 2.0]), ["f", None])
    assert constraint_fields(model) == [(None, None), (4.0, None), (None, None), (None, None), (None, None),
                                        (None, None)]
    model.list_constraints()[5].set_slack(-1.0)
    copy = model.copy_model()
    copy.set_constraint_pis_by_name({"e": 9.0})
    assert constraint_fields(model)[1:] == [(4.0, None), (None, None), (None, None), (None, None), (None, -1.0)]
    assert constraint_fields(copy)[1:] == [(4.0, None), (None, None), (9.0, None), (None, None), (None, -1.0)]


def test_empty_inputs_change_nothing(model):
    model.set_constraint_slacks([])
    model.set_variable_values_by_name({})
    assert constraint_fields(model) == [(None, None)] * 3
    assert variable_fields(model) == [(None, None)] * 3


def test_conversion_failure_changes_nothing(model):
    with pytest.raises(TypeError):
        model.set_variable_values([(0, 1.0), (1, "2")])
    with pytest.raises(TypeError):
        model.set_variable_values_by_name({"x": 1.0, "y": None})
    assert variable_fields(model) == [(None, None)] * 3


@pytest.mark.parametrize(
    "category, lb, ub, value, kwargs, rounded",
    [
        (Category.Integer, 0.0, 10.0, 2.9999999, {}, 3.0),
        (Category.Integer, 0.0, 10.0, 2.99, {}, 2.99),
        (Category.Continuous, 0.0, 10.0, 10.00000005, {}, 10.0),
        (Category.Continuous, 0.0, 10.0, 10.5, {}, 10.5),
        (Category.Binary, 0.0, 1.0, 0.9999999, {}, 0.9999999),
        (Category.Binary, 0.0, 1.0, 1.00000005, {}, 1.0),
        (Category.Integer, -INF, INF, 2.5, {"eps_int": 0.5}, 3.0),
        (Category.Integer, -INF, INF, -2.5, {"eps_int": 0.5}, -3.0),
        (Category.Continuous, 1.0, 5.0, 0.99999995, {}, 1.0),
        (Category.Continuous, 1.0, 5.0, 0.9, {"eps": 0.2}, 1.0),
        (Category.Continuous, 5.0, 1.0, 1.00000005, {}, 1.0),  # lb > ub: only ub pulls
        (Category.Integer, 0.0, 10.0, NAN, {}, NAN),
    ],
)
def test_round_solution(category, lb, ub, value, kwargs, rounded):
    m = Model(None)
    v = m.add_variable("v", lb, ub, category)
    untouched = m.add_variable("w", 0.0, 1.0, Category.Integer)
    v.set_value(value)
    m.round_solution(**kwargs)
    assert v.value == rounded or (math.isnan(rounded) and math.isnan(v.value))
    assert untouched.value is None


def test_round_solution_defaults_apply_only_when_omitted():
    with pytest.raises(TypeError):
        Model(None).round_solution(None)


def test_is_mip():
    m = Model(None)
    assert m.is_mip() is False
    m.add_variable("c", 0, 1, Category.Continuous)
    assert m.is_mip() is False
    b = m.add_variable("b", 0, 1, Category.Binary)
    assert m.is_mip() is True
    b.set_category(Category.Continuous)
    i = m.add_variable("i", 0, 5, Category.Integer)
    e = make_expr([(i, 1.0)], sense=Sense.LessEqual)
    m.add_constraint(e)
    m.remove_variables([i.id()])
    assert m.is_mip() is True  # detached variables still count
