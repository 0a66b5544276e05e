"""Building in bulk: add_constraints_batch stores each compressed row exactly as the row-by-row
path (AffineExpr filled by add_term_ids_coeffs, then add_constraint) would, and
add_variables_arrays as add_variable would; a failed call leaves the model as it was."""

from __future__ import annotations

import random
from array import array

import numpy as np
import pytest

from zemlo._ondrel import AffineExpr, Category, Model, Sense
from support import hexf, make_expr, snapshot, terms_of

INF = float("inf")
SENSES = [Sense.LessEqual, Sense.Equal, Sense.GreaterEqual]
NAMES = [None, "row", "  padded\u2003", "\u3000", "x y", "", "c\u00e9"]
UNDERSCORE = (
    "Constraint names must not start with '_'; names beginning with '_' are reserved for "
    "auto-generated constraints (_C1, _C2, ...)."
)


def random_rows(seed, n_vars, n_rows):
    """Rows with repeated ids, zero coefficients of both signs, every sense, and names that are
    absent, plain, padded with white space, blank or repeated."""
    rng = random.Random(seed)
    rows = []
    for i in range(n_rows):
        length = rng.choice([0, 1, 2, 5, 17, 40])
        ids = [rng.randrange(n_vars) for _ in range(length)]
        coeffs = [rng.choice([0.0, -0.0, 1.0, -2.5, rng.uniform(-9, 9)]) for _ in range(length)]
        name = rng.choice(NAMES)
        rows.append((ids, coeffs, rng.choice(SENSES), rng.choice([0.0, -0.0, 3.5, -1e300]),
                     None if name is None else f"{name}{i % 3}" if name == "row" else name))
    return rows


def add_row_by_row(model, rows):
    for ids, coeffs, sense, rhs, name in rows:
        e = AffineExpr()
        e.add_term_ids_coeffs(model, array("Q", ids), array("d", coeffs))
        e.set_sense(sense)
        e.set_constant(-rhs)
        if name is not None:
            e.set_name(name)
        model.add_constraint(e)


def as_arrays(rows):
    starts = array("Q", [0])
    for ids, *_ in rows:
        starts.append(starts[-1] + len(ids))
    return dict(
        starts=starts,
        ids=array("Q", [i for ids, *_ in rows for i in ids]),
        coeffs=array("d", [c for _, coeffs, *_ in rows for c in coeffs]),
        senses=bytes(int(r[2]) for r in rows),
        rhs=array("d", [r[3] for r in rows]),
        names=[r[4] for r in rows],
    )


def fresh(n_vars=12):
    m = Model("bulk")
    m.add_variables_batch([f"v{i}" for i in range(n_vars)], 0.0, 1.0, Category.Continuous)
    m.add_constraint(make_expr([], 1.0, Sense.Equal))  # the automatic counter starts above 0
    return m


def constraint_view(model):
    return [(c.name, hexf(c.rhs), c.sense, terms_of(c.items()), c.str_repr(), c.repr_str())
            for c in model.list_constraints()]


@pytest.mark.parametrize("seed", range(6))
def test_batch_equals_row_by_row(seed):
    rows = random_rows(seed, 12, 60)
    expected, got = fresh(), fresh()
    add_row_by_row(expected, rows)
    ids = got.add_constraints_batch(**as_arrays(rows))
    assert ids == range(1, 61)
    assert constraint_view(got) == constraint_view(expected)
    assert [(a, b, hexf(c)) for a, b, c in got.coefficients()] == \
        [(a, b, hexf(c)) for a, b, c in expected.coefficients()]
    assert snapshot(got) == snapshot(expected)


def test_argument_forms_and_defaults():
    """Senses as Sense members or as a NumPy uint8 array, names omitted (all automatic), NumPy
    buffers for the numbers, and an empty batch."""
    rows = random_rows(7, 12, 20)
    a = as_arrays(rows)
    expected, got = fresh(), fresh()
    add_row_by_row(expected, [(i, c, s, r, None) for i, c, s, r, _ in rows])
    got.add_constraints_batch(np.frombuffer(a["starts"], dtype=np.uint64), np.array(a["ids"], dtype=np.uint64),
                              np.array(a["coeffs"]), [r[2] for r in rows], np.array(a["rhs"]))
    assert snapshot(got) == snapshot(expected)
    assert got.add_constraints_batch(array("Q", [0]), array("Q"), array("d"), b"", array("d"), names=[]) \
        == range(21, 21)
    assert snapshot(got) == snapshot(expected)


