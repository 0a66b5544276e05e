"""Cost per non-zero from 10^4 to 10^7 non-zeros: zemlo's writers and reader against HiGHS and
linopy, all in the same run.

Run with `make bench` or `python bench/bench_scale.py [sizes...]` (zemlo installed; highspy and
linopy from the `bench` extra). One generated model family: about 5.5 non-zeros per row, half as
many columns as rows, names on every row and column (x0.., c0..), every row sense, bounds on a
third of the columns and an objective over every tenth column. For each size:

* zemlo: write_lp, write_mps, read_mps with all its records, and separately the release of those
  records; the peak memory of each call above what the process held before it (child process);
* HiGHS (highspy): writeModel to LP and to MPS, readModel of zemlo's MPS file;
* linopy: its LP writer (`to_file`, polars) on the same model built from the same arrays.

CPU time per non-zero, minimum of interleaved rounds; ratios printed. Missed targets are printed
and make the exit status non-zero at the end, after every figure.
"""

from __future__ import annotations

import gc
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

from timing import Targets, interleaved
import numpy as np  # after timing, which limits its threads
from zemlo import AffineExpr, Model, read_mps, write_lp, write_mps

SIZES = [10_000, 100_000, 1_000_000, 10_000_000]
INF = float("inf")


def family(nnz, seed=7):
    """The arrays of the model of about `nnz` non-zeros."""
    rng = np.random.default_rng(seed)
    n_rows = max(1, int(nnz / 5.5))
    n_cols = max(1, n_rows // 2)
    lengths = rng.integers(1, 11, size=n_rows)
    starts = np.zeros(n_rows + 1, dtype=np.uint64)
    np.cumsum(lengths, out=starts[1:])
    total = int(starts[-1])
    lb = np.zeros(n_cols)
    ub = np.full(n_cols, INF)
    bounded = rng.random(n_cols) < 1 / 3
    ub[bounded] = rng.integers(1, 100, size=int(bounded.sum()))
    return dict(
        n_cols=n_cols, starts=starts, ids=rng.integers(0, n_cols, size=total, dtype=np.uint64),
        coeffs=np.round(rng.uniform(-100, 100, size=total), 3), senses=rng.integers(0, 3, size=n_rows, dtype=np.uint8),
        rhs=np.round(rng.uniform(-50, 50, size=n_rows), 2), lb=lb, ub=ub,
        obj_ids=np.arange(0, n_cols, 10, dtype=np.uint64),
    )


def zemlo_model(a):
    m = Model("scale")
    n = a["n_cols"]
    m.add_variables_arrays([f"x{i}" for i in range(n)], a["lb"], a["ub"], bytes(n))
    m.add_constraints_batch(a["starts"], a["ids"], a["coeffs"], a["senses"], a["rhs"],
                            [f"c{i}" for i in range(len(a["rhs"]))])
    obj = AffineExpr()
    obj.add_term_ids_coeffs(m, a["obj_ids"], np.ones(len(a["obj_ids"])))
    m.set_objective(obj)
    return m


def linopy_model(a):
    import linopy
    import xarray as xr

    m = linopy.Model()
    x = m.add_variables(lower=a["lb"], upper=a["ub"], coords=[np.arange(a["n_cols"])], name="x")
    starts = a["starts"].astype(np.int64)
    n_rows = len(starts) - 1
    width = int(np.diff(starts).max())
    row_of = np.repeat(np.arange(n_rows), np.diff(starts))
    slot = np.arange(len(a["ids"])) - starts[row_of]
    coeffs = np.zeros((n_rows, width))
    labels = np.full((n_rows, width), -1, dtype=np.int64)
    coeffs[row_of, slot] = a["coeffs"]
    labels[row_of, slot] = x.labels.values[a["ids"].astype(np.int64)]
    data = xr.Dataset({"coeffs": (("row", "_term"), coeffs), "vars": (("row", "_term"), labels)},
                      coords={"row": np.arange(n_rows)})
    lhs = linopy.LinearExpression(data, m)
    signs = xr.DataArray(np.array(["<=", "=", ">="])[a["senses"]], coords={"row": np.arange(n_rows)})
    m.add_constraints(lhs, signs, xr.DataArray(a["rhs"], coords={"row": np.arange(n_rows)}), name="c")
    m.add_objective((1.0 * x.isel(dim_0=slice(0, None, 10))).sum())
    return m


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def reset_peak():
    """Starts a new peak: the kernel's high-water mark of resident memory is reset to now."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def memory_child(nnz, what, path):
    """In a child process: the peak memory of one zemlo call above what the process held just
    before it (the model, or nothing for read_mps)."""
    a = family(nnz)
    if what == "read_mps":
        del a
        gc.collect()
        before = rss()
        reset_peak()
        r = read_mps(path, 1)
        top = peak()
        after = rss()
        del r
    else:
        m = zemlo_model(a)
        del a
        gc.collect()
        before = rss()
        reset_peak()
        (write_lp(m, path, False, 255, "OBJ", "") if what == "write_lp"
         else write_mps(m, path, 1, False, False, False, "scale", "OBJ"))
        top = peak()
        after = rss()
    print(json.dumps({"before": before, "peak": top, "after": after}))


def highs_memory_child(path):
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    before = rss()
    reset_peak()
    h.readModel(path)
    print(json.dumps({"before": before, "peak": peak()}))


def child(*args):
    out = subprocess.run([sys.executable, __file__, *map(str, args)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.splitlines()[-1])


def timed_release(path, rounds=3):
    """CPU time of dropping the records of one read, minimum over rounds."""
    best = INF
    for _ in range(rounds):
        r = read_mps(path, 1)
        gc.collect()
        t0 = time.process_time()
        del r
        best = min(best, time.process_time() - t0)
    return best


def run_size(nnz, tmp, targets, results):
    a = family(nnz)
    total = len(a["ids"])
    m = zemlo_model(a)
    lp, mps = os.path.join(tmp, "z.lp"), os.path.join(tmp, "z.mps")
    fns = {
        "zemlo write_lp": lambda: write_lp(m, lp, False, 255, "OBJ", ""),
        "zemlo write_mps": lambda: write_mps(m, mps, 1, False, False, False, "scale", "OBJ"),
    }
    fns["zemlo write_mps"]()
    fns["zemlo read_mps"] = lambda: read_mps(mps, 1)
    # A call on a small model takes a millisecond or less, where one slow spell of the machine
    # is many times the call: more rounds for the minimum to find an undisturbed one.
    rounds = 5 if total >= 10**6 else 10 if total >= 10**5 else 40
    try:
        import highspy

        h = highspy.Highs()
        h.setOptionValue("output_flag", False)
        h.readModel(mps)

        def highs_read():  # returns the model, so that its release is not timed (as for zemlo)
            g = highspy.Highs()
            g.setOptionValue("output_flag", False)
            g.readModel(mps)
            return g

        fns["highs writeModel lp"] = lambda: h.writeModel(os.path.join(tmp, "h.lp"))
        fns["highs writeModel mps"] = lambda: h.writeModel(os.path.join(tmp, "h.mps"))
        fns["highs readModel"] = highs_read
    except ImportError:
        print("highspy is not installed (pip install '.[bench]'): no HiGHS figures")
    try:
        lm = linopy_model(a)
        fns["linopy to_file lp"] = lambda: lm.to_file(os.path.join(tmp, "l.lp"), io_api="lp-polars", progress=False)
    except ImportError:
        print("linopy is not installed (pip install '.[bench]'): no linopy figures")
    del a
    t = interleaved(fns, rounds=rounds)
    t["zemlo release records"] = timed_release(mps, rounds)
    per = {k: v / total * 1e9 for k, v in t.items()}
    results[nnz] = per
    print(f"\n{total:,} non-zeros ({len(m.list_constraints()) if total < 10**5 else m.num_constraints:,} rows, "
          f"{m.num_variables:,} columns)")
    for k, v in per.items():
        print(f"  {k:<24} {v:8.1f} ns/non-zero")
    for ours, theirs in [("zemlo write_lp", "highs writeModel lp"), ("zemlo write_lp", "linopy to_file lp"),
                         ("zemlo write_mps", "highs writeModel mps"), ("zemlo read_mps", "highs readModel")]:
        if theirs in per:
            print(f"  {ours} / {theirs}: {per[ours] / per[theirs]:5.2f}")
    del m
    gc.collect()
    mb = 1 << 20
    for what, path in [("write_lp", lp), ("write_mps", mps), ("read_mps", mps)]:
        r = child("--memory", total and nnz, what, path if what == "read_mps" else os.path.join(tmp, "m.out"))
        print(f"  peak memory of {what:<9} {(r['peak'] - r['before']) / mb:8.1f} MB above the process before it")
        results[nnz][f"{what} peak MB"] = (r["peak"] - r["before"]) / mb
    try:
        import highspy  # noqa: F401

        r = child("--highs-memory", mps)
        print(f"  peak memory of highspy readModel {(r['peak'] - r['before']) / mb:8.1f} MB")
        results[nnz]["highs read peak MB"] = (r["peak"] - r["before"]) / mb
    except ImportError:
        pass


def check_targets(results, targets):
    big = max(results)
    small = 100_000 if 100_000 in results else min(results)
    r = results[big]
    if big >= 10**7:
        targets.check(r["zemlo write_lp"] <= 100, f"write_lp at most 100 ns/non-zero at {big:,}")
        targets.check(r["zemlo write_mps"] <= 100, f"write_mps at most 100 ns/non-zero at {big:,}")
        targets.check(r["zemlo read_mps"] <= 250, f"read_mps with records at most 250 ns/non-zero at {big:,}")
        targets.check(r["zemlo release records"] <= 100, f"release of the records at most 100 ns/non-zero at {big:,}")
    for k in ("zemlo write_lp", "zemlo write_mps", "zemlo read_mps"):
        targets.check(r[k] <= 1.3 * results[small][k], f"{k} at {big:,} at most 1.3x its cost at {small:,}")
    for nnz, r in sorted(results.items()):
        if "highs readModel" in r:
            targets.check(r["zemlo read_mps"] <= r["highs readModel"] / 5.8, f"read_mps ratio to HiGHS at {nnz:,}")
            targets.check(r["zemlo write_lp"] <= r["highs writeModel lp"] / 7.5, f"write_lp ratio to HiGHS at {nnz:,}")
            targets.check(r["zemlo write_mps"] <= r["highs writeModel mps"] / 4.8, f"write_mps ratio to HiGHS at {nnz:,}")
        if "linopy to_file lp" in r:
            targets.check(r["zemlo write_lp"] <= r["linopy to_file lp"] / 2.8, f"write_lp ratio to linopy at {nnz:,}")
        if "highs read peak MB" in r and nnz >= 10**6:
            targets.check(r["read_mps peak MB"] <= r["highs read peak MB"], f"read_mps peak memory within HiGHS's at {nnz:,}")


def main():
    if sys.argv[1:2] == ["--memory"]:
        memory_child(int(sys.argv[2]), sys.argv[3], sys.argv[4])
        return 0
    if sys.argv[1:2] == ["--highs-memory"]:
        highs_memory_child(sys.argv[2])
        return 0
    sizes = [int(s) for s in sys.argv[1:]] or SIZES
    targets = Targets()
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        for nnz in sizes:
            run_size(nnz, tmp, targets, results)
    print()
    check_targets(results, targets)
    return targets.exit_status()


if __name__ == "__main__":
    sys.exit(main())
