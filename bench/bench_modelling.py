"""Building models the way modellers write them: zemlo's modelling layer against its own raw paths
and against the modelling APIs of highspy, python-mip, Pyomo and linopy, in one run.

Three models, each built from nothing to the whole model in memory (variables, rows, objective;
no solve, no file), through each library's natural path:

  (a) dense      1,000 rows of 100 terms over 10,000 variables, objective over every variable
  (b) transport  a 300 x 300 transportation problem: supply rows, demand rows, cost objective
  (c) sparse     100,000 rows of 10 terms over 100,000 variables, objective over every variable

The raw paths make the variables' names too, with f-strings, as their users must. Figures are
ns per term (constraint non-zeros plus objective terms), CPU time, the minimum of
interleaved rounds. Memory held per term is the growth of the resident set of a fresh process
that builds model (c), divided by its terms.

Targets: zemlo's operators (the better of sum() and total()) at least 5x faster than highspy's
operators and python-mip on every model, and within 3x of zemlo's raw per-row AffineExpr path
on the transportation model; add_matrix within 1.5x of add_constraints_batch (rows alone, the
variables made before); memory held per term no more than highspy's.

    python bench/bench_modelling.py [--scale S] [--rounds R]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import subprocess
import sys
from array import array
from collections.abc import Callable
from dataclasses import dataclass

from timing import Targets, interleaved  # first: limits BLAS threads before NumPy loads

import numpy as np  # noqa: E402

import zemlo  # noqa: E402
from zemlo import AffineExpr, Model, Sense  # noqa: E402

INF = float("inf")


@dataclass
class Data:
    """A model as plain data: rows in compressed form over variables 0 .. n-1, every row <=
    (dense, sparse) or the transportation's supply (<=) and demand (>=) rows."""

    name: str
    n: int
    indptr: np.ndarray
    indices: np.ndarray
    values: np.ndarray
    senses: bytes  # 0 <=, 2 >=
    rhs: np.ndarray
    cost: np.ndarray
    side: int = 0  # the transportation's side: variable (i, j) is i * side + j

    @property
    def terms(self) -> int:
        return int(len(self.indices) + len(self.cost))

    def rows(self) -> list[tuple[list[int], list[float], int, float]]:
        """Each row as Python lists, as a modeller's own data would be."""
        out = []
        for r in range(len(self.rhs)):
            a, b = int(self.indptr[r]), int(self.indptr[r + 1])
            out.append((self.indices[a:b].tolist(), self.values[a:b].tolist(), self.senses[r], float(self.rhs[r])))
        return out


def random_rows(name: str, rows: int, per_row: int, n: int, seed: int) -> Data:
    rng = np.random.default_rng(seed)
    indices = np.concatenate([rng.choice(n, size=per_row, replace=False) for _ in range(rows)])
    values = np.round(rng.uniform(1, 9, size=rows * per_row), 3)
    indptr = np.arange(rows + 1, dtype=np.int64) * per_row
    rhs = np.round(rng.uniform(10, 100, size=rows), 3)
    cost = np.round(rng.uniform(1, 5, size=n), 3)
    return Data(name, n, indptr, indices, values, bytes(rows), rhs, cost)


def transportation(side: int, seed: int) -> Data:
    rng = np.random.default_rng(seed)
    n = side * side
    supply_idx = np.arange(n)  # row i: variables i*side .. i*side+side-1
    demand_idx = np.arange(n).reshape(side, side).T.ravel()  # row j: variables j, side+j, ...
    indices = np.concatenate([supply_idx, demand_idx])
    indptr = np.arange(2 * side + 1, dtype=np.int64) * side
    rhs = np.concatenate([np.full(side, float(side)), np.full(side, 1.0)])
    cost = np.round(rng.uniform(1, 20, size=n), 3)
    return Data("transport", n, indptr, indices, np.ones(2 * n), bytes(side) + bytes([2]) * side, rhs, cost, side)


# --- zemlo -----------------------------------------------------------------------------------


