// The six record classes that read_mps returns, and the code that builds them from parsed data.
//
// Records are read-only value holders. Strings and numbers are stored natively and each read
// builds a new Python value; lists and records are stored as Python objects and returned
// themselves. A file of millions of coefficients makes millions of MpsCoefficient objects, and
// what they cost to build, to keep, to walk and to release is most of what read_mps costs on
// large files. So:
//
// - All names of one read live in one block (NameBlock), each with the column it names; a
//   record points at its name's entry, and the block counts the records and coefficient chunks
//   that do. Updating that count touches one cache line, not one per name.
// - MpsCoefficient objects are not allocated one by one: they are laid out in chunks of 1 MiB,
//   row after row, each row's coefficients in file order, which is the order the lists hold
//   them in. Walking a row's list, or releasing the records, then reads memory in order. Each
//   chunk counts its live objects and is freed with the last one.
//
// An MpsCoefficient is 32 bytes: the object header, the name entry pointer and the value.
#include "io/mps_records_py.hpp"

#include "base/name_table.hpp"
#include "base/numeric.hpp"
#include "model/names.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace ondrel::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Names. Only touched with the interpreter lock held, so the counts need no atomics.

struct NameBlock;

// One name inside a NameBlock: its size, the column it names (kNoColumn for a row, the
// objective or the problem), then its bytes.
struct NameEntry {
    static constexpr std::uint32_t kNoColumn = 0xFFFFFFFFu;
    NameBlock* block;
    std::uint32_t size;
    std::uint32_t column;
    const char* text() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};

struct NameBlock {
    std::size_t refs;  // records pointing into the block, plus one while it is being built
};

inline void retain(const NameEntry* e) noexcept {
    if (e != nullptr) ++e->block->refs;
}

inline void release(const NameEntry* e) noexcept {
    if (e != nullptr && --e->block->refs == 0) std::free(e->block);
}

// Builds the block of a read: names are added in order and found again by their index.
class NameBlockBuilder {
public:
    // Room for `count` names of `chars` bytes in all.
    NameBlockBuilder(std::size_t count, std::size_t chars) {
        if (count >= NameEntry::kNoColumn) throw std::bad_alloc();
        const std::size_t bytes = sizeof(NameBlock) + count * (sizeof(NameEntry) + 7) + chars;
        block_ = static_cast<NameBlock*>(std::malloc(bytes));
        if (block_ == nullptr) throw std::bad_alloc();
        block_->refs = 1;
        next_ = reinterpret_cast<char*>(block_ + 1);
        entries_.reserve(count);
    }
    NameBlockBuilder(const NameBlockBuilder&) = delete;
    NameBlockBuilder& operator=(const NameBlockBuilder&) = delete;
    // Gives up the builder's own count; the block lives on while records point into it.
    ~NameBlockBuilder() {
        if (--block_->refs == 0) std::free(block_);
    }

    std::size_t add(std::string_view name, std::uint32_t column) {
        auto* e = reinterpret_cast<NameEntry*>(next_);
        e->block = block_;
        e->size = static_cast<std::uint32_t>(name.size());
        e->column = column;
        if (!name.empty()) std::memcpy(next_ + sizeof(NameEntry), name.data(), name.size());
        next_ += sizeof(NameEntry) + ((name.size() + 7) & ~std::size_t{7});
        entries_.push_back(e);
        return entries_.size() - 1;
    }
    const NameEntry* operator[](std::size_t i) const noexcept { return entries_[i]; }
    NameBlock* block() const noexcept { return block_; }

private:
    NameBlock* block_;
    char* next_;
    std::vector<const NameEntry*> entries_;
};

// A record's counted pointer to its name entry, or none (the value None), released with the
// record that holds it.
PyObject* name_value(const NameEntry* e) {
    if (e == nullptr) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(e->text(), static_cast<Py_ssize_t>(e->size), nullptr);
}

