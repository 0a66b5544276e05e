// A model as arrays: what solvers and numeric libraries take (HiGHS's passModel, SciPy's sparse
// matrices). Every variable is a column, in id order; every constraint a row, in stored order.
#pragma once

#include <cstdint>
#include <vector>

#include "model/store.hpp"

namespace ondrel {

struct MatrixExport {
    std::size_t columns = 0;
    std::size_t rows = 0;
    bool column_wise = false;          // the matrix in compressed columns, else compressed rows
    bool maximize = false;
    double offset = 0.0;               // the objective's constant
    std::vector<double> cost;          // objective coefficient per column (0 where none)
    std::vector<double> col_lower, col_upper;
    std::vector<std::uint8_t> integer; // 1 for an Integer or Binary column
    std::vector<double> row_lower, row_upper;  // -inf / +inf where a side is open
    std::vector<std::int64_t> starts;  // columns + 1 or rows + 1 offsets into index and value
    std::vector<std::int64_t> index;   // the row (column-wise) or column (row-wise) of each entry
    std::vector<double> value;
};

// The model's arrays under one hold of its lock. Row-wise, the entries of each row keep the
// row's term order; column-wise, the entries of each column come in row order. A row's bounds
// come from its sense: "<=" (-inf, rhs), ">=" (rhs, +inf), "==" (rhs, rhs).
MatrixExport export_matrix(SharedModel& model, bool column_wise);

// A whole solution by position, as a solver reports it for the exported arrays: values and
// reduced costs per column, activities and duals per row. Each may be empty (not reported);
// a non-empty one must have one entry per column or row. Activities are stored as slacks
// (right-hand side minus activity). Variables without a reported value keep theirs.
struct SolutionArrays {
    const double* col_value = nullptr;
    const double* col_dual = nullptr;
    const double* row_activity = nullptr;
    const double* row_dual = nullptr;
    std::size_t columns = 0;  // length of col_value and col_dual when given
    std::size_t rows = 0;     // length of row_activity and row_dual when given
};
// ValueError when a length is not the model's count; nothing is stored then.
void store_solution(SharedModel& model, const SolutionArrays& solution);

}  // namespace ondrel
