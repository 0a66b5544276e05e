"""The zemlo command, run as a user runs it: a subprocess, its exit status, its standard output
and error, and the files it writes, which glpsol and clp read back."""

import gzip
import json
import os
import re
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import pytest

from zemlo import AffineExpr, Category, Model, ObjSense, Sense, read_mps, write_mps
from support import netlib_model, require_solver, require_tool, solver  # noqa: F401 (fixture)

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
AFIRO = EXAMPLES / "afiro.mps.gz"


@pytest.fixture
def glpsol_installed():
    require_tool("glpsol", "glpk-utils")


@pytest.fixture
def clp_installed():
    require_tool("clp", "coinor-clp")


needs_glpsol = pytest.mark.usefixtures("glpsol_installed")
needs_clp = pytest.mark.usefixtures("clp_installed")


def zemlo(*args, env=None, cwd=None):
    """Runs `python -m zemlo ARGS`."""
    return subprocess.run([sys.executable, "-m", "zemlo", *map(str, args)], capture_output=True,
                          text=True, timeout=600, env=env, cwd=cwd)


def one_line_error(run, status):
    assert run.returncode == status, (run.stdout, run.stderr)
    assert "Traceback" not in run.stderr
    lines = run.stderr.splitlines()
    assert len(lines) == 1, run.stderr
    return lines[0]


def netlib(name: str) -> Path:
    return netlib_model(name)


def plain_copy(source: Path, tmp_path: Path) -> Path:
    target = tmp_path / source.name.removesuffix(".gz")
    target.write_bytes(gzip.decompress(source.read_bytes()))
    return target