class NameRef {
public:
    explicit NameRef(const NameEntry* e) noexcept : e_(e) { retain(e_); }
    NameRef(const NameRef&) = delete;
    NameRef& operator=(const NameRef&) = delete;
    ~NameRef() { release(e_); }
    PyObject* value() const { return name_value(e_); }
    const NameEntry* entry() const noexcept { return e_; }

private:
    const NameEntry* e_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Layouts. Allocated without construction (allocate_instance); the builders below set every
// field, constructing the NameRef and PyRef members in place, and destroy_instance runs their
// destructors.

struct MpsParametersObject {
    PyObject_HEAD
    NameRef name;
    std::int32_t sense;
};

// Its name entry is not counted: the chunk the object lives in holds the name block (see
// below), so releasing a coefficient never touches its name.
struct MpsCoefficientObject {
    PyObject_HEAD
    const NameEntry* name;
    double value;
};

struct MpsObjectiveObject {
    PyObject_HEAD
    NameRef name;  // none: None
    PyRef coefficients;
};

// Optional floats as a value plus a presence bit, to keep the record small.
enum : std::uint8_t { kHasLow = 1, kHasUp = 2, kHasValue = 4, kHasDj = 8 };

struct MpsVariableObject {
    PyObject_HEAD
    NameRef name;
    double low, up, value, dj;
    std::uint8_t present;
    bool integer;
};

struct MpsConstraintObject {
    PyObject_HEAD
    NameRef name;  // none: None
    PyRef coefficients;
    double pi;
    double constant;
    std::int32_t sense;
    bool has_pi;
};

struct MpsResultObject {
    PyObject_HEAD
    PyRef parameters;
    PyRef objective;
    PyRef variables;
    PyRef constraints;
    PyRef sos1;
    PyRef sos2;
};

template <class T>
T* as(PyObject* self) noexcept {
    return reinterpret_cast<T*>(self);
}

// ---------------------------------------------------------------------------------------------
// MpsCoefficient objects in chunks: a chunk is kChunkBytes long and aligned to its size, so an
// object finds its chunk's header by masking its address. The header counts the objects alive
// in the chunk, plus one while the chunk is being filled, and holds one count of the name block
// its objects' names lie in.

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

struct alignas(32) ChunkHeader {
    std::size_t live;
    NameBlock* names;
};
static_assert(sizeof(MpsCoefficientObject) == 32, "coefficients are packed 32 bytes apart");
constexpr std::size_t kObjectsPerChunk = (kChunkBytes - sizeof(ChunkHeader)) / sizeof(MpsCoefficientObject);

inline ChunkHeader* chunk_of(PyObject* o) noexcept {
    return reinterpret_cast<ChunkHeader*>(reinterpret_cast<std::uintptr_t>(o) & ~(kChunkBytes - 1));
}

void release_chunk(ChunkHeader* chunk) noexcept {
    if (--chunk->live != 0) return;
    if (--chunk->names->refs == 0) std::free(chunk->names);
    std::free(chunk);
}

// Room for `count` coefficient objects, slot i holding the i-th. Objects are created in any
// order with make(); the chunks outlive the builder for as long as an object in them lives.
class CoefficientSlots {
public:
    // Room for `count` objects whose names lie in `names`.
    CoefficientSlots(std::size_t count, NameBlock* names) {
        chunks_.reserve((count + kObjectsPerChunk - 1) / kObjectsPerChunk);
        for (std::size_t made = 0; made < count; made += kObjectsPerChunk) {
            void* mem = std::aligned_alloc(kChunkBytes, kChunkBytes);
            if (mem == nullptr) throw std::bad_alloc();
            auto* chunk = static_cast<ChunkHeader*>(mem);
            chunk->live = 1;
            chunk->names = names;
            ++names->refs;
            chunks_.push_back(chunk);
        }
    }
    CoefficientSlots(const CoefficientSlots&) = delete;
    CoefficientSlots& operator=(const CoefficientSlots&) = delete;
    ~CoefficientSlots() {
        for (ChunkHeader* chunk : chunks_) release_chunk(chunk);
    }

    PyObject* slot(std::size_t i) const noexcept {
        char* base = reinterpret_cast<char*>(chunks_[i / kObjectsPerChunk] + 1);
        return reinterpret_cast<PyObject*>(base + (i % kObjectsPerChunk) * sizeof(MpsCoefficientObject));
    }
    // Creates the object of slot i, whose one reference the caller places; cannot fail.
    PyObject* make(std::size_t i, PyTypeObject* tp, const NameEntry* name, double value) const noexcept {
        PyObject* o = PyObject_Init(slot(i), tp);
        auto* c = as<MpsCoefficientObject>(o);
        c->name = name;
        c->value = value;
        ++chunk_of(o)->live;
        return o;
    }

private:
    std::vector<ChunkHeader*> chunks_;
};

// The deallocation slot of MpsCoefficient: the object's memory goes back with its chunk.
void coefficient_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    release_chunk(chunk_of(self));
    Py_DECREF(tp);
}

