"""Where output_file puts a file and what it refuses: regular files replaced atomically with
their permission bits, links followed, devices and FIFOs written directly, .gz compressed on the
way, and every refusal and failure naming the file, leaving nothing behind."""

from __future__ import annotations

import ctypes
import errno
import gzip
import os
import stat
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from zemlo._files import DEFAULT_GZIP_LEVEL, check_output, output_file, write_model
from zemlo._ondrel import Category, Model

TEXT = "line one\nline two\n" * 1000


def write_text(plain: str, text: str = TEXT) -> None:
    with open(plain, "w", encoding="utf-8") as f:
        f.write(text)


def read_back(path: Path) -> str:
    data = path.read_bytes()
    return (gzip.decompress(data) if str(path).endswith(".gz") else data).decode()


def hidden(folder: Path) -> list[str]:
    """Staging files left in `folder`."""
    return sorted(p.name for p in folder.iterdir() if p.name.startswith(".zemlo-"))


def open_descriptors() -> set[str]:
    return set(os.listdir("/proc/self/fd"))


# --- where the bytes go ----------------------------------------------------------------------


def new_file(tmp: Path, name: str) -> tuple[Path, Path]:
    return tmp / name, tmp / name


def existing_file(tmp: Path, name: str) -> tuple[Path, Path]:
    (tmp / name).write_text("old")
    (tmp / name).chmod(0o640)
    return tmp / name, tmp / name


def link_to_file(tmp: Path, name: str) -> tuple[Path, Path]:
    (tmp / "sub").mkdir()
    target = tmp / "sub" / name
    target.write_text("old")
    target.chmod(0o604)
    (tmp / name).symlink_to(target)
    return tmp / name, target


def dangling_link(tmp: Path, name: str) -> tuple[Path, Path]:
    (tmp / "sub").mkdir()
    (tmp / name).symlink_to(tmp / "sub" / name)
    return tmp / name, tmp / "sub" / name


@pytest.mark.parametrize("name", ["out.txt", "out.txt.gz"])
@pytest.mark.parametrize(("make", "mode"), [
    (new_file, 0o666 & ~0o022),
    (existing_file, 0o640),
    (link_to_file, 0o604),
    (dangling_link, 0o666 & ~0o022),
])
def test_a_regular_file_is_replaced_in_place_with_its_mode(tmp_path, name, make, mode):
    path, target = make(tmp_path, name)
    old_mask = os.umask(0o022)
    try:
        with output_file(str(path)) as plain:
            assert Path(plain) != target  # staged or piped, never the file itself
            write_text(plain)
            # Until the body ends, the old content (or no file) stays where it was.
            assert not target.exists() or target.read_text() == "old"
    finally:
        os.umask(old_mask)
    assert read_back(target) == TEXT
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert path.is_symlink() == (make in (link_to_file, dangling_link))
    assert hidden(tmp_path) == hidden(target.parent) == []


@pytest.mark.parametrize("name", ["out.txt", "out.txt.gz"])
def test_a_fifo_is_written_directly(tmp_path, name):
    fifo = tmp_path / name
    os.mkfifo(fifo)
    got: list[bytes] = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    with output_file(str(fifo)) as plain:
        if not name.endswith(".gz"):
            assert plain == str(fifo)
        write_text(plain)
    reader.join(timeout=60)
    data = got[0]
    assert (gzip.decompress(data) if name.endswith(".gz") else data).decode() == TEXT
    assert stat.S_ISFIFO(fifo.stat().st_mode)  # still the FIFO
    assert hidden(tmp_path) == []


@pytest.mark.parametrize("name", ["null.lp", "null.lp.gz"])
def test_a_link_to_a_device_writes_the_device(tmp_path, name):
    (tmp_path / name).symlink_to("/dev/null")
    m = Model("m")
    m.add_variable("x", 0.0, 1.0, Category.Continuous)
    write_model(m, tmp_path / name)
    assert os.readlink(tmp_path / name) == "/dev/null"
    assert hidden(tmp_path) == []


