"""What `zemlo info` says about an MPS file: its sizes, and what to know before solving it."""

from __future__ import annotations

import math
import os
import re
from collections import Counter
from collections.abc import Iterable
from dataclasses import asdict, dataclass, field
from typing import Any

from zemlo._load import WHITE_SPACE, file_sense
from zemlo._ondrel import MpsResult, ObjSense

# CPLEX LP names: letters, digits and these symbols; no digit, period or sign first; at most
# 255 characters. A reader fails on other characters, or splits the name where they stand.
LP_SYMBOLS = "!\"#$%&()/,.;?@_`'{}|~"
LP_NAME_CHARS = re.compile(r"[A-Za-z0-9" + re.escape(LP_SYMBOLS) + r"]*")
LP_MAX_NAME = 255
# Words an LP reader takes for a keyword at the start of a line, where the LP writer puts row
# names and the names listed under Generals and Binaries.
LP_KEYWORDS = frozenset(
    """st s.t. st. bound bounds gen general generals int integer integers bin binary binaries
    semi semis semi-continuous sos end subject such""".split()
)
MIN_MAX = re.compile(r"(min|max)(i(m(um|ize)?)?)?")
# Names a reader may take for a number.
NUMBER_LIKE = re.compile(r"[eE][0-9].*|inf|infinity|nan")

EXAMPLES = 5  # names shown per note


@dataclass
class Note:
    """One thing a careful user should know about the file: a kind, a count, a few names."""

    kind: str
    message: str
    count: int
    examples: list[str] = field(default_factory=list)


@dataclass
class FileInfo:
    """Sizes and notes of one MPS file."""

    file: str
    bytes: int
    name: str
    sense: str
    rows: dict[str, int]
    columns: dict[str, int]
    bounds: dict[str, int]
    nonzeros: int
    objective: dict[str, Any]
    notes: list[Note]

    def as_dict(self) -> dict[str, Any]:
        """The info as plain values, for JSON."""
        return asdict(self)


def lp_name_problem(name: str) -> str | None:
    """Why a CPLEX LP file cannot carry `name`, or None when it can."""
    if not name:
        return "empty"
    if len(name.encode("utf-8")) > LP_MAX_NAME:
        return "over-long"
    if name[0].isdigit() or name[0] in ".+-":
        return "leading digit, period or sign"
    if LP_NAME_CHARS.fullmatch(name) is None:
        return "characters"
    lower = name.lower()
    if lower in LP_KEYWORDS or MIN_MAX.fullmatch(lower):
        return "keyword"
    if NUMBER_LIKE.fullmatch(lower):
        return "number-like"
    return None


@dataclass
class _Scan:
    """What the reader's records do not show: repeated definitions and ignored sections."""

    sections: list[str] = field(default_factory=list)
    repeated_rows: list[str] = field(default_factory=list)
    split_columns: list[str] = field(default_factory=list)
    objective_rhs: list[float] = field(default_factory=list)


SECTIONS = {"NAME", "OBJSENSE", "ROWS", "COLUMNS", "RHS", "RANGES", "BOUNDS", "SOS", "ENDATA"}


def scan(path: str) -> _Scan:
    """One pass over a plain MPS file's lines for rows defined twice, columns whose lines are
    split into separate runs, right-hand sides of the objective row and the sections seen."""
    out = _Scan()
    section = ""
    rows: set[str] = set()
    objective_rows: list[str] = []
    columns: set[str] = set()
    previous = ""
    with open(path, "rb") as f:
        for raw in f:
            tokens = raw.split()
            if not tokens or tokens[0] == b"*":
                continue
            first = tokens[0].decode("utf-8", "replace")
            if first in SECTIONS and (first not in ("RHS", "BOUNDS") or len(tokens) <= 2):
                section = first
                if first not in out.sections:
                    out.sections.append(first)
                if first == "ENDATA":
                    break
                continue
            if section == "ROWS" and len(tokens) >= 2:
                name = tokens[1].decode("utf-8", "replace")
                if first == "N":
                    objective_rows.append(name)
                elif name in rows:
                    out.repeated_rows.append(name)
                else:
                    rows.add(name)
            elif section == "COLUMNS":
                if len(tokens) >= 2 and tokens[1] == b"'MARKER'":
                    continue
                if first != previous:
                    if first in columns:
                        out.split_columns.append(first)
                    columns.add(first)
                    previous = first
            elif section == "RHS" and objective_rows:
                pairs = [(tokens[i], tokens[i + 1]) for i in (1, 3) if len(tokens) > i + 1]
                for row, value in pairs:
                    if row.decode("utf-8", "replace") == objective_rows[-1]:
                        try:
                            out.objective_rhs.append(float(value))
                        except ValueError:
                            pass
    return out


