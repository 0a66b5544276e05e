"""The `zemlo` command: describe, convert and solve MPS and CPLEX LP files, and show a tour of the API.

Exit status: 0 on success, 1 when the work fails (a file that cannot be read or written, a
solver that fails or whose solution fails the check), 2 on a usage error. Every failure is one
line on standard error; `--debug` shows the traceback instead.
"""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import IO, Any, NoReturn

from zemlo._files import (
    DEFAULT_GZIP_LEVEL,
    LP_DUMMY_VAR_NAME,
    LP_MAX_NAME_LENGTH,
    check_output,
    format_of,
    model_name,
    output_file,
    write_model,
)
from zemlo._info import describe, lp_description, render
from zemlo._load import read_file, read_lp_file, skipped
from zemlo._names import has_line_break
from zemlo._ondrel import Model, ObjSense
from zemlo._solve import SOLVERS, SolverError, SolveResult, require, solve

PROG = "zemlo"
# Reading or writing files above this size reports its time on standard error.
LONG_WORK_BYTES = 4 << 20


class UsageError(Exception):
    """A command line that names something the command cannot do (exit status 2)."""


class ReadFailed(Exception):
    """A file that cannot be read as a model (exit status 1)."""


class _Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line on standard error."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _version() -> str:
    from zemlo import __version__

    return __version__


def build_parser() -> argparse.ArgumentParser:
    """The command's argument parser, with its four subcommands."""
    def common_options(default: Any) -> _Parser:
        # -q and --debug go before or after the command. Each parser gets its own actions: the
        # command's leave the value alone unless given, so the main parser's value stands.
        options = _Parser(add_help=False)
        options.add_argument("-q", "--quiet", action="store_true", default=default,
                             help="print no progress on standard error")
        options.add_argument("--debug", action="store_true", default=default,
                             help="show the traceback of a failure")
        return options

    common = common_options(argparse.SUPPRESS)
    parser = _Parser(
        prog=PROG,
        parents=[common_options(False)],
        description="Describe, convert and solve linear and mixed-integer models in MPS and CPLEX LP "
        "files (plain or gzip-compressed).",
        epilog="Run 'zemlo COMMAND --help' for the options of a command.",
    )
    parser.set_defaults(command=None)
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", parser_class=_Parser)

    for add in (_add_info, _add_convert, _add_solve, _add_demo):
        add(commands, common)
    return parser


Commands = Any  # argparse's subparsers action, whose class argparse keeps private


def _add_info(commands: Commands, common: _Parser) -> None:
    info = commands.add_parser(
        "info", parents=[common], help="sizes of a model file and what to check before solving it",
        description="Print the name, rows by sense, columns by category and bound kind, non-zeros "
        "and objective of an MPS or LP file, and notes on what a solver or an LP file may not take.",
    )
    info.add_argument("file", metavar="FILE", help=INPUT_HELP)
    format_option(info)
    info.add_argument("--json", action="store_true", help="print JSON for programs")
    info.set_defaults(command=cmd_info)


def _add_convert(commands: Commands, common: _Parser) -> None:
    convert = commands.add_parser(
        "convert", parents=[common], help="convert a model file to a CPLEX LP or MPS file",
        description="Load an MPS or LP file into a model and write it as a CPLEX LP file (OUT ending in "
        ".lp) or a fixed MPS file (OUT ending in .mps); either may end in .gz. An existing OUT is "
        "only replaced with --force.",
    )
    convert.add_argument("input", metavar="IN", help=INPUT_HELP)
    convert.add_argument("output", metavar="OUT", help="file to write: .lp, .mps, .lp.gz or .mps.gz")
    convert.add_argument("--force", action="store_true", help="replace OUT if it exists")
    convert.add_argument("--gzip-level", type=_gzip_level, metavar="N",
                         help=f"compress OUT ending in .gz at level N, 1 (fastest) to 9 (smallest); "
                         f"default {DEFAULT_GZIP_LEVEL}")
    convert.add_argument("--rename", action="store_true",
                         help="write generated names (X0000000, ... for columns, C0000000, ... for rows)")
    convert.add_argument("--relax", action="store_true", help="write integer columns as continuous ones")
    convert.add_argument("--obj-name", type=_name, metavar="NAME",
                         help="name of the objective row (default: the file's)")
    convert.add_argument("--model-name", type=_name, metavar="NAME",
                         help="MPS only: NAME line text (default: the file's)")
    convert.add_argument("--objsense", action="store_true",
                         help="MPS only: write an OBJSENSE section rather than negating a maximised objective")
    convert.add_argument("--max-name-length", type=_non_negative, default=LP_MAX_NAME_LENGTH, metavar="N",
                         help=f"LP only: fail on a column name longer than N bytes (default {LP_MAX_NAME_LENGTH})")
    convert.add_argument("--dummy-var-name", type=_name, default=LP_DUMMY_VAR_NAME, metavar="NAME",
                         help=f"LP only: variable used to write rows without coefficients (default {LP_DUMMY_VAR_NAME})")
    convert.add_argument("--drop-cons-names", action="store_true",
                         help="give the rows automatic names (_C1, _C2, ...) instead of the file's")
    read_options(convert)
    convert.set_defaults(command=cmd_convert)


