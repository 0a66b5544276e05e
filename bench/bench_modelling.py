"""Building models the way modellers write them: zemlo's modelling layer against its own raw paths
and against the modelling APIs of highspy, python-mip, Pyomo and linopy, in one run.

Three models, each built from nothing to the whole model in memory (variables, rows, objective;
no solve, no file), through each library's natural path:

  (a) dense      1,000 rows of 100 terms over 10,000 variables, objective over every variable
  (b) transport  a 300 x 300 transportation problem: supply rows (<=), demand rows (>=), costs
  (c) sparse     100,000 rows of 10 terms over 100,000 variables, objective over every variable

Rows hold distinct variables (random columns, fixed seeds), so every library stores the same
number of non-zeros; each contender's model is checked once (rows, columns, non-zeros, objective
terms) before it is timed. The data is the modeller's input and is made beforehand: Python lists
for the operator paths, a SciPy CSR matrix for add_matrix, NumPy arrays for the array paths. The
raw paths make their variables' names in the timed part, with f-strings, as their users must
(the operators make theirs natively); one more raw row is timed with the names given, to show
what the names cost. A build returns its model with the collection of its variables where the
library gives one (a modeller keeps it to read the solution): it is released after the clock
stops, as the model is, and counts in the memory held.

Figures are ns per term (constraint non-zeros plus objective terms), CPU time
(time.process_time), the minimum of interleaved rounds, with the ratio of each contender to the
better of zemlo's two operator rows. Memory held per term is the growth of the resident set of a
fresh process that builds one model with one library, divided by the model's terms, the resident
set read after a collection and malloc_trim on both sides (so that neither memory freed before the
build and reused by it nor temporaries freed during it blur the figure); the peak is the high-water
mark during the build. add_constraints_batch is measured too, as the cost of zemlo's store alone.

Targets (a missed one is printed and makes the exit status 1, after every figure):
  * zemlo operators (the better of sum() and total()) at least 5x faster than highspy's operators
    and than python-mip, on every model;
  * zemlo operators within 3x of zemlo's raw per-row AffineExpr path on the transportation model;
  * add_matrix within 1.5x of add_constraints_batch, the rows alone on a model whose variables
    were made before (the whole builds are printed beside it);
  * memory held per term by zemlo's operators no more than by highspy's operators, every model.

    python bench/bench_modelling.py [--scale S] [--rounds R] [--models dense,transport,sparse]

--scale (or the environment variable ZEMLO_BENCH_SCALE) multiplies the rows and variables of
(a) and (c) and the variables of (b) (its side by the square root); 0.05 makes a run of well
under a minute, the full size one of a few minutes.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
from array import array
from collections.abc import Callable
from dataclasses import dataclass

from timing import Targets, interleaved, interleaved_after
import numpy as np  # after timing, which limits its threads
import zemlo
from zemlo import AffineExpr, Model, ObjSense, Sense, _native

INF = float("inf")

OPS_SUM = "zemlo operators sum()"
OPS_TOTAL = "zemlo operators total()"
MATRIX = "zemlo add_matrix"
RAW = "zemlo raw per-row AffineExpr"
RAW_NAMED = "  (raw, names given)"
BATCH = "zemlo add_constraints_batch"
HIGHSPY = "highspy operators"
MIP = "python-mip xsum"
PYOMO = "pyomo rules + quicksum"
LINOPY = "linopy (vectorised)"


@dataclass
class Data:
    """A model as plain data: rows in compressed form over variables 0 .. n-1 (every row <= for
    the random models; supply rows <= then demand rows >= for the transportation), and a cost
    for every variable."""

    name: str
    n: int
    indptr: np.ndarray
    indices: np.ndarray
    values: np.ndarray
    senses: bytes  # one code a row: 0 <=, 2 >=
    rhs: np.ndarray
    cost: np.ndarray
    side: int = 0  # the transportation's side; its variable (i, j) is i * side + j

    @property
    def rows(self) -> int:
        return len(self.rhs)

    @property
    def nnz(self) -> int:
        return len(self.indices)

    @property
    def terms(self) -> int:
        return self.nnz + len(self.cost)

    def row_lists(self) -> list[tuple[list[int], list[float], float]]:
        """Each row as Python lists (columns, coefficients, right-hand side), as a modeller's own
        data would be."""
        ptr, cols, vals, rhs = self.indptr.tolist(), self.indices.tolist(), self.values.tolist(), self.rhs.tolist()
        return [(cols[ptr[r]:ptr[r + 1]], vals[ptr[r]:ptr[r + 1]], rhs[r]) for r in range(self.rows)]

    def csr(self):
        import scipy.sparse as sp

        return sp.csr_array((self.values, self.indices, self.indptr), shape=(self.rows, self.n))

    def sense_words(self) -> str | list[str]:
        """The senses as add_matrix takes them: one word when every row has it (the random
        models), else one a row (the transportation's two blocks)."""
        words = ["<=" if s == 0 else ">=" for s in self.senses]
        return words[0] if len(set(words)) == 1 else words


def random_rows(name: str, rows: int, per_row: int, n: int, seed: int) -> Data:
    """`rows` rows of `per_row` distinct random columns out of `n`, coefficients in [-10, 10]."""
    rng = np.random.default_rng(seed)
    per_row = min(per_row, n)
    # Sorted draws from 0 .. n - per_row plus 0, 1, 2, ... are distinct; then shuffled in the row.
    picks = np.sort(rng.integers(0, n - per_row + 1, size=(rows, per_row)), axis=1) + np.arange(per_row)
    indices = rng.permuted(picks, axis=1).ravel().astype(np.int64)
    values = np.round(rng.uniform(-10, 10, size=rows * per_row), 4)
    values[values == 0] = 1.0
    indptr = np.arange(rows + 1, dtype=np.int64) * per_row
    rhs = np.round(rng.uniform(10, 100, size=rows), 3)
    cost = np.round(rng.uniform(1, 5, size=n), 3)
    return Data(name, n, indptr, indices, values, bytes(rows), rhs, cost)


def transportation(side: int, seed: int) -> Data:
    """side x side: supply row i sums x[i, j] over j (<= supply), demand row j sums x[i, j] over
    i (>= demand), costs in [1, 20]."""
    rng = np.random.default_rng(seed)
    n = side * side
    grid = np.arange(n, dtype=np.int64).reshape(side, side)
    indices = np.concatenate([grid.ravel(), grid.T.ravel()])
    indptr = np.arange(2 * side + 1, dtype=np.int64) * side
    demand = np.round(rng.uniform(10, 50, size=side), 2)
    supply = np.round(rng.uniform(1.2, 1.5, size=side) * demand.sum() / side, 2)
    cost = np.round(rng.uniform(1, 20, size=n), 3)
    return Data("transport", n, indptr, indices, np.ones(2 * n), bytes(side) + bytes([2]) * side,
                np.concatenate([supply, demand]), cost, side)


def models(scale: float) -> dict[str, Data]:
    def k(v: float) -> int:
        return max(1, round(v * scale))

    return {
        "dense": random_rows("dense", k(1000), 100, max(100, k(10_000)), 1),
        "transport": transportation(max(2, round(300 * scale ** 0.5)), 2),
        "sparse": random_rows("sparse", k(100_000), 10, max(10, k(100_000)), 3),
    }


# --- zemlo: the modelling layer --------------------------------------------------------------


def zemlo_operators(d: Data, use_total: bool) -> Callable[[], object]:
    """DoRaduvar, p.variables, one p.add(... <= rhs) a row, p.minimize; sums by sum() or
    zemlo.total()."""
    add = zemlo.total if use_total else sum
    rows = d.row_lists()

    if d.side:
        s = range(d.side)
        c = d.cost.reshape(d.side, d.side).tolist()
        supply, demand = d.rhs[:d.side].tolist(), d.rhs[d.side:].tolist()

        def build_transport() -> object:
            p = zemlo.DoRaduvar("transport")
            x = p.variables("x", s, s)
            p.minimize(add(c[i][j] * x[i, j] for i in s for j in s))
            for i in s:
                p.add(add(x[i, j] for j in s) <= supply[i])
            for j in s:
                p.add(add(x[i, j] for i in s) >= demand[j])
            return p, x

        return build_transport

    cost = d.cost.tolist()

    def build() -> object:
        p = zemlo.DoRaduvar(d.name)
        x = p.variables("x", range(d.n))
        p.minimize(add(c * x[j] for j, c in enumerate(cost)))
        for cols, coeffs, rhs in rows:
            p.add(add(a * x[j] for j, a in zip(cols, coeffs)) <= rhs)
        return p, x

    return build


def zemlo_matrix(d: Data) -> Callable[[], object]:
    """DoRaduvar, p.variables, one p.add_matrix from the SciPy CSR matrix (made beforehand: it
    is the input; the sense as one word when all rows share it), the objective with zemlo.total
    (the layer has no array path for it)."""
    a = d.csr()
    senses = d.sense_words()
    cost = d.cost.tolist()
    index_sets = (range(d.side), range(d.side)) if d.side else (range(d.n),)

    def build() -> object:
        p = zemlo.DoRaduvar(d.name)
        x = p.variables("x", *index_sets)
        p.minimize(zemlo.total(c * v for c, v in zip(cost, x.values())))
        p.add_matrix(a, x, senses, d.rhs)
        return p, x

    return build


# --- zemlo: the low-level model --------------------------------------------------------------


def zemlo_raw_rows(d: Data, names_given: bool = False) -> Callable[[], object]:
    """Model, add_variables_arrays, then per row AffineExpr + add_term_ids_coeffs + set_sense +
    set_constant(-rhs) + add_constraint; the objective from one id buffer and set_objective. The
    rows' buffers are the input (made beforehand)."""
    rows = [(array("Q", cols), array("d", coeffs), Sense.LessEqual if s == 0 else Sense.GreaterEqual, rhs)
            for (cols, coeffs, rhs), s in zip(d.row_lists(), d.senses)]
    all_ids, costs = array("Q", range(d.n)), array("d", d.cost.tolist())
    lb, ub = array("d", [0.0]) * d.n, array("d", [INF]) * d.n
    given = variable_names(d)

    def build() -> object:
        m = Model(d.name)
        m.set_sense(ObjSense.Minimize)
        m.add_variables_arrays(given if names_given else variable_names(d), lb, ub, bytes(d.n))
        objective = AffineExpr()
        objective.add_term_ids_coeffs(m, all_ids, costs)
        m.set_objective(objective)
        add = m.add_constraint
        for ids, coeffs, sense, rhs in rows:
            e = AffineExpr()
            e.add_term_ids_coeffs(m, ids, coeffs)
            e.set_sense(sense)
            e.set_constant(-rhs)
            add(e)
        return m

    return build


def variable_names(d: Data) -> list[str]:
    """The names the layer gives, made the way a user of the low-level model would."""
    if d.side:
        s = range(d.side)
        return [f"x({i},{j})" for i in s for j in s]
    return [f"x({j})" for j in range(d.n)]


def zemlo_batch(d: Data) -> Callable[[], object]:
    """Model, add_variables_arrays, one add_constraints_batch from the compressed rows, the
    objective from one id buffer."""
    starts, ids = d.indptr.astype(np.uint64), d.indices.astype(np.uint64)
    all_ids = np.arange(d.n, dtype=np.uint64)
    lb, ub = np.zeros(d.n), np.full(d.n, INF)

    def build() -> object:
        m = Model(d.name)
        m.set_sense(ObjSense.Minimize)
        m.add_variables_arrays(variable_names(d), lb, ub, bytes(d.n))
        objective = AffineExpr()
        objective.add_term_ids_coeffs(m, all_ids, d.cost)
        m.set_objective(objective)
        m.add_constraints_batch(starts, ids, d.values, d.senses, d.rhs)
        return m

    return build


# --- peers -----------------------------------------------------------------------------------


def quiet_highspy() -> None:
    """HiGHS prints its banner once a process, from C++, at its first instance: make that
    instance here with the standard output sent to /dev/null."""
    import highspy

    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 1)
            highspy.Highs()
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def highspy_operators(d: Data) -> Callable[[], object]:
    """highspy's own modelling API, its documented fast idiom: h.addVariables over the index
    sets (a dict of highs_var, no names), h.qsum over a generator (its "faster sum"),
    h.addConstr(expr <= rhs) a row, h.setObjective."""
    import highspy

    rows = d.row_lists()

    if d.side:
        s = range(d.side)
        c = d.cost.reshape(d.side, d.side).tolist()
        supply, demand = d.rhs[:d.side].tolist(), d.rhs[d.side:].tolist()

        def build_transport() -> object:
            h = highspy.Highs()
            h.setOptionValue("output_flag", False)
            x = h.addVariables(s, s)
            h.setObjective(h.qsum(c[i][j] * x[i, j] for i in s for j in s), highspy.ObjSense.kMinimize)
            for i in s:
                h.addConstr(h.qsum(x[i, j] for j in s) <= supply[i])
            for j in s:
                h.addConstr(h.qsum(x[i, j] for i in s) >= demand[j])
            return h, x

        return build_transport

    cost = d.cost.tolist()

    def build() -> object:
        h = highspy.Highs()
        h.setOptionValue("output_flag", False)
        x = h.addVariables(range(d.n))
        h.setObjective(h.qsum(c * x[j] for j, c in enumerate(cost)), highspy.ObjSense.kMinimize)
        for cols, coeffs, rhs in rows:
            h.addConstr(h.qsum(a * x[j] for j, a in zip(cols, coeffs)) <= rhs)
        return h, x

    return build