def ok_args():
    return dict(starts=array("Q", [0, 2, 3]), ids=array("Q", [0, 1, 2]), coeffs=array("d", [1.0, 2.0, 3.0]),
                senses=bytes([0, 2]), rhs=array("d", [1.0, 2.0]), names=["a", None])


@pytest.mark.parametrize("change, error, message", [
    (dict(starts=array("Q")), ValueError, "starts must hold one offset per row plus a final one; it is empty"),
    (dict(starts=array("Q", [1, 2, 3])), ValueError, "starts[0] must be 0, got 1"),
    (dict(starts=array("Q", [0, 3, 2])), ValueError, "starts must not decrease: starts[2] = 2 is below starts[1] = 3"),
    (dict(starts=array("Q", [0, 2, 4])), ValueError, "starts[2] = 4 must equal the length of ids (3)"),
    (dict(coeffs=array("d", [1.0, 2.0])), ValueError, "ids length (3) and coeffs length (2) must match"),
    (dict(senses=bytes([0])), ValueError, "senses length (1) must equal the number of rows (2)"),
    (dict(rhs=array("d", [1.0, 2.0, 3.0])), ValueError, "rhs length (3) must equal the number of rows (2)"),
    (dict(names=["a"]), ValueError, "names length (1) must equal the number of rows (2)"),
    (dict(ids=array("Q", [0, 1, 99])), ValueError, "Row 1: variable id 99 is out of range (model has 12 variables)"),
    (dict(coeffs=array("d", [1.0, float("nan"), 3.0])), ValueError, "Row 0: non-finite coefficient in coeffs buffer"),
    # Two finite coefficients of one id that sum to infinity: refused as add_constraint refuses
    # the expression add_term_ids_coeffs builds from them.
    (dict(ids=array("Q", [0, 0, 2]), coeffs=array("d", [1e308, 1e308, 3.0])), ValueError,
     "Row 0: Invalid coefficient value: inf for variable id 0. Coefficients must be finite."),
    (dict(starts=array("Q", [0, 0, 40]), ids=array("Q", [1] * 40), coeffs=array("d", [-1e307] * 40)), ValueError,
     "Row 1: Invalid coefficient value: -inf for variable id 1. Coefficients must be finite."),
    (dict(senses=bytes([0, 3])), ValueError, "Row 1: invalid sense code 3 (codes are 0 LessEqual, 1 Equal, 2 GreaterEqual)"),
    (dict(rhs=array("d", [1.0, float("inf")])), ValueError,
     "Row 1: Invalid constraint RHS value: -inf. Coefficients and bounds must be finite."),
    (dict(names=["a", " \t_b"]), ValueError, "Row 1: " + UNDERSCORE),
    (dict(coeffs=array("f", [1.0, 2.0, 3.0])), BufferError,
     "expected a buffer of 64-bit floats (item format 'd', 8 bytes), got item format 'f' with item size 4"),
    (dict(starts=array("q", [0, 2, 3])), BufferError,
     "expected a buffer of unsigned 64-bit integers (item format 'Q', 8 bytes), got item format 'q' with item size 8"),
    (dict(senses=array("H", [0, 2])), BufferError,
     "expected a buffer of one-byte codes (item format 'B', 1 byte), got item format 'H' with item size 2"),
    (dict(senses=[Sense.Equal, 1]), TypeError, "expected Sense, got int"),
    (dict(names=["a", 7]), TypeError, "expected str or None, got int"),
    (dict(names="ab"), TypeError, "expected a sequence, got str"),
    (dict(ids=memoryview(array("Q", [0, 9, 1, 9, 2, 9]))[::2]), ValueError,
     "ids must be C-contiguous unsigned 64-bit integers (e.g. array.array('Q'))"),
])
def test_errors_leave_the_model_unchanged(change, error, message):
    m = fresh()
    before = snapshot(m)
    args = ok_args()
    args.update(change)
    with pytest.raises(error) as info:
        m.add_constraints_batch(**args)
    assert str(info.value) == message
    if error in (BufferError, TypeError):
        assert info.value.__notes__[-1].startswith("argument '")
    assert snapshot(m) == before