def zemlo_operators(d: Data, use_total: bool) -> Callable[[], object]:
    add = zemlo.total if use_total else sum
    rows = d.rows()
    cost = d.cost.tolist()

    def build() -> object:
        p = zemlo.DoRaduvar(d.name)
        if d.side:
            s = range(d.side)
            x = p.variables("x", s, s)
            p.minimize(add(cost[i * d.side + j] * x[i, j] for i in s for j in s))
            for i in s:
                p.add(add(x[i, j] for j in s) <= rows[i][3])
            for j in s:
                p.add(add(x[i, j] for i in s) >= rows[d.side + j][3])
            return p
        x = p.variables("x", range(d.n))
        p.minimize(add(c * x[j] for j, c in enumerate(cost)))
        for cols, coeffs, _, rhs in rows:
            p.add(add(c * x[j] for j, c in zip(cols, coeffs)) <= rhs)
        return p

    return build


def zemlo_matrix(d: Data) -> Callable[[], object]:
    import scipy.sparse as sp

    a = sp.csr_array((d.values, d.indices, d.indptr), shape=(len(d.rhs), d.n))
    senses = ["<=" if s == 0 else ">=" for s in d.senses]
    cost = d.cost

    def build() -> object:
        p = zemlo.DoRaduvar(d.name)
        x = p.variables("x", range(d.n))
        p.minimize(zemlo.total(c * v for c, v in zip(cost.tolist(), x.values())))
        p.add_matrix(a, x, senses, d.rhs)
        return p

    return build


def zemlo_raw_rows(d: Data) -> Callable[[], object]:
    rows = [(array("Q", cols), array("d", coeffs), sense, rhs) for cols, coeffs, sense, rhs in d.rows()]
    all_ids, costs = array("Q", range(d.n)), array("d", d.cost.tolist())
    lb, ub = array("d", [0.0]) * d.n, array("d", [INF]) * d.n

    def build() -> object:
        m = Model(d.name)
        m.add_variables_arrays([f"x{j}" for j in range(d.n)], lb, ub, bytes(d.n))
        objective = AffineExpr()
        objective.add_term_ids_coeffs(m, all_ids, costs)
        m.set_objective(objective)
        for ids, coeffs, sense, rhs in rows:
            e = AffineExpr()
            e.add_term_ids_coeffs(m, ids, coeffs)
            e.set_constant(-rhs)
            e.set_sense(Sense.LessEqual if sense == 0 else Sense.GreaterEqual)
            m.add_constraint(e)
        return m

    return build


def zemlo_batch(d: Data) -> Callable[[], object]:
    starts = d.indptr.astype(np.uint64)
    ids = d.indices.astype(np.uint64)
    all_ids = np.arange(d.n, dtype=np.uint64)
    lb, ub = np.zeros(d.n), np.full(d.n, INF)

    def build() -> object:
        m = Model(d.name)
        m.add_variables_arrays([f"x{j}" for j in range(d.n)], lb, ub, bytes(d.n))
        objective = AffineExpr()
        objective.add_term_ids_coeffs(m, all_ids, d.cost)
        m.set_objective(objective)
        m.add_constraints_batch(starts, ids, d.values, d.senses, d.rhs)
        return m

    return build


# --- peers -----------------------------------------------------------------------------------


def highspy_operators(d: Data) -> Callable[[], object]:
    import highspy

    rows = d.rows()
    cost = d.cost.tolist()

    def build() -> object:
        with contextlib.redirect_stdout(io.StringIO()):
            h = highspy.Highs()
        h.setOptionValue("output_flag", False)
        if d.side:
            s = range(d.side)
            x = h.addVariables(s, s)
            h.setObjective(h.qsum(cost[i * d.side + j] * x[i, j] for i in s for j in s))
            for i in s:
                h.addConstr(h.qsum(x[i, j] for j in s) <= rows[i][3])
            for j in s:
                h.addConstr(h.qsum(x[i, j] for i in s) >= rows[d.side + j][3])
            return h
        x = h.addVariables(range(d.n))
        h.setObjective(h.qsum(c * x[j] for j, c in enumerate(cost)))
        for cols, coeffs, _, rhs in rows:
            h.addConstr(h.qsum(c * x[j] for j, c in zip(cols, coeffs)) <= rhs)
        return h

    return build


