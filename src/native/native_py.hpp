// zemlo._native: the native side of the modelling layer, a binding of its own beside the
// specified module zemlo._ondrel, on the same core library. It reaches the store of an
// _ondrel.Model object (the layout of module/objects_py.hpp) and adds what the layer needs:
// variables (Var) with the number protocol, linear expressions (Expr) that sums extend in
// place of copying, constraints from comparisons (LinearConstraint), stored-row handles (Row),
// the model as arrays and a whole solution back, and the solution check in one pass.
#pragma once

#include "module/arguments_py.hpp"
#include "module/objects_py.hpp"

#include <cstdlib>
#include <memory>
#include <new>

#include "model/store.hpp"

namespace ondrel::py::native {

// ---------------------------------------------------------------------------------------------
// Terms of expressions.
//
// An expression views the first `len` terms of a block; ids may repeat (they are summed when
// the expression is stored). Adding to an expression that views its whole block appends to
// the block, so a sum of n terms costs O(n): the expressions before the addition still view
// their own, shorter, prefix, which never changes. Adding to an expression that views less than
// its block (someone appended after it) copies its prefix into a new block first. The blocks
// are reached only with the interpreter lock held.
struct TermBlock {
    std::size_t refs;
    std::size_t size;
    std::size_t capacity;
    Term terms[1];  // `capacity` of them

    static TermBlock* make(std::size_t capacity) {
        if (capacity == 0) capacity = 1;
        void* p = std::malloc(sizeof(TermBlock) + (capacity - 1) * sizeof(Term));
        if (p == nullptr) throw std::bad_alloc();
        auto* b = static_cast<TermBlock*>(p);
        b->refs = 1;
        b->size = 0;
        b->capacity = capacity;
        return b;
    }
};

inline void release(TermBlock* b) noexcept {
    if (b != nullptr && --b->refs == 0) std::free(b);
}

// The value of an expression: terms, constant and the store its variables belong to (none
// while it has no variable). A single term is kept inline, without a block. `anchor` is one of
// the expression's variables (a Var object, held), through which the store is reached to read
// names and values: holding an object costs a plain increment where a weak reference of its own
// would cost two atomic operations per expression.
struct LinData {
    TermBlock* block = nullptr;
    std::size_t len = 0;
    Term single{};
    double constant = 0.0;
    SharedModel* store = nullptr;  // identity of the variables' store
    PyObject* anchor = nullptr;    // a Var of that store

    LinData() = default;
    LinData(const LinData& o)
        : block(o.block), len(o.len), single(o.single), constant(o.constant), store(o.store), anchor(o.anchor) {
        if (block != nullptr) ++block->refs;
        Py_XINCREF(anchor);
    }
    LinData(LinData&& o) noexcept
        : block(o.block), len(o.len), single(o.single), constant(o.constant), store(o.store), anchor(o.anchor) {
        o.block = nullptr;
        o.len = 0;
        o.anchor = nullptr;
    }
    LinData& operator=(LinData o) noexcept {
        std::swap(block, o.block);
        std::swap(len, o.len);
        std::swap(single, o.single);
        std::swap(constant, o.constant);
        std::swap(store, o.store);
        std::swap(anchor, o.anchor);
        return *this;
    }
    ~LinData() {
        release(block);
        Py_XDECREF(anchor);
    }

    const Term* terms() const noexcept { return block != nullptr ? block->terms : &single; }
    // The store of the variables, or nothing when it is gone or there is no variable.
    std::shared_ptr<SharedModel> model() const;
};

// ---------------------------------------------------------------------------------------------
// Instance layouts.

struct VarObject {
    PyObject_HEAD
    std::weak_ptr<SharedModel> model;
    SharedModel* store;
    VarId id;
};

struct LinExprObject {
    PyObject_HEAD
    LinData data;
};

// A constraint not yet stored: data <sense> 0, that is terms + constant <sense> 0. `same` is
// set for `x == y` between two variables (1 when they are the same variable), whose truth
// value dictionaries and containers ask for; every other constraint has none.
struct LinConstraintObject {
    PyObject_HEAD
    LinData data;
    Sense sense;
    signed char same;  // -1: no truth value
};

struct RowObject {
    PyObject_HEAD
    std::weak_ptr<SharedModel> model;
    ConstraintId id;
};

PyTypeObject* var_type();
PyTypeObject* lin_expr_type();
PyTypeObject* lin_constraint_type();
PyTypeObject* row_type();
PyTypeObject* array_type();
PyTypeObject* var_array_type();

PyObject* new_var(const std::shared_ptr<SharedModel>& model, VarId id);
// A Var of the store `store` reached through `model`.
PyObject* new_var(const std::weak_ptr<SharedModel>& model, SharedModel* store, VarId id);
PyObject* new_row(const std::shared_ptr<SharedModel>& model, ConstraintId id);
PyObject* new_lin_expr(LinData&& data);

// The sum of the items of an iterable (numbers, variables, expressions), as one expression.
PyObject* total(PyObject* iterable);

extern PyMethodDef native_functions[];
extern PyMethodDef var_array_functions[];
extern PyMethodDef load_functions[];
extern PyMethodDef load_lp_functions[];
extern PyMethodDef write_functions[];

// Any object, borrowed from the arguments.
struct Object {
    using value_type = PyObject*;
    static bool convert(PyObject* o, PyObject*& out) {
        out = o;
        return true;
    }
};

// _ondrel.Model, found once by importing zemlo._ondrel (its type object lives there).
bool init_model_type();
// A new _ondrel.Model object owning `model`.
PyObject* new_low_model(std::shared_ptr<SharedModel> model);
struct LowModel {
    using value_type = std::shared_ptr<SharedModel>;
    static bool convert(PyObject* o, value_type& out);
};

}  // namespace ondrel::py::native
