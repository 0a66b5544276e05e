"""CBC through its `cbc` program, given the model as an MPS file with generated names.

cbc writes its answer twice: as text with eight significant digits, and in binary with every
bit of the same numbers. The binary numbers are used when both agree to those eight digits.
"""

from __future__ import annotations

import math
import os
import re
import shutil
import struct
import subprocess
import tempfile
from collections.abc import Sequence

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

__all__ = ["OPTIONS", "SOLVER", "Cbc"]

# The cbc parameters an options dict may set, with what they take (cbc itself only warns about
# a value out of range and goes on without it).
OPTIONS = {
    "allowableGap": Option(float, 0.0),
    "cutoff": Option(float, -1.7976931348623157e308, 1.7976931348623157e308),
    "integerTolerance": Option(float, 1e-20, 0.5),
    "primalTolerance": Option(float, 1e-20),
    "dualTolerance": Option(float, 1e-20),
    "maxNodes": Option(int, 0, 2147483647),
    "maxSolutions": Option(int, 1, 2147483647),
    "randomCbcSeed": Option(int, 0, 2147483647),
    "randomSeed": Option(int, 0, 2147483647),
    "strategy": Option(int, 0, 2),
    "presolve": Option(("on", "off", "more")),
    "cuts": Option(("off", "on", "root", "ifmove", "forceOn")),
    "heuristics": Option(("off", "on")),
}
# cbc parameters the named settings set.
_NAMED = {"seconds": "time_limit", "sec": "time_limit", "ratioGap": "mip_gap", "threads": "threads"}


class Cbc:
    """CBC, run as the program `cbc`."""

    name = "cbc"
    install_hint = "the cbc solver needs the cbc program: apt-get install coinor-cbc"

    def available(self) -> bool:
        return shutil.which("cbc") is not None

    def solve(self, model: Model, settings: Settings) -> Answer:
        arguments = option_arguments("cbc", OPTIONS, _NAMED, settings.options, "-")
        if model.get_sense() is ObjSense.Maximize:
            arguments.insert(0, "-maximize")
        if settings.time_limit is not None:
            arguments += ["-seconds", repr(settings.time_limit)]
        if settings.mip_gap is not None:
            arguments += ["-ratioGap", repr(settings.mip_gap)]
        if settings.threads is not None:
            arguments += ["-threads", str(settings.threads)]
        executable = program("cbc", self.install_hint)
        with tempfile.TemporaryDirectory(prefix="zemlo-cbc-") as tmp:
            path = os.path.join(tmp, "model.mps")
            columns, rows = write_model_file(model, path)
            answer = _run(executable, path, tmp, arguments, columns, rows, settings.verbose)
        return by_id(model, answer)


SOLVER = Cbc()


def _run(
    executable: str, path: str, tmp: str, arguments: list[str], n_cols: int, n_rows: int, verbose: bool
) -> FileAnswer:
    text = os.path.join(tmp, "cbc.txt")
    binary = os.path.join(tmp, "cbc.bin")
    command = [executable, path, *arguments]
    command += ["-solve", "-saveSolution", binary, "-printingOptions", "all", "-solution", text]
    run = subprocess.run(command, capture_output=True, text=True)
    if verbose:
        show_log(run.stdout + run.stderr)
    if run.returncode != 0 or not os.path.exists(text):
        raise SolverError(f"cbc failed (exit status {run.returncode}): {last_line(run.stdout + run.stderr)}")
    with open(text, encoding="utf-8", errors="replace") as f:
        first = f.readline().strip()
        lines = f.readlines()
    words, found, objective_text = first.partition(" - objective value ")
    if not found:  # every status line cbc writes says "... - objective value ..."
        raise unreadable("cbc", 1, first)
    status = _status(words)
    if status in ("infeasible", "unbounded"):
        return FileAnswer(status, words)
    answer = _text(lines, n_cols, n_rows)
    exact = _binary(binary, n_cols, n_rows)
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


def _status(words: str) -> str:
    if words.startswith("Optimal"):
        return "optimal"
    if "nfeasible" in words:
        return "infeasible"
    if words.startswith("Unbounded"):
        return "unbounded"
    if words.startswith("Stopped on time"):
        return "time limit"
    return "other"


_LINE = re.compile(r"^\s*(?:\*\*)?\s*(\d+)\s+([CX])(\d+)\s+(\S+)\s+(\S+)")


def _text(lines: list[str], n_cols: int, n_rows: int) -> FileAnswer:
    col_values = [0.0] * n_cols
    col_duals = [0.0] * n_cols
    activities = [0.0] * n_rows
    row_duals = [0.0] * n_rows
    for k, line in enumerate(lines, start=2):  # after the status line
        match = _LINE.match(line)
        if match is None:
            continue
        _, kind, number, value, dual = match.groups()
        j = int(number)
        try:
            numbers = float(value), float(dual)
        except ValueError:
            raise unreadable("cbc", k, line) from None
        if kind == "X" and j < n_cols:
            col_values[j], col_duals[j] = numbers
        elif kind == "C" and j < n_rows:
            activities[j], row_duals[j] = numbers
    return FileAnswer("other", "", None, col_values, col_duals, activities, row_duals)


def _binary(path: str, n_cols: int, n_rows: int) -> FileAnswer | None:
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
    return FileAnswer(
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
