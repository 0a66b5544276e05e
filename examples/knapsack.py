"""Fill a knapsack with the most valuable of 50 items whose weights must not exceed its capacity."""

import zemlo

WEIGHTS = [(7 * i * i + 3 * i) % 23 + 4 for i in range(50)]
VALUES = [(11 * i + 5) % 29 + 3 for i in range(50)]
CAPACITY = 200


def build() -> zemlo.DoRaduvar:
    p = zemlo.DoRaduvar("knapsack", sense="max")
    take = p.variables("take", range(50), binary=True)
    p.maximize(zemlo.total(VALUES[i] * take[i] for i in range(50)))
    p.add(zemlo.total(WEIGHTS[i] * take[i] for i in range(50)) <= CAPACITY, name="capacity")
    return p


if __name__ == "__main__":
    result = build().solve()
    print(result.status, result.objective)
