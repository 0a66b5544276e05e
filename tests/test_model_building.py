"""Building a model: variables, constraints, the objective and its sense, columns, detaching
variables and SOS groups, and the rule that a rejected call leaves the model as it was."""

from __future__ import annotations

import math
import subprocess
import sys
from array import array
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from zemlo._ondrel import AffineExpr, Category, Model, ObjSense, Sense, SosKind
from support import LOST_EXPR, LOST_HANDLE, accepts_terms_of, hexf, make_expr, snapshot, terms_of

INF = float("inf")
NAN = float("nan")
DIFFERENT_MODEL = "Expression is bound to a different model than the one receiving the constraint."
NO_SENSE = "Cannot add constraint without a sense (<=, >=, ==)"
UNDERSCORE = (
    "Constraint names must not start with '_'; names beginning with '_' are reserved for "
    "auto-generated constraints (_C1, _C2, ...)."
)
# Every character with Unicode's White_Space property.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008"
    "\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)




def _expr_state(e, model):
    # A model nobody else has accepts only an unbound expression.
    return (hexf(e.constant), e.name, e.sense, [hexf(c) for c in e.values()],
            accepts_terms_of(e, model), accepts_terms_of(e, Model(None)))


@pytest.fixture
def w():
    """A model with five variables, three constraints (one unnamed), an objective, the sense
    Maximize and an SOS group; a second live model; a handle and an expression of a dead one."""
    m = Model("m")
    x = m.add_variables_batch(["a", "b", "c", "d", "e"], 0.0, 10.0, Category.Continuous)
    x[1].set_value(2.5)
    m.add_constraint(make_expr([(x[0], 1.0), (x[1], 2.0)], 3.0, Sense.LessEqual, "c1"))
    m.add_constraint(make_expr([(x[2], -1.0)], 0.0, Sense.Equal))
    m.add_constraint(make_expr([(x[3], 4.0), (x[0], 0.5)], -1.0, Sense.GreaterEqual, "c3"))
    m.set_objective(make_expr([(x[4], 1.0), (x[2], 2.0)], 7.0, name="obj"))
    m.set_sense(ObjSense.Maximize)
    m.add_sos_group(SosKind.Sos2, "s", [(x[2], 1.0), (x[3], 2.0)])
    other = Model("other")
    y = other.add_variables_batch(["p", "q"], 0.0, 1.0, Category.Binary)
    gone = Model("gone")
    dead_var = gone.add_variable("z", 0.0, 1.0, Category.Continuous)
    dead_expr = make_expr([(dead_var, 1.0)], sense=Sense.Equal)
    del gone
    return SimpleNamespace(m=m, x=x, other=other, y=y, dead_var=dead_var, dead_expr=dead_expr,
                           e=make_expr([(x[0], 1.0)]), u=AffineExpr.from_constant(2.0))


def _noncontiguous_ids():
    return memoryview(array("Q", [0, 0, 1, 1]))[::2]


# ---------------------------------------------------------------------------------------------
# Adding variables.


@pytest.mark.parametrize(
    "given, stored",
    [("x y z", "x_y_z"), ("a\tb", "a\tb"), ("a\xa0b", "a\xa0b"), ("  ", "__"), ("", "")],
)
def test_variable_name_rule_replaces_ascii_spaces_only(given, stored):
    m = Model(None)
    assert m.add_variable(given, 0.0, 1.0, Category.Continuous).name == stored
    assert [v.name for v in m.add_variables_batch([given, given], 0, 1, Category.Binary)] == [stored] * 2


def test_add_variable_stores_bounds_and_category_as_given():
    m = Model(None)
    v = m.add_variable("v", 5, 1, Category.Integer)
    n = m.add_variable("v", NAN, -INF, Category.Binary)
    assert (v.id(), v.lb, v.ub, v.category, v.value, v.dj) == (0, 5.0, 1.0, Category.Integer, None, None)
    assert n.id() == 1 and math.isnan(n.lb) and n.ub == -INF and n.category is Category.Binary
    assert [name for name, _ in m.variables_dict()] == ["v", "v"]


