"""Model queries: handles, used ids, objective and SOS export, name-keyed pairs, coefficients,
the summary, the name checks and the deep copy."""

from __future__ import annotations

import unicodedata

import pytest

from zemlo._ondrel import AffineExpr, Category, Model, ObjSense, Sense, SosKind
from support import make_expr as expr

CONT = Category.Continuous




def model_with(names, name="m"):
    m = Model(name)
    m.add_variables_batch(names, 0.0, 1.0, CONT)
    return m


def test_new_model_is_empty():
    m = Model(None)
    assert (m.num_variables, m.num_constraints, m.get_objective(), m.get_sense()) == (0, 0, None, ObjSense.Minimize)
    for query in (m.list_variables, m.list_constraints, m.used_variable_ids, m.sos_export,
                  m.variables_dict, m.constraints_dict, m.coefficients):
        assert query() == []
    assert (m.check_duplicate_vars(), m.check_duplicate_constraints(), m.check_length_vars(0)) == (None,) * 3


@pytest.mark.parametrize(
    "name, variables, constraints, objective, text",
    [
        (None, 0, 0, False, "Model(name=Model, vars=0, constraints=0, objective=unset)"),
        ("", 0, 0, True, "Model(name=, vars=0, constraints=0, objective=set)"),
        ("m", 2, 1, True, "Model(name=m, vars=2, constraints=1, objective=set)"),
        ("a 'b'\n, é", 12, 3, False, "Model(name=a 'b'\n, é, vars=12, constraints=3, objective=unset)"),
    ],
)
def test_summary(name, variables, constraints, objective, text):
    m = Model(name)
    m.add_variables_batch(["v"] * variables, 0, 1, CONT)
    for _ in range(constraints):
        m.add_constraint(expr(sense=Sense.Equal))
    if objective:
        m.set_objective(AffineExpr())
    assert m.summary() == text


# ---------------------------------------------------------------------------------------------
# Handles and ids.


def test_used_variable_ids():
    m = model_with(["a", "b", "c", "d", "e"])
    x = m.list_variables()
    m.set_objective(expr([(x[3], 1.0)]))
    m.add_constraint(expr([(x[3], 2.0), (x[1], 1.0)], sense=Sense.LessEqual))
    assert m.used_variable_ids() == [1, 3]
    m.add_constraint(expr([(x[4], 0.0)], sense=Sense.Equal))  # a zero coefficient counts
    m.add_sos_group(SosKind.Sos1, None, [(x[0], 1.0), (x[1], 2.0)])
    assert m.used_variable_ids() == [0, 1, 3, 4]
    m.remove_variables([3])
    assert m.used_variable_ids() == [0, 1, 4]


def test_list_variables_and_constraints_in_id_order():
    m = model_with(["a", "b", "c"])
    m.remove_variables([1])  # detached variables are listed all the same
    for _ in range(2):
        m.add_constraint(expr(sense=Sense.Equal))
    assert [(v.id(), v.name) for v in m.list_variables()] == [(0, "a"), (1, "b"), (2, "c")]
    assert [(c.id(), c.name) for c in m.list_constraints()] == [(0, "_C1"), (1, "_C2")]


@pytest.mark.parametrize("ids", [[3, 0, 3], (4,), range(2), []])
def test_list_variables_by_ids(ids):
    m = model_with(["a", "b", "c", "d", "e"])
    assert [(v.id(), v.name) for v in m.list_variables_by_ids(ids)] == [(i, "abcde"[i]) for i in ids]


@pytest.mark.parametrize(
    "count, ids, message",
    [
        (5, [0, 7], "variable id 7 out of range (model has 5 variables)"),
        (5, [9, 5], "variable id 9 out of range (model has 5 variables)"),
        (0, [0], "variable id 0 out of range (model has 0 variables)"),
    ],
)
def test_list_variables_by_ids_out_of_range(count, ids, message):
    m = model_with(["v"] * count)
    with pytest.raises(IndexError) as info:
        m.list_variables_by_ids(ids)
    assert str(info.value) == message


