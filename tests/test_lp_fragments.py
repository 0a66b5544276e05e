"""CPLEX LP fragments: term lists with the 78-byte line rule, affine expressions,
constraints and variable bounds.

The tables run twice: through the public methods of AffineExpr and Variable, and through a
small probe program (tests/native/fragment_probe.cpp) that calls the C++ fragment functions
directly, so a difference points either at the fragments or at the way the methods feed them.
"""

from __future__ import annotations

import json
import random
import struct
import subprocess

import pytest

from support import LOST_EXPR, native_program

INF = float("inf")
NAN = float("nan")
SENSE_CODES = {"LessEqual": 0, "Equal": 1, "GreaterEqual": 2}
CATEGORY_CODES = {"Continuous": 0, "Integer": 1, "Binary": 2}


def _hex(x: float) -> str:
    return struct.pack(">d", x).hex()


@pytest.fixture(scope="session")
def fragment_probe():
    exe = native_program("fragment_probe")

    def run(*fields):
        line = "\t".join(str(f) for f in fields) + "\n"
        out = subprocess.run([str(exe)], input=line.encode(), capture_output=True, check=True).stdout
        return json.loads(out.decode())

    return run


class NativeFragments:
    """The fragments straight from C++, with the expression's rules for rhs and no-terms."""

    def __init__(self, probe):
        self.probe = probe

    @staticmethod
    def _terms(terms):
        fields = [len(terms)]
        for name, coeff in terms:
            fields += [name, _hex(coeff)]
        return fields

    def variables_only(self, terms, label):
        completed, current = self.probe("T", label, *self._terms(terms))
        return completed, current

    def affine(self, terms, label, constant, include_constant=True):
        return self.probe("A", label, int(include_constant), _hex(constant), *self._terms(terms))

    def constraint(self, terms, label, sense, constant):
        rhs = -constant if constant != 0 else 0.0
        return self.probe("C", label, SENSE_CODES[sense], _hex(rhs), int(not terms), *self._terms(terms))

    def bounds(self, name, lb, ub, category):
        return self.probe("B", name, _hex(lb), _hex(ub), CATEGORY_CODES[category])


class PythonFragments:
    """The fragments through AffineExpr and Variable; each term is a variable of its own."""

    def __init__(self, ondrel):
        self.m = ondrel

    def _expr(self, terms, constant=0.0, sense=None):
        model = self.m.Model("fragments")
        expr = self.m.AffineExpr()
        for name, coeff in terms:
            expr.add_term(model.add_variable(name, 0.0, INF, self.m.Category.Continuous), coeff)
        expr.set_constant(constant)
        if sense is not None:
            expr.set_sense(getattr(self.m.Sense, sense))
        return model, expr

    def variables_only(self, terms, label):
        _model, expr = self._expr(terms)
        result = expr.as_cplex_variables_only(label)
        assert type(result) is tuple and all(type(part) is list for part in result)
        completed, current = result
        return completed, current

    def affine(self, terms, label, constant, include_constant=True):
        _model, expr = self._expr(terms, constant)
        return expr.as_cplex_lp_affine_expression(label, include_constant)

    def constraint(self, terms, label, sense, constant):
        _model, expr = self._expr(terms, constant, sense)
        return expr.as_cplex_lp_constraint(label)

    def bounds(self, name, lb, ub, category):
        model = self.m.Model("bounds")
        return model.add_variable(name, lb, ub, getattr(self.m.Category, category)).as_cplex_lp_variable()


@pytest.fixture(params=["native", "python"])
def lp(request):
    if request.param == "native":
        return NativeFragments(request.getfixturevalue("fragment_probe"))
    from zemlo import _ondrel

    return PythonFragments(_ondrel)


WORKED = [("z", 2.5), ("x", 1.0), ("y", -2.0)]
THIRTY = [(f"x{i:02d}", 1.0) for i in range(1, 31)]
THIRTY_TEXT = (
    "c: x01 + x02 + x03 + x04 + x05 + x06 + x07 + x08 + x09 + x10 + x11 + x12 + x13\n"
    " + x14 + x15 + x16 + x17 + x18 + x19 + x20 + x21 + x22 + x23 + x24 + x25 + x26\n"
    " + x27 + x28 + x29 + x30 <= 10\n"
)
LINE_13 = "c: x01 + x02 + x03 + x04 + x05 + x06 + x07 + x08 + x09 + x10 + x11 + x12 + x13"
NAME_75 = "v" * 75  # " " + name fills "c:" up to exactly 78 bytes
NAME_76 = "w" * 76
NAME_80 = "n" * 80


