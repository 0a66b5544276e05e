"""zemlo.load_mps: an MPS file into a Model.

The netlib models go through write_mps -> load_mps -> write_mps and must come back byte for
byte; small files written here pin the objective sense rules, bounds, categories, right-hand
sides and the failures.
"""

import gzip
import math
import random
import re
from array import array
from pathlib import Path

import pytest

import zemlo
from zemlo import Category, Model, ObjSense, Sense, load_mps, write_lp, write_mps
from support import netlib_model, netlib_sources

NETLIB_FILES = netlib_sources()
INF = math.inf


def write(model: Model, path, *, objsense=False, name="M", obj_name=None):
    maximize = model.get_sense() is ObjSense.Maximize
    objective = model.get_objective()
    obj_name = obj_name or (objective.name if objective is not None and objective.name else "OBJ")
    write_mps(model, str(path), -1 if maximize else 1, True, objsense, False, name, obj_name)
    return Path(path).read_bytes()


@pytest.mark.parametrize("source", NETLIB_FILES, ids=lambda p: p.name.removesuffix(".mps.gz"))
def test_netlib_models_round_trip_byte_for_byte(tmp_path, source):
    name = source.name.removesuffix(".mps.gz")
    source = netlib_model(name)
    if name == "forplan":  # blanks inside its names shift the tokens
        with pytest.raises(RuntimeError, match=r"^COLUMNS line 166: 'OB1PNW20' is not a number$"):
            load_mps(source)
        return
    if name in ("boeing1", "boeing2", "nesm", "seba"):  # ranges on rows: read only on request
        with pytest.raises(RuntimeError, match=r"^RANGES line \d+: row '\w+' has a range, which is read only "
                           r"with ranges=True$"):
            load_mps(source)
        return
    first = load_mps(source)  # read straight from the .gz file
    a = write(first, tmp_path / "a.mps", name=name)
    again = load_mps(tmp_path / "a.mps")
    assert write(again, tmp_path / "b.mps", name=name) == a
    assert (again.num_variables, again.num_constraints) == (first.num_variables, first.num_constraints)


@pytest.mark.parametrize("source", NETLIB_FILES, ids=lambda p: p.name.removesuffix(".mps.gz"))
def test_netlib_models_load_as_the_record_reader_reads_them(tmp_path, source):
    # The loader against read_mps + Model.add_mps_result, the way files were loaded before, on
    # every netlib model the record reader takes: the same model, written byte for byte alike,
    # but for the objective row's right-hand side, which only the loader keeps.
    name = source.name.removesuffix(".mps.gz")
    source = netlib_model(name)
    plain = tmp_path / "plain.mps"
    plain.write_bytes(gzip.decompress(source.read_bytes()))
    if name in RECORD_READER_REFUSES:  # and so does a strict load (tested on its own)
        with pytest.raises(RuntimeError):
            read_records(plain)
        with pytest.raises(RuntimeError):
            load_mps(source)
        return
    records = read_records(plain)
    before = Model(records.parameters.name)
    before.add_mps_result(records)
    loaded = load_mps(source)
    assert write(loaded, tmp_path / "new.mps", name=name) == write(before, tmp_path / "old.mps", name=name)
    assert write_lp_text(loaded, tmp_path / "new.lp") == write_lp_text(before, tmp_path / "old.lp")
    assert loaded.get_objective().constant == -objective_rhs(plain.read_text(), records.objective.name)


# Ranges on rows of the file (read by load_mps with ranges=True), and blanks inside names.
RECORD_READER_REFUSES = {"boeing1", "boeing2", "nesm", "seba", "forplan"}


def objective_rhs(text: str, objective: str) -> float:
    """The last right-hand side the RHS section gives the objective row (netlib's files name
    their right-hand side sets), 0 without one."""
    section, value = "", 0.0
    for line in text.splitlines():
        tokens = line.split()
        if line[:1] not in ("", " ", "*"):
            section = tokens[0]
        elif section == "RHS":
            for row, number in zip(tokens[1::2], tokens[2::2]):
                if row == objective:
                    value = float(number)
    return value


