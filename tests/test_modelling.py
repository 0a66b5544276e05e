"""The modelling layer: DoRaduvar, its variables, expressions and constraints.

Expressions are checked against an oracle: the same Python formula evaluated on plain objects
that keep a dict of name -> coefficient and a constant, so every operator of the layer meets an
independent computation of what it must give.
"""

from __future__ import annotations

import math
import operator

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zemlo
from zemlo import DoRaduvar, total


class Oracle:
    """A linear expression as a dict of name -> coefficient and a constant, in plain Python."""

    def __init__(self, terms=None, constant=0.0):
        self.terms = dict(terms or {})
        self.constant = float(constant)

    @staticmethod
    def lift(x):
        return x if isinstance(x, Oracle) else Oracle({}, x)

    def __add__(self, other):
        o = Oracle.lift(other)
        terms = dict(self.terms)
        for k, v in o.terms.items():
            terms[k] = terms.get(k, 0.0) + v
        return Oracle(terms, self.constant + o.constant)

    __radd__ = __add__

    def __neg__(self):
        return Oracle({k: -v for k, v in self.terms.items()}, -self.constant)

    def __pos__(self):
        return self

    def __sub__(self, other):
        return self + -Oracle.lift(other)

    def __rsub__(self, other):
        return Oracle.lift(other) - self

    def __mul__(self, k):
        return Oracle({n: v * k for n, v in self.terms.items()}, self.constant * k)

    __rmul__ = __mul__

    def __truediv__(self, k):
        return Oracle({n: v / k for n, v in self.terms.items()}, self.constant / k)

    def _relation(self, other, sense):
        diff = self - other
        return ("relation", diff.terms, sense, -diff.constant)

    def __le__(self, other):
        return self._relation(other, "<=")

    def __ge__(self, other):
        return self._relation(other, ">=")

    def __eq__(self, other):
        return self._relation(other, "==")


def as_oracle(value):
    """What the layer built, in the oracle's terms: (names -> coefficients, constant), or the
    relation of a constraint."""
    if isinstance(value, zemlo.LinearConstraint):
        return ("relation", {v.name: c for v, c in value.to_dict().items()}, value.sense, value.rhs)
    if isinstance(value, zemlo.Var):
        return ({value.name: 1.0}, 0.0)
    return ({v.name: c for v, c in value.to_dict().items()}, value.constant)


def oracle_value(value):
    if isinstance(value, tuple):
        return value
    if isinstance(value, Oracle):
        return (value.terms, value.constant)
    return ({}, float(value))


@pytest.fixture
def xyz():
    p = DoRaduvar("ops")
    return p, p.variable("x"), p.variable("y"), p.variable("z")


# Every operator with numbers, variables, expressions and constraints on both sides.
FORMULAS = {
    "var+num": lambda x, y, z: x + 1,
    "num+var": lambda x, y, z: 1.5 + x,
    "var-num": lambda x, y, z: x - 2,
    "num-var": lambda x, y, z: 2 - x,
    "var+var": lambda x, y, z: x + y,
    "var-var": lambda x, y, z: x - y,
    "var+same": lambda x, y, z: x + x,
    "var-same": lambda x, y, z: x - x,
    "num*var": lambda x, y, z: 3 * x,
    "var*num": lambda x, y, z: x * -0.5,
    "var/num": lambda x, y, z: x / 3,
    "neg-var": lambda x, y, z: -x,
    "pos-var": lambda x, y, z: +x,
    "zero*var": lambda x, y, z: 0 * x,
    "expr+num": lambda x, y, z: (x + y) + 4,
    "num+expr": lambda x, y, z: 4 + (x + y),
    "num-expr": lambda x, y, z: 4 - (x - y + 1),
    "expr+var": lambda x, y, z: (x + 2 * y) + z,
    "var+expr": lambda x, y, z: z + (x + 2 * y),
    "var-expr": lambda x, y, z: z - (x + 2 * y),
    "expr+expr": lambda x, y, z: (x + y) + (y - z),
    "expr-expr": lambda x, y, z: (x + y + 3) - (y - z + 1),
    "expr*num": lambda x, y, z: (x + 2 * y - 1) * 3,
    "num*expr": lambda x, y, z: 0.25 * (x - z + 8),
    "expr/num": lambda x, y, z: (3 * x + y + 1) / 7,
    "neg-expr": lambda x, y, z: -(x - y + 2),
    "nested": lambda x, y, z: 2 * (3 * (x + 1) - (y - z) / 2) - x,
    "sum-builtin": lambda x, y, z: sum([x, 2 * y, z, 5]),
    "sum-generator": lambda x, y, z: sum(c * v for c, v in [(1, x), (2, y), (3, z), (4, x)]),
    "prefix-reused": lambda x, y, z: (lambda e: (e + z) + (e + y) + e)(x + y),
    "var<=num": lambda x, y, z: x <= 1,
    "num<=var": lambda x, y, z: 1 <= x,
    "var>=num": lambda x, y, z: x >= -2,
    "num>=var": lambda x, y, z: 7 >= x,
    "var==num": lambda x, y, z: x == 3,
    "num==var": lambda x, y, z: 3 == x,
    "var<=var": lambda x, y, z: x <= y,
    "var>=expr": lambda x, y, z: x >= y + z - 1,
    "expr<=var": lambda x, y, z: 2 * x + y <= z,
    "expr==expr": lambda x, y, z: x + y + 1 == 2 * z - 3,
    "expr>=num": lambda x, y, z: x + y + 5 >= 2,
    "num<=expr": lambda x, y, z: 2 <= x - y + 1,
    "num>=expr": lambda x, y, z: 2 >= x - y + 1,
}


