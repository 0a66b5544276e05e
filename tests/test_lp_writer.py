"""write_lp: the file bytes section by section, the returned handles, the failures and what
they leave on disk, argument conversion, and the written files read by a real solver."""

from __future__ import annotations

import gzip
import math
import os
import subprocess
from pathlib import Path

import pytest
from support import demo_model, make_expr, netlib_model, require_tool

from zemlo._ondrel import AffineExpr, Category, Model, ObjSense, Sense, SosKind, Variable, read_mps, write_lp

INF, NAN = math.inf, math.nan
CONT, INT, BIN = Category.Continuous, Category.Integer, Category.Binary

DEMO_MIP = """\
\\* demo *\\
Minimize
OBJ: 3 x + 2 y - z
Subject To
c1: w - x >= -1
c2: x + y <= 4
_dummy: 1 __dummy = 0
c3: 1 __dummy <= 5
Bounds
 0 <= y <= 10
 w free
Generals
y
Binaries
z
SOS
S1:: 
 x: 1
 y: 2
End
"""

DEMO_LP = DEMO_MIP.replace(" w free\nGenerals\ny\nBinaries\nz\n", " 0 <= z <= 1\n w free\n")


def write(path, model, mip=True, max_length=255, obj_name="OBJ", dummy="__dummy"):
    """Writes `model` to `path`; returns (file text, handles)."""
    handles = write_lp(model, str(path), mip, max_length, obj_name, dummy)
    return Path(path).read_bytes().decode(), handles


def snapshot(m):
    """Everything write_lp reads, as plain values."""
    objective = m.get_objective()
    return (m.summary(), m.used_variable_ids(), m.coefficients(), m.sos_export(),
            [(n, v.lb, v.ub, v.category) for n, v in m.variables_dict()],
            [(n, c.sense, c.rhs) for n, c in m.constraints_dict()],
            None if objective is None else (objective.var_name_coeffs(), objective.constant),
            m.get_sense())


def one_variable_model(lb=0.0, ub=INF, cat=CONT, name="m"):
    m = Model(name)
    x = m.add_variable("x", lb, ub, cat)
    m.set_objective(make_expr([(x, 1.0)]))
    return m, x


@pytest.mark.parametrize(("mip", "expected"), [(True, DEMO_MIP), (False, DEMO_LP)])
def test_worked_example(tmp_path, mip, expected):
    m, v = demo_model()
    before = snapshot(m)
    path = tmp_path / "demo.lp"
    path.write_bytes(b"x" * 5000)  # an existing file is truncated
    text, handles = write(path, m, mip=mip)
    assert path.read_bytes() == expected.encode()
    assert [type(h) for h in handles] == [Variable] * 4
    assert [(h.id(), h.name) for h in handles] == [(v[n].id(), n) for n in "xyzw"]
    assert {h.model_identity() for h in handles} == {v["u"].model_identity()}
    assert snapshot(m) == before


def constraint_section(text):
    return text.split("Subject To\n", 1)[1].split("End\n", 1)[0].splitlines()


def model_with_constraints(specs):
    """x in the objective; constraints (name, terms as [(coefficient)] on x, constant, sense)."""
    m, x = one_variable_model()
    for name, coeff, constant, sense in specs:
        m.add_constraint(make_expr([] if coeff is None else [(x, coeff)], constant, sense, name))
    return m


@pytest.mark.parametrize(("specs", "dummy", "lines"), [
    ([("e", None, -2.0, Sense.GreaterEqual)], "d", ["_dummy: 1 d = 0", "e: 1 d >= 2"]),
    ([("e", None, -2.0, Sense.GreaterEqual), ("f", None, 0.0, Sense.Equal)], "d",
     ["_dummy: 1 d = 0", "e: 1 d >= 2", "f: 1 d = 0"]),
    ([("e", None, -2.0, Sense.GreaterEqual), ("f", None, 1.5, Sense.LessEqual)], "",
     ["e: 1  >= 2", "f: 1  <= -1.5"]),
    # The dummy line comes right before the first empty constraint in name order.
    ([("c", None, 1e-7, Sense.LessEqual), ("a", 2.0, -1.0, Sense.LessEqual), ("b", None, -1e20, Sense.Equal)],
     "d", ["a: 2 x <= 1", "_dummy: 1 d = 0", "b: 1 d = 1e20", "c: 1 d <= -1e-7"]),
    # Without an empty constraint there is no dummy line.
    ([("a", 1.0, 0.0, Sense.Equal)], "d", ["a: x = 0"]),
    ([], "d", []),
])
def test_empty_constraints_use_the_dummy_variable(tmp_path, specs, dummy, lines):
    text, _ = write(tmp_path / "e.lp", model_with_constraints(specs), dummy=dummy)
    assert constraint_section(text) == lines


