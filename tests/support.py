"""Helpers shared by the test files (importable because pytest puts tests/ on the path)."""

from __future__ import annotations

import os
import shutil
import sys
import sysconfig
import time
from pathlib import Path
from typing import NoReturn

import pytest

from zemlo._ondrel import AffineExpr, Sense

ROOT = Path(__file__).resolve().parents[1]
# The netlib models (gzipped fixed MPS) live beside the repository, in ../shared/data/netlib.
NETLIB = ROOT.parent / "shared" / "data" / "netlib"

# What a handle (Variable, Constraint) and an expression say once their model is gone.
LOST_HANDLE = (
    "The model this variable/constraint belongs to no longer exists. Do not reassign or delete "
    "the DoRaduvar and then use its variables or constraints."
)
LOST_EXPR = (
    "The model this variable/expression belongs to no longer exists. Do not reassign or delete "
    "the DoRaduvar and then use its variables or expressions."
)


def missing(reason: str) -> NoReturn:
    """Skips the running test for something this machine lacks (a solver, g++, the netlib
    models). Under CI (the CI environment variable set) it fails the test instead: a CI run
    must not pass with its solver and data checks quietly left out."""
    if os.environ.get("CI"):
        pytest.fail(f"{reason} (CI is set, so this fails instead of skipping)", pytrace=False)
    pytest.skip(reason)


def require_tool(name: str, package: str | None = None) -> str:
    """The path of the program `name`; when it is not installed, the test skips (fails under
    CI), naming the Debian `package` that provides it when that has another name."""
    path = shutil.which(name)
    if path is None:
        missing(f"{name} ({package}) is not installed" if package else f"{name} is not installed")
    return path


def require_solver(solver: str) -> None:
    """Skips (fails under CI) unless the solver `zemlo solve` names `solver` is installed:
    highs (the highspy package), cbc or glpk (their Debian programs)."""
    if solver == "highs":
        try:
            import highspy  # noqa: F401
        except ImportError:
            missing("highspy is not installed (pip install 'zemlo[solve]')")
        return
    program, package = {"cbc": ("cbc", "coinor-cbc"), "glpk": ("glpsol", "glpk-utils")}[solver]
    require_tool(program, package)


@pytest.fixture(params=("highs", "cbc", "glpk"))
def solver(request):
    """Each solver `zemlo solve` knows; a missing one skips (fails under CI). Import it into a
    test module to use it."""
    require_solver(request.param)
    return request.param


def run_queue_wait(pid: int | str = "self") -> float:
    """The seconds the main thread of process `pid` has spent ready to run but waiting for a
    core (the second field of /proc/PID/schedstat; 0.0 where the kernel does not keep it). Taken
    out of a measured wall time, it leaves what the program itself took, however loaded the
    machine is (the test suite runs in several processes at once)."""
    try:
        with open(f"/proc/{pid}/schedstat") as f:
            return int(f.read().split()[1]) / 1e9
    except FileNotFoundError:
        return 0.0


def sleep_for(pid: int, seconds: float) -> None:
    """Sleeps until process `pid` has had `seconds` of its own from now: wall time less the time
    its main thread spends waiting for a core (see run_queue_wait), so that the process gets as
    far on a busy machine as it would on an idle one."""
    start, waited = time.monotonic(), run_queue_wait(pid)
    while time.monotonic() - start - (run_queue_wait(pid) - waited) < seconds:
        time.sleep(0.01)


def netlib_model(name: str) -> Path:
    """The gzipped netlib model `name`; when it is not there, the test skips (fails under CI)."""
    source = NETLIB / f"{name}.mps.gz"
    if not NETLIB.is_dir():
        missing(f"no netlib models: {NETLIB} does not exist")
    if not source.is_file():
        missing(f"netlib model {source} is not available")
    return source


def netlib_sources() -> list[Path]:
    """Every gzipped netlib model, sorted, to parametrize tests at collection time. With none
    there it gives one entry for a model that is not there, so the tests are still collected
    and netlib_model() skips them (fails them under CI); an empty parametrization would be
    skipped by pytest itself, whatever CI says."""
    return sorted(NETLIB.glob("*.mps.gz")) or [NETLIB / "none.mps.gz"]


def make_expr(terms=(), constant=0.0, sense=None, name=None):
    """An AffineExpr with the (variable, coefficient) terms added in order."""
    e = AffineExpr()
    for var, coeff in terms:
        e.add_term(var, coeff)
    e.set_constant(constant)
    if sense is not None:
        e.set_sense(sense)
    if name is not None:
        e.set_name(name)
    return e


def accepts_terms_of(e, model):
    """Whether expression e may take terms of `model`: "here" (bound to it, or unbound),
    "elsewhere" or "lost". Asked of a copy, so e itself never gets bound."""
    from array import array

    try:
        e.clone_expr().add_term_ids_coeffs(model, array("Q"), array("d"))
    except ValueError as exc:
        return "lost" if str(exc) == LOST_EXPR else "elsewhere"
    return "here"