def mip_operators(d: Data) -> Callable[[], object]:
    """python-mip with CBC: m.add_vars(n) (its documented faster way to make many variables, no
    names), xsum over a generator, m += expr <= rhs a row, m.objective = minimize(...)."""
    import mip

    rows = d.row_lists()

    if d.side:
        s = range(d.side)
        c = d.cost.reshape(d.side, d.side).tolist()
        supply, demand = d.rhs[:d.side].tolist(), d.rhs[d.side:].tolist()

        def build_transport() -> object:
            m = mip.Model("transport", solver_name=mip.CBC)
            m.verbose = 0
            flat = m.add_vars(d.n)
            x = [flat[i * d.side:(i + 1) * d.side] for i in s]
            m.objective = mip.minimize(mip.xsum(c[i][j] * x[i][j] for i in s for j in s))
            for i in s:
                m += mip.xsum(x[i][j] for j in s) <= supply[i]
            for j in s:
                m += mip.xsum(x[i][j] for i in s) >= demand[j]
            return m, x

        return build_transport

    cost = d.cost.tolist()

    def build() -> object:
        m = mip.Model(d.name, solver_name=mip.CBC)
        m.verbose = 0
        x = m.add_vars(d.n)
        m.objective = mip.minimize(mip.xsum(c * x[j] for j, c in enumerate(cost)))
        for cols, coeffs, rhs in rows:
            m += mip.xsum(a * x[j] for j, a in zip(cols, coeffs)) <= rhs
        return m, x

    return build