def test_constraints_in_byte_order_of_their_names(tmp_path):
    names = ["b", "a10", "é", "a2", "Z", "a"]
    m = model_with_constraints([(n, float(i + 1), 0.0, Sense.LessEqual) for i, n in enumerate(names)])
    text, _ = write(tmp_path / "o.lp", m)
    assert constraint_section(text) == [
        "Z: 5 x <= 0", "a: 6 x <= 0", "a10: 2 x <= 0", "a2: 4 x <= 0", "b: x <= 0", "é: 3 x <= 0"]


# (category, lb, ub, mip) -> bound line of x (None: no Bounds section), integrality section.
BOUND_RULES = [
    (CONT, 0.0, INF, True, None, None),
    (CONT, 0.0, INF, False, None, None),
    (CONT, -INF, INF, True, "x free", None),
    (CONT, 0.0, 1.0, True, "x <= 1", None),
    (CONT, -0.0, 7.0, False, "x <= 7", None),
    (CONT, 3.0, 3.0, False, "x = 3", None),
    (CONT, 2.5, INF, True, "2.5 <= x", None),
    (CONT, NAN, 4.0, False, "-inf <= x <= 4", None),
    (CONT, 0.0, NAN, False, "x", None),
    (BIN, 0.0, 1.0, False, "0 <= x <= 1", None),
    (BIN, 0.0, 1.0, True, None, "Binaries"),
    (BIN, -1.0, 5.0, True, None, "Binaries"),
    (BIN, NAN, 1.0, True, None, "Binaries"),
    (INT, 0.0, INF, True, "0 <= x", "Generals"),
    (INT, 0.0, INF, False, None, None),
    (INT, 0.0, 1.0, True, None, "Binaries"),
    (INT, 0.0, 1.0, False, "0 <= x <= 1", None),
    (INT, -0.0, 1.0, True, None, "Binaries"),
    (INT, 2.0, 8.0, True, "2 <= x <= 8", "Generals"),
    (INT, 1.0, 1.0, True, "x = 1", "Generals"),
    (INT, NAN, 1.0, True, "-inf <= x <= 1", "Generals"),
]


@pytest.mark.parametrize(("cat", "lb", "ub", "mip", "bound", "section"), BOUND_RULES)
def test_bound_and_integrality_rules(tmp_path, cat, lb, ub, mip, bound, section):
    m, _ = one_variable_model(lb, ub, cat)
    text, handles = write(tmp_path / "b.lp", m, mip=mip)
    expected = "\\* m *\\\nMinimize\nOBJ: x\nSubject To\n"
    if bound is not None:
        expected += f"Bounds\n {bound}\n"
    if section is not None:
        expected += f"{section}\nx\n"
    assert text == expected + "End\n"
    assert len(handles) == 1


def test_objective_without_terms_and_sense(tmp_path):
    # The objective constant is never written; the used variables come from the constraints.
    m = Model("empty objective")
    x = m.add_variable("x", -1.0, 1.0, CONT)
    m.add_variable("unused", -5.0, 5.0, INT)
    m.set_objective(make_expr([], 7.0))
    m.set_sense(ObjSense.Maximize)
    m.add_constraint(make_expr([(x, 1.0)], -1.0, Sense.LessEqual, "c"))
    text, handles = write(tmp_path / "o.lp", m, obj_name="cost")
    assert text == ("\\* empty objective *\\\nMaximize\ncost:\nSubject To\nc: x <= 1\n"
                    "Bounds\n -1 <= x <= 1\nEnd\n")
    assert [h.name for h in handles] == ["x"]


