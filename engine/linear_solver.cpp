#include "engine/linear_solver.hpp"

namespace loxant::engine {

namespace {

// Reused pivots are kept while the cheap condition estimate stays within this
// factor of the fresh one, and above an absolute floor.
constexpr double kRcondDrop = 1e-3;
constexpr double kRcondFloor = 1e-14;

} // namespace

LinearSolver::~LinearSolver() {
    klu_free_numeric(&numeric_, &common_);
    klu_free_symbolic(&symbolic_, &common_);
}

bool LinearSolver::analyse(int32_t n, const int32_t* col_ptr, const int32_t* row_idx) {
    klu_free_numeric(&numeric_, &common_);
    klu_free_symbolic(&symbolic_, &common_);
    n_ = n;
    col_ptr_.assign(col_ptr, col_ptr + n + 1);
    row_idx_.assign(row_idx, row_idx + col_ptr[n]);
    symbolic_ = klu_analyze(n, col_ptr_.data(), row_idx_.data(), &common_);
    return symbolic_ != nullptr;
}

bool LinearSolver::factor_fresh(const double* values) noexcept {
    klu_free_numeric(&numeric_, &common_);
    // KLU takes the values as non-const but only reads them.
    numeric_ = klu_factor(col_ptr_.data(), row_idx_.data(), const_cast<double*>(values), symbolic_,
                          &common_);
    ++factorisations_;
    if (numeric_ == nullptr || common_.status != KLU_OK) {
        klu_free_numeric(&numeric_, &common_);
        return false;
    }
    klu_rcond(symbolic_, numeric_, &common_);
    fresh_rcond_ = common_.rcond;
    return true;
}

bool LinearSolver::factor(const double* values) noexcept {
    if (numeric_ == nullptr)
        return factor_fresh(values);
    const bool refactored =
        klu_refactor(col_ptr_.data(), row_idx_.data(), const_cast<double*>(values), symbolic_,
                     numeric_, &common_) != 0 &&
        common_.status == KLU_OK;
    ++refactorisations_;
    if (refactored && klu_rcond(symbolic_, numeric_, &common_) && common_.rcond >= kRcondFloor &&
        common_.rcond >= kRcondDrop * fresh_rcond_)
        return true;
    return factor_fresh(values);
}

void LinearSolver::forget() noexcept {
    klu_free_numeric(&numeric_, &common_);
}

void LinearSolver::solve(double* rhs) noexcept {
    klu_solve(symbolic_, numeric_, n_, 1, rhs, &common_);
}

} // namespace loxant::engine
