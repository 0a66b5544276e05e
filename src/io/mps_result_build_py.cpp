// Building the MpsResult of a read from the parsed data.
#include "io/mps_record_layouts_py.hpp"

namespace ondrel::py {

using namespace records;

namespace {

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
    HugeVector<PyRef> rows;
    PyRef objective;
};

CoefficientLists build_coefficients(const RecordTypes& types, io::MpsData& data, const NameBlockBuilder& names) {
    const std::size_t nrows = data.rows.size();
    CoefficientLists lists;
    lists.rows.resize(nrows);
    HugeVector<std::size_t> next_slot(nrows);  // the slot of the row's next coefficient
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
    HugeVector<std::size_t> row_start(next_slot);
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
PyRef build_constraints(const RecordTypes& types, const io::MpsData& data, HugeVector<PyRef>& row_lists,
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
    HugeVector<io::MpsColumnData>().swap(data.columns);
    CoefficientLists lists = build_coefficients(types, data, names.block);
    PyRef objective = build_objective(types, std::move(lists.objective),
                                      drop_cons_names ? nullptr : names.block[names.objective]);
    PyRef constraints = build_constraints(types, data, lists.rows, names.block, ncols, drop_cons_names);
    HugeVector<io::MpsRowData>().swap(data.rows);
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

}  // namespace ondrel::py
