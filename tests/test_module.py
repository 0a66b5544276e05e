"""The module object, its fourteen classes and three functions, and the ownership of a model
store by Model objects (handles that outlive their model, stores shared by several Models)."""

from __future__ import annotations

import gc
import inspect
import subprocess
import sys
import weakref

import pytest

from zemlo import _ondrel as z
from support import LOST_EXPR, LOST_HANDLE

ALL = [
    "Model", "Variable", "Constraint", "AffineExpr", "Category", "Sense", "ObjSense", "SosKind",
    "MpsParameters", "MpsCoefficient", "MpsObjective", "MpsVariable", "MpsConstraint", "MpsResult",
    "write_lp", "write_mps", "read_mps",
]

AFFINE_DOC = (
    "Affine expression: sum_i coeff_i * x_i + constant.\n"
    "Optionally carries sense (for pending constraints) and name.\n"
    "Holds a weak model ref acquired automatically from the first variable."
)
HANDLE_DOC = "Handle to a {} stored inside a `ModelCore`. Only created by the model."

# name, docstring attribute, text signature, has a constructor
CLASSES = [
    ("Model", "High-level model handle exposed to Python.", "(name)", True),
    ("Variable", HANDLE_DOC.format("variable"), None, False),
    ("Constraint", HANDLE_DOC.format("constraint"), None, False),
    ("AffineExpr", AFFINE_DOC, "()", True),
    ("Category", "Variable category: continuous, integer, or binary.", None, False),
    ("Sense", "Constraint sense: <=, ==, >=.", None, False),
    ("ObjSense", "Objective sense: minimize or maximize.", None, False),
    ("SosKind", "SOS type (CPLEX LP `S1::` / `S2::`).", None, False),
    ("MpsParameters", None, None, False),
    ("MpsCoefficient", None, None, False),
    ("MpsObjective", None, None, False),
    ("MpsVariable", None, None, False),
    ("MpsConstraint", None, None, False),
    ("MpsResult", None, None, False),
]


Py_TPFLAGS_HAVE_GC = 1 << 14


def test_module_object():
    assert z.__name__ == "zemlo._ondrel"
    assert z.__doc__ == "Python module definition. This will be exposed as `zemlo._ondrel`."
    assert z.__all__ == ALL
    # Nothing public besides what __all__ lists.
    assert sorted(n for n in vars(z) if not n.startswith("__")) == sorted(ALL)


