"""Numerical behaviour of SparseDirect against SciPy's sparse LU."""

import array
import gc
import sys
import tracemalloc
import weakref

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as sla
from solver_matrices import circuit_matrix, csc_inputs, jtl_matrix, random_matrix

from loxant.SparseDirect import SparseDirect

KLU_OK, KLU_SINGULAR, KLU_INVALID = 0, 1, -3

MATRICES = {
    "random-1": random_matrix(1, 1.0, 0),
    "random-7": random_matrix(7, 0.3, 1),
    "random-60": random_matrix(60, 0.08, 2),
    "random-400": random_matrix(400, 0.01, 3),
    "circuit-12+3": circuit_matrix(12, 3, 4),
    "circuit-150+20": circuit_matrix(150, 20, 5),
    "jtl-500": jtl_matrix(500),
}


def analysed(A):
    n, Ap, Ai, values = csc_inputs(A)
    solver = SparseDirect()
    solver.analyze(n, Ap, Ai)
    return solver, values


def rhs(n, seed=0):
    return np.random.default_rng(seed).uniform(-1.0, 1.0, n)


@pytest.mark.parametrize("name", MATRICES)
def test_three_solve_paths_match_spsolve(name):
    A = MATRICES[name]
    solver, values = analysed(A)
    b = rhs(A.shape[0])
    expected = sla.spsolve(A, b)

    x = b.copy()
    solver.solveSparseMatrix(values, x)
    np.testing.assert_allclose(x, expected, rtol=1e-10, atol=1e-12)

    x = array.array("d", b)
    solver.solve(array.array("d", values), x)
    np.testing.assert_allclose(np.array(x), expected, rtol=1e-10, atol=1e-12)

    if A.shape[0] <= 200:
        x = b.copy()
        solver.solveMatrix(np.ascontiguousarray(A.toarray()), x)
        np.testing.assert_allclose(x, expected, rtol=1e-10, atol=1e-12)
    assert (solver.status, solver.singular) == (KLU_OK, False)


def test_new_values_in_same_pattern_match_splu():
    A = circuit_matrix(40, 5, 6)
    solver, values = analysed(A)
    rng = np.random.default_rng(7)
    for _ in range(5):
        A.data = values * rng.uniform(0.5, 1.5, values.size)
        b = rhs(A.shape[0], rng.integers(1000))
        x = b.copy()
        solver.solveSparseMatrix(A.data, x)
        np.testing.assert_allclose(x, sla.splu(A).solve(b), rtol=1e-10, atol=1e-12)


def test_unsorted_row_indices():
    A = random_matrix(30, 0.2, 8)
    n, Ap, Ai, values = csc_inputs(A)
    rows, vals = np.array(Ai), values.copy()
    for j in range(n):  # reverse each column
        cols = slice(Ap[j], Ap[j + 1])
        rows[cols], vals[cols] = rows[cols][::-1], vals[cols][::-1]
    solver = SparseDirect()
    solver.analyze(n, Ap, array.array("i", rows.astype(np.int32).tobytes()))
    b = rhs(n)
    x = b.copy()
    solver.solveSparseMatrix(vals, x)
    np.testing.assert_allclose(x, sla.spsolve(A, b), rtol=1e-10)


def test_dense_entries_outside_pattern_are_ignored():
    A = circuit_matrix(15, 2, 9)
    solver, values = analysed(A)
    dense = A.toarray()
    dense[dense == 0] = 1e6
    dense = np.ascontiguousarray(np.pad(dense, ((0, 2), (0, 3)), constant_values=-7.0))
    b = rhs(A.shape[0])
    x_dense, x_sparse = b.copy(), b.copy()
    solver.solveMatrix(dense, x_dense)
    solver.solveSparseMatrix(values, x_sparse)
    np.testing.assert_array_equal(x_dense, x_sparse)
    np.testing.assert_array_equal(np.array(solver.Ax), values)


