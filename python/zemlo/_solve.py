"""Solving a Model with a real solver, and checking the answer with the model's own evaluation.

The model is written as an MPS file with generated names (column j is the j-th used variable,
row i the i-th constraint), so every solver reads the same file and its answer maps back by
position. What the solver reports is stored in the model through its solution setters and then
checked: bounds and integrality through the variables' own tests, rows through the constraints'
own evaluation, the objective through the objective expression.
"""

from __future__ import annotations

import contextlib
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from zemlo._ondrel import Category, Model, ObjSense, Sense, write_mps

__all__ = ["SOLVERS", "STATUSES", "SolutionCheck", "SolveResult", "SolverError", "check_solution", "require", "solve"]

SOLVERS = ("highs", "cbc", "glpk")

# The statuses a SolveResult can have.
STATUSES = ("optimal", "infeasible", "unbounded", "infeasible or unbounded", "time limit", "other")

# How to get each solver when it is missing.
INSTALL_HINTS = {
    "highs": "the highs solver needs the Python package highspy: pip install 'zemlo[solve]'",
    "cbc": "the cbc solver needs the cbc program: apt-get install coinor-cbc",
    "glpk": "the glpk solver needs the glpsol program: apt-get install glpk-utils",
}


class SolverError(RuntimeError):
    """A solver is missing, failed to run, or left an answer that cannot be read."""


@dataclass(frozen=True)
class SolutionCheck:
    """The stored solution of a model measured against the model itself.

    `objective` is the objective expression evaluated at the stored values (its constant
    included; None when a variable in it has no value, 0.0 without an objective). The
    violations are absolute: how far the worst variable lies outside its bounds, how far the
    worst Integer or Binary variable lies from an integer, and by how much the worst
    constraint's left-hand side misses its right-hand side; `worst_variable` and
    `worst_constraint` name where the bound and constraint maxima occur (None when they are 0).
    `missing_values` counts variables without a value and `unevaluated_constraints` the
    constraints that cannot be evaluated for that reason.
    """

    objective: float | None
    max_bound_violation: float
    max_integrality_violation: float
    max_constraint_violation: float
    worst_variable: str | None = None
    worst_constraint: str | None = None
    missing_values: int = 0
    unevaluated_constraints: int = 0

    def feasible(self, tolerance: float = 1e-6) -> bool:
        """Whether every variable has a value and no violation exceeds `tolerance`."""
        return (
            self.missing_values == 0
            and self.unevaluated_constraints == 0
            and self.max_bound_violation <= tolerance
            and self.max_integrality_violation <= tolerance
            and self.max_constraint_violation <= tolerance
        )


@dataclass(frozen=True)
class SolveResult:
    """What `solve` found.

    `status` is one of "optimal", "infeasible", "unbounded", "infeasible or unbounded",
    "time limit" and "other"; `solver_status` is the solver's own word for it.
    `solver_objective` is the objective value the solver reported plus the model's objective
    constant (which the file does not carry). `values` maps each variable name to its stored
    value (empty when the solver gave no solution). `check` measures the stored solution
    against the model (None without a solution); `objective` and the `max_*` properties read
    from it. `seconds` is the solver's wall-clock time.
    """

    status: str
    solver: str
    solver_status: str
    solver_objective: float | None
    values: dict[str, float] = field(repr=False)
    check: SolutionCheck | None
    seconds: float

    @property
    def has_solution(self) -> bool:
        """Whether the solver gave a solution, which the model now holds."""
        return self.check is not None

    @property
    def objective(self) -> float | None:
        """The objective evaluated by the model at the stored solution (None without one)."""
        return None if self.check is None else self.check.objective

    @property
    def max_bound_violation(self) -> float | None:
        """Largest distance of a variable value outside its bounds (None without a solution)."""
        return None if self.check is None else self.check.max_bound_violation

    @property
    def max_integrality_violation(self) -> float | None:
        """Largest distance of an integer variable from an integer (None without a solution)."""
        return None if self.check is None else self.check.max_integrality_violation

    @property
    def max_constraint_violation(self) -> float | None:
        """Largest amount by which a constraint is missed (None without a solution)."""
        return None if self.check is None else self.check.max_constraint_violation

    def feasible(self, tolerance: float = 1e-6) -> bool:
        """Whether there is a solution and it passes its check within `tolerance`."""
        return self.check is not None and self.check.feasible(tolerance)


