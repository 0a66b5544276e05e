"""GLPK through its `glpsol` program, given the model as an MPS file with generated names.

glpsol reads an integer column whose BOUNDS lines set no upper bound as binary; the writer gives
each such column a PL line, which keeps the upper bound infinite.
"""

from __future__ import annotations

import math
import os
import re
import shutil
import subprocess
import tempfile

from zemlo._ondrel import Model, ObjSense
from zemlo.solvers import Answer, Settings, SolverError
from zemlo.solvers._program import (
    FileAnswer,
    Option,
    by_id,
    last_line,
    option_arguments,
    program,
    show_log,
    unreadable,
    write_model_file,
)

__all__ = ["OPTIONS", "SOLVER", "Glpk"]

_SWITCHES = (
    "simplex interior scale noscale luf btf ft cbg cgr primal dual std adv bib steep nosteep relax "
    "norelax flip presol nopresol exact xcheck nord qmd amd symamd nomip first last mostf drtom pcost "
    "dfs bfs bestp bestb intopt nointopt binarize fpump gomory mir cover clique cuts"
)
# The glpsol options an options dict may set: switches (given when True) and two numbers.
OPTIONS = {
    **{name: Option(bool) for name in _SWITCHES.split()},
    "memlim": Option(int, 1, 2147483647),  # megabytes
    "proxy": Option(int, 1, 2147483647),  # seconds of proximity search
}
# glpsol options the named settings set.
_NAMED = {"tmlim": "time_limit", "mipgap": "mip_gap"}


class Glpk:
    """GLPK, run as the program `glpsol`."""

    name = "glpk"
    install_hint = "the glpk solver needs the glpsol program: apt-get install glpk-utils"

    def available(self) -> bool:
        return shutil.which("glpsol") is not None

    def solve(self, model: Model, settings: Settings) -> Answer:
        if settings.threads is not None:
            raise ValueError("glpk runs on one thread: it takes no threads setting")
        arguments = option_arguments("glpk", OPTIONS, _NAMED, settings.options, "--")
        arguments.append("--max" if model.get_sense() is ObjSense.Maximize else "--min")
        if settings.time_limit is not None:
            arguments += ["--tmlim", str(max(1, math.ceil(settings.time_limit)))]
        if settings.mip_gap is not None:
            arguments += ["--mipgap", repr(settings.mip_gap)]
        executable = program("glpsol", self.install_hint)
        with tempfile.TemporaryDirectory(prefix="zemlo-glpk-") as tmp:
            path = os.path.join(tmp, "model.mps")
            columns, rows = write_model_file(model, path)
            raw = os.path.join(tmp, "glpk.txt")
            run = subprocess.run([executable, "--freemps", path, *arguments, "-w", raw], capture_output=True, text=True)
            if settings.verbose:
                show_log(run.stdout + run.stderr)
            if run.returncode != 0 or not os.path.exists(raw):
                raise SolverError(f"glpsol failed (exit status {run.returncode}): {last_line(run.stdout + run.stderr)}")
            answer = _raw(raw, columns, rows, run.stdout)
        return by_id(model, answer)


SOLVER = Glpk()


def _raw(path: str, n_cols: int, n_rows: int, log: str) -> FileAnswer:
    """Reads glpsol's plain solution file: an "s" line with the kind of solution, the counts,
    its status and objective, then "i" lines for rows and "j" lines for columns."""
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = [line.split() for line in f]
    at = [0]  # the number (from 1) of the line being read
    try:
        return _read_raw(lines, n_cols, n_rows, log, at)
    except (ValueError, IndexError):
        raise unreadable("glpsol", at[0], " ".join(lines[at[0] - 1])) from None


def _read_raw(lines: list[list[str]], n_cols: int, n_rows: int, log: str, at: list[int]) -> FileAnswer:
    head_at = next((k for k, t in enumerate(lines, start=1) if t and t[0] == "s"), None)
    if head_at is None:
        raise SolverError("glpsol wrote a solution file without a status line")
    at[0] = head_at
    head = lines[head_at - 1]
    kind, m, n = head[1], int(head[2]), int(head[3])
    if n != n_cols or m not in (n_rows, n_rows + 1):
        raise SolverError(
            f"glpsol reports {m} rows and {n} columns for a model of {n_rows} rows and {n_cols} columns"
        )
    status, words, has_solution, objective = _head_status(kind, head)
    status, words, has_solution = _status_from_log(log, status, words, has_solution)
    if not has_solution or status in ("infeasible", "unbounded"):
        return FileAnswer(status, words)
    col_values, activities = [0.0] * n_cols, [0.0] * n_rows
    col_duals = None if kind == "mip" else [0.0] * n_cols
    row_duals = None if kind == "mip" else [0.0] * n_rows
    _read_values(lines, kind, m - n_rows, (col_values, col_duals, activities, row_duals), at)
    return FileAnswer(status, words, objective, col_values, col_duals, activities, row_duals)


def _head_status(kind: str, head: list[str]) -> tuple[str, str, bool, float]:
    """(status, solver's words, whether there is a solution, objective) from the "s" line of a
    MIP ("s mip m n code objective") or of a basic solution ("s bas m n primal dual objective")."""
    if kind == "mip":
        code = head[4]
        words = {"o": "INTEGER OPTIMAL", "f": "INTEGER FEASIBLE", "n": "INTEGER EMPTY"}.get(code, "INTEGER UNDEFINED")
        status = "optimal" if code == "o" else "infeasible" if code == "n" else "other"
        return status, words, code in ("o", "f"), float(head[5])
    primal, dual_status = head[4], head[5]
    if primal == "f" and dual_status == "f":
        status = "optimal"
    elif primal == "n":
        status = "infeasible"
    elif dual_status == "n":
        status = "unbounded"
    else:
        status = "other"
    return status, f"primal {primal}, dual {dual_status}", primal == "f", float(head[6])


def _status_from_log(log: str, status: str, words: str, has_solution: bool) -> tuple[str, str, bool]:
    """glpsol's log says more than the codes of an undefined solution: its last message in
    capitals, a time limit, and why no solution was found."""
    messages = [line.strip() for line in log.splitlines() if _MESSAGE.fullmatch(line.strip())]
    if messages:
        words = messages[-1]
    if "TIME LIMIT EXCEEDED" in log and status != "optimal":
        return "time limit", words, has_solution
    if status != "other":
        return status, words, has_solution
    for message, found in (("NO PRIMAL FEASIBLE SOLUTION", "infeasible"), ("UNBOUNDED", "unbounded"),
                           ("NO DUAL FEASIBLE SOLUTION", "infeasible or unbounded")):
        if message in log:
            return found, words, False
    return status, words, has_solution


Values = tuple[list[float], list[float] | None, list[float], list[float] | None]


def _read_values(lines: list[list[str]], kind: str, skip: int, values: Values, at: list[int]) -> None:
    """The row and column lines into `values` (column values and duals, row activities and
    duals): "i/j index value" for a MIP, "i/j index status value dual" else. `skip` is 1 when
    glpsol kept the objective row, which comes first."""
    col_values, col_duals, activities, row_duals = values
    for number, t in enumerate(lines, start=1):
        if not t or t[0] not in ("i", "j"):
            continue
        at[0] = number
        index = int(t[1]) - 1
        if index < 0:
            raise IndexError(index)
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


_MESSAGE = re.compile(r"[A-Z][A-Z ;]*(SOLUTION|FOUND|EXCEEDED|TERMINATED)[A-Z ;]*")
