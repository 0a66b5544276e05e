"""Ship cases from canning plants to markets at least freight cost (the classic textbook data)."""

import zemlo

SUPPLY = [350, 600]
DEMAND = [325, 300, 275]
COST = [[0.225, 0.153, 0.162], [0.225, 0.162, 0.126]]  # per case, plant to market


def build() -> zemlo.DoRaduvar:
    p = zemlo.DoRaduvar("transport")
    plants, markets = range(len(SUPPLY)), range(len(DEMAND))
    x = p.variables("x", plants, markets)
    p.minimize(zemlo.total(COST[i][j] * x[i, j] for i in plants for j in markets))
    for i in plants:
        p.add(zemlo.total(x[i, j] for j in markets) <= SUPPLY[i], name=f"supply{i}")
    for j in markets:
        p.add(zemlo.total(x[i, j] for i in plants) >= DEMAND[j], name=f"demand{j}")
    return p


if __name__ == "__main__":
    result = build().solve()
    print(result.status, result.objective)  # optimal 153.675
