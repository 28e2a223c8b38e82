// A compressed-column sparsity pattern, checked and copied from the caller's
// arrays so that KLU never reads memory the caller can still change.
#pragma once

#include "capi/buffer.hpp"

#include <cstdint>
#include <vector>

namespace loxant {

using IntView = capi::BufferView<int32_t, 1>;

struct CompressedPattern {
    int32_t n = 0;
    std::vector<int32_t> col_ptr; // n + 1 entries; col_ptr[n] is the entry count
    std::vector<int32_t> row_idx; // at least one entry, so KLU is never handed NULL

    int32_t nnz() const noexcept { return col_ptr.empty() ? 0 : col_ptr.back(); }
};

// Checks that `ap` and `ai` describe a valid pattern of order n (column
// pointers from 0, non-decreasing, row indices in [0, n), no row twice in a
// column) and copies it;
// ValueError names the first offending entry.
CompressedPattern copy_pattern(int32_t n, const IntView& ap, const IntView& ai);

// ValueError unless `have` items cover the `need` that the pattern requires.
void check_length(const char* name, Py_ssize_t have, int64_t need);

} // namespace loxant