@dataclass
class _Answer:
    """A solver's answer by position: columns in file order, rows in constraint order."""

    status: str
    solver_status: str
    objective: float | None = None
    col_values: Sequence[float] | None = None
    col_duals: Sequence[float] | None = None
    row_activities: Sequence[float] | None = None
    row_duals: Sequence[float] | None = None


def solve(model: Model, solver: str = "highs", time_limit: float | None = None) -> SolveResult:
    """Solve `model` with `solver` ("highs", "cbc" or "glpk") and check the answer.

    The model is written to a temporary MPS file and handed to the solver: HiGHS through the
    highspy package (`pip install 'zemlo[solve]'`), CBC and GLPK through their `cbc` and
    `glpsol` programs. What the solver reports is stored in the model: variable values and
    reduced costs, constraint duals and slacks (right-hand side minus the row's activity);
    variables no row or objective uses get the value `Variable.value_or_default()`. The
    stored solution is then checked with `check_solution`. `time_limit` is in seconds. When
    the solver gives no solution (infeasible, unbounded), the model's stored values stay as
    they were.

    Returns a SolveResult. Raises ValueError for an unknown solver or a time limit that is not
    positive, SolverError when the solver is missing or fails, and RuntimeError when the model
    cannot be written (repeated names).
    """
    if solver not in SOLVERS:
        raise ValueError(f"unknown solver {solver!r}; choose one of {', '.join(SOLVERS)}")
    if time_limit is not None and not (time_limit > 0 and math.isfinite(time_limit)):
        raise ValueError(f"time limit must be a positive number of seconds, not {time_limit!r}")
    runner = _RUNNERS[solver]
    require(solver)
    maximize = model.get_sense() is ObjSense.Maximize
    with tempfile.TemporaryDirectory(prefix="zemlo-solve-") as tmp:
        path = os.path.join(tmp, "model.mps")
        columns, rows, _, _ = write_mps(model, path, 1, True, False, True, "MODEL", "OBJ")
        if solver == "glpk":
            _bound_open_integers(path, model, columns)
        started = time.perf_counter()
        answer = runner(path, tmp, len(columns), len(rows), maximize, time_limit)
        seconds = time.perf_counter() - started

    objective = model.get_objective()
    constant = 0.0 if objective is None else objective.constant
    solver_objective = None if answer.objective is None else answer.objective + constant
    if answer.col_values is None:
        return SolveResult(answer.status, solver, answer.solver_status, solver_objective, {}, None, seconds)
    _store(model, answer)
    check = check_solution(model)
    values = {v.name: v.value_or_default() for v in model.list_variables()}
    return SolveResult(answer.status, solver, answer.solver_status, solver_objective, values, check, seconds)


def require(solver: str) -> None:
    """Raises SolverError, saying how to get it, when `solver` is not installed."""
    if solver == "highs":
        try:
            import highspy  # noqa: F401
        except ImportError:
            raise SolverError(INSTALL_HINTS[solver]) from None
    elif shutil.which(_PROGRAMS[solver]) is None:
        raise SolverError(INSTALL_HINTS[solver])


def _store(model: Model, answer: _Answer) -> None:
    """Stores the answer through the model's solution setters, by id."""
    used = model.used_variable_ids()
    assert answer.col_values is not None
    model.set_variable_values(list(zip(used, answer.col_values)))
    if answer.col_duals is not None:
        model.set_variable_djs(list(zip(used, answer.col_duals)))
    if len(used) < model.num_variables:
        for v in model.list_variables():
            if v.value is None:
                v.set_value(v.value_or_default())
    if answer.row_duals is not None:
        model.set_constraint_pis(list(enumerate(answer.row_duals)))
    if answer.row_activities is not None:
        constraints = model.list_constraints()
        model.set_constraint_slacks(
            [(i, c.rhs - activity) for i, (c, activity) in enumerate(zip(constraints, answer.row_activities))]
        )