def pyomo_rules(d: Data) -> Callable[[], object]:
    """Pyomo: ConcreteModel, RangeSet index sets, Var over them, an indexed Constraint with a
    rule, sums by pyo.quicksum (its documented faster sum), Objective(expr=...)."""
    import pyomo.environ as pyo

    rows = d.row_lists()

    if d.side:
        c = d.cost.reshape(d.side, d.side).tolist()
        supply, demand = d.rhs[:d.side].tolist(), d.rhs[d.side:].tolist()

        def build_transport() -> object:
            m = pyo.ConcreteModel()
            m.I = pyo.RangeSet(0, d.side - 1)
            m.J = pyo.RangeSet(0, d.side - 1)
            m.x = pyo.Var(m.I, m.J, domain=pyo.NonNegativeReals)
            m.cost = pyo.Objective(expr=pyo.quicksum(c[i][j] * m.x[i, j] for i in m.I for j in m.J))
            m.supply = pyo.Constraint(m.I, rule=lambda m, i: pyo.quicksum(m.x[i, j] for j in m.J) <= supply[i])
            m.demand = pyo.Constraint(m.J, rule=lambda m, j: pyo.quicksum(m.x[i, j] for i in m.I) >= demand[j])
            return m

        return build_transport

    cost = d.cost.tolist()

    def build() -> object:
        m = pyo.ConcreteModel()
        m.V = pyo.RangeSet(0, d.n - 1)
        m.R = pyo.RangeSet(0, d.rows - 1)
        m.x = pyo.Var(m.V, domain=pyo.NonNegativeReals)
        m.cost = pyo.Objective(expr=pyo.quicksum(c * m.x[j] for j, c in enumerate(cost)))

        def row(m, r):
            cols, coeffs, rhs = rows[r]
            return pyo.quicksum(a * m.x[j] for j, a in zip(cols, coeffs)) <= rhs

        m.rows = pyo.Constraint(m.R, rule=row)
        return m

    return build


