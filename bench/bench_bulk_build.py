"""Building a whole model from arrays, three ways in one run, and variables in many small batches.

Run with `make bench` or `python bench/bench_bulk_build.py [rows]` (zemlo installed; highspy
from the `bench` extra). The model: 1,000,000 variables named x0.., 2,000,000 rows named c0..
of 1 to 10 random terms each (about 5.5 on average), every sense, random right-hand sides.

* the row-by-row loop: AffineExpr + add_term_ids_coeffs + set_sense + set_constant + set_name +
  add_constraint per row (timed on a tenth of the rows and scaled: it is the slow path);
* add_variables_arrays + add_constraints_batch, with names;
* HiGHS through highspy: addVars + addRows from NumPy arrays (no names).

Then the peak memory of the batch build against the model it leaves (measured in a child
process), add_variables_batch in batches of 100 against one batch, and load_mps against
read_mps alone on a file of 2,000,000 non-zeros.
"""

from __future__ import annotations

import json
import resource
import subprocess
import sys
from array import array

from timing import Targets, best_of, interleaved
import numpy as np  # after timing, which limits its threads
from zemlo._ondrel import AffineExpr, Category, Model, Sense

N_VARS = 1_000_000
N_ROWS = 2_000_000
INF = float("inf")
SENSES = [Sense.LessEqual, Sense.Equal, Sense.GreaterEqual]


def make_rows(n_rows, n_vars, seed=1):
    rng = np.random.default_rng(seed)
    lengths = rng.integers(1, 11, size=n_rows)
    starts = np.zeros(n_rows + 1, dtype=np.uint64)
    np.cumsum(lengths, out=starts[1:])
    nnz = int(starts[-1])
    return dict(
        starts=starts,
        ids=rng.integers(0, n_vars, size=nnz, dtype=np.uint64),
        coeffs=rng.uniform(-10, 10, size=nnz),
        senses=rng.integers(0, 3, size=n_rows, dtype=np.uint8),
        rhs=rng.uniform(-100, 100, size=n_rows),
        names=[f"c{i}" for i in range(n_rows)],
    )


def build_batch(var_names, rows):
    m = Model("bench")
    n = len(var_names)
    m.add_variables_arrays(var_names, np.zeros(n), np.full(n, INF), bytes(n))
    m.add_constraints_batch(rows["starts"], rows["ids"], rows["coeffs"], rows["senses"], rows["rhs"],
                            rows["names"])
    return m


def build_row_by_row(var_names, rows, n_rows):
    m = Model("bench")
    m.add_variables_batch(var_names, 0.0, INF, Category.Continuous)
    starts = rows["starts"].tolist()
    ids = array("Q", rows["ids"].tobytes())
    coeffs = array("d", rows["coeffs"].tobytes())
    senses = [SENSES[s] for s in rows["senses"][:n_rows].tolist()]
    rhs = rows["rhs"].tolist()
    names = rows["names"]
    for i in range(n_rows):
        e = AffineExpr()
        e.add_term_ids_coeffs(m, ids[starts[i]:starts[i + 1]], coeffs[starts[i]:starts[i + 1]])
        e.set_sense(senses[i])
        e.set_constant(-rhs[i])
        e.set_name(names[i])
        m.add_constraint(e)
    return m


def build_highs(rows):
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    n = N_VARS
    h.addVars(n, np.zeros(n), np.full(n, INF))
    senses, rhs = rows["senses"], rows["rhs"]
    lower = np.where(senses == 0, -INF, rhs)
    upper = np.where(senses == 2, INF, rhs)
    starts = rows["starts"][:-1].astype(np.int32)
    h.addRows(len(rhs), lower, upper, len(rows["ids"]), starts, rows["ids"].astype(np.int32), rows["coeffs"])
    return h


def peak_memory_child():
    """Run in a child: RSS with the inputs ready, peak RSS, and RSS once the build is done."""
    var_names = [f"x{i}" for i in range(N_VARS)]
    rows = make_rows(N_ROWS, N_VARS)

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize()

    before = rss()
    with open("/proc/self/clear_refs", "w") as f:  # the peak from here on
        f.write("5")
    m = build_batch(var_names, rows)
    after = rss()
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
    print(json.dumps({"before": before, "after": after, "peak": peak, "constraints": m.num_constraints}))