def mip_operators(d: Data) -> Callable[[], object]:
    import mip

    rows = d.rows()
    cost = d.cost.tolist()

    def build() -> object:
        m = mip.Model(d.name, solver_name=mip.CBC)
        m.verbose = 0
        if d.side:
            s = range(d.side)
            x = {(i, j): m.add_var(f"x_{i}_{j}") for i in s for j in s}
            m.objective = mip.minimize(mip.xsum(cost[i * d.side + j] * x[i, j] for i in s for j in s))
            for i in s:
                m += mip.xsum(x[i, j] for j in s) <= rows[i][3]
            for j in s:
                m += mip.xsum(x[i, j] for i in s) >= rows[d.side + j][3]
            return m
        x = [m.add_var(f"x_{j}") for j in range(d.n)]
        m.objective = mip.minimize(mip.xsum(c * x[j] for j, c in enumerate(cost)))
        for cols, coeffs, _, rhs in rows:
            m += mip.xsum(c * x[j] for j, c in zip(cols, coeffs)) <= rhs
        return m

    return build


def pyomo_rules(d: Data) -> Callable[[], object]:
    import pyomo.environ as pyo

    rows = d.rows()
    cost = d.cost.tolist()

    def build() -> object:
        m = pyo.ConcreteModel()
        if d.side:
            m.I = pyo.RangeSet(0, d.side - 1)
            m.x = pyo.Var(m.I, m.I, domain=pyo.NonNegativeReals)
            m.cost = pyo.Objective(expr=pyo.quicksum(cost[i * d.side + j] * m.x[i, j] for i in m.I for j in m.I))
            m.supply = pyo.Constraint(m.I, rule=lambda m, i: pyo.quicksum(m.x[i, j] for j in m.I) <= rows[i][3])
            m.demand = pyo.Constraint(
                m.I, rule=lambda m, j: pyo.quicksum(m.x[i, j] for i in m.I) >= rows[d.side + j][3])
            return m
        m.J = pyo.RangeSet(0, d.n - 1)
        m.x = pyo.Var(m.J, domain=pyo.NonNegativeReals)
        m.cost = pyo.Objective(expr=pyo.quicksum(c * m.x[j] for j, c in enumerate(cost)))
        m.R = pyo.RangeSet(0, len(rows) - 1)
        m.rows = pyo.Constraint(
            m.R, rule=lambda m, r: pyo.quicksum(c * m.x[j] for j, c in zip(rows[r][0], rows[r][1])) <= rows[r][3])
        return m

    return build


def linopy_vectorised(d: Data) -> Callable[[], object]:
    import linopy
    import xarray as xr

    per_row = int(d.indptr[1] - d.indptr[0])
    idx = d.indices.reshape(-1, per_row)
    coeffs = d.values.reshape(-1, per_row)

    def build() -> object:
        m = linopy.Model()
        if d.side:
            s = d.side
            x = m.add_variables(lower=0, coords=[range(s), range(s)], dims=["i", "j"], name="x")
            c = xr.DataArray(d.cost.reshape(s, s), dims=["i", "j"])
            m.add_objective((c * x).sum())
            m.add_constraints(x.sum("j") <= xr.DataArray(d.rhs[:s], dims=["i"]), name="supply")
            m.add_constraints(x.sum("i") >= xr.DataArray(d.rhs[s:], dims=["j"]), name="demand")
            return m
        x = m.add_variables(lower=0, coords=[range(d.n)], dims=["v"], name="x")
        m.add_objective((xr.DataArray(d.cost, dims=["v"]) * x).sum())
        picked = x.isel(v=xr.DataArray(idx, dims=["r", "k"]))
        expr = (xr.DataArray(coeffs, dims=["r", "k"]) * picked).sum("k")
        m.add_constraints(expr <= xr.DataArray(d.rhs, dims=["r"]), name="rows")
        return m

    return build


PEERS: dict[str, Callable[[Data], Callable[[], object]]] = {
    "highspy operators": highspy_operators,
    "python-mip xsum": mip_operators,
    "pyomo quicksum": pyomo_rules,
    "linopy": linopy_vectorised,
}


def contenders(d: Data) -> dict[str, Callable[[], object]]:
    out = {
        "zemlo operators sum()": zemlo_operators(d, False),
        "zemlo operators total()": zemlo_operators(d, True),
        "zemlo add_matrix": zemlo_matrix(d),
        "zemlo raw per-row AffineExpr": zemlo_raw_rows(d),
        "zemlo add_constraints_batch": zemlo_batch(d),
    }
    for name, make in PEERS.items():
        try:
            out[name] = make(d)
        except ImportError as exc:
            print(f"    ({name} not installed: {exc})")
    return out