PyObject* optional_float(bool present, double v) {
    if (!present) Py_RETURN_NONE;
    return PyFloat_FromDouble(v);
}

PyObject* same_object(const PyRef& o) { return Py_NewRef(o.get()); }

// ---------------------------------------------------------------------------------------------
// MpsParameters: name, sense.

PyObject* parameters_name(PyObject* self) { return as<MpsParametersObject>(self)->name.value(); }
PyObject* parameters_sense(PyObject* self) { return PyLong_FromLong(as<MpsParametersObject>(self)->sense); }

PyGetSetDef parameters_getset[] = {
    ONDREL_GETTER("name", parameters_name),
    ONDREL_GETTER("sense", parameters_sense),
    ONDREL_GETTERS_END,
};

// MpsCoefficient: name, value.

PyObject* coefficient_name(PyObject* self) { return name_value(as<MpsCoefficientObject>(self)->name); }
PyObject* coefficient_value(PyObject* self) { return PyFloat_FromDouble(as<MpsCoefficientObject>(self)->value); }

PyGetSetDef coefficient_getset[] = {
    ONDREL_GETTER("name", coefficient_name),
    ONDREL_GETTER("value", coefficient_value),
    ONDREL_GETTERS_END,
};

// MpsObjective: name, coefficients.

PyObject* objective_name(PyObject* self) { return as<MpsObjectiveObject>(self)->name.value(); }
PyObject* objective_coefficients(PyObject* self) { return same_object(as<MpsObjectiveObject>(self)->coefficients); }

PyGetSetDef objective_getset[] = {
    ONDREL_GETTER("name", objective_name),
    ONDREL_GETTER("coefficients", objective_coefficients),
    ONDREL_GETTERS_END,
};

// MpsVariable: name, cat, lowBound, upBound, varValue, dj.

PyObject* variable_name(PyObject* self) { return as<MpsVariableObject>(self)->name.value(); }
PyObject* variable_cat(PyObject* self) {
    return as<MpsVariableObject>(self)->integer ? PyUnicode_FromStringAndSize("Integer", 7)
                                                : PyUnicode_FromStringAndSize("Continuous", 10);
}
PyObject* variable_low(PyObject* self) {
    auto* v = as<MpsVariableObject>(self);
    return optional_float(v->present & kHasLow, v->low);
}
PyObject* variable_up(PyObject* self) {
    auto* v = as<MpsVariableObject>(self);
    return optional_float(v->present & kHasUp, v->up);
}
PyObject* variable_value(PyObject* self) {
    auto* v = as<MpsVariableObject>(self);
    return optional_float(v->present & kHasValue, v->value);
}
PyObject* variable_dj(PyObject* self) {
    auto* v = as<MpsVariableObject>(self);
    return optional_float(v->present & kHasDj, v->dj);
}

PyGetSetDef variable_getset[] = {
    ONDREL_GETTER("name", variable_name),
    ONDREL_GETTER("cat", variable_cat),
    ONDREL_GETTER("lowBound", variable_low),
    ONDREL_GETTER("upBound", variable_up),
    ONDREL_GETTER("varValue", variable_value),
    ONDREL_GETTER("dj", variable_dj),
    ONDREL_GETTERS_END,
};

// MpsConstraint: name, sense, coefficients, pi, constant.

PyObject* constraint_name(PyObject* self) { return as<MpsConstraintObject>(self)->name.value(); }
PyObject* constraint_sense(PyObject* self) { return PyLong_FromLong(as<MpsConstraintObject>(self)->sense); }
PyObject* constraint_coefficients(PyObject* self) {
    return same_object(as<MpsConstraintObject>(self)->coefficients);
}
PyObject* constraint_pi(PyObject* self) {
    auto* c = as<MpsConstraintObject>(self);
    return optional_float(c->has_pi, c->pi);
}
PyObject* constraint_constant(PyObject* self) { return PyFloat_FromDouble(as<MpsConstraintObject>(self)->constant); }

