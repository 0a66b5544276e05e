// Instance layouts and type objects of the module's classes, and the constructors the
// operations use to hand objects to Python.
#pragma once

#include "module/arguments_py.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/enums.hpp"
#include "model/store.hpp"

namespace ondrel::py {

struct ModelObject {
    PyObject_HEAD
    std::shared_ptr<SharedModel> model;
};

// The store of a Model object.
inline const std::shared_ptr<SharedModel>& model_of(PyObject* self) noexcept {
    return reinterpret_cast<ModelObject*>(self)->model;
}

struct VariableObject {
    PyObject_HEAD
    std::weak_ptr<SharedModel> model;
    VarId id;
};

struct ConstraintObject {
    PyObject_HEAD
    std::weak_ptr<SharedModel> model;
    ConstraintId id;
};

struct ExprObject {
    PyObject_HEAD
    ExprValue expr;
};

struct EnumObject {
    PyObject_HEAD
    std::uint8_t code;
};

// Cached type objects (created on first use, once per process); nullptr with an exception set
// when creation fails.
PyTypeObject* model_type();
PyTypeObject* variable_type();
PyTypeObject* constraint_type();
PyTypeObject* affine_expr_type();
PyTypeObject* category_type();
PyTypeObject* sense_type();
PyTypeObject* obj_sense_type();
PyTypeObject* sos_kind_type();

// New objects (new references), or nullptr with an exception set.
PyObject* new_model(std::shared_ptr<SharedModel> model);
PyObject* new_variable(const std::weak_ptr<SharedModel>& model, VarId id);
PyObject* new_constraint(const std::weak_ptr<SharedModel>& model, ConstraintId id);
PyObject* new_expr(ExprValue&& value);
// A list of handles for ids first .. first + count - 1.
PyObject* new_variable_range(const std::weak_ptr<SharedModel>& model, VarId first, std::size_t count);
// A list of (Variable, coefficient) tuples, one per term, handles made from `model`.
PyObject* handle_coeff_pairs(const std::weak_ptr<SharedModel>& model, std::span<const Term> terms);

// The singleton member object for a code (new reference), or nullptr with an exception set.
PyObject* enum_member(Sense s);
PyObject* enum_member(ObjSense s);
PyObject* enum_member(Category c);
PyObject* enum_member(SosKind k);

// Argument kinds for the module's own classes.
template <class E>
struct EnumOf {
    using value_type = E;
    static bool convert(PyObject* o, E& out);
};

template <class E>
PyTypeObject* enum_type_of();
template <>
inline PyTypeObject* enum_type_of<Sense>() { return sense_type(); }
template <>
inline PyTypeObject* enum_type_of<ObjSense>() { return obj_sense_type(); }
template <>
inline PyTypeObject* enum_type_of<Category>() { return category_type(); }
template <>
inline PyTypeObject* enum_type_of<SosKind>() { return sos_kind_type(); }

template <class E>
bool EnumOf<E>::convert(PyObject* o, E& out) {
    PyTypeObject* t = enum_type_of<E>();
    if (t == nullptr) return false;
    if (Py_TYPE(o) != t) {
        raise_wrong_type(t, o);
        return false;
    }
    out = static_cast<E>(reinterpret_cast<EnumObject*>(o)->code);
    return true;
}

using ModelArg = Instance<ModelObject, model_type>;
using VariableArg = Instance<VariableObject, variable_type>;
using ExprArg = Instance<ExprObject, affine_expr_type>;

// A Variable inside a sequence or pair: copied out as plain data at once, so the handle object
// may go away while later items are converted.
struct VariableRef {
    std::weak_ptr<SharedModel> model;
    VarId id = 0;
};
struct VariableRefKind {
    using value_type = VariableRef;
    static bool convert(PyObject* o, VariableRef& out) {
        VariableObject* v = nullptr;
        if (!VariableArg::convert(o, v)) return false;
        out.model = v->model;
        out.id = v->id;
        return true;
    }
};

// Codes of an enumeration for a batch: a buffer of one-byte codes (bytes, bytearray,
// array('B'), a NumPy uint8 array), taken as is and checked by the operation, or a sequence of
// members of E, copied into codes.
struct EnumCodes {
    BufferView buffer;
    std::vector<std::uint8_t> copied;
    bool from_buffer = false;

    std::span<const std::uint8_t> codes() const noexcept {
        return from_buffer ? buffer.items<std::uint8_t>() : std::span<const std::uint8_t>(copied);
    }
};

template <class E>
struct EnumCodesOf {
    using value_type = EnumCodes;
    static bool convert(PyObject* o, EnumCodes& out) {
        if (PyObject_CheckBuffer(o)) {
            out.from_buffer = true;
            return out.buffer.acquire(o, BufferItem::Byte);
        }
        typename SeqOf<EnumOf<E>>::value_type members;
        if (!SeqOf<EnumOf<E>>::convert(o, members)) return false;
        out.copied.reserve(members.size());
        for (E m : members) out.copied.push_back(static_cast<std::uint8_t>(m));
        return true;
    }
};

}  // namespace ondrel::py
