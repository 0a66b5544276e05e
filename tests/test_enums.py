"""The four enumerations: singleton members, int() and repr(), SosKind's comparison with
integers, identity semantics of the others, and their refusal of anything but their own
members where a parameter asks for one."""

from __future__ import annotations

import operator

import pytest

from zemlo import _ondrel as z

MEMBERS = [
    (z.Sense, "LessEqual", 0), (z.Sense, "Equal", 1), (z.Sense, "GreaterEqual", 2),
    (z.ObjSense, "Minimize", 0), (z.ObjSense, "Maximize", 1),
    (z.Category, "Continuous", 0), (z.Category, "Integer", 1), (z.Category, "Binary", 2),
    (z.SosKind, "Sos1", 0), (z.SosKind, "Sos2", 1),
]
ALL_MEMBERS = [getattr(cls, name) for cls, name, _ in MEMBERS]


@pytest.mark.parametrize(("cls", "name", "value"), MEMBERS, ids=[f"{c.__name__}.{n}" for c, n, _ in MEMBERS])
def test_member(cls, name, value):
    m = getattr(cls, name)
    assert type(m) is cls
    assert getattr(cls, name) is m
    assert int(m) == value and type(int(m)) is int
    assert repr(m) == str(m) == f"{cls.__name__}.{name}"
    with pytest.raises(TypeError):
        operator.index(m)
    with pytest.raises(TypeError):
        m < m  # noqa: B015


def test_each_class_has_exactly_its_members():
    for cls in (z.Sense, z.ObjSense, z.Category, z.SosKind):
        names = sorted(n for n in vars(cls) if not n.startswith("_"))
        assert names == sorted(n for c, n, _ in MEMBERS if c is cls)
        with pytest.raises(TypeError):
            cls()


def test_getters_hand_out_the_singletons():
    m = z.Model("m")
    assert m.get_sense() is z.ObjSense.Minimize
    m.set_sense(z.ObjSense.Maximize)
    assert m.get_sense() is z.ObjSense.Maximize
    x = m.add_variable("x", 0.0, 1.0, z.Category.Binary)
    assert x.category is z.Category.Binary
    x.set_category(z.Category.Integer)
    assert x.category is z.Category.Integer
    e = z.AffineExpr()
    for s in (z.Sense.LessEqual, z.Sense.Equal, z.Sense.GreaterEqual):
        e.set_sense(s)
        assert e.sense is s


S1, S2 = z.SosKind.Sos1, z.SosKind.Sos2


class Indexable:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    ("left", "right", "equal"),
    [
        (S2, 1, True), (1, S2, True), (S2, True, True), (S1, False, True), (S1, 0, True),
        (S2, Indexable(1), True), (S2, 0, False), (S1, 1, False), (S1, -1, False),
        (S1, 2**64, False), (S1, 0.0, False), (S2, 1.0, False), (S1, "0", False),
        (S1, None, False), (S1, S1, True), (S1, S2, False),
        (S1, z.Sense.LessEqual, False), (S2, z.ObjSense.Maximize, False),
    ],
)
def test_sos_kind_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


def test_sos_kind_is_unhashable_and_unordered():
    with pytest.raises(TypeError):
        hash(S1)
    with pytest.raises(TypeError):
        {S2}  # noqa: B018
    for other in (S2, 1, 0.5):
        with pytest.raises(TypeError):
            S1 < other  # noqa: B015
        with pytest.raises(TypeError):
            S1 >= other  # noqa: B015


def test_other_enumerations_compare_by_identity_and_hash():
    hashable = [m for m in ALL_MEMBERS if type(m) is not z.SosKind]
    table = {m: i for i, m in enumerate(hashable)}
    assert [table[m] for m in hashable] == list(range(len(hashable)))
    for m in hashable:
        assert hash(m) == hash(m)
        assert m == m and not (m != m)
        assert m != int(m) and not (m == int(m))
        assert all(m != o for o in ALL_MEMBERS if o is not m)
    assert (z.Sense.Equal == 1) is False
    assert (z.Sense.Equal != 1) is True


def sense_of_expr(v):
    z.AffineExpr().set_sense(v)


def obj_sense_of_model(v):
    z.Model("m").set_sense(v)


def category_of_variable(v):
    m = z.Model("m")
    m.add_variable("x", 0.0, 1.0, z.Category.Continuous).set_category(v)


def category_of_new_variable(v):
    z.Model("m").add_variable("x", 0.0, 1.0, v)


def kind_of_sos_group(v):
    z.Model("m").add_sos_group(v, None, [])


@pytest.mark.parametrize(
    ("setter", "own", "parameter"),
    [
        (sense_of_expr, z.Sense, "sense"),
        (obj_sense_of_model, z.ObjSense, "sense"),
        (category_of_variable, z.Category, "category"),
        (category_of_new_variable, z.Category, "category"),
        (kind_of_sos_group, z.SosKind, "kind"),
    ],
    ids=lambda p: getattr(p, "__name__", str(p)),
)
def test_enumeration_parameters_take_only_their_own_members(setter, own, parameter):
    for member in ALL_MEMBERS:
        if type(member) is own:
            setter(member)
            continue
        with pytest.raises(TypeError) as info:
            setter(member)
        assert any(f"'{parameter}'" in n for n in info.value.__notes__)
    for wrong in (0, 1, True, "Equal", "Binary", None, 1.0, own):
        with pytest.raises(TypeError):
            setter(wrong)
