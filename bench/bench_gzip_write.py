"""Writing a model to a .gz file against writing the same file plain, through the package's own
path (write_model, so output_file with its staging file and rename in both).

A .gz file is compressed as the writer produces it, by a helper process reading a pipe, at the
default level (1): the time counted is the CPU time of this process and of the helper (user
plus system, getrusage of the children it waited for), so the compression is not hidden in
another process. Each figure is the minimum over interleaved rounds. Models of 10^6 and 4*10^6
non-zeros (sizes on the command line), rows of 1 to 9 random terms, every column bounded and in
the objective; MPS and LP.

Target: the .gz write takes at most 3x the time of the plain write, at every size and format.
The level-6 time is printed beside it for comparison (no target).

    python bench/bench_gzip_write.py [NONZEROS ...]
"""

from __future__ import annotations

import functools
import gc
import os
import resource
import sys
import tempfile
import time

from timing import Targets  # isort: skip  (first: it limits NumPy's threads)

import numpy as np  # noqa: E402
from zemlo._files import write_model  # noqa: E402
from zemlo._ondrel import AffineExpr, Model  # noqa: E402

ROUNDS = 3
TARGET = 3.0


def build(nonzeros: int) -> Model:
    """A random model of about `nonzeros` row coefficients: rows of 1 to 9 terms over a third
    as many columns, bounded in [0, 5], with an objective over every column."""
    rng = np.random.default_rng(1)
    n_rows = nonzeros // 5
    n_vars = max(1, nonzeros // 3)
    lengths = rng.integers(1, 10, size=n_rows)
    starts = np.zeros(n_rows + 1, dtype=np.uint64)
    np.cumsum(lengths, out=starts[1:])
    m = Model("bench")
    m.add_variables_arrays([f"x{i}" for i in range(n_vars)], np.zeros(n_vars), np.full(n_vars, 5.0), bytes(n_vars))
    total = int(starts[-1])
    m.add_constraints_batch(starts, rng.integers(0, n_vars, size=total, dtype=np.uint64),
                            rng.uniform(-9, 9, size=total), bytes(n_rows), rng.uniform(0, 9, size=n_rows))
    objective = AffineExpr()
    objective.add_term_ids_coeffs(m, np.arange(n_vars, dtype=np.uint64), rng.uniform(1, 2, size=n_vars))
    m.set_objective(objective)
    return m


def cpu_with_children() -> float:
    own = time.process_time()
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own + children.ru_utime + children.ru_stime


def timed(fn) -> float:
    """CPU time of fn(), this process's and its finished children's, the collector off."""
    gc.collect()
    gc.disable()
    try:
        t0 = cpu_with_children()
        fn()
        return cpu_with_children() - t0
    finally:
        gc.enable()


def measure(model: Model, nonzeros: int, tmp: str, targets: Targets) -> None:
    for fmt in ("mps", "lp"):
        plain = os.path.join(tmp, f"model.{fmt}")
        packed = plain + ".gz"
        runs = {
            "plain": functools.partial(write_model, model, plain),
            "gzip": functools.partial(write_model, model, packed),
        }
        best = {name: float("inf") for name in runs}
        for _ in range(ROUNDS):
            for name, fn in runs.items():
                best[name] = min(best[name], timed(fn))

        def level_6(path: str = packed) -> None:
            write_model(model, path, gzip_level=6)

        slow = timed(level_6)
        size, packed_size = os.path.getsize(plain), os.path.getsize(packed)
        ratio = best["gzip"] / best["plain"]
        print(f"{nonzeros:>12,} non-zeros {fmt.upper():<3}  plain {best['plain']:6.2f} s "
              f"({size / 1e6:7.1f} MB)   .gz level 1 {best['gzip']:6.2f} s ({packed_size / 1e6:6.1f} MB, "
              f"{ratio:.2f}x)   .gz level 6 {slow:6.2f} s ({slow / best['plain']:.2f}x)")
        targets.check(ratio <= TARGET, f"{nonzeros:,} {fmt.upper()}: .gz write {ratio:.2f}x the plain write "
                      f"(<= {TARGET:g}x)")
        os.unlink(plain)
        os.unlink(packed)


def main(sizes: list[int]) -> int:
    targets = Targets()
    with tempfile.TemporaryDirectory(prefix="zemlo-bench-gz-") as tmp:
        for nonzeros in sizes:
            measure(build(nonzeros), nonzeros, tmp, targets)
    return targets.exit_status()


if __name__ == "__main__":
    sys.exit(main([int(a) for a in sys.argv[1:]] or [1_000_000, 4_000_000]))