def test_first_failing_row_wins_and_nothing_is_stored():
    """Row 0 is fine, row 1 fails: row 0 is not stored and no automatic name is used."""
    m = fresh()
    before = snapshot(m)
    args = ok_args()
    args.update(names=[None, "_x"])
    with pytest.raises(ValueError, match="^Row 1: "):
        m.add_constraints_batch(**args)
    assert snapshot(m) == before


@pytest.mark.parametrize("seed", range(3))
def test_rows_stored_in_bulk_take_every_later_edit(seed):
    """Rows from batches (several, one of them failed) are then edited every way the API
    offers, in the same order as on rows added one by one; a copy of the model is edited too,
    and the original must not see it."""
    rng = random.Random(seed)
    batches = [random_rows(seed * 10 + k, 12, 25) for k in range(3)]
    expected, got = fresh(), fresh()
    for k, rows in enumerate(batches):
        add_row_by_row(expected, rows)
        got.add_constraints_batch(**as_arrays(rows))
        if k == 0:  # a failed batch between two good ones leaves nothing behind
            bad = as_arrays(random_rows(99, 12, 5))
            bad["rhs"][4] = float("nan")
            with pytest.raises(ValueError, match="^Row 4: "):
                got.add_constraints_batch(**bad)
    assert snapshot(got) == snapshot(expected)

    def edit(model, step):
        cid = step.randrange(model.num_constraints)
        c = model.list_constraints()[cid]
        kind = step.randrange(4)
        if kind == 0:  # new terms past the row's stored ones, existing ones, zeros removing them
            for _ in range(step.randrange(1, 20)):
                c.set_coefficient(model.get_variable(step.randrange(12)), step.choice([0.0, 1.5, -2.0]))
        elif kind == 1:
            model.add_column(f"col{step.random()}", 0.0, 1.0, Category.Continuous, 0.0,
                             [(step.randrange(model.num_constraints), 2.0) for _ in range(3)])
        elif kind == 2:
            model.remove_variables([step.randrange(12)])
        else:
            c.set_expr(make_expr([(model.get_variable(step.randrange(12)), 4.0)], 1.0, Sense.Equal))

    for _ in range(40):
        state = rng.getstate()
        edit(expected, rng)
        rng.setstate(state)
        edit(got, rng)
    assert snapshot(got) == snapshot(expected)
    before = snapshot(got)
    copy = got.copy_model()
    for _ in range(20):
        edit(copy, rng)
    assert snapshot(got) == before


def test_variables_arrays_equal_add_variable():
    specs = [("a", 0.0, 1.0, Category.Binary), ("b c", -np.inf, 4.5, Category.Integer),
             ("d", -0.0, np.inf, Category.Continuous), ("", 2.0, 2.0, Category.Integer)]
    expected, got = Model("v"), Model("v")
    for name, lb, ub, cat in specs:
        expected.add_variable(name, lb, ub, cat)
    ids = got.add_variables_arrays([s[0] for s in specs], np.array([s[1] for s in specs]),
                                   array("d", [s[2] for s in specs]), [s[3] for s in specs])
    assert ids == range(0, 4)
    assert snapshot(got) == snapshot(expected)
    # Codes as bytes, appended after the first batch.
    assert got.add_variables_arrays(["e"], array("d", [0.0]), array("d", [1.0]), b"\x02") == range(4, 5)
    assert got.get_variable(4).category == Category.Binary


@pytest.mark.parametrize("change, error, message", [
    (dict(lb=array("d", [0.0])), ValueError, "lb length (1) must equal the number of names (2)"),
    (dict(categories=b"\x00"), ValueError, "categories length (1) must equal the number of names (2)"),
    (dict(categories=b"\x00\x05"), ValueError,
     "Variable 1: invalid category code 5 (codes are 0 Continuous, 1 Integer, 2 Binary)"),
    (dict(names=["a", None]), TypeError, "expected str, got NoneType"),
])
def test_variables_arrays_errors_add_nothing(change, error, message):
    m = fresh()
    before = snapshot(m)
    args = dict(names=["a", "b"], lb=array("d", [0.0, 1.0]), ub=array("d", [1.0, 2.0]), categories=b"\x00\x01")
    args.update(change)
    with pytest.raises(error) as info:
        m.add_variables_arrays(**args)
    assert str(info.value) == message
    assert snapshot(m) == before


# --- Model.add_mps_result -------------------------------------------------------------------

