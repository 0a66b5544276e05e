"""Which solvers read the files `zemlo convert` writes as the model they came from.

Every netlib model (or the ones named on the command line) and the examples are converted with
default options to .lp, .mps and .mps.gz (--ranges for the files with ranges); a conversion the
command refuses (names an LP file cannot carry) is reported and done again with --rename. Each written file is then solved by
highspy, glpsol (--lp or --freemps), clp, cbc and python-mip, and each optimum compared with
the same solver's optimum of the original file (glpsol reading it as fixed MPS; the original's
HiGHS optimum where a solver cannot read the original): solvers differ in the digits they
reach on hard models, and clp solves the relaxation of a MIP. Prints one line per model and
format, and a summary; exits 1 when any solver's optimum differs from its own on the original.

    python tools/solver_table.py [--timeout S] [MODEL ...]
"""

from __future__ import annotations

import argparse
import contextlib
import gzip
import io
import math
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NETLIB = ROOT.parent / "shared" / "data" / "netlib"
EXAMPLES = ROOT / "examples"
FORMATS = (".lp", ".mps", ".mps.gz")


def highs(path: Path, timeout: float) -> float | str:
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("time_limit", timeout)
    if h.readModel(str(path)) == highspy.HighsStatus.kError:
        return "refused"
    h.run()
    if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
        return str(h.getModelStatus()).rsplit(".", 1)[-1]
    return float(h.getInfo().objective_function_value)


def glpsol(path: Path, timeout: float, fixed: bool = False) -> float | str:
    fmt = "--lp" if path.name.endswith((".lp", ".lp.gz")) else "--mps" if fixed else "--freemps"
    raw = Path(str(path) + ".glpsol")
    try:
        run = subprocess.run(["glpsol", fmt, str(path), "-w", str(raw), "--tmlim", str(int(timeout))],
                             capture_output=True, text=True, timeout=timeout + 30)
    except subprocess.TimeoutExpired:
        return "timeout"
    if run.returncode != 0:
        return "refused"
    status = next((line.split() for line in raw.read_text().splitlines() if line.startswith("s ")), None)
    if status is None or status[4] not in ("o", "f"):
        return "no optimum"
    return float(status[-1])


def coin(program: str, path: Path, timeout: float) -> float | str:
    try:
        run = subprocess.run([program, str(path), "-sec", str(int(timeout)), "-solve"], capture_output=True,
                             text=True, timeout=timeout + 30)
    except subprocess.TimeoutExpired:
        return "timeout"
    found = re.search(r"Optimal objective\s+(\S+)|Objective value:\s+(\S+)", run.stdout)
    if found is None or "infeasible" in run.stdout.lower():
        return "refused" if run.returncode else "no optimum"
    return float(found.group(1) or found.group(2))


def python_mip(path: Path, timeout: float) -> float | str:
    try:
        import mip
    except ImportError:
        return "not installed"
    model = mip.Model(solver_name="cbc")
    model.verbose = 0
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            model.read(str(path))
            status = model.optimize(max_seconds=timeout)
    except Exception:  # noqa: BLE001 (any failure to read is the finding)
        return "refused"
    if status != mip.OptimizationStatus.OPTIMAL:
        return status.name.lower()
    return float(model.objective_value)


SOLVERS = {
    "highspy": highs,
    "glpsol": glpsol,
    "clp": lambda p, t: coin("clp", p, t),
    "cbc": lambda p, t: coin("cbc", p, t),
    "python-mip": python_mip,
}


def same(a: float, b: float) -> bool:
    return math.isclose(a, b, rel_tol=1e-6, abs_tol=1e-6)


def convert(source: Path, out: Path, rename: bool) -> str:
    """Runs `zemlo convert`; returns its error line, empty on success. A file with ranges is
    converted with --ranges, which the command names when it refuses one."""
    args = [sys.executable, "-m", "zemlo", "convert", "-q", "--force", str(source), str(out)]
    args += ["--rename"] if rename else []
    run = subprocess.run(args, capture_output=True, text=True)
    if "read only with --ranges" in run.stderr:
        run = subprocess.run(args + ["--ranges"], capture_output=True, text=True)
    return run.stderr.strip()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("models", nargs="*", help="netlib model names (default: all) or paths")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per solve")
    args = parser.parse_args()
    sources = [Path(m) if os.sep in m else NETLIB / f"{m}.mps.gz" for m in args.models] or sorted(
        NETLIB.glob("*.mps.gz")) + sorted(EXAMPLES.glob("*.mps*"))
    wrong = 0
    refused = 0
    with tempfile.TemporaryDirectory(prefix="zemlo-table-") as tmp:
        for source in sources:
            name = source.name.split(".mps")[0]
            original = highs(source, args.timeout)
            if not isinstance(original, float):
                print(f"{name:10s} original: {original}, skipped", flush=True)
                continue
            plain = Path(tmp) / f"{name}.orig.mps"
            plain.write_bytes(gzip.decompress(source.read_bytes()) if source.name.endswith(".gz")
                              else source.read_bytes())
            own = {}
            for solver, solve in SOLVERS.items():
                got = glpsol(plain, args.timeout, fixed=True) if solver == "glpsol" else solve(plain, args.timeout)
                own[solver] = got if isinstance(got, float) else original
            for fmt in FORMATS:
                out = Path(tmp) / f"{name}{fmt}"
                error = convert(source, out, rename=False)
                note = ""
                if error:
                    refused += 1
                    note = f" (refused: {error.split(': ', 2)[-1][:60]}...; with --rename)"
                    error = convert(source, out, rename=True)
                if error:
                    print(f"{name:10s} {fmt:7s} convert failed: {error}", flush=True)
                    wrong += 1
                    continue
                cells = []
                for solver, solve in SOLVERS.items():
                    got = solve(out, args.timeout)
                    # Its own reading of the original, or the original's meaning (HiGHS's optimum):
                    # a reader that misreads the original (an objective constant) reads the
                    # converted file right.
                    ok = isinstance(got, float) and (same(got, own[solver]) or same(got, original))
                    wrong += isinstance(got, float) and not ok
                    cells.append(f"{solver} {'ok' if ok else got}")
                print(f"{name:10s} {fmt:7s} {original:.10g}: " + ", ".join(cells) + note, flush=True)
                out.unlink()
            plain.unlink()
    print(f"{wrong} optima differ from the original's; {refused} conversions refused without --rename")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