def check_solution(model: Model) -> SolutionCheck:
    """Measure the solution stored in `model` against the model.

    Bounds and integrality come from each variable's `infeasibility_gap`, with integrality of
    Binary variables (which the variable's own test leaves out) measured as the distance to
    the nearest integer; each constraint is evaluated by `Constraint.value()` (left-hand side
    minus right-hand side) and compared with its sense; the objective is evaluated by the
    objective expression. Returns a SolutionCheck; nothing in the model changes.
    """
    max_bound = max_integer = max_row = 0.0
    worst_variable: str | None = None
    worst_constraint: str | None = None
    missing = unevaluated = 0
    for v in model.list_variables():
        try:
            gap = v.infeasibility_gap(True)
        except ValueError:  # no value stored
            missing += 1
            continue
        if gap != 0.0 or math.isnan(gap):
            bound_gap = v.infeasibility_gap(False)
            if bound_gap != 0.0:
                if not abs(bound_gap) <= max_bound:
                    max_bound, worst_variable = abs(bound_gap), v.name
            elif not abs(gap) <= max_integer:
                max_integer = abs(gap)
        if v.category is Category.Binary:
            stored = v.value_or_default()
            distance = abs(stored - round(stored))
            if not distance <= max_integer:
                max_integer = distance
    for c in model.list_constraints():
        value = c.value()
        if value is None:
            unevaluated += 1
            continue
        sense = c.sense
        if sense is Sense.LessEqual:
            miss = max(value, 0.0)
        elif sense is Sense.GreaterEqual:
            miss = max(-value, 0.0)
        else:
            miss = abs(value)
        if not miss <= max_row:  # NaN counts as the worst
            max_row, worst_constraint = miss, c.name
    objective = model.get_objective()
    return SolutionCheck(
        objective=0.0 if objective is None else objective.value(),
        max_bound_violation=max_bound,
        max_integrality_violation=max_integer,
        max_constraint_violation=max_row,
        worst_variable=worst_variable,
        worst_constraint=worst_constraint,
        missing_values=missing,
        unevaluated_constraints=unevaluated,
    )


# --- HiGHS, through highspy ---------------------------------------------------------------