@pytest.mark.parametrize("level", [1, 6, 9])
def test_gzip_levels_give_the_same_text(tmp_path, level):
    out = tmp_path / "o.txt.gz"
    with output_file(str(out), gzip_level=level) as plain:
        write_text(plain, "".join(f"x{i} {i * 7 % 1000}\n" for i in range(20000)))
    fast = tmp_path / "fast.txt.gz"
    with output_file(str(fast), gzip_level=1) as plain:
        write_text(plain, "".join(f"x{i} {i * 7 % 1000}\n" for i in range(20000)))
    assert gzip.decompress(out.read_bytes()) == gzip.decompress(fast.read_bytes())
    assert out.stat().st_size <= fast.stat().st_size
    # A gzip stream of its own: no name, no time, readable by the gzip program.
    assert out.read_bytes()[:2] == b"\x1f\x8b" and out.read_bytes()[4:8] == bytes(4)


def test_the_gzip_level_reaches_the_file_through_write_model(tmp_path):
    from zemlo import AffineExpr, Category, Model

    m = Model("levels")
    xs = m.add_variables_batch([f"x{i}" for i in range(3000)], 0.0, 1.0, Category.Continuous)
    objective = AffineExpr()
    for i, x in enumerate(xs):
        objective.add_term(x, float(i % 97) + 0.5)
    m.set_objective(objective)
    sizes = {}
    for level in (1, 9, None):
        out = tmp_path / f"l{level}.mps.gz"
        write_model(m, out, gzip_level=level)
        sizes[level] = out.stat().st_size
        assert gzip.decompress(out.read_bytes()) == gzip.decompress((tmp_path / "l1.mps.gz").read_bytes())
    assert sizes[9] < sizes[1] == sizes[None]
    assert DEFAULT_GZIP_LEVEL == 1


@pytest.mark.parametrize(("level", "error", "message"), [
    (0, ValueError, "gzip level must be a whole number from 1 to 9, not 0"),
    (10, ValueError, "gzip level must be a whole number from 1 to 9, not 10"),
    (-1, ValueError, "gzip level must be a whole number from 1 to 9, not -1"),
    (1.0, TypeError, "gzip level must be an int, not float"),
    (True, TypeError, "gzip level must be an int, not bool"),
    ("1", TypeError, "gzip level must be an int, not str"),
])
def test_a_bad_gzip_level_is_refused_before_anything_is_made(tmp_path, level, error, message):
    out = tmp_path / "o.txt.gz"
    with pytest.raises(error) as raised:
        with output_file(str(out), gzip_level=level):
            pytest.fail("the body must not run")
    assert str(raised.value) == message
    assert list(tmp_path.iterdir()) == []


# --- what is refused, and failures -----------------------------------------------------------


def no_folder(tmp: Path) -> Path:
    return tmp / "no" / "such" / "out.txt"


def a_folder(tmp: Path) -> Path:
    (tmp / "out.txt").mkdir()
    return tmp / "out.txt"


def link_loop(tmp: Path) -> Path:
    (tmp / "out.txt").symlink_to(tmp / "out.txt")
    return tmp / "out.txt"


def into_proc(tmp: Path) -> Path:
    return Path("/proc/zemlo-out.txt")


def full_device(tmp: Path) -> Path:
    (tmp / "out.txt").symlink_to("/dev/full")
    return tmp / "out.txt"


def full_device_gz(tmp: Path) -> Path:
    (tmp / "out.txt.gz").symlink_to("/dev/full")
    return tmp / "out.txt.gz"


@pytest.mark.parametrize(("make", "error", "strerror", "in_check"), [
    (no_folder, FileNotFoundError, "No such directory", True),
    (a_folder, IsADirectoryError, "Is a directory", True),
    (link_loop, OSError, os.strerror(errno.ELOOP), True),
    (into_proc, FileNotFoundError, os.strerror(errno.ENOENT), True),
    (full_device, OSError, os.strerror(errno.ENOSPC), False),
    (full_device_gz, OSError, os.strerror(errno.ENOSPC), False),
])
def test_refusals_and_failures_name_the_file(tmp_path, make, error, strerror, in_check):
    path = make(tmp_path)
    before = sorted(tmp_path.iterdir())
    descriptors = open_descriptors()
    if in_check:
        with pytest.raises(error) as raised:
            check_output(str(path))
        assert (type(raised.value), raised.value.strerror, raised.value.filename) == (error, strerror, str(path))
    with pytest.raises(error) as raised:
        with output_file(str(path)) as plain:
            write_text(plain, TEXT * 100)  # /dev/full fails on the first block
    assert (type(raised.value), raised.value.strerror, raised.value.filename) == (error, strerror, str(path))
    assert sorted(tmp_path.iterdir()) == before  # no output, no staging file
    assert open_descriptors() == descriptors


