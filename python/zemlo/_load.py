"""Loading an MPS file into a Model: `load_mps` and the helpers the command shares with it."""

from __future__ import annotations

import contextlib
import gzip
import math
import os
import shutil
import tempfile
from array import array
from collections.abc import Iterator, Sequence

from zemlo._ondrel import AffineExpr, Category, Model, MpsResult, MpsVariable, ObjSense, Sense, read_mps

__all__ = ["load_mps"]

GZIP_MAGIC = b"\x1f\x8b"
INF = math.inf

# The white space the constraint name rule trims (Unicode White_Space). Python's str.strip()
# without arguments also strips the ASCII separators U+001C to U+001F, which the model keeps.
WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009"
    "\u200a\u2028\u2029\u202f\u205f\u3000"
)

# Row senses as the reader encodes them (-1 for L, 0 for E, 1 for G) to the model's senses.
ROW_SENSES = {-1: Sense.LessEqual, 0: Sense.Equal, 1: Sense.GreaterEqual}

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
    """Builds the Model for the records `read_mps` returned; `negated` flips the objective."""
    columns = result.variables
    rows = result.constraints

    # Everything a Model refuses is found before the first record is built.
    names: list[str | None] = []
    for row in rows:
        name = row.name
        if name is not None and name.strip(WHITE_SPACE).startswith("_"):
            raise ValueError(
                f"row {name!r} cannot become a constraint: names beginning with '_' are reserved "
                "for automatic constraint names (load with drop_cons_names=True to rename all rows)"
            )
        names.append(name)

    index = {column.name: i for i, column in enumerate(columns)}

    starts = array("Q", [0])
    ids = array("Q")
    coeffs = array("d")
    senses = bytearray()
    rhs = array("d")
    for row in rows:
        for term in row.coefficients:
            ids.append(index[term.name])
            coeffs.append(term.value)
        starts.append(len(ids))
        senses.append(int(ROW_SENSES[row.sense]))
        rhs.append(-row.constant)

    objective = result.objective
    obj_ids = array("Q", [index[t.name] for t in objective.coefficients])
    obj_coeffs = array("d", [-t.value if negated else t.value for t in objective.coefficients])

    model = Model(result.parameters.name)
    _add_columns(model, columns)
    expr = AffineExpr()
    try:
        expr.add_term_ids_coeffs(model, obj_ids, obj_coeffs)
    except ValueError as exc:
        raise ValueError(f"objective row {objective.name or ''!r}: {exc}") from None
    if objective.name:
        expr.set_name(objective.name)
    model.set_objective(expr)
    model.set_sense(sense)
    _add_rows(model, starts, ids, coeffs, senses, rhs, names)
    return model


def _add_columns(model: Model, columns: Sequence[MpsVariable]) -> None:
    """Adds one variable per column record: all in one batch with the reader's default bounds
    (0, +inf, Continuous), then the bounds and categories that differ are set one by one."""
    handles = model.add_variables_batch([c.name for c in columns], 0.0, INF, Category.Continuous)
    for handle, column in zip(handles, columns):
        low, up = column.lowBound, column.upBound
        if low != 0.0:
            handle.set_lb(-INF if low is None else low)
        if up is not None:
            handle.set_ub(up)
        if column.cat == "Integer":
            handle.set_category(Category.Integer)


def _add_rows(
    model: Model,
    starts: array[int],
    ids: array[int],
    coeffs: array[float],
    senses: bytes | bytearray,
    rhs: array[float],
    names: Sequence[str | None] | None,
) -> None:
    """Adds one constraint per compressed row: row r has the terms ids[starts[r]:starts[r+1]]
    with coeffs of the same slice, the Sense whose code is senses[r], the right-hand side
    rhs[r] and the name names[r] (None, or no `names` at all, for an automatic name).

    This is the contract of a batch method on Model; until the Model has one, the rows go
    through add_constraint one by one. A failure names the row.
    """
    by_code = {int(s): s for s in (Sense.LessEqual, Sense.Equal, Sense.GreaterEqual)}
    ids_view = memoryview(ids)
    coeffs_view = memoryview(coeffs)
    for r in range(len(starts) - 1):
        begin, end = starts[r], starts[r + 1]
        name = None if names is None else names[r]
        expr = AffineExpr()
        try:
            expr.add_term_ids_coeffs(model, ids_view[begin:end], coeffs_view[begin:end])
            expr.set_sense(by_code[senses[r]])
            expr.set_constant(-rhs[r])
            if name is not None:
                expr.set_name(name)
            model.add_constraint(expr)
        except ValueError as exc:
            label = repr(name) if name is not None else f"number {r + 1}"
            raise ValueError(f"row {label}: {exc}") from None
