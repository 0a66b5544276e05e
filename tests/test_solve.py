"""zemlo.solve and zemlo.check_solution: real solvers on the shipped examples, the answer stored
in the model, and the check catching what a wrong answer gets wrong."""

import math
import sys
from pathlib import Path

import pytest

import zemlo
from zemlo import Category, Model, ObjSense, Sense, SolverError, check_solution, load_mps, solve
from support import make_expr, require_solver, solver  # noqa: F401 (solver is a fixture)

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
# afiro's optimum as published with the netlib set; the facility model's as three solvers agree.
KNOWN = {"afiro.mps.gz": -464.7531428571429, "facility.mps": 2900.0}




@pytest.mark.parametrize("example", sorted(KNOWN))
def test_each_solver_reaches_the_known_optimum(solver, example):
    model = load_mps(EXAMPLES / example)
    result = solve(model, solver)
    assert result.status == "optimal"
    assert result.objective == pytest.approx(KNOWN[example], rel=1e-9)
    assert result.solver_objective == pytest.approx(KNOWN[example], rel=1e-9)
    assert result.feasible(1e-9), result.check
    # What the result reports is what the model now holds.
    stored = {v.name: v.value for v in model.list_variables()}
    assert result.values == stored
    if model.is_mip():
        integers = [v for v in model.list_variables() if v.is_integer()]
        assert integers and all(v.value == round(v.value) for v in integers)


def test_duals_and_slacks_are_stored(solver):
    model = load_mps(EXAMPLES / "afiro.mps.gz")
    solve(model, solver)
    for c in model.list_constraints():
        assert c.slack == pytest.approx(-c.value(), abs=1e-9)  # rhs minus the activity
        assert c.pi is not None
    # Strong duality: the objective equals the duals times the right-hand sides (afiro has no
    # finite upper bounds and only zero lower bounds, so bounds add nothing).
    dual_objective = sum(c.pi * c.rhs for c in model.list_constraints())
    assert abs(dual_objective) == pytest.approx(abs(KNOWN["afiro.mps.gz"]), rel=1e-7)
    assert all(v.dj is not None for v in model.list_variables())


def workshop(sense=ObjSense.Maximize) -> Model:
    """max 45 chairs + 80 tables, 5 c + 20 t <= 400, 10 c + 15 t <= 450: 24 and 14, 2200."""
    m = Model("workshop")
    chairs = m.add_variable("chairs", 0.0, 40.0, Category.Integer)
    tables = m.add_variable("tables", 0.0, math.inf, Category.Integer)
    m.set_objective(make_expr([(chairs, 45.0), (tables, 80.0)]))
    m.set_sense(sense)
    m.add_constraint(make_expr([(chairs, 5.0), (tables, 20.0)], -400.0, Sense.LessEqual, "wood"))
    m.add_constraint(make_expr([(chairs, 10.0), (tables, 15.0)], -450.0, Sense.LessEqual, "labour"))
    return m


def test_maximising_and_an_integer_column_without_upper_bound(solver):
    # tables has no upper bound: a solver that bounded it by 1 would answer 40 chairs, 1 table.
    m = workshop()
    result = solve(m, solver, time_limit=60)
    assert (result.status, result.objective) == ("optimal", 2200.0)
    assert result.values == {"chairs": 24.0, "tables": 14.0}


def test_the_python_example_runs():
    import runpy
    from contextlib import redirect_stdout
    from io import StringIO

    out = StringIO()
    with redirect_stdout(out):
        runpy.run_path(str(EXAMPLES / "quickstart.py"), run_name="__main__")
    assert out.getvalue() == "optimal 2200.0 {'chairs': 24.0, 'tables': 14.0} True\n"


def infeasible() -> Model:
    m = Model("infeasible")
    x = m.add_variable("x", 0.0, 1.0, Category.Integer)
    m.set_objective(make_expr([(x, 1.0)]))
    m.add_constraint(make_expr([(x, 1.0)], -2.0, Sense.GreaterEqual, "too_much"))
    return m


