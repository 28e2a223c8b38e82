#include "solver/compressed_pattern.hpp"

#include <algorithm>

namespace loxant {

namespace {

void check_column_pointers(const int32_t* ap, int32_t n) {
    if (ap[0] != 0)
        capi::raise_format(PyExc_ValueError, "Ap[0] must be 0, got %d", ap[0]);
    for (int32_t j = 0; j < n; ++j)
        if (ap[j + 1] < ap[j])
            capi::raise_format(PyExc_ValueError,
                               "Ap must be non-decreasing, but Ap[%d] = %d > Ap[%d] = %d", j, ap[j],
                               j + 1, ap[j + 1]);
}

void check_row_indices(const int32_t* ai, int32_t nnz, int32_t n) {
    for (int32_t k = 0; k < nnz; ++k)
        if (ai[k] < 0 || ai[k] >= n)
            capi::raise_format(PyExc_ValueError, "Ai[%d] = %d is out of range for n = %d", k, ai[k],
                               n);
}

// KLU refuses a column that names a row twice; say which.
void check_no_duplicates(const int32_t* ap, const int32_t* ai, int32_t n) {
    std::vector<int32_t> seen_in(static_cast<size_t>(n), -1); // column that last named the row
    for (int32_t j = 0; j < n; ++j)
        for (int32_t k = ap[j]; k < ap[j + 1]; ++k) {
            if (seen_in[ai[k]] == j)
                capi::raise_format(PyExc_ValueError,
                                   "Ai[%d] = %d repeats a row already stored in column %d", k,
                                   ai[k], j);
            seen_in[ai[k]] = j;
        }
}

} // namespace

void check_length(const char* name, Py_ssize_t have, int64_t need) {
    if (have < need)
        capi::raise_format(PyExc_ValueError, "Argument '%s' has %zd items, expected at least %lld",
                           name, have, static_cast<long long>(need));
}

CompressedPattern copy_pattern(int32_t n, const IntView& ap, const IntView& ai) {
    check_length("Ap", ap.size(), int64_t{n} + 1);
    check_column_pointers(ap.data(), n);
    const int32_t nnz = ap.data()[n];
    check_length("Ai", ai.size(), nnz);
    check_row_indices(ai.data(), nnz, n);
    check_no_duplicates(ap.data(), ai.data(), n);

    CompressedPattern pattern;
    pattern.n = n;
    pattern.col_ptr.assign(ap.data(), ap.data() + n + 1);
    pattern.row_idx.assign(std::max(nnz, 1), 0);
    std::copy(ai.data(), ai.data() + nnz, pattern.row_idx.begin());
    return pattern;
}

} // namespace loxant
