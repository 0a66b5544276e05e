"""Loading MPS files into a model: zemlo.load_mps against the way it went before (read_mps, then
Model.add_mps_result), against read_mps alone and against HiGHS's readModel, plain and gzip.

Each measurement runs in a fresh process: CPU time of the load (time.process_time) and its peak
resident memory above the process's own before the load, next to the memory the loaded model
holds afterwards. Files of 10^5, 10^6 and 10^7 non-zeros (sizes on the command line) are made
once in a temporary folder: rows of five terms, one objective term per column, every column
bounded.

Targets: load_mps at most 0.6x the time of read_mps alone; its peak at most the loaded model's
memory plus 64 MB, and below HiGHS's peak.

    python bench/bench_load.py [NONZEROS ...]
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile

from timing import Targets

CHILD = r"""
import json, os, resource, sys, time
path, how = sys.argv[1], sys.argv[2]
import zemlo
from zemlo import Model, read_mps
if how == "highspy":
    import highspy

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def plain():
    # read_mps takes plain text only: a gzip file goes through a decompressed temporary copy,
    # as loading did before.
    if not path.endswith(".gz"):
        return path
    import gzip, shutil
    copy = path[:-3] + ".copy"
    with gzip.open(path, "rb") as src, open(copy, "wb") as dst:
        shutil.copyfileobj(src, dst, 1 << 20)
    return copy

def load():
    if how == "load_mps":
        return zemlo.load_mps(path)
    if how == "read_mps":
        return read_mps(plain(), 1)
    if how == "old path":
        m = Model("m")
        m.add_mps_result(read_mps(plain(), 1))
        return m
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(path)
    return h

def high_water():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

before = resident()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak resident set starts again from the current one
t0 = time.process_time()
kept = load()
seconds = time.process_time() - t0
held = resident() - before
peak = high_water() - before
print(json.dumps({"seconds": seconds, "held": held, "peak": peak}))
"""

HOWS = ["load_mps", "old path", "read_mps", "highspy"]


def make_file(folder: str, nonzeros: int) -> str:
    """A model of `nonzeros` row coefficients in an MPS file, written by zemlo itself."""
    import numpy as np

    from zemlo import AffineExpr, Model, write_mps

    rows = nonzeros // 5
    n = max(rows, 10)
    rng = np.random.default_rng(nonzeros)
    m = Model("bench")
    m.add_variables_arrays([f"x{j}" for j in range(n)], np.zeros(n), np.full(n, 10.0), bytes(n))
    starts = (np.arange(rows + 1) * 5).astype(np.uint64)
    m.add_constraints_batch(starts, rng.integers(0, n, size=rows * 5, dtype=np.uint64),
                            np.round(rng.uniform(1, 9, rows * 5), 4), bytes(rows), np.round(rng.uniform(1, 9, rows), 4),
                            names=[f"r{i}" for i in range(rows)])
    objective = AffineExpr()
    objective.add_term_ids_coeffs(m, np.arange(n, dtype=np.uint64), np.ones(n))
    m.set_objective(objective)
    path = os.path.join(folder, f"m{nonzeros}.mps")
    write_mps(m, path, 1, False, False, False, "bench", "OBJ")
    subprocess.run(["gzip", "-k", "-1", path], check=True)
    return path


def measure(path: str, how: str, rounds: int) -> dict[str, float]:
    best: dict[str, float] = {}
    for _ in range(rounds):
        run = subprocess.run([sys.executable, "-c", CHILD, path, how], capture_output=True, text=True, check=True)
        got = json.loads(run.stdout.splitlines()[-1])
        best = got if not best or got["seconds"] < best["seconds"] else best
    return best


def main() -> int:
    sizes = [int(float(a)) for a in sys.argv[1:]] or [10**5, 10**6, 10**7]
    targets = Targets()
    with tempfile.TemporaryDirectory(prefix="zemlo-bench-load-") as folder:
        for nonzeros in sizes:
            plain = make_file(folder, nonzeros)
            rounds = 3 if nonzeros <= 10**6 else 1
            for label, path in (("plain", plain), ("gzip", plain + ".gz")):
                print(f"== {nonzeros:,} non-zeros, {label} ({os.path.getsize(path) / 2**20:.1f} MiB)")
                got = {how: measure(path, how, rounds) for how in HOWS}
                for how, r in got.items():
                    print(f"    {how:<10} {r['seconds'] / nonzeros * 1e9:8.1f} ns/nz   peak {r['peak'] / 2**20:8.1f} MiB"
                          f"   held {r['held'] / 2**20:8.1f} MiB")
                ours = got["load_mps"]
                ratio = ours["seconds"] / got["read_mps"]["seconds"]
                targets.check(ratio <= 0.6, f"{nonzeros:,} {label}: load_mps {ratio:.2f}x read_mps alone (<= 0.6x)")
                over = (ours["peak"] - ours["held"]) / 2**20
                targets.check(over <= 64, f"{nonzeros:,} {label}: peak {over:.1f} MiB above the model (<= 64 MiB)")
                targets.check(ours["peak"] < got["highspy"]["peak"],
                              f"{nonzeros:,} {label}: peak {ours['peak'] / 2**20:.0f} MiB below highspy's "
                              f"{got['highspy']['peak'] / 2**20:.0f} MiB")
    return targets.exit_status()


if __name__ == "__main__":
    sys.exit(main())