PyGetSetDef constraint_getset[] = {
    ONDREL_GETTER("name", constraint_name),
    ONDREL_GETTER("sense", constraint_sense),
    ONDREL_GETTER("coefficients", constraint_coefficients),
    ONDREL_GETTER("pi", constraint_pi),
    ONDREL_GETTER("constant", constraint_constant),
    ONDREL_GETTERS_END,
};

// MpsResult: parameters, objective, variables, constraints, sos1, sos2.

PyObject* result_parameters(PyObject* self) { return same_object(as<MpsResultObject>(self)->parameters); }
PyObject* result_objective(PyObject* self) { return same_object(as<MpsResultObject>(self)->objective); }
PyObject* result_variables(PyObject* self) { return same_object(as<MpsResultObject>(self)->variables); }
PyObject* result_constraints(PyObject* self) { return same_object(as<MpsResultObject>(self)->constraints); }
PyObject* result_sos1(PyObject* self) { return same_object(as<MpsResultObject>(self)->sos1); }
PyObject* result_sos2(PyObject* self) { return same_object(as<MpsResultObject>(self)->sos2); }

PyGetSetDef result_getset[] = {
    ONDREL_GETTER("parameters", result_parameters),
    ONDREL_GETTER("objective", result_objective),
    ONDREL_GETTER("variables", result_variables),
    ONDREL_GETTER("constraints", result_constraints),
    ONDREL_GETTER("sos1", result_sos1),
    ONDREL_GETTER("sos2", result_sos2),
    ONDREL_GETTERS_END,
};

// ---------------------------------------------------------------------------------------------
// Type objects: no docstring, no constructor, not subclassable, no GC, no __dict__, no weak
// references; only a deallocation slot and the read-only properties.

constexpr unsigned long kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;

template <class T, PyGetSetDef* GetSet, void (*Dealloc)(PyObject*) noexcept = destroy_instance<T>>
PyTypeObject* record_type(const char* name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
        {Py_tp_getset, GetSet},
        {0, nullptr},
    };
    static PyType_Spec spec{
        .name = name,
        .basicsize = static_cast<int>(sizeof(T)),
        .itemsize = 0,
        .flags = kRecordFlags,
        .slots = slots,
    };
    static PyTypeObject* cell = nullptr;
    return cached_type(cell, spec);
}

// ---------------------------------------------------------------------------------------------
// Building. Every failure throws PythonErrorSet with the Python exception set; whatever was
// built so far is released on the way out.

PyTypeObject* type_or_throw(PyTypeObject* tp) {
    if (tp == nullptr) throw PythonErrorSet{};
    return tp;
}

// Allocates a record of type tp; every field is set by the caller right after.
template <class T>
T* new_record(PyTypeObject* tp) {
    PyObject* o = allocate_instance(tp);
    if (o == nullptr) throw PythonErrorSet{};
    return as<T>(o);
}

PyObject* record_object(void* record) noexcept { return static_cast<PyObject*>(record); }

PyRef new_list(std::size_t n) {
    PyRef l = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!l) throw PythonErrorSet{};
    return l;
}

struct RecordTypes {
    PyTypeObject* parameters = type_or_throw(mps_parameters_type());
    PyTypeObject* coefficient = type_or_throw(mps_coefficient_type());
    PyTypeObject* objective = type_or_throw(mps_objective_type());
    PyTypeObject* variable = type_or_throw(mps_variable_type());
    PyTypeObject* constraint = type_or_throw(mps_constraint_type());
    PyTypeObject* result = type_or_throw(mps_result_type());
};

// The names of a read in one block: column c is entry c, row r is entry ncols + r, then the
// objective row's name and the problem name.
struct ReadNames {
    NameBlockBuilder block;
    std::size_t objective;
    std::size_t problem;

    ReadNames(const io::MpsData& data)
        : block(data.names.size() + 1, name_bytes(data)) {
        const std::size_t ncols = data.columns.size();
        for (std::size_t i = 0; i < data.names.size(); ++i) {
            block.add(data.names[i], i < ncols ? static_cast<std::uint32_t>(i) : NameEntry::kNoColumn);
        }
        objective = data.objective_name_index();
        problem = block.add(data.problem_name, NameEntry::kNoColumn);
    }
    static std::size_t name_bytes(const io::MpsData& data) {
        std::size_t n = data.problem_name.size();
        for (std::size_t i = 0; i < data.names.size(); ++i) n += data.names[i].size();
        return n;
    }
};

