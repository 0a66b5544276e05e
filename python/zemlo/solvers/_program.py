"""What the solvers run as programs share: the model file they read, the program itself, the
options they take by name, and their answer mapped back to the model.

The model is written as an MPS file with generated names: column j is the j-th used variable
(one that a row, the objective or an SOS group uses), row i the i-th constraint. The program's
answer comes back by file position and is spread over all variables by id; a variable the file
leaves out keeps its value, or gets `Variable.value_or_default()` when it has none, and a
reduced cost of 0 (it is in no row and not in the objective).
"""

from __future__ import annotations

import math
import numbers
import shutil
import sys
from array import array
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from zemlo import _native
from zemlo._ondrel import Model
from zemlo.solvers import Answer, SolverError


@dataclass
class FileAnswer:
    """A program's answer by file position: columns in file order, rows in constraint order."""

    status: str
    solver_status: str
    objective: float | None = None
    col_values: Sequence[float] | None = None
    col_duals: Sequence[float] | None = None
    row_activities: Sequence[float] | None = None
    row_duals: Sequence[float] | None = None


def write_model_file(model: Model, path: str) -> tuple[int, int]:
    """Writes `model` to `path` in fixed MPS with generated names, minimised (a maximised
    objective negated), as every reader takes it: an integer column without an upper bound gets
    a PL line (glpsol bounds it by 1 otherwise). The objective's constant is left out: `by_id`
    adds the model's. Returns the numbers of columns and rows in the file. RuntimeError when
    the model cannot be written."""
    _native.write_mps(model, path, mps_sense=1, mip=True, with_objsense=False, rename=True, model_name="MODEL",
                      obj_name="OBJ", constant_column=False)
    return len(model.used_variable_ids()), model.num_constraints


def by_id(model: Model, answer: FileAnswer) -> Answer:
    """The answer over every variable by id, its objective with the model's objective constant
    (which the file does not carry)."""
    if answer.col_values is None:
        return Answer(answer.status, answer.solver_status)
    objective = answer.objective
    if objective is not None:
        expression = model.get_objective()
        objective += 0.0 if expression is None else expression.constant
    used = model.used_variable_ids()
    n = model.num_variables
    if len(answer.col_values) != len(used):
        raise SolverError(f"the solver reports {len(answer.col_values)} columns for a file of {len(used)}")
    if len(used) == n:
        values = array("d", answer.col_values)
        duals = None if answer.col_duals is None else array("d", answer.col_duals)
    else:
        values = array("d", bytes(8 * n))
        for j, x in zip(used, answer.col_values):
            values[j] = x
        taken = set(used)
        unused = [j for j in range(n) if j not in taken]
        for j, v in zip(unused, model.list_variables_by_ids(unused)):
            values[j] = v.value_or_default()
        duals = None
        if answer.col_duals is not None:
            duals = array("d", bytes(8 * n))
            for j, d in zip(used, answer.col_duals):
                duals[j] = d
    return Answer(
        answer.status,
        answer.solver_status,
        objective,
        values,
        duals,
        None if answer.row_activities is None else array("d", answer.row_activities),
        None if answer.row_duals is None else array("d", answer.row_duals),
    )


def program(name: str, hint: str) -> str:
    """The path of the program `name`; SolverError with `hint` when it is not installed."""
    found = shutil.which(name)
    if found is None:
        raise SolverError(hint)
    return found


def unreadable(program: str, number: int, line: str) -> SolverError:
    """The error for a solution file the program wrote that is not what it writes: the line
    (its number, from 1, and at most 60 characters of it) where reading it stopped."""
    text = line.strip()
    if len(text) > 60:
        text = text[:57] + "..."
    return SolverError(f"{program} wrote a solution zemlo cannot read: line {number}: {text!r}")


def last_line(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else "no output"


def show_log(text: str) -> None:
    """The program's log on standard output (verbose requests)."""
    sys.stdout.write(text)
    sys.stdout.flush()


@dataclass(frozen=True)
class Option:
    """An option a program takes by name: a switch (`kind` bool: given when True), a number
    (float or int) within [low, high], or one of the words in `kind`."""

    kind: type | tuple[str, ...]
    low: float = -math.inf
    high: float = math.inf


def option_arguments(
    solver: str, table: Mapping[str, Option], named: Mapping[str, str], options: Mapping[str, Any], prefix: str
) -> list[str]:
    """The command-line arguments of `options` (prefix + name, then the value unless a
    switch). ValueError, naming the option, for a name the table lacks, a name a named setting
    covers (`named` maps it to that setting), or a value of the wrong kind or out of range."""
    arguments: list[str] = []
    for name, value in options.items():
        if name in named:
            raise ValueError(f"{solver} option {name!r} is set by {named[name]}; give it there")
        option = table.get(name)
        if option is None:
            raise ValueError(f"{solver} has no option {name!r}; it takes {', '.join(sorted(table))}")
        kind = option.kind
        if kind is bool:
            if not isinstance(value, bool):
                raise ValueError(f"{solver} option {name!r} is a switch: True or False, not {value!r}")
            if value:
                arguments.append(prefix + name)
            continue
        if isinstance(kind, tuple):
            if value not in kind:
                raise ValueError(f"{solver} option {name!r} is one of {', '.join(kind)}, not {value!r}")
            arguments += [prefix + name, str(value)]
            continue
        integral = kind is int
        fits = isinstance(value, numbers.Integral if integral else numbers.Real) and not isinstance(value, bool)
        if not fits or not (option.low <= value <= option.high):
            what = "an int" if integral else "a number"
            raise ValueError(
                f"{solver} option {name!r} is {what} from {option.low:g} to {option.high:g}, not {value!r}"
            )
        arguments += [prefix + name, str(int(value)) if integral else repr(float(value))]
    return arguments