def test_sos_members(tmp_path):
    # s appears only in an SOS group and is written like any used variable; a member that
    # names no variable is skipped everywhere.
    m = Model("sos")
    x = m.add_variable("x", 0.0, INF, CONT)
    s = m.add_variable("s", 0.0, 5.0, INT)
    m.add_variable("b", 0.0, 1.0, BIN)
    m.set_objective(make_expr([(x, 1.0)]))
    m.add_sos_group(SosKind.Sos2, None, [(m.get_variable(99), 3.0), (s, 1.5), (x, -0.25)])
    m.add_sos_group(SosKind.Sos1, "k", [(m.get_variable(7), 1.0)])
    assert m.used_variable_ids() == [0, 1, 7, 99]
    text, handles = write(tmp_path / "s.lp", m)
    assert text == ("\\* sos *\\\nMinimize\nOBJ: x\nSubject To\nBounds\n 0 <= s <= 5\nGenerals\ns\n"
                    "SOS\nS2:: \n s: 1.5\n x: -0.25\nS1:: \nEnd\n")
    assert [(h.id(), h.name) for h in handles] == [(0, "x"), (1, "s")]


def test_long_term_lists_wrap_at_78_bytes(tmp_path):
    m = Model("wide")
    xs = [m.add_variable(f"x{i:02d}", 0.0, INF, CONT) for i in range(30, 0, -1)]
    m.set_objective(make_expr([(x, 1.0) for x in xs]))
    m.add_constraint(make_expr([(x, 1.0) for x in xs], -10.0, Sense.LessEqual, "c"))
    m.add_constraint(make_expr([(x, 1.0) for x in xs[-13:]], -10.0, Sense.LessEqual, "d"))
    text, handles = write(tmp_path / "w.lp", m, obj_name="c")
    terms = [" + ".join(f"x{i:02d}" for i in range(a, b)) for a, b in [(1, 14), (14, 27), (27, 31)]]
    body = f"c: {terms[0]}\n + {terms[1]}\n + {terms[2]}"
    assert text == (f"\\* wide *\\\nMinimize\n{body}\nSubject To\n{body} <= 10\n"
                    f"d: {terms[0]}\n <= 10\nEnd\n")
    assert all(len(line) <= 78 for line in text.splitlines())
    assert [h.name for h in handles] == [f"x{i:02d}" for i in range(30, 0, -1)]


def test_file_larger_than_the_output_buffer(tmp_path):
    # About 2 MB, so the text crosses the 1 MiB buffer boundary more than once.
    n = 60_000
    m = Model("big")
    xs = m.add_variables_batch([f"x{i:06d}" for i in range(n)], 0.0, INF, CONT)
    m.set_objective(make_expr([(xs[0], 1.0)]))
    for i in range(n - 1):
        m.add_constraint(make_expr([(xs[i + 1], -0.5), (xs[i], 1.0)], -float(i), Sense.GreaterEqual, f"r{i:06d}"))
    text, handles = write(tmp_path / "big.lp", m)
    rows = "".join(f"r{i:06d}: x{i:06d} - 0.5 x{i + 1:06d} >= {i}\n" for i in range(n - 1))
    assert text == f"\\* big *\\\nMinimize\nOBJ: x000000\nSubject To\n{rows}End\n"
    assert len(text) > 2 * 1024 * 1024
    assert len(handles) == n


def test_name_length_counts_utf8_bytes(tmp_path):
    m, _ = one_variable_model()
    m.add_variable("xé", 0.0, 1.0, CONT)  # 3 bytes, unused
    with pytest.raises(RuntimeError, match=r'^Variable names too long for Lp format: \["xé"\]$'):
        write(tmp_path / "n.lp", m, max_length=2)
    assert not (tmp_path / "n.lp").exists()
    write(tmp_path / "n.lp", m, max_length=3)


def duplicate_variables(m, x):
    m.add_variable("x", 0.0, 1.0, CONT)


def duplicate_constraints(m, x):
    for _ in range(2):
        m.add_constraint(make_expr([(x, 1.0)], 0.0, Sense.LessEqual, "c"))


def long_unused_name(m, x):
    m.add_variable("abcd", 0.0, 1.0, CONT)