def write_lp_text(model: Model, path) -> str:
    write_lp(model, str(path), True, 255, "OBJ", "__dummy")
    return Path(path).read_text()


MODEL_FILE = """\
NAME          SMALL
ROWS
 N  PROFIT
 L  cap
 G  need
 E  bal
 L  spare
COLUMNS
    MARK      'MARKER'                 'INTORG'
    n         cap        2.0   PROFIT    -1.5
    b         need       1.0
    MARK      'MARKER'                 'INTEND'
    x         cap        1.0   need      3.0
    x         bal        1.0
    x         cap        0.5
    y         bal       -1.0
    f         bal        2.0   PROFIT     4.0
RHS
    RHS       cap        10.0  need      -2.5
    RHS       bal        0.0
BOUNDS
 UP BND       n          7.0
 BV BND       b
 MI BND       y
 UP BND       y          3.0
 FR BND       f
 FX BND       x          2.5
ENDATA
"""


def test_a_file_becomes_the_model_it_describes(tmp_path):
    path = tmp_path / "small.mps"
    path.write_text(MODEL_FILE)
    m = load_mps(str(path))

    rows = {c.name: c for c in m.list_constraints()}
    assert list(rows) == ["cap", "need", "bal", "spare"]
    assert [(c.sense, c.rhs) for c in rows.values()] == [
        (Sense.LessEqual, 10.0), (Sense.GreaterEqual, -2.5), (Sense.Equal, 0.0), (Sense.LessEqual, 0.0)]
    # x appears twice in cap: the coefficients add up, as in an expression.
    assert [(v.name, k) for v, k in rows["cap"].items()] == [("n", 2.0), ("x", 1.5)]
    assert rows["spare"].items() == []

    columns = {v.name: v for v in m.list_variables()}
    assert [(n, v.lb, v.ub, v.category) for n, v in columns.items()] == [
        ("n", 0.0, 7.0, Category.Integer),
        ("b", 0.0, 1.0, Category.Integer),  # a 0..1 integer stays Integer
        ("x", 2.5, 2.5, Category.Continuous),
        ("y", -INF, 3.0, Category.Continuous),
        ("f", -INF, INF, Category.Continuous),
    ]
    objective = m.get_objective()
    assert objective is not None and objective.name == "PROFIT"
    assert objective.var_name_coeffs() == [("n", -1.5), ("f", 4.0)]
    assert m.get_sense() is ObjSense.Minimize
    assert m.summary() == "Model(name=SMALL, vars=5, constraints=4, objective=set)"


def test_written_bytes_survive_a_load(tmp_path):
    # The model's own LP text is the witness: sense, objective, rows, bounds and integrality.
    path = tmp_path / "small.mps"
    path.write_text(MODEL_FILE)
    m = load_mps(path)
    write(m, tmp_path / "again.mps", name="SMALL")
    back = load_mps(tmp_path / "again.mps")
    for model, lp in ((m, "a.lp"), (back, "b.lp")):
        write_lp(model, str(tmp_path / lp), True, 255, "PROFIT", "__dummy")
    assert (tmp_path / "a.lp").read_bytes() == (tmp_path / "b.lp").read_bytes()


