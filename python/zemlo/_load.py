"""Loading an MPS file into a Model: `load_mps` and the helpers the command shares with it."""

from __future__ import annotations

import contextlib
import re
import gzip
import os
import shutil
import tempfile
from collections.abc import Iterator

from zemlo import _native
from zemlo._ondrel import Model, ObjSense

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
    lenient: bool = False,
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
    than 1 MiB, a file without a ROWS section (no MPS file at all). RANGES are refused. With
    `lenient=True` the file is read as `read_mps` reads it: coefficients and right-hand sides of
    undeclared rows and bounds of undeclared columns are passed over, NaN is taken, and a file
    without sections is an empty model.

    Raises OSError for a file that cannot be opened or read, RuntimeError for what the read
    refuses, and ValueError when the file holds what a Model cannot take (a coefficient or
    right-hand side that is not finite), naming the row. On failure no Model is returned.
    """
    if sense is not None and not isinstance(sense, ObjSense):
        raise TypeError(f"sense must be an ObjSense or None, not {type(sense).__name__}")
    code = None if sense is None else (1 if sense is ObjSense.Maximize else 0)
    name = os.fspath(path)
    try:
        model, _ = _native.load_mps(name, code, drop_cons_names, lenient)
    except RuntimeError as exc:
        raise _os_error(exc, name) from None
    return model


_OS_ERROR = re.compile(r"Cannot read file: (.*) \(os error (\d+)\)")


def _os_error(exc: RuntimeError, path: str) -> Exception:
    """An error of the operating system as the OSError it is (FileNotFoundError for a missing
    file, ...), naming the path; any other failure as it was."""
    match = _OS_ERROR.fullmatch(str(exc))
    if match is None:
        return exc
    return OSError(int(match.group(2)), match.group(1), path)
