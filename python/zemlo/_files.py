"""Writing a model to a file whose name says the format: .lp or .mps, gzip-compressed with .gz.

The writers of the native core write plain text to a path; this module stages the output
beside the target (compressing it when asked) and moves it into place only when the whole
file is written, so a failed write leaves an existing file as it was.
"""

from __future__ import annotations

import contextlib
import gzip
import os
import shutil
import tempfile
from collections.abc import Iterator

from zemlo import _native
from zemlo._ondrel import Model, ObjSense

__all__ = ["format_of", "output_file", "write_model"]


def format_of(path: str | os.PathLike[str]) -> str:
    """"lp" or "mps" from the file name (a final .gz aside); ValueError for any other name."""
    name = os.fspath(path)
    lower = name.lower().removesuffix(".gz")
    for suffix in (".lp", ".mps"):
        if lower.endswith(suffix):
            return suffix[1:]
    raise ValueError(f"{name}: cannot tell the format; the name must end in .lp, .mps, .lp.gz or .mps.gz")


@contextlib.contextmanager
def output_file(path: str) -> Iterator[str]:
    """Yields a temporary path to write the plain text of `path` to; on success it becomes
    `path`, gzip-compressed when `path` ends in .gz. A failure leaves `path` untouched."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise FileNotFoundError(2, "No such directory", directory)
    fd, staged = tempfile.mkstemp(prefix=".zemlo-", dir=directory)
    os.close(fd)
    try:
        if path.lower().endswith(".gz"):
            with tempfile.TemporaryDirectory(prefix="zemlo-") as tmp:
                plain = os.path.join(tmp, "plain")
                yield plain
                with open(plain, "rb") as src, open(staged, "wb") as raw:
                    with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0) as dst:
                        shutil.copyfileobj(src, dst, 1 << 20)
        else:
            yield staged  # written in place, then renamed
        os.chmod(staged, 0o666 & ~_umask())
        os.replace(staged, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(staged)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def model_name(model: Model) -> str:
    """The model's name, as its summary shows it."""
    text = model.summary()
    return text[len("Model(name=") : text.rindex(", vars=")]


def objective_name(model: Model) -> str | None:
    """The objective's name, or None without an objective or a name."""
    objective = model.get_objective()
    return None if objective is None else objective.name


def write_model(
    model: Model,
    path: str | os.PathLike[str],
    *,
    rename: bool = False,
    relax: bool = False,
    obj_name: str | None = None,
    model_name_: str | None = None,
    objsense: bool = False,
    max_name_length: int = 255,
    dummy_var_name: str = "__dummy",
    rename_option: str = "rename=True",
) -> str | None:
    """Writes `model` to `path` in the format its name gives (see format_of), as a file every
    reader takes the same way.

    `rename` writes generated names (X0000000.. for columns, C0000000.. for rows), `relax`
    writes integer columns as continuous ones, `obj_name` names the objective row (default:
    the objective's own name, else OBJ). For MPS, `model_name_` is the NAME line (default: the
    model's name) and `objsense` writes an OBJSENSE section instead of negating a maximised
    objective. For LP, `max_name_length` bounds the names and `dummy_var_name` is the variable
    rows without terms are written with.

    What readers would take differently is written so that they cannot: without `rename`, a
    name an LP file cannot carry fails the write before anything is written (RuntimeError
    naming the name and `rename_option`); an objective constant is written as a column fixed at
    1 whose objective coefficient is the constant (readers disagree on a constant written any
    other way); an objective without terms gets a zero term in LP; an integer column without
    an upper bound gets a PL line in MPS (some readers bound it by 1 otherwise). Returns the
    name of the constant's column, or None when the objective has no constant.
    """
    name = os.fspath(path)
    fmt = format_of(name)
    label = obj_name or (None if rename else objective_name(model)) or "OBJ"
    with output_file(name) as plain:
        if fmt == "lp":
            if rename:  # on a copy: the model keeps its names
                model = model.copy_model()
                rename_all(model)
            try:
                return _native.write_lp(model, plain, not relax, max_name_length, label, dummy_var_name)
            except RuntimeError as exc:
                text = str(exc)
                if text.endswith(RENAME_OPTION):
                    raise RuntimeError(text.removesuffix(RENAME_OPTION) + rename_option + " writes generated names)") from None
                raise
        sense = -1 if model.get_sense() is ObjSense.Maximize else 1
        title = model_name_ if model_name_ is not None else model_name(model)
        return _native.write_mps(model, plain, sense, not relax, objsense, rename, title, label)


# How the native writer names the option that writes generated names; each caller names it as
# its user gives it.
RENAME_OPTION = "the rename option writes generated names)"


def rename_all(model: Model) -> None:
    """Gives every variable and constraint a generated name, as the MPS writer's rename does."""
    for i, variable in enumerate(model.list_variables()):
        variable.set_name(f"X{i:07d}")
    for i, constraint in enumerate(model.list_constraints()):
        constraint.set_name(f"C{i:07d}")
