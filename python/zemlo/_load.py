"""Loading an MPS file into a Model: `load_mps` and the helpers the command shares with it."""

from __future__ import annotations

import os
import re
import warnings
from typing import Any

from zemlo import _native
from zemlo._ondrel import Model, ObjSense

__all__ = ["load_lp", "load_mps"]

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


def read_lp_file(
    path: str | os.PathLike[str], *, ranges: bool = False, ranges_option: str = "ranges=True"
) -> tuple[Model, dict[str, Any]]:
    """The Model in the LP file at `path` and what the read met (see `load_lp`); the command
    reads LP files through this too. OS errors come as OSError naming the path; a refused
    ranged constraint names the option as `ranges_option`."""
    name = os.fspath(path)
    try:
        return _native.load_lp(name, ranges)
    except RuntimeError as exc:
        error = _os_error(exc, name)
        if error is exc and str(exc).endswith(RANGES_OPTION):
            error = RuntimeError(str(exc).removesuffix(RANGES_OPTION) + ranges_option)
        raise error from None


def load_lp(path: str | os.PathLike[str], *, ranges: bool = False) -> Model:
    """Read a CPLEX LP file into a new Model.

    `path` is a str or os.PathLike naming an LP file, which may be gzip-compressed (told from
    its first bytes, not its name); "-" reads standard input. The file is read once, as a
    stream, so pipes and FIFOs work too.

    What the file holds: a first line "\\* NAME *\\" (as `write_lp` writes it) or
    "\\Problem name: NAME" names the model. The objective section (Minimize or Maximize, also
    min, max, minimum, maximum, minimise, maximise, in any letter case) gives the sense, the
    objective's name (an optional label "obj:"), its terms and, from a number without a
    variable, its constant. The constraints follow "Subject To" (or "such that", "st", "s.t.",
    "st."), each with an optional label, over any number of lines; a number on the left-hand
    side moves to the right, and "3 >= x" reads as "x <= 3". Senses are <, <=, =<, >, >=, =>
    and =. The Bounds section sets bounds ("x <= 4", "-2 <= x <= 5", "x = 3", "x free",
    "-inf <= x"; a later bound of the same variable wins, and an upper bound below zero keeps
    the lower bound 0 as LP files mean it). Generals (general, integer, gen) make variables
    Integer, Binaries (binary, bin) Integer in [0, 1]. An SOS section gives SOS groups
    ("s1: S1:: x:1 y:2", its label as the group's key). Comments run from a backslash to the end
    of the line, or between "\\*" and "*\\" across lines. Keywords are recognised at the start
    of a line in any letter case; the file ends with End. A coefficient may touch its variable
    ("3x") unless the name could be read as an exponent ("3e1x" is refused).

    Variables come in the order the file first names them: in the objective, the constraints,
    then the Bounds, Generals, Binaries and SOS sections, which declare a variable they name for
    the first time (LP files declare variables there that no constraint uses). Where the Bounds,
    Generals or Binaries section lists variables in another order, they take the order nearest
    to that which the listings agree with: the LP writer lists them in variable order, so a
    written model reads back in its own order and writes the same bytes again. A variable is
    continuous in [0, +inf) unless a section says otherwise. Constraints without a label, or
    whose label begins with "_", get automatic names (_C1, _C2, ...), so a file written from
    unnamed constraints reads back as it was written.

    A constraint with two senses ("-1 <= x + y <= 1", "5 >= x >= 2") is refused unless
    `ranges=True`. Then it becomes, as `load_mps` reads RANGES, the row minus a new variable
    "<row>_range" equal to 0, the variable bounded by the two ends (a digit is appended to the
    name should a variable have it); the range variables come after the file's variables, in
    row order. Ends that are equal make an equality; an infinite end the one-sided row of the
    other.

    The read stops at the first thing it cannot take, with one RuntimeError naming the line,
    the column and the token ("line 12, column 7: ..."): quadratic terms ("[", "^"), indicator
    constraints ("->"), semi-continuous, lazy constraint and user cut sections, unknown
    sections, malformed numbers and infinite ones where a finite number is needed, a constraint
    without a sense, a constraint name used twice, a file with neither an objective nor a
    constraint section (not an LP file) or without its End line, and lines that are not UTF-8
    text or longer than 1 MiB.

    Raises OSError for a file that cannot be opened or read. On failure no Model is returned.
    """
    model, _facts = read_lp_file(path, ranges=ranges)
    return model


_OS_ERROR = re.compile(r"Cannot read file: (.*) \(os error (\d+)\)")


def _os_error(exc: RuntimeError, path: str) -> Exception:
    """An error of the operating system as the OSError it is (FileNotFoundError for a missing
    file, ...), naming the path; any other failure as it was."""
    match = _OS_ERROR.fullmatch(str(exc))
    if match is None:
        return exc
    return OSError(int(match.group(2)), match.group(1), path)