def test_add_variables_batch_returns_consecutive_ids():
    m = Model(None)
    m.add_variables_batch(("p", "q"), -1.0, 1.0, Category.Continuous)
    vs = m.add_variables_batch(["a", "b", "c"], 0.0, INF, Category.Integer)
    assert [v.id() for v in vs] == [2, 3, 4]
    assert [(v.name, v.lb, v.ub, v.category) for v in vs] == [
        (n, 0.0, INF, Category.Integer) for n in "abc"
    ]
    assert m.add_variables_batch([], 0, 1, Category.Binary) == []
    assert m.num_variables == 5


# ---------------------------------------------------------------------------------------------
# Constraints.


def test_add_constraint_builds_record_from_expression():
    m = Model(None)
    x, y, z = m.add_variables_batch(["x", "y", "z"], 0, 1, Category.Continuous)
    e = make_expr([(z, 3.0), (x, 0.0), (y, -1.0)], 5.0, Sense.LessEqual, "  cap  ")
    c = m.add_constraint(e)
    assert (c.id(), c.name, c.rhs, c.sense, c.pi, c.slack) == (0, "cap", -5.0, Sense.LessEqual, None, None)
    assert [(v.id(), k) for v, k in c.items()] == [(2, 3.0), (0, 0.0), (1, -1.0)]
    # The argument is not changed.
    assert (e.name, e.sense, e.constant, e.num_terms()) == ("  cap  ", Sense.LessEqual, 5.0, 3)
    assert m.add_constraint(make_expr(sense=Sense.Equal)).id() == 1


@pytest.mark.parametrize("constant, sign", [(0.0, -1.0), (-0.0, 1.0), (2.0, -1.0)])
def test_rhs_is_the_negated_constant(constant, sign):
    m = Model(None)
    c = m.add_constraint(make_expr(constant=constant, sense=Sense.GreaterEqual))
    assert c.rhs == -constant and math.copysign(1.0, c.rhs) == sign


def test_automatic_names_count_only_automatic_names_that_were_stored():
    m = Model(None)
    x = m.add_variable("x", 0, 1, Category.Continuous)

    def add(name=None, sense=Sense.Equal):
        return m.add_constraint(make_expr([(x, 1.0)], sense=sense, name=name)).name

    assert add() == "_C1"
    assert add("named") == "named"
    with pytest.raises(ValueError, match=r"without a sense"):
        add(sense=None)
    with pytest.raises(ValueError, match="reserved"):
        add(" _x")
    assert add("   ") == "_C2"
    assert add("") == "_C3"
    assert add("named") == "named"
    assert m.copy_model().add_constraint(make_expr(sense=Sense.Equal)).name == "_C4"
    assert add() == "_C4"


@pytest.mark.parametrize(
    "given, stored",
    [
        ("  cap  ", "cap"),
        ("\tcap\r\n", "cap"),
        ("\xa0cap", "cap"),
        ("\u3000\u2003cap", "cap"),
        ("a b\u3000c", "a b\u3000c"),
        ("cap\u200b", "cap\u200b"),
        ("\u200bcap", "\u200bcap"),
        ("\xa0\u3000 ", "_C1"),
        ("cap\xa0", "cap"),
        ("\u3000cap\u3000", "cap"),
    ],
)
def test_constraint_names_are_trimmed_of_unicode_white_space(given, stored):
    m = Model(None)
    assert m.add_constraint(make_expr(sense=Sense.Equal, name=given)).name == stored


def test_every_white_space_character_is_trimmed_in_front():
    m = Model(None)
    names = [m.add_constraint(make_expr(sense=Sense.Equal, name=ch + "c")).name for ch in WHITE_SPACE]
    assert names == ["c"] * len(WHITE_SPACE)


def test_every_white_space_character_is_trimmed_at_the_end():
    m = Model(None)
    names = [m.add_constraint(make_expr(sense=Sense.Equal, name="c" + ch)).name for ch in WHITE_SPACE]
    assert names == ["c"] * len(WHITE_SPACE)


# ---------------------------------------------------------------------------------------------
# Objective and sense.


