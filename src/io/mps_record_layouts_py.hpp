// The layouts of the six record classes that read_mps returns, and the pieces that build them:
// shared by the classes (mps_records_py.cpp), the building of a result (mps_result_build_py.cpp)
// and the reading of one back into a model's parts (mps_result_parts_py.cpp).
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
// - MpsCoefficient objects are not allocated one by one: they are laid out in chunks of 2 MiB,
//   row after row, each row's coefficients in file order, which is the order the lists hold
//   them in. Walking a row's list, or releasing the records, then reads memory in order. Each
//   chunk counts its live objects and is freed with the last one.
//
// An MpsCoefficient is 32 bytes: the object header, the name entry pointer and the value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "base/huge_pages.hpp"
#include "io/mps_records_py.hpp"

namespace ondrel::py::records {

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
    std::size_t refs;   // records pointing into the block, plus one while it is being built
    std::size_t bytes;  // its size, header included
};

inline void retain(const NameEntry* e) noexcept {
    if (e != nullptr) ++e->block->refs;
}

inline void release(const NameEntry* e) noexcept {
    if (e != nullptr && --e->block->refs == 0) release_huge(e->block, e->block->bytes);
}

// Builds the block of a read: names are added in order and found again by their index.
class NameBlockBuilder {
public:
    // Room for `count` names of `chars` bytes in all.
    NameBlockBuilder(std::size_t count, std::size_t chars) {
        if (count >= NameEntry::kNoColumn) throw std::bad_alloc();
        const std::size_t bytes = sizeof(NameBlock) + count * (sizeof(NameEntry) + 7) + chars;
        block_ = static_cast<NameBlock*>(allocate_huge(bytes));
        block_->refs = 1;
        block_->bytes = bytes;
        next_ = reinterpret_cast<char*>(block_ + 1);
        entries_.reserve(count);
    }
    NameBlockBuilder(const NameBlockBuilder&) = delete;
    NameBlockBuilder& operator=(const NameBlockBuilder&) = delete;
    // Gives up the builder's own count; the block lives on while records point into it.
    ~NameBlockBuilder() {
        if (--block_->refs == 0) release_huge(block_, block_->bytes);
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
inline PyObject* name_value(const NameEntry* e) {
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

constexpr std::size_t kChunkBytes = kHugePage;  // one chunk, one 2 MiB page where offered

struct alignas(32) ChunkHeader {
    std::size_t live;
    NameBlock* names;
    std::size_t bytes;  // the chunk's size, header included
};
static_assert(sizeof(MpsCoefficientObject) == 32, "coefficients are packed 32 bytes apart");
constexpr std::size_t kObjectsPerChunk = (kChunkBytes - sizeof(ChunkHeader)) / sizeof(MpsCoefficientObject);

inline ChunkHeader* chunk_of(PyObject* o) noexcept {
    return reinterpret_cast<ChunkHeader*>(reinterpret_cast<std::uintptr_t>(o) & ~(kChunkBytes - 1));
}

inline void release_chunk(ChunkHeader* chunk) noexcept {
    if (--chunk->live != 0) return;
    if (--chunk->names->refs == 0) release_huge(chunk->names, chunk->names->bytes);
    release_huge(chunk, chunk->bytes);
}

// What PyObject_Init does for memory the interpreter did not allocate, inline: a read makes
// millions of these objects, and the call, through the interpreter's own symbol table, was a
// tenth of a small read. The allocation tracer has no record of such memory, so nothing is lost
// by not telling it. Builds that track every object keep the interpreter's call.
inline PyObject* init_object(void* memory, PyTypeObject* tp) noexcept {
#if defined(Py_TRACE_REFS) || defined(Py_REF_DEBUG) || defined(Py_GIL_DISABLED)
    return PyObject_Init(static_cast<PyObject*>(memory), tp);
#else
    auto* o = static_cast<PyObject*>(memory);
    Py_SET_TYPE(o, tp);
    if (PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) Py_INCREF(tp);
    o->ob_refcnt = 1;  // set outright: the memory's old contents may look like an immortal count
    return o;
#endif
}

// Room for `count` coefficient objects, slot i holding the i-th. Objects are created in any
// order with make(); the chunks outlive the builder for as long as an object in them lives.
class CoefficientSlots {
public:
    // Room for `count` objects whose names lie in `names`.
    CoefficientSlots(std::size_t count, NameBlock* names) {
        chunks_.reserve((count + kObjectsPerChunk - 1) / kObjectsPerChunk);
        for (std::size_t made = 0; made < count; made += kObjectsPerChunk) {
            // The last chunk holds only the objects left over: all of a small read's.
            const std::size_t objects = std::min(count - made, kObjectsPerChunk);
            const std::size_t bytes = sizeof(ChunkHeader) + objects * sizeof(MpsCoefficientObject);
            auto* chunk = static_cast<ChunkHeader*>(allocate_huge_aligned(bytes));
            chunk->bytes = bytes;
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
        PyObject* o = init_object(slot(i), tp);
        auto* c = as<MpsCoefficientObject>(o);
        c->name = name;
        c->value = value;
        ++chunk_of(o)->live;
        return o;
    }

private:
    std::vector<ChunkHeader*> chunks_;
};


// ---------------------------------------------------------------------------------------------
// Building. Every failure throws PythonErrorSet with the Python exception set; whatever was
// built so far is released on the way out.

inline PyTypeObject* type_or_throw(PyTypeObject* tp) {
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

inline PyObject* record_object(void* record) noexcept { return static_cast<PyObject*>(record); }

inline PyRef new_list(std::size_t n) {
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

// The deallocation slot of MpsCoefficient (mps_records_py.cpp).
void coefficient_dealloc(PyObject* self) noexcept;

}  // namespace ondrel::py::records