def test_thousands_of_names_of_every_length_round_trip(tmp_path):
    """Enough rows and columns that the reader's name tables grow many times and the writers
    sort by bytes rather than by comparisons: names of 1 to 30 bytes, many sharing their first
    8 or 16 bytes, some not ASCII. The LP text lists the rows in byte order of their names."""
    rng = random.Random(5)
    heads = ["", "r", "abcdefgh", "shared_prefix_16", "\u00e9t\u00e9", "zz"]

    def names(n, letter):
        out = []
        for i in range(n):
            tail = "".join(rng.choice("ab_9") for _ in range(rng.randrange(0, 12)))
            out.append(f"{rng.choice(heads)}{letter}{i}-{tail}" if rng.random() < 0.9 else f"{letter}{i}")
        return out

    n_rows, n_cols = 3000, 2000
    m = Model("many")
    col_names = names(n_cols, "x")
    m.add_variables_arrays(col_names, array("d", [0.0] * n_cols), array("d", [5.0] * n_cols), bytes(n_cols))
    lengths = [rng.randrange(1, 6) for _ in range(n_rows)]
    starts = array("Q", [0])
    for k in lengths:
        starts.append(starts[-1] + k)
    ids = array("Q", [rng.randrange(n_cols) for _ in range(starts[-1])])
    coeffs = array("d", [rng.choice([1.0, -2.5, 0.125, 7.0]) for _ in range(starts[-1])])
    row_names = names(n_rows, "c")
    m.add_constraints_batch(starts, ids, coeffs, bytes(rng.randrange(3) for _ in range(n_rows)),
                            array("d", [1.0] * n_rows), row_names)
    objective = zemlo.AffineExpr()
    objective.add_term_ids_coeffs(m, array("Q", range(0, n_cols, 7)), array("d", [1.0] * len(range(0, n_cols, 7))))
    m.set_objective(objective)
    first = write(m, tmp_path / "a.mps")
    assert write(load_mps(tmp_path / "a.mps"), tmp_path / "b.mps") == first
    write_lp(m, str(tmp_path / "a.lp"), False, 255, "OBJ", "")
    text = (tmp_path / "a.lp").read_text(encoding="utf-8")
    listed = re.findall(r"^(\S+):", text.split("Subject To\n")[1], flags=re.M)
    assert listed == sorted(row_names, key=lambda s: s.encode())
    m.list_constraints()[2500].set_name(row_names[7])  # one repeat among thousands is found
    with pytest.raises(RuntimeError, match=r"^Repeated constraint names: \{\(" + re.escape(repr(row_names[7])) + r", 2\)\}$"):
        write_lp(m, str(tmp_path / "a.lp"), False, 255, "OBJ", "")


def maximising_model() -> Model:
    m = Model("maxi")
    x = m.add_variable("x", 0.0, 4.0, Category.Continuous)
    y = m.add_variable("y", -1.0, INF, Category.Integer)
    z = m.add_variable("z", 0.0, 1.0, Category.Binary)
    objective = zemlo.AffineExpr()
    for var, coeff in ((x, 3.0), (y, -2.0), (z, 0.5)):
        objective.add_term(var, coeff)
    objective.set_name("gain")
    m.set_objective(objective)
    m.set_sense(ObjSense.Maximize)
    row = zemlo.AffineExpr.from_variable(x)
    row.add_term(y, 1.0)
    row.set_constant(-6.0)
    row.set_sense(Sense.LessEqual)
    row.set_name("limit")
    m.add_constraint(row)
    return m


@pytest.mark.parametrize("objsense", [False, True], ids=["negated", "OBJSENSE"])
def test_a_maximising_model_loads_back_maximising(tmp_path, objsense):
    m = maximising_model()
    path = tmp_path / "max.mps"
    write(m, path, objsense=objsense, name="maxi")
    back = load_mps(path)
    assert back.get_sense() is ObjSense.Maximize
    assert back.get_objective().var_name_coeffs() == [("x", 3.0), ("y", -2.0), ("z", 0.5)]
    for model, lp in ((m, "a.lp"), (back, "b.lp")):
        write_lp(model, str(tmp_path / lp), True, 255, "gain", "__dummy")
    assert (tmp_path / "a.lp").read_bytes() == (tmp_path / "b.lp").read_bytes()


SENSE_BODY = """\
NAME          S
ROWS
 N  obj
 L  r
COLUMNS
    x         obj        2.0   r          1.0
RHS
    RHS       r          1.0
ENDATA
"""