@pytest.mark.parametrize("name", ["out.lp", "out.mps.gz"])
def test_the_native_writers_errors_name_the_file(tmp_path, name):
    (tmp_path / name).symlink_to("/dev/full")
    m = Model("m")
    m.add_variables_batch([f"x{i}" for i in range(100000)], 0.0, 1.0, Category.Continuous)
    with pytest.raises(OSError) as raised:
        write_model(m, tmp_path / name)
    assert (raised.value.errno, raised.value.filename) == (errno.ENOSPC, str(tmp_path / name))
    assert str(raised.value) == f"[Errno 28] No space left on device: '{tmp_path / name}'"


class Boom(Exception):
    pass


@pytest.mark.parametrize("name", ["out.txt", "out.txt.gz"])
@pytest.mark.parametrize("failure", [Boom, KeyboardInterrupt])
def test_a_failed_body_leaves_the_old_file_and_nothing_else(tmp_path, name, failure):
    out = tmp_path / name
    out.write_text("old")
    descriptors = open_descriptors()
    with pytest.raises(failure):
        with output_file(str(out)) as plain:
            write_text(plain)
            raise failure()
    assert out.read_text() == "old"
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]
    assert open_descriptors() == descriptors
    with pytest.raises(ChildProcessError):  # the compressing helper was waited for
        os.waitpid(-1, os.WNOHANG)


# --- permissions, checked as a user the mode bits bind ------------------------------------------


def _bound_by_mode_bits() -> None:
    """Run in the child before it starts: a superuser gives up overriding file permissions, so
    the mode bits bind it as they bind anyone else (an ordinary user is bound already)."""
    if os.geteuid() == 0:
        libc = ctypes.CDLL(None, use_errno=True)
        for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
            if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
                raise OSError(ctypes.get_errno(), "prctl")


CHILD = """
import sys
from zemlo._files import check_output, output_file
path, force = sys.argv[1], sys.argv[2] == "force"
try:
    check_output(path, force=force)
    with output_file(path, force=force) as plain:
        with open(plain, "w") as f:
            f.write("new")
except OSError as exc:
    print(type(exc).__name__, exc.strerror, exc.filename == path)
else:
    print("written")
"""


def bound_child(path: Path, force: bool) -> str:
    run = subprocess.run([sys.executable, "-c", CHILD, str(path), "force" if force else "no"], capture_output=True,
                         text=True, timeout=120, preexec_fn=_bound_by_mode_bits)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


@pytest.mark.parametrize(("folder_mode", "file_mode", "force", "outcome", "content", "mode_after"), [
    (0o555, None, False, "PermissionError Permission denied True", None, None),
    (0o555, 0o644, True, "PermissionError Permission denied True", "old", 0o644),
    (0o755, 0o444, False, "PermissionError Read-only file (force=True replaces it) True", "old", 0o444),
    (0o755, 0o444, True, "written", "new", 0o444),
    (0o755, 0o600, False, "written", "new", 0o600),
])
def test_permissions(tmp_path, folder_mode, file_mode, force, outcome, content, mode_after):
    folder = tmp_path / "f"
    folder.mkdir()
    out = folder / "out.txt"
    if file_mode is not None:
        out.write_text("old")
        out.chmod(file_mode)
    folder.chmod(folder_mode)
    try:
        assert bound_child(out, force) == outcome
        assert (out.read_text() if out.exists() else None) == content
        assert (stat.S_IMODE(out.stat().st_mode) if out.exists() else None) == mode_after
        assert hidden(folder) == []
    finally:
        folder.chmod(0o755)