PyRef build_parameters(const RecordTypes& types, const NameEntry* problem_name, std::int32_t sense) {
    auto* p = new_record<MpsParametersObject>(types.parameters);
    new (&p->name) NameRef(problem_name);
    p->sense = sense;
    return PyRef::steal(record_object(p));
}

PyRef build_variables(const RecordTypes& types, const io::MpsData& data, const NameBlockBuilder& names) {
    const std::size_t ncols = data.columns.size();
    PyRef variables = new_list(ncols);
    for (std::size_t c = 0; c < ncols; ++c) {
        const io::MpsColumnData& col = data.columns[c];
        auto* v = new_record<MpsVariableObject>(types.variable);
        new (&v->name) NameRef(names[c]);
        v->present = 0;
        v->low = v->up = v->value = v->dj = 0.0;
        if (col.lower) {
            v->present |= kHasLow;
            v->low = *col.lower;
        }
        if (col.upper) {
            v->present |= kHasUp;
            v->up = *col.upper;
        }
        v->integer = col.integer;
        PyList_SET_ITEM(variables.get(), static_cast<Py_ssize_t>(c), record_object(v));
    }
    return variables;
}

// The coefficient lists of every row and of the objective, with their records. The lists are
// made first, empty, so that everything that can fail happens before the first record exists;
// then each coefficient, met in file order (column by column), is made in its slot: the slots
// run row after row, the objective last, so that the records of a row lie side by side.
struct CoefficientLists {
    std::vector<PyRef> rows;
    PyRef objective;
};

CoefficientLists build_coefficients(const RecordTypes& types, io::MpsData& data, const NameBlockBuilder& names) {
    const std::size_t nrows = data.rows.size();
    CoefficientLists lists;
    lists.rows.resize(nrows);
    std::vector<std::size_t> next_slot(nrows);  // the slot of the row's next coefficient
    std::size_t slots = 0;
    for (std::size_t r = 0; r < nrows; ++r) {
        lists.rows[r] = new_list(data.rows[r].entries);
        next_slot[r] = slots;
        slots += data.rows[r].entries;
    }
    lists.objective = new_list(data.objective.size());
    const CoefficientSlots made(slots + data.objective.size(), names.block());

    // The slots of row r run from its first slot on, so once every record exists each list
    // is filled from consecutive slots, in order.
    std::vector<std::size_t> row_start(next_slot);
    data.entries.drain([&](const io::MpsEntry& e) {
        made.make(next_slot[e.row]++, types.coefficient, names[e.column], e.value);
    });
    for (std::size_t r = 0; r < nrows; ++r) {
        PyObject** items = reinterpret_cast<PyListObject*>(lists.rows[r].get())->ob_item;
        for (std::size_t k = 0; k < data.rows[r].entries; ++k) items[k] = made.slot(row_start[r] + k);
    }
    for (std::size_t i = 0; i < data.objective.size(); ++i) {
        const io::MpsObjectiveEntry& e = data.objective[i];
        PyList_SET_ITEM(lists.objective.get(), static_cast<Py_ssize_t>(i),
                        made.make(slots + i, types.coefficient, names[e.column], e.value));
    }
    std::vector<io::MpsObjectiveEntry>().swap(data.objective);
    return lists;
}

PyRef build_objective(const RecordTypes& types, PyRef coefficients, const NameEntry* name) {
    auto* o = new_record<MpsObjectiveObject>(types.objective);
    new (&o->name) NameRef(name);
    new (&o->coefficients) PyRef(std::move(coefficients));
    return PyRef::steal(record_object(o));
}

