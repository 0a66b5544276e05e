"""Long file operations stop at Ctrl-C: SIGINT reaches a child process while it reads or writes,
and the call ends with KeyboardInterrupt within a second, leaving the model usable. The second is
the child's own: the time it spends waiting for a core while other tests keep the machine busy
is not counted."""

from __future__ import annotations

import inspect
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from support import INTERRUPT_SECONDS, ROOT, run_queue_wait, sleep_for

# A model of about 8 million non-zeros, built in bulk; its LP and MPS files take seconds to write.
# The child installs Python's own SIGINT handler: a child started from a background job inherits
# SIGINT ignored, and Python then leaves it ignored. It also gets run_queue_wait, to tell how long
# it waited for a core.
HANDLER = ("import signal, time\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
           + inspect.getsource(run_queue_wait))
# Printed first thing when the child catches the interruption: the time it did, on the clock
# the parent reads too, and the time it had waited for a core by then. The exit after it
# (freeing a big model) is not what is measured.
CAUGHT = 'print("caught", time.monotonic(), run_queue_wait(), flush=True)'


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
    once the child has had `wait_after_start` seconds of its own after that (see sleep_for), or
    once the file `wait_for` has some bytes, and returns (the seconds from the signal to the
    moment the child caught the interruption, less those its main thread spent waiting for a
    core meanwhile; its stdout; its stderr)."""
    script = script.replace("{CAUGHT}", CAUGHT)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, cwd=tmp_path)
    try:
        assert child.stdout.readline() == "start\n", child.stderr.read()
        if wait_for is None:
            sleep_for(child.pid, wait_after_start)
        else:
            while not (wait_for.exists() and wait_for.stat().st_size > 0):
                assert child.poll() is None, child.communicate()
                time.sleep(0.01)
        waited = run_queue_wait(child.pid)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
        caught = [line.split()[1:] for line in out.splitlines() if line.startswith("caught ")]
        assert caught, (out, err)
        at, waited_by_then = map(float, caught[0])
        return (at - sent) - (waited_by_then - waited), out, err
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
    assert elapsed < INTERRUPT_SECONDS, elapsed
    written = (tmp_path / "model.out").read_bytes()
    assert len(written) >= 1 << 20 and not written.endswith(b"End\n") and not written.endswith(b"ENDATA\n")


def test_a_write_waiting_for_a_fifo_reader_stops_at_sigint(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    script = interruptible("from zemlo._ondrel import Model, write_lp\nm = Model('m')\n",
                           "write_lp(m, 'pipe', False, 255, 'OBJ', '')")
    elapsed, out, err = run_until_interrupted(script, tmp_path)
    assert out.splitlines()[-1] == "interrupted", (out, err)
    assert elapsed < INTERRUPT_SECONDS, elapsed


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
    assert elapsed < INTERRUPT_SECONDS, elapsed


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


@pytest.mark.parametrize("reader, fifo, setup, path", [
    # /dev/urandom never ends and is no UTF-8: the record reader keeps reading (an error of the
    # operating system would still win), until Ctrl-C. The loader stops at its first bad byte.
    ("read_mps({path!r}, 1)", None, "", "/dev/urandom"),
    ("read_mps({path!r}, 1)", "feed", FEEDER, "feed"),
    ("load_mps({path!r})", "feed", FEEDER, "feed"),
    # Opening a FIFO for reading waits for a writer.
    ("read_mps({path!r}, 1)", "nobody", "", "nobody"),
    ("load_mps({path!r})", "nobody", "", "nobody"),
], ids=["dev-urandom", "endless-fifo", "endless-fifo-loader", "fifo-without-writer", "fifo-without-writer-loader"])
def test_a_read_stops_at_sigint(tmp_path, reader, fifo, setup, path):
    if fifo is not None:
        os.mkfifo(tmp_path / fifo)
    script = interruptible("from zemlo import read_mps, load_mps\n" + setup, reader.format(path=path))
    elapsed, out, err = run_until_interrupted(script, tmp_path)
    assert out.splitlines()[-1] == "interrupted", (out, err)
    assert elapsed < INTERRUPT_SECONDS, elapsed


# Every operation of the four classes, called from a signal handler while a write of the same
# model holds its lock (the write waits in open() for a reader of a FIFO, so it holds the lock
# for as long as the test needs). Each operation that reaches the store must raise the in-use
# RuntimeError at once; the ones that never touch the store (they read the handle or the
# expression alone) must simply work. The child reports each call's outcome and time; a call
# that waited on the lock would hang the child, which the timeout turns into a failure.
IN_USE = "The model is in use by an operation that is still running on this thread"

REACHES_STORE = {
    "Model.num_variables": "m.num_variables",
    "Model.num_constraints": "m.num_constraints",
    "Model.add_variable": "m.add_variable('z', 0.0, 1.0, Category.Continuous)",
    "Model.add_variables_batch": "m.add_variables_batch(['z'], 0.0, 1.0, Category.Continuous)",
    "Model.add_variables_arrays": "m.add_variables_arrays(['z'], array('d', [0.0]), array('d', [1.0]), bytes(1))",
    "Model.set_variable_values": "m.set_variable_values([(0, 1.0)])",
    "Model.set_variable_djs": "m.set_variable_djs([(0, 1.0)])",
    "Model.set_constraint_pis": "m.set_constraint_pis([(0, 1.0)])",
    "Model.set_constraint_slacks": "m.set_constraint_slacks([(0, 1.0)])",
    "Model.set_variable_values_by_name": "m.set_variable_values_by_name({'x': 1.0})",
    "Model.set_variable_djs_by_name": "m.set_variable_djs_by_name({'x': 1.0})",
    "Model.set_constraint_pis_by_name": "m.set_constraint_pis_by_name({'r': 1.0})",
    "Model.set_constraint_slacks_by_name": "m.set_constraint_slacks_by_name({'r': 1.0})",
    "Model.round_solution": "m.round_solution()",
    "Model.is_mip": "m.is_mip()",
    "Model.list_variables": "m.list_variables()",
    "Model.list_constraints": "m.list_constraints()",
    "Model.used_variable_ids": "m.used_variable_ids()",
    "Model.list_variables_by_ids": "m.list_variables_by_ids([0])",
    "Model.get_constraint_by_name": "m.get_constraint_by_name('r')",
    "Model.get_objective": "m.get_objective()",
    "Model.sos_export": "m.sos_export()",
    "Model.variables_dict": "m.variables_dict()",
    "Model.constraints_dict": "m.constraints_dict()",
    "Model.coefficients": "m.coefficients()",
    "Model.summary": "m.summary()",
    "Model.check_duplicate_vars": "m.check_duplicate_vars()",
    "Model.check_duplicate_constraints": "m.check_duplicate_constraints()",
    "Model.check_length_vars": "m.check_length_vars(255)",
    "Model.copy_model": "m.copy_model()",
    "Model.add_constraint": "m.add_constraint(make_expr([(x, 1.0)], -1.0, Sense.LessEqual))",
    "Model.add_constraints_batch": "m.add_constraints_batch(array('Q', [0, 1]), array('Q', [0]), array('d', [1.0]), bytes(1), array('d', [1.0]))",
    "Model.set_objective": "m.set_objective(make_expr([(x, 1.0)]))",
    "Model.add_mps_result": "m.add_mps_result(read_mps(MPS, 1))",
    "Model.clear_objective": "m.clear_objective()",
    "Model.set_sense": "m.set_sense(ObjSense.Maximize)",
    "Model.get_sense": "m.get_sense()",
    "Model.add_column": "m.add_column('z', 0.0, 1.0, Category.Continuous, 1.0, [(0, 1.0)])",
    "Model.remove_variables": "m.remove_variables([0])",
    "Model.add_sos_group": "m.add_sos_group(SosKind.Sos1, 'g', [(x, 1.0)])",
    "Model.clear_sos": "m.clear_sos()",
    "Variable.name": "x.name",
    "Variable.lb": "x.lb",
    "Variable.ub": "x.ub",
    "Variable.category": "x.category",
    "Variable.value": "x.value",
    "Variable.dj": "x.dj",
    "Variable.set_value": "x.set_value(1.0)",
    "Variable.set_lb": "x.set_lb(0.0)",
    "Variable.set_ub": "x.set_ub(1.0)",
    "Variable.set_dj": "x.set_dj(0.0)",
    "Variable.set_category": "x.set_category(Category.Integer)",
    "Variable.set_name": "x.set_name('x2')",
    "Variable.is_binary": "x.is_binary()",
    "Variable.is_integer": "x.is_integer()",
    "Variable.is_free": "x.is_free()",
    "Variable.is_constant": "x.is_constant()",
    "Variable.is_positive": "x.is_positive()",
    "Variable.as_cplex_lp_variable": "x.as_cplex_lp_variable()",
    "Variable.valid": "x.valid()",
    "Variable.infeasibility_gap": "x.infeasibility_gap()",
    "Variable.round_value": "x.round_value()",
    "Variable.value_or_default": "x.value_or_default()",
    "Variable.rounded_value": "x.rounded_value()",
    "Constraint.name": "c.name",
    "Constraint.pi": "c.pi",
    "Constraint.slack": "c.slack",
    "Constraint.sense": "c.sense",
    "Constraint.rhs": "c.rhs",
    "Constraint.set_name": "c.set_name('r2')",
    "Constraint.set_pi": "c.set_pi(1.0)",
    "Constraint.set_slack": "c.set_slack(1.0)",
    "Constraint.set_rhs": "c.set_rhs(2.0)",
    "Constraint.set_sense": "c.set_sense(Sense.Equal)",
    "Constraint.set_coefficient": "c.set_coefficient(x, 2.0)",
    "Constraint.set_expr": "c.set_expr(make_expr([(x, 1.0)], 0.0, Sense.Equal))",
    "Constraint.items": "c.items()",
    "Constraint.value": "c.value()",
    "Constraint.value_or_default": "c.value_or_default()",
    "Constraint.valid": "c.valid()",
    "Constraint.as_cplex_lp_constraint": "c.as_cplex_lp_constraint('r')",
    "Constraint.as_cplex_lp_affine_expression": "c.as_cplex_lp_affine_expression('r')",
    "Constraint.str_repr": "c.str_repr()",
    "Constraint.repr_str": "c.repr_str()",
    "AffineExpr.add_term_ids_coeffs": "e.add_term_ids_coeffs(m, array('Q', [0]), array('d', [1.0]))",
    "AffineExpr.value": "e.value()",
    "AffineExpr.value_or_default": "e.value_or_default()",
    "AffineExpr.var_name_coeffs": "e.var_name_coeffs()",
    "AffineExpr.str_expr": "e.str_expr()",
    "AffineExpr.str_with_sense": "e.str_with_sense()",
    "AffineExpr.repr_expr": "e.repr_expr()",
    "AffineExpr.as_cplex_variables_only": "e.as_cplex_variables_only('obj')",
    "AffineExpr.as_cplex_lp_affine_expression": "e.as_cplex_lp_affine_expression('obj')",
    "AffineExpr.as_cplex_lp_constraint": "make_expr([(x, 1.0)], 0.0, Sense.LessEqual).as_cplex_lp_constraint('r')",
    "AffineExpr.__str__": "str(e)",
    "write_lp": "write_lp(m, 'other.lp', False, 255, 'OBJ', '')",
    "write_mps": "write_mps(m, 'other.mps', 1, False, False, False, 'M', 'OBJ')",
}

# Operations that read the handle or the expression alone (or only resolve the model's weak
# reference, which takes no lock): they work in the handler as anywhere else.
LEAVES_STORE = {
    "Model.get_variable": "m.get_variable(0)",
    "AffineExpr.terms_with_variables": "e.terms_with_variables(m)",
    "Variable.id": "x.id()",
    "Variable.model_identity": "x.model_identity()",
    "Variable.containing_model": "x.containing_model()",
    "Constraint.id": "c.id()",
    "AffineExpr.constant": "e.constant",
    "AffineExpr.sense": "e.sense",
    "AffineExpr.name": "e.name",
    "AffineExpr.add_term": "e.add_term(x, 1.0)",
    "AffineExpr.add_expr": "e.add_expr(make_expr([(x, 1.0)]), 1.0)",
    "AffineExpr.scale": "e.scale(2.0)",
    "AffineExpr.set_constant": "e.set_constant(1.0)",
    "AffineExpr.set_sense": "e.set_sense(Sense.LessEqual)",
    "AffineExpr.clear_sense": "e.clear_sense()",
    "AffineExpr.set_name": "e.set_name('n')",
    "AffineExpr.clear_name": "e.clear_name()",
    "AffineExpr.combine_sense": "e.combine_sense(Sense.Equal, 1.0)",
    "AffineExpr.from_variable": "AffineExpr.from_variable(x)",
    "AffineExpr.from_constant": "AffineExpr.from_constant(1.0)",
    "AffineExpr.clone_expr": "e.clone_expr()",
    "AffineExpr.num_terms": "e.num_terms()",
    "AffineExpr.get_coeff": "e.get_coeff(x)",
    "AffineExpr.items": "e.items()",
    "AffineExpr.keys": "e.keys()",
    "AffineExpr.values": "e.values()",
}

HANDLER_CHILD = HANDLER + """
import json, os, signal, sys, time
from array import array
from support import make_expr
from zemlo._ondrel import (AffineExpr, Category, Model, ObjSense, Sense, SosKind, read_mps, write_lp,
                           write_mps)
