"""zemlo.load_lp: a CPLEX LP file into a Model.

Every netlib model goes load_mps -> write_lp -> load_lp -> write_lp and must come back byte for
byte, as the same model; LP files written by other programs load to the model of the original
and solve to its optimum; small files pin the grammar, the bounds and categories, ranged
constraints, the names and every refusal.
"""

from __future__ import annotations

import gzip
import math
import os
import subprocess
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zemlo
from zemlo import Category, ObjSense, Sense, SosKind, load_lp, load_mps
from zemlo._files import rename_all
from zemlo._names import lp_name_problem
from zemlo._ondrel import write_lp
from support import missing, netlib_model, netlib_sources, require_solver

NETLIB_FILES = netlib_sources()
INF = math.inf
RANGED = ("boeing1", "boeing2", "nesm", "seba")


def write(model, path) -> bytes:
    write_lp(model, str(path), True, 255, "obj", "__dummy")
    return Path(path).read_bytes()


def snapshot(model, used=None):
    """The model as plain data: variables by name (bounds, category), constraints by name
    (sense, right-hand side, coefficients by variable name), the objective's coefficients and
    sense. With `used`, only the variables of those ids."""
    variables = model.list_variables()
    if used is not None:
        variables = [variables[i] for i in used]
    objective = model.get_objective()
    return {
        "variables": {v.name: (v.lb, v.ub, v.category) for v in variables},
        "constraints": {
            c.name: (c.sense, c.rhs, {v.name: a for v, a in c.items()}) for c in model.list_constraints()
        },
        "objective": {v.name: a for v, a in objective.items()} if objective is not None else {},
        "sense": model.get_sense(),
    }


def close_to(a, b) -> bool:
    """Numbers as the LP writer's twelve significant digits keep them."""
    return a == b or math.isclose(a, b, rel_tol=1e-11, abs_tol=1e-300)


def assert_same_model(loaded, written):
    assert loaded["sense"] == written["sense"]
    assert loaded["variables"].keys() == written["variables"].keys()
    for name, (lb, ub, category) in written["variables"].items():
        got = loaded["variables"][name]
        assert close_to(got[0], lb) and close_to(got[1], ub) and got[2] == category, name
    assert loaded["constraints"].keys() == written["constraints"].keys()
    for name, (sense, rhs, terms) in written["constraints"].items():
        got = loaded["constraints"][name]
        assert got[0] == sense and close_to(got[1], rhs), name
        assert got[2].keys() == terms.keys(), name
        assert all(close_to(got[2][v], a) for v, a in terms.items()), name
    assert loaded["objective"].keys() == written["objective"].keys()
    assert all(close_to(loaded["objective"][v], a) for v, a in written["objective"].items())


def lp_safe(model) -> bool:
    return all(lp_name_problem(v.name) is None for v in model.list_variables()) and all(
        lp_name_problem(c.name) is None for c in model.list_constraints())


@pytest.mark.parametrize("source", NETLIB_FILES, ids=lambda p: p.name.removesuffix(".mps.gz"))
@pytest.mark.parametrize("names", ["renamed", "own"])
def test_netlib_models_round_trip_byte_for_byte(tmp_path, source, names):
    name = source.name.removesuffix(".mps.gz")
    source = netlib_model(name)
    if name == "forplan":  # blanks inside its names: load_mps refuses it
        with pytest.raises(RuntimeError, match="is not a number"):
            load_mps(source)
        return
    original = load_mps(source, ranges=name in RANGED)
    if names == "renamed":
        rename_all(original)
    elif not lp_safe(original):
        # The package's writer refuses what an LP file cannot carry, naming the option.
        with pytest.raises(RuntimeError, match=r"cannot be written to an LP file: .* \(rename=True writes"):
            zemlo._files.write_model(original, tmp_path / "own.lp")
        return
    first = write(original, tmp_path / "a.lp")
    used = original.used_variable_ids()
    again = load_lp(tmp_path / "a.lp")
    assert write(again, tmp_path / "b.lp") == first
    assert_same_model(snapshot(again), snapshot(original, used))


