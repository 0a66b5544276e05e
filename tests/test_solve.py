"""zemlo.solve and zemlo.check_solution: real solvers on the shipped examples and netlib models,
the answer stored in the model by position, the settings checked before any work, and the check
catching what a wrong answer gets wrong."""

import math
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import zemlo
from zemlo import Category, Model, ObjSense, Sense, SolverError, check_solution, load_mps, solve
from support import make_expr, netlib_model, require_solver, solver  # noqa: F401 (solver is a fixture)

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


def workshop(sense=ObjSense.Maximize, constant=0.0) -> Model:
    """max 45 chairs + 80 tables, 5 c + 20 t <= 400, 10 c + 15 t <= 450: 24 and 14, 2200."""
    m = Model("workshop")
    chairs = m.add_variable("chairs", 0.0, 40.0, Category.Integer)
    tables = m.add_variable("tables", 0.0, math.inf, Category.Integer)
    m.set_objective(make_expr([(chairs, 45.0), (tables, 80.0)], constant))
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
    monkeypatch.setattr(shutil, "which", lambda name: None)
    with pytest.raises(SolverError, match=hint):
        solve(workshop(), solver)


def test_missing_highspy_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "highspy", None)  # makes `import highspy` fail
    with pytest.raises(SolverError, match=r"pip install 'zemlo\[solve\]'"):
        solve(workshop(), "highs")


# --- HiGHS fed arrays, against HiGHS reading the model file -------------------------------


@pytest.mark.parametrize("name", ["afiro", "bore3d", "e226", "israel", "scagr7"])
def test_the_arrays_reach_the_optimum_highs_finds_in_the_written_file(tmp_path, name):
    highspy = pytest.importorskip("highspy")
    model = load_mps(netlib_model(name))
    path = tmp_path / "model.mps"
    zemlo.write_mps(model, str(path), 1, True, False, True, "MODEL", "OBJ")
    reader = highspy.Highs()
    reader.setOptionValue("output_flag", False)
    assert reader.readModel(str(path)) == highspy.HighsStatus.kOk
    reader.run()
    assert reader.getModelStatus() == highspy.HighsModelStatus.kOptimal
    from_file = reader.getInfo().objective_function_value + model.get_objective().constant

    result = solve(model)
    assert result.status == "optimal"
    assert result.solver_objective == pytest.approx(from_file, rel=1e-9, abs=1e-9)
    assert result.objective == pytest.approx(from_file, rel=1e-9, abs=1e-9)
    assert result.feasible(1e-6), result.check
    # Every column and row got its part of the answer.
    assert all(v.value is not None and v.dj is not None for v in model.list_variables())
    assert all(c.pi is not None and c.slack is not None for c in model.list_constraints())


def lp_with_spare(sense):
    """A spare variable (no row, not in the objective) ahead of x and y, and an objective
    constant of 7. Maximize 3x + 2y + 7 (or minimize its negation plus 7) with x + y <= 4,
    x + 3y <= 9, y >= 0.5, 0 <= x <= 3: x = 3, y = 1, c1 the binding row (dual 2 per unit of
    right-hand side, or -2 minimizing), x at its upper bound (reduced cost 1, or -1)."""
    m = Model("spare")
    m.add_variable("spare", 2.0, 5.0, Category.Continuous)
    x = m.add_variable("x", 0.0, 3.0, Category.Continuous)
    y = m.add_variable("y", 0.0, math.inf, Category.Continuous)
    sign = 1.0 if sense is ObjSense.Maximize else -1.0
    m.set_objective(make_expr([(x, 3.0 * sign), (y, 2.0 * sign)], 7.0))
    m.set_sense(sense)
    m.add_constraint(make_expr([(x, 1.0), (y, 1.0)], -4.0, Sense.LessEqual, "c1"))
    m.add_constraint(make_expr([(x, 1.0), (y, 3.0)], -9.0, Sense.LessEqual, "c2"))
    m.add_constraint(make_expr([(y, 1.0)], -0.5, Sense.GreaterEqual, "c3"))
    return m