MPS = "tiny.mps"
with open(MPS, "w") as f:
    f.write("NAME t\\nROWS\\n N obj\\n L r\\nCOLUMNS\\n    y  r  1.0  obj  1.0\\nRHS\\n    RHS  r  1.0\\nENDATA\\n")
m = Model("m")
x = m.add_variable("x", 0.0, 4.0, Category.Continuous)
c = m.add_constraint(make_expr([(x, 1.0)], -1.0, Sense.LessEqual, "r"))
m.set_objective(make_expr([(x, 1.0)]))
e = make_expr([(x, 3.0)])
TABLE = json.loads(sys.argv[1])
done = []

class Enough(Exception):
    pass

def handler(signum, frame):
    for key, call in TABLE.items():
        print("calling", key, flush=True)
        started, waited = time.monotonic(), run_queue_wait()
        try:
            eval(call)
            outcome = ["ok", ""]
        except Exception as exc:
            outcome = [type(exc).__name__, str(exc)]
        done.append([key, *outcome, time.monotonic() - started - (run_queue_wait() - waited)])
    raise Enough

os.mkfifo("pipe")
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    WRITE
except Enough:
    pass
print(json.dumps(done))
"""


def public_operations(cls):
    return {f"{cls.__name__}.{n}" for n in dir(cls) if not n.startswith("_")}


def test_the_table_names_every_operation():
    from zemlo._ondrel import AffineExpr, Constraint, Model, Variable
    named = set(REACHES_STORE) | set(LEAVES_STORE)
    for cls in (Model, Variable, Constraint, AffineExpr):
        assert public_operations(cls) <= named, sorted(public_operations(cls) - named)


@pytest.mark.parametrize("write", [
    "write_lp(m, 'pipe', False, 255, 'OBJ', '')",
    "write_mps(m, 'pipe', 1, False, False, False, 'M', 'OBJ')",
], ids=["write_lp", "write_mps"])
def test_every_operation_from_a_signal_handler_during_a_write(write, tmp_path):
    import json
    table = {**REACHES_STORE, **LEAVES_STORE}
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT / "tests"), os.environ.get("PYTHONPATH", "")])}
    child = subprocess.run([sys.executable, "-c", HANDLER_CHILD.replace("WRITE", write), json.dumps(table)],
                           capture_output=True, text=True, cwd=tmp_path, env=env, timeout=60)
    assert child.returncode == 0, (child.stdout[-2000:], child.stderr[-2000:])
    rows = {key: (kind, message, seconds) for key, kind, message, seconds in json.loads(child.stdout.splitlines()[-1])}
    assert set(rows) == set(table)
    for key in REACHES_STORE:
        kind, message, seconds = rows[key]
        assert (kind, message.split(" (")[0]) == ("RuntimeError", IN_USE), (key, kind, message)
        assert seconds < INTERRUPT_SECONDS, (key, seconds)
    for key in LEAVES_STORE:
        assert rows[key][0] == "ok", (key, rows[key])
