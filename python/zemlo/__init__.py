"""zemlo: linear and mixed-integer programming models in memory.

Write a problem as Python with `DoRaduvar`: variables, expressions with + - * / and sums
(`total` for large generators), constraints with <=, >= and ==, then `solve()`. Underneath,
build a model with `Model`, its variables and `AffineExpr` expressions, or load one from an MPS
file with `load_mps` or an LP file with `load_lp`; write it as a CPLEX LP file (`write_lp`) or a fixed MPS file
(`write_mps`); hand it to a solver with `solve`, which stores the solver's answer in the model
and checks it against the model's own bounds and constraints (`check_solution` runs that check
on whatever solution the model holds).

The classes and functions of the native core `zemlo._ondrel` are available here under the same
names.
"""

from importlib.metadata import PackageNotFoundError, version

from zemlo._load import load_lp, load_mps
from zemlo._problem import DoRaduvar, Expr, LinearConstraint, Row, RowBlock, Var, VarArray, VarDict, total
from zemlo._ondrel import (
    AffineExpr,
    Category,
    Constraint,
    Model,
    MpsCoefficient,
    MpsConstraint,
    MpsObjective,
    MpsParameters,
    MpsResult,
    MpsVariable,
    ObjSense,
    Sense,
    SosKind,
    Variable,
    read_mps,
    write_lp,
    write_mps,
)
from zemlo._solve import SolutionCheck, SolveResult, SolverError, check_solution, solve

try:
    __version__: str = version("zemlo")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "DoRaduvar",
    "Var",
    "VarDict",
    "VarArray",
    "Expr",
    "LinearConstraint",
    "Row",
    "RowBlock",
    "total",
    "Model",
    "Variable",
    "Constraint",
    "AffineExpr",
    "Category",
    "Sense",
    "ObjSense",
    "SosKind",
    "MpsParameters",
    "MpsCoefficient",
    "MpsObjective",
    "MpsVariable",
    "MpsConstraint",
    "MpsResult",
    "write_lp",
    "write_mps",
    "read_mps",
    "load_mps",
    "load_lp",
    "solve",
    "SolveResult",
    "SolverError",
    "check_solution",
    "SolutionCheck",
]