@pytest.mark.parametrize(
    ("head", "given", "sense", "coeff"),
    [
        ("", None, ObjSense.Minimize, 2.0),
        ("OBJSENSE\n    MAX\n", None, ObjSense.Maximize, 2.0),
        ("OBJSENSE\n    MAXIMIZE\n", None, ObjSense.Maximize, 2.0),
        ("OBJSENSE MAX\n", None, ObjSense.Maximize, 2.0),
        ("OBJSENSE\n    MIN\n", None, ObjSense.Minimize, 2.0),
        ("OBJSENSE MINIMIZE\n", None, ObjSense.Minimize, 2.0),
        ("*SENSE:Maximize\n", None, ObjSense.Maximize, -2.0),
        ("*SENSE:Minimize\n", None, ObjSense.Minimize, 2.0),
        ("* SENSE:Maximize\n", None, ObjSense.Minimize, 2.0),  # a plain comment
        # An explicit sense wins, and the objective is taken as written.
        ("OBJSENSE\n    MAX\n", ObjSense.Minimize, ObjSense.Minimize, 2.0),
        ("*SENSE:Maximize\n", ObjSense.Maximize, ObjSense.Maximize, 2.0),
        ("", ObjSense.Maximize, ObjSense.Maximize, 2.0),
    ],
)
def test_objective_sense(tmp_path, head, given, sense, coeff):
    path = tmp_path / "s.mps"
    path.write_text(head + SENSE_BODY)
    m = load_mps(path, sense=given)
    assert m.get_sense() is sense
    assert m.get_objective().var_name_coeffs() == [("x", coeff)]


def test_sense_lines_after_rows_are_not_looked_for(tmp_path):
    # Only the head of the file is scanned: a sense comment further down is data to the reader.
    path = tmp_path / "s.mps"
    path.write_text(SENSE_BODY.replace("ENDATA\n", "ENDATA\n*SENSE:Maximize\nOBJSENSE MAX\n"))
    assert load_mps(path).get_sense() is ObjSense.Minimize


@pytest.mark.parametrize("compress, name", [(False, "m.mps"), (True, "m.mps.gz"), (True, "m.mps")])
@pytest.mark.parametrize("as_path", [False, True])
def test_paths_and_gzip(tmp_path, compress, name, as_path):
    path = tmp_path / name
    data = SENSE_BODY.encode()
    path.write_bytes(gzip.compress(data) if compress else data)
    m = load_mps(path if as_path else str(path))
    assert [c.name for c in m.list_constraints()] == ["r"]


def test_rows_named_like_automatic_names_load_as_automatic_rows(tmp_path):
    path = tmp_path / "r.mps"
    path.write_text(re.sub(r"\br\b", "_r", SENSE_BODY))
    m = load_mps(path)
    assert [c.name for c in m.list_constraints()] == ["_C1"]
    m = load_mps(path, drop_cons_names=True)
    assert [c.name for c in m.list_constraints()] == ["_C1"]
    assert m.get_objective().name is None


@pytest.mark.parametrize(
    ("old", "new", "message"),
    [
        ("r          1.0\nRHS", "r          inf\nRHS", r"^row 'r': a coefficient inf is not a finite number$"),
        ("RHS       r          1.0", "RHS       r          inf",
         r"^row 'r': the right-hand side inf is not a finite number$"),
        ("obj        2.0", "obj        -inf", r"^objective row 'obj': a coefficient -inf is not a finite number$"),
    ],
    ids=["coefficient", "rhs", "objective"],
)
def test_non_finite_numbers_fail_naming_the_row(tmp_path, old, new, message):
    path = tmp_path / "n.mps"
    text = SENSE_BODY.replace(old, new)
    assert text != SENSE_BODY
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        load_mps(path)


def test_failures_before_reading(tmp_path):
    with pytest.raises(FileNotFoundError):
        load_mps(tmp_path / "missing.mps")
    path = tmp_path / "s.mps"
    path.write_text(SENSE_BODY)
    with pytest.raises(TypeError, match="ObjSense"):
        load_mps(path, sense=-1)
    with pytest.raises(RuntimeError, match=r"^OBJSENSE line 2: unknown sense 'SIDEWAYS' \(expected MAX"):
        path.write_text("OBJSENSE\n    SIDEWAYS\n" + SENSE_BODY)
        load_mps(path)


def test_the_objective_rows_right_hand_side_is_the_objectives_constant(tmp_path):
    path = tmp_path / "c.mps"
    path.write_text(SENSE_BODY.replace("    RHS       r          1.0", "    RHS       r          1.0   obj   -7.5"))
    assert load_mps(path).get_objective().constant == 7.5
    # Negated back with the objective when the file says so.
    path.write_text("*SENSE:Maximize\n" + path.read_text())
    objective = load_mps(path).get_objective()
    assert (objective.constant, objective.values()) == (-7.5, [-2.0])


