"""Writing a model to a file whose name says the format: .lp or .mps, gzip-compressed with .gz.

The writers of the native core write plain text to a path; this module stages the output
beside the target (compressing it when asked) and moves it into place only when the whole
file is written, so a failed write leaves an existing file as it was.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import stat
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from typing import NoReturn

from zemlo import _native
from zemlo._ondrel import Model, ObjSense

__all__ = [
    "DEFAULT_GZIP_LEVEL", "LP_DUMMY_VAR_NAME", "LP_MAX_NAME_LENGTH", "check_output", "format_of", "output_file",
    "write_model",
]

# The writers' defaults, for every caller: the longest name an LP file gets, and the variable
# that rows without terms are written with in LP.
LP_MAX_NAME_LENGTH = 255
LP_DUMMY_VAR_NAME = "__dummy"


def format_of(path: str | os.PathLike[str]) -> str:
    """"lp" or "mps" from the file name (a final .gz aside); ValueError for any other name."""
    name = os.fspath(path)
    lower = name.lower().removesuffix(".gz")
    for suffix in (".lp", ".mps"):
        if lower.endswith(suffix):
            return suffix[1:]
    raise ValueError(f"{name}: cannot tell the format; the name must end in .lp, .mps, .lp.gz or .mps.gz")


@contextlib.contextmanager
def output_file(
    path: str | os.PathLike[str], *, force: bool = False, gzip_level: int | None = None
) -> Iterator[str]:
    """Yields a path to write the plain text of `path` to; when the body returns, `path` holds
    it, gzip-compressed (at `gzip_level`) when `path` ends in .gz.

    A regular file (a new one, or one a symbolic link leads to: the link stays a link) is
    written beside its place under a hidden name and renamed into place, keeping the permission
    bits and, where allowed, the owner of the file it replaces: a failure leaves an existing
    file as it was and no staging file behind. A device, FIFO or other file that is not regular
    is written directly. A .gz file is compressed as it is written, by a helper process reading
    a pipe, with no uncompressed copy anywhere.

    Before anything is written, `check_output` refuses what cannot be written (an existing
    file we may not write is refused unless `force`). Every error names `path`, never a
    staging file or pipe: OSError subclasses for what the system refuses, whatever the writer
    in the body reports for the rest. `gzip_level` defaults to DEFAULT_GZIP_LEVEL.
    """
    name = os.fspath(path)
    level = _gzip_level(DEFAULT_GZIP_LEVEL if gzip_level is None else gzip_level)
    target = check_output(name, force=force)
    compressed = name.lower().endswith(".gz")
    if target.kind == "special" and not compressed:
        # Nothing to stage: the writer opens the device or FIFO itself.
        try:
            yield name
        except BaseException as exc:
            _raise_named(exc, name, ())
        return
    staged: str | None = None
    sink = -1
    try:
        if target.kind == "special":
            sink = _opened(target.real, name)
        else:
            sink, staged = _staging_file(target, name)
        if not compressed:
            os.close(sink)
            sink = -1
            assert staged is not None
            yield staged
        else:
            with _compressor(sink, level, name) as plain:
                os.close(sink)
                sink = -1
                yield plain
        if staged is not None:
            _put_in_place(staged, target, name)
            staged = None
    except BaseException as exc:
        if sink >= 0:
            os.close(sink)
        internal = () if staged is None else (staged,)
        if staged is not None:
            with contextlib.suppress(OSError):
                os.unlink(staged)
        _raise_named(exc, name, internal)


# The gzip level output_file uses unless told otherwise: level 1 compresses model files about
# as well as the higher levels (a few percent larger than level 6) at a fraction of the time.
DEFAULT_GZIP_LEVEL = 1
GZIP_LEVELS = range(1, 10)

def _gzip_level(level: object) -> int:
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError(f"gzip level must be an int, not {type(level).__name__}")
    if level not in GZIP_LEVELS:
        raise ValueError(f"gzip level must be a whole number from 1 to 9, not {level!r}")
    return level


@dataclass(frozen=True)
class OutputTarget:
    """Where output_file puts the bytes of `path`: `real` is the path with symbolic links
    followed; `kind` is "new" (no file there yet), "regular" (a regular file to replace) or
    "special" (a device, FIFO or socket, written directly); `existing` is the stat of the file
    replaced (None for a new one)."""

    path: str
    real: str
    kind: str
    existing: os.stat_result | None


def check_output(path: str | os.PathLike[str], *, force: bool = False) -> OutputTarget:
    """Whether `path` can be written, checked without writing it; returns where it goes.

    Raises, naming `path`: IsADirectoryError for a folder; FileNotFoundError "No such
    directory" when the folder it goes into does not exist; PermissionError when that folder
    takes no new file, or when an existing file (or device) may not be written by us (for a
    regular file, unless `force`, which replaces it all the same); any other OSError the system
    gives (a loop of symbolic links, a folder where nothing can be created such as /proc).
    """
    name = os.fspath(path)
    real = os.path.realpath(name)
    try:
        existing: os.stat_result | None = os.stat(real)
    except FileNotFoundError:
        existing = None
    except OSError as exc:
        raise _named(exc, name) from None
    if existing is not None and stat.S_ISDIR(existing.st_mode):
        raise IsADirectoryError(errno.EISDIR, "Is a directory", name)
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        if not os.access(real, os.W_OK):
            raise PermissionError(errno.EACCES, "Permission denied", name)
        return OutputTarget(name, real, "special", existing)
    folder = os.path.dirname(real)
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "No such directory", name)
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "Permission denied", name)
    if existing is not None and not force and not os.access(real, os.W_OK):
        raise PermissionError(errno.EACCES, "Read-only file (force=True replaces it)", name)
    # The test that catches the rest (a read-only file system, /proc, rights the mode bits do
    # not show): a staging file is made and removed.
    try:
        fd, probe = tempfile.mkstemp(prefix=".zemlo-", dir=folder)
    except OSError as exc:
        raise _named(exc, name) from None
    os.close(fd)
    os.unlink(probe)
    return OutputTarget(name, real, "regular" if existing is not None else "new", existing)


def _staging_file(target: OutputTarget, name: str) -> tuple[int, str]:
    """A new hidden file beside where `target` goes, open for writing."""
    try:
        return tempfile.mkstemp(prefix=".zemlo-", dir=os.path.dirname(target.real))
    except OSError as exc:
        raise _named(exc, name) from None


def _opened(real: str, name: str) -> int:
    """`real` (a device or FIFO) open for writing; opening a FIFO waits for its reader."""
    try:
        return os.open(real, os.O_WRONLY | os.O_CLOEXEC)
    except OSError as exc:
        raise _named(exc, name) from None


def _put_in_place(staged: str, target: OutputTarget, name: str) -> None:
    """Gives the staged file the permission bits (and owner, where we may) of the file it
    replaces, or those a new file gets, and renames it to where `target` goes."""
    existing = target.existing
    if existing is not None and (existing.st_uid, existing.st_gid) != (os.getuid(), os.getgid()):
        with contextlib.suppress(OSError):  # only the superuser may give a file away
            os.chown(staged, existing.st_uid, existing.st_gid)
    mode = stat.S_IMODE(existing.st_mode) if existing is not None else 0o666 & ~_umask()
    os.chmod(staged, mode)
    os.replace(staged, target.real)


def _umask() -> int:
    """The process's umask, read without changing it where the system shows it."""
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# The helper process that compresses: it reads the plain text on standard input and writes the
# gzip stream (no file name, time 0) to standard output; a failure exits 1 after printing the
# error number.
_COMPRESS = """\
import os, sys, zlib
level = int(sys.argv[1])
z = zlib.compressobj(level, zlib.DEFLATED, 31)
def put(data):
    view = memoryview(data)
    while view:
        view = view[os.write(1, view):]
try:
    while True:
        data = os.read(0, 1 << 20)
        if not data:
            break
        put(z.compress(data))
    put(z.flush())
except OSError as exc:
    print(exc.errno, file=sys.stderr)
    sys.exit(1)
"""


