"""The solvers `zemlo.solve` can hand a model to, one module each behind one small interface.

A solver takes a Model and the checked Settings of the request and returns an Answer by
position: columns in variable id order (every variable of the model is a column), rows in
constraint order. How the model reaches the solver is the solver's own business: HiGHS gets
the model's arrays in memory (`zemlo.solvers.highs`), CBC and GLPK get an MPS file with
generated names and are run as programs (`zemlo.solvers.cbc`, `zemlo.solvers.glpk`). A solver
checks the settings it alone knows (option names, values) before it does any work.

`get(name)` gives the solver of that name, `require(name)` the same after making sure it is
installed (SolverError with the way to get it when not).
"""

from __future__ import annotations

import importlib
import math
import numbers
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from zemlo._ondrel import Model

    if sys.version_info >= (3, 12):
        from collections.abc import Buffer
    else:
        from typing_extensions import Buffer

__all__ = ["SOLVERS", "STATUSES", "Answer", "Settings", "Solver", "SolverError", "get", "require"]

SOLVERS = ("highs", "cbc", "glpk")

# The statuses an Answer (and so a SolveResult) can have.
STATUSES = ("optimal", "infeasible", "unbounded", "infeasible or unbounded", "time limit", "interrupted", "other")


class SolverError(RuntimeError):
    """A solver is missing, failed to run, or left an answer that cannot be read."""


@dataclass(frozen=True)
class Settings:
    """What the caller asks of any solver, checked when made.

    `time_limit` in seconds (positive, finite), `mip_gap` the relative gap at which a MIP
    search may stop (finite, not negative), `threads` how many threads the solver may use (at
    least 1), `verbose` whether the solver's log goes to standard output, `options` settings
    by the solver's own names. None leaves the solver's default. A value of the wrong type
    raises TypeError, a value out of range ValueError.
    """

    time_limit: float | None = None
    mip_gap: float | None = None
    threads: int | None = None
    verbose: bool = False
    options: Mapping[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        limit, gap, threads, options = self.time_limit, self.mip_gap, self.threads, self.options
        if limit is not None:
            if not _is_real(limit):
                raise TypeError(f"time limit must be a number of seconds, not {type(limit).__name__}")
            if not (limit > 0 and math.isfinite(limit)):
                raise ValueError(f"time limit must be a positive number of seconds, not {limit!r}")
            object.__setattr__(self, "time_limit", float(limit))
        if gap is not None:
            if not _is_real(gap):
                raise TypeError(f"mip gap must be a number, not {type(gap).__name__}")
            if not (gap >= 0 and math.isfinite(gap)):
                raise ValueError(f"mip gap must be a finite number of at least 0, not {gap!r}")
            object.__setattr__(self, "mip_gap", float(gap))
        if threads is not None:
            if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
                raise TypeError(f"threads must be an int, not {type(threads).__name__}")
            if threads < 1:
                raise ValueError(f"threads must be at least 1, not {threads!r}")
            object.__setattr__(self, "threads", int(threads))
        object.__setattr__(self, "verbose", bool(self.verbose))
        if not isinstance(options, Mapping):
            raise TypeError(f"options must be a dict of solver options by name, not {type(options).__name__}")
        for name in options:
            if not isinstance(name, str):
                raise TypeError(f"solver option names are str, not {type(name).__name__} ({name!r})")
        object.__setattr__(self, "options", dict(options))


def _is_real(x: object) -> bool:
    return isinstance(x, numbers.Real) and not isinstance(x, bool)


@dataclass
class Answer:
    """A solver's answer by position: columns in variable id order, rows in constraint order.

    `status` is one of STATUSES and `solver_status` the solver's own word for it. `objective`
    is the objective value the solver reports, the model's objective constant included. The
    solution parts are float64 buffers (array.array("d") or NumPy arrays) of one entry per
    variable or constraint: values and reduced costs of the columns, activities and duals of
    the rows; `col_values` is None when the solver gives no solution, a dual part None when it
    gives no duals.
    """

    status: str
    solver_status: str
    objective: float | None = None
    col_values: Buffer | None = None
    col_duals: Buffer | None = None
    row_activities: Buffer | None = None
    row_duals: Buffer | None = None


class Solver(Protocol):
    """One solver: its name, how to get it, whether it is here, and solving."""

    name: str
    install_hint: str  # how to get the solver when it is missing

    def available(self) -> bool:
        """Whether the solver is installed."""
        ...

    def solve(self, model: Model, settings: Settings) -> Answer:
        """Solves `model`. Raises ValueError for settings this solver does not take (before any
        work on the model) and SolverError when the solver fails or its answer cannot be read."""
        ...


def get(name: str) -> Solver:
    """The solver called `name` ("highs", "cbc" or "glpk"); ValueError for another name."""
    if name not in SOLVERS:
        raise ValueError(f"unknown solver {name!r}; choose one of {', '.join(SOLVERS)}")
    solver: Solver = importlib.import_module(f"zemlo.solvers.{name}").SOLVER
    return solver


def require(name: str) -> Solver:
    """The solver called `name`; SolverError, saying how to get it, when it is not installed."""
    solver = get(name)
    if not solver.available():
        raise SolverError(solver.install_hint)
    return solver