def test_set_objective_copies_the_whole_expression_without_checks():
    m = Model(None)
    x, y = m.add_variables_batch(["x", "y"], 0, 1, Category.Continuous)
    e = make_expr([(y, NAN), (m.get_variable(99), 2.0), (x, INF)], -INF, Sense.Equal, "_obj ")
    assert m.set_objective(e) is None
    e.add_term(x, 1.0)
    e.set_constant(1.0)
    obj = m.get_objective()
    assert [v.id() for v in obj.keys()] == [1, 99, 0]
    v = obj.values()
    assert math.isnan(v[0]) and v[1:] == [2.0, INF]
    assert (obj.constant, obj.sense, obj.name) == (-INF, Sense.Equal, "_obj ")


def test_set_objective_binds_an_unbound_expression_to_this_model_only_in_the_copy():
    m, other = Model("m"), Model("other")
    e = AffineExpr.from_constant(4.0)
    m.set_objective(e)
    stored = m.get_objective()
    with pytest.raises(ValueError, match="already bound to a different model"):
        stored.add_term_ids_coeffs(other, array("Q"), array("d"))
    e.add_term_ids_coeffs(other, array("Q"), array("d"))  # the argument itself stayed unbound


def test_set_objective_keeps_a_reference_to_another_store():
    m, other = Model("m"), Model("other")
    m.add_variables_batch(["a", "b"], 0, 1, Category.Continuous)
    ys = other.add_variables_batch(["p", "q", "r"], 0, 1, Category.Continuous)
    m.set_objective(make_expr([(ys[2], 1.0), (ys[0], 2.0)]))
    keys = m.get_objective().keys()
    assert [(v.name, v.model_identity()) for v in keys] == [("r", ys[0].model_identity()), ("p", ys[0].model_identity())]
    assert m.used_variable_ids() == [0, 2]


def test_set_objective_accepts_an_expression_of_a_dead_model(w):
    w.m.set_objective(w.dead_expr)
    with pytest.raises(ValueError) as info:
        w.m.get_objective().keys()
    assert str(info.value) == LOST_EXPR
    assert w.m.summary().endswith("objective=set)")


def test_clear_objective_and_sense():
    m = Model(None)
    assert m.get_sense() is ObjSense.Minimize
    m.clear_objective()
    m.set_objective(AffineExpr())
    assert m.set_sense(ObjSense.Maximize) is None
    assert m.clear_objective() is None
    assert m.get_objective() is None and m.get_sense() is ObjSense.Maximize
    m.set_sense(sense=ObjSense.Minimize)
    assert m.get_sense() is ObjSense.Minimize


# ---------------------------------------------------------------------------------------------
# Columns.


@pytest.mark.parametrize(
    "entries, expected",
    [
        ([], [[(0, 1.0)], [(1, 1.0)], []]),
        ([(2, 4.0), (0, -1.5)], [[(0, 1.0), (3, -1.5)], [(1, 1.0)], [(3, 4.0)]]),
        ([(0, 2.0), (0, 0.0)], [[(0, 1.0)], [(1, 1.0)], []]),
        ([(0, 0.0)], [[(0, 1.0)], [(1, 1.0)], []]),
        ([(0, -0.0), (0, 3.0)], [[(0, 1.0), (3, 3.0)], [(1, 1.0)], []]),
        ([(1, 2.0), (0, 5.0), (1, 7.0)], [[(0, 1.0), (3, 5.0)], [(1, 1.0), (3, 7.0)], []]),
    ],
)
def test_add_column_sets_coefficients_in_existing_constraints(entries, expected):
    m = Model(None)
    x = m.add_variables_batch(["x0", "x1", "x2"], 0, 1, Category.Continuous)
    for i in range(2):
        m.add_constraint(make_expr([(x[i], 1.0)], sense=Sense.LessEqual))
    m.add_constraint(make_expr(sense=Sense.Equal))
    v = m.add_column("new col", -1, 2, Category.Integer, 0.0, entries)
    assert (v.id(), v.name, v.lb, v.ub, v.category, v.value) == (3, "new_col", -1.0, 2.0, Category.Integer, None)
    assert [terms_of(c.items()) for c in m.list_constraints()] == [
        [(i, hexf(k)) for i, k in terms] for terms in expected
    ]
    assert m.get_objective() is None