def bench_build(targets, n_rows):
    var_names = [f"x{i}" for i in range(N_VARS)]
    rows = make_rows(n_rows, N_VARS)
    nnz = len(rows["ids"])
    loop_rows = n_rows // 10
    loop_nnz = int(rows["starts"][loop_rows])
    vars_only = best_of(lambda: Model("v").add_variables_batch(var_names, 0.0, INF, Category.Continuous), 2)
    try:
        import highspy  # noqa: F401
        fns = {"highs": lambda: build_highs(rows)}
    except ImportError:
        fns = {}
        print("highspy is not installed (pip install '.[bench]'): no HiGHS baseline")
    fns["batch"] = lambda: build_batch(var_names, rows)
    fns["loop"] = lambda: build_row_by_row(var_names, rows, loop_rows)
    t = interleaved(fns, rounds=3)
    # The loop built a tenth of the rows: scale its constraint part to the whole model.
    loop = vars_only + (t["loop"] - vars_only) * nnz / loop_nnz
    print(f"model: {N_VARS:,} variables, {n_rows:,} rows, {nnz:,} non-zeros, names on every row")
    print(f"  row-by-row loop          {loop / nnz * 1e9:8.1f} ns/non-zero (scaled from {loop_rows:,} rows)")
    print(f"  add_constraints_batch    {t['batch'] / nnz * 1e9:8.1f} ns/non-zero   {loop / t['batch']:5.1f}x faster than the loop")
    targets.check(loop / t["batch"] >= 5, "batch at least 5x faster than the loop")
    if "highs" in t:
        print(f"  highspy addVars+addRows  {t['highs'] / nnz * 1e9:8.1f} ns/non-zero (no names)   "
              f"batch/highspy {t['batch'] / t['highs']:5.2f}x")
        targets.check(t["batch"] <= 2 * t["highs"], "batch with names within 2x of highspy")


def bench_memory(targets):
    out = subprocess.run([sys.executable, __file__, "--memory-child"], capture_output=True, text=True, check=True)
    r = json.loads(out.stdout)
    mb = 1 << 20
    model = r["after"] - r["before"]
    scratch = r["peak"] - r["after"]
    print(f"peak memory of the batch build: inputs {r['before'] / mb:7.1f} MB, model {model / mb:7.1f} MB, "
          f"peak above inputs + model {scratch / mb:6.1f} MB")
    targets.check(scratch <= 16 * mb, "batch build peak within 16 MB of inputs plus model")


def bench_small_batches(targets):
    n = 400_000
    names = [f"x{i}" for i in range(n)]
    chunks = [names[i:i + 100] for i in range(0, n, 100)]

    def many():
        m = Model("v")
        for c in chunks:
            m.add_variables_batch(c, 0.0, INF, Category.Continuous)

    t = interleaved({"one": lambda: Model("v").add_variables_batch(names, 0.0, INF, Category.Continuous),
                     "many": many}, rounds=3)
    print(f"add_variables_batch, {n:,} variables: one batch {t['one'] / n * 1e9:6.1f} ns/variable, "
          f"batches of 100 {t['many'] / n * 1e9:6.1f} ns/variable ({t['many'] / t['one']:4.2f}x)")
    targets.check(t["many"] <= 1.5 * t["one"], "batches of 100 within 1.5x of one batch")


def bench_load_mps(targets):
    """load_mps against read_mps alone on a file of 2,000,000 non-zeros (200,000 columns,
    about 364,000 rows), written by write_mps from a batch-built model."""
    import tempfile

    from zemlo import load_mps, read_mps, write_mps

    n_vars, n_rows = 200_000, 364_000
    rows = make_rows(n_rows, n_vars, seed=2)
    with tempfile.TemporaryDirectory() as tmp:
        path = f"{tmp}/bench.mps"
        m = Model("bench")
        m.add_variables_arrays([f"x{i}" for i in range(n_vars)], np.zeros(n_vars), np.full(n_vars, 10.0),
                               bytes(n_vars))
        m.add_constraints_batch(rows["starts"], rows["ids"], rows["coeffs"], rows["senses"], rows["rhs"],
                                rows["names"])
        write_mps(m, path, 1, False, False, False, "bench", "OBJ")
        del m
        nnz = len(rows["ids"])
        t = interleaved({"read": lambda: read_mps(path, 1), "load": lambda: load_mps(path)}, rounds=3)
    print(f"load_mps on {nnz:,} non-zeros: read_mps {t['read'] / nnz * 1e9:6.1f} ns/non-zero, "
          f"load_mps {t['load'] / nnz * 1e9:6.1f} ns/non-zero ({t['load'] / t['read']:4.2f}x)")
    targets.check(t["load"] <= 1.5 * t["read"], "load_mps within 1.5x of read_mps")


def main():
    if sys.argv[1:] == ["--memory-child"]:
        peak_memory_child()
        return 0
    n_rows = int(sys.argv[1]) if len(sys.argv) > 1 else N_ROWS
    targets = Targets()
    bench_build(targets, n_rows)
    bench_memory(targets)
    bench_small_batches(targets)
    bench_load_mps(targets)
    return targets.exit_status()


if __name__ == "__main__":
    sys.exit(main())
