// The state behind one SparseDirect object: KLU's parameters, the symbolic
// analysis of one pattern, and the arrays that analysis was made from.
#pragma once

#include "solver/compressed_pattern.hpp"

#include <klu.h>

#include <type_traits>

namespace loxant {

// KLU's int interface is fed straight from 32-bit buffers.
static_assert(std::is_same_v<int, int32_t>, "KLU's int must be int32_t");

using DoubleView = capi::BufferView<double, 1>;
using DenseView = capi::BufferView<double, 2>;

// `status` after a solve that factored nothing because no analysis was held
// (before analyze, after __del__); KLU's own codes are 0, 1 and negative
// numbers below -1.
constexpr int kNotFactored = -1;

// TypeError where an array is required and None was given.
void require_array(PyObject* obj, const char* name);

// Owns one klu_symbolic; freeing accepts NULL and nulls the handle.
class SymbolicHandle {
  public:
    SymbolicHandle() = default;
    SymbolicHandle(klu_symbolic* symbolic, klu_common* common) noexcept
        : symbolic_(symbolic), common_(common) {}
    SymbolicHandle(SymbolicHandle&& other) noexcept;
    SymbolicHandle& operator=(SymbolicHandle&& other) noexcept;
    SymbolicHandle(const SymbolicHandle&) = delete;
    SymbolicHandle& operator=(const SymbolicHandle&) = delete;
    ~SymbolicHandle() { reset(); }

    void reset() noexcept;
    klu_symbolic* get() const noexcept { return symbolic_; }

  private:
    klu_symbolic* symbolic_ = nullptr;
    klu_common* common_ = nullptr;
};

// Everything one analyze establishes.  It is replaced as a whole, so the
// symbolic analysis, the pattern KLU reads and the exported arrays agree.
struct Analysis {
    int32_t n = 0;
    int32_t nnz = 0;
    // The objects shown as attributes: the caller's pattern arrays and the
    // value array made for it; None when empty.
    capi::Ref ap = capi::Ref::borrow(Py_None);
    capi::Ref ai = capi::Ref::borrow(Py_None);
    capi::Ref ax = capi::Ref::borrow(Py_None);
    CompressedPattern pattern; // what KLU reads
    SymbolicHandle symbolic;
    // Held exports: the arrays cannot be resized while they are analysed.
    IntView ap_export;
    IntView ai_export;
    DoubleView ax_export;

    // Drops the analysis and the exports; the attributes stay.
    void release() noexcept;
};

class KluSolver {
  public:
    KluSolver() noexcept { klu_defaults(&common_); }

    // Checks and copies the pattern, makes the value array by copying
    // `value_template`, runs klu_analyze.  If anything raises (KLU refusing
    // the pattern included), the earlier analysis is kept unchanged.
    void analyze(int32_t n, PyObject* ap, PyObject* ai, PyObject* value_template);

    // True when a symbolic analysis is held, so solves factor and solve.
    bool analysed() const noexcept { return current_.symbolic.get() != nullptr; }

    // Factor with `values` (nnz entries) and solve in place in `rhs`; does
    // nothing unless analysed.  Lengths are checked against the analysis
    // current at the call, with no Python code run before KLU reads them.
    void solve(const DoubleView& values, const DoubleView& rhs);
    // Same, with the values gathered from a dense matrix into the value array.
    void solve_dense(const DenseView& dense, const DoubleView& rhs);

    void release() noexcept; // __del__
    void clear() noexcept;   // back to the empty state
    // A solve call that finds no analysis: nothing is factored, and `status`
    // says so (an analysed empty system needs no factorization).
    void skip() noexcept { skipped_ = !empty_system_; }
    int traverse(visitproc visit, void* arg) const;

    const Analysis& analysis() const noexcept { return current_; }
    int status() const noexcept { return skipped_ ? kNotFactored : common_.status; }
    bool singular() const noexcept { return singular_; }

  private:
    void factor_and_solve(double* values, double* rhs) noexcept;
    void gather(const DenseView& dense) noexcept;

    klu_common common_{}; // declared first: the analysis frees through it
    Analysis current_;
    bool singular_ = false;
    bool skipped_ = false;      // the last solve call factored nothing
    bool empty_system_ = false; // analysed with n = 0
};

} // namespace loxant
