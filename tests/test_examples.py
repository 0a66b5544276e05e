"""The examples written with the modelling layer, each solved by every solver to its optimum."""

from __future__ import annotations

import importlib.util

import pytest

from support import ROOT, require_solver


def example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def knapsack_optimum(weights, values, capacity):
    """The best value by dynamic programming over the capacity: an oracle apart from any solver."""
    best = [0] * (capacity + 1)
    for w, v in zip(weights, values):
        for c in range(capacity, w - 1, -1):
            best[c] = max(best[c], best[c - w] + v)
    return best[capacity]


def optimum(name):
    if name == "knapsack":
        k = example("knapsack")
        return float(knapsack_optimum(k.WEIGHTS, k.VALUES, k.CAPACITY))
    # The workshop's optimum by hand (24 chairs, 14 tables); the transportation problem's as the
    # textbook gives it; the facility model's as examples/facility.mps solves to.
    return {"workshop": 2200.0, "transportation": 153.675, "facility": 2900.0}[name]


@pytest.mark.parametrize("solver", ["highs", "cbc", "glpk"])
@pytest.mark.parametrize("name", ["workshop", "transportation", "knapsack", "facility"])
def test_each_example_solves_to_its_optimum(name, solver):
    require_solver(solver)
    problem = example(name).build()
    result = problem.solve(solver)
    assert result.status == "optimal"
    assert result.objective == pytest.approx(optimum(name), rel=1e-9)
    assert result.feasible()


def test_the_facility_example_is_the_model_of_facility_mps():
    from zemlo import load_mps

    built = example("facility").build().model
    stored = load_mps(ROOT / "examples" / "facility.mps")
    assert (built.num_variables, built.num_constraints) == (stored.num_variables, stored.num_constraints)
    assert sorted(c for _, _, c in built.coefficients()) == sorted(c for _, _, c in stored.coefficients())