def rows_alone(d: Data) -> dict[str, Callable[[], object]]:
    """add_matrix against add_constraints_batch on the rows alone, the variables made before."""
    import scipy.sparse as sp

    a = sp.csr_array((d.values, d.indices, d.indptr), shape=(len(d.rhs), d.n))
    senses = ["<=" if s == 0 else ">=" for s in d.senses]
    problems = []
    models = []

    def matrix() -> object:
        p, x = problems.pop()
        p.add_matrix(a, x, senses, d.rhs)
        return p

    def batch() -> object:
        m = models.pop()
        m.add_constraints_batch(d.indptr.astype(np.uint64), d.indices.astype(np.uint64), d.values, d.senses, d.rhs)
        return m

    def refill(rounds: int) -> None:
        for _ in range(rounds):
            p = zemlo.DoRaduvar(d.name)
            problems.append((p, p.variables("x", range(d.n))))
            m = Model(d.name)
            m.add_variables_arrays([f"x{j}" for j in range(d.n)], np.zeros(d.n), np.full(d.n, INF), bytes(d.n))
            models.append(m)

    matrix.refill = refill  # type: ignore[attr-defined]
    return {"add_matrix (rows)": matrix, "add_constraints_batch (rows)": batch}


def models(scale: float) -> list[Data]:
    k = lambda v: max(1, int(v * scale))  # noqa: E731
    return [
        random_rows("dense", k(1000), 100, k(10_000), 1),
        transportation(max(2, int(300 * scale ** 0.5)), 2),
        random_rows("sparse", k(100_000), 10, k(100_000), 3),
    ]


def memory_child(library: str, scale: float) -> None:
    """Run in a fresh process: builds the sparse model with `library` and prints the growth of
    the resident set per term."""
    d = models(scale)[2]
    make = zemlo_operators(d, True) if library == "zemlo" else highspy_operators(d)

    def resident() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    before = resident()
    built = make()
    after = resident()
    print(json.dumps({"bytes_per_term": (after - before) / d.terms, "kept": type(built).__name__}))


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0, help="size factor of the three models")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--memory", metavar="LIBRARY", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory:
        memory_child(args.memory, args.scale)
        return 0
    targets = Targets()
    raw_ratio = None
    for d in models(args.scale):
        print(f"== {d.name}: {len(d.rhs)} rows, {d.n} variables, {d.terms} terms (rows + objective)")
        times = interleaved(contenders(d), rounds=args.rounds)
        for name, seconds in times.items():
            print(f"    {name:<32} {seconds / d.terms * 1e9:9.1f} ns/term")
        ours = min(times["zemlo operators sum()"], times["zemlo operators total()"])
        for peer in ("highspy operators", "python-mip xsum"):
            if peer in times:
                ratio = times[peer] / ours
                targets.check(ratio >= 5.0, f"{d.name}: zemlo operators {ratio:.1f}x faster than {peer} (>= 5x)")
        if d.side:
            raw_ratio = ours / times["zemlo raw per-row AffineExpr"]
            targets.check(raw_ratio <= 3.0, f"{d.name}: zemlo operators {raw_ratio:.2f}x the raw per-row path (<= 3x)")
        alone = rows_alone(d)
        alone["add_matrix (rows)"].refill(args.rounds)  # type: ignore[attr-defined]
        rows = interleaved(alone, rounds=args.rounds)
        nnz = len(d.indices)
        for name, seconds in rows.items():
            print(f"    {name:<32} {seconds / nnz * 1e9:9.1f} ns/non-zero")
        ratio = rows["add_matrix (rows)"] / rows["add_constraints_batch (rows)"]
        targets.check(ratio <= 1.5, f"{d.name}: add_matrix {ratio:.2f}x add_constraints_batch (<= 1.5x)")

    print("== memory held per term, sparse model, fresh process each")
    held = {}
    for library in ("zemlo", "highspy"):
        run = subprocess.run([sys.executable, __file__, "--memory", library, "--scale", str(args.scale)],
                             capture_output=True, text=True, check=True)
        held[library] = json.loads(run.stdout.splitlines()[-1])["bytes_per_term"]
        print(f"    {library:<32} {held[library]:9.1f} bytes/term")
    targets.check(held["zemlo"] <= held["highspy"], "memory per term no more than highspy's")
    return targets.exit_status()


if __name__ == "__main__":
    sys.exit(main())