def _add_solve(commands: Commands, common: _Parser) -> None:
    solve_ = commands.add_parser(
        "solve", parents=[common], help="solve a model file with a real solver and check the answer",
        description="Load an MPS or LP file, hand the model to a solver, store its answer in the model and "
        "check it against the model's own bounds, integrality and constraints. Exits with 1 when "
        "the solver fails or its solution misses the model by more than the tolerance.",
    )
    solve_.add_argument("file", metavar="FILE", help=INPUT_HELP)
    solve_.add_argument("--solver", choices=SOLVERS, default="highs",
                        help="highs (default, needs the highspy package), cbc or glpk (their programs)")
    solve_.add_argument("--time-limit", type=_positive, metavar="S", help="stop the solver after S seconds")
    solve_.add_argument("--solution", metavar="OUT",
                        help="write the solution to OUT: .csv or .json, may end in .gz")
    solve_.add_argument("--force", action="store_true", help="replace the --solution file if it exists")
    solve_.add_argument("--gzip-level", type=_gzip_level, metavar="N",
                        help=f"compress a --solution file ending in .gz at level N, 1 to 9; default {DEFAULT_GZIP_LEVEL}")
    solve_.add_argument("--tolerance", type=_non_negative_float, default=1e-6, metavar="T",
                        help="largest violation the check accepts (default 1e-6)")
    solve_.add_argument("--show", type=_non_negative, default=20, metavar="N",
                        help="print at most N non-zero values (default 20)")
    read_options(solve_)
    solve_.set_defaults(command=cmd_solve)


def _add_demo(commands: Commands, common: _Parser) -> None:
    demo = commands.add_parser(
        "demo", parents=[common], help="a short tour of the Python API",
        description="Build a small model, print what it holds, write it as LP and MPS files and "
        "read the MPS file back.",
    )
    demo.set_defaults(command=cmd_demo)


INPUT_HELP = "MPS or CPLEX LP file (told by .lp or .lp.gz), plain or gzip; - for standard input"


def format_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--format", choices=("mps", "lp"),
                        help="read the input as MPS or LP (default: LP for names ending in .lp or .lp.gz, else MPS)")


def read_options(parser: argparse.ArgumentParser) -> None:
    """The options of reading a file into a model."""
    format_option(parser)
    parser.add_argument("--ranges", action="store_true",
                        help="read a RANGES section: each ranged row gets a variable <row>_range bounded by its range")
    parser.add_argument("--lenient", action="store_true",
                        help="pass over (and report) coefficients, right-hand sides and bounds of rows and "
                        "columns the file does not declare, instead of refusing the file")


# Each option that takes a number says in one message what it takes, whatever is wrong with
# the value given: "argument --time-limit: must be a positive number of seconds: -5".


def _number(text: str, fits: Callable[[float], bool], what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and fits(value)):
        raise argparse.ArgumentTypeError(f"must be {what}: {text}")
    return value


def _whole(text: str, low: int, high: float, what: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = low - 1
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"must be {what}: {text}")
    return value


def _non_negative(text: str) -> int:
    return _whole(text, 0, math.inf, "a whole number of at least 0")


def _gzip_level(text: str) -> int:
    return _whole(text, 1, 9, "a whole number from 1 to 9")


def _name(text: str) -> str:
    if has_line_break(text):
        raise argparse.ArgumentTypeError(f"must not contain a line break or NUL character: {text!r}")
    return text


def _non_negative_float(text: str) -> float:
    return _number(text, lambda x: x >= 0, "a number of at least 0")


def _positive(text: str) -> float:
    return _number(text, lambda x: x > 0, "a positive number of seconds")


# --- progress and files ---------------------------------------------------------------------


class Progress:
    """Progress lines on standard error, unless quiet."""

    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet

    def say(self, message: str) -> None:
        """Prints "zemlo: MESSAGE" on standard error unless quiet."""
        if not self.quiet:
            print(f"{PROG}: {message}", file=sys.stderr, flush=True)


