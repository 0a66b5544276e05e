"""Benchmark of write_mps against two baselines measured in the same run.

Run with `python bench/bench_write_mps.py` (zemlo installed). It builds a model of 200,000
variables (one in five integer) and 100,000 constraints of 20 terms, with an objective over
every variable: 2,200,000 non-zeros in all. It then writes it with write_mps into a temporary
directory (best of a few runs) and prints nanoseconds per non-zero, MB/s, and the ratio to:

(a) the I/O floor: writing the produced file's bytes to a new file with one Python write call;
(b) pure Python: rendering the same coefficient lines with '%.12e' and joining them into one
    string (no file writing at all).

Target: well below (b). The gap to (a) is mostly CPU work: formatting each number (about 60 ns,
see bench/format_bench.sh), the two repeated-name checks, and gathering the column entries.
"""

from __future__ import annotations

import array
import random
import tempfile
import time
from pathlib import Path

from zemlo import _ondrel
from zemlo._ondrel import AffineExpr, Category, Model, Sense

VARIABLES = 200_000
CONSTRAINTS = 100_000
PER_ROW = 20
REPEATS = 3


def build_model():
    """The model, and its coefficient lines' pieces (column name, row name, value) for (b)."""
    rng = random.Random(2024)
    m = Model("bench")
    names = [f"x{j:06d}" for j in range(VARIABLES)]
    integers = VARIABLES // 5
    m.add_variables_batch(names[: VARIABLES - integers], 0.0, 100.0, Category.Continuous)
    m.add_variables_batch(names[VARIABLES - integers:], 0.0, 10.0, Category.Integer)

    ids = array.array("Q", (rng.randrange(VARIABLES) for _ in range(CONSTRAINTS * PER_ROW)))
    coeffs = array.array("d", (rng.uniform(-1000.0, 1000.0) for _ in range(CONSTRAINTS * PER_ROW)))
    id_view, coeff_view = memoryview(ids), memoryview(coeffs)
    senses = [Sense.LessEqual, Sense.GreaterEqual, Sense.Equal]
    pieces = []
    for r in range(CONSTRAINTS):
        lo, hi = r * PER_ROW, (r + 1) * PER_ROW
        e = AffineExpr()
        e.add_term_ids_coeffs(m, id_view[lo:hi], coeff_view[lo:hi])
        e.set_sense(senses[r % 3])
        e.set_constant(rng.uniform(-100.0, 100.0))
        e.set_name(f"c{r:06d}")
        m.add_constraint(e)
        row = f"c{r:06d}"
        # A repeated id adds up inside one constraint, as it does in the expression.
        terms = {}
        for i, c in zip(ids[lo:hi], coeffs[lo:hi]):
            terms[i] = terms.get(i, 0.0) + c
        pieces.extend((names[i], row, c) for i, c in terms.items())

    objective = AffineExpr()
    obj_coeffs = array.array("d", (rng.uniform(-10.0, 10.0) for _ in range(VARIABLES)))
    objective.add_term_ids_coeffs(m, array.array("Q", range(VARIABLES)), obj_coeffs)
    m.set_objective(objective)
    pieces.extend(zip(names, ["OBJ"] * VARIABLES, obj_coeffs))
    return m, pieces


def best(fn, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main() -> None:
    t0 = time.perf_counter()
    m, pieces = build_model()
    nonzeros = len(pieces)
    print(f"model: {VARIABLES:,} variables, {CONSTRAINTS:,} constraints, {nonzeros:,} non-zeros "
          f"(built in {time.perf_counter() - t0:.1f} s)")

    with tempfile.TemporaryDirectory() as d:
        path = Path(d) / "bench.mps"
        copy = Path(d) / "copy.mps"
        results = {}
        for rename in (False, True):
            results[rename] = best(lambda: _ondrel.write_mps(m, str(path), 1, True, False, rename,
                                                             "bench", "OBJ"))
        data = path.read_bytes()
        size = len(data)

        def write_bytes():
            with open(copy, "wb") as f:
                f.write(data)

        floor = best(write_bytes)

    def render():
        return "\n".join(["    %-8s  %-8s  %.12e" % p for p in pieces])

    python = best(render)
    rendered = len(render())

    mb = size / 1e6
    print(f"file: {mb:.1f} MB")
    for rename, t in results.items():
        label = "write_mps (rename)" if rename else "write_mps"
        print(f"{label:<26} {t * 1e3:8.1f} ms  {t * 1e9 / nonzeros:6.1f} ns/non-zero  "
              f"{mb / t:7.0f} MB/s  {t / floor:5.2f}x the I/O floor  {t / python:5.2f}x pure Python")
    print(f"{'(a) one write of the bytes':<26} {floor * 1e3:8.1f} ms  {floor * 1e9 / nonzeros:6.1f} ns/non-zero  "
          f"{mb / floor:7.0f} MB/s")
    print(f"{'(b) pure Python %.12e':<26} {python * 1e3:8.1f} ms  {python * 1e9 / nonzeros:6.1f} ns/non-zero  "
          f"{rendered / 1e6 / python:7.0f} MB/s (coefficient lines only, in memory)")


if __name__ == "__main__":
    main()