def load_text(tmp_path, text: str, **options):
    path = tmp_path / "m.lp"
    path.write_text(text)
    return load_lp(path, **options)


@pytest.mark.parametrize("sections, order", [
    # The listings say x comes before y, z before y: the variables take the first such order
    # nearest to the order the file names them in.
    ("Bounds\n x <= 1\n y <= 2\nGenerals\n z\n y\n", ["x", "z", "y", "w"]),
    ("Bounds\n y <= 2\nGenerals\n y\n z\nBinaries\n w\n", ["y", "x", "z", "w"]),
    # Listings that contradict each other leave the order of first appearance.
    ("Bounds\n x <= 1\n y <= 2\nGenerals\n y\n x\n", ["y", "x", "z", "w"]),
    ("Bounds\n x <= 1\n y <= 2\n x <= 3\n", ["x", "y", "z", "w"]),
])
def test_variables_follow_the_order_the_bounds_and_integer_sections_list_them_in(tmp_path, sections, order):
    model = load_text(tmp_path, "Minimize\n y + x + 2 z\nSubject To\n c: z + w + x >= 1\n" + sections + "End\n")
    assert [v.name for v in model.list_variables()] == order
    assert {v.name: a for v, a in model.get_objective().items()} == {"y": 1, "x": 1, "z": 2}
    assert [(v.name, a) for v, a in model.list_constraints()[0].items()] == [("z", 1), ("w", 1), ("x", 1)]
    # Bounds and categories stay with their variables.
    y = model.list_variables()[order.index("y")]
    assert (y.ub, y.category == Category.Integer) == (2, "Generals" in sections)


def rows_of(model):
    return {c.name: (c.sense, c.rhs, {v.name: a for v, a in c.items()}) for c in model.list_constraints()}


EVERY_SECTION = """\\* demo *\\
Maximize
 profit: 3 x + 2y - z + 5 \\ the constant is 5
Subject To
 c1: x + y + z <= 10
 c2: x - y
     >= -2
 - x + 2 z = 1
 3 >= y
Bounds
 x <= 4
 -inf <= z <= 8
 w free
 y >= 1
 y >= 0.5
Generals
 y
Binaries
 b
SOS
 S1::
 x: 1
 y: 2
 pair: S2:: z:1 w:2.5
End
"""


def test_a_file_becomes_the_model_it_describes(tmp_path):
    m = load_text(tmp_path, EVERY_SECTION)
    assert m.summary() == "Model(name=demo, vars=5, constraints=4, objective=set)"
    assert m.get_sense() is ObjSense.Maximize
    objective = m.get_objective()
    assert objective.name == "profit" and objective.constant == 5.0
    assert {v.name: a for v, a in objective.items()} == {"x": 3.0, "y": 2.0, "z": -1.0}
    # Variables in the order the file first names them (w and b only in later sections), but
    # y after w, where the Bounds section lists it.
    variables = {v.name: (v.lb, v.ub, v.category) for v in m.list_variables()}
    assert list(variables) == ["x", "z", "w", "y", "b"]
    assert variables == {
        "x": (0.0, 4.0, Category.Continuous), "y": (0.5, INF, Category.Integer), "z": (-INF, 8.0, Category.Continuous),
        "w": (-INF, INF, Category.Continuous), "b": (0.0, 1.0, Category.Integer)}
    assert rows_of(m) == {
        "c1": (Sense.LessEqual, 10.0, {"x": 1.0, "y": 1.0, "z": 1.0}),
        "c2": (Sense.GreaterEqual, -2.0, {"x": 1.0, "y": -1.0}),
        "_C1": (Sense.Equal, 1.0, {"x": -1.0, "z": 2.0}),
        "_C2": (Sense.LessEqual, 3.0, {"y": 1.0}),
    }
    names = list(variables)
    assert [(kind, key, [(names[i], w) for i, w in members]) for kind, key, members in m.sos_export()] == [
        (1, None, [("x", 1.0), ("y", 2.0)]), (2, "pair", [("z", 1.0), ("w", 2.5)])]


