"""Ctrl-C while HiGHS solves: the run stops within a second, what HiGHS had is reported with
the status "interrupted" (by zemlo.solve, and by the command, which then exits 130), and
nothing is left behind. The second is the child's own: the time it spends waiting for a core
while other tests keep the machine busy is not counted."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from support import INTERRUPT_SECONDS, netlib_model, require_solver, run_queue_wait, sleep_for

# dfl001 takes HiGHS several seconds; the signal comes well before the end.
SLOW_LP = "dfl001"
# The child installs Python's own SIGINT handler: a child started from a background job inherits
# SIGINT ignored, and Python then leaves it ignored.
HANDLER = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"

API = HANDLER + """
import sys, time, zemlo
model = zemlo.load_mps(sys.argv[1])
print("start", flush=True)
started = time.perf_counter()
result = zemlo.solve(model, "highs", time_limit=120)
print(result.status, result.solver_status, result.has_solution, flush=True)
"""

CLI = HANDLER + """
import sys
from zemlo.cli import main
sys.exit(main(sys.argv[1:]))
"""


def knapsack(path: Path) -> None:
    """A random 0-1 knapsack of 300 items under 30 weight limits: HiGHS searches it for longer
    than the test waits, finding solutions on the way."""
    import numpy as np
    from zemlo import AffineExpr, Category, Model, ObjSense, Sense, write_mps

    rng = np.random.default_rng(7)
    n, m = 300, 30
    model = Model("knap")
    xs = model.add_variables_batch([f"x{i}" for i in range(n)], 0.0, 1.0, Category.Binary)
    weights = rng.integers(10, 100, size=(m, n))
    objective = AffineExpr()
    for x, value in zip(xs, rng.integers(10, 100, size=n)):
        objective.add_term(x, float(value))
    model.set_objective(objective)
    model.set_sense(ObjSense.Maximize)
    for i in range(m):
        row = AffineExpr()
        for x, w in zip(xs, weights[i]):
            row.add_term(x, float(w))
        row.set_constant(-float(weights[i].sum()) / 2)
        row.set_sense(Sense.LessEqual)
        row.set_name(f"r{i}")
        model.add_constraint(row)
    write_mps(model, str(path), -1, True, False, False, "knap", "OBJ")


def exit_of(child: subprocess.Popen) -> tuple[float, float, str, str]:
    """Reads the child's output to the end and waits for its exit; returns (the moment it
    exited, the seconds its main thread had waited for a core by then, its standard output and
    standard error). It is killed after a minute."""
    output = {}
    readers = [threading.Thread(target=lambda s=s: output.setdefault(s, getattr(child, s).read()))
               for s in ("stdout", "stderr")]
    for reader in readers:
        reader.start()
    watchdog = threading.Timer(60, child.kill)
    watchdog.start()
    try:
        # Exited but not yet reaped: its statistics are still there to read.
        os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)
        exited, waited = time.monotonic(), run_queue_wait(child.pid)
    finally:
        watchdog.cancel()
    child.wait()
    for reader in readers:
        reader.join()
    return exited, waited, output["stdout"], output["stderr"]


def interrupted(args: list[str], tmp_path: Path, ready: str, stream: str) -> tuple[float, int, str, str]:
    """Runs `python -c ARGS` with TMPDIR an empty folder, waits for the line `ready` on
    `stream` and for half a second of the child's own time more (see sleep_for), sends SIGINT; returns the seconds from the signal to the
    child's exit (less those its main thread spent waiting for a core meanwhile), its exit
    status, standard output and standard error."""
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    child = subprocess.Popen([sys.executable, "-c", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, cwd=tmp_path, env={**os.environ, "TMPDIR": str(temporary)})
    try:
        first = getattr(child, stream).readline()
        assert first.startswith(ready), (first, child.stderr.read())
        sleep_for(child.pid, 0.5)
        waited = run_queue_wait(child.pid)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        exited, waited_by_then, out, err = exit_of(child)
        elapsed = (exited - sent) - (waited_by_then - waited)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert list(temporary.iterdir()) == []  # no temporary folder or file left
    return elapsed, child.returncode, first + out if stream == "stdout" else out, err


def test_solve_returns_what_highs_had_when_interrupted(tmp_path):
    require_solver("highs")
    elapsed, status, out, err = interrupted([API, str(netlib_model(SLOW_LP))], tmp_path, "start", "stdout")
    assert (status, err) == (0, "")
    assert out.splitlines()[-1] == "interrupted Interrupted by user False"
    assert elapsed < INTERRUPT_SECONDS, elapsed


@pytest.mark.parametrize("model", ["lp", "mip"])
def test_the_command_prints_the_interrupted_solve_and_exits_130(tmp_path, model):
    require_solver("highs")
    if model == "lp":
        source = netlib_model(SLOW_LP)
    else:
        source = tmp_path / "knap.mps"
        knapsack(source)
    args = [CLI, "solve", str(source), "--solution", "out.csv", "--time-limit", "120"]
    elapsed, status, out, err = interrupted(args, tmp_path, "zemlo: solving", "stderr")
    assert status == 130
    assert err.splitlines()[-2:] == ["zemlo: wrote out.csv", "zemlo: interrupted"]
    assert "solver      highs (Interrupted by user)" in out and "\nstatus      interrupted\n" in out
    if model == "lp":
        assert "solution    none\n" in out
    else:  # the best solution found so far, checked
        assert "\ncheck       passed at tolerance 1e-06" in out
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["out.csv", "tmp"] + (["knap.mps"] if model == "mip" else []))
    assert elapsed < INTERRUPT_SECONDS, elapsed
