"""Loading an MPS file into a Model: `load_mps` and the helpers the command shares with it."""

from __future__ import annotations

import os
import re
import warnings
from typing import Any

from zemlo import _native
from zemlo._ondrel import Model, ObjSense

__all__ = ["load_mps"]

# What the read said it passed over, as the facts name it: what, and where it was not declared.
SKIPPED = (
    ("undeclared_coefficient_rows", "coefficients of rows", "ROWS"),
    ("undeclared_rhs_rows", "right-hand sides of rows", "ROWS"),
    ("undeclared_range_rows", "ranges of rows", "ROWS"),
    ("undeclared_bound_columns", "bounds of columns", "COLUMNS"),
)

# The native message names the option that reads ranges in words; each caller names it as its
# user gives it.
RANGES_OPTION = "the ranges option"


def read_file(
    path: str | os.PathLike[str],
    *,
    sense: ObjSense | None = None,
    drop_cons_names: bool = False,
    lenient: bool = False,
    ranges: bool = False,
    describe: bool = False,
    ranges_option: str = "ranges=True",
) -> tuple[Model, dict[str, Any]]:
    """The Model in the MPS file at `path` and what the read met (see `load_mps`); the
    command's subcommands read files through this too. OS errors come as OSError naming the
    path; a refused RANGES section names the option as `ranges_option`."""
    if sense is not None and not isinstance(sense, ObjSense):
        raise TypeError(f"sense must be an ObjSense or None, not {type(sense).__name__}")
    code = None if sense is None else (1 if sense is ObjSense.Maximize else 0)
    name = os.fspath(path)
    try:
        return _native.load_mps(name, code, drop_cons_names, lenient, ranges, describe)
    except RuntimeError as exc:
        error = _os_error(exc, name)
        if error is exc and str(exc).endswith(RANGES_OPTION):
            error = RuntimeError(str(exc).removesuffix(RANGES_OPTION) + ranges_option)
        raise error from None


def skipped(facts: dict[str, Any]) -> list[str]:
    """What a lenient read passed over, one phrase each: "3 coefficients of rows ROWS does not
    declare (LIMM2, ...), the first on line 12"."""
    phrases = []
    for key, what, where in SKIPPED:
        count, names, line = facts[key]
        if count:
            more = ", ..." if count > len(names) else ""
            phrases.append(
                f"{count} {what} {where} does not declare ({', '.join(names)}{more}), the first on line {line}"
            )
    return phrases


def load_mps(
    path: str | os.PathLike[str],
    *,
    sense: ObjSense | None = None,
    drop_cons_names: bool = False,
    lenient: bool = False,
    ranges: bool = False,
) -> Model:
    """Read an MPS file into a new Model.

    `path` is a str or os.PathLike naming a fixed or free MPS file, which may be
    gzip-compressed (told from its first bytes, not its name); "-" reads standard input. The
    file is read once, as a stream, so pipes and FIFOs work too. The Model gets the file's
    problem name, its columns as variables (names, bounds, Integer or Continuous), its objective
    row as the objective (with the row's name, and as its constant the negated right-hand side
    the file gives the objective row) and its rows as constraints (names, senses, right-hand
    sides), in file order. Rows named like automatic names (beginning with "_") get automatic
    names, so a file written from unnamed constraints reads back as it was written.

    The objective sense comes from the file unless `sense` is given: an OBJSENSE section before
    ROWS (MAX, MAXIMIZE, MIN or MINIMIZE) sets it; a "*SENSE:Maximize" comment line, which
    `write_mps` writes when it negated a maximised objective, makes the Model maximise the
    objective negated back; otherwise the Model minimises. An explicit `sense` (an ObjSense)
    overrides the file: the objective is then taken as written.

    With `drop_cons_names` the constraints get automatic names (_C1, _C2, ...) and the
    objective no name.

    The read is strict: it stops at the first thing it cannot take as the model the file
    means, with one RuntimeError naming the section, the line and the token ("COLUMNS line 12:
    row 'LIMM2' is not declared in ROWS"): a row or column used but not declared, a number that
    is NaN or none at all, an unknown row or bound type, a line that is not UTF-8 text or longer
    than 1 MiB, a file without a ROWS section (no MPS file at all). With `lenient=True` the
    file is read as `read_mps` reads it: coefficients, right-hand sides and ranges of undeclared
    rows and bounds of undeclared columns are passed over (a UserWarning says how many, and the
    first names), NaN is taken, and a file without sections is an empty model. Lines that are
    not UTF-8 text or longer than 1 MiB are refused either way.

    A RANGES section is refused unless `ranges=True`. Then a row with range R and right-hand
    side b holds its activity in [b, b + R] (E row, R >= 0), [b + R, b] (E row, R < 0),
    [b - |R|, b] (L row) or [b, b + |R|] (G row), as solvers read it, and the Model holds it as
    the row minus a new variable "<row>_range" equal to 0, the variable bounded by that
    interval (a digit is appended to the name should a column have it). The variable's value is
    the row's activity, the row's dual is the ranged row's dual. The variables come after the
    file's columns, in row order. A range of one point makes an E row; an infinite range the L
    or G row of its finite side.

    Raises OSError for a file that cannot be opened or read, RuntimeError for what the read
    refuses, and ValueError when the file holds what a Model cannot take (a coefficient or
    right-hand side that is not finite), naming the row. On failure no Model is returned.
    """
    model, facts = read_file(path, sense=sense, drop_cons_names=drop_cons_names, lenient=lenient, ranges=ranges)
    phrases = skipped(facts)
    if phrases:
        warnings.warn(f"{os.fspath(path)}: passed over " + "; ".join(phrases), UserWarning, stacklevel=2)
    return model


_OS_ERROR = re.compile(r"Cannot read file: (.*) \(os error (\d+)\)")


def _os_error(exc: RuntimeError, path: str) -> Exception:
    """An error of the operating system as the OSError it is (FileNotFoundError for a missing
    file, ...), naming the path; any other failure as it was."""
    match = _OS_ERROR.fullmatch(str(exc))
    if match is None:
        return exc
    return OSError(int(match.group(2)), match.group(1), path)