def native_build() -> Path:
    """The build tree the package was built in, which also holds the native probes (CMake's
    ONDREL_NATIVE_TOOLS, on in pyproject.toml): ZEMLO_NATIVE_BUILD when set (`make sanitize`
    points it at the sanitized tree), else the tree of this interpreter's wheel tag."""
    given = os.environ.get("ZEMLO_NATIVE_BUILD")
    if given:
        return Path(given) if Path(given).is_absolute() else ROOT / given
    version = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return ROOT / "build" / f"{version}-{version}-{platform}"


# How soon Ctrl-C must stop a call, in seconds of the child's own time. The sanitized build
# (`make sanitize` sets ZEMLO_NATIVE_BUILD to its tree) runs the same code several times slower,
# so its bound is twice the release build's; a call that does not stop never meets either.
INTERRUPT_SECONDS = 2.0 if "sanitize" in os.environ.get("ZEMLO_NATIVE_BUILD", "") else 1.0


def native_program(program: str) -> Path:
    """A probe under tests/native (linked with the plain library ondrel_core), as the package
    build made it; the tests never compile. Missing (no `make install` yet, or a tree built
    without the probes) skips the test, and fails it under CI."""
    path = native_build() / program
    if not path.is_file():
        missing(f"{path} is not built: `make install` builds the native probes with the package")
    return path


def demo_model():
    """The small model both file writers are shown with: returns (model, {name: Variable}).

    Variables x (continuous, 0..inf), y (integer, 0..10), z (binary), w (free) and an unused u;
    minimize 3 x + 2 y - z; constraints in stored order c2: x + y <= 4, c1: -x + w >= -1 and c3
    without terms (<= 5); one SOS1 group with members x (weight 1) and y (weight 2).
    """
    from zemlo._ondrel import Category, Model, ObjSense, Sense, SosKind

    m = Model("demo")
    inf = float("inf")
    v = {name: m.add_variable(name, lb, ub, cat) for name, lb, ub, cat in [
        ("x", 0.0, inf, Category.Continuous), ("y", 0.0, 10.0, Category.Integer),
        ("z", 0.0, 1.0, Category.Binary), ("w", -inf, inf, Category.Continuous),
        ("u", 0.0, 1.0, Category.Continuous)]}
    m.set_objective(make_expr([(v["x"], 3.0), (v["y"], 2.0), (v["z"], -1.0)]))
    m.set_sense(ObjSense.Minimize)
    m.add_constraint(make_expr([(v["x"], 1.0), (v["y"], 1.0)], -4.0, Sense.LessEqual, "c2"))
    m.add_constraint(make_expr([(v["x"], -1.0), (v["w"], 1.0)], 1.0, Sense.GreaterEqual, "c1"))
    m.add_constraint(make_expr([], -5.0, Sense.LessEqual, "c3"))
    m.add_sos_group(SosKind.Sos1, "s1", [(v["x"], 1.0), (v["y"], 2.0)])
    return m, v


# The demo model's MPS file: minimize, mip, no OBJSENSE section, its own names. The BV and FR
# lines end with the blanks that pad the name to eight characters.
DEMO_MPS = """\
*SENSE:Minimize
NAME          demo
ROWS
 N  OBJ
 L  c2
 G  c1
 L  c3
COLUMNS
    x         c2         1.000000000000e0
    x         c1        -1.000000000000e0
    x         OBJ        3.000000000000e0
    MARK      'MARKER'                 'INTORG'
    y         c2         1.000000000000e0
    y         OBJ        2.000000000000e0
    MARK      'MARKER'                 'INTEND'
    MARK      'MARKER'                 'INTORG'
    z         OBJ       -1.000000000000e0
    MARK      'MARKER'                 'INTEND'
    w         c1         1.000000000000e0
RHS
    RHS       c2         4.000000000000e0
    RHS       c1        -1.000000000000e0
    RHS       c3         5.000000000000e0
BOUNDS
 UP BND       y          1.000000000000e1
 BV BND       z       
 FR BND       w       
ENDATA
"""


def hexf(x):
    """Floats as hex text, so that -0.0 differs from 0.0 and NaN equals NaN."""
    return x.hex() if isinstance(x, float) else x


def terms_of(pairs):
    return [(v.id(), hexf(c)) for v, c in pairs]


def snapshot(model):
    """Everything the public API shows about a model, including the next automatic name."""
    obj = model.get_objective()
    copy = model.copy_model()  # continues the automatic numbering
    return {
        "counts": (model.num_variables, model.num_constraints),
        "variables": [
            (n, v.name, hexf(v.lb), hexf(v.ub), v.category, hexf(v.value), hexf(v.dj))
            for n, v in model.variables_dict()
        ],
        "constraints": [
            (n, c.name, hexf(c.rhs), c.sense, terms_of(c.items()), hexf(c.pi), hexf(c.slack))
            for n, c in model.constraints_dict()
        ],
        "coefficients": [(a, b, hexf(c)) for a, b, c in model.coefficients()],
        "objective": None
        if obj is None
        else (
            terms_of(obj.terms_with_variables(model)),
            hexf(obj.constant),
            obj.name,
            obj.sense,
            accepts_terms_of(obj, model),
        ),
        "sense": model.get_sense(),
        "sos": [(k, key, [(i, hexf(w)) for i, w in ms]) for k, key, ms in model.sos_export()],
        "used": model.used_variable_ids(),
        "summary": model.summary(),
        "next_auto_name": copy.add_constraint(make_expr(sense=Sense.Equal)).name,
    }