def test_add_column_appends_to_the_objective_and_creates_one_only_when_needed():
    m = Model(None)
    m.add_column("a", 0, 1, Category.Continuous, -0.0, [])
    assert m.get_objective() is None
    m.add_column("b", 0, 1, Category.Continuous, 3.0, [])
    obj = m.get_objective()
    assert (terms_of(obj.items()), obj.constant, obj.name, obj.sense) == ([(1, hexf(3.0))], 0.0, None, None)
    m.set_objective(make_expr([(m.get_variable(0), 1.0)], 2.0, Sense.Equal, "o"))
    m.add_column("c", 0, 1, Category.Continuous, 0.0, [])
    m.add_column("d", 0, 1, Category.Continuous, -2.0, [])
    obj = m.get_objective()
    assert (terms_of(obj.items()), obj.constant, obj.name, obj.sense) == (
        [(0, hexf(1.0)), (3, hexf(-2.0))], 2.0, "o", Sense.Equal)


# ---------------------------------------------------------------------------------------------
# Detaching variables.


def test_remove_variables_detaches_everywhere_and_keeps_order(w):
    w.m.add_sos_group(SosKind.Sos1, None, [(w.x[2], 1.0)])
    w.m.set_objective(make_expr([(w.x[i], float(i)) for i in (4, 2, 0, 3)], 1.0))
    before = snapshot(w.m)
    assert w.m.remove_variables([2, 0, 2]) is None
    after = snapshot(w.m)
    assert [c[4] for c in after["constraints"]] == [[(1, hexf(2.0))], [], [(3, hexf(4.0))]]
    assert after["objective"][0] == [(4, hexf(4.0)), (3, hexf(3.0))]
    assert after["sos"] == [(2, "s", [(3, hexf(2.0))]), (1, None, [])]
    # The records themselves stay, and so do their handles.
    for key in ("counts", "variables", "sense", "summary", "next_auto_name"):
        assert after[key] == before[key]
    assert (w.x[2].name, w.x[1].value) == ("c", 2.5)
    w.m.remove_variables([])
    assert snapshot(w.m) == after


# ---------------------------------------------------------------------------------------------
# SOS groups.


def test_add_sos_group_and_clear_sos(w):
    same_store = w.x[0].containing_model().list_variables()
    assert w.m.add_sos_group(SosKind.Sos1, None, [(same_store[4], 3), (w.x[4], -1.5)]) is None
    w.m.add_sos_group(kind=SosKind.Sos2, key="", members=())
    assert w.m.sos_export() == [
        (2, "s", [(2, 1.0), (3, 2.0)]),
        (1, None, [(4, 3.0), (4, -1.5)]),
        (2, "", []),
    ]
    assert w.m.clear_sos() is None
    assert w.m.sos_export() == []


# ---------------------------------------------------------------------------------------------
# The model's lifetime.


def test_handles_and_expressions_do_not_keep_the_model_alive():
    m = Model("m")
    x = m.add_variable("x", 0, 1, Category.Continuous)
    c = m.add_constraint(make_expr([(x, 1.0)], sense=Sense.Equal))
    e = AffineExpr.from_variable(x)
    m.set_objective(e)
    del m
    for read, text in [(lambda: x.name, LOST_HANDLE), (lambda: c.name, LOST_HANDLE), (e.keys, LOST_EXPR)]:
        with pytest.raises(ValueError) as info:
            read()
        assert str(info.value) == text
    assert (x.id(), c.id(), e.values()) == (0, 0, [1.0])


def test_argument_conversion_may_call_back_into_the_model():
    # Arguments are converted before the store is locked, so a conversion that uses the same
    # model neither deadlocks nor sees a half-done call. Run apart, so a deadlock fails the test.
    code = """if True:
        from zemlo._ondrel import AffineExpr, Category, Model, Sense
        m = Model("m")
        v = m.add_variable("v", 0, 1, Category.Continuous)
        class Reentrant:
            def __float__(self):
                e = AffineExpr(); e.set_sense(Sense.Equal); m.add_constraint(e)
                return v.lb + 2.0
        class LastConstraint:
            def __index__(self):
                return m.num_constraints - 1
        w = m.add_column("w", 0, 1, Category.Continuous, Reentrant(), [(LastConstraint(), Reentrant())])
        assert [[(x.id(), k) for x, k in c.items()] for c in m.list_constraints()] == [[(1, 2.0)], []]
        v.set_lb(Reentrant())
        assert (v.lb, m.get_objective().values()) == (2.0, [2.0])
    """
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