@pytest.mark.parametrize(("sense", "objective", "sign"), [(ObjSense.Maximize, 18.0, 1.0), (ObjSense.Minimize, -4.0, -1.0)])
def test_values_duals_and_slacks_land_on_their_own_variables_and_rows(solver, sense, objective, sign):
    m = lp_with_spare(sense)
    result = solve(m, solver)
    assert (result.status, result.solver_objective, result.objective) == ("optimal", objective, objective)
    spare, x, y = m.list_variables()
    assert (spare.value, x.value, y.value) == (2.0, 3.0, pytest.approx(1.0, abs=1e-9))
    assert (x.dj, y.dj, spare.dj) == (pytest.approx(sign), pytest.approx(0.0, abs=1e-9), pytest.approx(0.0, abs=1e-9))
    c1, c2, c3 = m.list_constraints()
    assert [c.pi for c in (c1, c2, c3)] == [pytest.approx(2.0 * sign), pytest.approx(0.0, abs=1e-9),
                                            pytest.approx(0.0, abs=1e-9)]
    # Slacks are the right-hand side minus the activity: 4 - 4, 9 - 6, 0.5 - 1.
    assert [c.slack for c in (c1, c2, c3)] == [pytest.approx(0.0, abs=1e-9), pytest.approx(3.0), pytest.approx(-0.5)]
    assert result.values == {"spare": 2.0, "x": 3.0, "y": pytest.approx(1.0, abs=1e-9)}


@pytest.mark.parametrize(("sense", "coefficient", "optimum"), [(ObjSense.Minimize, 1.0, 6.0), (ObjSense.Maximize, -1.0, 4.0)])
def test_the_objective_constant_is_kept(solver, sense, coefficient, optimum):
    # minimize x + 5 (or maximize -x + 5) with x >= 1.
    m = Model("constant")
    x = m.add_variable("x", 0.0, math.inf, Category.Continuous)
    m.set_objective(make_expr([(x, coefficient)], 5.0))
    m.set_sense(sense)
    m.add_constraint(make_expr([(x, 1.0)], -1.0, Sense.GreaterEqual, "at_least_one"))
    result = solve(m, solver)
    assert (result.status, result.solver_objective, result.objective, x.value) == ("optimal", optimum, optimum, 1.0)


def test_a_maximising_mip_with_a_constant(solver):
    m = workshop(constant=100.0)
    result = solve(m, solver)
    assert (result.status, result.solver_objective, result.objective) == ("optimal", 2300.0, 2300.0)
    assert result.values == {"chairs": 24.0, "tables": 14.0}
    assert result.feasible(0.0)


def test_values_are_made_once_on_first_use_from_what_the_solve_stored():
    require_solver("highs")
    m = workshop()
    result = solve(m)
    assert "values" not in vars(result)  # not made by the solve
    m.get_variable(0).set_value(3.0)  # a later change is not the solve's answer
    assert result.values == {"chairs": 24.0, "tables": 14.0}
    assert result.values is result.values
    assert all(type(x) is float for x in result.values.values())


def test_highs_takes_a_thread_count_other_than_its_first_run():
    # HiGHS keeps one scheduler per process, made with the thread count of its first run.
    require_solver("highs")
    assert solve(workshop()).status == "optimal"
    for threads in (1, 2, 1):
        result = solve(workshop(), threads=threads)
        assert (result.status, result.objective) == ("optimal", 2200.0)


@pytest.fixture
def no_work(monkeypatch):
    """Makes exporting the model, writing its file and running a program fail the test."""
    import zemlo.solvers._program
    import zemlo.solvers.cbc
    import zemlo.solvers.glpk

    def work(*args, **kwargs):
        raise AssertionError("work began before the settings were checked")

    monkeypatch.setattr(zemlo._native, "export_model", work)
    for module in (zemlo.solvers._program, zemlo.solvers.cbc, zemlo.solvers.glpk):
        monkeypatch.setattr(module, "write_model_file", work)
    monkeypatch.setattr(subprocess, "run", work)