@pytest.mark.parametrize(("head", "sense"), [
    ("Minimize", ObjSense.Minimize), ("MAXIMIZE", ObjSense.Maximize), ("min", ObjSense.Minimize),
    ("Max", ObjSense.Maximize), ("minimum", ObjSense.Minimize), ("maximum", ObjSense.Maximize),
    ("minimise", ObjSense.Minimize), ("Maximise", ObjSense.Maximize)])
@pytest.mark.parametrize("constraints", ["Subject To", "such that", "st", "S.T.", "st."])
def test_section_keywords_in_every_spelling_and_case(tmp_path, head, sense, constraints):
    m = load_text(tmp_path, f"{head}\n x\n{constraints}\n c: x >= 1\nend\n")
    assert m.get_sense() is sense
    assert rows_of(m) == {"c": (Sense.GreaterEqual, 1.0, {"x": 1.0})}


@pytest.mark.parametrize(("row", "sense", "rhs", "terms"), [
    ("c: x + y < 3", Sense.LessEqual, 3.0, {"x": 1, "y": 1}),
    ("c: x + y =< 3", Sense.LessEqual, 3.0, {"x": 1, "y": 1}),
    ("c: x + y > -3", Sense.GreaterEqual, -3.0, {"x": 1, "y": 1}),
    ("c: x + y => 3", Sense.GreaterEqual, 3.0, {"x": 1, "y": 1}),
    ("c: x = 3", Sense.Equal, 3.0, {"x": 1}),
    ("c: 2 x + 4 + y - 1 <= 10", Sense.LessEqual, 7.0, {"x": 2, "y": 1}),  # constants move right
    ("c: 3x - 2.5e-3 y >= +1", Sense.GreaterEqual, 1.0, {"x": 3, "y": -0.0025}),
    ("c: - - x >= 0", Sense.GreaterEqual, 0.0, {"x": 1}),
    ("c: x + x - 3 y + y <= 0", Sense.LessEqual, 0.0, {"x": 2, "y": -2}),  # repeats summed in place
    ("c: 4 >= x", Sense.LessEqual, 4.0, {"x": 1}),  # a number on the left: the sides swap
    ("c: x\n +\n y\n <=\n 3", Sense.LessEqual, 3.0, {"x": 1, "y": 1}),
    ("c: x \\* a comment\n spanning lines *\\ + y <= 3", Sense.LessEqual, 3.0, {"x": 1, "y": 1}),
    ("c: <= 3", Sense.LessEqual, 3.0, {}),  # a constraint without terms
    ("c: 1e+2 x >= 1E-2", Sense.GreaterEqual, 0.01, {"x": 100}),
    ("c: .5 x + 5. y <= 1", Sense.LessEqual, 1.0, {"x": 0.5, "y": 5}),
])
def test_constraint_forms(tmp_path, row, sense, rhs, terms):
    m = load_text(tmp_path, f"Minimize\n obj: x\nSubject To\n{row}\nEnd\n")
    assert rows_of(m)["c"] == (sense, rhs, {k: float(v) for k, v in terms.items()})


@pytest.mark.parametrize(("line", "bounds"), [
    ("x <= 4", (0.0, 4.0)),
    ("x >= -2", (-2.0, INF)),
    ("x <= -5", (0.0, -5.0)),  # an upper bound below zero keeps the lower bound 0: crossed
    ("-inf <= x <= inf", (-INF, INF)),
    ("-INFINITY <= x <= +Infinity", (-INF, INF)),
    ("2 <= x <= 5", (2.0, 5.0)),
    ("5 >= x >= 2", (2.0, 5.0)),
    ("x free", (-INF, INF)),
    ("x FREE", (-INF, INF)),
    ("x = 3", (3.0, 3.0)),
    ("-2 <= x", (-2.0, INF)),
    ("x >= -inf", (-INF, INF)),
    ("x <= 4\n x <= 7", (0.0, 7.0)),  # the later bound wins
    ("x = 3\n x free", (-INF, INF)),
])
def test_bounds(tmp_path, line, bounds):
    m = load_text(tmp_path, f"Minimize\n obj: x\nSubject To\n c: x >= -10\nBounds\n {line}\nEnd\n")
    v = m.list_variables()[0]
    assert (v.lb, v.ub) == bounds


