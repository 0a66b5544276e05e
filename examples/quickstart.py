"""Build a small model, solve it, and read the answer zemlo checked."""

from zemlo import AffineExpr, Category, Model, ObjSense, Sense, solve

m = Model("workshop")
chairs = m.add_variable("chairs", 0.0, 40.0, Category.Integer)
tables = m.add_variable("tables", 0.0, float("inf"), Category.Integer)
profit = AffineExpr()
profit.add_term(chairs, 45.0)
profit.add_term(tables, 80.0)
m.set_objective(profit)
m.set_sense(ObjSense.Maximize)
for name, per_chair, per_table, available in [("wood", 5.0, 20.0, 400.0), ("labour", 10.0, 15.0, 450.0)]:
    use = AffineExpr.from_variable(chairs)
    use.scale(per_chair)
    use.add_term(tables, per_table)
    use.set_constant(-available)  # per_chair * chairs + per_table * tables - available <= 0
    use.set_sense(Sense.LessEqual)
    use.set_name(name)
    m.add_constraint(use)

result = solve(m)  # HiGHS by default; solver="cbc" or "glpk" run those programs
print(result.status, result.objective, result.values, result.feasible())
