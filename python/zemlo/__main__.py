"""A short tour of the native core: build a small model and show what it holds.

Run with ``python -m zemlo``.
"""

from array import array

from zemlo._ondrel import AffineExpr, Category, Model, ObjSense, Sense


def main() -> None:
    m = Model("demo")
    x = m.add_variable("x", 0.0, float("inf"), Category.Continuous)
    y, z = m.add_variables_batch(["y", "z"], 0.0, 10.0, Category.Integer)

    objective = AffineExpr()
    objective.add_term_ids_coeffs(m, array("Q", [x.id(), y.id(), z.id()]), array("d", [3.0, 2.0, -1.0]))
    m.set_objective(objective)
    m.set_sense(ObjSense.Maximize)

    capacity = AffineExpr.from_variable(x)
    capacity.add_term(y, 1.0)
    capacity.set_constant(-4.0)
    capacity.set_sense(Sense.LessEqual)
    capacity.set_name("capacity")
    m.add_constraint(capacity)

    print(f"model with {m.num_variables} variables and {m.num_constraints} constraint(s)")
    print(f"objective sense: {m.get_sense()}")
    for v in (x, y, z):
        print(f"  {v.name}: [{v.lb}, {v.ub}] {v.category}")


if __name__ == "__main__":
    main()