MPS_TEXT = """\
NAME          small
ROWS
 N  cost
 L  lim
 G  need
 E  bal
COLUMNS
    MARKER                 'MARKER'                 'INTORG'
    n         cost         2.0   lim          1.0
    n         need         1.0
    MARKER                 'MARKER'                 'INTEND'
    x         cost        -1.5   lim          2.0
    x         bal          1.0   need        -0.0
    y         lim          1.0   bal         -1.0
RHS
    RHS       lim          8.0   need         1.0
    RHS       bal          0.5
BOUNDS
 UP BND       n            4.0
 FR BND       y
 LO BND       x           -2.0
ENDATA
"""


def by_hand(model, result):
    """What add_mps_result must do, through the public batch paths."""
    cols = result.variables
    index = {c.name: i for i, c in enumerate(cols)}
    first = model.num_variables
    model.add_variables_arrays([c.name for c in cols],
                               array("d", [-INF if c.lowBound is None else c.lowBound for c in cols]),
                               array("d", [INF if c.upBound is None else c.upBound for c in cols]),
                               [Category.Integer if c.cat == "Integer" else Category.Continuous for c in cols])
    rows = result.constraints
    starts, ids, coeffs = array("Q", [0]), array("Q"), array("d")
    for r in rows:
        ids.extend(first + index[t.name] for t in r.coefficients)
        coeffs.extend(t.value for t in r.coefficients)
        starts.append(len(ids))
    model.add_constraints_batch(starts, ids, coeffs, bytes(r.sense + 1 for r in rows),
                                array("d", [-r.constant for r in rows]), [r.name for r in rows])
    obj = AffineExpr()
    obj.add_term_ids_coeffs(model, array("Q", [first + index[t.name] for t in result.objective.coefficients]),
                            array("d", [t.value for t in result.objective.coefficients]))
    if result.objective.name is not None:
        obj.set_name(result.objective.name)
    model.set_objective(obj)


@pytest.fixture
def small(tmp_path):
    path = tmp_path / "small.mps"
    path.write_text(MPS_TEXT)
    return str(path)


@pytest.mark.parametrize("drop_names", [False, True])
@pytest.mark.parametrize("into", ["empty", "non-empty"])
def test_add_mps_result_equals_the_batch_paths(small, drop_names, into):
    from zemlo import read_mps

    models = []
    for _ in range(2):
        m = fresh(3) if into == "non-empty" else Model("small")
        models.append(m)
    by_hand(models[0], read_mps(small, 1, drop_names))
    models[1].add_mps_result(read_mps(small, 1, drop_names))
    assert snapshot(models[1]) == snapshot(models[0])
    assert models[1].get_objective().name == (None if drop_names else "cost")


def test_add_mps_result_matches_moved_records_by_name_and_refuses_strangers(small):
    from zemlo import read_mps

    a, b = read_mps(small, 1), read_mps(small, 1)
    # Records of another read are matched to this read's columns by their names.
    a.constraints[0].coefficients[:] = b.constraints[1].coefficients
    expected, got = Model("m"), Model("m")
    by_hand(expected, a)
    got.add_mps_result(a)
    assert snapshot(got) == snapshot(expected)

    m = fresh()
    before = snapshot(m)
    c = read_mps(small, 1)
    c.variables.pop()  # y is gone, but rows still name it
    with pytest.raises(ValueError, match='^coefficient names no variable: "y"$'):
        m.add_mps_result(c)
    d = read_mps(small, 1)
    d.constraints[2].coefficients.append(d.variables[0])
    with pytest.raises(TypeError, match="^expected MpsCoefficient, got builtins.MpsVariable$"):
        m.add_mps_result(d)
    with pytest.raises(TypeError, match="^expected MpsResult, got builtins.Model\n"):
        m.add_mps_result(m)
    assert snapshot(m) == before


def test_add_mps_result_checks_rows_before_adding_anything(tmp_path):
    from zemlo import read_mps

    path = tmp_path / "r.mps"
    path.write_text(MPS_TEXT.replace(" need", " _need"))
    m = fresh()
    before = snapshot(m)
    with pytest.raises(ValueError, match="^Row 1: Constraint names must not start with '_'"):
        m.add_mps_result(read_mps(str(path), 1))
    path.write_text(MPS_TEXT.replace("bal          0.5", "bal          inf"))
    with pytest.raises(ValueError, match="^Row 2: Invalid constraint RHS value: -inf"):
        m.add_mps_result(read_mps(str(path), 1))
    assert snapshot(m) == before
