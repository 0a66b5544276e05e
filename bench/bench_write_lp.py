"""LP writer benchmark: write_lp on a model of about 2,200,000 non-zeros, with ratios to baselines
measured in the same run.

Run with `make bench` or `python bench/bench_write_lp.py` (zemlo installed). The model: 200,000
variables (every 10th Integer 0..10, every 25th Binary, every 50th free, the rest continuous
0..inf), 100,000 constraints of 20 distinct terms (half integral coefficients, half random
floats), an objective over every variable. Reported for write_lp (best of 3):

* ns per non-zero and MB/s of file text;
* ratio to (a) the I/O floor: the produced file's bytes written to a new file with one Python
  write call;
* ratio to (b) a pure-Python rendering of the same constraint lines: terms sorted by name,
  repr-style numbers through f-strings, lines joined (no file written, no line wrapping).
"""

from __future__ import annotations

import os
import random
import sys
import tempfile
import time
from array import array

from zemlo._ondrel import AffineExpr, Category, Model, Sense, write_lp
from timing import best_of

N_VARS = 200_000
N_CONS = 100_000
TERMS_PER_CON = 20
INF = float("inf")
SENSES = (Sense.LessEqual, Sense.GreaterEqual, Sense.Equal)


def coefficient(rng):
    if rng.random() < 0.5:
        return float(rng.choice((1, -1, 2, -3, 5, 10)))
    return rng.uniform(-100.0, 100.0)


def build_model():
    """The model, plus the constraint rows as plain data for the Python baseline."""
    rng = random.Random(7)
    m = Model("bench")
    names = [f"x{i}" for i in range(N_VARS)]
    m.add_variables_batch(names, 0.0, INF, Category.Continuous)
    for i in range(0, N_VARS, 10):
        v = m.get_variable(i)
        v.set_category(Category.Integer)
        v.set_ub(10.0)
    for i in range(5, N_VARS, 25):
        v = m.get_variable(i)
        v.set_category(Category.Binary)
        v.set_ub(1.0)
    for i in range(3, N_VARS, 50):
        m.get_variable(i).set_lb(-INF)

    objective = AffineExpr()
    objective.add_term_ids_coeffs(m, array("Q", range(N_VARS)), array("d", (coefficient(rng) for _ in range(N_VARS))))
    m.set_objective(objective)

    rows = []
    population = range(N_VARS)
    for k in range(N_CONS):
        ids = rng.sample(population, TERMS_PER_CON)
        coeffs = [coefficient(rng) for _ in range(TERMS_PER_CON)]
        rhs = float(rng.randrange(-50, 50))
        sense = SENSES[k % 3]
        e = AffineExpr()
        e.add_term_ids_coeffs(m, array("Q", ids), array("d", coeffs))
        e.set_constant(-rhs)
        e.set_sense(sense)
        e.set_name(f"c{k}")
        m.add_constraint(e)
        rows.append((f"c{k}", [names[i] for i in ids], coeffs, sense, rhs))
    return m, rows


def python_render(rows):
    symbols = {Sense.LessEqual: "<=", Sense.GreaterEqual: ">=", Sense.Equal: "="}
    lines = []
    for name, names, coeffs, sense, rhs in sorted(rows, key=lambda r: r[0]):
        terms = sorted(zip(names, coeffs), key=lambda t: t[0])
        body = " + ".join(f"{c!r} {n}" for n, c in terms)
        lines.append(f"{name}: {body} {symbols[sense]} {rhs!r}\n")
    return "".join(lines)


def main():
    print(f"Python {sys.version.split()[0]}")
    t0 = time.perf_counter()
    m, rows = build_model()
    nnz = N_CONS * TERMS_PER_CON + N_VARS
    print(f"model: {N_VARS:,} variables, {N_CONS:,} constraints, {nnz:,} non-zeros "
          f"(built in {time.perf_counter() - t0:.1f} s)")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.lp")
        handles = []

        def run():
            handles[:] = write_lp(m, path, True, 255, "OBJ", "__dummy")

        t_write = best_of(run, repeat=3)
        assert len(handles) == N_VARS
        size = os.path.getsize(path)
        with open(path, "rb") as f:
            data = f.read()
        copy_path = os.path.join(tmp, "copy.lp")

        def copy():
            with open(copy_path, "wb") as f:
                f.write(data)

        t_copy = best_of(copy, repeat=3)

    t_python = best_of(lambda: python_render(rows), repeat=3)

    print(f"file: {size / 1e6:.1f} MB")
    print(f"{'write_lp (best of 3)':<40} {t_write * 1e3:8.1f} ms  {t_write / nnz * 1e9:6.1f} ns/non-zero"
          f"  {size / t_write / 1e6:7.1f} MB/s")
    print(f"{'(a) one write() of the same bytes':<40} {t_copy * 1e3:8.1f} ms  {t_copy / nnz * 1e9:6.1f} ns/non-zero"
          f"  {size / t_copy / 1e6:7.1f} MB/s   write_lp / (a) = {t_write / t_copy:5.2f}x")
    cons_nnz = N_CONS * TERMS_PER_CON
    print(f"{'(b) Python rendering, constraint lines':<40} {t_python * 1e3:8.1f} ms  "
          f"{t_python / cons_nnz * 1e9:6.1f} ns/non-zero"
          f"                (b) / write_lp = {t_python / t_write:5.2f}x")


if __name__ == "__main__":
    main()