@contextlib.contextmanager
def _compressor(sink: int, level: int, name: str) -> Iterator[str]:
    """Yields a path (a pipe) whose bytes a helper process compresses into the descriptor
    `sink` as they come. The helper runs in its own session, so Ctrl-C reaches only us; on a
    failure in the body it is stopped. Raises OSError naming `name` when the helper fails."""
    read, write = os.pipe()
    # A pipe of 1 MiB rather than 64 kB: the writer's blocks pass in one piece, with far fewer
    # switches between the two processes.
    with contextlib.suppress(OSError, AttributeError):
        fcntl.fcntl(write, fcntl.F_SETPIPE_SZ, 1 << 20)
    try:
        helper = subprocess.Popen(
            [sys.executable, "-I", "-S", "-c", _COMPRESS, str(level)],
            stdin=read, stdout=sink, stderr=subprocess.PIPE, start_new_session=True,
        )
    except BaseException:
        os.close(read)
        os.close(write)
        raise
    os.close(read)
    try:
        try:
            yield f"/dev/fd/{write}"
        finally:
            os.close(write)
    except BaseException as exc:
        # The helper's own error (a full disk) explains a write that found the pipe closed.
        failure = _helper_failure(helper, name, stop=True)
        if failure is not None and _is_broken_pipe(exc):
            raise failure from None
        raise
    failure = _helper_failure(helper, name, stop=False)
    if failure is not None:
        raise failure


