"""LP files written by other programs, read by zemlo.load_lp: a table per writer.

For every netlib model (../shared/data/netlib/*.mps.gz, or the files given on the command line)
each writer present on this machine writes an LP file: glpsol (--wlp), HiGHS (writeModel),
python-mip (Model.write) and linopy (Model.to_file, the model built from arrays). load_lp reads
it; the model must have the original's rows and the variables the file names, and with
--solve HiGHS solves it (zemlo.solve) to the optimum of the original MPS file (rel 1e-6).
The table gives, per writer, the files written, those loaded, the refusals with their
messages, count mismatches and optimum mismatches.

    python tools/lp_peer_table.py [--solve] [--time-limit SECONDS] [MPS_FILE ...]
"""

from __future__ import annotations

import argparse
import gzip
import math
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NETLIB = ROOT.parent / "shared" / "data" / "netlib"


def plain_copy(source: Path, folder: Path) -> Path:
    """The MPS file decompressed into `folder` (the peers read plain files)."""
    name = source.name.removesuffix(".gz")
    target = folder / name
    if source.suffix == ".gz":
        with gzip.open(source, "rb") as src, open(target, "wb") as dst:
            shutil.copyfileobj(src, dst)
    else:
        shutil.copyfile(source, target)
    return target


def write_glpk(mps: Path, lp: Path) -> None:
    done = subprocess.run(["glpsol", "--mps", str(mps), "--check", "--wlp", str(lp)], capture_output=True, text=True)
    if done.returncode != 0 or not lp.exists():
        raise RuntimeError(f"glpsol: {done.stdout.strip().splitlines()[-1:]}")


def write_highs(mps: Path, lp: Path) -> None:
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    if h.readModel(str(mps)) != highspy.HighsStatus.kOk:
        raise RuntimeError("HiGHS does not read the MPS file")
    h.writeModel(str(lp))


def write_mip(mps: Path, lp: Path) -> None:
    import mip

    m = mip.Model(solver_name="cbc")
    m.verbose = 0
    m.read(str(mps))
    m.write(str(lp))


def write_linopy(mps: Path, lp: Path) -> None:
    """linopy reads no MPS: the model is built from arrays of the model load_mps reads."""
    import linopy
    import numpy as np
    import xarray as xr

    import zemlo

    source = zemlo.load_mps(mps, ranges=True)
    variables = source.list_variables()
    index = {v.name: i for i, v in enumerate(variables)}
    constraints = source.list_constraints()
    m = linopy.Model()
    x = m.add_variables(lower=xr.DataArray(np.array([v.lb for v in variables]), dims=["i"]),
                        upper=xr.DataArray(np.array([v.ub for v in variables]), dims=["i"]), name="x")
    integer = [i for i, v in enumerate(variables) if v.category is not zemlo.Category.Continuous]
    labels = x.labels.values
    if integer:
        raise RuntimeError("integer variables are left out of this comparison")
    width = max([len(c.items()) for c in constraints] + [1])
    ids = -np.ones((len(constraints), width), dtype=np.int64)
    coeffs = np.zeros((len(constraints), width))
    for r, c in enumerate(constraints):
        for k, (v, a) in enumerate(c.items()):
            ids[r, k] = labels[index[v.name]]
            coeffs[r, k] = a
    expr = linopy.LinearExpression(xr.Dataset({"coeffs": (("con", "_term"), coeffs), "vars": (("con", "_term"), ids)}), m)
    symbol = {zemlo.Sense.LessEqual: "<=", zemlo.Sense.GreaterEqual: ">=", zemlo.Sense.Equal: "="}
    m.add_constraints(expr, xr.DataArray(np.array([symbol[c.sense] for c in constraints]), dims=["con"]),
                      xr.DataArray(np.array([c.rhs for c in constraints]), dims=["con"]), name="c")
    objective = np.zeros(len(variables))
    for v, a in source.get_objective().items():
        objective[index[v.name]] += a
    m.add_objective((xr.DataArray(objective, dims=["i"]) * x).sum(),
                    sense="max" if source.get_sense() is zemlo.ObjSense.Maximize else "min")
    m.to_file(lp)


def available_writers() -> dict[str, Callable[[Path, Path], None]]:
    writers: dict[str, Callable[[Path, Path], None]] = {}
    if shutil.which("glpsol"):
        writers["glpsol"] = write_glpk
    for module, name, fn in (("highspy", "highs", write_highs), ("mip", "python-mip", write_mip),
                             ("linopy", "linopy", write_linopy)):
        try:
            __import__(module)
        except ImportError:
            continue
        writers[name] = fn
    return writers


def highs_optimum(path: Path, time_limit: float) -> float | None:
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("time_limit", time_limit)
    if h.readModel(str(path)) != highspy.HighsStatus.kOk:
        return None
    h.run()
    if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
        return None
    return h.getInfo().objective_function_value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=Path)
    parser.add_argument("--solve", action="store_true", help="solve each loaded model and compare optima")
    parser.add_argument("--time-limit", type=float, default=20.0)
    args = parser.parse_args()
    import zemlo

    files = args.files or sorted(NETLIB.glob("*.mps.gz"))
    writers = available_writers()
    rows: dict[str, dict[str, object]] = {
        w: {"files": 0, "loaded": 0, "not written": [], "refused": [], "counts": [], "optimum": [], "solved": 0}
        for w in writers}
    with tempfile.TemporaryDirectory() as folder_name:
        folder = Path(folder_name)
        for source in files:
            name = source.name.split(".")[0]
            mps = plain_copy(source, folder)
            try:
                original = zemlo.load_mps(mps, ranges=True)
            except Exception as exc:  # noqa: BLE001 - the table names every failure
                print(f"{name}: load_mps: {exc}", file=sys.stderr)
                continue
            expected = highs_optimum(mps, args.time_limit) if args.solve else None
            for writer, write in writers.items():
                row = rows[writer]
                lp = folder / f"{name}.{writer}.lp"
                try:
                    write(mps, lp)
                except Exception as exc:  # noqa: BLE001
                    row["not written"].append(f"{name}: {exc}")
                    continue
                row["files"] += 1
                try:
                    model = zemlo.load_lp(lp, ranges=True)
                except Exception as exc:  # noqa: BLE001
                    row["refused"].append(f"{name}: {type(exc).__name__}: {exc}")
                    continue
                row["loaded"] += 1
                if model.num_constraints != original.num_constraints:
                    row["counts"].append(f"{name}: {model.num_constraints} rows, the original {original.num_constraints}")
                if args.solve and expected is not None:
                    got = zemlo.solve(model, time_limit=args.time_limit).objective
                    if got is None or not math.isclose(got, expected, rel_tol=1e-6, abs_tol=1e-9):
                        row["optimum"].append(f"{name}: {got}, the original {expected}")
                    else:
                        row["solved"] += 1
                lp.unlink()
            mps.unlink()
    print(f"{'writer':<12}{'files':>7}{'loaded':>8}{'refused':>9}{'rows differ':>13}"
          + (f"{'same optimum':>14}{'optimum differs':>17}" if args.solve else ""))
    for writer, row in rows.items():
        print(f"{writer:<12}{row['files']:>7}{row['loaded']:>8}{len(row['refused']):>9}{len(row['counts']):>13}"
              + (f"{row['solved']:>14}{len(row['optimum']):>17}" if args.solve else ""))
    for writer, row in rows.items():
        for key in ("not written", "refused", "counts", "optimum"):
            for line in row[key]:
                print(f"{writer} {key}: {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
