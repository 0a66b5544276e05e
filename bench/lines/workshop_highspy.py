"""The workshop of examples/workshop.py in highspy's own modelling API, to compare lengths."""

import highspy


def build() -> highspy.Highs:
    h = highspy.Highs()
    chairs = h.addVariable(ub=40, type=highspy.HighsVarType.kInteger, name="chairs")
    tables = h.addVariable(type=highspy.HighsVarType.kInteger, name="tables")
    h.addConstr(5 * chairs + 20 * tables <= 400, name="wood")
    h.addConstr(10 * chairs + 15 * tables <= 450, name="labour")
    h.setMaximize()
    h.setObjective(45 * chairs + 80 * tables)
    return h


if __name__ == "__main__":
    h = build()
    h.run()
    print(h.getModelStatus(), h.getObjectiveValue())
