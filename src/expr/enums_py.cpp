// The four enumeration classes: one singleton object per member, int(), repr(), and SosKind's
// comparison with members and integers.
#include <array>
#include <cstdint>

#include "module/objects_py.hpp"

namespace ondrel::py {

namespace {

struct EnumInfo {
    const char* class_name;
    std::array<const char*, 3> members;
    std::size_t count;
};

constexpr EnumInfo kSenseInfo{"Sense", {"LessEqual", "Equal", "GreaterEqual"}, 3};
constexpr EnumInfo kObjSenseInfo{"ObjSense", {"Minimize", "Maximize", nullptr}, 2};
constexpr EnumInfo kCategoryInfo{"Category", {"Continuous", "Integer", "Binary"}, 3};
constexpr EnumInfo kSosKindInfo{"SosKind", {"Sos1", "Sos2", nullptr}, 2};

// Process-wide cells: filled when the type is created, never emptied.
std::array<PyObject*, 3> sense_members{};
std::array<PyObject*, 3> obj_sense_members{};
std::array<PyObject*, 3> category_members{};
std::array<PyObject*, 3> sos_kind_members{};

const EnumInfo& info_of(PyObject* self) {
    PyTypeObject* t = Py_TYPE(self);
    if (t == sense_type()) return kSenseInfo;
    if (t == obj_sense_type()) return kObjSenseInfo;
    if (t == category_type()) return kCategoryInfo;
    return kSosKindInfo;
}

std::uint8_t code_of(PyObject* self) { return reinterpret_cast<EnumObject*>(self)->code; }

PyObject* enum_repr(PyObject* self) {
    const EnumInfo& info = info_of(self);
    const std::uint8_t c = code_of(self);
    return PyUnicode_FromFormat("%s.%s", info.class_name,
                                c < info.count ? info.members[c] : "?");
}

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(code_of(self)); }


PyObject* sos_kind_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    bool equal;
    if (Py_TYPE(other) == Py_TYPE(self)) {
        equal = code_of(self) == code_of(other);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(other));
        if (!index) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        // An integer outside the 64-bit range cannot be converted, like any other failure.
        if (overflow != 0) Py_RETURN_NOTIMPLEMENTED;
        equal = v == static_cast<long long>(code_of(self));
    }
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// Creates the member objects of the enumeration (once per process: they outlive any type
// object) and sets them as class attributes of the new type.
template <const EnumInfo& Info, std::array<PyObject*, 3>& Members>
bool add_members(PyTypeObject* t) {
    for (std::size_t i = 0; i < Info.count; ++i) {
        if (Members[i] == nullptr) {
            PyObject* m = allocate_instance(t);
            if (m == nullptr) return false;
            reinterpret_cast<EnumObject*>(m)->code = static_cast<std::uint8_t>(i);
            Members[i] = m;  // owned by the cell for the life of the process
        }
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(t), Info.members[i], Members[i]) < 0) return false;
    }
    return true;
}

#define ONDREL_ENUM_SLOTS                                                        \
    {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<EnumObject>)},     \
        ONDREL_SLOT(Py_tp_repr, enum_repr), ONDREL_SLOT(Py_nb_int, enum_int)

PyType_Slot sense_slots[] = {
    {Py_tp_doc, const_cast<char*>("Constraint sense: <=, ==, >=.")}, ONDREL_ENUM_SLOTS, {0, nullptr}};
PyType_Slot obj_sense_slots[] = {
    {Py_tp_doc, const_cast<char*>("Objective sense: minimize or maximize.")}, ONDREL_ENUM_SLOTS,
    {0, nullptr}};
PyType_Slot category_slots[] = {
    {Py_tp_doc, const_cast<char*>("Variable category: continuous, integer, or binary.")},
    ONDREL_ENUM_SLOTS,
    {0, nullptr}};
PyType_Slot sos_kind_slots[] = {
    {Py_tp_doc, const_cast<char*>("SOS type (CPLEX LP `S1::` / `S2::`).")},
    ONDREL_ENUM_SLOTS,
    ONDREL_SLOT(Py_tp_richcompare, sos_kind_richcompare),
    {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
    {0, nullptr}};

constexpr unsigned kEnumFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec sense_spec{
    .name = "builtins.Sense",
    .basicsize = sizeof(EnumObject),
    .itemsize = 0,
    .flags = kEnumFlags,
    .slots = sense_slots,
};
PyType_Spec obj_sense_spec{
    .name = "builtins.ObjSense",
    .basicsize = sizeof(EnumObject),
    .itemsize = 0,
    .flags = kEnumFlags,
    .slots = obj_sense_slots,
};
PyType_Spec category_spec{
    .name = "builtins.Category",
    .basicsize = sizeof(EnumObject),
    .itemsize = 0,
    .flags = kEnumFlags,
    .slots = category_slots,
};
PyType_Spec sos_kind_spec{
    .name = "builtins.SosKind",
    .basicsize = sizeof(EnumObject),
    .itemsize = 0,
    .flags = kEnumFlags,
    .slots = sos_kind_slots,
};

PyTypeObject* sense_cell = nullptr;
PyTypeObject* obj_sense_cell = nullptr;
PyTypeObject* category_cell = nullptr;
PyTypeObject* sos_kind_cell = nullptr;

PyObject* member(PyTypeObject* type, const std::array<PyObject*, 3>& members, std::uint8_t code) {
    if (type == nullptr) return nullptr;
    PyObject* m = members[code];
    Py_INCREF(m);
    return m;
}

}  // namespace

PyTypeObject* sense_type() {
    return cached_type(sense_cell, sense_spec, add_members<kSenseInfo, sense_members>);
}
PyTypeObject* obj_sense_type() {
    return cached_type(obj_sense_cell, obj_sense_spec, add_members<kObjSenseInfo, obj_sense_members>);
}
PyTypeObject* category_type() {
    return cached_type(category_cell, category_spec, add_members<kCategoryInfo, category_members>);
}
PyTypeObject* sos_kind_type() {
    return cached_type(sos_kind_cell, sos_kind_spec, add_members<kSosKindInfo, sos_kind_members>);
}

PyObject* enum_member(Sense s) {
    return member(sense_type(), sense_members, static_cast<std::uint8_t>(s));
}
PyObject* enum_member(ObjSense s) {
    return member(obj_sense_type(), obj_sense_members, static_cast<std::uint8_t>(s));
}
PyObject* enum_member(Category c) {
    return member(category_type(), category_members, static_cast<std::uint8_t>(c));
}
PyObject* enum_member(SosKind k) {
    return member(sos_kind_type(), sos_kind_members, static_cast<std::uint8_t>(k));
}

}  // namespace ondrel::py
