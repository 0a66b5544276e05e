"""What `zemlo info` says about an MPS file: its sizes, and what to know before solving it."""

from __future__ import annotations

from dataclasses import asdict, dataclass, field
from typing import Any

from zemlo import _native
from zemlo._files import model_name
from zemlo._load import SKIPPED
from zemlo._names import lp_name_problem
from zemlo._ondrel import Model, ObjSense

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
    bytes: int  # read from the file or stream (compressed bytes for gzip)
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


def lp_name_kind(problem: str) -> str:
    """The kind of an LP name problem, for grouping names: "characters", "leading digit or
    period", "keyword", "over-long", "empty" or "line break"."""
    for start, kind in (("holds a line", "line break"), ("holds", "characters"), ("starts", "leading digit or period"),
                        ("is a word", "keyword"), ("is longer", "over-long")):
        if problem.startswith(start):
            return kind
    return "empty"


# Notes from the facts of a describing read: the key, the kind, the message.
READ_NOTES = (
    ("repeated_rows", "repeated rows", "rows defined more than once: one row, with the last sense given"),
    ("split_columns", "split columns", "columns whose lines come in separate runs: one column"),
    ("automatic_rows", "automatic row names",
     "row names beginning with '_', which zemlo reserves: they load with automatic names (_C1, _C2, ...)"),
)
SUMMARY_NOTES = (
    ("empty_rows", "empty rows", "rows without coefficients"),
    ("unused_columns", "unused columns", "columns without any coefficient: the writers leave them out"),
    ("free_columns", "free columns", "columns without bounds"),
    ("fixed_columns", "fixed columns", "columns whose lower and upper bounds are equal"),
    ("crossed_bounds", "crossed bounds",
     "columns whose lower bound is above the upper bound (an UP bound below 0 leaves the lower bound at 0)"),
    ("open_integers", "integer columns without upper bound",
     "integer columns without an upper bound: some readers bound such columns by 1"),
)


# The notes an LP read has nothing to say about: (count, names, line) of none.
NONE: tuple[int, list[str], int] = (0, [], 0)
MPS_ONLY = ("left_out_sections", "repeated_rows", "split_columns", "automatic_rows",
            *(key for key, _, _ in SKIPPED))


def lp_description(model: Model, facts: dict[str, Any]) -> dict[str, Any]:
    """The facts describe() takes, for a model read from an LP file with the facts of that read:
    the model's summary, and none of the notes only an MPS read gives."""
    out = dict(facts)
    out.update(_native.describe_model(model))
    for key in MPS_ONLY:
        out[key] = NONE
    out.setdefault("negated", False)
    out["lp"] = True
    return out


def describe(path: str, model: Model, facts: dict[str, Any]) -> FileInfo:
    """The FileInfo of the file at `path`, from the Model and the facts a describing read of it
    gave (`zemlo._load.read_file(..., lenient=True, describe=True)`, or lp_description of an LP
    read)."""
    if not facts.get("lp") and "ROWS" not in facts["sections"]:
        raise RuntimeError(f"no ROWS section in {facts['lines']} lines: this is not an MPS file")
    objective = model.get_objective()
    sense_text = "maximize" if model.get_sense() is ObjSense.Maximize else "minimize"
    if facts["negated"]:
        sense_text += " (objective stored negated)"
    columns = model.num_variables
    return FileInfo(
        file=path,
        bytes=facts["bytes"],
        name=model_name(model),
        sense=sense_text,
        rows={
            "total": model.num_constraints,
            "less-or-equal": facts["less_equal"],
            "equal": facts["equal"],
            "greater-or-equal": facts["greater_equal"],
        },
        columns={
            "total": columns,
            "continuous": columns - facts["integer"],
            "integer": facts["integer"],
        },
        bounds={
            "lower only": facts["lower_only"],
            "upper only": facts["upper_only"],
            "both": facts["both"],
            "fixed": facts["fixed"],
            "free": facts["free"],
        },
        nonzeros=facts["entries"],
        objective={
            "row": facts["objective_name"] or None,
            "terms": facts["objective_entries"],
            "constant": 0.0 if objective is None else objective.constant,
        },
        notes=read_notes(facts) + lp_name_notes(model, facts["objective_name"]) + named_notes(facts, SUMMARY_NOTES),
    )


def named_notes(facts: dict[str, Any], table: tuple[tuple[str, str, str], ...]) -> list[Note]:
    """A note for each (key, kind, message) of `table` whose (count, names, line) is not empty."""
    notes = []
    for key, kind, message in table:
        count, names, _ = facts[key]
        if count:
            notes.append(Note(kind, message, count, list(names)))
    return notes


def read_notes(facts: dict[str, Any]) -> list[Note]:
    """What the read met that a strict load refuses or changes: no objective row, sections no
    model can hold, a file cut short, ranges, undeclared rows and columns, repeated rows, split
    columns, automatic row names."""
    notes = []
    if not facts["objective_name"]:
        notes.append(Note("no objective row", "the file has no N row: the objective is empty", 1))
    count, sections, line = facts["left_out_sections"]
    if count:
        notes.append(Note(
            "sections no model can hold",
            f"sections no model can hold ({', '.join(sections)}), from line {line}: their {count} lines are "
            "left out here, and load_mps refuses the file",
            count,
            list(sections),
        ))
    if not facts.get("lp") and "ENDATA" not in facts["sections"]:
        notes.append(Note(
            "cut short",
            f"the file ends after {facts['lines']} lines without ENDATA: it may be cut short, and "
            "load_mps refuses it",
            1,
        ))
    if facts["ranged_rows"]:
        notes.append(Note(
            "ranged rows",
            f"{facts['ranged_rows']} rows with a range (RANGES): read them with --ranges (ranges=True), "
            "which gives each a variable bounded by its range",
            facts["ranged_rows"],
        ))
    for key, what, where in SKIPPED:
        count, names, line = facts[key]
        if count:
            notes.append(Note(
                f"undeclared in {where}",
                f"{what} {where} does not declare, from line {line}: load_mps refuses the file "
                "(lenient=True passes them over)",
                count,
                list(names),
            ))
    return notes + named_notes(facts, READ_NOTES)


def lp_name_notes(model: Model, objective_name: str) -> list[Note]:
    """The names an LP file cannot carry, by kind."""
    lp_problems: dict[str, list[str]] = {}
    names = [v.name for v in model.list_variables()] + [c.name for c in model.list_constraints()]
    for name in names + ([objective_name] if objective_name else []):
        problem = lp_name_problem(name)
        if problem is not None:
            lp_problems.setdefault(lp_name_kind(problem), []).append(name)
    return [
        Note(f"LP names: {kind}", f"names an LP file cannot carry ({kind}): convert to LP with --rename",
             len(found), found[:EXAMPLES])
        for kind, found in lp_problems.items()
    ]


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