def test_get_constraint_by_name():
    m = Model(None)
    for name in ["dup", "other", "dup", "é"]:
        m.add_constraint(expr(sense=Sense.Equal, name=name))
    assert m.get_constraint_by_name("dup").id() == 0
    assert m.get_constraint_by_name(name="other").id() == 1
    # Byte for byte: no trimming, no case folding, no normalisation.
    for missing in [" dup", "DUP", "e\u0301", "_C1", ""]:
        assert m.get_constraint_by_name(missing) is None


# ---------------------------------------------------------------------------------------------
# Values.


def test_get_objective_is_a_copy():
    m = model_with(["a", "b"])
    a, b = m.list_variables()
    m.set_objective(expr([(b, 2.0), (a, 0.0)], 1.5, Sense.GreaterEqual, "obj"))
    obj = m.get_objective()
    assert ([v.id() for v in obj.keys()], obj.values(), obj.constant, obj.sense, obj.name) == (
        [1, 0], [2.0, 0.0], 1.5, Sense.GreaterEqual, "obj")
    obj.add_term(a, 5.0)
    obj.set_constant(0.0)
    obj.clear_name()
    again = m.get_objective()
    assert (again.values(), again.constant, again.name) == ([2.0, 0.0], 1.5, "obj")
    assert again is not m.get_objective()


def test_sos_export_shapes():
    m = model_with(["v"] * 6)
    x = m.list_variables()
    m.add_sos_group(SosKind.Sos2, None, [(x[2], 1), (x[5], 2.0)])
    m.add_sos_group(SosKind.Sos1, "key", [(x[0], -0.5), (x[0], 3.0)])
    m.add_sos_group(SosKind.Sos1, "", [])
    export = m.sos_export()
    assert export == [(2, None, [(2, 1.0), (5, 2.0)]), (1, "key", [(0, -0.5), (0, 3.0)]), (1, "", [])]
    assert all(type(g) is tuple and type(g[2]) is list for g in export)
    assert all(type(p) is tuple and type(p[1]) is float for p in export[0][2])


def test_name_keyed_pairs_keep_id_order_and_repeats():
    m = model_with(["x", "y", "x"])
    for name in ["c", None, "c"]:
        m.add_constraint(expr(sense=Sense.Equal, name=name))
    vd, cd = m.variables_dict(), m.constraints_dict()
    assert [(n, v.id()) for n, v in vd] == [("x", 0), ("y", 1), ("x", 2)]
    assert [(n, c.id()) for n, c in cd] == [("c", 0), ("_C1", 1), ("c", 2)]
    assert all(type(p) is tuple for p in vd + cd)


def test_coefficients_list_constraint_terms_only():
    m = model_with(["a", "b", "c"])
    a, b, c = m.list_variables()
    m.add_constraint(expr([(c, 1.0), (a, -2.0)], sense=Sense.LessEqual, name="first"))
    m.add_constraint(expr(sense=Sense.Equal))
    m.add_constraint(expr([(b, 0.0), (c, 3.5)], sense=Sense.GreaterEqual))
    m.set_objective(expr([(a, 9.0), (m.get_variable(50), 1.0)]))
    assert m.coefficients() == [("c", "first", 1.0), ("a", "first", -2.0), ("b", "_C2", 0.0), ("c", "_C2", 3.5)]
    assert all(type(t) is tuple for t in m.coefficients())


# ---------------------------------------------------------------------------------------------
# Name checks.


def test_check_duplicate_vars_counts_every_variable():
    assert model_with(["a", "b", "A"]).check_duplicate_vars() is None
    m = model_with(["x", "y", "x", "z", "y", "y"])
    m.remove_variables([0, 2])
    with pytest.raises(RuntimeError) as info:
        m.check_duplicate_vars()
    assert str(info.value) in (
        "Repeated variable names: {('x', 2), ('y', 3)}",
        "Repeated variable names: {('y', 3), ('x', 2)}",
    )


@pytest.mark.parametrize("repeat_at", [None, 0, 12_345, 39_999])
def test_check_duplicate_vars_on_many_names(repeat_at):
    # Names that differ in one character only, or by prefix, with at most one repeat anywhere.
    names = [f"v{i}" for i in range(20_000)] + [f"v{i}_" for i in range(19_999)] + [""]
    if repeat_at is not None:
        names.append(names[repeat_at])
    m = model_with(names)
    if repeat_at is None:
        assert m.check_duplicate_vars() is None
    else:
        with pytest.raises(RuntimeError) as info:
            m.check_duplicate_vars()
        assert str(info.value) == f"Repeated variable names: {{('{names[repeat_at]}', 2)}}"


