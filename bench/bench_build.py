"""Model-building benchmark: costs per element with ratios to baselines measured in the same run.

Run with `make bench` or `python bench/bench_build.py` (zemlo installed). Workloads on a model of
1,000,000 variables:

* add_variables_batch for all of them (handle creation included);
* one expression of 1,000,000 distinct ids from array.array buffers (add_term_ids_coeffs),
  against a plain copy of the same buffers (bytes(ids) + bytes(coeffs));
* one expression of 100,000 terms with add_term in a Python loop, against a dict update loop
  (d[k] = d.get(k, 0.0) + c) over the same data;
* 100,000 constraints of 10 terms each through AffineExpr and add_constraint, with the
  expression's own construction timed apart;
* peak memory of the 1,000,000-term expression, measured in a child process.
"""

from __future__ import annotations

import gc
import json
import random
import resource
import subprocess
import sys
from array import array

from zemlo._ondrel import AffineExpr, Category, Model, Sense
from timing import best_of

N_VARS = 1_000_000
N_BULK = 1_000_000
N_LOOP = 100_000
N_CONS = 100_000
TERMS_PER_CON = 10
INF = float("inf")


def report(label, seconds, count, baseline=None, baseline_label=""):
    per = seconds / count * 1e9
    line = f"{label:<46} {per:9.1f} ns/element"
    if baseline is not None:
        base = baseline / count * 1e9
        line += f"   baseline {baseline_label} {base:7.1f} ns   ratio {seconds / baseline:5.2f}x"
    print(line)


def bench_variables():
    names = [f"x{i}" for i in range(N_VARS)]

    def run():
        m = Model("bench")
        handles = m.add_variables_batch(names, 0.0, INF, Category.Continuous)
        assert len(handles) == N_VARS

    t = best_of(run, repeat=3)
    report("add_variables_batch (1M, handles included)", t, N_VARS)
    print(f"{'':<46} target < 150 ns/variable")


def bench_bulk(model):
    rng = random.Random(1)
    ids_list = list(range(N_BULK))
    rng.shuffle(ids_list)
    ids = array("Q", ids_list)
    coeffs = array("d", (rng.uniform(-10, 10) for _ in range(N_BULK)))

    def run():
        e = AffineExpr()
        e.add_term_ids_coeffs(model, ids, coeffs)

    def baseline():
        bytes(ids)
        bytes(coeffs)

    t = best_of(run)
    b = best_of(baseline)
    report("add_term_ids_coeffs (1M distinct, shuffled)", t, N_BULK, b, "copy")
    print(f"{'':<46} target ratio <= 4x")

    sequential_ids = array("Q", range(N_BULK))
    t = best_of(lambda: AffineExpr().add_term_ids_coeffs(model, sequential_ids, coeffs))
    report("add_term_ids_coeffs (1M distinct, in order)", t, N_BULK, b, "copy")


def bench_add_term(model):
    rng = random.Random(2)
    handles = model.list_variables_by_ids(range(N_LOOP))
    keys = list(range(N_LOOP))
    pairs_vars = [handles[rng.randrange(N_LOOP)] for _ in range(N_LOOP)]
    pairs_keys = [keys[h.id()] for h in pairs_vars]
    coeffs = [rng.uniform(-1, 1) for _ in range(N_LOOP)]

    def run():
        e = AffineExpr()
        add = e.add_term
        for v, c in zip(pairs_vars, coeffs):
            add(v, c)

    def baseline():
        d = {}
        get = d.get
        for k, c in zip(pairs_keys, coeffs):
            d[k] = get(k, 0.0) + c

    t = best_of(run)
    b = best_of(baseline)
    report("add_term in a Python loop (100k)", t, N_LOOP, b, "dict")
    print(f"{'':<46} target ratio <= 1x")


def bench_constraints(model):
    rng = random.Random(3)
    handles = model.list_variables_by_ids(range(N_VARS // 10))
    rows = [
        [(handles[rng.randrange(len(handles))], rng.uniform(-5, 5)) for _ in range(TERMS_PER_CON)]
        for _ in range(N_CONS)
    ]

    def build():
        exprs = []
        for row in rows:
            e = AffineExpr()
            add = e.add_term
            for v, c in row:
                add(v, c)
            e.set_constant(-1.0)
            e.set_sense(Sense.LessEqual)
            exprs.append(e)
        return exprs

    exprs = build()
    t_build = best_of(build, repeat=3)

    def add_all():
        add = model.add_constraint
        for e in exprs:
            add(e)

    # Each run appends another 100,000 constraints to the same model.
    t_add = best_of(add_all, repeat=3)
    report("AffineExpr construction (10 terms)", t_build, N_CONS)
    report("add_constraint (10 terms)", t_add, N_CONS)
    print(f"{'':<46} target add_constraint < 1000 ns")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def child_memory():
    """Runs in a child process: memory held by the 1M-term expression, per term.

    The bulk path copies nothing and reserves the term storage and its index up front, so the
    resident size right after the call is also the peak of the call."""
    m = Model("mem")
    m.add_variables_batch([f"x{i}" for i in range(N_VARS)], 0.0, INF, Category.Continuous)
    ids = array("Q", range(N_BULK))
    random.Random(4).shuffle(ids)
    coeffs = array("d", [1.0]) * N_BULK
    gc.collect()
    before = resident_bytes()
    e = AffineExpr()
    e.add_term_ids_coeffs(m, ids, coeffs)
    after = resident_bytes()
    assert e.num_terms() == N_BULK
    print(json.dumps({"bytes_per_term": (after - before) / N_BULK}))


def bench_memory():
    out = subprocess.run([sys.executable, __file__, "--child-memory"], check=True, capture_output=True, text=True)
    per_term = json.loads(out.stdout.strip().splitlines()[-1])["bytes_per_term"]
    print(f"{'peak memory of the 1M-term expression':<46} {per_term:9.1f} bytes/term   target < 48")


def main():
    if "--child-memory" in sys.argv:
        child_memory()
        return
    print(f"Python {sys.version.split()[0]}")
    bench_variables()
    model = Model("bench")
    model.add_variables_batch([f"x{i}" for i in range(N_VARS)], 0.0, INF, Category.Continuous)
    bench_bulk(model)
    bench_add_term(model)
    bench_constraints(model)
    bench_memory()


if __name__ == "__main__":
    main()