@pytest.mark.parametrize("name", sorted(FORMULAS))
def test_each_operator_matches_the_oracle(xyz, name):
    _, x, y, z = xyz
    formula = FORMULAS[name]
    got = as_oracle(formula(x, y, z))
    want = oracle_value(formula(Oracle({"x": 1.0}), Oracle({"y": 1.0}), Oracle({"z": 1.0})))
    assert got == want


def test_total_matches_sum_and_the_oracle(xyz):
    _, x, y, z = xyz
    items = [x, 2 * y, 3, z - 1, x / 4, -(y + z)]
    oracle = {"x": Oracle({"x": 1.0}), "y": Oracle({"y": 1.0}), "z": Oracle({"z": 1.0})}
    plain = [oracle["x"], 2 * oracle["y"], 3, oracle["z"] - 1, oracle["x"] / 4, -(oracle["y"] + oracle["z"])]
    want = oracle_value(sum(plain))
    assert as_oracle(total(items)) == want
    assert as_oracle(total(iter(items))) == want
    assert as_oracle(sum(items)) == want
    assert as_oracle(total([])) == ({}, 0.0)


# Random expression trees: leaves are the variables and numbers, nodes + - * / and negation.
def trees():
    leaves = st.one_of(st.sampled_from(["x", "y", "z"]), st.integers(-5, 5), st.floats(-8, 8, allow_nan=False).map(
        lambda f: round(f, 3)))

    def extend(children):
        scalar = st.one_of(st.integers(-4, 4), st.sampled_from([0.5, 2.5, -1.25]))
        divisor = st.sampled_from([2, -4, 0.5, 8])
        return st.one_of(
            st.tuples(st.just("+"), children, children),
            st.tuples(st.just("-"), children, children),
            st.tuples(st.just("*"), children, scalar),
            st.tuples(st.just("r*"), scalar, children),
            st.tuples(st.just("/"), children, divisor),
            st.tuples(st.just("neg"), children),
        )

    return st.recursive(leaves, extend, max_leaves=12)


def evaluate(tree, leaf):
    if not isinstance(tree, tuple):
        return leaf(tree)
    op, *args = tree
    if op == "neg":
        return -evaluate(args[0], leaf)
    if op == "r*":
        return args[0] * evaluate(args[1], leaf)
    a = evaluate(args[0], leaf)
    b = evaluate(args[1], leaf) if op in ("+", "-") else args[1]
    return {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}[op](a, b)


def close(a, b):
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9)


@settings(max_examples=300, deadline=None)
@given(trees())
def test_random_expression_trees_match_the_oracle(tree):
    p = DoRaduvar("tree")
    variables = {n: p.variable(n) for n in "xyz"}
    got = evaluate(tree, lambda t: variables[t] if isinstance(t, str) else t)
    want = evaluate(tree, lambda t: Oracle({t: 1.0}) if isinstance(t, str) else t)
    if not isinstance(got, (zemlo.Expr, zemlo.Var)):  # the tree had no variable
        assert close(float(got), Oracle.lift(want).constant)
        return
    terms, constant = as_oracle(got)
    want = Oracle.lift(want)
    assert close(constant, want.constant)
    assert set(terms) == set(want.terms)
    assert all(close(terms[n], want.terms[n]) for n in terms)