def _helper_failure(helper: subprocess.Popen[bytes], name: str, stop: bool) -> OSError | None:
    """Waits for the helper (killing it first when `stop`); its error as an OSError naming
    `name`, or None when it succeeded."""
    if stop:
        with contextlib.suppress(OSError):
            helper.kill()
    assert helper.stderr is not None
    with helper.stderr:
        text = helper.stderr.read().decode("ascii", "replace").strip()
    helper.wait()
    if helper.returncode == 0 or (stop and helper.returncode < 0):
        return None
    number = int(text) if text.isdigit() else errno.EIO
    return OSError(number, os.strerror(number), name)


def _is_broken_pipe(exc: BaseException) -> bool:
    if isinstance(exc, BrokenPipeError):
        return True
    return isinstance(exc, RuntimeError) and (_os_error_of(str(exc)) or (0,))[0] == errno.EPIPE


# How the native writers report what the system refused: the system's text, "(os error N)",
# after "Cannot create file: " when the file could not be opened.
_NATIVE_OS_ERROR = re.compile(r"(?:Cannot create file: )?(.*) \(os error (\d+)\)")


def _os_error_of(text: str) -> tuple[int, str] | None:
    match = _NATIVE_OS_ERROR.fullmatch(text)
    return None if match is None else (int(match.group(2)), match.group(1))


def _named(exc: OSError, name: str) -> OSError:
    """`exc` as the same kind of OSError naming `name`."""
    return OSError(exc.errno, exc.strerror or os.strerror(exc.errno or errno.EIO), name)


def _raise_named(exc: BaseException, name: str, internal: tuple[str, ...]) -> NoReturn:
    """Raises `exc`, or, when it is a system error about the file (naming a staging file or a
    pipe, or nothing), the same error naming `name`."""
    if isinstance(exc, OSError) and exc.errno is not None:
        filename = None if exc.filename is None else os.fspath(exc.filename)
        if filename is None or filename in internal or filename.startswith("/dev/fd/") or filename == name:
            raise _named(exc, name) from exc
    if type(exc) is RuntimeError:
        found = _os_error_of(str(exc))
        if found is not None:
            raise OSError(found[0], found[1], name) from exc
    raise exc


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
    max_name_length: int = LP_MAX_NAME_LENGTH,
    dummy_var_name: str = LP_DUMMY_VAR_NAME,
    rename_option: str = "rename=True",
    force: bool = False,
    gzip_level: int | None = None,
) -> str | None:
    """Writes `model` to `path` in the format its name gives (see format_of), as a file every
    reader takes the same way.

    `rename` writes generated names (X0000000.. for columns, C0000000.. for rows), `relax`
    writes integer columns as continuous ones, `obj_name` names the objective row (default:
    the objective's own name, else OBJ). For MPS, `model_name_` is the NAME line (default: the
    model's name) and `objsense` writes an OBJSENSE section instead of negating a maximised
    objective. For LP, `max_name_length` bounds the names and `dummy_var_name` is the variable
    rows without terms are written with. `force` and `gzip_level` are those of output_file.

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
    with output_file(name, force=force, gzip_level=gzip_level) as plain:
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