# ---------------------------------------------------------------------------------------------
# Rejected calls change nothing.

class Note(str):
    """A conversion failure: the exception carries a note naming this parameter."""


REJECTED = [
    # add_constraint: binding first, then sense, constant, terms in order, name.
    ("lost model", lambda w: w.m.add_constraint(w.dead_expr), ValueError, LOST_EXPR),
    ("different model", lambda w: w.m.add_constraint(make_expr([(w.y[0], 1.0)])),
     ValueError, DIFFERENT_MODEL),
    ("no sense", lambda w: w.m.add_constraint(make_expr([(w.x[0], NAN)], INF, name="_x")),
     ValueError, NO_SENSE),
    ("constant inf", lambda w: w.m.add_constraint(make_expr([(w.x[0], NAN)], INF, Sense.Equal)),
     ValueError, "Invalid constraint RHS value: inf. Coefficients and bounds must be finite."),
    ("constant -inf", lambda w: w.m.add_constraint(make_expr([], -INF, Sense.Equal)),
     ValueError, "Invalid constraint RHS value: -inf. Coefficients and bounds must be finite."),
    ("constant nan", lambda w: w.m.add_constraint(make_expr([], NAN, Sense.Equal)),
     ValueError, "Invalid constraint RHS value: NaN. Coefficients and bounds must be finite."),
    ("coefficient before id",
     lambda w: w.m.add_constraint(make_expr([(w.x[0], 1.0), (w.m.get_variable(9), -INF)], 0, Sense.Equal)),
     ValueError, "Invalid coefficient value: -inf for variable id 9. Coefficients must be finite."),
    ("first failing term",
     lambda w: w.m.add_constraint(make_expr([(w.m.get_variable(7), 1.0), (w.x[1], NAN)], 0, Sense.Equal)),
     ValueError, "Variable id 7 is out of range (model has 5 variables)"),
    ("underscore", lambda w: w.m.add_constraint(make_expr([(w.x[0], 1.0)], 0, Sense.Equal, " \u3000_x ")),
     ValueError, UNDERSCORE),
    # add_column: objective coefficient, then each entry's constraint id and coefficient.
    ("obj inf", lambda w: w.m.add_column("n", 0, 1, Category.Continuous, INF, [(9, NAN)]),
     ValueError, "Invalid objective coefficient value: inf. Coefficients must be finite."),
    ("obj nan", lambda w: w.m.add_column("n", 0, 1, Category.Continuous, NAN, []),
     ValueError, "Invalid objective coefficient value: NaN. Coefficients must be finite."),
    ("constraint id", lambda w: w.m.add_column("n", 0, 1, Category.Continuous, 1.0, [(0, 1.0), (3, NAN)]),
     ValueError, "Constraint id 3 is out of range (model has 3 constraints)"),
    ("entry coefficient", lambda w: w.m.add_column("n", 0, 1, Category.Continuous, 1.0, [(0, 1.0), (1, -INF), (7, 1.0)]),
     ValueError, "Invalid coefficient value: -inf in constraint id 1. Coefficients must be finite."),
    # remove_variables checks every id before detaching any.
    ("remove", lambda w: w.m.remove_variables([0, 2, 5, 9]),
     ValueError, "Variable id 5 is out of range (model has 5 variables)"),
    ("remove largest id", lambda w: w.m.remove_variables([2**64 - 1]),
     ValueError, "Variable id 18446744073709551615 is out of range (model has 5 variables)"),
    ("largest constraint id", lambda w: w.m.add_column("n", 0, 1, Category.Continuous, 0.0, [(2**64 - 1, 1.0)]),
     ValueError, "Constraint id 18446744073709551615 is out of range (model has 3 constraints)"),
    # add_sos_group: per member, live store, same store, finite weight.
    ("sos lost", lambda w: w.m.add_sos_group(SosKind.Sos1, "k", [(w.x[0], 1.0), (w.dead_var, INF)]),
     ValueError, LOST_HANDLE),
    ("sos other", lambda w: w.m.add_sos_group(SosKind.Sos1, "k", [(w.x[0], 1.0), (w.y[0], INF)]),
     ValueError, "SOS member variable belongs to a different model"),
    ("sos weight", lambda w: w.m.add_sos_group(SosKind.Sos2, None, [(w.x[0], NAN), (w.y[0], 1.0)]),
     ValueError, "SOS weight must be finite"),
    # add_term_ids_coeffs before its first pair.
    ("ids list", lambda w: w.u.add_term_ids_coeffs(w.m, [0], array("d", [1.0])), TypeError, Note("ids")),
    ("ids doubles", lambda w: w.u.add_term_ids_coeffs(w.m, array("d", [0]), array("d", [1.0])),
     BufferError, Note("ids")),
    ("coeffs list before contiguity", lambda w: w.u.add_term_ids_coeffs(w.m, _noncontiguous_ids(), [1.0, 2.0]),
     TypeError, Note("coeffs")),
    ("ids contiguity", lambda w: w.u.add_term_ids_coeffs(w.m, _noncontiguous_ids(), memoryview(array("d", [1.0]))[::1]),
     ValueError, "ids must be C-contiguous unsigned 64-bit integers (e.g. array.array('Q'))"),
    ("coeffs contiguity", lambda w: w.u.add_term_ids_coeffs(w.m, array("Q", [0, 1]), memoryview(array("d", [1, 2, 3, 4]))[::2]),
     ValueError, "coeffs must be C-contiguous float64 (e.g. array.array('d'))"),
    ("lengths", lambda w: w.u.add_term_ids_coeffs(w.m, array("Q", [0, 1, 2]), array("d", [1.0, 2.0])),
     ValueError, "ids length (3) and coeffs length (2) must match"),
    ("expression binding", lambda w: w.e.add_term_ids_coeffs(w.other, array("Q", [0]), array("d", [1.0])),
     ValueError, "expression is already bound to a different model than the given Model"),
    # Argument binding and conversion, before anything is looked at.
    ("unknown keyword", lambda w: w.m.add_constraint(expr=w.e, name="x"), TypeError, None),
    ("extra argument", lambda w: w.m.remove_variables([0], [1]), TypeError, None),
    ("missing argument", lambda w: w.m.add_column("n", 0, 1, Category.Continuous, 1.0), TypeError, None),
    ("expr type", lambda w: w.m.add_constraint(w.x[0]), TypeError, Note("expr")),
    ("objective type", lambda w: w.m.set_objective(None), TypeError, Note("expr")),
    ("sense type", lambda w: w.m.set_sense(Sense.Equal), TypeError, Note("sense")),
    ("category type", lambda w: w.m.add_column("n", 0, 1, 2, 1.0, []), TypeError, Note("category")),
    ("entry as list", lambda w: w.m.add_column("n", 0, 1, Category.Binary, INF, [(0, 1.0), [1, 1.0]]),
     TypeError, Note("entries")),
    ("entry of three", lambda w: w.m.add_column("n", 0, 1, Category.Binary, 1.0, [(0, 1.0, 2.0)]),
     ValueError, Note("entries")),
    ("negative id", lambda w: w.m.remove_variables([0, -1]), OverflowError, Note("ids")),
    ("ids as str", lambda w: w.m.remove_variables("01"), TypeError, Note("ids")),
    ("sos key", lambda w: w.m.add_sos_group(SosKind.Sos1, 5, []), TypeError, Note("key")),
    ("sos member type", lambda w: w.m.add_sos_group(SosKind.Sos1, None, [(w.x[0], INF), (1, 1.0)]),
     TypeError, Note("members")),
    ("sos kind", lambda w: w.m.add_sos_group(1, None, []), TypeError, Note("kind")),
    ("batch item", lambda w: w.m.add_variables_batch(["a", None], 0, 1, Category.Binary), TypeError, Note("names")),
    ("batch str", lambda w: w.m.add_variables_batch("ab", 0, 1, Category.Binary), TypeError, Note("names")),
    ("huge bound", lambda w: w.m.add_variable("a", 10**400, 1, Category.Binary), OverflowError, Note("lb")),
    ("surrogate name", lambda w: w.m.add_variable("\ud800", 0, 1, Category.Binary), UnicodeEncodeError, Note("name")),
    ("None bound", lambda w: w.m.add_column("a", 0, None, Category.Binary, 1.0, []), TypeError, Note("ub")),
]