@pytest.mark.parametrize(
    ("terms", "label", "completed", "current"),
    [
        (WORKED, "c1", [], ["c1:", " x", " - 2 y", " + 2.5 z"]),
        ([], "c", [], ["c:"]),
        (THIRTY, "c", [LINE_13, THIRTY_TEXT.split("\n")[1]], [" + x27", " + x28", " + x29", " + x30"]),
        ([(NAME_80, 1.0)], "c", ["c:"], [" " + NAME_80]),
        ([(NAME_80, 1.0), ("z", -3.0)], "c", ["c:", " " + NAME_80], [" - 3 z"]),
    ],
    ids=["worked", "empty", "thirty", "long-name", "after-long-name"],
)
def test_variables_only(lp, terms, label, completed, current):
    assert lp.variables_only(terms, label) == (completed, current)


@pytest.mark.parametrize(
    ("terms", "label", "constant", "include_constant", "expected"),
    [
        (WORKED, "obj", 5.0, True, "obj: x - 2 y + 2.5 z + 5\n"),
        (WORKED, "obj", -5.0, True, "obj: x - 2 y + 2.5 z - 5\n"),
        (WORKED, "obj", 0.0, True, "obj: x - 2 y + 2.5 z 0\n"),
        (WORKED, "obj", 7.0, False, "obj: x - 2 y + 2.5 z\n"),
        ([], "obj", 3.0, True, "obj: + 3\n"),
        ([], "obj", 0.0, True, "obj: 0\n"),
        ([], "obj", -0.0, True, "obj: 0\n"),
        ([], "obj", NAN, True, "obj: 0\n"),
        ([], "obj", 3.0, False, "obj:\n"),
        # A positive constant takes the shortest text, a negative one the number text.
        ([("x", 1.0)], "e", 1e-7, True, "e: x + 0.0000001\n"),
        ([("x", 1.0)], "e", -1e-7, True, "e: x - 1e-7\n"),
        ([("x", 1.0)], "e", 1 / 3, True, "e: x + 0.3333333333333333\n"),
        ([("x", 1.0)], "e", -1 / 3, True, "e: x - 0.333333333333\n"),
        ([("a", -1.0)], "k", 0.0, False, "k: - a\n"),
        ([("a", 3.0)], "k", 0.0, False, "k: 3 a\n"),
        ([("b", -1.0), ("a", 3.0), ("B", 0.5)], "k", 0.0, False, "k: 0.5 B + 3 a - b\n"),
        # Coefficients: the number text of the magnitude; NaN and -0.0 are not below zero.
        ([("x", -0.0), ("y", NAN), ("z", -1 / 3), ("w", 1e-5)], "k", 0.0, False,
         "k: 1e-5 w + 0 x + NaN y - 0.333333333333 z\n"),
        ([("x", -INF), ("y", INF)], "k", 0.0, False, "k: - inf x + inf y\n"),
        # The constant text stays on the line whatever its length.
        (THIRTY[:13], "c", 123.0, True, LINE_13 + " + 123\n"),
    ],
)
def test_affine_expression(lp, terms, label, constant, include_constant, expected):
    assert lp.affine(terms, label, constant, include_constant) == expected