def test_constraint_values_store_as_the_oracle_says(xyz):
    p, x, y, z = xyz
    row = p.add(2 * x + 3 <= y - z + 10, name="cap")
    m = p.model
    stored = m.get_constraint_by_name("cap")
    assert (stored.rhs, stored.sense) == (7.0, zemlo.Sense.LessEqual)
    assert {v.name: c for v, c in stored.items()} == {"x": 2.0, "y": -1.0, "z": 1.0}
    assert row.name == "cap" and row.rhs == 7.0 and row.sense == "<="
    auto = p.add(x + x >= 1)
    assert auto.name == "_C1"
    assert {v.name: c for v, c in m.get_constraint_by_name("_C1").items()} == {"x": 2.0}


def test_the_objective_keeps_its_constant_and_sense(xyz):
    p, x, y, _ = xyz
    p.maximize(3 * x - y + 7)
    objective = p.model.get_objective()
    assert objective.constant == 7.0
    assert {v.name: c for v, c in objective.items()} == {"x": 3.0, "y": -1.0}
    assert p.sense == "maximize"
    p.minimize(x)
    assert p.sense == "minimize" and p.model.get_objective().constant == 0.0


class Other:
    pass


ERRORS = [
    ("x * y", TypeError, "cannot multiply variable x by variable y: a product of variables is not linear"),
    ("(x + 1) * (y - 1)", TypeError, "cannot multiply an expression with variables by an expression with variables"),
    ("x * (y + 0)", TypeError, "cannot multiply variable x by an expression with variables"),
    ("x / y", TypeError, "cannot divide by variable y: only division by a number is linear"),
    ("x / 0", ZeroDivisionError, "division of an expression by zero"),
    ("x * float('nan')", ValueError, "a number in an expression must be finite, got NaN"),
    ("x + float('inf')", ValueError, "a number in an expression must be finite, got inf"),
    ("x <= float('-inf')", ValueError, "a number in an expression must be finite, got -inf"),
    ("(x + 1e308) + 1e308", ValueError, "the constant of an expression must be finite, got inf"),
    ("x * 1e308 * 10", ValueError, "the coefficient 1e+308 times 10 is not finite"),
    ("x + other", ValueError, "cannot combine variables of different DoRaduvar problems in one expression"),
    ("total([x, other])", ValueError, "cannot combine variables of different DoRaduvar problems in one expression"),
    ("bool(x <= 3)", TypeError, "a constraint has no truth value"),
    ("1 <= x <= 3", TypeError, "a constraint has no truth value"),
    ("x < 3", TypeError, "< and > do not make constraints: use <= or >= (or ==)"),
    ("x > y", TypeError, "< and > do not make constraints: use <= or >= (or ==)"),
    ("x + 'a'", TypeError, "unsupported operand type(s) for +"),
    ("total([x, 'a'])", TypeError, "total() adds numbers, variables and expressions, not str"),
    ("p.add(x)", TypeError, "expected a constraint (an expression compared with <=, >= or ==), got zemlo.Var"),
    ("p.add(1 <= 2)", TypeError, "expected a constraint, got a bool"),
    ("p.add(other <= 1)", ValueError, "the variables of the constraint belong to another DoRaduvar"),
    ("p.minimize(other + x * 0)", ValueError, "cannot combine variables of different DoRaduvar problems"),
    ("p.maximize(other)", ValueError, "the variables of the objective belong to another DoRaduvar"),
    ("p.variable('a b')", ValueError, "variable name 'a b' holds ' '"),
    ("p.variable('r\\nSubject To')", ValueError, "variable name 'r\\nSubject To' holds a line break or NUL character"),
    ("p.variable('2x')", ValueError, "variable name '2x' starts with a digit or a period"),
    ("p.variable('_x')", ValueError, "variable name '_x' starts with '_', which names the problem generates keep"),
    ("p.variable('free')", ValueError, "variable name 'free' is a word LP files reserve"),
    ("p.variable('x')", ValueError, "a variable named 'x' exists already"),
    ("p.variable('x' * 256)", ValueError, "is longer than 255 bytes"),
    ("p.variable('w', lb=float('nan'))", ValueError, "lb must not be NaN"),
    ("p.variable(3)", TypeError, "a variable name must be a str, not int"),
    ("p.variables('c', range(2)) and p.variables('c', range(3))", ValueError,
     "a variable collection named 'c' exists already"),
    ("p.variables('d', range(2)) and p.variable('d(1)')", ValueError,
     "names of the form d(...) belong to the variable collection 'd'"),
    ("p.variables('e', ['a b', 'a_b'])", ValueError, "two keys of 'e' give one variable name, e(a_b)"),
    ("p.variables('h', ['1,2', 1], [2, '2'])", ValueError, "two keys of 'h' give one variable name, h(1,2,2)"),
    ("p.variables('f', [1, 1])", ValueError, "an index set of 'f' repeats a key"),
    ("p.variables('g')", TypeError, "variables() needs at least one index set"),
    ("p.add(x <= 1, name='a row')", ValueError, "constraint name 'a row' holds ' '"),
    ("p.add(x <= 1, name='_C9')", ValueError, "starts with '_'"),
    ("DoRaduvar('q', sense='up')", ValueError, "sense must be 'minimize' or 'maximize'"),
    ("p.solve(solver='simplex')", ValueError, "unknown solver 'simplex'"),
]


