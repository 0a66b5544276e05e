"""The knapsack of examples/knapsack.py in highspy's own modelling API."""

import highspy

WEIGHTS = [(7 * i * i + 3 * i) % 23 + 4 for i in range(50)]
VALUES = [(11 * i + 5) % 29 + 3 for i in range(50)]
CAPACITY = 200


def build() -> highspy.Highs:
    h = highspy.Highs()
    take = h.addBinaries(range(50), name_prefix="take")
    h.setMaximize()
    h.setObjective(h.qsum(VALUES[i] * take[i] for i in range(50)))
    h.addConstr(h.qsum(WEIGHTS[i] * take[i] for i in range(50)) <= CAPACITY, name="capacity")
    return h


if __name__ == "__main__":
    h = build()
    h.run()
    print(h.getModelStatus(), h.getObjectiveValue())