def objective_id_out_of_range(m, x):
    m.set_objective(make_expr([(x, 1.0), (m.get_variable(99), 2.0), (m.get_variable(50), 1.0)]))


REPEATED_X = r"^Repeated variable names: \{\('x', 2\)\}$"
FAILURES_BEFORE_THE_FILE = [
    ([duplicate_variables], RuntimeError, REPEATED_X),
    ([duplicate_constraints], RuntimeError, r"^Repeated constraint names: \{\('c', 2\)\}$"),
    ([long_unused_name], RuntimeError, r'^Variable names too long for Lp format: \["abcd"\]$'),
    ([objective_id_out_of_range], ValueError, r"^Variable id 99 is out of range \(model has 1 variables\)$"),
    # The checks run in this order.
    ([long_unused_name, duplicate_constraints, duplicate_variables], RuntimeError, REPEATED_X),
    ([long_unused_name, duplicate_constraints], RuntimeError, "^Repeated constraint names: "),
    ([objective_id_out_of_range, long_unused_name], RuntimeError, "^Variable names too long"),
]


@pytest.mark.parametrize("existing", [False, True], ids=["absent", "existing"])
@pytest.mark.parametrize(("changes", "error", "message"), FAILURES_BEFORE_THE_FILE)
def test_failures_before_the_file_is_opened(tmp_path, changes, error, message, existing):
    m, x = one_variable_model()
    for change in changes:
        change(m, x)
    before = snapshot(m)
    path = tmp_path / "f.lp"
    if existing:
        path.write_bytes(b"keep me")
    with pytest.raises(error, match=message):
        write(path, m, max_length=3)
    if existing:
        assert path.read_bytes() == b"keep me"
    else:
        assert not path.exists()
    assert snapshot(m) == before


def test_no_objective_leaves_header_and_sense(tmp_path):
    m, _ = demo_model()
    m.clear_objective()
    m.set_sense(ObjSense.Maximize)
    before = snapshot(m)
    path = tmp_path / "n.lp"
    path.write_bytes(b"old content\n" * 100)
    with pytest.raises(ValueError, match="^No objective set$"):
        write(path, m)
    assert path.read_bytes() == b"\\* demo *\\\nMaximize\n"
    assert snapshot(m) == before  # and the model's lock was released


@pytest.mark.parametrize(("relative", "message"), [
    ("missing/dir/m.lp", f"Cannot create file: {os.strerror(2)} (os error 2)"),
    ("a\0b.lp", "Cannot create file: path contains a NUL character"),
    ("", f"Cannot create file: {os.strerror(2)} (os error 2)"),
])
def test_file_cannot_be_created(tmp_path, monkeypatch, relative, message):
    monkeypatch.chdir(tmp_path)
    m, _ = demo_model()
    with pytest.raises(RuntimeError) as info:
        write_lp(m, relative, True, 255, "OBJ", "d")
    assert str(info.value) == message
    assert list(tmp_path.iterdir()) == []


def test_name_checks_come_before_the_path(tmp_path):
    m, _ = demo_model()
    m.add_variable("x", 0.0, 1.0, Category.Continuous)
    with pytest.raises(RuntimeError, match="^Repeated variable names: "):
        write_lp(m, str(tmp_path) + "/a\0b.lp", True, 255, "OBJ", "d")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_failure_reports_the_system_error():
    m, _ = demo_model()
    with pytest.raises(RuntimeError) as info:
        write_lp(m, "/dev/full", True, 255, "OBJ", "d")
    assert str(info.value) == f"{os.strerror(28)} (os error 28)"
    assert m.num_variables == 5  # the model's lock was released


@pytest.mark.parametrize(("parameter", "value", "error"), [
    ("model", None, TypeError),
    ("model", AffineExpr(), TypeError),
    ("filename", b"f.lp", TypeError),
    ("filename", Path("f.lp"), TypeError),
    ("filename", "f\udc80.lp", UnicodeEncodeError),
    ("mip", 1, TypeError),
    ("mip", None, TypeError),
    ("max_length", -1, OverflowError),
    ("max_length", 2**64, OverflowError),
    ("max_length", 3.0, TypeError),
    ("max_length", "3", TypeError),
    ("obj_name", None, TypeError),
    ("dummy_var_name", 5, TypeError),
    ("dummy_var_name", "\ud800", UnicodeEncodeError),
])
def test_argument_conversion(tmp_path, parameter, value, error):
    m, _ = demo_model()
    args = {"model": m, "filename": str(tmp_path / "f.lp"), "mip": True, "max_length": 255,
            "obj_name": "OBJ", "dummy_var_name": "d", parameter: value}
    with pytest.raises(error) as info:
        write_lp(**args)
    assert type(info.value) is error
    assert any(f"'{parameter}'" in note for note in info.value.__notes__)
    assert list(tmp_path.iterdir()) == []