@pytest.mark.parametrize("code, error, message", ERRORS, ids=[e[0] for e in ERRORS])
def test_errors_name_what_went_wrong(code, error, message):
    p = DoRaduvar("errors")
    x, y = p.variable("x"), p.variable("y")
    q = DoRaduvar("other")
    other = q.variable("x")
    with pytest.raises(error) as info:
        eval(code, {"p": p, "q": q, "x": x, "y": y, "other": other, "total": total, "DoRaduvar": DoRaduvar})
    assert message in str(info.value)


def test_variables_of_a_deleted_problem_say_so():
    x = DoRaduvar("gone").variable("x")
    p = DoRaduvar("here")
    with pytest.raises(ValueError, match="^the variables of the constraint belong to a DoRaduvar that no longer exists$"):
        p.add(x <= 1)
    with pytest.raises(ValueError, match="^The DoRaduvar this variable belongs to no longer exists. Do not reassign"):
        x.lb
    assert "deleted DoRaduvar" in repr(x)


def test_a_failed_call_leaves_the_problem_as_it_was(xyz):
    p, x, y, _ = xyz
    before = (p.num_variables, p.num_constraints, p.model.coefficients())
    for bad in (lambda: p.add(x <= 1, name="bad name"), lambda: p.variable("a b"),
                lambda: p.variables("_hidden", range(3))):
        with pytest.raises(ValueError):
            bad()
    assert (p.num_variables, p.num_constraints, p.model.coefficients()) == before


def test_variables_are_hashable_keys_and_print_their_names():
    p = DoRaduvar("keys")
    x = p.variables("x", range(2), ["a", "b"])
    v = x[1, "b"]
    assert repr(v) == str(v) == v.name == "x(1,b)"
    prices = {v: 3.0, x[0, "a"]: 1.0}
    assert prices[v] == 3.0
    # Another object for the same variable finds the same entry; different variables do not
    # collide, and equality of two variables has a truth value.
    again = next(k for k in (x[0, "a"] + v).to_dict() if k.name == "x(1,b)")
    assert again is not v and prices[again] == 3.0 and hash(again) == hash(v)
    assert v in {v} and v in [x[0, "a"], v] and (v == again) and not (v != again)
    assert x[0, "a"] != v and not (x[0, "a"] == v)
    assert len(set(x.values())) == 4
    assert type(x) is dict and list(x) == [(0, "a"), (0, "b"), (1, "a"), (1, "b")]  # not all ranges: a dict
    single = p.variables("y", ["north", "south"])
    assert single["north"].name == "y(north)"


def test_generated_names_are_safe_and_unique():
    p = DoRaduvar("names")
    made = p.variables("ship", ["New York", "São Paulo", "a\nb", 2.5, (1, 2)])
    assert [v.name for v in made.values()] == ["ship(New_York)", "ship(S_o_Paulo)", "ship(a_b)", "ship(2.5)",
                                               "ship(1,2)"]
    unnamed = [p.variable(), p.variable()]
    assert [v.name for v in unnamed] == ["_x5", "_x6"]
    for v in [*made.values(), *unnamed]:
        assert zemlo._names.lp_name_problem(v.name) is None


def test_variable_bounds_kinds_and_solution_values():
    p = DoRaduvar("bounds")
    free = p.variable("free_var", lb=None, ub=None)
    b = p.variable("b", binary=True)
    i = p.variable("i", lb=-3, ub=7.5, integer=True)
    assert (free.lb, free.ub, free.integer) == (-math.inf, math.inf, False)
    assert (b.lb, b.ub, b.integer) == (0.0, 1.0, True)
    assert (i.lb, i.ub, i.integer) == (-3.0, 7.5, True)
    i.lb, i.ub = -1, 2
    assert (i.lb, i.ub) == (-1.0, 2.0)
    assert b.value is None and b.reduced_cost is None


