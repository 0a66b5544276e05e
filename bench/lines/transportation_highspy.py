"""The transportation problem of examples/transportation.py in highspy's own modelling API."""

import highspy

SUPPLY = [350, 600]
DEMAND = [325, 300, 275]
COST = [[0.225, 0.153, 0.162], [0.225, 0.162, 0.126]]  # per case, plant to market


def build() -> highspy.Highs:
    h = highspy.Highs()
    plants, markets = range(len(SUPPLY)), range(len(DEMAND))
    x = h.addVariables(plants, markets, name_prefix="x")
    h.setObjective(h.qsum(COST[i][j] * x[i, j] for i in plants for j in markets))
    for i in plants:
        h.addConstr(h.qsum(x[i, j] for j in markets) <= SUPPLY[i], name=f"supply{i}")
    for j in markets:
        h.addConstr(h.qsum(x[i, j] for i in plants) >= DEMAND[j], name=f"demand{j}")
    return h


if __name__ == "__main__":
    h = build()
    h.run()
    print(h.getModelStatus(), h.getObjectiveValue())
