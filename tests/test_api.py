"""The public face of the package: its names, its version, the README's examples and its types."""

import subprocess
import sys
import tomllib
from importlib.metadata import version
from pathlib import Path

import pytest

import zemlo
from zemlo import _ondrel

ROOT = Path(__file__).resolve().parents[1]
# The modelling layer first, then the native core's names, then the helpers around it.
LAYER = ["DoRaduvar", "Var", "VarDict", "VarArray", "Expr", "LinearConstraint", "Row", "RowBlock", "total"]
HELPERS = ["load_mps", "load_lp", "solve", "SolveResult", "SolverError", "check_solution", "SolutionCheck"]


def test_the_package_exposes_the_native_names_and_its_helpers():
    assert zemlo.__all__ == [*LAYER, *_ondrel.__all__, *HELPERS]
    for name in _ondrel.__all__:
        assert getattr(zemlo, name) is getattr(_ondrel, name)
    namespace: dict[str, object] = {}
    exec("from zemlo import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(zemlo.__all__)


def test_version_has_one_source():
    with open(ROOT / "pyproject.toml", "rb") as f:
        declared = tomllib.load(f)["project"]["version"]
    assert zemlo.__version__ == version("zemlo") == declared


def test_the_readme_shows_the_examples_that_run():
    # The examples run in tests/test_examples.py and tests/test_solve.py; the README shows the
    # modelling layer's first, then the low-level one.
    readme = (ROOT / "README.md").read_text()
    shown = [block.split("```", 1)[0] for block in readme.split("```python\n")[1:3]]
    workshop = (ROOT / "examples" / "workshop.py").read_text().split('"""\n\n', 1)[1]
    quickstart = (ROOT / "examples" / "quickstart.py").read_text().split('"""\n\n', 1)[1]
    assert shown == [workshop, quickstart + "# optimal 2200.0 {'chairs': 24.0, 'tables': 14.0} True\n"]


@pytest.mark.parametrize("python", ["3.11", "3.12", "3.13"])
def test_examples_and_package_pass_mypy_strict(tmp_path_factory, python):
    cache = tmp_path_factory.getbasetemp() / f"mypy-cache-{python}"
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", python, "--cache-dir", str(cache),
         *sorted(str(p) for p in (ROOT / "examples").glob("*.py")), str(ROOT / "python" / "zemlo")],
        capture_output=True, text=True, cwd=ROOT, timeout=600,
    )
    assert run.returncode == 0, run.stdout + run.stderr
