"""zemlo.solve with HiGHS against highspy's own arrays path, on the same models in the same run.

Run with `make bench` or `python bench/bench_solve.py [--rounds N]` (zemlo and highspy installed;
the netlib models beside the repository, in ../shared/data/netlib). Two models:

* a 500 x 1000 transportation LP (500,000 columns, 1,500 rows, 10^6 non-zeros), built from
  NumPy arrays with costs, supplies and demands from a fixed seed, supply equal to demand;
* netlib 80bau3b, loaded with zemlo.load_mps.

For each, three ways from a model to its answer:

* zemlo.solve(model): everything, the export of the arrays, passModel, the run, the answer read
  back, stored in the model and checked against it;
* highspy arrays: passModel on the same arrays exported once beforehand, the run, getSolution
  and its four vectors as highspy hands them over;
* highspy file: the model written as MPS by zemlo, readModel, the run and the same answer (the
  way zemlo.solve took before it handed HiGHS arrays).

Then the parts of zemlo.solve around the run, each on its own: the export and passModel with the
matrix by rows and by columns, the answer read back in the ways highspy allows, the store and the
check. CPU time (time.process_time), minimum of interleaved rounds. Targets: zemlo.solve at most
1.1 times highspy's arrays path, both at the same optimum (1e-9 relative), and handing HiGHS
columns not slower than rows (what zemlo.solvers.highs does). A missed target is printed and
makes the exit status 1 at the end.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from array import array
from pathlib import Path

from timing import Targets, interleaved
import numpy as np  # after timing, which limits its threads
import highspy

import zemlo
from zemlo import AffineExpr, Model, Sense, load_mps, write_mps
from zemlo import _native
from zemlo.solvers.highs import _native_stdout_discarded

NETLIB = Path(__file__).resolve().parents[2] / "shared" / "data" / "netlib"


def transportation(sources: int = 500, sinks: int = 1000, seed: int = 11) -> Model:
    """min sum c_ij x_ij, sum_j x_ij <= supply_i, sum_i x_ij >= demand_j, x >= 0; supplies
    scaled so that they add up to the demands."""
    rng = np.random.default_rng(seed)
    demand = rng.integers(10, 100, size=sinks).astype(np.float64)
    supply = rng.integers(10, 100, size=sources).astype(np.float64)
    supply *= demand.sum() / supply.sum()
    cost = np.round(rng.uniform(1.0, 100.0, size=sources * sinks), 2)
    n = sources * sinks
    m = Model("transportation")
    m.add_variables_arrays([f"x{k}" for k in range(n)], np.zeros(n), np.full(n, np.inf), bytes(n))
    ids = np.arange(n, dtype=np.uint64)  # x_ij has id i * sinks + j
    ones = np.ones(n)
    m.add_constraints_batch(np.arange(0, n + 1, sinks, dtype=np.uint64), ids, ones,
                            [Sense.LessEqual] * sources, supply)
    by_sink = np.ascontiguousarray(ids.reshape(sources, sinks).T).ravel()
    m.add_constraints_batch(np.arange(0, n + 1, sources, dtype=np.uint64), by_sink, ones,
                            [Sense.GreaterEqual] * sinks, demand)
    objective = AffineExpr()
    objective.add_term_ids_coeffs(m, ids, cost)
    m.set_objective(objective)
    return m


def quiet_highs():
    with _native_stdout_discarded():
        h = highspy.Highs()
        h.setOptionValue("output_flag", False)
    return h


def exported(model, column_wise):
    """The model's arrays as NumPy arrays, as HiGHS takes them."""
    a = _native.export_model(model, column_wise=column_wise, int32=True)
    for key in ("cost", "col_lower", "col_upper", "row_lower", "row_upper", "starts", "index", "value"):
        a[key] = np.asarray(a[key])
    a["integer"] = np.asarray(a["integer"]).astype(np.int32)
    return a


def passed(a):
    """A quiet Highs holding the arrays `a`."""
    h = quiet_highs()
    count = a["columns"] if a["column_wise"] else a["rows"]
    status = h.passModel(
        a["columns"], a["rows"], len(a["index"]), 1 if a["column_wise"] else 2, -1 if a["maximize"] else 1,
        a["offset"], a["cost"], a["col_lower"], a["col_upper"], a["row_lower"], a["row_upper"],
        a["starts"][:count], a["index"], a["value"], a["integer"],
    )
    assert status == highspy.HighsStatus.kOk, status
    return h


def answer(h):
    """What HiGHS hands over: the objective and the solution's four vectors (lists)."""
    solution = h.getSolution()
    return (h.getInfo().objective_function_value, solution.col_value, solution.col_dual,
            solution.row_value, solution.row_dual)


