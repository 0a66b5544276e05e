"""A short tour of the native core: build a small model, show what it holds, write it as CPLEX
LP and fixed MPS files and read the MPS file back.

Run with ``zemlo demo``.
"""

import tempfile
from array import array
from pathlib import Path

from zemlo._files import LP_DUMMY_VAR_NAME, LP_MAX_NAME_LENGTH
from zemlo._ondrel import AffineExpr, Category, Model, ObjSense, Sense, read_mps, write_lp, write_mps


def main() -> None:
    """Print the tour on standard output."""
    m = Model("demo")
    x = m.add_variable("x", 0.0, float("inf"), Category.Continuous)
    y, z = m.add_variables_batch(["y", "z"], 0.0, 10.0, Category.Integer)

    objective = AffineExpr()
    objective.add_term_ids_coeffs(m, array("Q", [x.id(), y.id(), z.id()]), array("d", [3.0, 2.0, -1.0]))
    m.set_objective(objective)
    m.set_sense(ObjSense.Maximize)

    capacity = AffineExpr.from_variable(x)
    capacity.add_term(y, 1.0)
    capacity.set_constant(-4.0)
    capacity.set_sense(Sense.LessEqual)
    capacity.set_name("capacity")
    m.add_constraint(capacity)

    print(f"model with {m.num_variables} variables and {m.num_constraints} constraint(s)")
    print(f"objective sense: {m.get_sense()}")
    for v in (x, y, z):
        print(f"  {v.name}: [{v.lb}, {v.ub}] {v.category}")
    for c in m.list_constraints():
        print(f"  {c.name}: {c.str_repr()}")

    with tempfile.TemporaryDirectory() as tmp:
        lp, mps = Path(tmp) / "demo.lp", Path(tmp) / "demo.mps"
        written = write_lp(m, str(lp), mip=True, max_length=LP_MAX_NAME_LENGTH, obj_name="OBJ",
                           dummy_var_name=LP_DUMMY_VAR_NAME)
        print(f"\n{lp.name} ({len(written)} variables written):\n{lp.read_text()}")
        columns, rows, objective_row, _ = write_mps(m, str(mps), mps_sense=-1, mip=True, with_objsense=False,
                                                    rename=False, model_name="demo", obj_name="OBJ")
        print(f"{mps.name} (columns {columns}, rows {rows}, objective row {objective_row}):\n{mps.read_text()}")
        back = read_mps(str(mps), -1)
        print("read back:", [(v.name, v.cat, v.lowBound, v.upBound) for v in back.variables])