SINGULAR = {
    "dependent columns": sp.csc_matrix([[1.0, 2.0, 0.0], [2.0, 4.0, 0.0], [0.0, 0.0, 1.0]]),
    "empty column": sp.csc_matrix(([1.0, 1.0, 3.0], ([0, 1, 2], [0, 0, 2])), shape=(3, 3)),
    "stored zeros": sp.csc_matrix((np.zeros(3), ([0, 1, 2], [0, 1, 2])), shape=(3, 3)),
}


@pytest.mark.parametrize("name", SINGULAR)
def test_singular_matrix_leaves_b_unchanged(name):
    A = SINGULAR[name].tocsc()
    solver, values = analysed(A)
    b = rhs(A.shape[0])
    x = b.copy()
    solver.solveSparseMatrix(values, x)
    np.testing.assert_array_equal(x, b)
    assert (solver.status, solver.singular) == (KLU_SINGULAR, True)

    eye = np.ones(A.shape[0])
    solver.analyze(A.shape[0], *csc_inputs(sp.identity(A.shape[0]))[1:3])
    solver.solveSparseMatrix(eye, x)
    np.testing.assert_array_equal(x, b)
    assert (solver.status, solver.singular) == (KLU_OK, False)


def test_solves_before_analyze_and_after_del_do_nothing():
    solver = SparseDirect()
    b = rhs(4)
    x = b.copy()
    assert solver.status == KLU_OK  # nothing solved yet
    for solve in (
        lambda: solver.solveSparseMatrix(np.ones(9), x),
        lambda: solver.solve(None, None),
        lambda: solver.solveMatrix(np.eye(4), x),
    ):
        solve()
        assert (solver.status, solver.singular) == (SparseDirect.NOT_FACTORED, False)
    np.testing.assert_array_equal(x, b)

    A = random_matrix(4, 0.5, 11)
    solver, values = analysed(A)
    solver.solveSparseMatrix(values, rhs(4))
    assert solver.status == KLU_OK
    solver.__del__()
    solver.__del__()
    solver.solveSparseMatrix(values, x)
    assert solver.status == SparseDirect.NOT_FACTORED
    solver.solve(None, None)
    assert solver.status == SparseDirect.NOT_FACTORED
    np.testing.assert_array_equal(x, b)
    assert solver.n == 4  # kept after release
    assert SparseDirect.NOT_FACTORED not in (KLU_OK, KLU_SINGULAR, -2, KLU_INVALID, -4)


def test_empty_pattern():
    solver = SparseDirect()
    Ap, Ai = array.array("i", [0]), array.array("i")
    solver.analyze(0, Ap, Ai)
    assert (solver.n, solver.nnz, len(solver.Ax), solver.status) == (0, 0, 0, KLU_OK)
    assert solver.Ap is Ap and solver.Ai is Ai
    x = np.array([5.0])
    solver.solveSparseMatrix(np.empty(0), x)
    assert x[0] == 5.0
    assert solver.status == KLU_OK  # an empty system is solved by doing nothing


def test_reanalysis_with_new_pattern_replaces_everything():
    first, second = random_matrix(10, 0.3, 12), circuit_matrix(30, 4, 13)
    solver, _ = analysed(first)
    old_Ap, old_Ai = solver.Ap, solver.Ai
    n, Ap, Ai, values = csc_inputs(second)
    solver.analyze(n, Ap, Ai)
    assert (solver.n, solver.nnz, len(solver.Ax)) == (n, second.nnz, second.nnz)
    assert solver.Ap is Ap and solver.Ai is Ai
    old_Ap.append(0)  # the first pattern's exports were released
    old_Ai.append(0)
    b = rhs(n)
    x = b.copy()
    solver.solveSparseMatrix(values, x)
    np.testing.assert_allclose(x, sla.spsolve(second, b), rtol=1e-10)


def test_in_place_edits_of_pattern_cannot_desync_analysis():
    A = circuit_matrix(20, 3, 14)
    n, Ap, Ai, values = csc_inputs(A)
    solver = SparseDirect()
    solver.analyze(n, Ap, Ai)
    Ap[1], Ai[0] = 10**6, -5
    b = rhs(n)
    x = b.copy()
    solver.solveSparseMatrix(values, x)
    np.testing.assert_allclose(x, sla.spsolve(A, b), rtol=1e-10)

    with pytest.raises(ValueError):
        solver.analyze(n, Ap, Ai)  # the failed analysis keeps the earlier one
    x = b.copy()
    solver.solveSparseMatrix(values, x)
    np.testing.assert_allclose(x, sla.spsolve(A, b), rtol=1e-10)