def test_arguments_by_position_and_keyword(tmp_path):
    m, _ = demo_model()
    path = str(tmp_path / "k.lp")
    handles = write_lp(m, path, dummy_var_name="__dummy", obj_name="OBJ", max_length=255, mip=True)
    assert Path(path).read_bytes() == DEMO_MIP.encode() and len(handles) == 4
    with pytest.raises(TypeError):
        write_lp(m, path, True, 255, "OBJ")
    with pytest.raises(TypeError):
        write_lp(m, path, True, 255, "OBJ", "d", mip=False)


def test_handles_refer_to_the_model_weakly(tmp_path):
    m, _ = demo_model()
    handles = write_lp(m, str(tmp_path / "h.lp"), True, 255, "OBJ", "d")
    del m
    with pytest.raises(ValueError, match="no longer exists"):
        handles[0].name  # noqa: B018


# ---------------------------------------------------------------------------------------------
# A real solver reads the written files.

def glpsol_objective(tmp_path, flag, path):
    """Optimal objective value that glpsol reports for the model file."""
    glpsol = require_tool("glpsol", "glpk-utils")
    solution = tmp_path / f"{Path(path).name}.sol"
    run = subprocess.run([glpsol, flag, str(path), "-w", str(solution)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    status = next(line.split() for line in solution.read_text().splitlines() if line.startswith("s "))
    # "s bas ROWS COLS PRIMAL DUAL OBJ" for LPs, "s mip ROWS COLS STATUS OBJ" for MIPs
    assert status[4:-1] == (["o"] if status[1] == "mip" else ["f", "f"]), status
    return float(status[-1])


def test_demo_model_solves(tmp_path):
    m, _ = demo_model()
    m.clear_sos()  # glpsol reads no SOS section
    path = tmp_path / "demo.lp"
    write(path, m)
    assert glpsol_objective(tmp_path, "--lp", path) == -1.0


def model_from_mps(result):
    """A Model built from read_mps records: variables, constraints, objective."""
    m = Model(result.parameters.name)
    handles = {}
    for v in result.variables:
        lb = -INF if v.lowBound is None else v.lowBound
        ub = INF if v.upBound is None else v.upBound
        handles[v.name] = m.add_variable(v.name, lb, ub, INT if v.cat == "Integer" else CONT)
    senses = {-1: Sense.LessEqual, 0: Sense.Equal, 1: Sense.GreaterEqual}
    for c in result.constraints:
        terms = [(handles[k.name], k.value) for k in c.coefficients]
        m.add_constraint(make_expr(terms, c.constant, senses[c.sense], c.name))
    m.set_objective(make_expr([(handles[k.name], k.value) for k in result.objective.coefficients]))
    return m


# Models without RANGES, without an objective constant, without negative upper bounds on
# columns with lower bound 0, and whose names are all valid LP names.
@pytest.mark.parametrize("name", ["afiro", "kb2", "bore3d", "capri", "vtpbase", "recipe", "sctap1"])
def test_netlib_models_keep_their_optimum(tmp_path, name):
    source = netlib_model(name)
    mps = tmp_path / f"{name}.mps"
    mps.write_bytes(gzip.decompress(source.read_bytes()))
    m = model_from_mps(read_mps(str(mps), 1))
    lp = tmp_path / f"{name}.lp"
    _, handles = write(lp, m, mip=False)
    assert len(handles) == m.num_variables
    expected = glpsol_objective(tmp_path, "--mps", mps)
    assert glpsol_objective(tmp_path, "--lp", lp) == pytest.approx(expected, rel=1e-9, abs=1e-12)