WORKSHOP_OPTIMUM = 2200.0


@pytest.mark.parametrize("solver", ["highs", "cbc", "glpk"])
def test_the_workshop_solves_to_its_optimum(solver):
    from support import require_solver

    require_solver(solver)
    p = DoRaduvar("workshop", sense="max")
    chairs = p.variable("chairs", ub=40, integer=True)
    tables = p.variable("tables", integer=True)
    p.maximize(45 * chairs + 80 * tables)
    wood = p.add(5 * chairs + 20 * tables <= 400, name="wood")
    labour = p.add(10 * chairs + 15 * tables <= 450, name="labour")
    result = p.solve(solver)
    assert result.status == "optimal"
    assert result.objective == pytest.approx(WORKSHOP_OPTIMUM)
    assert (chairs.value, tables.value) == (pytest.approx(24.0), pytest.approx(14.0))
    assert wood.value == pytest.approx(400.0) and labour.value == pytest.approx(450.0)
    assert wood.slack == pytest.approx(0.0, abs=1e-7)


def test_an_lp_gives_duals_reduced_costs_and_the_objective_constant():
    from support import require_solver

    require_solver("highs")
    p = DoRaduvar("lp")
    x, y = p.variable("x"), p.variable("y")
    p.minimize(2 * x + 3 * y + 10)
    demand = p.add(x + y >= 4, name="demand")
    p.add(x <= 3, name="cap")
    result = p.solve()
    assert result.status == "optimal" and result.objective == pytest.approx(2 * 3 + 3 * 1 + 10)
    assert demand.dual == pytest.approx(3.0)
    assert y.reduced_cost == pytest.approx(0.0, abs=1e-9)
    assert (x + y).value == pytest.approx(4.0)


def test_add_matrix_builds_the_rows_the_operators_build():
    sp = pytest.importorskip("scipy.sparse")
    import numpy as np

    rng = np.random.default_rng(7)
    a = sp.random(30, 20, density=0.3, random_state=rng, format="csr")
    b = rng.uniform(1, 5, size=30)
    by_matrix, by_operators = DoRaduvar("m"), DoRaduvar("o")
    xm = by_matrix.variables("x", range(20))
    xo = by_operators.variables("x", range(20))
    senses = ["<=", ">=", "=="] * 10
    rows = by_matrix.add_matrix(a, xm, senses, b)
    for i in range(30):
        start, stop = a.indptr[i], a.indptr[i + 1]
        expr = total(float(a.data[k]) * xo[int(a.indices[k])] for k in range(start, stop))
        by_operators.add({"<=": expr <= b[i], ">=": expr >= b[i], "==": expr == b[i]}[senses[i]])
    assert by_matrix.model.coefficients() == by_operators.model.coefficients()
    assert [r.rhs for r in rows] == [r.rhs for r in by_operators.all_constraints()]
    assert [r.sense for r in rows] == senses
    # A CSR triple works too; a wrong shape or a foreign variable is refused and adds nothing.
    by_matrix.add_matrix((a.indptr, a.indices, a.data), list(xm.values()), "<=", 1.0)
    assert by_matrix.num_constraints == 60
    with pytest.raises(ValueError, match="the matrix has 20 columns for 19 variables"):
        by_matrix.add_matrix(a, list(xm.values())[:19], "<=", 1.0)
    with pytest.raises(ValueError, match=r"variables\[0\] belongs to another DoRaduvar"):
        by_matrix.add_matrix(a, xo, "<=", 1.0)
    assert by_matrix.num_constraints == 60