def test_check_duplicate_constraints_writes_names_as_stored():
    m = Model(None)
    for name in ["it's", "q\tr", None, "u", None]:
        m.add_constraint(expr(sense=Sense.Equal, name=name))
    assert m.check_duplicate_constraints() is None  # the automatic names differ
    for name in ["q\tr", "it's"]:
        m.add_constraint(expr(sense=Sense.Equal, name=name))
    with pytest.raises(RuntimeError) as info:
        m.check_duplicate_constraints()
    a, b = "('it's', 2)", "('q\tr', 2)"
    assert str(info.value) in (f"Repeated constraint names: {{{a}, {b}}}", f"Repeated constraint names: {{{b}, {a}}}")


def _dumped(name):
    """The quoted form of a name in the too-long message, from Python's own idea of printable."""
    special = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
    return '"' + "".join(
        special.get(ch) or (ch if ch.isprintable() else f"\\u{{{ord(ch):x}}}") for ch in name
    ) + '"'


def _too_long_message(name):
    m = Model(None)
    m.add_variable(name, 0, 1, CONT)
    with pytest.raises(RuntimeError) as info:
        m.check_length_vars(0)
    return str(info.value)


@pytest.mark.parametrize(
    "name",
    [
        "plain",
        'say"hi"',
        "back\\slash",
        "tab\tcr\rlf\n",
        "nul\0end",
        "\x01\x1b\x1f\x7f\x85\x9f",
        "it's",
        "é中🙂",
        "no\xa0break\u3000ideo",
        "\u0378\U00050000\U000e0080\ufffe\U0010ffff",  # unassigned
    ],
)
def test_too_long_names_are_escaped_like_a_debug_dump(name):
    assert _too_long_message(name) == f"Variable names too long for Lp format: [{_dumped(name)}]"


@pytest.mark.skipif(tuple(map(int, unicodedata.unidata_version.split("."))) > (15, 1, 0),
                    reason="characters assigned after Unicode 15.1 are not known to the module")
def test_every_assigned_character_is_escaped_exactly_when_python_finds_it_unprintable():
    # The blank is left out: a variable name stores it as an underscore.
    name = "".join(chr(c) for c in range(0x110000)
                   if not 0xD800 <= c <= 0xDFFF and c != 0x20 and unicodedata.category(chr(c)) != "Cn")
    assert _too_long_message(name) == f"Variable names too long for Lp format: [{_dumped(name)}]"


def test_check_length_vars_counts_utf8_bytes_and_lists_in_id_order():
    m = model_with(["abcd", "ab"])
    with pytest.raises(RuntimeError) as info:
        m.check_length_vars(3)
    assert str(info.value) == 'Variable names too long for Lp format: ["abcd"]'
    assert m.check_length_vars(max_length=4) is None
    m = model_with(["éé", "abcde", "ab", "中"])
    with pytest.raises(RuntimeError) as info:
        m.check_length_vars(3)
    assert str(info.value) == 'Variable names too long for Lp format: ["éé", "abcde"]'
    assert m.check_length_vars(5) is None
    with pytest.raises(OverflowError):
        m.check_length_vars(-1)


# ---------------------------------------------------------------------------------------------
# Copy.


def _content(m):
    obj = m.get_objective()
    return (
        m.summary(),
        m.get_sense(),
        [(v.name, v.lb, v.ub, v.category, v.value, v.dj) for v in m.list_variables()],
        [(c.name, c.rhs, c.sense, [(v.id(), k) for v, k in c.items()]) for c in m.list_constraints()],
        None if obj is None else ([v.id() for v in obj.keys()], obj.values(), obj.constant, obj.name, obj.sense),
        m.sos_export(),
    )


