"""Solving a Model with a real solver, and checking the answer with the model's own evaluation.

The solvers live in `zemlo.solvers`, one module each: HiGHS gets the model's arrays in memory,
CBC and GLPK an MPS file with generated names. Each answers by position (columns in variable id
order, rows in constraint order); the answer is stored in the model in one pass by the native
core and then checked there, also in one pass: bounds and integrality of every variable, every
row against its right-hand side, the objective evaluated at the stored values.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any

from zemlo import _native
from zemlo._ondrel import Model
from zemlo.solvers import SOLVERS, STATUSES, Settings, SolverError, get
from zemlo.solvers import require as _require

if TYPE_CHECKING:
    import sys

    if sys.version_info >= (3, 12):
        from collections.abc import Buffer
    else:
        from typing_extensions import Buffer

__all__ = ["SOLVERS", "STATUSES", "SolutionCheck", "SolveResult", "SolverError", "check_solution", "require", "solve"]


@dataclass(frozen=True)
class SolutionCheck:
    """The stored solution of a model measured against the model itself.

    `objective` is the objective expression evaluated at the stored values (its constant
    included; None when a variable in it has no value, 0.0 without an objective). The
    violations are absolute: how far the worst variable lies outside its bounds, how far the
    worst Integer or Binary variable lies from an integer, and by how much the worst
    constraint's left-hand side misses its right-hand side; `worst_variable` and
    `worst_constraint` name where the bound and constraint maxima occur (None when they are 0).
    A NaN or infinite value is a violation (NaN or infinite), not an error. `missing_values`
    counts variables without a value and `unevaluated_constraints` the constraints that cannot
    be evaluated for that reason.
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
        """Whether every variable has a value and no violation exceeds `tolerance` (a NaN
        violation exceeds every tolerance)."""
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
    "time limit", "interrupted" (Ctrl-C stopped HiGHS) and "other"; `solver_status` is the
    solver's own word for it.
    `solver_objective` is the objective value the solver reported, the model's objective
    constant included. `values` maps each variable name to the value the solve stored (empty
    when the solver gave no solution); it is made on first use. `check` measures the stored
    solution against the model (None without a solution); `objective` and the `max_*`
    properties read from it. `seconds` is the wall-clock time of handing the model to the
    solver, its run and reading its answer.
    """

    status: str
    solver: str
    solver_status: str
    solver_objective: float | None
    check: SolutionCheck | None
    seconds: float
    # The model and the column values stored in it, by variable id, for `values`.
    _stored: tuple[Model, Buffer] | None = field(default=None, repr=False, compare=False)

    @cached_property
    def values(self) -> dict[str, float]:
        """Variable name -> the value the solve stored (empty without a solution)."""
        if self._stored is None:
            return {}
        model, col_values = self._stored
        numbers = memoryview(col_values).cast("B").cast("d").tolist()
        return {v.name: x for v, x in zip(model.list_variables(), numbers)}

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


def solve(
    model: Model,
    solver: str = "highs",
    time_limit: float | None = None,
    *,
    mip_gap: float | None = None,
    threads: int | None = None,
    verbose: bool = False,
    options: dict[str, Any] | None = None,
) -> SolveResult:
    """Solve `model` with `solver` ("highs", "cbc" or "glpk") and check the answer.

    HiGHS comes with the highspy package (`pip install 'zemlo[solve]'`) and is handed the
    model's arrays; CBC and GLPK are run as their programs `cbc` and `glpsol` on an MPS file.
    What the solver reports is stored in the model: variable values and reduced costs,
    constraint duals and slacks (right-hand side minus the row's activity). HiGHS gives every
    variable a value, also those no row or objective uses; with CBC and GLPK those keep their
    value or get `Variable.value_or_default()`. The stored solution is then checked with
    `check_solution`. When the solver gives no solution (infeasible, unbounded), the model's
    stored values stay as they were.

    `time_limit` is in seconds, `mip_gap` the relative gap at which a MIP search may stop,
    `threads` the number of threads the solver may use (not GLPK), `verbose` sends the
    solver's log to standard output, and `options` are further settings by the solver's own
    names (any HiGHS option; for CBC and GLPK the parameters listed in
    `zemlo.solvers.cbc.OPTIONS` and `zemlo.solvers.glpk.OPTIONS`).

    Ctrl-C (SIGINT) while HiGHS runs, in the main thread with Python's own SIGINT handler in
    force, stops HiGHS at its next check (well within a second) and returns what it had with
    the status "interrupted" (and the solution, if it found one, stored and checked); a
    KeyboardInterrupt is raised instead where the signal comes before or after HiGHS runs, or
    while CBC or GLPK run.

    Returns a SolveResult. Raises TypeError for a model that is not a Model or a setting of
    the wrong type; ValueError for an unknown solver, a setting out of range, or an option the
    solver does not take, all before any work, and for a NaN bound or objective coefficient
    (HiGHS, which would take it); SolverError when the solver is missing or fails;
    RuntimeError when the model cannot be written for CBC or GLPK (repeated names).
    """
    _expect_model(model)
    backend = get(solver)
    settings = Settings(time_limit, mip_gap, threads, verbose, {} if options is None else options)
    _require(solver)
    started = time.perf_counter()
    answer = backend.solve(model, settings)
    seconds = time.perf_counter() - started
    if answer.col_values is None:
        return SolveResult(answer.status, solver, answer.solver_status, answer.objective, None, seconds)
    _native.store_solution(model, answer.col_values, answer.col_duals, answer.row_activities, answer.row_duals)
    check = check_solution(model)
    return SolveResult(
        answer.status, solver, answer.solver_status, answer.objective, check, seconds, (model, answer.col_values)
    )


def require(solver: str) -> None:
    """Raises SolverError, saying how to get it, when `solver` is not installed."""
    _require(solver)


def check_solution(model: Model) -> SolutionCheck:
    """Measure the solution stored in `model` against the model.

    Bounds and integrality are those the variables' own tests measure, with integrality of
    Binary variables (which the variable's own test leaves out) measured as the distance to
    the nearest integer; each constraint's left-hand side is evaluated and compared with its
    right-hand side and sense; the objective is evaluated with its constant. A NaN or infinite
    value counts as a violation. Returns a SolutionCheck; nothing in the model changes.
    """
    _expect_model(model)
    objective, max_bound, max_integer, max_row, worst_var, worst_row, missing, unevaluated = (
        _native.check_solution(model)
    )
    return SolutionCheck(
        objective=objective,
        max_bound_violation=max_bound,
        max_integrality_violation=max_integer,
        max_constraint_violation=max_row,
        worst_variable=None if worst_var is None else model.get_variable(worst_var).name,
        worst_constraint=None if worst_row is None else _native.rows_of(model, worst_row, 1)[0].name,
        missing_values=missing,
        unevaluated_constraints=unevaluated,
    )


def _expect_model(model: object) -> None:
    if not isinstance(model, Model):
        raise TypeError(f"expected a zemlo Model, got {type(model).__name__}")