@pytest.mark.parametrize(
    ("terms", "label", "sense", "constant", "expected"),
    [
        (WORKED, "c1", "LessEqual", -5.0, "c1: x - 2 y + 2.5 z <= 5\n"),
        ([], "c2", "GreaterEqual", -5.0, "c2:0 >= 5\n"),
        ([("x", 1.0), ("y", 1.0)], "c3", "Equal", 0.0, "c3: x + y = 0\n"),
        ([("x", 1.0)], "c3", "Equal", -0.0, "c3: x = 0\n"),
        ([("x", 2.0)], "c4", "GreaterEqual", 2.5e-7, "c4: 2 x >= -2.5e-7\n"),
        (THIRTY, "c", "LessEqual", -10.0, THIRTY_TEXT),
        (THIRTY[:13], "c", "LessEqual", -10.0, LINE_13 + "\n <= 10\n"),
        # Twelve terms and the sense piece make exactly 78 bytes: one line.
        (THIRTY[:12], "c", "LessEqual", -10.0, LINE_13[:-6] + " <= 10\n"),
        # A piece of exactly the remaining room joins the line; one byte more moves it.
        ([(NAME_75, 1.0)], "c", "LessEqual", -1.0, "c: " + NAME_75 + "\n <= 1\n"),
        ([(NAME_76, 1.0)], "c", "LessEqual", -1.0, "c:\n " + NAME_76 + "\n <= 1\n"),
        ([(NAME_80, 1.0)], "c", "LessEqual", -1.0, "c:\n " + NAME_80 + "\n <= 1\n"),
        # A label longer than a line stays whole; the first piece moves below it.
        ([("x", 1.0)], "L" * 90, "Equal", -1.0, "L" * 90 + ":\n x = 1\n"),
    ],
)
def test_constraint(lp, terms, label, sense, constant, expected):
    assert lp.constraint(terms, label, sense, constant) == expected


@pytest.mark.parametrize(
    ("terms", "expected"),
    [
        # Unsigned bytes: upper case before lower case, "é" (0xC3 0xA9) after "z".
        ([("é", 1.0), ("z", 2.0), ("a", 3.0), ("B", 4.0)], "k: 4 B + 3 a + 2 z + é\n"),
        # A proper prefix sorts first; digits compare as characters.
        ([("x2", 1.0), ("x10", 2.0), ("x", 3.0), ("x1", 4.0)], "k: 3 x + 4 x1 + 2 x10 + x2\n"),
        # Equal names keep the order in which the terms were stored.
        ([("x", 2.0), ("a", 1.0), ("x", -1.0), ("x", 5.0)], "k: a + 2 x - x + 5 x\n"),
        ([("", 2.0), ("a", 1.0)], "k: 2  + a\n"),
    ],
    ids=["bytes", "prefix", "stable", "empty-name"],
)
def test_terms_sorted_by_name_bytes(lp, terms, expected):
    assert lp.affine(terms, "k", 0.0, include_constant=False) == expected


@pytest.mark.parametrize("size", [5, 16, 17, 40, 300])
def test_long_term_lists_sort_like_a_stable_byte_sort(lp, size):
    # Names sharing long prefixes, shorter than, equal to and longer than eight bytes, with NUL
    # and non-ASCII bytes, and repeated names (whose terms must keep their stored order).
    rng = random.Random(size)
    stems = ["", "a", "ab", "abcdefg", "abcdefgh", "abcdefghi", "abcdefgh\0", "abcdefgh\0\0", "\0", "é",
             "ab\xff", "xyz12345678", "xyz1234567"]
    terms = [(rng.choice(stems) + rng.choice(["", "1", "10", "2"]), float(i + 1)) for i in range(size)]
    expected = sorted(terms, key=lambda t: t[0].encode())  # stable, so repeats keep their order
    assert lp.affine(terms, "k", 0.0, include_constant=False) == lp.affine(expected, "k", 0.0, include_constant=False)


