#include "engine/linear_solver.hpp"

#if defined(LOXANT_METIS)
#include <metis.h>
#endif

#include <algorithm>
#include <new>

namespace loxant::engine {

namespace {

// Reused pivots are kept while the cheap condition estimate stays within this
// factor of the fresh one, and above an absolute floor.
constexpr double kRcondDrop = 1e-3;
constexpr double kRcondFloor = 1e-14;

// Matrices from this size on may be ordered by nested dissection (see
// dissection_order); a cell's matrix is ordered by AMD, whose solve is no
// slower there and whose order takes no time.
constexpr int32_t kDissectFrom = 2000;
// ... where a solve under AMD's order would wait along a chain of more than
// this share of the rows.
constexpr int32_t kChainShare = 16;

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
    // only where a factorisation serves many solves: elsewhere the
    // dissection's extra fill would cost each factorisation what its solve gains
    if (symbolic_ != nullptr && use_rows_ && n >= kDissectFrom)
        order_chains();
    return symbolic_ != nullptr;
}

// Orders the matrix by nested dissection where AMD's order leaves it a chain.
void LinearSolver::order_chains() noexcept {
    try {
        const Graph graph = pattern_graph();
        if (tree_height(graph, symbolic_->Q) > n_ / kChainShare)
            order_by_dissection(graph);
    } catch (const std::bad_alloc&) {
        // AMD's order stands
    }
}

// The height of the elimination tree of the graph in the given order (Liu's
// algorithm): the longest chain of rows of the factors each of which waits
// for the one before, a solve's latency.
int32_t LinearSolver::tree_height(const Graph& graph, const int32_t* order) const {
    const auto n = static_cast<size_t>(n_);
    std::vector<int32_t> place(n);
    for (size_t k = 0; k < n; ++k)
        place[static_cast<size_t>(order[k])] = static_cast<int32_t>(k);
    std::vector<int32_t> parent(n, -1), ancestor(n, -1);
    for (int32_t k = 0; k < n_; ++k) {
        const auto node = static_cast<size_t>(order[k]);
        for (int32_t p = graph.start[node]; p < graph.start[node + 1]; ++p)
            for (int32_t r = place[static_cast<size_t>(graph.neighbours[static_cast<size_t>(p)])];
                 r != -1 && r < k;) {
                const int32_t up = ancestor[static_cast<size_t>(r)];
                ancestor[static_cast<size_t>(r)] = k;
                if (up == -1)
                    parent[static_cast<size_t>(r)] = k;
                r = up;
            }
    }
    // a parent comes after its children: depths from the roots down
    std::vector<int32_t> depth(n, 0);
    int32_t height = 0;
    for (size_t k = n; k-- > 0;) {
        const int32_t up = parent[k];
        depth[k] = up < 0 ? 0 : depth[static_cast<size_t>(up)] + 1;
        height = std::max(height, depth[k]);
    }
    return height;
}

// Replaces AMD's order by nested dissection's; false, and AMD's order kept,
// if there is none.
bool LinearSolver::order_by_dissection(const Graph& graph) {
    std::vector<int32_t> order;
    if (!dissection_order(graph, order))
        return false;
    klu_symbolic* dissected = klu_analyze_given(n_, col_ptr_.data(), row_idx_.data(), order.data(),
                                                order.data(), &common_);
    if (dissected == nullptr)
        return false;
    klu_free_symbolic(&symbolic_, &common_);
    symbolic_ = dissected;
    return true;
}

// The graph of the pattern of A + A^T: each row's neighbours from start[k],
// each once, no row its own.
LinearSolver::Graph LinearSolver::pattern_graph() const {
    const auto n = static_cast<size_t>(n_);
    std::vector<int32_t> first(n + 1, 0);
    for (int32_t col = 0; col < n_; ++col)
        for (int32_t p = col_ptr_[col]; p < col_ptr_[col + 1]; ++p)
            if (row_idx_[p] != col) {
                ++first[static_cast<size_t>(col) + 1];
                ++first[static_cast<size_t>(row_idx_[p]) + 1];
            }
    for (size_t k = 0; k < n; ++k)
        first[k + 1] += first[k];
    std::vector<int32_t> all(static_cast<size_t>(first[n]));
    std::vector<int32_t> next(first.begin(), first.end() - 1);
    for (int32_t col = 0; col < n_; ++col)
        for (int32_t p = col_ptr_[col]; p < col_ptr_[col + 1]; ++p)
            if (const int32_t row = row_idx_[p]; row != col) {
                all[static_cast<size_t>(next[static_cast<size_t>(col)]++)] = row;
                all[static_cast<size_t>(next[static_cast<size_t>(row)]++)] = col;
            }
    Graph graph;
    graph.start.assign(n + 1, 0);
    graph.neighbours.reserve(all.size());
    for (size_t k = 0; k < n; ++k) {
        const auto begin = all.begin() + first[k], end = all.begin() + first[k + 1];
        std::sort(begin, end);
        graph.neighbours.insert(graph.neighbours.end(), begin, std::unique(begin, end));
        graph.start[k + 1] = static_cast<int32_t>(graph.neighbours.size());
    }
    return graph;
}

// A nested-dissection order of the matrix's graph (the pattern of A + A^T) by
// METIS; false, and AMD's order is taken, without METIS or if it fails.  A
// circuit is mostly chains (a JTL, a line of cells): AMD eliminates a chain
// from its ends, so each row of the factors waits for the one before and a
// solve runs at the latency of that chain; dissection cuts it into halves
// that a solve goes through side by side.  On a JTL of 10 000 stages a solve
// takes 0.4 of the time; where AMD's chains are short already (lossless lines
// cut the circuit) it gains nothing, and METIS takes about 1 us a row.
bool LinearSolver::dissection_order(const Graph& graph, std::vector<int32_t>& order) const {
#if defined(LOXANT_METIS)
    std::vector<idx_t> start(graph.start.begin(), graph.start.end());
    std::vector<idx_t> neighbours(graph.neighbours.begin(), graph.neighbours.end());
    idx_t vertices = n_;
    idx_t options[METIS_NOPTIONS];
    METIS_SetDefaultOptions(options);
    options[METIS_OPTION_SEED] = 1; // the same order run after run
    std::vector<idx_t> permutation(static_cast<size_t>(n_)), inverse(permutation.size());
    if (METIS_NodeND(&vertices, start.data(), neighbours.data(), nullptr, options,
                     permutation.data(), inverse.data()) != METIS_OK)
        return false;
    order.assign(permutation.begin(), permutation.end());
    return true;
#else
    (void)graph;
    (void)order;
    return false;
#endif
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
    const bool had_rows = rows_held_;
    const int64_t fresh_before = factorisations_;
    rows_held_ = false;
    if (!factor_kept_or_fresh(values))
        return false;
    if (!use_rows_)
        return true;
    // a refactorisation keeps the pivots, hence the factors' pattern
    const bool fresh = !had_rows || factorisations_ != fresh_before;
    rows_held_ = fresh ? take_factors() : refresh_rows();
    return true;
}

bool LinearSolver::factor_kept_or_fresh(const double* values) noexcept {
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
    rows_held_ = false;
    klu_free_numeric(&numeric_, &common_);
}

// The factors by columns, as klu_extract gives them: held only while the
// rows are built or refreshed, so that the factors are not kept three times.
struct LinearSolver::ColumnFactors {
    std::vector<int32_t> l_col_ptr, l_row_idx, u_col_ptr, u_row_idx;
    std::vector<double> l_values, u_values;