def test_types_are_created_once_per_process():
    # Re-running the module's execution step (reload) hands out the same type objects and the
    # same enumeration members.
    code = (
        "import importlib\n"
        "from zemlo import _ondrel as z\n"
        "before = [getattr(z, n) for n in ('Model', 'AffineExpr', 'Sense', 'MpsResult')]\n"
        "member = z.Sense.Equal\n"
        "importlib.reload(z)\n"
        "after = [getattr(z, n) for n in ('Model', 'AffineExpr', 'Sense', 'MpsResult')]\n"
        "assert all(a is b for a, b in zip(before, after)), (before, after)\n"
        "assert z.Sense.Equal is member\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


@pytest.mark.parametrize(("name", "doc", "signature", "constructible"), CLASSES, ids=[c[0] for c in CLASSES])
def test_class_properties(name, doc, signature, constructible):
    cls = getattr(z, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    # No per-instance dictionary, no weak-reference slot, not tracked by the cyclic collector.
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC
    if not constructible:
        with pytest.raises(TypeError):
            cls()


def instances():
    m = z.Model("m")
    x = m.add_variable("x", 0.0, 1.0, z.Category.Continuous)
    e = z.AffineExpr.from_variable(x)
    e.set_sense(z.Sense.LessEqual)
    c = m.add_constraint(e)
    return [m, x, c, e, z.Category.Binary, z.Sense.Equal, z.ObjSense.Maximize, z.SosKind.Sos2]


def test_instances_have_no_dict_and_no_weak_references():
    for obj in instances():
        with pytest.raises(AttributeError):
            obj.some_attribute = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert not gc.is_tracked(obj)


def test_constructors():
    # The name given, or "Model" for None; a new model holds nothing.
    assert z.Model("m").summary() == "Model(name=m, vars=0, constraints=0, objective=unset)"
    assert z.Model(name=None).summary() == "Model(name=Model, vars=0, constraints=0, objective=unset)"
    e = z.AffineExpr()
    assert (e.num_terms(), e.constant, e.sense, e.name, e.keys()) == (0, 0.0, None, None, [])


FUNCTIONS = [
    ("write_lp", "(model, filename, mip, max_length, obj_name, dummy_var_name)",
     "Write an LP file from the Model (only variables used in objective, constraints, or SOS)."),
    ("write_mps", "(model, filename, mps_sense, mip, with_objsense, rename, model_name, obj_name)",
     "Write an MPS file from the Model (only used variable columns). Returns `(variable_names, "
     "constraint_names, objective_name, zemlo_names_in_column_order)`: `variable_names` are file "
     "tokens (`X0000000` when `rename`); `zemlo_names_in_column_order` are the original zemlo "
     "variable names in the same column order (for solution readback)."),
    ("read_mps", "(path, sense, drop_cons_names=False)",
     "Parse an MPS file and return an MpsResult object (Python builds MPS dataclass from it)."),
]


@pytest.mark.parametrize(("name", "signature", "doc"), FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_module_functions(name, signature, doc):
    fn = getattr(z, name)
    assert fn.__name__ == name
    assert fn.__self__ is z
    assert fn.__text_signature__ == signature
    # Line breaks inside the prose are the writer's choice; the words are not.
    assert " ".join(fn.__doc__.split()) == doc


def callables_with_parameters():
    """(label, callable) for the module functions, Model() and every method of the four classes."""
    objs = instances()
    out = [(n, getattr(z, n)) for n in ("write_lp", "write_mps", "read_mps")]
    out.append(("Model", z.Model))
    for obj in objs[:4]:
        for name, attr in vars(type(obj)).items():
            if name.startswith("__") or not callable(attr):
                continue
            bound = getattr(obj, name)
            out.append((f"{type(obj).__name__}.{name}", bound))
    return out


def test_every_method_declares_a_text_signature_with_plain_parameters():
    # Every parameter is positional-or-keyword: no "/", no "*", no variable argument lists.
    for label, fn in callables_with_parameters():
        params = inspect.signature(fn).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params), label


class Unconvertible:
    """Accepted by no parameter kind."""


def test_every_parameter_is_accepted_by_keyword():
    # All arguments by keyword, each of a type no parameter accepts: binding must succeed, so
    # the call fails in the conversion of the first parameter, and a note names it.
    checked = 0
    for label, fn in callables_with_parameters():
        names = list(inspect.signature(fn).parameters)
        if not names:
            continue
        with pytest.raises(TypeError) as info:
            fn(**{n: Unconvertible() for n in names})
        assert any(f"'{names[0]}'" in note for note in getattr(info.value, "__notes__", [])), (
            label, info.value)
        checked += 1
    assert checked > 40


# ---------------------------------------------------------------------------------------------
# Model stores and the handles that refer to them.

def test_model_none_is_named_model():
    m = z.Model(None)
    assert m.summary() == "Model(name=Model, vars=0, constraints=0, objective=unset)"
    assert z.Model("").summary() == "Model(name=, vars=0, constraints=0, objective=unset)"


def test_handles_outliving_their_model():
    m = z.Model("m")
    x, y = m.add_variables_batch(["x", "y"], 0.0, 1.0, z.Category.Continuous)
    e = z.AffineExpr.from_variable(y)
    e.set_sense(z.Sense.GreaterEqual)
    c = m.add_constraint(e)
    del m
    assert (x.id(), y.id(), c.id()) == (0, 1, 0)
    for read in (lambda: x.name, lambda: x.lb, lambda: x.value, lambda: x.model_identity(),
                 lambda: x.containing_model(), lambda: x.set_lb(2.0), lambda: x.is_free()):
        with pytest.raises(ValueError) as info:
            read()
        assert str(info.value) == LOST_HANDLE
    # Arguments are converted before the model is looked at.
    with pytest.raises(TypeError):
        x.set_lb("2")
    # The expression keeps what needs no model and reports the lost model for the rest.
    assert e.values() == [1.0]
    assert e.num_terms() == 1
    for read in (e.keys, e.items):
        with pytest.raises(ValueError) as info:
            read()
        assert str(info.value) == LOST_EXPR


def test_containing_model_keeps_the_store_alive():
    m = z.Model("m")
    x = m.add_variable("x", -1.0, 4.0, z.Category.Integer)
    owner = x.containing_model()
    assert isinstance(owner, z.Model) and owner is not m
    assert x.containing_model() is not owner
    del m
    assert (x.name, x.lb, x.ub) == ("x", -1.0, 4.0)
    assert owner.num_variables == 1
    y = owner.add_variable("y", 0.0, 1.0, z.Category.Binary)
    assert y.model_identity() == x.model_identity()
    del owner
    with pytest.raises(ValueError):
        x.name


def test_models_sharing_a_store_see_each_others_changes():
    m = z.Model("m")
    other = z.Model("m")
    x = m.add_variable("x", 0.0, 1.0, z.Category.Continuous)
    twin = x.containing_model()
    y = twin.add_variable("y", 0.0, 1.0, z.Category.Continuous)
    ys = m.add_variables_batch(["a", "b"], 0.0, 1.0, z.Category.Continuous)
    assert m.num_variables == twin.num_variables == 4
    assert [v.id() for v in (x, y, *ys)] == [0, 1, 2, 3]
    assert y.name == "y"
    identity = x.model_identity()
    assert {v.model_identity() for v in (y, *ys)} == {identity}
    assert other.add_variable("z", 0.0, 1.0, z.Category.Continuous).model_identity() != identity
    assert other.num_variables == 1


def test_demo_runs_and_round_trips_its_files():
    run = subprocess.run([sys.executable, "-m", "zemlo", "demo"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert "capacity: x + y <= 4\n" in run.stdout
    assert "\nEnd\n" in run.stdout and "\nENDATA\n" in run.stdout
    assert "read back: [('x', 'Continuous', 0.0, None), ('y', 'Integer', 0.0, 10.0)" in run.stdout