def glpsol_objective(path: Path, fmt: str, tmp_path: Path) -> float:
    """glpsol's optimum for a file read as --lp, --mps or --freemps, from its solution file."""
    raw = tmp_path / f"{path.name}.sol"
    run = subprocess.run(["glpsol", fmt, str(path), "-w", str(raw)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout
    status = next(line.split() for line in raw.read_text().splitlines() if line.startswith("s "))
    assert status[4] in ("f", "o"), status  # a feasible basis or an optimal integer solution
    return float(status[-1])


# --- the command line itself -----------------------------------------------------------------


@pytest.mark.parametrize("command", ["", "info", "convert", "solve", "demo"])
def test_help_everywhere(command):
    run = zemlo(*command.split(), "--help")
    assert run.returncode == 0 and run.stderr == ""
    assert run.stdout.startswith(f"usage: zemlo {command}".rstrip())
    if not command:
        for sub in ("info", "convert", "solve", "demo"):
            assert f"\n    {sub} " in run.stdout


def test_version_from_metadata_through_both_entry_points():
    script = Path(sys.executable).with_name("zemlo")
    assert script.exists()
    for run in (zemlo("--version"), subprocess.run([script, "--version"], capture_output=True, text=True)):
        assert (run.returncode, run.stdout) == (0, f"zemlo {version('zemlo')}\n")


@pytest.mark.parametrize(("args", "message"), [
    ((), "zemlo: error: no command given; choose one of info, convert, solve, demo"),
    (("bogus",), "invalid choice: 'bogus'"),
    (("--bogus",), "unrecognized arguments: --bogus"),
    (("solve",), "zemlo solve: error: the following arguments are required: FILE"),
    (("solve", AFIRO, "--solver", "simplex"), "argument --solver: invalid choice: 'simplex'"),
    (("solve", AFIRO, "--time-limit", "0"), "argument --time-limit: must be a positive number of seconds: 0"),
    (("solve", AFIRO, "--time-limit", "-5"), "argument --time-limit: must be a positive number of seconds: -5"),
    (("solve", AFIRO, "--time-limit", "nan"), "argument --time-limit: must be a positive number of seconds: nan"),
    (("solve", AFIRO, "--time-limit", "inf"), "argument --time-limit: must be a positive number of seconds: inf"),
    (("solve", AFIRO, "--time-limit", "soon"), "argument --time-limit: must be a positive number of seconds: soon"),
    (("solve", AFIRO, "--tolerance=-1e-9"), "argument --tolerance: must be a number of at least 0: -1e-9"),
    (("solve", AFIRO, "--tolerance", "tiny"), "argument --tolerance: must be a number of at least 0: tiny"),
    (("solve", AFIRO, "--show", "-1"), "argument --show: must be a whole number of at least 0: -1"),
    (("solve", AFIRO, "--show", "2.5"), "argument --show: must be a whole number of at least 0: 2.5"),
    (("convert", AFIRO, "o.lp", "--max-name-length", "x"),
     "argument --max-name-length: must be a whole number of at least 0: x"),
    (("convert", AFIRO, "o.lp.gz", "--gzip-level", "0"), "argument --gzip-level: must be a whole number from 1 to 9: 0"),
    (("convert", AFIRO, "o.lp.gz", "--gzip-level", "10"),
     "argument --gzip-level: must be a whole number from 1 to 9: 10"),
    (("solve", AFIRO, "--solution", "s.csv.gz", "--gzip-level", "fast"),
     "argument --gzip-level: must be a whole number from 1 to 9: fast"),
    (("convert", AFIRO, "o.lp", "--gzip-level", "3"), "--gzip-level applies only to OUT ending in .gz"),
    (("solve", AFIRO, "--solution", "s.csv", "--gzip-level", "3"),
     "--gzip-level applies only to a --solution file ending in .gz"),
    (("solve", AFIRO, "--gzip-level", "3"), "--gzip-level applies only to a --solution file ending in .gz"),
    (("solve", AFIRO, "--solution", "out.txt"), "out.txt: the solution file must end in .csv or .json"),
    (("convert", AFIRO, "out.txt"), "out.txt: cannot tell the format"),
    (("convert", AFIRO, "out.lp", "--objsense"), "--objsense cannot be used when writing LP"),
    (("convert", AFIRO, "out.mps", "--max-name-length", "8"), "--max-name-length cannot be used when writing MPS"),
    (("convert", "model.lp", "out.mps", "--lenient"), "--lenient applies to MPS input only"),
    (("info", "model.mps", "--format", "csv"), "argument --format: invalid choice: 'csv'"),
    (("convert", AFIRO, "out.lp", "--obj-name", "O\nSubject To"),
     "argument --obj-name: must not contain a line break or NUL character: 'O\\nSubject To'"),
    (("convert", AFIRO, "out.mps", "--model-name", "M\u2028"),
     "argument --model-name: must not contain a line break or NUL character: 'M\\u2028'"),
    (("convert", AFIRO, "out.lp", "--dummy-var-name", "d\r"),
     "argument --dummy-var-name: must not contain a line break or NUL character: 'd\\r'"),
])
def test_usage_errors_exit_2_with_one_line(tmp_path, args, message):
    line = one_line_error(zemlo(*args, cwd=tmp_path), 2)
    assert message in line and line.startswith("zemlo")


BAD_ROWS = "NAME bad\nROWS\n N obj\n X r1\nENDATA\n"
RESERVED = "NAME r\nROWS\n N obj\n L _r1\nCOLUMNS\n x _r1 1\nENDATA\n"


def test_rows_named_like_automatic_names_convert_as_automatic_rows(tmp_path):
    (tmp_path / "r.mps").write_text(RESERVED)
    run = zemlo("convert", "r.mps", "r.lp", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "\n_C1: x <= 0\n" in (tmp_path / "r.lp").read_text()


@pytest.mark.parametrize(("args", "files", "message"), [
    (("info", "missing.mps"), {}, "zemlo: error: No such file or directory: missing.mps"),
    (("solve", "missing.mps.gz"), {}, "zemlo: error: No such file or directory: missing.mps.gz"),
    (("info", "bad.mps"), {"bad.mps": BAD_ROWS}, "zemlo: error: bad.mps: ROWS line 4: unknown row type 'X'"),
    (("info", "cut.mps.gz"), {"cut.mps.gz": gzip.compress(BAD_ROWS.encode())[:20]},
     "zemlo: error: cut.mps.gz: Cannot read file: the gzip stream ends early"),
    (("convert", AFIRO, "no/such/dir/out.lp"), {}, "zemlo: error: No such directory:"),
    (("convert", AFIRO, "r.lp", "--max-name-length", "2"), {},
     'zemlo: error: Variable names too long for Lp format: ["X01"'),
])
def test_failures_exit_1_with_one_line(tmp_path, args, files, message):
    for name, content in files.items():
        (tmp_path / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    line = one_line_error(zemlo(*args, cwd=tmp_path), 1)
    assert line.startswith(message)
    # Nothing is left behind: no output, no half-written temporary file.
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(files)


STRICT = (
    "NAME s\nROWS\n N obj\n L lim\nCOLUMNS\n    x obj 2.0 lim 1.0\n    y lim 3.0\n"
    "RHS\n    RHS lim 4.0\nBOUNDS\n UP BND x 5.0\nENDATA\n"
)


def gzip_bomb(path: Path) -> None:
    """256 MiB of zeros, a few hundred kB compressed."""
    with gzip.open(path, "wb", compresslevel=1) as f:
        for _ in range(256):
            f.write(b"\0" * (1 << 20))


# (what, the input: text, bytes, a device or a maker of the file, the error after "IN: ", and
# for the inputs info describes rather than refuses, the kind of its note)
BAD_INPUTS = [
    ("garbage", bytes(range(256)) * 4, "line 2 is not UTF-8 text", None),  # line 1: bytes 0 to 9
    ("text", "Dear user,\nthis is a letter.\n", "no ROWS section in 2 lines: this is not an MPS file", None),
    ("LP named .mps", "Minimize\n obj: x\nSubject To\n c: x >= 1\nEnd\n",
     "no ROWS section in 5 lines: this is not an MPS file", None),
    ("undeclared row", STRICT.replace("y lim", "y limm"), "COLUMNS line 7: row 'limm' is not declared in ROWS",
     "undeclared in ROWS"),
    ("undeclared column", STRICT.replace("UP BND x", "UP BND z"),
     "BOUNDS line 11: column 'z' is not declared in COLUMNS", "undeclared in COLUMNS"),
    ("NaN", STRICT.replace("3.0", "NaN"), "COLUMNS line 7: 'NaN' is NaN, which no model can hold", None),
    ("unknown bound type", STRICT.replace("UP BND", "SC BND"), "BOUNDS line 11: unknown bound type 'SC'", None),
    ("D exponent", STRICT.replace("3.0", "3.0D3"), "COLUMNS line 7: '3.0D3' is not a number", None),
    ("blanks in names", STRICT.replace("    y lim 3.0", "    y 2 lim 3.0 x"),
     "COLUMNS line 7: 'lim' is not a number", None),
    ("truncated", STRICT[:STRICT.index("RHS")], "no ENDATA line in 7 lines: the file is cut short", "cut short"),
    ("truncated mid-line", STRICT[:STRICT.index(" 3.0")], "COLUMNS line 7: row 'lim' has no value", "cut short"),
    ("empty", "", "no ROWS section in 0 lines: this is not an MPS file", None),
    ("/dev/urandom", "/dev/urandom", "line * is not UTF-8 text", None),
    ("/dev/zero", "/dev/zero", "line 1 is longer than 1 MiB: this is not an MPS file", None),
    ("gzip bomb", gzip_bomb, "line 1 is longer than 1 MiB: this is not an MPS file", None),
]


@pytest.fixture(scope="module")
def small_read_peak(tmp_path_factory):
    """The peak resident memory of `zemlo info` on a small file, in a child as the table runs
    them (a sanitized build's own memory included)."""
    path = tmp_path_factory.mktemp("peak") / "small.mps"
    path.write_text(STRICT)
    run = subprocess.run([sys.executable, "-c", PEAK, "info", str(path)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    return int(run.stderr.splitlines()[-1])


@pytest.mark.parametrize("command", ["info", "convert", "solve"])
@pytest.mark.parametrize(("what", "content", "message", "note"), BAD_INPUTS, ids=[b[0] for b in BAD_INPUTS])
def test_bad_inputs_exit_1_with_one_line_leaving_no_file(tmp_path, command, what, content, message, note,
                                                         small_read_peak):
    if command == "solve":
        require_solver("highs")
    if isinstance(content, str) and content.startswith("/dev/"):
        source = content
    else:
        source = tmp_path / ("in.mps.gz" if callable(content) else "in.mps")
        if callable(content):
            content(source)
        else:
            source.write_bytes(content if isinstance(content, bytes) else content.encode())
    before = sorted(tmp_path.iterdir())
    if command == "info" and note is not None:
        run = zemlo("info", source, "--json")
        assert run.returncode == 0, run.stderr
        assert note in {n["kind"] for n in json.loads(run.stdout)["notes"]}
        return
    args = {"info": (source,), "convert": (source, tmp_path / "out.lp"), "solve": (source,)}[command]
    # The child prints its peak resident memory last: an endless input must not grow it past
    # what reading a small file takes by more than the line cap and its buffers.
    run = subprocess.run([sys.executable, "-c", PEAK, command, *map(str, args)], capture_output=True, text=True,
                         timeout=600)
    *lines, peak = run.stderr.splitlines()
    assert (run.returncode, len(lines)) == (1, 1), run.stderr
    assert re.fullmatch(re.escape(f"zemlo: error: {source}: {message}").replace(r"\*", r"\d+"), lines[0])
    assert int(peak) < small_read_peak + (128 << 20)
    assert sorted(tmp_path.iterdir()) == before  # no output, no temporary file


# The peak is the program's own: VmHWM starts afresh when the program is executed, whereas
# getrusage's ru_maxrss keeps the peak of the process it was forked from (pytest's worker, grown
# by whatever tests it ran before) and would measure that instead.
PEAK = """
import sys
from zemlo.cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
print(peak * 1024, file=sys.stderr)
sys.exit(status)
"""


def test_debug_shows_the_traceback(tmp_path):
    run = zemlo("info", "missing.mps", "--debug", cwd=tmp_path)
    assert run.returncode == 1
    assert "Traceback" in run.stderr and "FileNotFoundError" in run.stderr


def many_values_model(path: Path, n: int) -> None:
    """min sum x_i with 1 <= x_i: n non-zero values to print."""
    m = Model("many")
    xs = m.add_variables_batch([f"x{i}" for i in range(n)], 1.0, 2.0, Category.Continuous)
    objective = AffineExpr()
    for x in xs:
        objective.add_term(x, 1.0)
    m.set_objective(objective)
    write_mps(m, str(path), 1, True, False, False, "many", "OBJ")


def test_output_into_a_closed_pipe_is_no_failure_to_report(tmp_path):
    solver = "highs"
    require_solver(solver)
    many_values_model(tmp_path / "many.mps", 20000)
    # As `zemlo solve many.mps --show 20000 | head -1`: the reader leaves after one line.
    process = subprocess.Popen([sys.executable, "-m", "zemlo", "solve", "many.mps", "--solver", solver,
                                "--show", "20000", "-q"], cwd=tmp_path, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    first = process.stdout.readline()
    process.stdout.close()
    stderr = process.stderr.read()
    process.wait(timeout=300)
    assert first.startswith("model       many")
    assert stderr == ""
    assert process.returncode == 1


def test_quiet_silences_progress(tmp_path):
    loud = zemlo("convert", AFIRO, tmp_path / "a.lp")
    assert loud.returncode == 0
    assert re.fullmatch(r"zemlo: wrote .*a\.lp \(\d+ bytes, 27 rows, 32 columns\) in \d+\.\d\d s\n", loud.stderr)
    # -q before or after the command.
    for args, out in ((("-q", "convert"), "b.lp"), (("convert", "-q"), "c.lp")):
        quiet = zemlo(*args, AFIRO, tmp_path / out)
        assert (quiet.returncode, quiet.stderr, quiet.stdout) == (0, "", "")
        assert (tmp_path / out).read_bytes() == (tmp_path / "a.lp").read_bytes()


# --- convert ---------------------------------------------------------------------------------


def test_gzip_out_and_in_and_force(tmp_path):
    for name in ("afiro.mps.gz", "afiro.lp.gz", "afiro.mps"):
        assert zemlo("convert", AFIRO, tmp_path / name).returncode == 0
    assert gzip.decompress((tmp_path / "afiro.mps.gz").read_bytes()) == (tmp_path / "afiro.mps").read_bytes()
    assert gzip.decompress((tmp_path / "afiro.lp.gz").read_bytes()).startswith(b"\\* AFIRO *\\\nMinimize\n")
    again = zemlo("info", tmp_path / "afiro.mps.gz", "--json")
    assert json.loads(again.stdout)["rows"]["total"] == 27

    target = tmp_path / "afiro.mps"
    target.write_text("keep me")
    line = one_line_error(zemlo("convert", AFIRO, target), 2)
    assert line.startswith(f"zemlo: error: {target} exists; use --force to replace it")
    assert target.read_text() == "keep me"
    assert zemlo("convert", AFIRO, target, "--force").returncode == 0
    assert target.read_bytes() == gzip.decompress((tmp_path / "afiro.mps.gz").read_bytes())


CONVERTIBLE = ["afiro", "adlittle", "sc50a", "kb2", "share2b", "bore3d"]


@needs_glpsol
@pytest.mark.parametrize("name", CONVERTIBLE)
def test_converted_lp_keeps_the_optimum(tmp_path, name):
    source = netlib(name)
    expected = glpsol_objective(plain_copy(source, tmp_path), "--mps", tmp_path)
    assert zemlo("convert", source, tmp_path / "renamed.lp", "--rename").returncode == 0
    assert "C0000000" in (tmp_path / "renamed.lp").read_text()
    outputs = ["renamed.lp"]
    # Where info finds no name an LP file cannot carry, the file's own names work as well.
    info = json.loads(zemlo("info", source, "--json").stdout)
    if not any(note["kind"].startswith("LP names") for note in info["notes"]):
        assert zemlo("convert", source, tmp_path / "named.lp").returncode == 0
        outputs.append("named.lp")
    for out in outputs:
        assert glpsol_objective(tmp_path / out, "--lp", tmp_path) == pytest.approx(expected, rel=1e-9, abs=1e-9)


@needs_clp
@pytest.mark.parametrize("name", CONVERTIBLE)
def test_converted_mps_keeps_the_optimum_for_clp(tmp_path, name):
    source = netlib(name)
    out = tmp_path / "out.mps"
    assert zemlo("convert", source, out, "--rename").returncode == 0
    runs = [subprocess.run(["clp", str(path), "-solve"], capture_output=True, text=True, timeout=300).stdout
            for path in (plain_copy(source, tmp_path), out)]
    optimum = [float(re.search(r"Optimal objective\s+(\S+)", run).group(1)) for run in runs]
    assert optimum[1] == pytest.approx(optimum[0], rel=1e-9, abs=1e-9)


def workshop_file(path: Path) -> None:
    """max 45 c + 80 t, 5 c + 20 t <= 400, 10 c + 15 t <= 450, c and t integer: 2200."""
    m = Model("workshop")
    c = m.add_variable("c", 0.0, 40.0, Category.Integer)
    t = m.add_variable("t", 0.0, float("inf"), Category.Integer)
    objective = AffineExpr()
    objective.add_term(c, 45.0)
    objective.add_term(t, 80.0)
    m.set_objective(objective)
    m.set_sense(ObjSense.Maximize)
    for name, a, b, available in (("wood", 5.0, 20.0, 400.0), ("labour", 10.0, 15.0, 450.0)):
        row = AffineExpr()
        row.add_term(c, a)
        row.add_term(t, b)
        row.set_constant(-available)
        row.set_sense(Sense.LessEqual)
        row.set_name(name)
        m.add_constraint(row)
    write_mps(m, str(path), -1, True, False, False, "workshop", "profit")


@needs_glpsol
def test_a_maximising_file_converts_either_way(tmp_path):
    workshop_file(tmp_path / "w.mps")
    for out, flags in (("a.mps", ("--objsense",)), ("b.mps", ()), ("c.lp", ())):
        assert zemlo("convert", tmp_path / "w.mps", tmp_path / out, *flags).returncode == 0
    # Without OBJSENSE the objective is written negated and minimised: the file comes back as
    # it was, but for the integer column without an upper bound, which gets a PL line where the
    # module's writer writes LO 0 (glpsol would bound it by 1). The LP file says Maximize.
    assert (tmp_path / "b.mps").read_text() == (tmp_path / "w.mps").read_text().replace(
        " LO BND       t          0.000000000000e0\n", " PL BND       t       \n")
    assert glpsol_objective(tmp_path / "c.lp", "--lp", tmp_path) == 2200
    assert glpsol_objective(tmp_path / "b.mps", "--freemps", tmp_path) == -2200
    # glpsol and clp read no OBJSENSE section in front of NAME, and glpsol bounds integer
    # columns without an UP line by 1; HiGHS reads both MPS files as written.
    assert (tmp_path / "a.mps").read_text().startswith("OBJSENSE\n MAX\nNAME          workshop\n")
    import highspy
    for out, optimum in (("a.mps", 2200), ("b.mps", -2200)):
        h = highspy.Highs()
        h.setOptionValue("output_flag", False)
        h.readModel(str(tmp_path / out))
        h.run()
        assert h.getInfo().objective_function_value == optimum


# --- info ------------------------------------------------------------------------------------


GLPSOL_COUNTS = re.compile(r"^(\d+) rows?, (\d+) columns?, (\d+) non-zeros?$", re.M)


@needs_glpsol
@pytest.mark.parametrize("name", ["afiro", "adlittle", "kb2", "sierra", "pilot87", "maros-r7"])
def test_info_counts_match_glpsol(tmp_path, name):
    source = netlib(name)
    check = subprocess.run(["glpsol", "--mps", str(plain_copy(source, tmp_path)), "--check"],
                           capture_output=True, text=True, timeout=300).stdout
    rows, columns, nonzeros = map(int, GLPSOL_COUNTS.search(check).groups())
    run = zemlo("info", source, "--json")
    assert run.returncode == 0, run.stderr
    info = json.loads(run.stdout)
    # glpsol counts the objective as a row and its coefficients as non-zeros.
    assert info["rows"]["total"] + 1 == rows
    assert info["columns"]["total"] == columns
    assert info["nonzeros"] + info["objective"]["terms"] == nonzeros
    assert sum(info["rows"][k] for k in ("less-or-equal", "equal", "greater-or-equal")) == info["rows"]["total"]
    assert sum(info["bounds"].values()) == info["columns"]["total"]
    assert "RANGES section" not in {n["kind"] for n in info["notes"]}


def test_standard_input_a_pipe_and_a_fifo_read_as_the_file_does(tmp_path):
    import threading

    source = netlib("e226")
    text = gzip.decompress(source.read_bytes())
    want = json.loads(zemlo("info", source, "--json").stdout)
    # cat e226.mps | zemlo info -
    run = subprocess.run([sys.executable, "-m", "zemlo", "info", "-", "--json"], input=text, capture_output=True)
    got = json.loads(run.stdout)
    assert (got.pop("file"), got.pop("bytes")) == ("-", len(text))
    assert got == {k: v for k, v in want.items() if k not in ("file", "bytes")}
    # zemlo convert <(gzip -c e226.mps) out.mps, and a FIFO a writer fills
    assert zemlo("convert", source, tmp_path / "want.mps").returncode == 0
    read, write = os.pipe()
    feeder = threading.Thread(target=lambda: (os.write(write, source.read_bytes()), os.close(write)))
    feeder.start()
    run = subprocess.run([sys.executable, "-m", "zemlo", "convert", f"/dev/fd/{read}", tmp_path / "pipe.mps"],
                         pass_fds=(read,), capture_output=True, text=True)
    feeder.join()
    os.close(read)
    assert run.returncode == 0, run.stderr
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    feeder = threading.Thread(target=lambda: fifo.write_bytes(text))
    feeder.start()
    assert zemlo("convert", fifo, tmp_path / "fifo.mps").returncode == 0
    feeder.join()
    assert (tmp_path / "pipe.mps").read_bytes() == (tmp_path / "fifo.mps").read_bytes() == \
        (tmp_path / "want.mps").read_bytes()


def test_lp_files_are_read_by_every_command(tmp_path):
    # facility as an LP file: described, solved and converted back to MPS as the MPS file is;
    # standard input needs --format lp.
    lp = tmp_path / "facility.lp"
    assert zemlo("convert", EXAMPLES / "facility.mps", lp, "-q").returncode == 0
    want = json.loads(zemlo("info", EXAMPLES / "facility.mps", "--json").stdout)
    got = json.loads(zemlo("info", lp, "--json").stdout)
    for key in ("name", "sense", "rows", "columns", "bounds", "nonzeros", "notes"):
        assert got[key] == want[key], key
    piped = subprocess.run([sys.executable, "-m", "zemlo", "info", "-", "--format", "lp", "--json"],
                           input=lp.read_bytes(), capture_output=True)
    assert json.loads(piped.stdout)["rows"] == want["rows"]
    run = zemlo("solve", lp, "--show", "0")
    assert run.returncode == 0, run.stderr
    assert float(re.search(r"^objective   (\S+)", run.stdout, re.M).group(1)) == pytest.approx(2900, rel=1e-9)
    # Written again, the file holds the same lines; the Bounds and Generals sections list the
    # variables in the order they were read.
    assert zemlo("convert", lp, tmp_path / "back.lp", "-q").returncode == 0
    assert sorted((tmp_path / "back.lp").read_text().splitlines()) == sorted(lp.read_text().splitlines())


def test_ranges_are_described_and_read_on_request(tmp_path):
    source = netlib("boeing1")
    run = zemlo("info", source, "--json")
    assert run.returncode == 0, run.stderr
    notes = {n["kind"]: n for n in json.loads(run.stdout)["notes"]}
    assert notes["ranged rows"]["count"] == 89
    line = one_line_error(zemlo("convert", source, tmp_path / "b.lp"), 1)
    assert line == (f"zemlo: error: {source}: RANGES line 2428: row 'DMBOSHNL' has a range, which is read only "
                    "with --ranges")
    assert not (tmp_path / "b.lp").exists()
    assert zemlo("convert", source, tmp_path / "b.mps", "--ranges").returncode == 0
    assert "    DMBOSHNL_range  DMBOSHNL  -1.000000000000e0\n" in (tmp_path / "b.mps").read_text()


def test_info_describes_what_a_strict_read_refuses(tmp_path):
    path = tmp_path / "odd.mps"
    path.write_text(STRICT.replace("y lim 3.0", "y limm 3.0").replace("UP BND x", "UP BND z")
                    .replace("ENDATA", "QUADOBJ\n x x 1.0\n y y 2.0\nENDATA"))
    run = zemlo("info", path, "--json")
    assert run.returncode == 0, run.stderr
    notes = {n["kind"]: (n["count"], n["examples"]) for n in json.loads(run.stdout)["notes"]}
    assert notes["sections no model can hold"] == (2, ["QUADOBJ"])
    assert notes["undeclared in ROWS"] == (1, ["limm"])
    assert notes["undeclared in COLUMNS"] == (1, ["z"])
    text = zemlo("info", path).stdout
    assert "  coefficients of rows ROWS does not declare, from line 7: load_mps refuses the file " in text
    # The same file, converted: refused at the first of them, or read passing over (and saying)
    # the undeclared names; the quadratic section no model holds is refused either way.
    line = one_line_error(zemlo("convert", path, tmp_path / "o.lp"), 1)
    assert line.endswith("odd.mps: COLUMNS line 7: row 'limm' is not declared in ROWS")
    line = one_line_error(zemlo("convert", path, tmp_path / "o.lp", "--lenient"), 1)
    assert line.endswith("odd.mps: QUADOBJ line 13: quadratic objectives are not supported")
    path.write_text(path.read_text().replace("QUADOBJ\n x x 1.0\n y y 2.0\n", ""))
    run = zemlo("convert", path, tmp_path / "o.lp", "--lenient")
    assert run.returncode == 0
    assert run.stderr.splitlines()[:2] == [
        f"zemlo: {path}: passed over 1 coefficients of rows ROWS does not declare (limm), the first on line 7",
        f"zemlo: {path}: passed over 1 bounds of columns COLUMNS does not declare (z), the first on line 11",
    ]


def test_info_notes_what_a_solver_or_lp_file_may_not_take(tmp_path):
    path = tmp_path / "notes.mps"
    path.write_text(
        "NAME notes\nROWS\n N cost\n L 2fast\n L r:1\n E empty\n G st\n L 2fast\n"
        "COLUMNS\n    MARK 'MARKER' 'INTORG'\n    n cost 1 st 1\n    MARK 'MARKER' 'INTEND'\n"
        "    x 2fast 1\n    y r:1 1\n    x st 1\n"
        "RHS\n    RHS cost 5 st 1\nBOUNDS\n FR BND y\n FX BND x 3\nENDATA\n"
    )
    run = zemlo("info", path, "--json")
    info = json.loads(run.stdout)
    notes = {n["kind"]: n["examples"] for n in info["notes"]}
    assert notes == {
        "repeated rows": ["2fast"],
        "split columns": ["x"],
        "LP names: leading digit or period": ["2fast"],
        "LP names: characters": ["r:1"],
        "LP names: keyword": ["st"],
        "empty rows": ["empty"],
        "free columns": ["y"],
        "fixed columns": ["x"],
        "integer columns without upper bound": ["n"],
    }
    assert info["objective"] == {"row": "cost", "terms": 1, "constant": -5.0}
    text = zemlo("info", path).stdout
    assert "  names an LP file cannot carry (characters): convert to LP with --rename: 1 (r:1)\n" in text


@needs_glpsol
@pytest.mark.parametrize(("name", "fit"), [
    ("2fast", False), ("r:1", False), ("a-b", False), ("x+y", False), (".5", False), ("a[1]", False),
    ("\u00fc", False), ("st", False), ("end", False), ("Bounds", False), ("MAXIM", False), ("gen", False),
    ("fine_name", True), ("x.y", True), ("#a!b", True), ("Z9", True), ("subj", True), ("maximal", True),
])
def test_info_calls_unfit_the_names_glpsol_misreads_in_an_lp_file(tmp_path, name, fit):
    # A name as the LP writer places it: a column after a coefficient, a row label at the start
    # of a line. The file carries the name when glpsol reads both back unchanged; it fails, or
    # splits the name into a coefficient and other names, where info says it cannot.
    from zemlo._names import lp_name_problem

    lp, back = tmp_path / "n.lp", tmp_path / "n.mps"
    lp.write_text(f"Minimize\nobj: 2 {name}\nSubject To\n{name}: 3 {name} >= 1\nEnd\n", encoding="utf-8")
    run = subprocess.run(["glpsol", "--lp", str(lp), "--check", "--wfreemps", str(back)], capture_output=True)
    if run.returncode == 0:
        result = read_mps(str(back), 1)
        read_back = ([v.name for v in result.variables], [c.name for c in result.constraints]) == ([name], [name])
    else:
        read_back = False
    assert read_back is fit
    assert (lp_name_problem(name) is None) is fit


# --- solve -----------------------------------------------------------------------------------




@pytest.mark.parametrize(("example", "optimum"), [("afiro.mps.gz", -464.7531428571429), ("facility.mps", 2900.0)])
def test_solve_prints_a_checked_optimum(tmp_path, solver, example, optimum):
    out = tmp_path / "solution.json.gz"
    run = zemlo("solve", EXAMPLES / example, "--solver", solver, "--time-limit", "120", "--solution", out)
    assert run.returncode == 0, run.stderr
    assert "status      optimal\n" in run.stdout
    printed = float(re.search(r"^objective   (\S+)", run.stdout, re.M).group(1))
    assert printed == pytest.approx(optimum, rel=1e-9)
    assert re.search(r"^check       passed at tolerance 1e-06", run.stdout, re.M)
    document = json.loads(gzip.decompress(out.read_bytes()))
    assert document["objective"] == printed and document["status"] == "optimal"
    assert len(document["variables"]) == (32 if example.startswith("afiro") else 40)
    assert run.stderr.startswith("zemlo: solving") and f"zemlo: wrote {out}\n" in run.stderr


def test_solution_csv(tmp_path):
    require_solver("glpk")
    out = tmp_path / "s.csv"
    assert zemlo("solve", EXAMPLES / "facility.mps", "--solver", "glpk", "--solution", out, "-q").returncode == 0
    lines = out.read_text().splitlines()
    assert lines[0] == "kind,name,value,reduced_cost,dual,slack"
    assert "variable,open_east,1.0,," in "\n".join(lines)
    assert len(lines) == 1 + 40 + 20
    again = zemlo("solve", EXAMPLES / "facility.mps", "--solver", "glpk", "--solution", out)
    assert one_line_error(again, 2).startswith(f"zemlo: error: {out} exists; use --force")


FAKE_GLPSOL = """#!/bin/sh
# Answers every model of one row and two columns with x = 5, y = 0: x + y <= 4 is broken.
while [ $# -gt 0 ]; do if [ "$1" = "-w" ]; then out="$2"; fi; shift; done
printf 's bas 1 2 f f 5\\ni 1 b 5 0\\nj 1 b 5 0\\nj 2 l 0 0\\ne o f\\n' > "$out"
echo "OPTIMAL LP SOLUTION FOUND"
"""


def test_a_wrong_answer_from_the_solver_fails_the_check(tmp_path):
    m = Model("tiny")
    x = m.add_variable("x", 0.0, 10.0, Category.Continuous)
    y = m.add_variable("y", 0.0, 10.0, Category.Continuous)
    objective = AffineExpr()
    objective.add_term(x, -1.0)
    objective.add_term(y, -1.0)
    m.set_objective(objective)
    row = AffineExpr.from_variable(x)
    row.add_term(y, 1.0)
    row.set_constant(-4.0)
    row.set_sense(Sense.LessEqual)
    row.set_name("limit")
    m.add_constraint(row)
    write_mps(m, str(tmp_path / "tiny.mps"), 1, True, False, False, "tiny", "OBJ")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "glpsol").write_text(FAKE_GLPSOL)
    (bin_dir / "glpsol").chmod(0o755)
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}"}
    run = zemlo("solve", "tiny.mps", "--solver", "glpk", "-q", env=env, cwd=tmp_path)
    line = one_line_error(run, 1)
    assert line == ("zemlo: error: the glpk solution misses the model by more than 1e-06 "
                    "(bound 0, integrality 0, constraint 1)")
    assert "check       FAILED at tolerance 1e-06: largest bound violation 0, integrality violation 0, " \
           "constraint violation 1 (limit)" in run.stdout
    assert zemlo("solve", "tiny.mps", "--solver", "glpk", "--tolerance", "1", env=env, cwd=tmp_path).returncode == 0


def test_a_missing_solver_is_named_with_how_to_get_it(tmp_path):
    shadow = tmp_path / "shadow"
    shadow.mkdir()
    (shadow / "highspy.py").write_text("raise ImportError('highspy is not installed here')\n")
    cases = [
        ("highs", {"PYTHONPATH": str(shadow)}, "pip install 'zemlo[solve]'"),
        ("cbc", {"PATH": str(tmp_path)}, "apt-get install coinor-cbc"),
        ("glpk", {"PATH": str(tmp_path)}, "apt-get install glpk-utils"),
    ]
    for solver, extra, hint in cases:
        line = one_line_error(zemlo("solve", AFIRO, "--solver", solver, env={**os.environ, **extra}), 1)
        assert line.startswith("zemlo: error: the ") and line.endswith(hint), line


# --- output files: checked before the work, errors naming them, nothing left behind -------------


def _bound_by_mode_bits():
    """Run in the child before it starts: a superuser gives up overriding file permissions, so
    the mode bits bind it as they bind anyone else (an ordinary user is bound already)."""
    import ctypes

    if os.geteuid() == 0:
        libc = ctypes.CDLL(None, use_errno=True)
        for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
            if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
                raise OSError(ctypes.get_errno(), "prctl")


def read_only_folder(tmp):
    (tmp / "ro").mkdir(mode=0o555)


def a_folder_named_out(tmp):
    (tmp / "out.lp").mkdir()


def links_to_dev_full(tmp):
    for name in ("full.lp", "full.mps.gz", "full.csv.gz"):
        (tmp / name).symlink_to("/dev/full")


def existing_outputs(tmp):
    (tmp / "out.lp").write_text("keep")
    (tmp / "s.json").write_text("keep")


# (arguments, what to make first, run with the mode bits binding, exit status, the error line,
# whether the solve ran before the failure: standard output shows its answer only then)
OUTPUT_FAILURES = [
    (("solve", AFIRO, "--solution", "no/such/dir/x.csv"), None, False, 1,
     "zemlo: error: No such directory: no/such/dir/x.csv", False),
    (("convert", AFIRO, "no/such/dir/out.lp"), None, False, 1, "zemlo: error: No such directory: no/such/dir/out.lp",
     False),
    (("convert", AFIRO, "out.lp", "--force"), a_folder_named_out, False, 1, "zemlo: error: Is a directory: out.lp",
     False),
    (("convert", AFIRO, "/proc/zemlo-out.lp"), None, False, 1,
     "zemlo: error: No such file or directory: /proc/zemlo-out.lp", False),
    (("convert", AFIRO, "out.lp"), existing_outputs, False, 2,
     "zemlo: error: out.lp exists; use --force to replace it (see zemlo --help)", False),
    (("solve", AFIRO, "--solution", "s.json"), existing_outputs, False, 2,
     "zemlo: error: s.json exists; use --force to replace it (see zemlo --help)", False),
    (("convert", AFIRO, "ro/out.lp"), read_only_folder, True, 1, "zemlo: error: Permission denied: ro/out.lp", False),
    (("solve", AFIRO, "--solution", "ro/s.csv.gz"), read_only_folder, True, 1,
     "zemlo: error: Permission denied: ro/s.csv.gz", False),
    (("convert", AFIRO, "full.lp"), links_to_dev_full, False, 1, "zemlo: error: No space left on device: full.lp", False),
    (("convert", AFIRO, "full.mps.gz"), links_to_dev_full, False, 1,
     "zemlo: error: No space left on device: full.mps.gz", False),
    (("solve", AFIRO, "--solution", "full.csv.gz"), links_to_dev_full, False, 1,
     "zemlo: error: No space left on device: full.csv.gz", True),
]


@pytest.mark.parametrize(("args", "make", "bound", "status", "message", "solved"), OUTPUT_FAILURES)
def test_output_failures_name_the_file_and_leave_nothing(tmp_path, args, make, bound, status, message, solved):
    if args[0] == "solve":
        require_solver("highs")
    if make is not None:
        make(tmp_path)
    before = {p: p.read_bytes() if p.is_file() else None for p in tmp_path.rglob("*")}
    run = subprocess.run([sys.executable, "-m", "zemlo", *map(str, args), "-q"], capture_output=True, text=True,
                         timeout=600, cwd=tmp_path, preexec_fn=_bound_by_mode_bits if bound else None)
    assert one_line_error(run, status) == message
    assert run.stdout.startswith("model       AFIRO") == solved, run.stdout
    after = {p: p.read_bytes() if p.is_file() else None for p in tmp_path.rglob("*")}
    assert after == before  # no output, no staging file, existing files untouched


def test_a_read_only_file_is_replaced_with_force_keeping_its_mode(tmp_path):
    out = tmp_path / "out.lp"
    out.write_text("old")
    out.chmod(0o444)
    run = subprocess.run([sys.executable, "-m", "zemlo", "convert", str(AFIRO), "out.lp", "--force", "-q"],
                         capture_output=True, text=True, timeout=600, cwd=tmp_path, preexec_fn=_bound_by_mode_bits)
    assert (run.returncode, run.stderr) == (0, "")
    assert out.read_text().startswith("\\* AFIRO *\\") and out.stat().st_mode & 0o777 == 0o444
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.lp"]


def test_replacing_through_a_link_keeps_the_link_and_the_mode(tmp_path):
    (tmp_path / "keep").mkdir()
    target = tmp_path / "keep" / "model.mps"
    target.write_text("old")
    target.chmod(0o640)
    (tmp_path / "model.mps").symlink_to(target)
    assert zemlo("convert", AFIRO, tmp_path / "model.mps", "--force").returncode == 0
    assert (tmp_path / "model.mps").is_symlink() and target.stat().st_mode & 0o777 == 0o640
    assert "\nNAME          AFIRO\n" in target.read_text()
    assert sorted(p.name for p in (tmp_path / "keep").iterdir()) == ["model.mps"]


@pytest.mark.parametrize("out", ["a.mps.gz", "s.csv.gz"])
def test_the_gzip_level_changes_the_size_not_the_text(tmp_path, out):
    sizes, texts = {}, {}
    for level in (None, "1", "9"):
        name = f"{level}-{out}"
        given = () if level is None else ("--gzip-level", level)
        if out.startswith("s."):
            require_solver("highs")
            run = zemlo("solve", netlib("sc50a"), "--solution", tmp_path / name, *given, "-q")
        else:
            run = zemlo("convert", netlib("sc50a"), tmp_path / name, *given)
        assert run.returncode == 0, run.stderr
        data = (tmp_path / name).read_bytes()
        sizes[level], texts[level] = len(data), gzip.decompress(data)
    assert texts["1"] == texts["9"] == texts[None]
    assert sizes[None] == sizes["1"] > sizes["9"]


# --- solvers that answer with what zemlo cannot read ------------------------------------------


GARBAGE_CBC = '#!/bin/sh\nfor a; do last="$a"; done\nprintf "{text}" > "$last"\necho garbage\nexit {status}\n'
GARBAGE_GLPSOL = ('#!/bin/sh\nwhile [ $# -gt 0 ]; do if [ "$1" = "-w" ]; then out="$2"; fi; shift; done\n'
               'printf "{text}" > "$out"\necho garbage\nexit {status}\n')


@pytest.mark.parametrize(("solver", "program", "text", "status", "message"), [
    ("cbc", "cbc", "garbage\\n", 0, "cbc wrote a solution zemlo cannot read: line 1: 'garbage'"),
    ("cbc", "cbc", "Optimal - objective value 0\\n      0 X0000000 garbage 0\\n", 0,
     "cbc wrote a solution zemlo cannot read: line 2: '0 X0000000 garbage 0'"),
    ("cbc", "cbc", "", 3, "cbc failed (exit status 3): garbage"),
    ("glpk", "glpsol", "garbage\\n", 0, "glpsol wrote a solution file without a status line"),
    ("glpk", "glpsol", "s bas 27 32 f f garbage\\n", 0,
     "glpsol wrote a solution zemlo cannot read: line 1: 's bas 27 32 f f garbage'"),
    ("glpk", "glpsol", "s bas 27 32 f f 0\\nj 1 b garbage 0\\n", 0,
     "glpsol wrote a solution zemlo cannot read: line 2: 'j 1 b garbage 0'"),
    ("glpk", "glpsol", "s bas 27 32 f f 0\\nj 99 b 1 0\\n", 0,
     "glpsol wrote a solution zemlo cannot read: line 2: 'j 99 b 1 0'"),
    ("glpk", "glpsol", "", 1, "glpsol failed (exit status 1): garbage"),
])
def test_a_solver_answering_garbage_is_one_line_naming_it(tmp_path, solver, program, text, status, message):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    fake = bin_dir / program
    fake.write_text((GARBAGE_CBC if program == "cbc" else GARBAGE_GLPSOL).format(text=text, status=status))
    fake.chmod(0o755)
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}"}
    run = zemlo("solve", AFIRO, "--solver", solver, "--solution", "s.csv", "-q", env=env, cwd=tmp_path)
    assert one_line_error(run, 1) == f"zemlo: error: {message}"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bin"]