def size_text(n: int) -> str:
    """A byte count for people: 812 bytes, 12.3 kB, 4.6 MB."""
    if n < 1000:
        return f"{n} bytes"
    value = float(n)
    for unit in ("kB", "MB", "GB"):
        value /= 1000
        if value < 999.95:
            break
    return f"{value:.1f} {unit}"


def input_format(path: str, given: str | None) -> str:
    """"lp" or "mps": as given, else from the name."""
    if given is not None:
        return given
    return "lp" if path.lower().endswith((".lp", ".lp.gz")) else "mps"


def read_model(
    path: str,
    progress: Progress,
    drop_cons_names: bool = False,
    ranges: bool = False,
    lenient: bool = False,
    describe: bool = False,
    fmt: str | None = None,
) -> tuple[Model, dict[str, Any]]:
    """The model in the file at `path` ("-": standard input) and what the read met, with a
    progress line for a large file and one for what a lenient read passed over. The file is
    read as `fmt` ("mps" or "lp"), by default as its name says (see input_format)."""
    lp = input_format(path, fmt) == "lp"
    if lp and lenient:
        raise UsageError("--lenient applies to MPS input only")
    if lp and drop_cons_names:
        raise UsageError("--drop-cons-names applies to MPS input only")
    started = time.perf_counter()
    try:
        if lp:
            model, facts = read_lp_file(path, ranges=ranges, ranges_option="--ranges")
            if describe:
                facts = lp_description(model, facts)
        else:
            model, facts = read_file(path, drop_cons_names=drop_cons_names, ranges=ranges, lenient=lenient,
                                     describe=describe, ranges_option="--ranges")
    except (RuntimeError, ValueError) as exc:
        raise ReadFailed(f"{path}: {exc}") from exc
    size = facts["bytes"]
    if size > LONG_WORK_BYTES:
        progress.say(
            f"read {path} ({size_text(size)}) in {time.perf_counter() - started:.2f} s: "
            f"{model.num_constraints} rows, {model.num_variables} columns"
        )
    if not describe and not lp:
        for phrase in skipped(facts):
            progress.say(f"{path}: passed over {phrase}")
    return model, facts


def _check_output(path: str, force: bool, gzip_level: int | None, where: str) -> None:
    """Everything about an output file that can fail, checked before any work: an existing
    regular file (or one a link leads to) needs --force (a FIFO or device is written, not
    replaced), --gzip-level needs a .gz name, and the file must be writable (OSError naming it).
    """
    if os.path.isfile(path) and not force:
        raise UsageError(f"{path} exists; use --force to replace it")
    if gzip_level is not None and not path.lower().endswith(".gz"):
        raise UsageError(f"--gzip-level applies only to {where} ending in .gz")
    check_output(path, force=force)


def _format_of(path: str) -> str:
    try:
        return format_of(path)
    except ValueError:
        raise UsageError(f"{path}: cannot tell the format; OUT must end in .lp, .mps, .lp.gz or .mps.gz") from None


# --- commands --------------------------------------------------------------------------------