def unbounded() -> Model:
    m = Model("unbounded")
    x = m.add_variable("x", 0.0, math.inf, Category.Continuous)
    y = m.add_variable("y", 0.0, math.inf, Category.Integer)
    m.set_objective(make_expr([(x, 1.0), (y, 1.0)]))
    m.set_sense(ObjSense.Maximize)
    m.add_constraint(make_expr([(x, 1.0), (y, -1.0)], -1.0, Sense.LessEqual, "gap"))
    return m


@pytest.mark.parametrize(("build", "statuses"), [
    (infeasible, {"infeasible"}),
    (unbounded, {"unbounded", "infeasible or unbounded"}),
])
def test_no_solution(solver, build, statuses):
    m = build()
    result = solve(m, solver)
    assert result.status in statuses
    assert not result.has_solution and result.values == {} and result.objective is None
    assert not result.feasible()
    assert all(v.value is None for v in m.list_variables())


# Planted faults: after an optimal solve, one value is changed by hand; the check must name
# the broken bound, integrality or row with the size of the fault. At the optimum the west
# depot ships 140 of its 160-unit truck capacity, so 3 more units to s2 break only demand_s2.
@pytest.mark.parametrize(("variable", "value", "field", "size", "where"), [
    ("ship_west_s2", "+3", "max_constraint_violation", 3.0, "demand_s2"),
    ("ship_north_s1", -0.5, "max_bound_violation", 0.5, "ship_north_s1"),
    ("trucks_east", 4.25, "max_integrality_violation", 0.25, None),
    ("trucks_west", 7.0, "max_bound_violation", 2.0, "trucks_west"),
])
def test_a_planted_fault_is_caught(variable, value, field, size, where):
    solver = "highs"
    require_solver(solver)
    model = load_mps(EXAMPLES / "facility.mps")
    assert solve(model, solver).feasible(1e-9)
    (v,) = [v for v in model.list_variables() if v.name == variable]
    v.set_value(v.value + 3.0 if value == "+3" else value)
    check = check_solution(model)
    assert getattr(check, field) == pytest.approx(size, abs=1e-9)
    if field == "max_constraint_violation":
        assert check.worst_constraint == where
    elif field == "max_bound_violation":
        assert check.worst_variable == where
    assert not check.feasible(1e-6)


def test_binary_integrality_is_checked():
    # The variable's own test leaves Binary variables out of integrality; the check does not.
    m = workshop()
    flag = m.add_variable("flag", 0.0, 1.0, Category.Binary)
    m.set_variable_values([(0, 24.0), (1, 14.0), (flag.id(), 0.5)])
    assert flag.valid()
    check = check_solution(m)
    assert check.max_integrality_violation == 0.5 and check.objective == 2200.0


def test_a_variable_without_value_fails_the_check():
    m = workshop()
    check = check_solution(m)
    assert (check.missing_values, check.unevaluated_constraints, check.objective) == (2, 2, None)
    assert not check.feasible(math.inf)


def test_bad_requests():
    m = workshop()
    with pytest.raises(ValueError, match="unknown solver 'gurobi'; choose one of highs, cbc, glpk"):
        solve(m, "gurobi")
    for limit in (0, -1.0, math.nan, math.inf):
        with pytest.raises(ValueError, match="time limit must be a positive number"):
            solve(m, "highs", time_limit=limit)


@pytest.mark.parametrize(("solver", "hint"), [
    ("cbc", "apt-get install coinor-cbc"),
    ("glpk", "apt-get install glpk-utils"),
])
def test_a_missing_program_names_how_to_get_it(monkeypatch, solver, hint):
    monkeypatch.setattr(zemlo._solve.shutil, "which", lambda name: None)
    with pytest.raises(SolverError, match=hint):
        solve(workshop(), solver)


def test_missing_highspy_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "highspy", None)  # makes `import highspy` fail
    with pytest.raises(SolverError, match=r"pip install 'zemlo\[solve\]'"):
        solve(workshop(), "highs")
