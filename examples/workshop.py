"""A workshop makes chairs and tables from wood and labour: how many of each for most profit?"""

import zemlo


def build() -> zemlo.DoRaduvar:
    p = zemlo.DoRaduvar("workshop", sense="max")
    chairs = p.variable("chairs", ub=40, integer=True)
    tables = p.variable("tables", integer=True)
    p.maximize(45 * chairs + 80 * tables)
    p.add(5 * chairs + 20 * tables <= 400, name="wood")
    p.add(10 * chairs + 15 * tables <= 450, name="labour")
    return p


if __name__ == "__main__":
    result = build().solve()
    print(result.status, result.objective, result.values)  # optimal 2200.0 {'chairs': 24.0, 'tables': 14.0}
