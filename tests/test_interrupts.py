"""Long file operations stop at Ctrl-C: SIGINT reaches a child process while it reads or writes,
and the call ends with KeyboardInterrupt within a second, leaving the model usable."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# A model of about 8 million non-zeros, built in bulk; its LP and MPS files take seconds to write.
# The child installs Python's own SIGINT handler: a child started from a background job inherits
# SIGINT ignored, and Python then leaves it ignored.
HANDLER = "import signal, time\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
# Printed first thing when the child catches the interruption: the time it did, on the clock
# the parent reads too. The exit after it (freeing a big model) is not what is measured.
CAUGHT = 'print("caught", time.monotonic(), flush=True)'


BUILD = HANDLER + """
import numpy as np
from zemlo._ondrel import AffineExpr, Category, Model, write_lp, write_mps
rng = np.random.default_rng(1)
n_vars, n_rows = 1_000_000, 1_500_000
lengths = rng.integers(1, 10, size=n_rows)
starts = np.zeros(n_rows + 1, dtype=np.uint64)
np.cumsum(lengths, out=starts[1:])
m = Model("big")
m.add_variables_arrays([f"x{i}" for i in range(n_vars)], np.zeros(n_vars), np.full(n_vars, 5.0), bytes(n_vars))
m.add_constraints_batch(starts, rng.integers(0, n_vars, size=int(starts[-1]), dtype=np.uint64),
                        rng.uniform(-9, 9, size=int(starts[-1])), bytes(n_rows), rng.uniform(0, 9, size=n_rows))
objective = AffineExpr()
objective.add_term_ids_coeffs(m, np.arange(n_vars, dtype=np.uint64), np.ones(n_vars))
m.set_objective(objective)
"""

CALLS = {
    "write_lp": "write_lp(m, PATH, False, 255, 'OBJ', '__dummy')",
    "write_mps": "write_mps(m, PATH, 1, False, False, False, 'big', 'OBJ')",
}


def run_until_interrupted(script, tmp_path, wait_after_start=0.3, wait_for=None):
    """Runs `script` in a child that prints "start" right before the long call, sends SIGINT
    `wait_after_start` seconds later (or once the file `wait_for` has some bytes), and returns (seconds from the signal to the moment the
    child caught the interruption, its stdout, its stderr)."""
    script = script.replace("{CAUGHT}", CAUGHT)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, cwd=tmp_path)
    try:
        assert child.stdout.readline() == "start\n", child.stderr.read()
        if wait_for is None:
            time.sleep(wait_after_start)
        else:
            while not (wait_for.exists() and wait_for.stat().st_size > 0):
                assert child.poll() is None, child.communicate()
                time.sleep(0.01)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
        caught = [float(line.split()[1]) for line in out.splitlines() if line.startswith("caught ")]
        assert caught, (out, err)
        return caught[0] - sent, out, err
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


@pytest.mark.parametrize("call", sorted(CALLS))
def test_a_large_write_stops_at_sigint(call, tmp_path):
    script = BUILD + textwrap.dedent(f"""
        import time
        PATH = "model.out"
        print("start", flush=True)
        t0 = time.monotonic()
        try:
            {CALLS[call]}
            print("finished", time.monotonic() - t0)
        except KeyboardInterrupt:
            {CAUGHT}
            print("interrupted", m.num_constraints)
        """)
    # The signal comes once the file is being written; its first blocks stay, as after any
    # failed write, and the file is not complete.
    elapsed, out, err = run_until_interrupted(script, tmp_path, wait_for=tmp_path / "model.out")
    assert out.splitlines()[-1] == "interrupted 1500000", (out, err)
    assert elapsed < 1.0
    written = (tmp_path / "model.out").read_bytes()
    assert len(written) >= 1 << 20 and not written.endswith(b"End\n") and not written.endswith(b"ENDATA\n")


def test_a_write_waiting_for_a_fifo_reader_stops_at_sigint(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    script = interruptible("from zemlo._ondrel import Model, write_lp\nm = Model('m')\n",
                           "write_lp(m, 'pipe', False, 255, 'OBJ', '')")
    elapsed, out, err = run_until_interrupted(script, tmp_path)
    assert out.splitlines()[-1] == "interrupted", (out, err)
    assert elapsed < 1.0


def test_a_signal_handler_cannot_deadlock_on_the_model_being_written(tmp_path):
    """A handler that uses the model being written gets a RuntimeError instead of waiting on the
    lock its own thread holds; the write then stops with that error."""
    script = BUILD + textwrap.dedent("""
        import signal
        seen = []
        def handler(signum, frame):
            try:
                m.num_variables
            except RuntimeError as e:
                seen.append(str(e))
                raise
        signal.signal(signal.SIGINT, handler)
        print("start", flush=True)
        try:
            write_lp(m, "model.lp", False, 255, "OBJ", "")
        except RuntimeError as e:
            {CAUGHT}
            print("stopped:", e)
        print("after:", m.num_variables)
        """)
    elapsed, out, err = run_until_interrupted(script, tmp_path)
    lines = out.splitlines()
    assert lines[-2].startswith("stopped: The model is in use by an operation"), (out, err)
    assert lines[-1] == "after: 1000000"
    assert elapsed < 1.0


def interruptible(setup, call):
    """A child script: `setup`, then "start" and `call`, which SIGINT must stop."""
    return HANDLER + setup + textwrap.dedent(f"""
        print("start", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            {CAUGHT}
            print("interrupted")
        """)


# A FIFO fed with valid MPS lines by a thread of the child. The reader holds the interpreter,
# so the feeder stalls once the pipe is full and the read waits in the kernel: the signal
# interrupts that wait (the /dev/urandom case covers the checks between blocks read).
FEEDER = """
import threading

def feed():
    with open("feed", "w") as f:
        f.write("NAME endless\\nROWS\\n N obj\\n L r\\nCOLUMNS\\n")
        while True:
            f.write("    x         r         1.0   obj       2.0\\n" * 1000)

threading.Thread(target=feed, daemon=True).start()
"""


@pytest.mark.parametrize("fifo, setup, path", [
    # /dev/urandom never ends and is no UTF-8: the reader keeps reading (an error of the
    # operating system would still win), until Ctrl-C.
    (None, "", "/dev/urandom"),
    ("feed", FEEDER, "feed"),
    # Opening a FIFO for reading waits for a writer.
    ("nobody", "", "nobody"),
], ids=["dev-urandom", "endless-fifo", "fifo-without-writer"])
def test_a_read_stops_at_sigint(tmp_path, fifo, setup, path):
    if fifo is not None:
        os.mkfifo(tmp_path / fifo)
    script = interruptible("from zemlo._ondrel import read_mps\n" + setup, f"read_mps({path!r}, 1)")
    elapsed, out, err = run_until_interrupted(script, tmp_path)
    assert out.splitlines()[-1] == "interrupted", (out, err)
    assert elapsed < 1.0