@pytest.mark.parametrize(
    "ap, ai",
    [
        ([0, 2, 3], [0, 0, 1]),  # (0, 0) twice, next to each other
        ([0, 3, 4], [1, 0, 1, 1]),  # (1, 0) twice, apart
        ([0, 1, 3], [0, 1, 1]),  # in the last column
    ],
)
def test_duplicate_row_in_a_column_is_refused_and_the_analysis_kept(ap, ai):
    A = random_matrix(2, 1.0, 21)
    solver, values = analysed(A)
    before = (solver.n, solver.nnz, solver.Ap, solver.Ai, solver.Ax)
    with pytest.raises(ValueError, match=r"Ai\[\d\] = \d repeats a row already stored in column"):
        solver.analyze(2, array.array("i", ap), array.array("i", ai))
    assert (solver.n, solver.nnz, solver.Ap, solver.Ai, solver.Ax) == before
    b = rhs(2)
    x = b.copy()
    solver.solveSparseMatrix(values, x)
    np.testing.assert_allclose(x, sla.spsolve(A, b), rtol=1e-12)
    assert solver.status == KLU_OK


@pytest.mark.parametrize(
    "grow",
    [
        lambda s: s.Ap.append(0),
        lambda s: s.Ai.extend([0]),
        lambda s: s.Ax.pop(),
        lambda s: s.Ap.frombytes(b"\0" * 4),
    ],
)
def test_resizing_analysed_arrays_raises(grow):
    solver, _ = analysed(random_matrix(5, 0.4, 15))
    with pytest.raises(BufferError):
        grow(solver)
    solver.__del__()
    grow(solver)


def test_dealloc_releases_exports():
    solver, _ = analysed(random_matrix(5, 0.4, 16))
    Ap, Ai, Ax = solver.Ap, solver.Ai, solver.Ax
    del solver
    Ap.append(0), Ai.append(0), Ax.append(0.0)


def test_cycle_through_pattern_array_is_collected():
    class Tagged(array.array):
        pass

    n, Ap, Ai, _ = csc_inputs(random_matrix(6, 0.4, 17))
    tagged_Ap = Tagged("i", Ap)
    solver = SparseDirect()
    solver.analyze(n, tagged_Ap, Ai)
    tagged_Ap.owner = solver  # solver -> Ap (attribute and export) -> solver
    probe = weakref.ref(tagged_Ap)
    del solver, tagged_Ap
    gc.collect()
    assert probe() is None
    Ai.append(0)


def test_subclass_and_cycle_through_its_dict():
    class Solver(SparseDirect):
        pass

    solver = Solver("ignored", key=1)
    n, Ap, Ai, _ = csc_inputs(random_matrix(6, 0.4, 18))
    solver.analyze(n, Ap, Ai)
    solver.me = solver
    probe = weakref.ref(solver)
    del solver
    gc.collect()
    assert probe() is None
    Ap.append(0)


def test_repeated_solves_and_analyses_leak_nothing():
    A = circuit_matrix(50, 5, 19)
    n, Ap, Ai, values = csc_inputs(A)
    solver = SparseDirect()
    solver.analyze(n, Ap, Ai)
    Ax, B = array.array("d", values), array.array("d", rhs(n))
    dense, x = np.ascontiguousarray(A.toarray()), rhs(n)
    held = (Ap, Ai, Ax, B, values, dense, x)
    counts = [sys.getrefcount(o) for o in held]

    def churn():
        for _ in range(20):
            solver.analyze(n, Ap, Ai)
            solver.solve(Ax, B)
            solver.solveSparseMatrix(values, x)
            solver.solveMatrix(dense, x)
            with pytest.raises(ValueError):
                solver.solveSparseMatrix(values[:3], x)

    churn()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    churn()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    growth = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    assert [sys.getrefcount(o) for o in held] == counts
    assert growth < 20 * 8 * A.nnz // 2  # far below one value array per round