    ColumnFactors(int32_t n, const klu_numeric& numeric)
        : l_col_ptr(static_cast<size_t>(n) + 1), l_row_idx(static_cast<size_t>(numeric.lnz)),
          u_col_ptr(static_cast<size_t>(n) + 1), u_row_idx(static_cast<size_t>(numeric.unz)),
          l_values(static_cast<size_t>(numeric.lnz)), u_values(static_cast<size_t>(numeric.unz)) {}
};

bool LinearSolver::extract(ColumnFactors& f) noexcept {
    return klu_extract(numeric_, symbolic_, f.l_col_ptr.data(), f.l_row_idx.data(),
                       f.l_values.data(), f.u_col_ptr.data(), f.u_row_idx.data(), f.u_values.data(),
                       nullptr, nullptr, nullptr, row_order_.data(), column_order_.data(), nullptr,
                       nullptr, &common_) != 0;
}

// The factors by rows, from klu_extract's columns, after a fresh
// factorisation.  False (klu_solve is then used) if KLU cannot give them.
bool LinearSolver::take_factors() noexcept {
    try {
        const auto n = static_cast<size_t>(n_);
        row_order_.resize(n);
        column_order_.resize(n);
        inverse_pivot_.resize(n);
        work_.resize(n);
        ColumnFactors f(n_, *numeric_);
        if (!extract(f))
            return false;
        store_by_rows(n_, f.l_col_ptr, f.l_row_idx, f.l_values, lower_);
        store_by_rows(n_, f.u_col_ptr, f.u_row_idx, f.u_values, upper_);
        refresh_values(f.u_values, upper_, true);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// The new values of a refactorisation into the rows already built: the
// pattern is the last fresh factorisation's, so each column entry goes where
// its place says.
bool LinearSolver::refresh_rows() noexcept {
    try {
        ColumnFactors f(n_, *numeric_);
        if (!extract(f))
            return false;
        refresh_values(f.l_values, lower_, false);
        refresh_values(f.u_values, upper_, true);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Each column entry's value to its place; U's diagonal as the pivots'
// inverses (L's diagonal is 1).
void LinearSolver::refresh_values(const std::vector<double>& values, FactorRows& rows,
                                  bool pivots) noexcept {
    RowEntry* entries = rows.entries.data();
    double* inverse = inverse_pivot_.data();
    const int32_t* place = rows.place.data();
    for (size_t p = 0; p < values.size(); ++p) {
        if (place[p] >= 0)
            entries[place[p]].value = values[p];
        else if (pivots)
            inverse[-place[p] - 1] = 1.0 / values[p];
    }
}

// The off-diagonal entries of a factor given by columns, by rows, and the
// place of every column entry.  Columns are visited in increasing order, so
// each row's entries come out so.
void LinearSolver::store_by_rows(int32_t n, const std::vector<int32_t>& col_ptr,
                                 const std::vector<int32_t>& row_idx,
                                 const std::vector<double>& values, FactorRows& rows) {
    const auto count = static_cast<size_t>(n);
    rows.place.resize(values.size());
    rows.start.assign(count + 1, 0);
    for (int32_t col = 0; col < n; ++col)
        for (int32_t p = col_ptr[col]; p < col_ptr[col + 1]; ++p)
            if (row_idx[p] != col)
                ++rows.start[static_cast<size_t>(row_idx[p]) + 1];
    for (size_t k = 0; k < count; ++k)
        rows.start[k + 1] += rows.start[k];
    rows.entries.resize(static_cast<size_t>(rows.start[count]));
    // start[k] runs on to the end of row k as it fills, then is moved back
    for (int32_t col = 0; col < n; ++col)
        for (int32_t p = col_ptr[col]; p < col_ptr[col + 1]; ++p) {
            const int32_t row = row_idx[p];
            if (row == col) {
                rows.place[p] = -row - 1;
                continue;
            }
            const int32_t at = rows.start[static_cast<size_t>(row)]++;
            rows.entries[static_cast<size_t>(at)] = {col, values[static_cast<size_t>(p)]};
            rows.place[p] = at;
        }
    for (size_t k = count; k > 0; --k)
        rows.start[k] = rows.start[k - 1];
    rows.start[0] = 0;
}

// L U z = P b, then x = Q z.  Each row subtracts its entries in the order
// klu_solve does (L's columns rising, U's falling); U's pivot is applied as
// its inverse, which moves a result by a rounding at most.
void LinearSolver::solve(double* rhs) noexcept {
    if (!rows_held_) {
        solve_with_klu(rhs);
        return;
    }
    double* z = work_.data();
    const int32_t* p_order = row_order_.data();
    const int32_t* lower_start = lower_.start.data();
    const RowEntry* lower = lower_.entries.data();
    int32_t e = 0;
    for (int32_t k = 0; k < n_; ++k) {
        double sum = rhs[p_order[k]];
        for (const int32_t end = lower_start[k + 1]; e < end; ++e)
            sum -= lower[e].value * z[lower[e].column];
        z[k] = sum;
    }
    const int32_t* upper_start = upper_.start.data();
    const RowEntry* upper = upper_.entries.data();
    const double* inverse = inverse_pivot_.data();
    e = upper_start[n_] - 1;
    for (int32_t k = n_ - 1; k >= 0; --k) {
        double sum = z[k];
        for (const int32_t begin = upper_start[k]; e >= begin; --e)
            sum -= upper[e].value * z[upper[e].column];
        z[k] = sum * inverse[k];
    }
    const int32_t* q_order = column_order_.data();
    for (int32_t k = 0; k < n_; ++k)
        rhs[q_order[k]] = z[k];
}

void LinearSolver::solve_with_klu(double* rhs) noexcept {
    klu_solve(symbolic_, numeric_, n_, 1, rhs, &common_);
}

} // namespace loxant::engine