@pytest.mark.parametrize(
    ("lb", "ub", "categories", "expected"),
    [
        (-INF, INF, ["Continuous", "Integer", "Binary"], "x free"),
        (3.0, 3.0, ["Continuous", "Integer"], "x = 3"),
        (0.0, 0.0, ["Continuous", "Binary"], "x = 0"),
        (-0.0, 0.0, ["Continuous"], "x = 0"),
        (0.0, INF, ["Continuous"], "x"),
        (-0.0, INF, ["Continuous"], "x"),
        (0.0, INF, ["Integer", "Binary"], "0 <= x"),
        (0.0, 1.0, ["Binary", "Integer"], "0 <= x <= 1"),
        (0.0, 1.0, ["Continuous"], "x <= 1"),
        (-INF, 10.0, ["Continuous", "Integer"], "-inf <= x <= 10"),
        (2.5, INF, ["Continuous", "Integer"], "2.5 <= x"),
        (-5.0, 1e20, ["Continuous", "Integer"], "-5 <= x <= 1e20"),
        (NAN, 4.0, ["Continuous", "Integer"], "-inf <= x <= 4"),
        (INF, 4.0, ["Continuous"], "-inf <= x <= 4"),
        (-INF, -INF, ["Continuous", "Integer"], "-inf <= x"),
        (INF, INF, ["Continuous"], "-inf <= x"),
        (1.0, 0.0, ["Continuous", "Binary"], "1 <= x <= 0"),
        (1.0, NAN, ["Continuous"], "1 <= x"),
        (1 / 3, 123456789012345678.0, ["Continuous"], "0.333333333333 <= x <= 1.234567890123e17"),
    ],
)
def test_bounds(lp, lb, ub, categories, expected):
    for category in categories:
        assert lp.bounds("x", lb, ub, category) == expected, category


# --- behaviour of the AffineExpr methods themselves ------------------------------------------


@pytest.fixture
def ondrel():
    from zemlo import _ondrel

    return _ondrel


def _bound_expr(ondrel, model, *terms):
    expr = ondrel.AffineExpr()
    for name, coeff in terms:
        expr.add_term(model.add_variable(name, 0.0, INF, ondrel.Category.Continuous), coeff)
    return expr


def test_methods_take_keywords_and_default_to_the_constant(ondrel):
    model = ondrel.Model("m")
    expr = _bound_expr(ondrel, model, ("x", 1.0))
    expr.set_constant(2.0)
    assert expr.as_cplex_lp_affine_expression(name="obj") == "obj: x + 2\n"
    assert expr.as_cplex_lp_affine_expression("obj", include_constant=False) == "obj: x\n"
    assert expr.as_cplex_variables_only(name="v") == ([], ["v:", " x"])
    expr.set_sense(ondrel.Sense.LessEqual)
    assert expr.as_cplex_lp_constraint(name="c") == "c: x <= -2\n"


def test_unbound_expression_needs_no_model(ondrel):
    expr = ondrel.AffineExpr.from_constant(-4.0)
    expr.set_sense(ondrel.Sense.GreaterEqual)
    assert expr.as_cplex_variables_only("c") == ([], ["c:"])
    assert expr.as_cplex_lp_affine_expression("obj") == "obj: - 4\n"
    assert expr.as_cplex_lp_constraint("c") == "c:0 >= 4\n"


def test_id_beyond_the_model_has_an_empty_name(ondrel):
    small, big = ondrel.Model("small"), ondrel.Model("big")
    b = small.add_variable("b", 0.0, INF, ondrel.Category.Continuous)
    far = big.add_variables_batch(["p", "q", "r"], 0.0, INF, ondrel.Category.Continuous)[2]
    expr = ondrel.AffineExpr()
    expr.add_term(b, 2.0)
    expr.add_term(far, 1.0)  # id 2, but the expression's model has one variable
    assert expr.as_cplex_variables_only("k") == ([], ["k:", " ", " + 2 b"])


def test_missing_sense_is_reported_before_the_model_is_needed(ondrel):
    model = ondrel.Model("m")
    expr = _bound_expr(ondrel, model, ("x", 1.0))
    with pytest.raises(ValueError, match="^Cannot format constraint without sense$"):
        expr.as_cplex_lp_constraint("c")
    del model
    with pytest.raises(ValueError, match="^Cannot format constraint without sense$"):
        expr.as_cplex_lp_constraint("c")


def test_lost_model(ondrel):
    model = ondrel.Model("m")
    expr = _bound_expr(ondrel, model, ("x", 1.0))
    expr.set_sense(ondrel.Sense.Equal)
    del model
    calls = [
        lambda: expr.as_cplex_variables_only("c"),
        lambda: expr.as_cplex_lp_affine_expression("c"),
        lambda: expr.as_cplex_lp_affine_expression("c", False),
        lambda: expr.as_cplex_lp_constraint("c"),
    ]
    for call in calls:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == LOST_EXPR