// Row r is named names[first_name + r], or None with drop_names.
PyRef build_constraints(const RecordTypes& types, const io::MpsData& data, std::vector<PyRef>& row_lists,
                        const NameBlockBuilder& names, std::size_t first_name, bool drop_names) {
    const std::size_t nrows = data.rows.size();
    PyRef constraints = new_list(nrows);
    for (std::size_t r = 0; r < nrows; ++r) {
        const io::MpsRowData& row = data.rows[r];
        auto* c = new_record<MpsConstraintObject>(types.constraint);
        new (&c->name) NameRef(drop_names ? nullptr : names[first_name + r]);
        new (&c->coefficients) PyRef(std::move(row_lists[r]));
        c->has_pi = false;
        c->pi = 0.0;
        c->constant = row.constant;
        c->sense = row.sense;
        PyList_SET_ITEM(constraints.get(), static_cast<Py_ssize_t>(r), record_object(c));
    }
    return constraints;
}

}  // namespace

PyTypeObject* mps_parameters_type() {
    return record_type<MpsParametersObject, parameters_getset>("builtins.MpsParameters");
}
PyTypeObject* mps_coefficient_type() {
    return record_type<MpsCoefficientObject, coefficient_getset, coefficient_dealloc>("builtins.MpsCoefficient");
}
PyTypeObject* mps_objective_type() {
    return record_type<MpsObjectiveObject, objective_getset>("builtins.MpsObjective");
}
PyTypeObject* mps_variable_type() {
    return record_type<MpsVariableObject, variable_getset>("builtins.MpsVariable");
}
PyTypeObject* mps_constraint_type() {
    return record_type<MpsConstraintObject, constraint_getset>("builtins.MpsConstraint");
}
PyTypeObject* mps_result_type() {
    return record_type<MpsResultObject, result_getset>("builtins.MpsResult");
}

PyObject* build_mps_result(io::MpsData& data, std::int32_t sense, bool drop_cons_names) {
    const RecordTypes types;
    // The records cannot form reference cycles, but the lists are tracked by the cyclic
    // collector, and a hundred thousand new lists would set off collections that walk every
    // record made so far. The collector is paused for the build and its state restored after.
    struct PauseCollector {
        int was_enabled = PyGC_Disable();
        ~PauseCollector() {
            if (was_enabled) PyGC_Enable();
        }
    } pause;

    const ReadNames names(data);
    data.names = NameList();

    // Each part of the data is freed once its records exist.
    const std::size_t ncols = data.columns.size();
    PyRef parameters = build_parameters(types, names.block[names.problem], sense);
    PyRef variables = build_variables(types, data, names.block);
    std::vector<io::MpsColumnData>().swap(data.columns);
    CoefficientLists lists = build_coefficients(types, data, names.block);
    PyRef objective = build_objective(types, std::move(lists.objective),
                                      drop_cons_names ? nullptr : names.block[names.objective]);
    PyRef constraints = build_constraints(types, data, lists.rows, names.block, ncols, drop_cons_names);
    std::vector<io::MpsRowData>().swap(data.rows);
    PyRef sos1 = new_list(0);
    PyRef sos2 = new_list(0);

    auto* result = new_record<MpsResultObject>(types.result);
    new (&result->parameters) PyRef(std::move(parameters));
    new (&result->objective) PyRef(std::move(objective));
    new (&result->variables) PyRef(std::move(variables));
    new (&result->constraints) PyRef(std::move(constraints));
    new (&result->sos1) PyRef(std::move(sos1));
    new (&result->sos2) PyRef(std::move(sos2));
    return record_object(result);
}

// ---------------------------------------------------------------------------------------------
// Reading the records back into a model's parts.

namespace {

std::string_view entry_text(const NameEntry* e) noexcept { return std::string_view(e->text(), e->size); }

// Calls f on each item of one of the records' lists, checking that it is of class `tp`.
// Nothing that f does runs Python code, so the list cannot change meanwhile.
template <class T, class F>
void for_each_record(const PyRef& list, PyTypeObject* tp, F&& f) {
    const Py_ssize_t n = PyList_GET_SIZE(list.get());  // the records hold only lists
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        if (Py_TYPE(item) != tp) {
            raise_wrong_type(tp, item);
            throw PythonErrorSet{};
        }
        f(as<T>(item));
    }
}

template <class T>
std::vector<T*> records_of(const PyRef& list, PyTypeObject* tp) {
    std::vector<T*> out;
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for_each_record<T>(list, tp, [&](T* r) { out.push_back(r); });
    return out;
}

