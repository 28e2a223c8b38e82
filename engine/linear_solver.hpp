// KLU for a time loop: one symbolic analysis per run, one numeric
// factorisation kept from solve to solve.  New values are refactored with the
// kept pivot order; when the pivots so reused turn out poor (klu_rcond falls
// far below what a fresh factorisation gave) the matrix is factored afresh.
#pragma once

#include <klu.h>

#include <cstdint>
#include <vector>

namespace loxant::engine {

class LinearSolver {
  public:
    // One block, no row scaling: circuits that lossless lines cut into many
    // pieces spent a third of each solve in klu_solve's loop over the blocks
    // and its scaling.  Pivots still pass KLU's threshold test, and a
    // refactorisation whose condition falls is redone afresh (see factor).
    LinearSolver() noexcept {
        klu_defaults(&common_);
        common_.btf = 0;
        common_.scale = 0;
    }
    ~LinearSolver();
    LinearSolver(const LinearSolver&) = delete;
    LinearSolver& operator=(const LinearSolver&) = delete;

    // Copies and analyses the pattern; false if KLU refuses it (status() says why).
    bool analyse(int32_t n, const int32_t* col_ptr, const int32_t* row_idx);

    // Factors `values` (nnz entries): refactor if a factorisation is held,
    // else a fresh one.  False if the matrix is singular.
    bool factor(const double* values) noexcept;
    // Forgets the pivots, so the next factor() starts afresh.
    void forget() noexcept;
    // Solves in place with the factorisation of the last successful factor().
    void solve(double* rhs) noexcept;

    int status() const noexcept { return common_.status; }
    int64_t factorisations() const noexcept { return factorisations_; }
    int64_t refactorisations() const noexcept { return refactorisations_; }

  private:
    bool factor_fresh(const double* values) noexcept;

    klu_common common_{};
    klu_symbolic* symbolic_ = nullptr;
    klu_numeric* numeric_ = nullptr;
    int32_t n_ = 0;
    std::vector<int32_t> col_ptr_, row_idx_;
    double fresh_rcond_ = 0.0; // klu_rcond right after the last fresh factorisation
    int64_t factorisations_ = 0;
    int64_t refactorisations_ = 0;
};

} // namespace loxant::engine
