"""The facility-location model of examples/facility.py in highspy's own modelling API."""

import highspy

DEPOTS = {  # name: (fixed cost, capacity, x, y)
    "north": (500, 200, 4, 9), "east": (420, 160, 9, 5), "south": (380, 150, 5, 1), "west": (450, 180, 0, 4),
}
SHOPS = {  # name: (demand, x, y)
    "s1": (30, 2, 8), "s2": (45, 6, 7), "s3": (25, 8, 8), "s4": (50, 9, 2),
    "s5": (35, 5, 4), "s6": (40, 1, 2), "s7": (20, 3, 5), "s8": (55, 7, 3),
}
TRUCK_LOAD, TRUCK_COST, MAX_TRUCKS = 40, 90, 5


def build() -> highspy.Highs:
    h = highspy.Highs()
    open_ = h.addBinaries(DEPOTS, name_prefix="open")
    trucks = h.addIntegrals(DEPOTS, ub=MAX_TRUCKS, name_prefix="trucks")
    ship = h.addVariables(DEPOTS, SHOPS, name_prefix="ship")
    dist = {(d, s): abs(DEPOTS[d][2] - SHOPS[s][1]) + abs(DEPOTS[d][3] - SHOPS[s][2]) for d in DEPOTS for s in SHOPS}
    h.setObjective(h.qsum(DEPOTS[d][0] * open_[d] + TRUCK_COST * trucks[d] for d in DEPOTS)
                   + h.qsum(dist[k] * ship[k] for k in ship))
    for d, (_, capacity, _, _) in DEPOTS.items():
        out = h.qsum(ship[d, s] for s in SHOPS)
        h.addConstr(out <= capacity * open_[d], name=f"cap_{d}")
        h.addConstr(out <= TRUCK_LOAD * trucks[d], name=f"load_{d}")
        h.addConstr(trucks[d] <= MAX_TRUCKS * open_[d], name=f"fleet_{d}")
    for s, (demand, _, _) in SHOPS.items():
        h.addConstr(h.qsum(ship[d, s] for d in DEPOTS) == demand, name=f"demand_{s}")
    return h


if __name__ == "__main__":
    h = build()
    h.run()
    print(h.getModelStatus(), h.getObjectiveValue())
