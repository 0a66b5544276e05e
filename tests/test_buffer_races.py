"""Buffer arguments changed by someone else while a call reads them.

A buffer may be written during a call by a thread that runs without the interpreter lock (a
NumPy copy into the same array) or by another process (shared memory). Every call that takes
buffers must then still either store a model made only of values it checked, or fail with its
ValueError and store nothing; it must never write past what it sized or store an unchecked
value. Each case runs in a child process, so a crash (or an AddressSanitizer report under
`make sanitize`, whose environment the child inherits) fails the test instead of ending pytest.
"""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("numpy")

# How long each child keeps calling while the buffer is being rewritten.
SECONDS = 1.0

# The child: `CASE` names the method and the buffer that changes; `good` and `bad` are the two
# contents the mutator copies in turn. Each call gets a fresh model, which is checked whole after
# a successful call. The mutator is a thread (np.copyto releases the interpreter lock for large
# arrays) or a second process writing the same memory-mapped file.
CHILD = textwrap.dedent(r"""
    import json, math, subprocess, sys, threading, time
    import numpy as np
    from zemlo._ondrel import AffineExpr, Category, Model, Sense

    CASE, MUTATOR, PATH, SECONDS = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
    N = 50_000        # rows, or variables
    VARS = 2 * N

    def arrays():
        good = {
            "starts": np.arange(N + 1, dtype=np.uint64),
            "ids": (np.arange(N, dtype=np.uint64) * 2) % VARS,
            "coeffs": np.ones(N),
            "senses": np.ones(N, dtype=np.uint8),
            "rhs": np.ones(N),
            "categories": np.ones(N, dtype=np.uint8),
            "term_ids": np.arange(N, dtype=np.uint64),
            "term_coeffs": np.ones(N),
        }
        # What the changing buffer holds in between: offsets that are valid on their own but put
        # every term into the first rows, ids beyond the model, NaN, codes beyond the enumeration,
        # an infinite right-hand side.
        bad_starts = np.full(N + 1, N, dtype=np.uint64)
        bad_starts[0] = 0
        bad = {
            "starts": bad_starts,
            "ids": np.full(N, 1 << 62, dtype=np.uint64),
            "coeffs": np.full(N, math.nan),
            "senses": np.full(N, 200, dtype=np.uint8),
            "rhs": np.full(N, math.inf),
            "categories": np.full(N, 200, dtype=np.uint8),
            "term_ids": np.full(N, 1 << 62, dtype=np.uint64),
            "term_coeffs": np.full(N, math.nan),
        }
        return good, bad

    # The other process maps the same file and writes the bad and the good contents in turn.
    MUTATE = (
        "import os, sys, numpy as np\n"
        "a = np.memmap(sys.argv[1], dtype=sys.argv[2], mode='r+', shape=(int(sys.argv[3]),))\n"
        "good, bad = np.array(a), np.load(sys.argv[4])\n"
        "parent = os.getppid()\n"
        "print('ready', flush=True)\n"
        "while os.getppid() == parent:  # ends with the process it races against\n"
        "    a[:] = bad\n"
        "    a[:] = good\n"
    )

    good, bad = arrays()
    shared = np.memmap(PATH, dtype=good[CASE].dtype, mode="w+", shape=good[CASE].shape)
    shared[:] = good[CASE]
    shared.flush()
    args = dict(good)
    args[CASE] = shared

    if MUTATOR == "thread":
        sys.setswitchinterval(1e-6)
        stop = threading.Event()
        def flip():
            while not stop.is_set():
                np.copyto(shared, bad[CASE])
                np.copyto(shared, good[CASE])
        mutator = threading.Thread(target=flip, daemon=True)
        mutator.start()
    else:
        np.save(PATH + ".bad.npy", bad[CASE])
        mutator = subprocess.Popen([sys.executable, "-c", MUTATE, PATH, str(shared.dtype), str(N if CASE != "starts" else N + 1),
                                    PATH + ".bad.npy"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert mutator.stdout.readline() == "ready\n"

    def check_rows(m, terms):
        assert m.num_constraints == N
        used = m.used_variable_ids()
        assert used and max(used) < m.num_variables, "an id beyond the model was stored"
        coefficients = m.coefficients()
        assert len(coefficients) == terms, (len(coefficients), terms)
        assert all(math.isfinite(c) for _, _, c in coefficients), "a non-finite coefficient was stored"
        for c in m.list_constraints():
            assert c.sense is Sense.Equal and c.rhs == 1.0, (c.sense, c.rhs)

    def call():
        m = Model("race")
        if CASE == "categories":
            ids = m.add_variables_arrays([f"x{i}" for i in range(N)], np.zeros(N), np.ones(N), args["categories"])
            assert len(ids) == N
            assert all(v.category is Category.Integer for v in m.list_variables())
            return
        m.add_variables_batch([f"x{i}" for i in range(VARS)], 0.0, 1.0, Category.Continuous)
        if CASE.startswith("term_"):
            e = AffineExpr()
            try:
                e.add_term_ids_coeffs(m, args["term_ids"], args["term_coeffs"])
            finally:
                # The pairs before a refused one stay; each must be one that was checked.
                assert all(v.id() < VARS for v in e.keys()), "an id beyond the model was kept"
                assert all(math.isfinite(c) for c in e.values()), "a non-finite coefficient was kept"
            assert e.num_terms() == N
            return
        m.add_constraints_batch(args["starts"], args["ids"], args["coeffs"], args["senses"], args["rhs"])
        check_rows(m, N)

    outcomes = {}
    deadline = time.monotonic() + SECONDS
    calls = 0
    try:
        while time.monotonic() < deadline or calls < 3:
            calls += 1
            try:
                call()
                outcomes["ok"] = outcomes.get("ok", 0) + 1
            except ValueError as e:
                # Only the checks' own messages are expected; the failed call's model is dropped.
                text = str(e)
                key = text.split(":")[0] if text.startswith("Row ") else text
                outcomes[key] = outcomes.get(key, 0) + 1
    finally:
        if MUTATOR == "thread":
            stop.set()
            mutator.join()
        else:
            mutator.kill()
            mutator.wait()
    print(json.dumps(outcomes))
""")

# (case, messages a call may fail with while the buffer changes)
CASES = {
    "starts": ("starts must not decrease", "starts[", "Row "),
    "ids": ("Row ",),
    "coeffs": ("Row ",),
    "senses": ("Row ",),
    "rhs": ("Row ",),
    "categories": ("Variable ",),
    "term_ids": ("variable id ",),
    "term_coeffs": ("non-finite coefficient in coeffs buffer",),
}


@pytest.mark.parametrize("mutator", ["thread", "process"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_a_buffer_changed_during_the_call_never_stores_unchecked_data(case, mutator, tmp_path):
    child = subprocess.run([sys.executable, "-c", CHILD, case, mutator, str(tmp_path / "shared"), str(SECONDS)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, (child.returncode, child.stdout[-2000:], child.stderr[-4000:])
    outcomes = json.loads(child.stdout.splitlines()[-1])
    assert sum(outcomes.values()) >= 3
    for message in outcomes:
        assert message == "ok" or message.startswith(CASES[case]), outcomes