@pytest.mark.parametrize(("section", "category", "bounds"), [
    ("Generals", Category.Integer, (2.0, 9.0)), ("general", Category.Integer, (2.0, 9.0)),
    ("gen", Category.Integer, (2.0, 9.0)), ("Integers", Category.Integer, (2.0, 9.0)),
    ("integer", Category.Integer, (2.0, 9.0)), ("Binaries", Category.Integer, (0.0, 1.0)),
    ("binary", Category.Integer, (0.0, 1.0)), ("BIN", Category.Integer, (0.0, 1.0))])
def test_integer_sections(tmp_path, section, category, bounds):
    m = load_text(tmp_path, f"Minimize\n obj: x\nSubject To\n c: x >= 1\nBounds\n 2 <= x <= 9\n{section}\n x\nEnd\n")
    v = m.list_variables()[0]
    assert (v.category, v.lb, v.ub) == (category, *bounds)


def test_numbers_read_back_exactly_as_written(tmp_path):
    values = [0.1, 1 / 3, 2.5e-300, 1.7976931348623157e308, 5e-324, 123456789012.34567, 1e-5]
    text = "Minimize\n obj: x\nSubject To\n" + "".join(
        f" c{i}: {v!r} x <= {v!r}\n" for i, v in enumerate(values)) + "End\n"
    rows = rows_of(load_text(tmp_path, text))
    assert [rows[f"c{i}"][2]["x"] for i in range(len(values))] == values
    assert [rows[f"c{i}"][1] for i in range(len(values))] == values


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(st.text("0123456789", min_size=1, max_size=24), st.text("0123456789", max_size=24),
                          st.one_of(st.none(), st.integers(-340, 320))), min_size=1, max_size=40))
def test_decimal_numbers_read_as_the_nearest_double(tmp_path, numbers):
    # Python's float() rounds correctly: every coefficient must be the double it gives.
    texts = [f"{whole}{'.' + part if part else ''}{'' if e is None else f'e{e}'}" for whole, part, e in numbers]
    expected = [float(t) for t in texts]
    finite = [(t, v) for t, v in zip(texts, expected) if math.isfinite(v)]
    if not finite:
        return
    rows = "".join(f" c{i}: {t} x >= 0\n" for i, (t, _) in enumerate(finite))
    got = rows_of(load_text(tmp_path, "Minimize\n obj: x\nSubject To\n" + rows + "End\n"))
    assert [got[f"c{i}"][2]["x"] for i in range(len(finite))] == [v for _, v in finite]


def test_the_header_names_the_model_and_labels_beginning_with_underscore_are_automatic(tmp_path):
    for head, name in (("\\* my model *\\\n", "my model"), ("\\Problem name: other\n", "other"),
                       ("\\ a comment\n", "")):
        m = load_text(tmp_path, head + "Minimize\n x\nSubject To\n _C7: x >= 1\n x <= 5\n named: x <= 6\nEnd\n")
        assert m.summary().startswith(f"Model(name={name}, ")
        assert list(rows_of(m)) == ["_C1", "_C2", "named"]


def test_the_writers_stand_in_for_empty_constraints_reads_back_as_empty_constraints(tmp_path):
    text = ("Minimize\nobj: x\nSubject To\n_dummy: 1 __dummy = 0\na: 1 __dummy <= 4\nb: x <= 3\n"
            "c: 1 __dummy >= -1\nEnd\n")
    m = load_text(tmp_path, text)
    assert [v.name for v in m.list_variables()] == ["x"]
    assert rows_of(m) == {"a": (Sense.LessEqual, 4.0, {}), "b": (Sense.LessEqual, 3.0, {"x": 1.0}),
                          "c": (Sense.GreaterEqual, -1.0, {})}
    assert write(m, tmp_path / "again.lp").decode().endswith(text.split("Subject To\n")[1])


RANGES = """Maximize
 obj: x + y
Subject To
 r1: 1 <= x + y <= 4
 r2: 6 >= x - y >= -2
 r3: 2 <= x + 1 <= 2
 r4: -inf <= y <= 5
 c5: r1_range >= 0
End
"""


