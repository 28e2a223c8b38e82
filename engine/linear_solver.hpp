// KLU for a time loop: one symbolic analysis per run, one numeric
// factorisation kept from solve to solve.  New values are refactored with the
// kept pivot order; when the pivots so reused turn out poor (klu_rcond falls
// far below what a fresh factorisation gave) the matrix is factored afresh.
//
// The loop solves many times with each factorisation, so after every one the
// factors are taken out of KLU (klu_extract) and stored by rows, each entry's
// column beside its value.  A solve then runs down each row of L and up each
// row of U once, in KLU's order of subtraction, and reads nothing it does not
// use: it takes about 0.6 of klu_solve's time on circuit matrices, whose rows
// hold one to three entries.  A refactorisation, whose pattern is the fresh
// one's, only moves the new values into place.  A large matrix that AMD's
// order leaves a chain (a JTL) is ordered by nested dissection (METIS) instead,
// so that a solve does not wait along it row after row (see order_chains).
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
    // Whether factor() takes the factors out as rows for solve() (default),
    // or solve() calls klu_solve: for a factorisation solved with once.
    void solve_by_rows(bool rows) noexcept { use_rows_ = rows; }
    // Forgets the pivots, so the next factor() starts afresh.
    void forget() noexcept;
    // Solves in place with the factorisation of the last successful factor().
    void solve(double* rhs) noexcept;
    // The same with klu_solve, the reference the loop's own solve is timed and
    // checked against.
    void solve_with_klu(double* rhs) noexcept;

    int status() const noexcept { return common_.status; }
    int64_t factorisations() const noexcept { return factorisations_; }
    int64_t refactorisations() const noexcept { return refactorisations_; }

  private:
    // One off-diagonal entry of a factor's row.
    struct RowEntry {
        int32_t column;
        double value;
    };
    // A triangular factor's off-diagonal entries by rows: row k's are
    // entries[start[k] .. start[k + 1]), in increasing column.  place[p] is
    // where klu_extract's p-th entry went: an index into entries, or -k - 1
    // for the diagonal entry of column k.
    struct FactorRows {
        std::vector<int32_t> start;
        std::vector<RowEntry> entries;
        std::vector<int32_t> place;
    };

    // The pattern of A + A^T as adjacency lists.
    struct Graph {
        std::vector<int32_t> start, neighbours;
    };
    Graph pattern_graph() const;
    int32_t tree_height(const Graph& graph, const int32_t* order) const;
    bool dissection_order(const Graph& graph, std::vector<int32_t>& order) const;
    bool order_by_dissection(const Graph& graph);
    void order_chains() noexcept;
    bool factor_kept_or_fresh(const double* values) noexcept;
    bool factor_fresh(const double* values) noexcept;
    struct ColumnFactors;
    bool extract(ColumnFactors& f) noexcept;
    bool take_factors() noexcept;
    bool refresh_rows() noexcept;
    void refresh_values(const std::vector<double>& values, FactorRows& rows, bool pivots) noexcept;
    static void store_by_rows(int32_t n, const std::vector<int32_t>& col_ptr,
                              const std::vector<int32_t>& row_idx,
                              const std::vector<double>& values, FactorRows& rows);

    klu_common common_{};
    klu_symbolic* symbolic_ = nullptr;
    klu_numeric* numeric_ = nullptr;
    int32_t n_ = 0;
    std::vector<int32_t> col_ptr_, row_idx_;
    double fresh_rcond_ = 0.0; // klu_rcond right after the last fresh factorisation
    int64_t factorisations_ = 0;
    int64_t refactorisations_ = 0;

    // The last factorisation as L U = P A Q (no scaling, one block), taken out
    // of KLU: held only while rows_held_.
    bool rows_held_ = false;
    bool use_rows_ = true;
    FactorRows lower_, upper_;
    std::vector<double> inverse_pivot_; // 1 / U_kk
    std::vector<int32_t> row_order_;    // P
    std::vector<int32_t> column_order_; // Q
    std::vector<double> work_;
};

} // namespace loxant::engine
