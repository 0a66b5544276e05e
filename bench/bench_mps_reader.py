"""Benchmark of read_mps against reading the same bytes and splitting them with bytes.split.

Run with `python bench/bench_mps_reader.py` (zemlo installed). It writes a generated MPS file of
2,000,000 non-zeros (about 100 MB, in the layout of the MPS writer) to a temporary directory,
decompresses the largest netlib models beside it, and for each file prints:

- the time of read_mps (all Python records included) and of the baseline (file read into
  memory plus bytes.split into tokens), best of a few runs in this process, and their ratio;
- throughput in MB/s and nanoseconds per non-zero;
- for the generated file, the peak memory of read_mps measured in a child process: the peak
  resident set (VmHWM) after the call minus the one before it, against the file size (native
  memory included; Linux only).

Targets, for the generated file: read_mps faster than the baseline, peak memory below 3x the
file size.
"""

from __future__ import annotations

import gc
import gzip
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from zemlo import _ondrel

NETLIB = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "netlib"
LARGEST_NETLIB = ["maros-r7", "fit2d", "pilot87", "dfl001", "d2q06c"]
ROWS = 100_000
COLUMNS = 200_000
PER_COLUMN = 10  # 2,000,000 non-zeros
REPEATS = 3


def mps_number(v: float) -> str:
    text = f"{v:.12e}"
    mantissa, exponent = text.split("e")
    text = f"{mantissa}e{int(exponent)}"
    return text if v < 0 else " " + text


def generate(path: Path) -> int:
    """Writes the generated model; returns its number of non-zeros."""
    rng = random.Random(12345)
    rows = [f"con_{i:07d}" for i in range(ROWS)]
    out = ["*SENSE:Minimize", "NAME          generated", "ROWS", " N  OBJ"]
    out += [f" {'LGE'[i % 3]}  {r}" for i, r in enumerate(rows)]
    out.append("COLUMNS")
    nnz = 0
    for j in range(COLUMNS):
        name = f"var_{j:07d}"
        integer = j % 5 == 0
        if integer:
            out.append("    MARK      'MARKER'                 'INTORG'")
        picked = sorted(rng.sample(range(ROWS), PER_COLUMN - 1))
        for i in picked:
            out.append(f"    {name:<8}  {rows[i]:<8}  {mps_number(rng.uniform(-1000, 1000))}")
        out.append(f"    {name:<8}  {'OBJ':<8}  {mps_number(rng.uniform(-10, 10))}")
        nnz += PER_COLUMN
        if integer:
            out.append("    MARK      'MARKER'                 'INTEND'")
    out.append("RHS")
    out += [f"    RHS       {r:<8}  {mps_number(rng.uniform(-100, 100))}" for r in rows]
    out.append("BOUNDS")
    for j in range(0, COLUMNS, 3):
        out.append(f" UP BND       var_{j:07d}  {mps_number(float(j % 97 + 1))}")
    out.append("ENDATA")
    path.write_text("\n".join(out) + "\n")
    return nnz


def count_nonzeros(result) -> int:
    return len(result.objective.coefficients) + sum(len(c.coefficients) for c in result.constraints)


def best_time(fn) -> tuple[float, float]:
    """Best wall-clock and best CPU time of a few runs, in seconds."""
    best_wall = best_cpu = float("inf")
    for _ in range(REPEATS):
        gc.collect()
        wall, cpu = time.perf_counter(), time.process_time()
        value = fn()
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        del value
        best_wall, best_cpu = min(best_wall, wall), min(best_cpu, cpu)
    return best_wall, best_cpu


def read_with_zemlo(path: Path):
    return _ondrel.read_mps(str(path), 1)


def read_with_split(path: Path):
    with open(path, "rb") as f:
        data = f.read()
    return data.split()


CHILD = r"""
import sys
mode, path = sys.argv[1], sys.argv[2]
from zemlo import _ondrel

def high_water():
    # Peak resident set of this process image, in bytes (VmHWM is reset by exec, unlike
    # ru_maxrss, which a child inherits from the parent that started it).
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")

before = high_water()
if mode == "zemlo":
    result = _ondrel.read_mps(path, 1)
else:
    with open(path, "rb") as f:
        data = f.read()
    result = data.split()
print(high_water() - before)
"""


def peak_memory(mode: str, path: Path) -> int:
    """Peak growth of the resident set (bytes) while reading, measured in a fresh process:
    the high-water mark after the call minus the one before it (native memory included)."""
    out = subprocess.run([sys.executable, "-c", CHILD, mode, str(path)], check=True,
                         capture_output=True, text=True)
    return int(out.stdout.strip())


def report(label: str, path: Path) -> tuple[float, float]:
    """Prints one line for a file; returns the wall and CPU time ratios."""
    size = path.stat().st_size
    nnz = count_nonzeros(read_with_zemlo(path))
    wall, cpu = best_time(lambda: read_with_zemlo(path))
    base_wall, base_cpu = best_time(lambda: read_with_split(path))
    print(f"{label:<10} {size / 1e6:6.1f} MB {nnz:>8} nz | read_mps {wall * 1e3:7.1f} ms "
          f"(cpu {cpu * 1e3:7.1f}) {size / 1e6 / wall:6.1f} MB/s {wall * 1e9 / nnz:6.1f} ns/nz | "
          f"bytes.split {base_wall * 1e3:7.1f} ms (cpu {base_cpu * 1e3:7.1f}) | "
          f"ratio {wall / base_wall:4.2f} (cpu {cpu / base_cpu:4.2f})")
    return wall / base_wall, cpu / base_cpu


def main() -> int:
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        tmpdir = Path(tmp)
        generated = tmpdir / "generated.mps"
        start = time.perf_counter()
        nnz = generate(generated)
        size = generated.stat().st_size
        print(f"generated {size / 1e6:.1f} MB, {nnz} non-zeros in {time.perf_counter() - start:.1f} s")
        print(f"times are the best of {REPEATS} runs, wall clock and (cpu) process time; "
              "ratio = read_mps / (read + bytes.split), lower is better")

        wall_ratio, cpu_ratio = report("generated", generated)
        for name in LARGEST_NETLIB:
            source = NETLIB / f"{name}.mps.gz"
            if not source.exists():
                print(f"{name:<12} skipped: {source} not found")
                continue
            target = tmpdir / f"{name}.mps"
            target.write_bytes(gzip.decompress(source.read_bytes()))
            report(name, target)

        peak = peak_memory("zemlo", generated)
        peak_split = peak_memory("split", generated)
        print(f"peak memory, generated file: read_mps {peak / 1e6:.1f} MB = {peak / size:.2f}x the file; "
              f"bytes.split baseline {peak_split / 1e6:.1f} MB = {peak_split / size:.2f}x")

        # On a shared machine wall time also measures the neighbours; CPU time of this
        # single-threaded work is the steadier measure, so the verdict uses it.
        speed_ok = cpu_ratio < 1.0
        memory_ok = peak < 3 * size
        print(f"target read_mps faster than baseline: {'met' if speed_ok else 'MISSED'} "
              f"(cpu ratio {cpu_ratio:.2f}, wall ratio {wall_ratio:.2f})")
        print(f"target peak memory below 3x file size: {'met' if memory_ok else 'MISSED'} "
              f"({peak / size:.2f}x)")
        ok = speed_ok and memory_ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