def highspy_arrays(a):
    h = passed(a)
    h.run()
    return answer(h)


def highspy_file(model, path):
    write_mps(model, path, 1, True, False, True, "MODEL", "OBJ")
    h = quiet_highs()
    assert h.readModel(path) == highspy.HighsStatus.kOk
    if model.get_sense() is zemlo.ObjSense.Maximize:
        h.changeObjectiveSense(highspy.ObjSense.kMaximize)
    h.run()
    return answer(h)


def run_case(name, model, tmp, targets, rounds):
    columns = exported(model, True)
    nnz = len(columns["index"])
    print(f"\n{name}: {model.num_constraints:,} rows, {model.num_variables:,} columns, {nnz:,} non-zeros")
    path = os.path.join(tmp, "model.mps")
    constant = model.get_objective().constant

    # The same optimum by each way (and a first run of each before the clock).
    result = zemlo.solve(model)
    assert result.status == "optimal", result
    by_arrays = highspy_arrays(columns)[0]
    by_file = highspy_file(model, path)[0] + constant
    agree = all(abs(result.objective - x) <= 1e-9 * max(1.0, abs(x)) for x in (by_arrays, by_file))
    agree = agree and abs(result.solver_objective - by_arrays) <= 1e-9 * max(1.0, abs(by_arrays))
    print(f"    optimum: zemlo.solve {result.objective!r} (solver {result.solver_objective!r}), "
          f"highspy arrays {by_arrays!r}, highspy file {by_file!r}")
    targets.check(agree, f"{name}: zemlo.solve and highspy at the same optimum (1e-9 relative)")

    t = interleaved({
        "zemlo.solve": lambda: zemlo.solve(model),
        "highspy arrays": lambda: highspy_arrays(columns),
        "highspy file": lambda: highspy_file(model, path),
    }, rounds=rounds)
    base = t["highspy arrays"]
    print(f"    {'way':<44} {'seconds':>9} {'ns/non-zero':>12} {'ratio':>6}")
    for way, seconds in t.items():
        print(f"    {way:<44} {seconds:9.4f} {seconds / nnz * 1e9:12.1f} {seconds / base:6.3f}")
    targets.check(t["zemlo.solve"] <= 1.1 * base, f"{name}: zemlo.solve at most 1.1x highspy's arrays path")

    # The parts around the run, each on its own.
    solved = passed(columns)
    solved.run()
    rows = exported(model, False)
    col_value = np.fromiter(solved.getSolution().col_value, np.float64)

    def read(convert):
        solution = solved.getSolution()
        return [convert(x) for x in (solution.col_value, solution.col_dual, solution.row_value, solution.row_dual)]

    parts = interleaved({
        "export rows + passModel": lambda: passed(exported(model, False)),
        "export columns + passModel": lambda: passed(exported(model, True)),
        "  export rows": lambda: exported(model, False),
        "  export columns": lambda: exported(model, True),
        "  passModel rows": lambda: passed(rows),
        "  passModel columns": lambda: passed(columns),
        "answer: getSolution, lists": lambda: read(lambda x: x),
        "answer: lists + np.fromiter": lambda: read(lambda x: np.fromiter(x, np.float64, len(x))),
        "answer: lists + np.array": lambda: read(np.array),
        "answer: lists + array('d')": lambda: read(lambda x: array("d", x)),
        "store_solution (4 arrays)": lambda: _native.store_solution(
            model, col_value, col_value, np.zeros(model.num_constraints), np.zeros(model.num_constraints)),
        "check_solution": lambda: zemlo.check_solution(model),
    }, rounds=max(rounds, 5))
    print(f"    {'part of zemlo.solve':<44} {'ms':>9} {'ns/non-zero':>12}")
    for part, seconds in parts.items():
        print(f"    {part:<44} {seconds * 1e3:9.2f} {seconds / nnz * 1e9:12.1f}")
    if nnz >= 10**6:
        targets.check(parts["export columns + passModel"] <= 1.05 * parts["export rows + passModel"],
                      f"{name}: handing HiGHS columns not slower than rows")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds (default 3)")
    args = parser.parse_args()
    targets = Targets()
    with tempfile.TemporaryDirectory() as tmp:
        run_case("transportation 500x1000", transportation(), tmp, targets, args.rounds)
        source = NETLIB / "80bau3b.mps.gz"
        if source.is_file():
            run_case("netlib 80bau3b", load_mps(source), tmp, targets, args.rounds)
        else:
            print(f"\n{source} is not there: no netlib figures")
            targets.check(False, "netlib 80bau3b present")
    print()
    return targets.exit_status()


if __name__ == "__main__":
    sys.exit(main())
