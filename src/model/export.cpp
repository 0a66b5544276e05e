#include "model/export.hpp"

#include <cmath>

#include "base/borrowed.hpp"
#include "base/numeric.hpp"

namespace ondrel {

MatrixExport export_matrix(SharedModel& model, bool column_wise) {
    MatrixExport out;
    out.column_wise = column_wise;
    with_core(model, [&](const ModelCore& core) {
        const std::size_t n = core.variables.size();
        const std::size_t m = core.constraints.size();
        out.columns = n;
        out.rows = m;
        out.maximize = core.objective_sense == ObjSense::Maximize;
        out.cost.assign(n, 0.0);
        if (core.objective) {
            out.offset = core.objective->constant;
            for (const Term& t : core.objective->terms) {
                if (t.id < n) out.cost[t.id] += t.coeff;
            }
        }
        out.col_lower.resize(n);
        out.col_upper.resize(n);
        out.integer.resize(n);
        for (std::size_t j = 0; j < n; ++j) {
            const VariableRecord& v = core.variables[j];
            out.col_lower[j] = v.lb;
            out.col_upper[j] = v.ub;
            out.integer[j] = v.category != Category::Continuous;
        }
        out.row_lower.resize(m);
        out.row_upper.resize(m);
        std::size_t nnz = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const ConstraintRecord& c = core.constraints[i];
            out.row_lower[i] = c.sense == Sense::LessEqual ? -kInf : c.rhs;
            out.row_upper[i] = c.sense == Sense::GreaterEqual ? kInf : c.rhs;
            nnz += c.terms.size();
        }
        out.index.resize(nnz);
        out.value.resize(nnz);
        if (!column_wise) {
            out.starts.resize(m + 1);
            std::size_t k = 0;
            for (std::size_t i = 0; i < m; ++i) {
                out.starts[i] = static_cast<std::int64_t>(k);
                for (const Term& t : core.constraints[i].terms) {
                    out.index[k] = static_cast<std::int64_t>(t.id);
                    out.value[k++] = t.coeff;
                }
            }
            out.starts[m] = static_cast<std::int64_t>(k);
            return;
        }
        // Column-wise: count the entries of each column, then place each row's entries, rows in
        // order, so each column's entries come in row order.
        out.starts.assign(n + 1, 0);
        for (const ConstraintRecord& c : core.constraints) {
            for (const Term& t : c.terms) {
                if (t.id < n) ++out.starts[t.id + 1];
            }
        }
        for (std::size_t j = 0; j < n; ++j) out.starts[j + 1] += out.starts[j];
        std::vector<std::int64_t> next(out.starts.begin(), out.starts.end() - 1);
        for (std::size_t i = 0; i < m; ++i) {
            for (const Term& t : core.constraints[i].terms) {
                if (t.id >= n) continue;
                const std::int64_t k = next[t.id]++;
                out.index[static_cast<std::size_t>(k)] = static_cast<std::int64_t>(i);
                out.value[static_cast<std::size_t>(k)] = t.coeff;
            }
        }
        out.index.resize(static_cast<std::size_t>(out.starts[n]));
        out.value.resize(static_cast<std::size_t>(out.starts[n]));
    });
    return out;
}

void store_solution(SharedModel& model, const SolutionArrays& s) {
    with_core(model, [&](ModelCore& core) {
        const std::size_t n = core.variables.size();
        const std::size_t m = core.constraints.size();
        if ((s.col_value != nullptr || s.col_dual != nullptr) && s.columns != n) {
            raise_value(Msg() << "the solution has " << s.columns << " column values for a model of " << n
                              << " variables");
        }
        if ((s.row_activity != nullptr || s.row_dual != nullptr) && s.rows != m) {
            raise_value(Msg() << "the solution has " << s.rows << " row values for a model of " << m
                              << " constraints");
        }
        for (std::size_t j = 0; j < n; ++j) {
            VariableRecord& v = core.variables[j];
            if (s.col_value != nullptr) v.set_value(read_once(s.col_value[j]));
            if (s.col_dual != nullptr) v.set_dj(read_once(s.col_dual[j]));
        }
        if (m == 0 || (s.row_activity == nullptr && s.row_dual == nullptr)) return;
        core.constraint_solutions.resize(m);
        for (std::size_t i = 0; i < m; ++i) {
            ConstraintSolution& sol = core.constraint_solutions[i];
            if (s.row_dual != nullptr) sol.pi = read_once(s.row_dual[i]);
            if (s.row_activity != nullptr) sol.slack = core.constraints[i].rhs - read_once(s.row_activity[i]);
        }
    });
}

}  // namespace ondrel