@pytest.mark.parametrize("suffix", [".mps", ".mps.gz"])
def test_a_written_problem_reads_back_as_the_same_model(tmp_path, suffix):
    p = DoRaduvar("trip", sense="max")
    x = p.variables("x", range(3), range(2), ub=10, integer=True)
    y = p.variable("y", lb=-5, ub=None)
    p.maximize(total((i + j + 1) * x[i, j] for i in range(3) for j in range(2)) - y)
    for i in range(3):
        p.add(total(x[i, j] for j in range(2)) + y <= 7 + i, name=f"cap{i}")
    p.add(x[0, 0] - x[2, 1] == 1, name="link")
    path = tmp_path / f"trip{suffix}"
    p.write(path)
    back = DoRaduvar.read(path)
    assert back.sense == "maximize"
    assert back.model.coefficients() == p.model.coefficients()
    assert {v.name: (v.lb, v.ub, v.integer) for v in back.all_variables()} == \
        {v.name: (v.lb, v.ub, v.integer) for v in p.all_variables()}
    assert [(r.name, r.sense, r.rhs) for r in back.all_constraints()] == \
        [(r.name, r.sense, r.rhs) for r in p.all_constraints()]
    back.write(tmp_path / f"again{suffix}")
    if suffix == ".mps":
        assert (tmp_path / "again.mps").read_bytes() == path.read_bytes()


def test_write_chooses_the_format_from_the_name(tmp_path):
    p = DoRaduvar("fmt")
    x = p.variable("x", ub=3)
    p.maximize(x)
    p.add(x <= 2, name="c")
    p.write(tmp_path / "a.lp")
    assert (tmp_path / "a.lp").read_text().startswith("\\* fmt *\\\nMaximize\n")
    p.write(tmp_path / "a.mps", objsense=True)
    assert (tmp_path / "a.mps").read_text().startswith("OBJSENSE\n MAX\nNAME          fmt\n")
    with pytest.raises(ValueError, match="cannot tell the format"):
        p.write(tmp_path / "a.txt")
    p.write(tmp_path / "b.lp", rename=True)
    assert "C0000000: X0000000 <= 2" in (tmp_path / "b.lp").read_text()
    assert x.name == "x"  # renaming writes other names, the problem keeps its own


def test_a_collection_over_ranges_reads_as_the_dict_of_the_same_keys():
    import numpy as np

    p = DoRaduvar("grid")
    ranges = (range(2, 5), range(10, 0, -3))
    x = p.variables("x", *ranges)
    assert isinstance(x, zemlo.VarArray)
    keys = [(i, j) for i in ranges[0] for j in ranges[1]]
    assert list(x) == x.keys() == keys and len(x) == len(keys)
    assert [v.name for v in x.values()] == [f"x({i},{j})" for i, j in keys]
    assert [(k, v.name) for k, v in x.items()] == [(k, f"x({k[0]},{k[1]})") for k in keys]
    assert x[4, 1].name == "x(4,1)" and x[np.int64(3), np.int32(7)].name == "x(3,7)"
    assert x.first_index == x[2, 10].index and x.first is not None and x.first.name == "x(2,10)"
    assert x[2.0, 10] is not None and x[3, 7.0].name == "x(3,7)"  # as a dict of int keys finds them
    for missing in [(5, 1), (2, 9), (2,), 2, (2, 10, 1), ("2", 10), (2.5, 10), (True, 10)]:
        assert missing not in x and x.get(missing, "none") == "none"
        with pytest.raises(KeyError):
            x[missing]
    assert (2, 10) in x and x.get((3, 4)).name == "x(3,4)"
    one = p.variables("y", range(3))
    assert one[2].name == "y(2)" and 3 not in one and list(one) == [0, 1, 2]
    # add_matrix takes the collection as its columns, ids by offset.
    sp = pytest.importorskip("scipy.sparse")
    rows = p.add_matrix(sp.csr_array(np.eye(3)), one, "<=", [1.0, 2.0, 3.0])
    assert [r.rhs for r in rows] == [1.0, 2.0, 3.0] and len(rows) == 3 and rows[-1].index == 2
    assert {v.name: c for v, c in p.model.list_constraints()[1].items()} == {"y(1)": 1.0}
    # A column index outside the collection is refused whether or not variables follow it.
    negative = (np.array([0, 1]), np.array([-1], dtype=np.int32), np.array([1.0]))
    for collection in (one, x):
        beyond = (np.array([0, 1]), np.array([len(collection)]), np.array([1.0]))
        for bad in (beyond, negative):
            with pytest.raises(ValueError, match=r"^a column index of the matrix is outside 0\.\."):
                p.add_matrix(bad, collection, "<=", 1.0)
    triple = (np.array([0, 1]), np.array([3]), np.array([1.0]))
    later = p.variables("z", range(2))  # one after `one`'s variables now
    for bad in (triple, negative):
        with pytest.raises(ValueError, match=r"^a column index of the matrix is outside 0\.\.2$"):
            p.add_matrix(bad, one, "<=", 1.0)
    assert p.num_constraints == 3 and len(later) == 2