def test_e226_keeps_its_objective_constant_and_solves_to_the_files_optimum():
    from support import require_solver

    require_solver("highs")
    model = load_mps(netlib_model("e226"))
    assert model.get_objective().constant == pytest.approx(7.113)
    assert zemlo.solve(model).objective == pytest.approx(-11.638929066370522, rel=1e-9)


def test_unnamed_constraints_round_trip_byte_for_byte(tmp_path):
    m = Model("auto")
    x = m.add_variable("x", 0.0, 4.0, Category.Continuous)
    y = m.add_variable("y", 0.0, 4.0, Category.Integer)
    for coeffs, rhs, sense in [((1.0, 2.0), 3.0, Sense.LessEqual), ((2.0, -1.0), 1.0, Sense.GreaterEqual)]:
        e = zemlo.AffineExpr()
        e.add_term(x, coeffs[0])
        e.add_term(y, coeffs[1])
        e.set_constant(-rhs)
        e.set_sense(sense)
        m.add_constraint(e)
    m.add_constraint(make_named_constraint(x, "named"))
    objective = zemlo.AffineExpr.from_variable(x)
    objective.set_name("obj")
    m.set_objective(objective)
    first = write(m, tmp_path / "a.mps")
    assert b" L  _C1\n G  _C2\n" in first
    again = load_mps(tmp_path / "a.mps")
    assert [c.name for c in again.list_constraints()] == ["_C1", "_C2", "named"]
    assert write(again, tmp_path / "b.mps") == first


def make_named_constraint(x, name):
    e = zemlo.AffineExpr.from_variable(x)
    e.set_constant(-1.0)
    e.set_sense(Sense.Equal)
    e.set_name(name)
    return e


STREAM_READER = """
import sys
from zemlo import load_mps
m = load_mps(sys.argv[1])
print(m.num_variables, m.num_constraints, len(m.coefficients()), m.get_objective().constant)
"""


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_standard_input_a_pipe_and_a_fifo_read_as_the_file_does(tmp_path, compressed):
    import os
    import subprocess
    import sys
    import threading

    text = gzip.decompress(netlib_model("e226").read_bytes())
    data = gzip.compress(text) if compressed else text
    source = tmp_path / "m.mps"
    source.write_bytes(data)
    model = load_mps(source)
    want = f"{model.num_variables} {model.num_constraints} {len(model.coefficients())} " \
           f"{model.get_objective().constant}\n"
    run = subprocess.run([sys.executable, "-c", STREAM_READER, "-"], input=data, capture_output=True)
    assert run.stdout.decode() == want, run.stderr
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_bytes(data))
    writer.start()
    run = subprocess.run([sys.executable, "-c", STREAM_READER, str(fifo)], capture_output=True)
    writer.join()
    assert run.stdout.decode() == want, run.stderr


# The stream is made with a fixed time stamp, so that every pytest-xdist worker collects the same
# parameter.
@pytest.mark.parametrize(("data", "message"), [
    (gzip.compress(SENSE_BODY.encode(), mtime=0)[:25], r"^Cannot read file: the gzip stream ends early \(gzip\)$"),
    (b"\x1f\x8b" + b"\x00" * 30, r"^Cannot read file: .* \(gzip\)$"),
])
def test_a_broken_gzip_stream_fails_saying_so(tmp_path, data, message):
    path = tmp_path / "b.mps.gz"
    path.write_bytes(data)
    with pytest.raises(RuntimeError, match=message):
        load_mps(path)


STRICT_BODY = """\
NAME          S
ROWS
 N  obj
 L  lim
COLUMNS
    x         obj        2.0   lim        1.0
    y         lim        3.0
RHS
    RHS       lim        4.0
BOUNDS
 UP BND       x          5.0
ENDATA
"""