@contextlib.contextmanager
def _native_stdout_discarded() -> Iterator[None]:
    """Discards what native code prints on file descriptor 1 meanwhile, so the banner HiGHS
    prints even with its output turned off never mixes with the caller's output."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def _run_highs(path: str, tmp: str, n_cols: int, n_rows: int, maximize: bool, time_limit: float | None) -> _Answer:
    import highspy

    highs_class: Any = highspy.Highs  # its constructor carries no annotations
    with _native_stdout_discarded():  # only the banner, before the output can be turned off
        h = highs_class()
        h.setOptionValue("output_flag", False)
    if time_limit is not None:
        h.setOptionValue("time_limit", float(time_limit))
    if h.readModel(path) == highspy.HighsStatus.kError:
        raise SolverError("HiGHS could not read the model file")
    if maximize:
        h.changeObjectiveSense(highspy.ObjSense.kMaximize)
    h.run()
    model_status = h.getModelStatus()
    words = h.modelStatusToString(model_status)
    statuses: dict[object, str] = {
        highspy.HighsModelStatus.kOptimal: "optimal",
        highspy.HighsModelStatus.kInfeasible: "infeasible",
        highspy.HighsModelStatus.kUnbounded: "unbounded",
        highspy.HighsModelStatus.kUnboundedOrInfeasible: "infeasible or unbounded",
        highspy.HighsModelStatus.kTimeLimit: "time limit",
    }
    status = statuses.get(model_status, "other")
    solution = h.getSolution()
    if not solution.value_valid or status in ("infeasible", "unbounded", "infeasible or unbounded"):
        return _Answer(status, words)
    duals = solution.dual_valid
    return _Answer(
        status,
        words,
        objective=h.getInfo().objective_function_value,
        col_values=list(solution.col_value),
        col_duals=list(solution.col_dual) if duals else None,
        row_activities=list(solution.row_value),
        row_duals=list(solution.row_dual) if duals else None,
    )


# --- CBC, through its program ---------------------------------------------------------------


def _run_cbc(path: str, tmp: str, n_cols: int, n_rows: int, maximize: bool, time_limit: float | None) -> _Answer:
    text = os.path.join(tmp, "cbc.txt")
    binary = os.path.join(tmp, "cbc.bin")
    command = [_program("cbc"), path]
    if maximize:
        command.append("-maximize")
    if time_limit is not None:
        command += ["-seconds", repr(float(time_limit))]
    command += ["-solve", "-saveSolution", binary, "-printingOptions", "all", "-solution", text]
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0 or not os.path.exists(text):
        raise SolverError(f"cbc failed (exit status {run.returncode}): {_last_line(run.stdout + run.stderr)}")
    with open(text, encoding="utf-8", errors="replace") as f:
        first = f.readline().strip()
        lines = f.readlines()
    words, _, objective_text = first.partition(" - objective value ")
    status = _cbc_status(words)
    if status in ("infeasible", "unbounded"):
        return _Answer(status, words)
    # The text file carries eight significant digits; the binary one every bit of the same
    # numbers. The binary numbers are used when both files agree to those eight digits.
    answer = _cbc_text(lines, n_cols, n_rows)
    exact = _cbc_binary(binary, n_cols, n_rows)
    if exact is not None and _agrees(exact.col_values, answer.col_values) and _agrees(
        exact.row_activities, answer.row_activities
    ):
        answer = exact
    answer.status, answer.solver_status = status, words
    try:
        reported: float | None = float(objective_text)
    except ValueError:
        reported = None
    saved = answer.objective
    answer.objective = reported
    if answer is exact and reported is not None and saved is not None:
        # The binary file may hold the objective of the minimisation cbc runs internally.
        for candidate in (saved, -saved):
            if math.isclose(candidate, reported, rel_tol=1e-7, abs_tol=1e-7):
                answer.objective = candidate
                break
    return answer


def _cbc_status(words: str) -> str:
    if words.startswith("Optimal"):
        return "optimal"
    if "nfeasible" in words:
        return "infeasible"
    if words.startswith("Unbounded"):
        return "unbounded"
    if words.startswith("Stopped on time"):
        return "time limit"
    return "other"


_CBC_LINE = re.compile(r"^\s*(?:\*\*)?\s*(\d+)\s+([CX])(\d+)\s+(\S+)\s+(\S+)")


def _cbc_text(lines: list[str], n_cols: int, n_rows: int) -> _Answer:
    col_values = [0.0] * n_cols
    col_duals = [0.0] * n_cols
    activities = [0.0] * n_rows
    row_duals = [0.0] * n_rows
    for line in lines:
        match = _CBC_LINE.match(line)
        if match is None:
            continue
        _, kind, number, value, dual = match.groups()
        j = int(number)
        if kind == "X" and j < n_cols:
            col_values[j], col_duals[j] = float(value), float(dual)
        elif kind == "C" and j < n_rows:
            activities[j], row_duals[j] = float(value), float(dual)
    return _Answer("other", "", None, col_values, col_duals, activities, row_duals)


def _cbc_binary(path: str, n_cols: int, n_rows: int) -> _Answer | None:
    """Reads the solution file cbc saves in binary: the row and column counts (two native
    ints), the objective value, then row activities, row duals, column values and reduced costs
    (native doubles). None when the file is missing or its counts are not the model's."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    header = struct.calcsize("=iid")
    expected = header + 8 * (2 * n_rows + 2 * n_cols)
    if len(data) != expected or struct.unpack_from("=ii", data) != (n_rows, n_cols):
        return None
    (objective,) = struct.unpack_from("=d", data, 8)
    numbers = struct.unpack_from(f"={2 * (n_rows + n_cols)}d", data, header)
    r, c = n_rows, n_cols
    return _Answer(
        "other",
        "",
        objective,
        numbers[2 * r : 2 * r + c],
        numbers[2 * r + c :],
        numbers[:r],
        numbers[r : 2 * r],
    )


def _agrees(exact: Sequence[float] | None, rounded: Sequence[float] | None) -> bool:
    """Whether numbers printed with eight significant digits are roundings of `exact`."""
    if exact is None or rounded is None or len(exact) != len(rounded):
        return False
    return all(math.isclose(a, b, rel_tol=1e-7, abs_tol=1e-7) for a, b in zip(exact, rounded))


# --- GLPK, through its program ---------------------------------------------------------------


def _run_glpk(path: str, tmp: str, n_cols: int, n_rows: int, maximize: bool, time_limit: float | None) -> _Answer:
    raw = os.path.join(tmp, "glpk.txt")
    command = [_program("glpk"), "--freemps", path, "--max" if maximize else "--min", "-w", raw]
    if time_limit is not None:
        command += ["--tmlim", str(max(1, math.ceil(time_limit)))]
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0 or not os.path.exists(raw):
        raise SolverError(f"glpsol failed (exit status {run.returncode}): {_last_line(run.stdout + run.stderr)}")
    return _glpk_raw(raw, n_cols, n_rows, run.stdout)


