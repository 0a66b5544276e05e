"""Builds the facility-location model in examples/facility.mps with zemlo itself.

Four depots may be opened, each at a fixed cost and with a capacity; goods reach eight shops
in trucks, each truck carrying 40 units and costing 90 for the day; shipping costs per unit
depend on the distance. Which depots to open, how many trucks each sends out and how much each
shop gets from each depot, at least cost?

Run from the repository root: python examples/build_facility.py [OUT.mps]
"""

import sys

from zemlo import AffineExpr, Category, Model, ObjSense, Sense, Variable, write_mps

DEPOTS = {  # name: (fixed cost, capacity, x, y)
    "north": (500.0, 200.0, 4, 9),
    "east": (420.0, 160.0, 9, 5),
    "south": (380.0, 150.0, 5, 1),
    "west": (450.0, 180.0, 0, 4),
}
SHOPS = {  # name: (demand, x, y)
    "s1": (30.0, 2, 8), "s2": (45.0, 6, 7), "s3": (25.0, 8, 8), "s4": (50.0, 9, 2),
    "s5": (35.0, 5, 4), "s6": (40.0, 1, 2), "s7": (20.0, 3, 5), "s8": (55.0, 7, 3),
}
TRUCK_LOAD, TRUCK_COST, MAX_TRUCKS = 40.0, 90.0, 5


def constraint(model: Model, name: str, terms: list[tuple[Variable, float]], sense: Sense, rhs: float) -> None:
    """Adds sum(coeff * var) <sense> rhs."""
    expr = AffineExpr()
    for var, coeff in terms:
        expr.add_term(var, coeff)
    expr.set_constant(-rhs)
    expr.set_sense(sense)
    expr.set_name(name)
    model.add_constraint(expr)


def build() -> Model:
    """The facility-location model."""
    m = Model("FACILITY")
    inf = float("inf")
    open_ = {d: m.add_variable(f"open_{d}", 0.0, 1.0, Category.Binary) for d in DEPOTS}
    trucks = {d: m.add_variable(f"trucks_{d}", 0.0, float(MAX_TRUCKS), Category.Integer) for d in DEPOTS}
    ship = {
        (d, s): m.add_variable(f"ship_{d}_{s}", 0.0, inf, Category.Continuous) for d in DEPOTS for s in SHOPS
    }
    cost = AffineExpr()
    for d, (fixed, capacity, dx, dy) in DEPOTS.items():
        cost.add_term(open_[d], fixed)
        cost.add_term(trucks[d], TRUCK_COST)
        for s, (_, sx, sy) in SHOPS.items():
            cost.add_term(ship[d, s], float(abs(dx - sx) + abs(dy - sy)))
        out = [(ship[d, s], 1.0) for s in SHOPS]
        constraint(m, f"cap_{d}", out + [(open_[d], -capacity)], Sense.LessEqual, 0.0)
        constraint(m, f"load_{d}", out + [(trucks[d], -TRUCK_LOAD)], Sense.LessEqual, 0.0)
        constraint(m, f"fleet_{d}", [(trucks[d], 1.0), (open_[d], -float(MAX_TRUCKS))], Sense.LessEqual, 0.0)
    for s, (demand, _, _) in SHOPS.items():
        constraint(m, f"demand_{s}", [(ship[d, s], 1.0) for d in DEPOTS], Sense.Equal, demand)
    cost.set_name("COST")
    m.set_objective(cost)
    m.set_sense(ObjSense.Minimize)
    return m


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "examples/facility.mps"
    write_mps(build(), out, 1, True, False, False, "FACILITY", "COST")
