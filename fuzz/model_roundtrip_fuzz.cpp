// libFuzzer harness for building and writing models, built by the CMake target
// model_roundtrip_fuzz (configure with -DONDREL_FUZZ=ON and clang++; see fuzz/Makefile).
//
// The fuzzer's bytes drive the bulk building operations: variables with their own bounds and
// category codes, batches of constraints in compressed-row form (offsets, ids, coefficients,
// sense codes, right-hand sides and names, valid or not) and an objective. A refused batch must
// leave the model as it was. The model is then written by both writers, with options from the
// bytes too. An MPS file whose names are all plain tokens must read back as the model itself:
// the used columns in id order with their names and bounds, every row with its name, sense and
// right-hand side, every coefficient in file order, and the objective; numbers as the writer
// prints them, 13 significant digits, which the harness computes with the C library's own
// correctly rounded printf. Finally the file's data goes back into a new model through
// add_model_parts, the operation behind Model.add_mps_result, which must hold the same rows.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "base/errors.hpp"
#include "io/lp_writer.hpp"
#include "io/mps_reader.hpp"
#include "io/mps_writer.hpp"
#include "model/building.hpp"
#include "model/store.hpp"

namespace {

using namespace ondrel;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

constexpr double kInf = std::numeric_limits<double>::infinity();

// The fuzzer's bytes, taken from the front; zeros once they run out.
class Bytes {
public:
    Bytes(const std::uint8_t* p, std::size_t n) : p_(p), end_(p + n) {}
    std::uint8_t u8() { return p_ != end_ ? *p_++ : 0; }
    bool flag() { return (u8() & 1) != 0; }
    // Mostly ordinary values; now and then any 64 bits, NaN and infinities included.
    double real() {
        static constexpr double kValues[] = {0.0, 1.0, -1.0, 2.5, -0.5, 1e10, 3.0e-7, 123456.789, -0.0, 7.0};
        const std::uint8_t b = u8();
        if (b < 200) return kValues[b % std::size(kValues)] * (1 + b / 10);
        if (b < 215) return b < 207 ? kInf : -kInf;
        double x;
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = (bits << 8) | u8();
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }
    // A name: mostly unique (prefix and number), sometimes from a pool of names that repeat or
    // look like parts of the format, sometimes raw bytes.
    std::string name(char prefix, std::size_t i) {
        static constexpr const char* kPool[] = {"x", "R", "RHS", "BOUNDS", "ENDATA", "MARK", "_C1", "OBJ",
                                                "N", "a b", "", "r\xe2\x80\xa8", "'MARKER'", "*c", "MARKER"};
        const std::uint8_t b = u8();
        if (b < 215) return prefix + std::to_string(i);
        if (b < 245) return kPool[b % std::size(kPool)];
        std::string raw;
        const std::size_t n = u8() % 9;
        for (std::size_t k = 0; k < n; ++k) raw.push_back(static_cast<char>(u8()));
        return raw;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// x as the MPS writer prints it: 13 significant digits, correctly rounded.
double written(double x) {
    if (!std::isfinite(x)) return x;
    char text[64];
    std::snprintf(text, sizeof text, "%.12e", x);
    return std::strtod(text, nullptr);
}

bool same_value(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// A name the token-based reader reads back as it was written: printable ASCII without blanks,
// and not one of the quoted marker words an entry line could be taken for.
bool plain_token(std::string_view name) {
    if (name.empty() || name.find('\'') != std::string_view::npos) return false;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
    }
    return true;
}

struct Snapshot {
    std::vector<VariableRecord> variables;
    std::vector<ConstraintRecord> constraints;
    std::optional<ExprValue> objective;
};

Snapshot snapshot(SharedModel& m) {
    return with_core(m, [](const ModelCore& core) {
        Snapshot s;
        s.variables.assign(core.variables.begin(), core.variables.end());
        s.constraints.assign(core.constraints.begin(), core.constraints.end());
        s.objective = core.objective;
        return s;
    });
}

std::size_t sizes(SharedModel& m) {
    return with_core(m, [](const ModelCore& core) { return core.variables.size() * 1000003 + core.constraints.size(); });
}

void add_variables_from(Bytes& in, SharedModel& model) {
    const std::size_t n = 1 + in.u8() % 40;
    std::vector<std::string> names;
    std::vector<double> lb, ub;
    std::vector<std::uint8_t> categories;
    for (std::size_t i = 0; i < n; ++i) {
        names.push_back(in.name('x', i));
        lb.push_back(in.real());
        ub.push_back(in.real());
        const std::uint8_t c = in.u8();
        categories.push_back(c < 250 ? c % 3 : c);
    }
    const std::size_t before = sizes(model);
    try {
        add_variables(model, VariableColumns{names, lb, ub, categories});
    } catch (const Error& e) {
        if (e.kind() != ErrorKind::Value || sizes(model) != before) fail("refused variables changed the model");
    }
}

void add_rows_from(Bytes& in, SharedModel& model, std::size_t batch) {
    const std::size_t n_vars = with_core(model, [](const ModelCore& core) { return core.variables.size(); });
    const std::size_t rows = in.u8() % 24;
    std::vector<std::uint64_t> starts{0};
    std::vector<VarId> ids;
    std::vector<double> coeffs;
    std::vector<std::uint8_t> senses;
    std::vector<double> rhs;
    std::vector<std::optional<std::string>> names;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t terms = in.u8() % 7;
        for (std::size_t k = 0; k < terms; ++k) {
            const std::uint8_t b = in.u8();
            ids.push_back(b < 250 ? (n_vars != 0 ? b % n_vars : 0) : n_vars + b);
            coeffs.push_back(in.real());
        }
        starts.push_back(ids.size());
        const std::uint8_t s = in.u8();
        senses.push_back(s < 250 ? s % 3 : s);
        rhs.push_back(in.real());
        if (in.flag()) {
            names.push_back(std::nullopt);
        } else {
            names.push_back(in.name('r', batch * 100 + r));
        }
    }
    if (in.u8() > 250 && !starts.empty()) starts.back() += 1;  // a broken layout now and then
    ConstraintRows batch_rows{starts, ids, coeffs, senses, rhs, {}, names.size()};
    if (in.flag()) {
        batch_rows.name = [&names](std::size_t i) -> std::optional<std::string_view> {
            if (!names[i]) return std::nullopt;
            return std::string_view(*names[i]);
        };
    }
    const std::size_t before = sizes(model);
    try {
        add_constraints(model, batch_rows);
    } catch (const Error& e) {
        if (e.kind() != ErrorKind::Value || sizes(model) != before) fail("refused rows changed the model");
    }
}

void set_objective_from(Bytes& in, const std::shared_ptr<SharedModel>& model) {
    const std::size_t n_vars = with_core(*model, [](const ModelCore& core) { return core.variables.size(); });
    if (n_vars == 0 || in.u8() < 30) return;
    ExprValue objective;
    const std::size_t terms = in.u8() % 10;
    for (std::size_t k = 0; k < terms; ++k) {
        const double c = in.real();
        if (std::isfinite(c)) objective.terms.add(in.u8() % n_vars, c);
    }
    set_objective(model, objective);
}

// The used variables, ascending: those of a constraint or the objective.
std::vector<VarId> used_ids(const Snapshot& s) {
    std::vector<bool> used(s.variables.size(), false);
    for (const ConstraintRecord& c : s.constraints) {
        for (const Term& t : c.terms) used[t.id] = true;
    }
    if (s.objective) {
        for (const Term& t : s.objective->terms) used[t.id] = true;
    }
    std::vector<VarId> ids;
    for (std::size_t i = 0; i < used.size(); ++i) {
        if (used[i]) ids.push_back(i);
    }
    return ids;
}

std::int32_t sense_code(Sense s) { return s == Sense::LessEqual ? -1 : s == Sense::Equal ? 0 : 1; }

// The MPS file read back must be the snapshot as written.
void check_read_back(const Snapshot& s, const io::MpsWriteOptions& options, const io::MpsData& data) {
    const std::vector<VarId> columns = used_ids(s);
    if (data.columns.size() != columns.size()) fail("read back: column count");
    if (data.rows.size() != s.constraints.size()) fail("read back: row count");
    if (data.problem_name != (options.rename ? std::string_view("MODEL") : options.model_name)) fail("read back: model name");
    if (data.names[data.objective_name_index()] != (options.rename ? std::string_view("OBJ") : options.obj_name))
        fail("read back: objective name");
    for (std::size_t j = 0; j < columns.size(); ++j) {
        const VariableRecord& v = s.variables[columns[j]];
        if (data.names[j] != (options.rename ? io::generated_name('X', j) : v.name)) fail("read back: column name");
        const io::MpsColumnData& c = data.columns[j];
        const bool integer = options.mip && v.category != Category::Continuous;
        if (c.integer != integer) fail("read back: integrality");
        // Bounds that no bound line can state: NaN, a lower bound of +inf, an upper bound of -inf.
        if (std::isnan(v.lb) || std::isnan(v.ub) || v.lb == kInf || v.ub == -kInf) continue;
        const double lower = c.lower.value_or(-kInf);
        const double upper = c.upper.value_or(kInf);
        if (!same_value(lower, written(v.lb)) || !same_value(upper, written(v.ub))) {
            std::fprintf(stderr, "column %zu: model [%a, %a] file [%a, %a]\n", j, v.lb, v.ub, lower, upper);
            fail("read back: bounds");
        }
    }
    for (std::size_t r = 0; r < s.constraints.size(); ++r) {
        const ConstraintRecord& c = s.constraints[r];
        if (data.names[columns.size() + r] != (options.rename ? io::generated_name('C', r) : c.name))
            fail("read back: row name");
        if (data.rows[r].sense != sense_code(c.sense)) fail("read back: row sense");
        if (!same_value(data.rows[r].constant, -written(c.rhs))) fail("read back: right-hand side");
        if (data.rows[r].entries != c.terms.size()) fail("read back: row entry count");
    }
    // Entries in file order: column by column, and within a column the rows in stored order.
    std::size_t k = 0;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        for (std::size_t r = 0; r < s.constraints.size(); ++r) {
            const double* coeff = s.constraints[r].terms.find(columns[j]);
            if (coeff == nullptr) continue;
            if (k >= data.entries.size()) fail("read back: too few entries");
            const io::MpsEntry& e = data.entries[k++];
            if (e.row != r || e.column != j || !same_value(e.value, written(*coeff))) fail("read back: entry");
        }
    }
    if (k != data.entries.size()) fail("read back: too many entries");
    const double factor = options.mps_sense == -1 && !options.with_objsense ? -1.0 : 1.0;
    std::size_t o = 0;
    for (std::size_t j = 0; j < columns.size() && s.objective; ++j) {
        const double* coeff = s.objective->terms.find(columns[j]);
        if (coeff == nullptr) continue;
        if (o >= data.objective.size()) fail("read back: too few objective entries");
        const io::MpsObjectiveEntry& e = data.objective[o++];
        if (e.column != j || !same_value(e.value, written(*coeff * factor))) fail("read back: objective entry");
    }
    if (o != data.objective.size()) fail("read back: too many objective entries");
}

// The file's data into a new model through add_model_parts, as Model.add_mps_result does; the
// rows must come back with their senses, right-hand sides and terms. Names the store reserves
// for automatic rows ("_" first) are given as automatic.
void check_model_parts(const io::MpsData& data, const Snapshot& s, const std::vector<VarId>& columns, bool renamed) {
    const std::size_t ncols = data.columns.size();
    const std::size_t nrows = data.rows.size();
    std::vector<std::string> names;
    std::vector<double> lb, ub;
    std::vector<std::uint8_t> categories;
    for (std::size_t j = 0; j < ncols; ++j) {
        names.emplace_back(data.names[j]);
        lb.push_back(data.columns[j].lower.value_or(-kInf));
        ub.push_back(data.columns[j].upper.value_or(kInf));
        categories.push_back(data.columns[j].integer ? 1 : 0);
    }
    std::vector<std::vector<std::pair<VarId, double>>> by_row(nrows);
    data.entries.for_each([&](const io::MpsEntry& e) { by_row[e.row].emplace_back(e.column, e.value); });
    std::vector<std::uint64_t> starts{0};
    std::vector<VarId> ids;
    std::vector<double> coeffs, rhs;
    std::vector<std::uint8_t> senses;
    std::vector<std::optional<std::string_view>> row_names;
    for (std::size_t r = 0; r < nrows; ++r) {
        for (const auto& [column, value] : by_row[r]) {
            ids.push_back(column);
            coeffs.push_back(value);
        }
        starts.push_back(ids.size());
        senses.push_back(static_cast<std::uint8_t>(data.rows[r].sense + 1));
        rhs.push_back(-data.rows[r].constant);
        const std::string_view name = data.names[ncols + r];
        row_names.push_back(name.empty() || name.front() == '_' ? std::nullopt : std::optional(name));
    }
    std::vector<VarId> objective_ids;
    std::vector<double> objective_coeffs;
    for (const io::MpsObjectiveEntry& e : data.objective) {
        objective_ids.push_back(e.column);
        objective_coeffs.push_back(e.value);
    }
    ModelParts parts{VariableColumns{names, lb, ub, categories}, objective_ids, objective_coeffs, std::nullopt,
                     ConstraintRows{starts, ids, coeffs, senses, rhs,
                                    [&row_names](std::size_t i) { return row_names[i]; }, nrows}};
    auto model = std::make_shared<SharedModel>("parts");
    // An objective may hold a coefficient that is not finite (repeated terms summed past the
    // largest double): the file carries it, and the model refuses it from a file.
    bool finite_objective = true;
    for (const double c : objective_coeffs) finite_objective = finite_objective && std::isfinite(c);
    try {
        add_model_parts(model, parts);
    } catch (const Error& e) {
        if (finite_objective || e.text() != "objective: non-finite coefficient") throw;
        return;
    }
    if (!finite_objective) fail("model parts: a non-finite objective coefficient was taken");
    const Snapshot got = snapshot(*model);
    if (got.variables.size() != ncols || got.constraints.size() != nrows) fail("model parts: sizes");
    for (std::size_t r = 0; r < nrows; ++r) {
        const ConstraintRecord& a = got.constraints[r];
        const ConstraintRecord& b = s.constraints[r];
        if (a.sense != b.sense || !same_value(a.rhs, written(b.rhs)) || a.terms.size() != b.terms.size())
            fail("model parts: row");
        for (const Term& t : a.terms) {
            const double* original = b.terms.find(columns[t.id]);
            if (original == nullptr || !same_value(t.coeff, written(*original))) fail("model parts: term");
        }
        const std::string written_name = renamed ? io::generated_name('C', r) : b.name;
        if (!row_names[r] ? a.name.front() != '_' : a.name != written_name) fail("model parts: row name");
    }
}

std::string scratch_path(const char* file) {
    static const std::string dir = [] {
        char templ[] = "/tmp/ondrel-fuzz-XXXXXX";
        if (mkdtemp(templ) == nullptr) fail("mkdtemp");
        return std::string(templ);
    }();
    return dir + "/" + file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    Bytes in(bytes, size);
    auto model = std::make_shared<SharedModel>("m");
    add_variables_from(in, *model);
    const std::size_t batches = 1 + in.u8() % 3;
    for (std::size_t b = 0; b < batches; ++b) add_rows_from(in, *model, b);
    set_objective_from(in, model);
    const Snapshot s = snapshot(*model);

    io::LpWriteOptions lp;
    lp.mip = in.flag();
    lp.max_length = in.u8() < 10 ? 4 : 255;
    const std::string lp_obj = in.u8() < 240 ? std::string("OBJ") : in.name('o', 0);
    const std::string dummy = in.u8() < 240 ? std::string("__dummy") : in.name('d', 0);
    lp.obj_name = lp_obj;
    lp.dummy_var_name = dummy;
    const std::string lp_path = scratch_path("f.lp");
    try {
        io::write_lp_file(*model, lp_path, lp);
        FILE* f = std::fopen(lp_path.c_str(), "rb");
        if (f == nullptr) fail("LP file missing");
        char tail[4] = {};
        std::fseek(f, -4, SEEK_END);
        if (std::fread(tail, 1, 4, f) != 4 || std::memcmp(tail, "End\n", 4) != 0) fail("LP file not ended");
        std::fclose(f);
    } catch (const Error&) {
    }

    io::MpsWriteOptions mps;
    mps.mps_sense = in.flag() ? -1 : 1;
    mps.mip = in.flag();
    mps.with_objsense = in.flag();
    mps.rename = in.u8() < 64;
    const std::string model_name = in.u8() < 240 ? std::string("M") : in.name('m', 0);
    const std::string obj_name = in.u8() < 240 ? std::string("OBJ") : in.name('o', 1);
    mps.model_name = model_name;
    mps.obj_name = obj_name;
    mps.entries_per_pass = 1 + in.u8() % 8;  // many passes over small models
    const std::string mps_path = scratch_path("f.mps");
    try {
        io::write_mps_file(*model, mps_path, mps);
    } catch (const Error&) {
        return 0;
    }
    bool plain = mps.rename || (plain_token(model_name) && plain_token(obj_name));
    if (!mps.rename) {
        // A column name opens the lines of its entries, and the reader takes a line that starts
        // with NAME, ROWS, COLUMNS or ENDATA as that keyword whatever follows: such a column
        // cannot be read back.
        for (const VarId v : used_ids(s)) {
            const std::string& name = s.variables[v].name;
            plain = plain && plain_token(name) && name != "NAME" && name != "ROWS" && name != "COLUMNS" &&
                    name != "ENDATA";
        }
        // The objective row shares the row names' namespace: a row named like it makes a file
        // whose entries for that name go to both (the writer writes the names it is given).
        for (const ConstraintRecord& c : s.constraints) plain = plain && plain_token(c.name) && c.name != obj_name;
    }
    io::MpsData data;
    try {
        data = io::read_mps_file(mps_path);
    } catch (const Error& e) {
        if (plain) {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(e.text().size()), e.text().data());
            fail("a written file with plain names does not read back");
        }
        return 0;
    }
    if (!plain) return 0;
    check_read_back(s, mps, data);
    check_model_parts(data, s, used_ids(s), mps.rename);
    return 0;
}