# (what, the file's text as it differs from STRICT_BODY, the one-line error)
BAD_FILES = [
    ("undeclared row in COLUMNS", ("    y         lim        3.0", "    y         limm       3.0"),
     "COLUMNS line 7: row 'limm' is not declared in ROWS"),
    ("undeclared row in RHS", ("    RHS       lim        4.0", "    RHS       limm       4.0"),
     "RHS line 9: row 'limm' is not declared in ROWS"),
    ("undeclared column in BOUNDS", (" UP BND       x          5.0", " UP BND       z          5.0"),
     "BOUNDS line 11: column 'z' is not declared in COLUMNS"),
    ("NaN coefficient", ("    y         lim        3.0", "    y         lim        nan"),
     "COLUMNS line 7: 'nan' is NaN, which no model can hold"),
    ("NaN right-hand side", ("    RHS       lim        4.0", "    RHS       lim        NaN"),
     "RHS line 9: 'NaN' is NaN, which no model can hold"),
    ("NaN bound", (" UP BND       x          5.0", " UP BND       x          nan"),
     "BOUNDS line 11: 'nan' is NaN, which no model can hold"),
    ("Fortran exponent", ("    y         lim        3.0", "    y         lim        3.0D3"),
     "COLUMNS line 7: '3.0D3' is not a number"),
    ("unknown bound type", (" UP BND       x          5.0", " SC BND       x          5.0"),
     "BOUNDS line 11: unknown bound type 'SC'"),
    ("unknown row type", (" L  lim", " X  lim"), "ROWS line 4: unknown row type 'X'"),
    ("row without value", ("    y         lim        3.0", "    y         lim"), "COLUMNS line 7: row 'lim' has no value"),
    ("plain text", "a letter\nnot a model\n", "no ROWS section in 2 lines: this is not an MPS file"),
    ("LP file named .mps", "\\\\* m *\\\\\nMinimize\nOBJ: x\nSubject To\nc: x >= 1\nEnd\n",
     "no ROWS section in 6 lines: this is not an MPS file"),
    ("empty file", "", "no ROWS section in 0 lines: this is not an MPS file"),
    ("bytes that are not UTF-8", "NAME x\nROWS\n N o\xff\n", "line 3 is not UTF-8 text"),
]


@pytest.mark.parametrize(("what", "change", "message"), BAD_FILES, ids=[b[0] for b in BAD_FILES])
def test_a_strict_read_refuses_with_one_line_naming_where(tmp_path, what, change, message):
    if isinstance(change, tuple):
        text = STRICT_BODY.replace(*change)
        assert text != STRICT_BODY
    else:
        text = change
    path = tmp_path / "bad.mps"
    path.write_bytes(text.encode("utf-8", "surrogateescape").replace(b"\xc3\xbf", b"\xff"))
    with pytest.raises(RuntimeError) as info:
        load_mps(path)
    assert str(info.value) == message
    # The lenient read takes what read_mps takes (a NaN, which no model holds, aside), and says
    # what it passed over.
    if what.startswith("undeclared"):
        where = "COLUMNS" if "column" in what else "ROWS"
        with pytest.warns(UserWarning, match=rf"^{re.escape(str(path))}: passed over 1 \w.* {where} does not "
                          rf"declare \((limm|z)\), the first on line {message.split()[2][:-1]}$"):
            lenient = load_mps(path, lenient=True)
        assert lenient.num_variables == len(read_records(path).variables)
    elif what.startswith(("plain", "LP", "empty")):
        lenient = load_mps(path, lenient=True)
        assert lenient.num_variables == len(read_records(path).variables) == 0


def read_records(path):
    return zemlo.read_mps(str(path), 1)


@pytest.mark.parametrize(("source", "message"), [
    ("/dev/urandom", r"^line \d+ is not UTF-8 text$"),
    ("/dev/zero", r"^line 1 is longer than 1 MiB: this is not an MPS file$"),
])
def test_endless_inputs_stop_at_once(source, message):
    with pytest.raises(RuntimeError, match=message):
        load_mps(source)


def test_a_gzip_bomb_stops_at_the_first_long_line(tmp_path):
    bomb = tmp_path / "bomb.mps.gz"
    with gzip.open(bomb, "wb", compresslevel=1) as f:
        block = b"\0" * (1 << 20)
        for _ in range(256):  # 256 MiB of zeros, a few hundred KiB compressed
            f.write(block)
    assert bomb.stat().st_size < 2 << 20
    with pytest.raises(RuntimeError, match=r"^line 1 is longer than 1 MiB: this is not an MPS file$"):
        load_mps(bomb)


