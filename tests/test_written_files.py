"""Files the package writes (DoRaduvar.write, `zemlo convert`) read back by every solver as the
model they came from: HiGHS (highspy), glpsol, clp and cbc, each with the reader flags the
README names. The solvers are the oracles: each must reach the model's own optimum."""

import gzip
import math
import re
import subprocess
import sys
from pathlib import Path

import pytest

import zemlo
from support import netlib_model, require_solver, require_tool

ROOT = Path(__file__).resolve().parents[1]


def highs(path: Path) -> tuple[float, dict[str, float]]:
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    assert h.readModel(str(path)) == highspy.HighsStatus.kOk
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    lp = h.getLp()
    values = dict(zip(lp.col_names_, h.getSolution().col_value))
    return h.getInfo().objective_function_value, values


def glpsol(path: Path, fixed: bool = False) -> tuple[float, dict[str, float]]:
    """glpsol's optimum and values: --lp, --freemps for the files zemlo writes (their numbers do
    not keep to the fixed fields), or --mps for `fixed` ones."""
    require_tool("glpsol", "glpk-utils")
    fmt = "--lp" if ".lp" in path.name else "--mps" if fixed else "--freemps"
    out = Path(f"{path}.txt")
    run = subprocess.run(["glpsol", fmt, str(path), "-o", str(out)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout
    text = out.read_text()
    objective = float(re.search(r"^Objective:\s+\S+ = (\S+)", text, re.M).group(1))
    # The column table: "No. Column name [St] Activity ..."; short lines of the integer table
    # carry no status.
    values = {}
    table = text[text.index("Column name"):]
    for line in table.splitlines()[2:]:
        fields = line.split()
        if len(fields) >= 3 and fields[0].isdigit():
            values[fields[1]] = float(fields[3] if fields[2] in ("B", "NL", "NU", "NF", "NS", "*") else fields[2])
    return objective, values


def coin(program: str, path: Path) -> tuple[float, dict[str, float]]:
    require_tool(program, f"coinor-{program}")
    solution = Path(f"{path}.{program}")
    run = subprocess.run([program, str(path), "-solve", "-solu", str(solution)], capture_output=True, text=True,
                         timeout=300)
    found = re.search(r"Optimal objective\s+(\S+)|Objective value:\s+(\S+)", run.stdout)
    assert found is not None and "Optimal" in run.stdout, run.stdout
    values = {}
    for line in solution.read_text().splitlines()[1:]:
        fields = line.split()
        if len(fields) >= 3 and fields[0].isdigit():
            values[fields[1]] = float(fields[2])
    return float(found.group(1) or found.group(2)), values


READERS = {
    "highspy": highs,
    "glpsol": glpsol,
    "clp": lambda p: coin("clp", p),
    "cbc": lambda p: coin("cbc", p),
}


@pytest.fixture(params=list(READERS))
def reader(request):
    if request.param == "highspy":
        require_solver("highs")
    return request.param


@pytest.fixture(params=["highspy", "glpsol", "cbc"])
def mip_reader(request):
    """The readers that solve integer programs (clp solves the relaxation only)."""
    if request.param == "highspy":
        require_solver("highs")
    return request.param


def workshop() -> zemlo.DoRaduvar:
    """The workshop example: max 45 chairs + 80 tables, tables an integer column with a lower
    bound only."""
    import importlib.util

    spec = importlib.util.spec_from_file_location("example_workshop", ROOT / "examples" / "workshop.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.build()


@pytest.mark.parametrize("suffix", [".lp", ".mps", ".mps.gz"])
def test_a_maximising_mip_reaches_its_optimum_through_every_solver(tmp_path, mip_reader, suffix):
    path = tmp_path / f"workshop{suffix}"
    workshop().write(path)
    objective, values = READERS[mip_reader](path)
    # The MPS file states that its objective is negated (minimised): its optimum is -2200.
    assert objective == (2200 if suffix == ".lp" else -2200)
    assert (round(values["chairs"]), round(values["tables"])) == (24, 14)


@pytest.mark.parametrize("suffix", [".lp", ".mps"])
def test_the_objective_constant_reaches_every_solver(tmp_path, reader, suffix):
    # e226's objective row has a right-hand side: its optimum is -11.6389 with the constant.
    model = zemlo.load_mps(netlib_model("e226"))
    path = tmp_path / f"e226{suffix}"
    zemlo._files.write_model(model, path, rename=True)
    objective, values = READERS[reader](path)
    assert objective == pytest.approx(-11.638929066370522, rel=1e-8)
    # The constant's column: generated like the others in MPS (last of the columns), in LP
    # after the columns were renamed.
    assert values["_objconst" if suffix == ".lp" else f"X{model.num_variables:07d}"] == 1


def test_the_constant_column_takes_a_free_name(tmp_path):
    # Names beginning with "_" are the package's own, but a low-level Model may hold any.
    model = zemlo.Model("c")
    x = model.add_variable("x", 1.0, math.inf, zemlo.Category.Continuous)
    model.add_variable("_objconst", 0.0, 1.0, zemlo.Category.Continuous)  # unused: not written
    taken = model.add_variable("_objconst2", 0.0, 5.0, zemlo.Category.Continuous)
    objective = zemlo.AffineExpr()
    objective.add_term(x, 1.0)
    objective.add_term(taken, 1.0)
    objective.set_constant(7.5)
    model.set_objective(objective)
    assert zemlo._files.write_model(model, tmp_path / "c.lp") == "_objconst3"
    text = (tmp_path / "c.lp").read_text()
    assert "OBJ: _objconst2 + x + 7.5 _objconst3\n" in text and " _objconst3 = 1\n" in text
    assert highs(tmp_path / "c.lp")[0] == 8.5
    assert zemlo._files.write_model(model, tmp_path / "c.mps") == "_objconst3"
    assert highs(tmp_path / "c.mps")[0] == 8.5


@pytest.mark.parametrize("suffix", [".lp", ".mps"])
def test_a_feasibility_model_is_written_so_every_reader_takes_it(tmp_path, reader, suffix):
    p = zemlo.DoRaduvar("feasible")
    x = p.variable("x", ub=3)
    y = p.variable("y", ub=3)
    p.add(x + y >= 4, name="both")
    path = tmp_path / f"f{suffix}"
    p.write(path)
    if suffix == ".lp":  # a label alone is refused by glpsol
        assert "\nOBJ: 0 x\n" in path.read_text()
    objective, values = READERS[reader](path)
    assert objective == 0 and values["x"] + values["y"] >= 4 - 1e-9


@pytest.mark.parametrize(("name", "message"), [
    ("1", 'Variable name "1" cannot be written to an LP file: it starts with a digit or a period'),
    ("a-b", "Variable name \"a-b\" cannot be written to an LP file: it holds '-'; LP names hold letters, digits "
            "and !\"#$%&()/,.;?@_`'{}|~"),
    ("st", 'Variable name "st" cannot be written to an LP file: it is a word LP files reserve'),
    ("infinity", 'Variable name "infinity" cannot be written to an LP file: it is a word LP files reserve'),
])
def test_names_an_lp_file_cannot_carry_are_refused_before_writing(tmp_path, name, message):
    model = zemlo.Model("m")
    x = model.add_variable(name, 0.0, 1.0, zemlo.Category.Continuous)
    objective = zemlo.AffineExpr()
    objective.add_term(x, 1.0)
    model.set_objective(objective)
    out = tmp_path / "m.lp"
    with pytest.raises(RuntimeError) as info:
        zemlo._files.write_model(model, out)
    assert str(info.value) == message + " (rename=True writes generated names)"
    assert list(tmp_path.iterdir()) == []
    # The command names its own option; with it the file is written.
    source = tmp_path / "m.mps"
    zemlo._files.write_model(model, source)
    run = subprocess.run([sys.executable, "-m", "zemlo", "convert", str(source), str(out)], capture_output=True,
                         text=True)
    assert (run.returncode, run.stderr) == (1, f"zemlo: error: {message} (--rename writes generated names)\n")
    assert not out.exists()
    assert subprocess.run([sys.executable, "-m", "zemlo", "convert", str(source), str(out), "--rename", "-q"]).returncode == 0
    assert highs(out)[0] == 0


@pytest.mark.parametrize("name", ["afiro", "blend", "sc50a", "kb2", "adlittle", "boeing1"])
@pytest.mark.parametrize("suffix", [".lp", ".mps"])
def test_netlib_models_convert_to_files_every_solver_solves_to_the_original_optimum(tmp_path, reader, name, suffix):
    source = netlib_model(name)
    plain = tmp_path / f"{name}.orig.mps"
    plain.write_bytes(gzip.decompress(source.read_bytes()))
    out = tmp_path / f"{name}{suffix}"
    args = [sys.executable, "-m", "zemlo", "convert", "-q", str(source), str(out), "--rename"]
    run = subprocess.run(args + (["--ranges"] if name == "boeing1" else []), capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    if reader == "highspy" or name == "boeing1":  # glpsol reads no RANGES; HiGHS reads the original
        want = highs(plain)[0]
    else:
        want = glpsol(plain, fixed=True)[0] if reader == "glpsol" else READERS[reader](plain)[0]
    assert math.isclose(READERS[reader](out)[0], want, rel_tol=1e-9, abs_tol=1e-9)


@pytest.mark.parametrize("sense", ["min", "max"])
def test_an_open_integer_column_keeps_its_range_in_every_reader(tmp_path, mip_reader, sense):
    # x integer in [2, inf), x <= 10.5: 2 when minimised, 10 when maximised. Written with LO
    # and PL lines; a reader that bounded x by 1, or took PL for a lower bound of 0, misses.
    p = zemlo.DoRaduvar("open", sense=sense)
    x = p.variable("x", lb=2, integer=True)
    p.add(x <= 10.5, name="cap")
    (p.minimize if sense == "min" else p.maximize)(x)
    path = tmp_path / "open.mps"
    p.write(path)
    assert " LO BND       x          2.000000000000e0\n PL BND       x       \n" in path.read_text()
    objective, values = READERS[mip_reader](path)
    assert values["x"] == (2 if sense == "min" else 10)
    back = zemlo.load_mps(path)
    assert [(v.lb, v.ub) for v in back.list_variables()] == [(2, math.inf)]