def linopy_vectorised(d: Data) -> Callable[[], object]:
    """linopy's vectorised path: add_variables over coordinates, expressions as xarray
    arithmetic and .sum() over a dimension, one add_constraints per family of rows. The random
    rows select their columns with x.isel over a (row, term) index array."""
    import linopy
    import xarray as xr

    if d.side:
        s = d.side
        c = d.cost.reshape(s, s)
        supply, demand = d.rhs[:s], d.rhs[s:]

        def build_transport() -> object:
            m = linopy.Model()
            x = m.add_variables(lower=0, coords=[range(s), range(s)], dims=["i", "j"], name="x")
            m.add_objective((xr.DataArray(c, dims=["i", "j"]) * x).sum())
            m.add_constraints(x.sum("j") <= xr.DataArray(supply, dims=["i"]), name="supply")
            m.add_constraints(x.sum("i") >= xr.DataArray(demand, dims=["j"]), name="demand")
            return m

        return build_transport

    per_row = int(d.indptr[1] - d.indptr[0])
    idx = d.indices.reshape(-1, per_row)
    coeffs = d.values.reshape(-1, per_row)

    def build() -> object:
        m = linopy.Model()
        x = m.add_variables(lower=0, coords=[range(d.n)], dims=["v"], name="x")
        m.add_objective((xr.DataArray(d.cost, dims=["v"]) * x).sum())
        picked = x.isel(v=xr.DataArray(idx, dims=["r", "k"]))
        lhs = (xr.DataArray(coeffs, dims=["r", "k"]) * picked).sum("k")
        m.add_constraints(lhs <= xr.DataArray(d.rhs, dims=["r"]), name="rows")
        return m

    return build


