"""Loading an MPS file into a Model: `load_mps` and the helpers the command shares with it."""

from __future__ import annotations

import contextlib
import gzip
import os
import shutil
import tempfile
from collections.abc import Iterator

from zemlo._ondrel import Model, MpsResult, ObjSense, read_mps

__all__ = ["load_mps"]

GZIP_MAGIC = b"\x1f\x8b"

# The white space the constraint name rule trims (Unicode White_Space). Python's str.strip()
# without arguments also strips the ASCII separators U+001C to U+001F, which the model keeps.
WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009"
    "\u200a\u2028\u2029\u202f\u205f\u3000"
)

MAXIMIZE_WORDS = {"MAX", "MAXIMIZE"}
MINIMIZE_WORDS = {"MIN", "MINIMIZE"}
# The comment line write_mps puts first when it wrote a maximised objective negated.
NEGATED_MAXIMIZE_COMMENT = "*SENSE:Maximize"


def is_gzip(path: str | os.PathLike[str]) -> bool:
    """Whether the file starts with the gzip signature (the name does not matter)."""
    with open(path, "rb") as f:
        return f.read(2) == GZIP_MAGIC


@contextlib.contextmanager
def plain_file(path: str | os.PathLike[str]) -> Iterator[str]:
    """Yields a path to the file's plain text: the file itself, or a decompressed temporary copy
    of a gzip-compressed file, removed on leaving."""
    name = os.fspath(path)
    if not is_gzip(name):
        yield name
        return
    with tempfile.TemporaryDirectory(prefix="zemlo-") as tmp:
        plain = os.path.join(tmp, "model.mps")
        with gzip.open(name, "rb") as src, open(plain, "wb") as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
        yield plain


def file_sense(path: str) -> tuple[ObjSense, bool]:
    """The objective sense a plain MPS file states before its ROWS section, and whether its
    objective is stored negated.

    An OBJSENSE section (the word on its own line or followed by the sense) decides; otherwise
    the comment line "*SENSE:Maximize" means a maximised objective written negated; anything
    else is a minimisation. Only the lines before ROWS are read.
    """
    sense: ObjSense | None = None
    negated = False
    expect_word = False
    with open(path, "rb") as f:
        for raw in f:
            tokens = raw.decode("utf-8", "replace").split()
            if not tokens:
                continue
            first = tokens[0]
            if first == "ROWS":
                break
            if expect_word:
                if first.startswith("*"):
                    continue
                expect_word = False
                sense = _sense_word(first)
                continue
            if first == "OBJSENSE":
                if len(tokens) > 1:
                    sense = _sense_word(tokens[1])
                else:
                    expect_word = True
            elif first == NEGATED_MAXIMIZE_COMMENT and len(tokens) == 1:
                negated = True
    if sense is not None:
        return sense, False
    return (ObjSense.Maximize, True) if negated else (ObjSense.Minimize, False)


def _sense_word(word: str) -> ObjSense:
    upper = word.upper()
    if upper in MAXIMIZE_WORDS:
        return ObjSense.Maximize
    if upper in MINIMIZE_WORDS:
        return ObjSense.Minimize
    raise ValueError(f"OBJSENSE section names an unknown sense {word!r} (expected MAX, MAXIMIZE, MIN or MINIMIZE)")


def load_mps(
    path: str | os.PathLike[str],
    *,
    sense: ObjSense | None = None,
    drop_cons_names: bool = False,
) -> Model:
    """Read an MPS file into a new Model.

    `path` is a str or os.PathLike naming a fixed or free MPS file, which may be
    gzip-compressed. The Model gets the file's problem name, its columns as variables (names,
    bounds, Integer or Continuous), its objective row as the objective (with the row's name)
    and its rows as constraints (names, senses, right-hand sides), in file order.

    The objective sense comes from the file unless `sense` is given: an OBJSENSE section before
    ROWS (MAX, MAXIMIZE, MIN or MINIMIZE) sets it; a "*SENSE:Maximize" comment line, which
    `write_mps` writes when it negated a maximised objective, makes the Model maximise the
    objective negated back; otherwise the Model minimises. An explicit `sense` (an ObjSense)
    overrides the file: the objective is then taken as written and the file's sense lines are
    not read.

    With `drop_cons_names` the constraints get automatic names (_C1, _C2, ...) and the
    objective no name.

    Raises RuntimeError for a file `read_mps` cannot read, OSError when the file cannot be
    opened, and ValueError when the file holds what a Model cannot take (a row name that
    begins with "_", reserved for automatic names; a non-finite coefficient or right-hand side),
    naming the row. On failure no Model is returned.
    """
    if sense is not None and not isinstance(sense, ObjSense):
        raise TypeError(f"sense must be an ObjSense or None, not {type(sense).__name__}")
    with plain_file(path) as plain:
        if sense is None:
            sense, negated = file_sense(plain)
        else:
            negated = False
        result = read_mps(plain, -1 if sense is ObjSense.Maximize else 1, drop_cons_names)
    return model_from_records(result, sense, negated)


def model_from_records(result: MpsResult, sense: ObjSense, negated: bool) -> Model:
    """Builds the Model for the records `read_mps` returned, in one native call that goes
    through the same checks as the batch paths; `negated` flips the objective. A row the Model
    refuses raises ValueError naming it."""
    model = Model(result.parameters.name)
    try:
        model.add_mps_result(result)
    except ValueError as exc:
        raise _row_error(exc, result) from None
    if negated:
        objective = model.get_objective()
        if objective is not None:
            objective.scale(-1.0)
            model.set_objective(objective)
    model.set_sense(sense)
    return model


def _row_error(exc: ValueError, result: MpsResult) -> ValueError:
    """The model's error about row i or the objective, reworded to name the row as the file
    does."""
    text = str(exc)
    head, sep, rest = text.partition(": ")
    if sep and head == "objective":
        return ValueError(f"objective row {result.objective.name or ''!r}: {rest}")
    if not (sep and head.startswith("Row ") and head[4:].isdigit()):
        return exc
    r = int(head[4:])
    name = result.constraints[r].name
    label = repr(name) if name is not None else f"number {r + 1}"
    if rest.startswith("Constraint names must not start with '_'"):
        rest = ("names beginning with '_' are reserved for automatic constraint names (load with "
                "drop_cons_names=True to rename all rows)")
        return ValueError(f"row {label} cannot become a constraint: {rest}")
    return ValueError(f"row {label}: {rest}")