@pytest.mark.parametrize(("solver", "settings", "error", "message"), [
    ("gurobi", {}, ValueError, "unknown solver 'gurobi'; choose one of highs, cbc, glpk"),
    ("highs", {"time_limit": "10"}, TypeError, "time limit must be a number of seconds, not str"),
    ("highs", {"time_limit": -1}, ValueError, "time limit must be a positive number of seconds, not -1"),
    ("highs", {"mip_gap": "0.1"}, TypeError, "mip gap must be a number, not str"),
    ("highs", {"mip_gap": -0.01}, ValueError, "mip gap must be a finite number of at least 0, not -0.01"),
    ("highs", {"mip_gap": math.nan}, ValueError, "mip gap must be a finite number of at least 0, not nan"),
    ("highs", {"threads": 2.0}, TypeError, "threads must be an int, not float"),
    ("highs", {"threads": True}, TypeError, "threads must be an int, not bool"),
    ("highs", {"threads": 0}, ValueError, "threads must be at least 1, not 0"),
    ("highs", {"options": [("presolve", "off")]}, TypeError, "options must be a dict of solver options by name, not list"),
    ("highs", {"options": {1: "off"}}, TypeError, r"solver option names are str, not int \(1\)"),
    ("highs", {"options": {"presolv": "off"}}, ValueError, "HiGHS has no option 'presolv'"),
    ("highs", {"options": {"presolve": True}}, ValueError, "HiGHS option 'presolve' cannot be True: it takes a string"),
    ("highs", {"options": {"presolve": "sometimes"}}, ValueError, "HiGHS option 'presolve' cannot be 'sometimes'"),
    ("highs", {"options": {"mip_rel_gap": -1.0}}, ValueError, "HiGHS option 'mip_rel_gap' cannot be -1.0: it takes a number"),
    ("highs", {"options": {"simplex_iteration_limit": 2.5}}, ValueError,
     "HiGHS option 'simplex_iteration_limit' cannot be 2.5: it takes an int"),
    ("highs", {"options": {"mip_rel_gap": [0.1]}}, ValueError, r"HiGHS option 'mip_rel_gap' cannot be \[0.1\]"),
    ("highs", {"mip_gap": 0.1, "options": {"mip_rel_gap": 0.2}}, ValueError,
     "HiGHS option 'mip_rel_gap' is given twice: as mip_gap and in options"),
    ("cbc", {"options": {"maxNode": 10}}, ValueError, "cbc has no option 'maxNode'; it takes allowableGap, "),
    ("cbc", {"options": {"maxNodes": -5}}, ValueError, "cbc option 'maxNodes' is an int from 0 to 2.14748e[+]09, not -5"),
    ("cbc", {"options": {"maxNodes": 1e3}}, ValueError, "cbc option 'maxNodes' is an int from 0"),
    ("cbc", {"options": {"integerTolerance": 0.7}}, ValueError, "cbc option 'integerTolerance' is a number from 1e-20 to 0.5"),
    ("cbc", {"options": {"cuts": "sometimes"}}, ValueError, "cbc option 'cuts' is one of off, on, root, ifmove, forceOn"),
    ("cbc", {"options": {"ratioGap": 0.1}}, ValueError, "cbc option 'ratioGap' is set by mip_gap; give it there"),
    ("cbc", {"options": {"seconds": 5}}, ValueError, "cbc option 'seconds' is set by time_limit"),
    ("glpk", {"threads": 2}, ValueError, "glpk runs on one thread: it takes no threads setting"),
    ("glpk", {"options": {"presol": "yes"}}, ValueError, "glpk option 'presol' is a switch: True or False, not 'yes'"),
    ("glpk", {"options": {"memlim": 0}}, ValueError, "glpk option 'memlim' is an int from 1"),
    ("glpk", {"options": {"mipgap": 0.1}}, ValueError, "glpk option 'mipgap' is set by mip_gap"),
    ("glpk", {"options": {"wlp": "out.lp"}}, ValueError, "glpk has no option 'wlp'"),
])
def test_bad_settings_are_refused_before_any_work(no_work, solver, settings, error, message):
    if solver != "gurobi":
        require_solver(solver)
    m = workshop()
    with pytest.raises(error, match=message):
        solve(m, solver, **settings)
    assert all(v.value is None for v in m.list_variables())


def test_highs_gets_the_settings_and_options(monkeypatch):
    highspy = pytest.importorskip("highspy")
    given = {}

    class Recording(highspy.Highs):
        def setOptionValue(self, name, value):
            given[name] = value
            return super().setOptionValue(name, value)

    monkeypatch.setattr(highspy, "Highs", Recording)
    result = solve(workshop(), time_limit=30, mip_gap=0.0, threads=2, options={"presolve": "off", "random_seed": 3})
    assert result.status == "optimal" and result.objective == 2200.0
    assert given == {"output_flag": False, "time_limit": 30.0, "mip_rel_gap": 0.0, "threads": 2, "presolve": "off",
                     "random_seed": 3}


def test_a_highs_option_takes_effect():
    require_solver("highs")
    model = load_mps(EXAMPLES / "afiro.mps.gz")
    result = solve(model, options={"presolve": "off", "simplex_iteration_limit": 0})
    assert result.status == "other" and result.solver_status == "Iteration limit reached"