// Finds the column of a coefficient's name: the entry read_mps gave it names its column
// directly; any other (a record moved from another result) is looked up by its text.
class ColumnFinder {
public:
    explicit ColumnFinder(const std::vector<MpsVariableObject*>& columns) {
        names_.reserve(columns.size());
        for (const MpsVariableObject* v : columns) names_.push_back(v->name.entry());
    }

    VarId find(const NameEntry* name) {
        const std::uint32_t c = name->column;
        if (c < names_.size() && names_[c] == name) return c;
        if (by_text_.size() == 0) {
            by_text_.reserve(names_.size());
            for (const NameEntry* e : names_) by_text_.insert_if_absent(NameTable::prepare(entry_text(e)));
        }
        const NameTable::Id id = by_text_.find(entry_text(name));
        if (id == NameTable::kAbsent) {
            raise_value(Msg() << "coefficient names no variable: " << quoted_for_message(entry_text(name)));
        }
        return id;
    }

private:
    std::vector<const NameEntry*> names_;  // of column c
    NameTable by_text_;
};

}  // namespace

bool MpsResultArg::convert(PyObject* o, PyObject*& out) {
    PyTypeObject* tp = mps_result_type();
    if (tp == nullptr) return false;
    if (Py_TYPE(o) != tp) {
        raise_wrong_type(tp, o);
        return false;
    }
    out = o;
    return true;
}

MpsModelParts mps_model_parts(PyObject* result_object) {
    const RecordTypes types;
    const auto* result = as<MpsResultObject>(result_object);
    const std::vector<MpsVariableObject*> columns = records_of<MpsVariableObject>(result->variables, types.variable);
    const std::vector<MpsConstraintObject*> rows = records_of<MpsConstraintObject>(result->constraints, types.constraint);
    if (Py_TYPE(result->objective.get()) != types.objective) {
        raise_wrong_type(types.objective, result->objective.get());
        throw PythonErrorSet{};
    }
    const auto* objective = as<MpsObjectiveObject>(result->objective.get());

    MpsModelParts parts;
    parts.variable_names.reserve(columns.size());
    parts.lb.reserve(columns.size());
    parts.ub.reserve(columns.size());
    parts.categories.reserve(columns.size());
    for (const MpsVariableObject* v : columns) {
        parts.variable_names.emplace_back(entry_text(v->name.entry()));
        parts.lb.push_back(v->present & kHasLow ? v->low : -kInf);
        parts.ub.push_back(v->present & kHasUp ? v->up : kInf);
        parts.categories.push_back(static_cast<std::uint8_t>(v->integer ? Category::Integer : Category::Continuous));
    }
    ColumnFinder columns_by_name(columns);
    for_each_record<MpsCoefficientObject>(objective->coefficients, types.coefficient, [&](const MpsCoefficientObject* c) {
        parts.objective_ids.push_back(columns_by_name.find(c->name));
        parts.objective_coeffs.push_back(c->value);
    });
    if (const NameEntry* name = objective->name.entry()) parts.objective_name.emplace(entry_text(name));

    std::size_t nnz = 0;
    for (const MpsConstraintObject* row : rows) nnz += static_cast<std::size_t>(PyList_GET_SIZE(row->coefficients.get()));
    parts.ids.reserve(nnz);
    parts.coeffs.reserve(nnz);
    parts.starts.reserve(rows.size() + 1);
    parts.senses.reserve(rows.size());
    parts.rhs.reserve(rows.size());
    parts.row_names.reserve(rows.size());
    parts.starts.push_back(0);
    for (const MpsConstraintObject* row : rows) {
        for_each_record<MpsCoefficientObject>(row->coefficients, types.coefficient, [&](const MpsCoefficientObject* c) {
            parts.ids.push_back(columns_by_name.find(c->name));
            parts.coeffs.push_back(c->value);
        });
        parts.starts.push_back(parts.ids.size());
        // -1, 0, 1 for L, E, G; anything else is left for the check of sense codes to refuse.
        parts.senses.push_back(static_cast<std::uint8_t>(row->sense + 1));
        parts.rhs.push_back(-row->constant);
        const NameEntry* name = row->name.entry();
        parts.row_names.push_back(name ? std::optional<std::string_view>(entry_text(name)) : std::nullopt);
    }
    return parts;
}

}  // namespace ondrel::py