@pytest.mark.parametrize("call, exc, text", [r[1:] for r in REJECTED], ids=[r[0] for r in REJECTED])
def test_rejected_call_changes_nothing(w, call, exc, text):
    before = snapshot(w.m), _expr_state(w.e, w.m), _expr_state(w.u, w.m)
    with pytest.raises(exc) as info:
        call(w)
    if isinstance(text, Note):
        assert any(f"'{text}'" in note for note in getattr(info.value, "__notes__", [])), info.value
    elif text is not None:
        assert str(info.value) == text
    assert (snapshot(w.m), _expr_state(w.e, w.m), _expr_state(w.u, w.m)) == before


# ---------------------------------------------------------------------------------------------
# Random operations against a plain Python model: accepted calls do what the Python model does,
# rejected ones raise the message it predicts and leave the snapshot as it was.

# Mostly finite, so that enough calls get through to build a model worth breaking.
NUMBERS = st.sampled_from([0.0, -0.0, 1.0, -2.5, 3.0] * 3 + [INF, -INF, NAN])
SENSES = st.sampled_from([None, Sense.LessEqual, Sense.Equal, Sense.GreaterEqual])


def _text(x):
    return "NaN" if math.isnan(x) else ("inf" if x > 0 else "-inf")


def _accumulate(pairs):
    acc = {}
    for i, c in pairs:
        acc[i] = c + acc[i] if i in acc else c + 0.0
    return acc


class BuildingMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.m = Model("prop")
        self.other = Model("other")
        self.other.add_variables_batch(["o1", "o2"], 0, 1, Category.Continuous)
        self.names, self.cons, self.obj, self.sos, self.counter = [], [], None, [], 0
        # Start from a few variables and constraints, so that most calls have something to hit.
        self.add_variables(["v0", "v1", "v2", "v3"])
        for i in range(3):
            self.add_constraint([(i, 1.0), (i + 1, 2.0)], 0.0, Sense.Equal, None)

    def attempt(self, call, error):
        before = snapshot(self.m)
        if error is None:
            call()
            return True
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == error
        assert snapshot(self.m) == before
        return False

    def detach(self, ids):
        drop = set(ids)
        for c in self.cons:
            c[3] = {i: k for i, k in c[3].items() if i not in drop}
        if self.obj is not None:
            self.obj[0] = {i: k for i, k in self.obj[0].items() if i not in drop}
        for g in self.sos:
            g[2][:] = [(i, wt) for i, wt in g[2] if i not in drop]

    @rule(names=st.lists(st.sampled_from(["x", "x y", "", "t\tb"]), max_size=3))
    def add_variables(self, names):
        self.m.add_variables_batch(names, 0.0, 1.0, Category.Continuous)
        self.names += [n.replace(" ", "_") for n in names]

    @rule(terms=st.lists(st.tuples(st.integers(0, 6), NUMBERS), max_size=5), constant=NUMBERS,
          sense=SENSES, name=st.sampled_from([None, "c", "  c  ", "\u3000c", "_c", " _c", "   ", "a b"]))
    def add_constraint(self, terms, constant, sense, name):
        e = make_expr([(self.m.get_variable(i), c) for i, c in terms], constant, sense, name)
        acc = _accumulate(terms)
        n = len(self.names)
        error = None
        if sense is None:
            error = NO_SENSE
        elif not math.isfinite(constant):
            error = f"Invalid constraint RHS value: {_text(constant)}. Coefficients and bounds must be finite."
        else:
            for i, c in acc.items():
                if not math.isfinite(c):
                    error = f"Invalid coefficient value: {_text(c)} for variable id {i}. Coefficients must be finite."
                elif i >= n:
                    error = f"Variable id {i} is out of range (model has {n} variables)"
                if error:
                    break
            else:
                if (name or "").strip().startswith("_"):
                    error = UNDERSCORE
        if self.attempt(lambda: self.m.add_constraint(e), error):
            stored = (name or "").strip()
            if not stored:
                self.counter += 1
                stored = f"_C{self.counter}"
            self.cons.append([stored, -constant, sense, acc])

    @rule(obj=NUMBERS, entries=st.lists(st.tuples(st.integers(0, 4), NUMBERS), max_size=4),
          zeros=st.integers(0, 2))
    def add_column(self, obj, entries, zeros):
        entries = entries + [(cid, 0.0) for cid, _ in entries[:zeros]]
        k = len(self.cons)
        error = None
        if not math.isfinite(obj):
            error = f"Invalid objective coefficient value: {_text(obj)}. Coefficients must be finite."
        for cid, c in entries:
            if error:
                break
            if cid >= k:
                error = f"Constraint id {cid} is out of range (model has {k} constraints)"
            elif not math.isfinite(c):
                error = f"Invalid coefficient value: {_text(c)} in constraint id {cid}. Coefficients must be finite."
        if self.attempt(lambda: self.m.add_column("col", 0, 1, Category.Integer, obj, entries), error):
            vid = len(self.names)
            self.names.append("col")
            for cid, c in entries:
                if c != 0.0:
                    self.cons[cid][3][vid] = c
                else:
                    self.cons[cid][3].pop(vid, None)
            if obj != 0.0:
                if self.obj is None:
                    self.obj = [{}, 0.0, None, None]
                self.obj[0][vid] = obj

    @rule(ids=st.lists(st.integers(0, 8), max_size=4))
    def remove_variables(self, ids):
        n = len(self.names)
        bad = next((i for i in ids if i >= n), None)
        error = None if bad is None else f"Variable id {bad} is out of range (model has {n} variables)"
        if self.attempt(lambda: self.m.remove_variables(ids), error):
            self.detach(ids)

    @rule(kind=st.sampled_from([SosKind.Sos1, SosKind.Sos2]), key=st.sampled_from([None, "k"]),
          members=st.lists(st.tuples(st.sampled_from([True] * 5 + [False]), st.integers(0, 6), NUMBERS), max_size=4))
    def add_sos_group(self, kind, key, members):
        pairs = [((self.m if own else self.other).get_variable(i), wt) for own, i, wt in members]
        error = None
        for own, _, wt in members:
            if not own:
                error = "SOS member variable belongs to a different model"
            elif not math.isfinite(wt):
                error = "SOS weight must be finite"
            if error:
                break
        if self.attempt(lambda: self.m.add_sos_group(kind, key, pairs), error):
            self.sos.append((1 if kind is SosKind.Sos1 else 2, key, [(i, wt) for _, i, wt in members]))

    @rule(terms=st.lists(st.tuples(st.integers(0, 6), NUMBERS), max_size=4), constant=NUMBERS,
          sense=SENSES, name=st.sampled_from([None, "obj"]))
    def set_objective(self, terms, constant, sense, name):
        self.m.set_objective(make_expr([(self.m.get_variable(i), c) for i, c in terms], constant, sense, name))
        self.obj = [_accumulate(terms), constant, name, sense]

    @rule()
    def clear_objective(self):
        self.m.clear_objective()
        self.obj = None

    @rule()
    def clear_sos(self):
        self.m.clear_sos()
        self.sos = []

    @invariant()
    def matches_python_model(self):
        snap = snapshot(self.m)
        assert [v[1] for v in snap["variables"]] == self.names
        assert [c[1:5] for c in snap["constraints"]] == [
            (name, hexf(rhs), sense, [(i, hexf(k)) for i, k in terms.items()])
            for name, rhs, sense, terms in self.cons
        ]
        assert snap["objective"] == (None if self.obj is None else (
            [(i, hexf(k)) for i, k in self.obj[0].items()], hexf(self.obj[1]), self.obj[2], self.obj[3], "here"))
        assert snap["sos"] == [(k, key, [(i, hexf(wt)) for i, wt in ms]) for k, key, ms in self.sos]
        assert snap["next_auto_name"] == f"_C{self.counter + 1}"


BuildingMachine.TestCase.settings = settings(
    max_examples=80, stateful_step_count=25, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
test_building_matches_a_python_model = BuildingMachine.TestCase