def test_ranged_constraints_are_refused_unless_asked_for_naming_the_option(tmp_path):
    with pytest.raises(RuntimeError, match=r"^line 4, column 17: constraint 'r1' has a range, which is read only "
                       r"with ranges=True$"):
        load_text(tmp_path, RANGES)


def test_ranged_constraints_become_a_row_and_a_bounded_variable(tmp_path):
    require_solver("highs")
    m = load_text(tmp_path, RANGES, ranges=True)
    variables = {v.name: (v.lb, v.ub) for v in m.list_variables()}
    # The range variables come after the file's variables; a name taken gets a digit.
    assert list(variables) == ["x", "y", "r1_range", "r1_range2", "r2_range"]
    assert variables["r1_range2"] == (1.0, 4.0) and variables["r2_range"] == (-2.0, 6.0)
    rows = rows_of(m)
    assert rows["r1"] == (Sense.Equal, 0.0, {"x": 1.0, "y": 1.0, "r1_range2": -1.0})
    assert rows["r3"] == (Sense.Equal, 1.0, {"x": 1.0})  # one point: an equality
    assert rows["r4"] == (Sense.LessEqual, 5.0, {"y": 1.0})  # open below: the other side alone
    # x = 1, x + y in [1, 4], x - y in [-2, 6], y <= 5: the optimum is 4.
    assert zemlo.solve(m).objective == pytest.approx(4.0)


# Three comment lines longer than the pieces the file is read in (256 KiB), so that the
# buffers move while the tokens around them are read.
LONG_GAP = ("\\ " + "c" * 300_000 + "\n") * 3


@pytest.mark.parametrize("text, check", [
    (f"Minimize\n obj: xray\nSubject To\n cone\n{LONG_GAP}: xray >= 1\nEnd\n",
     lambda m: rows_of(m) == {"cone": (Sense.GreaterEqual, 1.0, {"xray": 1.0})}),
    (f"Minimize\n obj: xray\nSubject To\n c: xray >= 1\nBounds\n xray\n{LONG_GAP}<= 4\nEnd\n",
     lambda m: [(v.name, v.ub) for v in m.list_variables()] == [("xray", 4.0)]),
    (f"Minimize\n obj: xray + yolo\nSubject To\n c: xray >= 1\nSOS\n s: S1::\n xray\n{LONG_GAP}: 1\n yolo: 2\nEnd\n",
     lambda m: m.sos_export() == [(1, "s", [(0, 1.0), (1, 2.0)])]),
], ids=["label", "bound", "sos-member"])
def test_a_name_whose_statement_goes_on_pieces_later_is_still_that_name(tmp_path, text, check):
    assert check(load_text(tmp_path, text))


def test_stdin_a_pipe_gzip_and_paths(tmp_path):
    text = EVERY_SECTION.encode()
    plain = tmp_path / "m.lp"
    plain.write_bytes(text)
    packed = tmp_path / "m.lp.gz"
    packed.write_bytes(gzip.compress(text))
    expected = rows_of(load_lp(plain))
    assert rows_of(load_lp(str(packed))) == expected
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # The writer is another process: the read holds the interpreter while it waits.
    writer = subprocess.Popen(["sh", "-c", 'cat "$0" > "$1"', str(packed), str(fifo)])
    assert rows_of(load_lp(fifo)) == expected
    assert writer.wait() == 0
    script = "import sys, zemlo; m = zemlo.load_lp('-'); print(m.num_variables, m.num_constraints)"
    done = subprocess.run([os.sys.executable, "-c", script], input=text, capture_output=True, check=True)
    assert done.stdout.split() == [b"5", b"4"]
    problem = zemlo.DoRaduvar.read(packed)
    assert len(problem.all_constraints()) == 4


