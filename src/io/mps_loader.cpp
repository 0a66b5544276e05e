#include "io/mps_loader.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/huge_pages.hpp"
#include "base/numeric.hpp"
#include "io/byte_sources.hpp"
#include "io/mps_reader.hpp"
#include "io/safe_output.hpp"

namespace ondrel::io {

namespace {

[[noreturn]] void raise_row_value(std::string_view row, std::string_view what, double v) {
    raise_value(Msg() << "row '" << row << "': " << what << " " << v << " is not a finite number");
}

struct RangeVariable {
    std::size_t row;
    VarId id;
};

// The rows the RANGES section gives a range, made into rows the model can hold (see
// load_mps_model): each row's sense and constant are set, and the variables the rows need are
// added after the columns. Returns them, in row order.
std::vector<RangeVariable> read_ranges(ModelCore& core, MpsData& data, MpsLoadFacts& facts) {
    std::vector<RangeVariable> made;
    const std::size_t ncols = core.variables.size();
    // Names are looked up as views of the records, which stay in place: room for a variable per
    // ranged row is made first.
    facts.ranged_rows = data.ranges.size();
    if (data.ranges.empty()) return made;
    core.variables.reserve(ncols + data.ranges.size());
    std::unordered_set<std::string_view> taken;
    for (const auto& [r, range] : data.ranges) {
        MpsRowData& row = data.rows[r];
        const std::string_view name = data.names[ncols + r];
        if (std::isnan(range)) raise_row_value(name, "the range", range);
        const double rhs = -row.constant;
        double lo = rhs;
        double hi = rhs;
        if (row.sense < 0) {
            lo = rhs - std::fabs(range);
        } else if (row.sense > 0) {
            hi = rhs + std::fabs(range);
        } else if (range >= 0) {
            hi = rhs + range;
        } else {
            lo = rhs + range;
        }
        if (lo == hi || std::isinf(lo) || std::isinf(hi)) {
            row.sense = lo == hi ? 0 : std::isinf(hi) ? 1 : -1;
            row.constant = -(std::isinf(hi) ? lo : hi);
            continue;
        }
        if (taken.empty()) {
            taken.reserve(core.variables.size() * 2);
            for (const VariableRecord& v : core.variables) taken.insert(v.name);
        }
        std::string base = Msg() << name << "_range";
        for (char& ch : base) ch = ch == ' ' ? '_' : ch;
        std::string chosen = base;
        for (std::size_t k = 2; taken.contains(chosen); ++k) chosen = Msg() << base << k;
        const auto id = static_cast<VarId>(core.variables.size());
        VariableRecord& v = core.variables.emplace_back();
        v.name = std::move(chosen);
        v.lb = lo;
        v.ub = hi;
        v.category = Category::Continuous;
        row.sense = 0;
        row.constant = 0.0;
        taken.insert(v.name);
        made.push_back(RangeVariable{r, id});
        facts.range_variables = made.size();
    }
    return made;
}

void add_columns(ModelCore& core, MpsData& data) {
    const std::size_t ncols = data.columns.size();
    core.variables.reserve(ncols);
    for (std::size_t j = 0; j < ncols; ++j) {
        const MpsColumnData& c = data.columns[j];
        VariableRecord& v = core.variables.emplace_back();
        v.name.assign(data.names[j]);
        for (char& ch : v.name) ch = ch == ' ' ? '_' : ch;
        v.lb = c.lower.value_or(-kInf);
        v.ub = c.upper.value_or(kInf);
        v.category = c.integer ? Category::Integer : Category::Continuous;
    }
    HugeVector<MpsColumnData>().swap(data.columns);
}

// The objective, read before the rows so that its entries go before the arena slice is taken.
// A coefficient that is not finite is kept aside in `bad` and reported after the rows' failures,
// as it is checked after them.
struct ObjectiveRead {
    ExprValue value;
    double factor = 1.0;         // -1 when a maximised objective written negated is turned back
    std::optional<double> bad;   // the first coefficient that is not finite
};

ObjectiveRead read_objective(MpsData& data, std::size_t name_at, const MpsLoadOptions& options,
                             const std::shared_ptr<SharedModel>& self, MpsLoadFacts& facts) {
    ObjectiveRead objective;
    const bool negate = !options.sense && !data.maximize && data.negated_maximize;
    facts.negated = negate;
    facts.objective_entries = data.objective.size();
    facts.objective_name.assign(data.names[name_at]);
    objective.value.model = ModelRef::to(self);
    if (!options.drop_names && !facts.objective_name.empty()) objective.value.name = facts.objective_name;
    objective.factor = negate ? -1.0 : 1.0;
    for (const MpsObjectiveEntry& e : data.objective) {
        if (!std::isfinite(e.value)) {
            objective.bad = e.value;
            break;
        }
        objective.value.terms.add(e.column, e.value * objective.factor);
    }
    std::vector<MpsObjectiveEntry>().swap(data.objective);
    return objective;
}

// The objective into the store, with its constant, and the objective's sense.
void store_objective(ModelCore& core, ObjectiveRead& objective, const MpsData& data, const MpsLoadOptions& options,
                     const MpsLoadFacts& facts) {
    if (objective.bad) {
        raise_value(Msg() << "objective row '" << facts.objective_name << "': a coefficient " << *objective.bad
                          << " is not a finite number");
    }
    if (!std::isfinite(data.objective_constant)) {
        raise_value(Msg() << "objective row '" << facts.objective_name << "': the right-hand side "
                          << -data.objective_constant << " is not a finite number");
    }
    objective.value.constant = data.objective_constant * objective.factor + 0.0;
    core.objective = std::move(objective.value);
    if (options.sense) {
        core.objective_sense = *options.sense;
    } else if (data.maximize) {
        core.objective_sense = *data.maximize ? ObjSense::Maximize : ObjSense::Minimize;
    } else {
        core.objective_sense = data.negated_maximize ? ObjSense::Maximize : ObjSense::Minimize;
    }
}

// Row r's terms, scattered from the entries into one slice of the term arena (the file lists
// them column by column): [start of r, start of r + entries), with one place more for a range
// variable. Each row's count becomes the place of its next term, and after the scatter the end
// of its terms. The ranged rows are the ones `ranges` lists, in row order.
Term* scatter_terms(ModelCore& core, MpsData& data, std::span<const RangeVariable> ranges, MpsLoadFacts& facts) {
    const std::size_t ncols = core.variables.size() - ranges.size();
    std::size_t total = 0;
    for (std::size_t r = 0, k = 0; r < data.rows.size(); ++r) {
        const std::size_t n = data.rows[r].entries;
        data.rows[r].entries = total;
        const bool extra = k < ranges.size() && ranges[k].row == r;
        k += extra;
        total += n + extra;
    }
    facts.entries = total - ranges.size();
    Term* const slice = total == 0 ? nullptr : core.term_arena.take(total);
    data.entries.drain([&](const MpsEntry& e) {
        if (!std::isfinite(e.value)) raise_row_value(data.names[ncols + e.row], "a coefficient", e.value);
        slice[data.rows[e.row].entries++] = Term{e.column, e.value};
    });
    return slice;
}

// Sums the terms of one row that name the same column, in place; returns how many are left.
// A short row is searched for a repeat pair by pair; for a longer one, seen[column] = row + 1
// when the column has a term in the row at hand (the table is made only when such a row comes).
// Most rows name each column once, and a repeat is summed into its first place.
class RepeatedColumns {
public:
    explicit RepeatedColumns(std::size_t columns) : columns_(columns) {}
    std::size_t sum(Term* begin, std::size_t n, std::size_t row, std::string_view row_name) {
        if (!repeats(begin, n, row)) return n;
        merged_.clear();
        for (std::size_t k = 0; k < n; ++k) merged_.add(begin[k].id, begin[k].coeff);
        if (merged_.size() == n) return n;
        std::copy(merged_.begin(), merged_.end(), begin);
        for (std::size_t k = 0; k < merged_.size(); ++k) {
            if (!std::isfinite(begin[k].coeff)) raise_row_value(row_name, "a coefficient", begin[k].coeff);
        }
        return merged_.size();
    }

private:
    static constexpr std::size_t kShortRow = 8;
    bool repeats(const Term* begin, std::size_t n, std::size_t row) {
        bool found = false;
        if (n <= kShortRow) {
            for (std::size_t k = 1; k < n; ++k) {
                for (std::size_t i = 0; i < k; ++i) found = found || begin[i].id == begin[k].id;
            }
            return found;
        }
        if (seen_.empty()) seen_.assign(columns_, 0);
        const auto stamp = static_cast<std::uint32_t>(row + 1);
        for (std::size_t k = 0; k < n; ++k) {
            std::uint32_t& s = seen_[begin[k].id];
            found = found || s == stamp;
            s = stamp;
        }
        return found;
    }
    std::size_t columns_;
    std::vector<std::uint32_t> seen_;
    TermMap merged_;
};

// The constraints, each lent its part of the slice after repeated columns are summed (the slice
// stays packed) and its range variable's term added.
void add_rows(ModelCore& core, MpsData& data, Term* slice, std::span<const RangeVariable> ranges,
              const MpsLoadOptions& options, MpsLoadFacts& facts) {
    const std::size_t nrows = data.rows.size();
    const std::size_t ncols = core.variables.size() - ranges.size();
    core.constraints.reserve(nrows);
    RepeatedColumns repeated(ncols);
    std::size_t written = 0;  // terms kept, after summing repeated columns
    std::size_t row_start = 0;
    for (std::size_t r = 0, next_range = 0; r < nrows; ++r) {
        Term* const begin = slice + row_start;
        const std::size_t n = data.rows[r].entries - row_start;
        const bool ranged = next_range < ranges.size() && ranges[next_range].row == r;
        row_start = data.rows[r].entries + ranged;
        const std::string_view name = data.names[ncols + r];
        std::size_t kept = repeated.sum(begin, n, r, name);
        if (ranged) begin[kept++] = Term{ranges[next_range++].id, -1.0};
        Term* const place = slice + written;
        if (place != begin) std::copy(begin, begin + kept, place);
        written += kept;
        ConstraintRecord& c = core.constraints.emplace_back();
        if (!name.empty() && name.front() == '_') facts.automatic_rows.add(name);
        if (options.drop_names || name.empty() || name.front() == '_') {
            c.name = Msg() << "_C" << ++core.auto_name_counter;
        } else {
            c.name.assign(name);
        }
        c.terms = TermMap::lent(place, kept);
        c.rhs = -data.rows[r].constant;
        const std::int32_t sense = data.rows[r].sense;
        c.sense = sense < 0 ? Sense::LessEqual : sense > 0 ? Sense::GreaterEqual : Sense::Equal;
    }
    if (slice != nullptr) core.term_arena.keep(slice + written);
}

// The parse into the store: variables, then the objective, then the rows' terms placed
// straight into one slice of the term arena row by row. Each part of the parsed data goes as
// soon as it has been moved, so that a large file does not hold it beside the whole model.
// Failures are raised in the order the data is checked: row right-hand sides, row coefficients
// in file order, sums of repeated columns row by row, then the objective's coefficients and
// its constant.
void fill(ModelCore& core, MpsData& data, const MpsLoadOptions& options, const std::shared_ptr<SharedModel>& self,
          MpsLoadFacts& facts) {
    const std::size_t ncols = data.columns.size();
    const std::size_t nrows = data.rows.size();
    add_columns(core, data);
    ObjectiveRead objective = read_objective(data, ncols + nrows, options, self, facts);
    for (std::size_t r = 0; r < nrows; ++r) {
        if (!std::isfinite(data.rows[r].constant)) {
            raise_row_value(data.names[ncols + r], "the right-hand side", -data.rows[r].constant);
        }
    }
    std::vector<RangeVariable> ranges;
    if (options.ranges) {
        ranges = read_ranges(core, data, facts);
    } else {
        facts.ranged_rows = data.ranges.size();  // a describing read notes them only
    }
    Term* const slice = scatter_terms(core, data, ranges, facts);
    add_rows(core, data, slice, ranges, options, facts);
    HugeVector<MpsRowData>().swap(data.rows);
    data.names = NameList();
    store_objective(core, objective, data, options, facts);
}

// The summary a description of the file gives: rows by sense, columns by category and bound
// kind, and the rows and columns worth a note.
void summarize(const ModelCore& core, MpsLoadFacts::Summary& s) {
    std::vector<bool> used(core.variables.size(), false);
    for (const ConstraintRecord& c : core.constraints) {
        switch (c.sense) {
            case Sense::LessEqual: ++s.less_equal; break;
            case Sense::Equal: ++s.equal; break;
            case Sense::GreaterEqual: ++s.greater_equal; break;
        }
        if (c.terms.size() == 0) s.empty_rows.add(c.name);
        for (const Term& t : c.terms) used[t.id] = true;
    }
    if (core.objective) {
        for (const Term& t : core.objective->terms) used[t.id] = true;
    }
    for (std::size_t j = 0; j < core.variables.size(); ++j) {
        const VariableRecord& v = core.variables[j];
        const bool integer = v.category != Category::Continuous;
        s.integer += integer;
        const bool low = std::isfinite(v.lb);
        const bool up = std::isfinite(v.ub);
        if (v.lb == v.ub) {
            ++s.fixed;
            s.fixed_columns.add(v.name);
        } else if (!low && !up) {
            ++s.free;
            s.free_columns.add(v.name);
        } else {
            ++(low && up ? s.both : low ? s.lower_only : s.upper_only);
        }
        if (v.lb > v.ub) s.crossed_bounds.add(v.name);
        if (integer && !up) s.open_integers.add(v.name);
        if (!used[j]) s.unused_columns.add(v.name);
    }
}

}  // namespace

MpsLoadFacts::Summary summarize_model(SharedModel& model) {
    MpsLoadFacts::Summary summary;
    with_core(model, [&](const ModelCore& core) { summarize(core, summary); });
    return summary;
}

std::shared_ptr<SharedModel> load_mps_model(std::string_view path, const MpsLoadOptions& options,
                                            MpsLoadFacts& facts) {
    InputFile file(path, options.interrupt);
    return load_mps_stream(file.source(), file.piece(), options, facts);
}

std::shared_ptr<SharedModel> load_mps_stream(ByteSource& raw, std::size_t piece, const MpsLoadOptions& options,
                                             MpsLoadFacts& facts) {
    CountingSource counted(raw);
    MaybeGzipSource source(counted);
    ParserOptions parser;
    parser.loader = true;
    parser.strict = !options.lenient;
    parser.ranges = options.ranges || options.describe;
    parser.describe = options.describe;
    std::shared_ptr<SharedModel> model;
    {
        MpsData data = read_mps_stream(source, piece, options.interrupt, parser);
        facts.compressed = source.compressed();
        facts.bytes = counted.count;
        facts.notes = std::move(data.notes);
        model = std::make_shared<SharedModel>(std::move(data.problem_name));
        with_core(*model, [&](ModelCore& core) {
            fill(core, data, options, model, facts);
            if (options.describe) summarize(core, facts.summary);
        });
    }
    release_free_heap();  // the parsed data is gone
    return model;
}

}  // namespace ondrel::io
