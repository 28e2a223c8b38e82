#include "solver/klu_solver.hpp"

#include <cstring>
#include <utility>

namespace loxant {

SymbolicHandle::SymbolicHandle(SymbolicHandle&& other) noexcept
    : symbolic_(std::exchange(other.symbolic_, nullptr)), common_(other.common_) {}

SymbolicHandle& SymbolicHandle::operator=(SymbolicHandle&& other) noexcept {
    if (this != &other) {
        reset();
        symbolic_ = std::exchange(other.symbolic_, nullptr);
        common_ = other.common_;
    }
    return *this;
}

void SymbolicHandle::reset() noexcept {
    if (symbolic_ != nullptr)
        klu_free_symbolic(&symbolic_, common_);
}

void Analysis::release() noexcept {
    symbolic.reset();
    pattern = CompressedPattern{};
    ap_export.release();
    ai_export.release();
    ax_export.release();
}

namespace {

// A zeroed array.array('d') of nnz items, the same type as the template.
capi::Ref make_value_array(PyObject* value_template, int32_t nnz) {
    capi::Ref array = capi::Ref::steal(PyObject_CallMethod(value_template, "__copy__", nullptr));
    const Py_ssize_t bytes = static_cast<Py_ssize_t>(nnz) * static_cast<Py_ssize_t>(sizeof(double));
    capi::Ref zeros = capi::Ref::steal(PyBytes_FromStringAndSize(nullptr, bytes));
    std::memset(PyBytes_AS_STRING(zeros.get()), 0, bytes);
    capi::Ref::steal(PyObject_CallMethod(array.get(), "frombytes", "O", zeros.get()));
    return array;
}

template <class View> PyObject* held_owner(const View& view) noexcept {
    return view.held() ? view.owner() : nullptr;
}

} // namespace

void require_array(PyObject* obj, const char* name) {
    if (obj == Py_None)
        capi::raise_format(PyExc_TypeError, "Argument '%s' must be an array, not None", name);
}

void KluSolver::analyze(int32_t n, PyObject* ap, PyObject* ai, PyObject* value_template) {
    if (n < 0)
        capi::raise_format(PyExc_ValueError, "n must be non-negative, got %d", n);
    require_array(ap, "Ap");
    require_array(ai, "Ai");

    Analysis next;
    next.ap_export = IntView(ap, "int", capi::Access::read_contiguous);
    next.ai_export = IntView(ai, "int", capi::Access::read_contiguous);
    next.pattern = copy_pattern(n, next.ap_export, next.ai_export);
    next.n = n;
    next.nnz = next.pattern.nnz();
    next.ap = capi::Ref::borrow(ap);
    next.ai = capi::Ref::borrow(ai);
    next.ax = make_value_array(value_template, next.nnz);
    next.ax_export = DoubleView(next.ax.get(), "double", capi::Access::write_contiguous);

    // An empty system needs no analysis; KLU would call n = 0 invalid.
    if (n > 0) {
        klu_symbolic* symbolic =
            klu_analyze(n, next.pattern.col_ptr.data(), next.pattern.row_idx.data(), &common_);
        next.symbolic = SymbolicHandle(symbolic, &common_);
    } else {
        common_.status = KLU_OK;
    }
    // The pattern passed every check, so KLU refuses it only for its size or
    // for want of memory; the earlier analysis stays.
    if (n > 0 && next.symbolic.get() == nullptr) {
        if (common_.status == KLU_OUT_OF_MEMORY)
            capi::raise(PyExc_MemoryError, "KLU ran out of memory analysing the pattern");
        capi::raise_format(PyExc_ValueError, "KLU could not analyse the pattern (status %d)",
                           common_.status);
    }
    // An empty system holds nothing; solves have nothing to do.
    if (n == 0)
        next.release();

    std::swap(current_, next);
    singular_ = false;
    skipped_ = false;
    empty_system_ = n == 0;
    // `next` now holds the earlier analysis.  Freeing it last can run the
    // arrays' finalizers, which then find this object complete.
}

void KluSolver::release() noexcept {
    current_.release();
    empty_system_ = false;
}

void KluSolver::solve(const DoubleView& values, const DoubleView& rhs) {
    if (!analysed()) {
        skip();
        return;
    }
    check_length("Ax", values.size(), current_.nnz);
    check_length("B", rhs.size(), current_.n);
    factor_and_solve(values.data(), rhs.data());
}

void KluSolver::solve_dense(const DenseView& dense, const DoubleView& rhs) {
    if (!analysed()) {
        skip();
        return;
    }
    const int32_t n = current_.n;
    if (dense.shape(0) < n || dense.shape(1) < n)
        capi::raise_format(PyExc_ValueError,
                           "Argument 'Ax' has shape (%zd, %zd), expected at least (%d, %d)",
                           dense.shape(0), dense.shape(1), n, n);
    check_length("B", rhs.size(), n);
    gather(dense);
    factor_and_solve(current_.ax_export.data(), rhs.data());
}

void KluSolver::gather(const DenseView& dense) noexcept {
    const CompressedPattern& pattern = current_.pattern;
    double* values = current_.ax_export.data();
    const char* base = reinterpret_cast<const char*>(dense.data());
    const Py_ssize_t row_stride = dense.stride(0);
    const Py_ssize_t col_stride = dense.stride(1);
    for (int32_t j = 0; j < pattern.n; ++j)
        for (int32_t k = pattern.col_ptr[j]; k < pattern.col_ptr[j + 1]; ++k)
            values[k] = *reinterpret_cast<const double*>(base + pattern.row_idx[k] * row_stride +
                                                         j * col_stride);
}

void KluSolver::factor_and_solve(double* values, double* rhs) noexcept {
    CompressedPattern& pattern = current_.pattern;
    klu_numeric* numeric = klu_factor(pattern.col_ptr.data(), pattern.row_idx.data(), values,
                                      current_.symbolic.get(), &common_);
    singular_ = common_.status == KLU_SINGULAR;
    skipped_ = false;
    // Skipping klu_solve after a failed factorization leaves B as it was and
    // keeps the factorization's status rather than klu_solve's KLU_INVALID.
    if (numeric != nullptr && common_.status == KLU_OK)
        klu_solve(current_.symbolic.get(), numeric, pattern.n, 1, rhs, &common_);
    klu_free_numeric(&numeric, &common_);
}

void KluSolver::clear() noexcept {
    Analysis empty;
    std::swap(current_, empty);
    singular_ = false;
    skipped_ = false;
    empty_system_ = false;
}

int KluSolver::traverse(visitproc visit, void* arg) const {
    Py_VISIT(current_.ap.get());
    Py_VISIT(current_.ai.get());
    Py_VISIT(current_.ax.get());
    // Each held export owns one more reference to its array.
    for (PyObject* owner : {held_owner(current_.ap_export), held_owner(current_.ai_export),
                            held_owner(current_.ax_export)})
        Py_VISIT(owner);
    return 0;
}

} // namespace loxant