HEAD = "Minimize\n obj: x\nSubject To\n"
BAD_FILES = [
    ("quadratic objective", "Minimize\n obj: x + [ x ^ 2 ] / 2\nSubject To\nEnd\n",
     "line 2, column 11: quadratic terms are not supported ('[')"),
    ("power", HEAD + " c: x ^ 2 <= 1\nEnd\n", "line 4, column 7: quadratic terms are not supported ('^')"),
    ("indicator", HEAD + " c: b = 1 -> x <= 1\nEnd\n", "line 4, column 11: indicator constraints are not supported ('->')"),
    ("semi-continuous", HEAD + " c: x <= 1\nSemi-Continuous\n x\nEnd\n",
     "line 5, column 1: semi-continuous sections are not supported ('Semi')"),
    ("lazy", HEAD + " c: x <= 1\nLazy Constraints\n d: x <= 2\nEnd\n",
     "line 5, column 1: lazy constraint sections are not supported ('Lazy Constraints')"),
    ("user cuts", HEAD + " c: x <= 1\nUser Cuts\n d: x <= 2\nEnd\n",
     "line 5, column 1: user cut sections are not supported ('User Cuts')"),
    ("semi-continuous after an empty one", HEAD + " c: x <= 1\nsemi\nsemis\n x\nEnd\n",
     "line 6, column 1: semi-continuous sections are not supported ('semis')"),
    ("malformed number", HEAD + " c: 1.2.3 x <= 1\nEnd\n", "line 4, column 5: '1.2.3' is not a number"),
    ("exponent-like name", HEAD + " c: 3e1x <= 1\nEnd\n",
     "line 4, column 5: '3e1x' is not a number: put a blank between a coefficient and a variable whose name "
     "could be read as its exponent"),
    ("infinite coefficient", HEAD + " c: 1e999 x <= 1\nEnd\n", "line 4, column 5: '1e999' is not a finite number"),
    ("infinite right-hand side", HEAD + " c: x <= inf\nEnd\n",
     "line 4, column 10: the right-hand side of constraint 'c' is not a finite number"),
    ("unknown section", HEAD + " c: x <= 1\nPWLObj\n x\nEnd\n", "line 5, column 1: unknown section 'PWLObj'"),
    ("no sense", HEAD + " c: x + y\n d: x <= 1\nEnd\n",
     "line 5, column 2: expected <=, >= or = in constraint 'c', found 'd'"),
    ("no section", "x + y <= 1\n", "line 1, column 1: 'x' comes before the objective or constraint section (an LP "
     "file begins with Minimize, Maximize or Subject To)"),
    ("empty file", "\\ nothing\n", "line 2, column 1: the file has no objective or constraint section: this is "
     "not an LP file"),
    ("no End", HEAD + " c: x <= 1\n", "line 5, column 1: the file ends without an End line"),
    ("repeated name", HEAD + " c: x <= 1\n c: x >= 0\nEnd\n",
     "line 5, column 2: constraint name 'c' is used again (first on line 4)"),
    ("digit-led label", HEAD + " 2: x <= 1\nEnd\n",
     "line 4, column 2: '2' cannot name a constraint: names begin with a letter or one of !\"#$%&()/,;?@_`'{}|~"),
    ("unclosed comment", HEAD + " c: x <= 1 \\* to the end\nEnd\n",
     "line 4, column 12: the comment '\\*' is not closed before the end of the file"),
    ("reserved word", HEAD + " c: x + 3 min <= 1\nEnd\n",
     "line 4, column 11: 'min' is a word LP files reserve and cannot name a variable"),
    ("character", HEAD + " c: x * y <= 1\nEnd\n", "line 4, column 7: unexpected character '*'"),
    ("not UTF-8", HEAD + " c: x <= 1 \\ caf\xe9\nEnd\n", "line 4 is not UTF-8 text"),
    ("long line", HEAD + " c: x <= 1 \\ " + "a" * (1 << 21) + "\nEnd\n",
     "line 4 is longer than 1 MiB: this is not an LP file"),
]


@pytest.mark.parametrize(("what", "text", "message"), BAD_FILES, ids=[b[0] for b in BAD_FILES])
def test_refusals_name_the_line_column_and_token(tmp_path, what, text, message):
    path = tmp_path / "bad.lp"
    path.write_bytes(text.encode("latin-1") if what == "not UTF-8" else text.encode())
    with pytest.raises(RuntimeError) as info:
        load_lp(path)
    assert str(info.value) == message


def test_a_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        load_lp(tmp_path / "none.lp")
    assert info.value.filename == str(tmp_path / "none.lp")