@pytest.mark.parametrize(("solver", "options", "threads", "expected"), [
    ("cbc", {"cuts": "root", "maxNodes": 1000}, 2,
     [("-cuts", "root"), ("-maxNodes", "1000"), ("-seconds", "30.0"), ("-ratioGap", "0.0"), ("-threads", "2")]),
    ("glpk", {"nopresol": True, "scale": False, "memlim": 1000}, None,
     [("--nopresol",), ("--memlim", "1000"), ("--tmlim", "30"), ("--mipgap", "0.0")]),
])
def test_a_program_gets_the_settings_and_options(monkeypatch, solver, options, threads, expected):
    require_solver(solver)
    commands = []
    run = subprocess.run

    def recording(command, *args, **kwargs):
        commands.append(command)
        return run(command, *args, **kwargs)

    monkeypatch.setattr(subprocess, "run", recording)
    result = solve(workshop(), solver, time_limit=30, mip_gap=0.0, threads=threads, options=options)
    assert (result.status, result.objective) == ("optimal", 2200.0)
    (command,) = commands
    for flag, *value in expected:
        at = command.index(flag)
        assert command[at + 1 : at + 1 + len(value)] == value
    assert command.index(expected[-1][0]) < command.index("-solve" if solver == "cbc" else "-w")
    assert "--scale" not in command  # a switch given as False is left out


@pytest.mark.parametrize(("solver", "marker"), [("highs", "Solving report"), ("cbc", "CBC"), ("glpk", "GLPSOL")])
def test_verbose_shows_the_log_and_quiet_shows_nothing(capfd, solver, marker):
    require_solver(solver)
    solve(workshop(), solver)
    quiet = capfd.readouterr()
    assert (quiet.out, quiet.err) == ("", "")
    solve(workshop(), solver, verbose=True)
    assert marker in capfd.readouterr().out


@pytest.mark.parametrize(("lb", "ub", "cost"), [(math.nan, 1.0, 1.0), (0.0, math.nan, 1.0), (0.0, 1.0, math.nan)])
def test_highs_refuses_a_nan_bound_or_objective_coefficient(lb, ub, cost):
    require_solver("highs")
    m = workshop()
    odd = m.add_variable("odd", lb, ub, Category.Continuous)
    objective = m.get_objective()
    objective.add_term(odd, cost)
    m.set_objective(objective)
    with pytest.raises(ValueError, match="^variable 'odd' has a NaN bound or objective coefficient$"):
        solve(m)
    assert all(v.value is None for v in m.list_variables())


@pytest.mark.parametrize("call", [solve, check_solution])
def test_none_is_not_a_model(call):
    with pytest.raises(TypeError, match="^expected a zemlo Model, got NoneType$"):
        call(None)


# --- The check on values no solver should give --------------------------------------------


def small_mix():
    """A binary b, an integer n, a continuous x in [0, 10]; row r: b + n + x <= 20."""
    m = Model("mix")
    b = m.add_variable("b", 0.0, 1.0, Category.Binary)
    n = m.add_variable("n", -math.inf, math.inf, Category.Integer)
    x = m.add_variable("x", 0.0, 10.0, Category.Continuous)
    m.set_objective(make_expr([(x, 1.0)]))
    m.add_constraint(make_expr([(b, 1.0), (n, 1.0), (x, 1.0)], -20.0, Sense.LessEqual, "r"))
    return m


INF, NAN = math.inf, math.nan


# A value that is not a finite number is no solution whatever the variable's bounds: it is a
# bound violation naming the variable, and the rows that use it miss too.
@pytest.mark.parametrize(("values", "field", "worst"), [
    ({"b": INF}, "max_bound_violation", "b"),
    ({"b": NAN}, "max_bound_violation", "b"),
    ({"b": -INF}, "max_bound_violation", "b"),
    ({"n": INF}, "max_bound_violation", "n"),
    ({"n": NAN}, "max_bound_violation", "n"),
    ({"b": NAN}, "max_constraint_violation", "r"),
    ({"x": INF}, "max_bound_violation", "x"),
    ({"x": -INF}, "max_bound_violation", "x"),
    ({"x": NAN}, "max_constraint_violation", "r"),
    ({"n": INF}, "max_constraint_violation", "r"),
])
def test_nan_and_infinite_values_are_violations(values, field, worst):
    m = small_mix()
    stored = {"b": 1.0, "n": 3.0, "x": 2.0} | values
    m.set_variable_values([(v.id(), stored[v.name]) for v in m.list_variables()])
    check = check_solution(m)
    violation = getattr(check, field)
    assert math.isnan(violation) or violation == INF
    if field == "max_bound_violation":
        assert check.worst_variable == worst
    elif field == "max_constraint_violation":
        assert check.worst_constraint == worst
    assert not check.feasible(1e300)


def test_a_nan_value_of_a_variable_in_no_row_is_a_violation():
    m = small_mix()
    spare = m.add_variable("spare", 0.0, 1.0, Category.Continuous)
    m.set_variable_values([(0, 1.0), (1, 3.0), (2, 2.0), (spare.id(), NAN)])
    assert not check_solution(m).feasible(1e300)
