// The compressed-column pattern of a circuit's matrix from its elements' stamp
// positions, in time linear in the stamps and the order: two counting sorts
// (by row, then stably by column) put the positions in column order with rows
// ascending, and equal neighbours are one entry.
#include "engine/sparsity_pattern.hpp"

#include "capi/args.hpp"
#include "capi/buffer.hpp"
#include "capi/errors.hpp"

#include <cstdint>
#include <vector>

namespace loxant::engine {

namespace {

const char* const kFile = "engine/sparsity_pattern.cpp";

using Int64View = capi::BufferView<int64_t, 1>;

// Positions of `keys` (values in [0, n]) stably ordered by key, taken from
// `order` (all positions where `order` is empty).
std::vector<int64_t> counting_sort(const std::vector<int64_t>& order, const Int64View& keys,
                                   int64_t n) {
    std::vector<int64_t> start(static_cast<size_t>(n) + 2, 0);
    const auto key = keys.strided();
    for (int64_t p : order)
        ++start[static_cast<size_t>(key[p]) + 1];
    for (int64_t k = 1; k <= n + 1; ++k)
        start[k] += start[k - 1];
    std::vector<int64_t> sorted(order.size());
    for (int64_t p : order)
        sorted[static_cast<size_t>(start[static_cast<size_t>(key[p])]++)] = p;
    return sorted;
}

struct Pattern {
    std::vector<int32_t> col_ptr, row_idx, where;
};

// Stamp k at (rows[k], cols[k]), 1-based unknowns, 0 where the position has no
// entry; `where[k]` is the index of its entry (0 for none).
Pattern build(int64_t n, const Int64View& rows, const Int64View& cols) {
    const Py_ssize_t count = rows.size();
    std::vector<int64_t> stamped;
    stamped.reserve(static_cast<size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        const int64_t r = rows.strided()[k], c = cols.strided()[k];
        if (r < 0 || r > n || c < 0 || c > n)
            capi::raise_format(PyExc_ValueError, "stamp %zd at (%lld, %lld) is outside 0..%lld", k,
                               static_cast<long long>(r), static_cast<long long>(c),
                               static_cast<long long>(n));
        if (r > 0 && c > 0)
            stamped.push_back(k);
    }
    const std::vector<int64_t> by_column = counting_sort(counting_sort(stamped, rows, n), cols, n);
    Pattern pattern;
    pattern.col_ptr.assign(static_cast<size_t>(n) + 1, 0);
    pattern.where.assign(static_cast<size_t>(count), 0);
    int64_t last_row = -1, last_col = -1;
    for (int64_t k : by_column) {
        const int64_t r = rows.strided()[k], c = cols.strided()[k];
        if (r != last_row || c != last_col) {
            pattern.row_idx.push_back(static_cast<int32_t>(r - 1));
            ++pattern.col_ptr[static_cast<size_t>(c)];
            last_row = r;
            last_col = c;
        }
        pattern.where[static_cast<size_t>(k)] = static_cast<int32_t>(pattern.row_idx.size() - 1);
    }
    for (int64_t c = 1; c <= n; ++c)
        pattern.col_ptr[c] += pattern.col_ptr[c - 1];
    return pattern;
}

capi::Ref int32_bytes(const std::vector<int32_t>& values) {
    return capi::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                      static_cast<Py_ssize_t>(values.size() * 4)));
}

// sparsity_pattern(n, rows, cols) -> (Ap, Ai, where) as bytes of int32
PyObject* sparsity_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary("loxant.NativeEngine.sparsity_pattern", kFile, [&] {
        static const char* const names[] = {"n", "rows", "cols"};
        static const capi::Signature sig{"sparsity_pattern", names, 3, 3};
        PyObject* given[3];
        capi::parse_args(sig, args, nargs, kwnames, given);
        const long long n = PyLong_AsLongLong(given[0]);
        if (n == -1 && PyErr_Occurred())
            capi::raise_pending();
        if (n < 0 || n >= INT32_MAX)
            capi::raise(PyExc_ValueError, "n must be in 0..2**31-2");
        const Int64View rows(given[1], "int64_t", capi::Access::read);
        const Int64View cols(given[2], "int64_t", capi::Access::read);
        if (rows.size() != cols.size())
            capi::raise(PyExc_ValueError, "rows and cols differ in length");
        if (rows.size() >= INT32_MAX)
            capi::raise(PyExc_ValueError, "too many stamps");
        const Pattern pattern = build(n, rows, cols);
        capi::Ref ap = int32_bytes(pattern.col_ptr), ai = int32_bytes(pattern.row_idx),
                  where = int32_bytes(pattern.where);
        return capi::Ref::steal(PyTuple_Pack(3, ap.get(), ai.get(), where.get()));
    });
}

template <class F> PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kFunctions[] = {
    {"sparsity_pattern", as_cfunction(sparsity_pattern), METH_FASTCALL | METH_KEYWORDS,
     "sparsity_pattern(n, rows, cols)\n--\n\nThe compressed-column pattern of order n holding "
     "every stamp (rows[k], cols[k]) (1-based; 0: no entry): (Ap, Ai, where) as bytes of "
     "int32, rows ascending within each column, where[k] the entry of stamp k (0 for none)."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

void add_sparsity_pattern(PyObject* module) {
    if (PyModule_AddFunctions(module, kFunctions) < 0)
        capi::raise_pending();
}

} // namespace loxant::engine