# One row of each kind with a range, each row holding one free column of its own, so that
# minimising and maximising the sum of the columns puts every row at each end of its range.
RANGES_BODY = """\
NAME          RNG
ROWS
 N  obj
 L  r1
 G  r2
 E  r3
 E  r4
 E  r5
 L  r6
 L  r8
COLUMNS
    x1        obj        1.0   r1         1.0
    x2        obj        1.0   r2         1.0
    x3        obj        1.0   r3         1.0
    x4        obj        1.0   r4         1.0
    x5        obj        1.0   r5         1.0
    x6        obj        1.0   r6         1.0
    x8        obj        1.0   r8         1.0
RHS
    RHS       r1        10.0   r2         1.0
    RHS       r3         2.0   r4         3.0
    RHS       r5         1.0   r6         7.0
    RHS       r8         4.0
RANGES
    RNG       r1         4.0   r2        -5.0
    RNG       r3         3.0   r4        -2.0
    RNG       r5         0.0   r6         inf
    RNG       obj        9.0   r8         2.0
BOUNDS
 FR BND       x1
 FR BND       x2
 FR BND       x3
 FR BND       x4
 FR BND       x5
 LO BND       x6        -3.0
 FR BND       x8
ENDATA
"""


def highs_optimum(path) -> float:
    """HiGHS's optimum of the file as HiGHS itself reads it."""
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    assert h.readModel(str(path)) == highspy.HighsStatus.kOk
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    return h.getInfo().objective_function_value


@pytest.mark.parametrize(("head", "optimum"), [("", 10.0), ("OBJSENSE\n    MAX\n", 36.0)], ids=["min", "max"])
def test_ranges_hold_each_row_between_the_ends_solvers_read(tmp_path, head, optimum):
    from support import require_solver

    require_solver("highs")
    path = tmp_path / "ranges.mps"
    path.write_text(head + RANGES_BODY)
    model = load_mps(path, ranges=True)
    variables = {v.name: (v.lb, v.ub) for v in model.list_variables()}
    # A point range makes an E row, an infinite one the row's own side; the others get variables
    # after the columns, in row order. The objective's range is passed over.
    assert list(variables)[7:] == ["r1_range", "r2_range", "r3_range", "r4_range", "r8_range"]
    assert [variables[f"r{i}_range"] for i in (1, 2, 3, 4, 8)] == [(6, 10), (1, 6), (2, 5), (1, 3), (2, 4)]
    rows = {c.name: c for c in model.list_constraints()}
    assert [(rows[r].sense, rows[r].rhs) for r in ("r1", "r5", "r6")] == [
        (Sense.Equal, 0.0), (Sense.Equal, 1.0), (Sense.LessEqual, 7.0)]
    assert [(v.name, a) for v, a in rows["r1"].items()] == [("x1", 1.0), ("r1_range", -1.0)]
    assert highs_optimum(path) == optimum
    assert zemlo.solve(model).objective == optimum


def test_a_range_variables_name_steps_aside_for_a_column_of_that_name(tmp_path):
    path = tmp_path / "taken.mps"
    path.write_text(STRICT_BODY.replace("    y         lim        3.0",
                                        "    y         lim        3.0\n    lim_range lim        1.0")
                    .replace("BOUNDS", "RANGES\n    RNG       lim        2.0\nBOUNDS"))
    model = load_mps(path, ranges=True)
    names = [v.name for v in model.list_variables()]
    assert names == ["x", "y", "lim_range", "lim_range2"]


@pytest.mark.parametrize(("name", "objective"), [
    ("boeing1", -335.2135675), ("boeing2", -315.01872802), ("nesm", 14076036.488), ("seba", 15711.6)])
def test_netlib_models_with_ranges_solve_to_highs_optimum_of_the_original(name, objective):
    from support import require_solver

    require_solver("highs")
    source = netlib_model(name)
    model = load_mps(source, ranges=True)
    expected = highs_optimum(source)
    assert expected == pytest.approx(objective, rel=1e-7)  # the published optimum
    assert zemlo.solve(model).objective == pytest.approx(expected, rel=1e-9)