PEERS: dict[str, Callable[[Data], Callable[[], object]]] = {
    HIGHSPY: highspy_operators,
    MIP: mip_operators,
    PYOMO: pyomo_rules,
    LINOPY: linopy_vectorised,
}


def contenders(d: Data) -> dict[str, Callable[[], object]]:
    out = {
        OPS_SUM: zemlo_operators(d, False),
        OPS_TOTAL: zemlo_operators(d, True),
        MATRIX: zemlo_matrix(d),
        RAW: zemlo_raw_rows(d),
        RAW_NAMED: zemlo_raw_rows(d, names_given=True),
        BATCH: zemlo_batch(d),
    }
    for name, make in PEERS.items():
        try:
            out[name] = make(d)
        except ImportError as exc:
            print(f"    ({name}: not installed, {exc})")
    return out


# --- what each contender built ---------------------------------------------------------------


def shape_of(built: object) -> tuple[int, int, int | None, int | None]:
    """(rows, columns, constraint non-zeros, objective terms) of a built model (or of the model
    of a pair (model, variables)); None where the library does not tell cheaply."""
    if isinstance(built, tuple):
        built = built[0]
    if isinstance(built, zemlo.DoRaduvar):
        built = built.model
    if isinstance(built, Model):
        e = _native.export_model(built)
        return e["rows"], e["columns"], len(memoryview(e["index"])), int(np.count_nonzero(memoryview(e["cost"])))
    kind = type(built).__module__.split(".")[0]
    if kind == "highspy":
        cost = np.asarray(built.getLp().col_cost_)
        return built.getNumRow(), built.getNumCol(), built.getNumNz(), int(np.count_nonzero(cost))
    if kind == "mip":
        return built.num_rows, built.num_cols, built.num_nz, len(built.objective.expr)
    if kind == "pyomo":
        import pyomo.environ as pyo

        cons = list(built.component_data_objects(pyo.Constraint, active=True))
        cols = sum(1 for _ in built.component_data_objects(pyo.Var))
        nnz = sum(c.body.nargs() for c in cons)
        return len(cons), cols, nnz, built.cost.expr.nargs()
    if kind == "linopy":
        a = built.matrices.A
        return a.shape[0], a.shape[1], a.nnz, int(np.count_nonzero(built.matrices.c))
    raise TypeError(f"unknown model type {type(built)}")