def _glpk_raw(path: str, n_cols: int, n_rows: int, log: str) -> _Answer:
    """Reads glpsol's plain solution file: an "s" line with the kind of solution, the counts,
    its status and objective, then "i" lines for rows and "j" lines for columns."""
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = [line.split() for line in f]
    head = next((t for t in lines if t and t[0] == "s"), None)
    if head is None:
        raise SolverError("glpsol wrote a solution file without a status line")
    kind, m, n = head[1], int(head[2]), int(head[3])
    if n != n_cols or m not in (n_rows, n_rows + 1):
        raise SolverError(
            f"glpsol reports {m} rows and {n} columns for a model of {n_rows} rows and {n_cols} columns"
        )
    skip = m - n_rows  # 1 when glpsol kept the objective row, which comes first
    if kind == "mip":
        code = head[4]
        words = {"o": "INTEGER OPTIMAL", "f": "INTEGER FEASIBLE", "n": "INTEGER EMPTY"}.get(code, "INTEGER UNDEFINED")
        status: str = "optimal" if code == "o" else "infeasible" if code == "n" else "other"
        has_solution = code in ("o", "f")
        objective = float(head[5])
    else:
        primal, dual_status = head[4], head[5]
        words = f"primal {primal}, dual {dual_status}"
        if primal == "f" and dual_status == "f":
            status = "optimal"
        elif primal == "n":
            status = "infeasible"
        elif dual_status == "n":
            status = "unbounded"
        else:
            status = "other"
        has_solution = primal == "f"
        objective = float(head[6])
    # glpsol's last message in capitals says more than the codes of an undefined solution.
    messages = [line.strip() for line in log.splitlines() if _GLPK_MESSAGE.fullmatch(line.strip())]
    if messages:
        words = messages[-1]
    if "TIME LIMIT EXCEEDED" in log and status != "optimal":
        status = "time limit"
    elif status == "other" and "NO PRIMAL FEASIBLE SOLUTION" in log:
        status, has_solution = "infeasible", False
    elif status == "other" and "UNBOUNDED" in log:
        status, has_solution = "unbounded", False
    elif status == "other" and "NO DUAL FEASIBLE SOLUTION" in log:
        status, has_solution = "infeasible or unbounded", False
    if not has_solution or status in ("infeasible", "unbounded"):
        return _Answer(status, words)
    col_values = [0.0] * n_cols
    activities = [0.0] * n_rows
    col_duals: list[float] | None = None if kind == "mip" else [0.0] * n_cols
    row_duals: list[float] | None = None if kind == "mip" else [0.0] * n_rows
    # Row and column lines: "i/j index value" for a MIP, "i/j index status value dual" else.
    for t in lines:
        if not t or t[0] not in ("i", "j"):
            continue
        index = int(t[1]) - 1
        value = float(t[2] if kind == "mip" else t[3])
        dual = None if kind == "mip" else float(t[4])
        if t[0] == "j":
            col_values[index] = value
            if col_duals is not None and dual is not None:
                col_duals[index] = dual
        elif index >= skip:
            activities[index - skip] = value
            if row_duals is not None and dual is not None:
                row_duals[index - skip] = dual
    return _Answer(status, words, objective, col_values, col_duals, activities, row_duals)


_GLPK_MESSAGE = re.compile(r"[A-Z][A-Z ;]*(SOLUTION|FOUND|EXCEEDED|TERMINATED)[A-Z ;]*")


def _bound_open_integers(path: str, model: Model, columns: Sequence[str]) -> None:
    """Gives every integer column without an upper bound an explicit PL bound in the file.

    glpsol takes an integer column whose BOUNDS lines set no upper bound (the file has an LO
    line for it) as binary, bounded by 1; a PL line makes its upper bound infinite again while
    keeping its lower bound.
    """
    used = model.list_variables_by_ids(model.used_variable_ids())
    lines = [
        f" PL BND       {name}\n"
        for name, v in zip(columns, used)
        if v.category is not Category.Continuous and v.ub == math.inf and math.isfinite(v.lb)
    ]
    if not lines:
        return
    end = b"ENDATA\n"
    with open(path, "r+b") as f:
        f.seek(-len(end), os.SEEK_END)
        if f.read() != end:
            raise SolverError("the model file does not end with ENDATA")
        f.seek(-len(end), os.SEEK_END)
        f.write("".join(lines).encode() + end)


_PROGRAMS = {"cbc": "cbc", "glpk": "glpsol"}


def _program(solver: str) -> str:
    found = shutil.which(_PROGRAMS[solver])
    if found is None:
        raise SolverError(INSTALL_HINTS[solver])
    return found


def _last_line(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else "no output"


_RUNNERS = {"highs": _run_highs, "cbc": _run_cbc, "glpk": _run_glpk}