# ---------------------------------------------------------------------------------------------
# LP files other programs write.

PEER_MODELS = ["afiro", "sc50b", "sc105", "kb2", "israel", "agg", "stocfor1", "boeing2"]


def peer_writers():
    import importlib.util

    spec = importlib.util.spec_from_file_location("lp_peer_table", Path(__file__).resolve().parents[1] / "tools" /
                                                  "lp_peer_table.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


TOOLS = peer_writers()


@pytest.mark.parametrize("writer", ["glpsol", "highs", "python-mip", "linopy"])
@pytest.mark.parametrize("name", PEER_MODELS)
def test_lp_files_of_other_writers_load_and_solve_to_the_originals_optimum(tmp_path, writer, name):
    require_solver("highs")
    if writer == "glpsol":
        require_solver("glpk")
    write = TOOLS.available_writers().get(writer)
    if write is None:
        missing(f"{writer} is not installed (the test extra installs it)")
    mps = TOOLS.plain_copy(netlib_model(name), tmp_path)
    lp = tmp_path / f"{name}.lp"
    write(mps, lp)
    original = load_mps(mps, ranges=True)
    model = load_lp(lp, ranges=True)
    # Writers that split ranged rows in two write more rows; linopy leaves out rows without terms.
    rows = {c.name for c in original.list_constraints() if c.items()}
    assert model.num_constraints >= len(rows)
    assert model.num_variables <= original.num_variables
    expected = TOOLS.highs_optimum(mps, 60)
    assert zemlo.solve(model).objective == pytest.approx(expected, rel=1e-6)


@pytest.mark.parametrize(("name", "message"), [
    ("adlittle", r"^line 3, column \d+: '\.\.\.100' is not a number$"),
    ("share2b", r"^line 3, column \d+: unexpected '010106' in the objective$")])
def test_names_outside_the_lp_rules_that_highs_writes_are_refused(tmp_path, name, message):
    # Names that begin with a period or a digit read as numbers in an LP file.
    require_solver("highs")
    mps = TOOLS.plain_copy(netlib_model(name), tmp_path)
    TOOLS.write_highs(mps, tmp_path / "x.lp")
    with pytest.raises(RuntimeError, match=message):
        load_lp(tmp_path / "x.lp")


@pytest.mark.parametrize("example", ["facility.mps", "afiro.mps.gz"])
def test_the_examples_written_by_highs_load_and_solve_alike(tmp_path, example):
    require_solver("highs")
    source = Path(__file__).resolve().parents[1] / "examples" / example
    mps = TOOLS.plain_copy(source, tmp_path)
    lp = tmp_path / "example.lp"
    TOOLS.write_highs(mps, lp)
    original = load_mps(mps)
    model = load_lp(lp)
    assert (model.num_constraints, model.is_mip()) == (original.num_constraints, original.is_mip())
    assert zemlo.solve(model).objective == pytest.approx(zemlo.solve(original).objective, rel=1e-6)


@pytest.mark.parametrize("word", ["lazy", "user", "LAZY"])
def test_lazy_and_user_first_on_a_line_are_variables_unless_a_section_follows(tmp_path, word):
    # A writer that wraps a long constraint puts a variable first on the next line: "lazy" and
    # "user" start a section only with "constraints" and "cuts" after them.
    path = tmp_path / "w.lp"
    path.write_text(f"Minimize\n obj: {word} + y\nSubject To\n long_label:\n {word} + y >= 1\n"
                    f"Bounds\n {word} <= 4\nGenerals\n {word}\nEnd\n")
    model = load_lp(path)
    variables = {v.name: (v.lb, v.ub, v.category) for v in model.list_variables()}
    assert variables == {word: (0.0, 4.0, Category.Integer), "y": (0.0, math.inf, Category.Continuous)}
    assert [c.name for c in model.list_constraints()] == ["long_label"]
    second = "cuts" if word == "user" else "constraints"
    path.write_text(f"Minimize\n obj: y\nSubject To\n c: y >= 1\n{word} {second}\n c2: y <= 3\nEnd\n")
    with pytest.raises(RuntimeError, match="lazy constraint" if word != "user" else "user cut"):
        load_lp(path)