@pytest.fixture
def source():
    m = Model("src")
    x = m.add_variables_batch(["a", "b", "c"], -1.0, 4.0, Category.Integer)
    x[0].set_value(2.0)
    x[2].set_dj(-0.5)
    m.add_constraint(expr([(x[1], 1.0), (x[0], 2.0)], 1.0, Sense.LessEqual))
    m.add_constraint(expr([(x[2], 1.0)], 0.0, Sense.Equal, "named"))
    m.add_constraint(expr([], -3.0, Sense.GreaterEqual))
    m.set_objective(expr([(x[2], 5.0)], 2.0, Sense.Equal, "obj"))
    m.set_sense(ObjSense.Maximize)
    m.add_sos_group(SosKind.Sos2, "s", [(x[0], 1.0), (x[1], 2.0)])
    return m


def test_copy_model_copies_everything(source):
    copy = source.copy_model()
    assert _content(copy) == _content(source)
    x, y = source.get_variable(0), copy.get_variable(0)
    assert x.model_identity() != y.model_identity()
    assert copy.get_objective().keys()[0].model_identity() == y.model_identity()
    # Automatic names continue where the source left off, in both.
    assert copy.add_constraint(expr(sense=Sense.Equal)).name == "_C3"
    assert source.add_constraint(expr(sense=Sense.Equal)).name == "_C3"


def test_copy_model_shares_nothing(source):
    x = source.get_variable(0)
    copy = source.copy_model()
    source_before = _content(source)
    copy.add_variable("new", 0, 1, CONT)
    copy.get_variable(0).set_lb(-9.0)
    copy.get_variable(1).set_value(1.0)
    copy.remove_variables([0])
    copy.set_objective(AffineExpr())
    copy.set_sense(ObjSense.Minimize)
    copy.clear_sos()
    copy.add_constraint(expr(sense=Sense.Equal))
    assert _content(source) == source_before and x.lb == -1.0
    copy_before = _content(copy)
    x.set_name("renamed")
    source.add_sos_group(SosKind.Sos1, None, [])
    source.clear_objective()
    source.add_constraint(expr([(x, 1.0)], sense=Sense.Equal))
    assert _content(copy) == copy_before


def test_copy_model_rebinds_an_objective_of_another_store():
    m, big = model_with(["a"]), model_with(["p", "q", "r"])
    m.set_objective(expr([(big.get_variable(2), 1.0), (big.get_variable(0), 2.0)]))
    copy = m.copy_model()
    keys = copy.get_objective().keys()
    assert [(v.id(), v.name, v.model_identity()) for v in keys] == [
        (2, "", copy.get_variable(0).model_identity()), (0, "a", copy.get_variable(0).model_identity())]


# ---------------------------------------------------------------------------------------------
# Ids that name no variable, stored through the objective and SOS groups.


def test_ids_beyond_the_variables_are_read_as_naming_no_variable():
    m = model_with(["", "b", "c"])
    big = model_with(["p"] * 200)
    m.set_objective(expr([(m.get_variable(99), 1.5), (m.get_variable(2), 2.0)]))
    m.add_sos_group(SosKind.Sos1, "k", [(m.get_variable(42), 1.0), (m.get_variable(1), 2.0)])
    m.add_constraint(expr([(m.get_variable(0), 1.0)], sense=Sense.Equal))
    assert m.used_variable_ids() == [0, 1, 2, 42, 99]
    assert m.sos_export() == [(1, "k", [(42, 1.0), (1, 2.0)])]
    assert m.coefficients() == [("", "_C1", 1.0)]
    obj = m.get_objective()
    assert [(v.id(), v.name) for v in obj.keys()] == [(99, ""), (2, "c")]
    # The term of id 99 reads like a term of a variable whose name is empty.
    same = expr([(m.get_variable(0), 1.5), (m.get_variable(2), 2.0)])
    assert obj.as_cplex_lp_affine_expression("obj") == same.as_cplex_lp_affine_expression("obj")
    m.remove_variables([1, 2])
    assert (m.used_variable_ids(), m.sos_export()) == ([0, 42, 99], [(1, "k", [(42, 1.0)])])
    copy = m.copy_model()
    assert copy.used_variable_ids() == [0, 42, 99]
    m.set_objective(expr([(big.get_variable(150), 1.0)]))
    assert m.used_variable_ids() == [0, 42, 150]
    assert (m.check_duplicate_vars(), m.check_length_vars(1)) == (None, None)