def check_shape(name: str, built: object, d: Data, targets: Targets) -> None:
    want = (d.rows, d.n, d.nnz, len(d.cost))
    got = shape_of(built)
    ok = all(g is None or g == w for g, w in zip(got, want))
    if not ok:
        targets.check(False, f"{d.name}: {name} builds the model (rows, columns, non-zeros, objective "
                             f"terms) {got}, expected {want}")


# --- add_matrix against add_constraints_batch, the rows alone ----------------------------------


def rows_alone(d: Data) -> dict[str, tuple[Callable[[], object], Callable[[object], object]]]:
    """The call alone, on a model whose variables are made (untimed) before it: add_matrix from
    the CSR matrix and the VarDict, add_constraints_batch from the matrix's own arrays (their
    conversion to the batch's uint64 types counted, as add_matrix does it too)."""
    a = d.csr()
    senses = d.sense_words()
    index_sets = (range(d.side), range(d.side)) if d.side else (range(d.n),)
    lb, ub = np.zeros(d.n), np.full(d.n, INF)
    names = variable_names(d)

    def problem() -> object:
        p = zemlo.DoRaduvar(d.name)
        return p, p.variables("x", *index_sets)

    def model() -> object:
        m = Model(d.name)
        m.add_variables_arrays(names, lb, ub, bytes(d.n))
        return m

    def matrix(state) -> object:
        p, x = state
        return p.add_matrix(a, x, senses, d.rhs)

    def batch(m) -> object:
        return m.add_constraints_batch(a.indptr.astype(np.uint64), a.indices.astype(np.uint64), a.data,
                                       d.senses, d.rhs)

    return {"add_matrix, rows alone": (problem, matrix), "add_constraints_batch, rows alone": (model, batch)}


# --- memory ----------------------------------------------------------------------------------


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def settle() -> int:
    """The resident set once garbage is collected and the C heap has given its free pages back
    to the system: memory freed before a build (the input's temporaries, say) would otherwise be
    reused by the build without the resident set growing, and temporaries freed during a build
    would count as held after it."""
    import ctypes
    import gc

    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)
    return resident()


def memory_child(model: str, library: str, scale: float) -> None:
    """Run in a fresh process: the resident set held after building `model` with `library`
    (and the peak during the build) above what the process held before, per term. A small
    model is built and dropped first, so that what any first build loads is not counted."""
    makers = {OPS_TOTAL: lambda d: zemlo_operators(d, True), HIGHSPY: highspy_operators, BATCH: zemlo_batch}
    if library == HIGHSPY:
        quiet_highspy()
    warm = makers[library](models(0.001)[model])()
    del warm
    d = models(scale)[model]
    build = makers[library](d)
    before = settle()
    with open("/proc/self/clear_refs", "w") as f:  # the peak from here on
        f.write("5")
    built = build()
    after = settle()
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
    print(json.dumps({"held": (after - before) / d.terms, "peak": (peak - before) / d.terms,
                      "kept": type(built[0] if isinstance(built, tuple) else built).__name__}))


def measure_memory(model: str, library: str, scale: float) -> dict[str, float]:
    run = subprocess.run([sys.executable, __file__, "--memory-child", model, library, "--scale", str(scale)],
                         capture_output=True, text=True, check=True)
    return json.loads(run.stdout.splitlines()[-1])


# --- the run ---------------------------------------------------------------------------------


