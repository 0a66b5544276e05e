"""The modelling layer: a problem (DoRaduvar), its variables and constraints written as Python.

    p = DoRaduvar("workshop", sense="max")
    chairs = p.variable("chairs", ub=40, integer=True)
    tables = p.variable("tables", integer=True)
    p.maximize(45 * chairs + 80 * tables)
    p.add(5 * chairs + 20 * tables <= 400, name="wood")
    result = p.solve()

Variables (`Var`), expressions (`Expr`) and constraints (`LinearConstraint`) are native objects
of zemlo._native: + - * / with numbers, sums (`sum()`, or `total()` for large generators) and
<=, >=, == run at native speed and build no intermediate copies of the terms. The problem
itself keeps its model in a `zemlo.Model`, reachable as `DoRaduvar.model` for the low-level API.

Names. Every name a problem is given (its variables, collections and constraints) must be one
a CPLEX LP file can carry (see `lp_name_problem`): such a name is refused with ValueError when
it is given, not when the file is written. Names that start with "_" are kept for names the
problem generates: "_x<i>" for variables made without a name, "_C<i>" for constraints. Names
made from index keys (`variables`) are made safe instead: characters an LP name cannot hold
become "_", and a collection whose keys then share a name is refused.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Union, cast

from zemlo import _native
from zemlo._files import write_model
from zemlo._names import lp_name_problem
from zemlo._native import Expr, LinearConstraint, Row, Var, VarArray
from zemlo._ondrel import Model, ObjSense

__all__ = ["DoRaduvar", "VarDict", "VarArray", "RowBlock", "total", "Var", "Expr", "LinearConstraint", "Row"]

Number = Union[int, float]
Linear = Union[Var, Expr, int, float]

_MINIMIZE_WORDS = {"min", "minimize", "minimise"}
_MAXIMIZE_WORDS = {"max", "maximize", "maximise"}


def total(items: Iterable[Any]) -> Expr:
    """The sum of numbers, variables and expressions as one expression, built in one pass:
    the fast equivalent of `sum()` for large generators."""
    return _native.total(items)


def _sense(sense: str | ObjSense) -> bool:
    """Whether `sense` ("min"/"minimize", "max"/"maximize" in any case, or an ObjSense)
    means maximising."""
    if isinstance(sense, ObjSense):
        return sense is ObjSense.Maximize
    if isinstance(sense, str):
        word = sense.strip().lower()
        if word in _MINIMIZE_WORDS:
            return False
        if word in _MAXIMIZE_WORDS:
            return True
    raise ValueError(f"sense must be 'minimize' or 'maximize' (or 'min'/'max', or an ObjSense), not {sense!r}")


def _check_name(name: object, what: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a {what} name must be a str, not {type(name).__name__}")
    problem = lp_name_problem(name)
    if problem is not None:
        raise ValueError(f"{what} name {name!r} {problem}")
    if name.startswith("_"):
        raise ValueError(f"{what} name {name!r} starts with '_', which names the problem generates keep")
    return name


def _bound(value: Number | None, default: float, what: str) -> float:
    if value is None:
        return default
    if isinstance(value, bool) or not (isinstance(value, (int, float)) or hasattr(value, "__float__")):
        raise TypeError(f"{what} must be a number or None, not {type(value).__name__}")
    x = float(value)
    if math.isnan(x):
        raise ValueError(f"{what} must not be NaN")
    return x


def _category(lb: float, ub: float, integer: bool, binary: bool) -> tuple[float, float, int]:
    if binary:
        return max(lb, 0.0), min(ub, 1.0), 2
    return lb, ub, 1 if integer else 0


# The collections `variables()` makes: a VarArray over ranges, a plain dict (the interpreter's
# fastest lookups by hashing) over other index sets; both are read-only mappings from key to Var.
VarDict = Mapping[Any, Var]
Mapping.register(VarArray)


class RowBlock(Sequence[Row]):
    """Rows added together: a sequence of Row, each made when it is read, so that a block of a
    million rows costs nothing until its rows are looked at."""

    def __init__(self, model: Model, first: int, count: int) -> None:
        self._model, self._first, self._count = model, first, count

    def __len__(self) -> int:
        return self._count

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, slice):
            return [self[k] for k in range(*i.indices(self._count))]
        k = i + self._count if i < 0 else i
        if not 0 <= k < self._count:
            raise IndexError("row index out of range")
        return _native.rows_of(self._model, self._first + k, 1)[0]

    def __iter__(self) -> Any:
        return iter(_native.rows_of(self._model, self._first, self._count))

    def __repr__(self) -> str:
        return f"<RowBlock of {self._count} rows from {self._first}>"


class DoRaduvar:
    """A linear or mixed-integer problem: variables, constraints and an objective.

    `name` names the problem (the NAME line of an MPS file); `sense` is "minimize" (the
    default) or "maximize", which `minimize()` and `maximize()` set again.
    """

    def __init__(self, name: str = "problem", sense: str | ObjSense = "minimize") -> None:
        if not isinstance(name, str):
            raise TypeError(f"the problem name must be a str, not {type(name).__name__}")
        problem = lp_name_problem(name) if name else None
        if problem is not None and "line break" in problem:
            raise ValueError(f"problem name {name!r} {problem}")
        self._model = Model(name)
        self._maximize = _sense(sense)
        self._model.set_sense(ObjSense.Maximize if self._maximize else ObjSense.Minimize)
        self._unnamed = 0
        self._collections: set[str] = set()
        self._explicit: set[str] | None = set()

    # --- the problem -----------------------------------------------------------------------

    @property
    def model(self) -> Model:
        """The low-level model the problem keeps (zemlo.Model), shared, not copied."""
        return self._model

    @property
    def name(self) -> str:
        from zemlo._files import model_name

        return model_name(self._model)

    @property
    def sense(self) -> str:
        """"minimize" or "maximize"."""
        return "maximize" if self._model.get_sense() is ObjSense.Maximize else "minimize"

    @property
    def num_variables(self) -> int:
        return self._model.num_variables

    @property
    def num_constraints(self) -> int:
        return self._model.num_constraints

    def __repr__(self) -> str:
        return (f"DoRaduvar({self.name!r}, {self.sense}, {self.num_variables} variables, "
                f"{self.num_constraints} constraints)")

    # --- variables -------------------------------------------------------------------------

    def variable(
        self,
        name: str | None = None,
        lb: Number | None = 0.0,
        ub: Number | None = math.inf,
        integer: bool = False,
        binary: bool = False,
    ) -> Var:
        """A new variable. Without a name it is called "_x<i>" (i its index). `lb` and `ub`
        bound it (None: unbounded on that side); `integer` makes it integer, `binary` an
        integer variable bounded by 0 and 1."""
        low, high, code = _category(_bound(lb, -math.inf, "lb"), _bound(ub, math.inf, "ub"), integer, binary)
        if name is None:
            var_name = f"_x{self._model.num_variables}"
        else:
            var_name = _check_name(name, "variable")
            self._claim(var_name)
        return _native.new_variable(self._model, var_name, low, high, code)

    def variables(
        self,
        name: str,
        *index_sets: Iterable[Any],
        lb: Number | None = 0.0,
        ub: Number | None = math.inf,
        integer: bool = False,
        binary: bool = False,
    ) -> Mapping[Any, Var]:
        """A collection of variables, one per key: the items of the one index set, or the
        tuples of the product of several (`x[i, j]` over two). Over ranges the collection is a
        VarArray, which finds x[i, j] by arithmetic; over other index sets a dict. Each is named
        name(key parts), e.g. x(3,7); parts other than ints appear as str() gives them, with
        characters an LP name cannot hold made "_". Bounds and kind as for `variable`."""
        base = _check_name(name, "collection")
        if not index_sets:
            raise TypeError("variables() needs at least one index set (for one variable use variable())")
        if base in self._collections:
            raise ValueError(f"a variable collection named {base!r} exists already")
        prefix = base + "("
        if any(n.startswith(prefix) for n in self._names()):
            raise ValueError(f"a variable named like {base}(...) exists already; choose another collection name")
        sets = [s if isinstance(s, (list, tuple, range)) else list(s) for s in index_sets]
        for s in sets:
            if type(s) is not range and len(set(s)) != len(s):
                raise ValueError(f"an index set of {base!r} repeats a key")
        low, high, code = _category(_bound(lb, -math.inf, "lb"), _bound(ub, math.inf, "ub"), integer, binary)
        made: Mapping[Any, Var]
        ranges = [s for s in sets if type(s) is range]
        if len(ranges) == len(sets):
            made = cast(Mapping[Any, Var], _native.new_variable_array(self._model, base, ranges, low, high, code))
        else:
            made = _native.new_variable_dict(self._model, base, sets, low, high, code)
        self._collections.add(base)
        return made

    def _names(self) -> set[str]:
        """The names given explicitly (for a problem over an existing model: all its names)."""
        if self._explicit is None:
            self._explicit = {n for n, _ in self._model.variables_dict()}
        return self._explicit

    def _claim(self, name: str) -> None:
        names = self._names()
        if name in names:
            raise ValueError(f"a variable named {name!r} exists already")
        head, paren, _ = name.partition("(")
        if paren and head in self._collections:
            raise ValueError(f"names of the form {head}(...) belong to the variable collection {head!r}")
        names.add(name)

    def all_variables(self) -> list[Var]:
        """Every variable of the problem, in the order they were made."""
        return _native.variables_of(self._model)

    def all_constraints(self) -> list[Row]:
        """Every constraint of the problem, in the order they were added."""
        return _native.rows_of(self._model)

    # --- constraints and the objective -----------------------------------------------------

    def add(self, constraint: LinearConstraint, name: str | None = None) -> Row:
        """Adds a constraint made with <=, >= or ==; returns its Row (name, and after a solve
        its dual, slack and value). Without a name the constraint is called "_C<n>"."""
        if name is not None:
            _check_name(name, "constraint")
        return _native.add_row(self._model, constraint, name)

    def add_matrix(
        self,
        matrix: Any,
        variables: Sequence[Var] | Mapping[Any, Var],
        sense: str | Sequence[str],
        rhs: Number | Sequence[Number] | Any,
        names: Sequence[str | None] | None = None,
    ) -> RowBlock:
        """Adds the rows `matrix @ variables <sense> rhs` at once.

        `matrix` is a SciPy sparse matrix or array (any format) or a CSR triple
        (indptr, indices, data) of a matrix with one column per variable; `variables` the
        variables of its columns, in order (a VarDict gives its values). `sense` is "<=", ">="
        or "==" for every row, or one per row; `rhs` a number or one per row; `names` None
        (automatic names) or one name (or None) per row. Either all rows are added or none.
        Returns the new rows as a RowBlock, a sequence of Row made as they are read.
        """
        import numpy as np

        indptr, indices, data, n_cols = _csr_parts(matrix)
        width = len(variables)
        if n_cols is not None and n_cols != width:
            raise ValueError(f"the matrix has {n_cols} columns for {width} variables")
        starts = np.ascontiguousarray(indptr, dtype=np.uint64)
        rows = len(starts) - 1
        ids, tail = self._column_ids(np.asarray(indices), variables)
        coeffs = np.ascontiguousarray(data, dtype=np.float64)
        senses = _sense_codes(sense, rows)
        right = np.full(rows, float(rhs)) if isinstance(rhs, (int, float)) else np.ascontiguousarray(
            rhs, dtype=np.float64)
        if names is not None:
            names = list(names)
            for n in names:
                if n is not None:
                    _check_name(n, "constraint")
        try:
            added = self._model.add_constraints_batch(starts, ids, coeffs, senses, right, names)
        except ValueError as exc:
            if tail and "variable id" in str(exc):
                raise ValueError(_outside(width)) from None
            raise
        return RowBlock(self._model, added.start, len(added))

    def _column_ids(self, column_index: Any, variables: Sequence[Var] | Mapping[Any, Var]) -> tuple[Any, bool]:
        """The variable ids of a matrix's column indices, checked against `variables`, and
        whether the variables are the model's last (the batch then refuses an index beyond
        them itself)."""
        import numpy as np

        if column_index.dtype.kind not in "iu":
            raise TypeError("the column indices of the matrix must be integers")
        width = len(variables)
        if not isinstance(variables, VarArray):
            columns = list(variables.values()) if isinstance(variables, Mapping) else variables
            if column_index.size and not (0 <= int(np.min(column_index)) and int(np.max(column_index)) < width):
                raise ValueError(_outside(width))
            return np.asarray(_native.var_ids(self._model, columns)).take(column_index), False
        # Its variables are consecutive: a column's id is an offset from the first (whose problem
        # is checked). When they are the model's last, an index beyond them names no variable,
        # and the batch refuses it itself: only a negative index needs a look.
        if variables.first is not None:
            _native.var_ids(self._model, [variables.first])
        first = variables.first_index
        tail = first + width == self._model.num_variables
        if column_index.size and (
                (column_index.dtype.kind == "i" and int(np.min(column_index)) < 0)
                or (not tail and int(np.max(column_index)) >= width)):
            raise ValueError(_outside(width))
        return np.add(column_index, first, dtype=np.uint64, casting="unsafe"), tail

    def minimize(self, objective: Linear) -> None:
        """Minimise `objective` (its constant kept)."""
        _native.set_objective(self._model, objective, False)

    def maximize(self, objective: Linear) -> None:
        """Maximise `objective` (its constant kept)."""
        _native.set_objective(self._model, objective, True)

    # --- solving and files -----------------------------------------------------------------

    def solve(
        self,
        solver: str = "highs",
        *,
        time_limit: float | None = None,
        mip_gap: float | None = None,
        threads: int | None = None,
        verbose: bool = False,
        options: dict[str, Any] | None = None,
    ) -> Any:
        """Solves the problem with `solver` ("highs", the default, "cbc" or "glpk") and checks
        the answer against the model; returns a SolveResult (`status`, `objective`, ...).
        Afterwards variables have their `value` and `reduced_cost`, rows their `dual`,
        `slack` and `value`. `mip_gap` is the relative gap at which a MIP search stops,
        `options` solver options by the solver's own names."""
        from zemlo._solve import solve

        return solve(self._model, solver, time_limit, mip_gap=mip_gap, threads=threads, verbose=verbose,
                     options=options)

    def write(self, path: str | os.PathLike[str], **options: Any) -> None:
        """Writes the problem to `path`: CPLEX LP for .lp, fixed MPS for .mps, gzip-compressed
        when the name ends in .gz. Options: rename, relax, obj_name, objsense (MPS),
        max_name_length and dummy_var_name (LP)."""
        write_model(self._model, path, **options)

    @classmethod
    def read(cls, path: str | os.PathLike[str], *, ranges: bool = False, lenient: bool = False) -> DoRaduvar:
        """A problem read from a file (plain or gzip, "-" for standard input): a CPLEX LP
        file when the name ends in .lp or .lp.gz, as `zemlo.load_lp` reads it with its `ranges`
        option, else an MPS file as `zemlo.load_mps` reads it, with its `ranges` and `lenient`
        options; its variables and constraints are in `all_variables()` and
        `all_constraints()`."""
        from zemlo._load import load_lp, load_mps

        name = os.fspath(path)
        if name.lower().endswith((".lp", ".lp.gz")):
            return cls.from_model(load_lp(name, ranges=ranges))
        return cls.from_model(load_mps(path, ranges=ranges, lenient=lenient))

    @classmethod
    def from_model(cls, model: Model) -> DoRaduvar:
        """A problem over an existing low-level Model (shared, not copied)."""
        self = cls.__new__(cls)
        self._model = model
        self._maximize = model.get_sense() is ObjSense.Maximize
        self._unnamed = 0
        self._collections = set()
        self._explicit = None  # the model's own names, gathered when a new name must be checked
        return self


def _csr_parts(matrix: Any) -> tuple[Any, Any, Any, int | None]:
    """(indptr, indices, data, columns or None) of a SciPy sparse matrix or a CSR triple."""
    if hasattr(matrix, "tocsr"):
        csr = matrix.tocsr()
        return csr.indptr, csr.indices, csr.data, csr.shape[1]
    indptr, indices, data = matrix
    return indptr, indices, data, None


def _outside(width: int) -> str:
    return f"a column index of the matrix is outside 0..{width - 1}"


_SENSE_CODES = {"<=": 0, "==": 1, "=": 1, ">=": 2}


def _sense_codes(sense: str | Sequence[str], rows: int) -> bytes:
    """The batch's sense codes: one sense for every row, or one per row."""
    if isinstance(sense, str):
        if sense not in _SENSE_CODES:
            raise ValueError(f"sense must be '<=', '>=' or '==', not {sense!r}")
        return bytes([_SENSE_CODES[sense]]) * rows
    try:
        return bytes(_SENSE_CODES[s] for s in sense)
    except (KeyError, TypeError):
        raise ValueError("each sense must be '<=', '>=' or '=='") from None