def describe(path: str | os.PathLike[str], plain: str, result: MpsResult) -> FileInfo:
    """The FileInfo of the file at `path`, whose plain text is at `plain`, read into `result`."""
    sense, negated = file_sense(plain)
    found = scan(plain)
    columns = result.variables
    rows = result.constraints
    objective = result.objective

    row_senses = Counter(r.sense for r in rows)
    categories = Counter(c.cat for c in columns)
    bound_kinds: Counter[str] = Counter()
    free, fixed, crossed, open_integers = [], [], [], []
    for c in columns:
        low = -math.inf if c.lowBound is None else c.lowBound
        up = math.inf if c.upBound is None else c.upBound
        if low == up:
            kind = "fixed"
            fixed.append(c.name)
        elif math.isinf(low) and math.isinf(up):
            kind = "free"
            free.append(c.name)
        elif math.isinf(up):
            kind = "lower only"
        elif math.isinf(low):
            kind = "upper only"
        else:
            kind = "both"
        bound_kinds[kind] += 1
        if low > up:
            crossed.append(c.name)
        if c.cat == "Integer" and math.isinf(up):
            open_integers.append(c.name)

    nonzeros = sum(len(r.coefficients) for r in rows)
    empty_rows = [r.name or "" for r in rows if not r.coefficients]
    used = {t.name for r in rows for t in r.coefficients} | {t.name for t in objective.coefficients}
    unused = [c.name for c in columns if c.name not in used]
    reserved = [r.name for r in rows if r.name is not None and r.name.strip(WHITE_SPACE).startswith("_")]

    notes: list[Note] = []

    def note(kind: str, message: str, names: Iterable[str]) -> None:
        names = list(names)
        if names:
            notes.append(Note(kind, message, len(names), names[:EXAMPLES]))

    if not objective.name:
        notes.append(Note("no objective row", "the file has no N row: the objective is empty", 1))
    for section in ("RANGES", "SOS"):
        if section in found.sections:
            notes.append(
                Note(
                    f"{section} section",
                    f"the {section} section is not interpreted: its lines are read as lines of the "
                    "section before it, so the model differs from the file",
                    1,
                )
            )
    constant = -found.objective_rhs[-1] if found.objective_rhs else 0.0
    if found.objective_rhs:
        notes.append(
            Note(
                "objective constant",
                f"the objective row has a right-hand side, which solvers take as the objective "
                f"constant {constant!r}; zemlo does not read it",
                1,
            )
        )
    note("repeated rows", "rows defined more than once: one row, with the last sense given", found.repeated_rows)
    note("split columns", "columns whose lines come in separate runs: one column", found.split_columns)
    note("reserved row names", "row names beginning with '_' are reserved: load with drop_cons_names", reserved)

    lp_problems: dict[str, list[str]] = {}
    all_names = [c.name for c in columns] + [r.name for r in rows if r.name is not None]
    for name in all_names + ([objective.name] if objective.name else []):
        problem = lp_name_problem(name)
        if problem is not None:
            lp_problems.setdefault(problem, []).append(name)
    for problem, names in lp_problems.items():
        if problem == "number-like":
            message = "names some LP readers take for numbers: convert with --rename to be safe"
        else:
            message = f"names an LP file cannot carry ({problem}): convert with --rename"
        note(f"LP names: {problem}", message, names)

    for kind, message, names in [
        ("empty rows", "rows without coefficients", empty_rows),
        ("unused columns", "columns without any coefficient: the writers leave them out", unused),
        ("free columns", "columns without bounds", free),
        ("fixed columns", "columns whose lower and upper bounds are equal", fixed),
        ("crossed bounds", "columns whose lower bound is above the upper bound (an UP bound below 0 "
         "leaves the lower bound at 0)", crossed),
        ("integer columns without upper bound", "integer columns without an upper bound: some readers "
         "bound such columns by 1", open_integers),
    ]:
        note(kind, message, names)

    sense_text = "maximize" if sense is ObjSense.Maximize else "minimize"
    if negated:
        sense_text += " (objective stored negated)"
    return FileInfo(
        file=os.fspath(path),
        bytes=os.path.getsize(path),
        name=result.parameters.name,
        sense=sense_text,
        rows={
            "total": len(rows),
            "less-or-equal": row_senses[-1],
            "equal": row_senses[0],
            "greater-or-equal": row_senses[1],
        },
        columns={
            "total": len(columns),
            "continuous": categories["Continuous"],
            "integer": categories["Integer"],
        },
        bounds={k: bound_kinds[k] for k in ("lower only", "upper only", "both", "fixed", "free")},
        nonzeros=nonzeros,
        objective={
            "row": objective.name,
            "terms": len(objective.coefficients),
            "constant": constant,
        },
        notes=notes,
    )


def render(info: FileInfo) -> str:
    """The text `zemlo info` prints for `info`."""
    r, c, b = info.rows, info.columns, info.bounds
    lines = [
        f"file        {info.file} ({info.bytes:,} bytes)",
        f"problem     {info.name}",
        f"objective   {info.sense}, row {info.objective['row']}, {info.objective['terms']} terms, "
        f"constant {info.objective['constant']!r}",
        f"rows        {r['total']}: {r['less-or-equal']} <=, {r['equal']} =, {r['greater-or-equal']} >=",
        f"columns     {c['total']}: {c['continuous']} continuous, {c['integer']} integer",
        f"bounds      {b['lower only']} lower only, {b['upper only']} upper only, {b['both']} both, "
        f"{b['fixed']} fixed, {b['free']} free",
        f"non-zeros   {info.nonzeros}",
    ]
    if info.notes:
        lines.append("notes")
        for n in info.notes:
            shown = ", ".join(n.examples)
            more = f" and {n.count - len(n.examples)} more" if n.count > len(n.examples) else ""
            lines.append(f"  {n.message}" + (f": {n.count} ({shown}{more})" if n.examples else ""))
    else:
        lines.append("notes       none")
    return "\n".join(lines) + "\n"
