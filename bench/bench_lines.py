"""Lines of code: each example of examples/ written with zemlo's modelling layer against the same
model in highspy's own modelling API (bench/lines/), counting the lines that hold code (not
blank lines, comments, docstrings or the part that runs the file as a script).

Target: no example longer than its highspy counterpart.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ["workshop", "transportation", "knapsack", "facility"]


def code_lines(path: Path) -> int:
    tree = ast.parse(path.read_text())
    lines: set[int] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.stmt):
            lines.update(range(node.lineno, (node.end_lineno or node.lineno) + 1))
    # Statements inside the script part and docstrings were added by their parents: take them out.
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and isinstance(node.test, ast.Compare) and \
                isinstance(node.test.left, ast.Name) and node.test.left.id == "__name__":
            lines.difference_update(range(node.lineno, (node.end_lineno or node.lineno) + 1))
        if isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant) and isinstance(node.value.value, str):
            lines.difference_update(range(node.lineno, (node.end_lineno or node.lineno) + 1))
    text = path.read_text().splitlines()
    return sum(1 for n in lines if text[n - 1].strip() and not text[n - 1].strip().startswith("#"))


def main() -> int:
    missed = []
    print(f"{'model':16}{'zemlo':>8}{'highspy':>9}")
    for name in EXAMPLES:
        ours = code_lines(ROOT / "examples" / f"{name}.py")
        theirs = code_lines(ROOT / "bench" / "lines" / f"{name}_highspy.py")
        print(f"{name:16}{ours:>8}{theirs:>9}")
        if ours > theirs:
            missed.append(name)
    if missed:
        print("longer than highspy:", ", ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