def test_ranges_are_refused_unless_asked_for_naming_the_option(tmp_path):
    path = tmp_path / "ranges.mps"
    path.write_text(RANGES_BODY)
    with pytest.raises(RuntimeError, match=r"^RANGES line 25: row 'r1' has a range, which is read only with "
                       r"ranges=True$"):
        load_mps(path)
    path.write_text(RANGES_BODY.replace("RNG       r5", "RNG       r7"))
    with pytest.raises(RuntimeError, match=r"^RANGES line 27: row 'r7' is not declared in ROWS$"):
        load_mps(path, ranges=True)
    # Readers differ on which of two ranges of a row counts: a strict read takes neither.
    path.write_text(RANGES_BODY.replace("BOUNDS", "    RNG       r8         1.0\nBOUNDS"))
    with pytest.raises(RuntimeError, match=r"^RANGES line 29: row 'r8' has a range already$"):
        load_mps(path, ranges=True)
    model = load_mps(path, ranges=True, lenient=True)
    assert [v.lb for v in model.list_variables()][-1] == 3.0  # the last range given


def test_a_row_defined_again_keeps_its_place_and_only_later_coefficients(tmp_path):
    path = tmp_path / "d.mps"
    path.write_text("""\
NAME          D
ROWS
 N  obj
 L  a
 G  b
COLUMNS
    x         a          1.0   b          2.0
ROWS
 E  a
COLUMNS
    y         a          3.0   b          4.0
    x         a          5.0   a          6.0
RHS
    RHS       a          7.0   b          8.0
ENDATA
""")
    m = load_mps(path)
    a, b = m.list_constraints()
    assert (a.name, a.sense, a.rhs) == ("a", Sense.Equal, 7.0)
    # y came first in the file after the new definition; x's two terms are summed in place.
    assert [(v.name, c) for v, c in a.items()] == [("y", 3.0), ("x", 11.0)]
    assert (b.name, b.sense, b.rhs) == ("b", Sense.GreaterEqual, 8.0)
    assert [(v.name, c) for v, c in b.items()] == [("x", 2.0), ("y", 4.0)]


@pytest.mark.parametrize(
    ("row_change", "message"),
    [
        (("r          1.0\nRHS", "r          inf\nRHS"), r"^row 'r': a coefficient inf is not a finite number$"),
        (("r          1.0\nRHS", "r          1e308   r   1e308\nRHS"),
         r"^row 'r': a coefficient inf is not a finite number$"),
        (("RHS       r          1.0", "RHS       r          nan"), None),
    ],
    ids=["coefficient", "sum", "rhs"],
)
def test_a_rows_failure_comes_before_the_objectives(tmp_path, row_change, message):
    path = tmp_path / "n.mps"
    text = SENSE_BODY.replace(*row_change).replace("obj        2.0", "obj        -inf")
    path.write_text(text)
    if message is None:
        with pytest.raises(ValueError, match=r"^row 'r': the right-hand side"):
            load_mps(path, lenient=True)
    else:
        with pytest.raises(ValueError, match=message):
            load_mps(path)


@pytest.mark.parametrize("width", [2, 8, 9, 30])
def test_a_column_repeated_in_a_row_of_any_length_is_summed_in_its_first_place(tmp_path, width):
    names = [f"c{j}" for j in range(width)]
    lines = [f"    {n}        r          {j + 1}.0" for j, n in enumerate(names)]
    lines.append(f"    {names[0]}        r          0.5")  # the first column again, after the others
    lines.append(f"    {names[-1]}        q          2.0   q   3.0")
    path = tmp_path / "w.mps"
    path.write_text("NAME          W\nROWS\n N  obj\n L  r\n L  q\nCOLUMNS\n" + "\n".join(lines) + "\nENDATA\n")
    m = load_mps(path)
    r, q = m.list_constraints()
    assert [(v.name, c) for v, c in r.items()] == [(names[0], 1.5)] + [(n, j + 1.0) for j, n in enumerate(names)][1:]
    assert [(v.name, c) for v, c in q.items()] == [(names[-1], 5.0)]