def run_model(d: Data, rounds: int, targets: Targets) -> dict[str, float]:
    print(f"\n== {d.name}: {d.rows:,} rows, {d.n:,} variables, {d.terms:,} terms "
          f"({d.nnz:,} non-zeros + {len(d.cost):,} objective terms), best of {rounds} rounds")
    fns = contenders(d)
    for name, build in fns.items():  # a first build of each: checked, and untimed warm-up
        check_shape(name, build(), d, targets)
    times = interleaved(fns, rounds=rounds)
    ours = min(times[OPS_SUM], times[OPS_TOTAL])
    print(f"    {'contender':<32} {'ns/term':>9} {'ms':>9}   {'x zemlo operators':>17}")
    for name, seconds in times.items():
        print(f"    {name:<32} {seconds / d.terms * 1e9:9.1f} {seconds * 1e3:9.1f}   {seconds / ours:17.2f}")

    for peer in (HIGHSPY, MIP):
        if peer in times:
            ratio = times[peer] / ours
            targets.check(ratio >= 5.0, f"{d.name}: zemlo operators {ratio:.1f}x faster than {peer} (>= 5x)")
    if d.side:
        ratio = ours / times[RAW]
        targets.check(ratio <= 3.0, f"{d.name}: zemlo operators {ratio:.2f}x the raw per-row path (<= 3x)")
        print(f"    (against the raw path with the names given: {ours / times[RAW_NAMED]:.2f}x)")

    alone = interleaved_after(rows_alone(d), rounds=max(rounds, 7))  # a few ms a call: more rounds
    for name, seconds in alone.items():
        print(f"    {name:<32} {seconds / d.nnz * 1e9:9.1f} ns/non-zero")
    ratio = alone["add_matrix, rows alone"] / alone["add_constraints_batch, rows alone"]
    print(f"    whole builds: add_matrix {times[MATRIX] / times[BATCH]:.2f}x add_constraints_batch "
          f"(variables through the layer, objective by total())")
    targets.check(ratio <= 1.5, f"{d.name}: add_matrix {ratio:.2f}x add_constraints_batch, rows alone (<= 1.5x)")
    times.update(alone)
    return times


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=float(os.environ.get("ZEMLO_BENCH_SCALE", "1")),
                        help="size factor of the models (default 1, or $ZEMLO_BENCH_SCALE)")
    parser.add_argument("--rounds", type=int, default=None,
                        help="interleaved rounds (default 7 for dense and transport, 3 for sparse)")
    parser.add_argument("--models", default="dense,transport,sparse", help="comma-separated models to run")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    parser.add_argument("--memory-child", nargs=2, metavar=("MODEL", "LIBRARY"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(*args.memory_child, args.scale)
        return 0

    import importlib.metadata as meta

    versions = []
    for package in ("zemlo", "highspy", "mip", "pyomo", "linopy"):
        try:
            versions.append(f"{package} {meta.version(package)}")
        except meta.PackageNotFoundError:
            versions.append(f"{package} -")
    print(f"Python {sys.version.split()[0]}; {', '.join(versions)}; scale {args.scale:g}")
    try:
        quiet_highspy()
    except ImportError:
        pass

    targets = Targets()
    all_data = models(args.scale)
    chosen = [m for m in args.models.split(",") if m]
    results: dict[str, dict[str, float]] = {}
    for name in chosen:
        d = all_data[name]
        rounds = args.rounds or (3 if d.terms >= 500_000 else 7)
        results[name] = run_model(d, rounds, targets)

    print("\n== summary, ns per term (rows alone: ns per non-zero)")
    print(f"    {'contender':<34}" + "".join(f"{m:>11}" for m in chosen))
    for contender in next(iter(results.values())):
        cells = []
        for m in chosen:
            d = all_data[m]
            count = d.nnz if "rows alone" in contender else d.terms
            t = results[m].get(contender)
            cells.append(f"{t / count * 1e9:11.1f}" if t is not None else f"{'-':>11}")
        print(f"    {contender:<34}" + "".join(cells))

    if not args.no_memory:
        print("\n== memory per term, resident set growth of a fresh process per library and model")
        print(f"    {'model':<10} {'library':<26} {'held B/term':>12} {'peak B/term':>12}")
        for m in chosen:
            held = {}
            for library in (OPS_TOTAL, HIGHSPY, BATCH):
                r = measure_memory(m, library, args.scale)
                held[library] = r["held"]
                print(f"    {m:<10} {library:<26} {r['held']:12.1f} {r['peak']:12.1f}")
            targets.check(held[OPS_TOTAL] <= held[HIGHSPY],
                          f"{m}: zemlo operators hold {held[OPS_TOTAL]:.1f} bytes/term, highspy "
                          f"{held[HIGHSPY]:.1f} (no more)")
    print()
    return targets.exit_status()


if __name__ == "__main__":
    sys.exit(main())