def cmd_info(args: argparse.Namespace, progress: Progress) -> int:
    """`zemlo info FILE [--json]`: prints the file's sizes and notes; returns the exit status."""
    # An MPS file is read leniently, so that what a strict read refuses is described.
    mps = input_format(args.file, args.format) == "mps"
    model, facts = read_model(args.file, progress, lenient=mps, describe=True, fmt=args.format)
    try:
        info = describe(args.file, model, facts)
    except RuntimeError as exc:
        raise ReadFailed(f"{args.file}: {exc}") from exc
    if args.json:
        json.dump(info.as_dict(), sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        sys.stdout.write(render(info))
    return 0


def cmd_convert(args: argparse.Namespace, progress: Progress) -> int:
    """`zemlo convert IN OUT`: loads IN and writes OUT as LP or MPS; returns the exit status."""
    fmt = _format_of(args.output)
    if fmt == "lp":
        given = (("--objsense", args.objsense), ("--model-name", args.model_name))
        misplaced = [flag for flag, used in given if used]
    else:
        misplaced = [
            flag
            for flag, given in (
                ("--max-name-length", args.max_name_length != LP_MAX_NAME_LENGTH),
                ("--dummy-var-name", args.dummy_var_name != LP_DUMMY_VAR_NAME),
            )
            if given
        ]
    if misplaced:
        raise UsageError(f"{', '.join(misplaced)} cannot be used when writing {fmt.upper()}")
    _check_output(args.output, args.force, args.gzip_level, "OUT")
    model, _ = read_model(args.input, progress, drop_cons_names=args.drop_cons_names, ranges=args.ranges, fmt=args.format,
                          lenient=args.lenient)
    started = time.perf_counter()
    constant = write_model(
        model, args.output, rename=args.rename, relax=args.relax, obj_name=args.obj_name,
        model_name_=args.model_name, objsense=args.objsense, max_name_length=args.max_name_length,
        dummy_var_name=args.dummy_var_name, rename_option="--rename", force=args.force, gzip_level=_level(args),
    )
    # A FIFO or device has no size to tell.
    size = f"{size_text(os.path.getsize(args.output))}, " if os.path.isfile(args.output) else ""
    progress.say(
        f"wrote {args.output} ({size}{model.num_constraints} rows, "
        f"{len(model.used_variable_ids())} columns) in {time.perf_counter() - started:.2f} s"
    )
    if constant is not None:
        objective = model.get_objective()
        value = 0.0 if objective is None else objective.constant
        progress.say(f"the objective constant {value!r} is written as column {constant}, fixed at 1")
    return 0


def _level(args: argparse.Namespace) -> int:
    return DEFAULT_GZIP_LEVEL if args.gzip_level is None else int(args.gzip_level)


class SolutionRejected(Exception):
    """The solver's solution failed the model's check (exit status 1)."""


def cmd_solve(args: argparse.Namespace, progress: Progress) -> int:
    """`zemlo solve FILE`: solves, prints the checked answer; returns the exit status, raising
    SolutionRejected when the solution fails the check."""
    _check_solve_options(args)
    model, _ = read_model(args.file, progress, ranges=args.ranges, lenient=args.lenient, fmt=args.format)
    progress.say(f"solving {args.file} with {args.solver}")
    result = solve(model, args.solver, args.time_limit)
    progress.say(f"{args.solver} finished in {result.seconds:.2f} s")
    # Line by line: a reader that goes away early (`| head`) is noticed as it goes.
    for line in render_solve(model, result, args.tolerance, args.show):
        sys.stdout.write(line + "\n")
    sys.stdout.flush()
    if args.solution is not None:
        write_solution(args.solution, model, result, force=args.force, gzip_level=_level(args))
        progress.say(f"wrote {args.solution}")
    return _solve_status(result, args.tolerance)


def _check_solve_options(args: argparse.Namespace) -> None:
    """What can be refused before the model is read: the solution file and the solver."""
    if args.solution is not None:
        lower = args.solution.lower().removesuffix(".gz")
        if not lower.endswith((".csv", ".json")):
            raise UsageError(f"{args.solution}: the solution file must end in .csv or .json (and may end in .gz)")
        _check_output(args.solution, args.force, args.gzip_level, "a --solution file")
    elif args.gzip_level is not None:
        raise UsageError("--gzip-level applies only to a --solution file ending in .gz")
    require(args.solver)


def render_solve(model: Model, result: SolveResult, tolerance: float, show: int) -> list[str]:
    """The lines `zemlo solve` prints: the model, the solver's status, and the checked answer
    with at most `show` non-zero values."""
    integers = sum(1 for v in model.list_variables() if v.is_integer() or v.is_binary())
    lines = [
        f"model       {model_name(model)}: {model.num_constraints} rows, {model.num_variables} columns "
        f"({integers} integer), {'maximize' if model.get_sense() is ObjSense.Maximize else 'minimize'}",
        f"solver      {result.solver} ({result.solver_status}), {result.seconds:.2f} s",
        f"status      {result.status}",
    ]
    check = result.check
    if check is None:
        lines.append("solution    none")
        return lines
    verdict = "passed" if check.feasible(tolerance) else "FAILED"
    lines += [
        f"objective   {_num(check.objective)} (solver: {_num(result.solver_objective)})",
        f"check       {verdict} at tolerance {tolerance:g}: largest bound violation "
        f"{_small(check.max_bound_violation)}{_at(check.worst_variable)}, integrality violation "
        f"{_small(check.max_integrality_violation)}, constraint violation "
        f"{_small(check.max_constraint_violation)}{_at(check.worst_constraint)}",
    ]
    if check.missing_values or check.unevaluated_constraints:
        lines.append(f"            {check.missing_values} variables without a value")
    nonzero = [(name, value) for name, value in result.values.items() if value != 0]
    lines.append(f"values      {len(nonzero)} of {len(result.values)} variables are non-zero")
    shown = nonzero[:show]
    width = max((len(name) for name, _ in shown), default=0)
    lines += [f"  {name:<{width}}  {_num(value)}" for name, value in shown]
    if len(nonzero) > show:
        lines.append(f"  ... {len(nonzero) - show} more (write them all with --solution FILE)")
    return lines


def _solve_status(result: SolveResult, tolerance: float) -> int:
    """The exit status of a solve whose answer was shown: 130 after Ctrl-C stopped the solver
    (what it had is shown and written, then the command ends as any interrupted one does),
    SolutionRejected when the solution misses the model, else 0."""
    if result.status == "interrupted":
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    check = result.check
    if check is not None and not check.feasible(tolerance):
        raise SolutionRejected(
            f"the {result.solver} solution misses the model by more than {tolerance:g} "
            f"(bound {_small(check.max_bound_violation)}, integrality {_small(check.max_integrality_violation)}, "
            f"constraint {_small(check.max_constraint_violation)})"
        )
    return 0


def _num(x: float | None) -> str:
    """Numbers as Python's shortest round-trip text."""
    if x is None:
        return "none"
    if math.isfinite(x) and x == int(x) and abs(x) < 1e16:
        return str(int(x))
    return repr(x)


def _small(x: float) -> str:
    """A violation: three significant digits are enough."""
    return "0" if x == 0 else f"{x:.3g}"


def _at(name: str | None) -> str:
    return "" if name is None else f" ({name})"


def write_solution(
    path: str, model: Model, result: SolveResult, *, force: bool = False, gzip_level: int = DEFAULT_GZIP_LEVEL
) -> None:
    """Writes the stored solution as CSV (kind, name, value, reduced_cost, dual, slack) or JSON,
    through output_file (so with its checks, `force` and `gzip_level`)."""
    variables = [(v.name, v.value, v.dj) for v in model.list_variables()]
    constraints = [(c.name, c.value(), c.pi, c.slack) for c in model.list_constraints()]
    with output_file(path, force=force, gzip_level=gzip_level) as plain:
        with open(plain, "w", encoding="utf-8", newline="") as f:
            if path.lower().removesuffix(".gz").endswith(".json"):
                _write_json(f, result, variables, constraints)
            else:
                writer = csv.writer(f, lineterminator="\n")
                writer.writerow(["kind", "name", "value", "reduced_cost", "dual", "slack"])
                for name, value, dj in variables:
                    writer.writerow(["variable", name, _cell(value), _cell(dj), "", ""])
                for name, value, pi, slack in constraints:
                    writer.writerow(["constraint", name, _cell(value), "", _cell(pi), _cell(slack)])


def _cell(x: float | None) -> str:
    return "" if x is None else repr(x)


def _write_json(
    f: IO[str],
    result: SolveResult,
    variables: Sequence[tuple[str, float | None, float | None]],
    constraints: Sequence[tuple[str, float | None, float | None, float | None]],
) -> None:
    document: dict[str, Any] = {
        "solver": result.solver,
        "status": result.status,
        "solver_status": result.solver_status,
        "objective": result.objective,
        "solver_objective": result.solver_objective,
        "check": None if result.check is None else vars(result.check),
        "variables": [{"name": n, "value": v, "reduced_cost": d} for n, v, d in variables],
        "constraints": [
            {"name": n, "activity_minus_rhs": v, "dual": p, "slack": s} for n, v, p, s in constraints
        ],
    }
    json.dump(document, f, indent=1, allow_nan=True)
    f.write("\n")


def cmd_demo(args: argparse.Namespace, progress: Progress) -> int:
    """`zemlo demo`: the tour of the Python API on standard output."""
    from zemlo._demo import main as tour

    tour()
    return 0


# --- entry point -----------------------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with `argv` (default: the process's arguments); returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("no command given; choose one of info, convert, solve, demo")
    try:
        status: int = args.command(args, Progress(args.quiet))
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader of our output went away (`zemlo info big.mps | head -1`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        if args.debug:
            raise
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except UsageError as exc:
        if args.debug:
            raise
        print(f"{PROG}: error: {exc} (see {PROG} --help)", file=sys.stderr)
        return 2
    except Exception as exc:
        if args.debug:
            raise
        print(f"{PROG}: error: {_message(exc)}", file=sys.stderr)
        return 1


def _message(exc: Exception) -> str:
    """One line that says what failed."""
    if isinstance(exc, OSError) and exc.strerror:
        where = f": {exc.filename}" if exc.filename else ""
        return f"{exc.strerror}{where}"
    if isinstance(exc, (SolverError, SolutionRejected, ReadFailed, RuntimeError, ValueError, OSError, EOFError)):
        text = str(exc) or type(exc).__name__
    else:
        text = f"{type(exc).__name__}: {exc} (run with --debug for the traceback)"
    return " ".join(text.split())
