"""Time per solve of SparseDirect against SciPy's SuperLU on JTL-shaped matrices.

Both sides factor and solve on every call: SparseDirect reuses its one
symbolic analysis, splu orders and factors from scratch.

    python benchmarks/bench_solver.py
"""

import array
import pathlib
import sys
import time

import numpy as np
import scipy.sparse.linalg as sla

from loxant.SparseDirect import SparseDirect

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "solver"))
from solver_matrices import csc_inputs, jtl_matrix

SIZES = (10, 100, 1_000, 10_000)


def microseconds_per_call(call, budget=0.3):
    """Best of five batches, each sized to take about budget / 5 seconds."""
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            call()
        if time.perf_counter() - start > budget / 50:
            break
        calls *= 2
    batch = max(1, int(calls * 10))
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(batch):
            call()
        best = min(best, (time.perf_counter() - start) / batch)
    return best * 1e6


def bench(n):
    A = jtl_matrix(n)
    n, Ap, Ai, values = csc_inputs(A)
    b = np.random.default_rng(1).uniform(-1.0, 1.0, n)
    solver = SparseDirect()
    solver.analyze(n, Ap, Ai)
    x = b.copy()
    solver.solveSparseMatrix(values, x)
    error = np.abs(x - sla.splu(A).solve(b)).max()

    rhs, array_values, array_rhs = b.copy(), array.array("d", values), array.array("d", b)

    def sparse_direct():
        rhs[:] = b
        solver.solveSparseMatrix(values, rhs)

    def sparse_direct_array():
        solver.solve(array_values, array_rhs)

    def superlu():
        sla.splu(A).solve(b)

    return (
        n,
        A.nnz,
        microseconds_per_call(sparse_direct),
        microseconds_per_call(sparse_direct_array),
        microseconds_per_call(superlu),
        error,
    )


def main():
    header = (
        "n",
        "nnz",
        "solveSparseMatrix",
        "solve (array)",
        "splu+solve",
        "speed-up",
        "max |dx|",
    )
    print("{:>7} {:>7} {:>18} {:>14} {:>11} {:>9} {:>9}".format(*header))
    print("{:>7} {:>7} {:>18} {:>14} {:>11}".format("", "", "us/call", "us/call", "us/call"))
    for size in SIZES:
        n, nnz, klu, klu_array, superlu, error = bench(size)
        row = (n, nnz, klu, klu_array, superlu, superlu / klu, error)
        print("{:>7} {:>7} {:>18.1f} {:>14.1f} {:>11.1f} {:>8.1f}x {:>9.1e}".format(*row))


if __name__ == "__main__":
    main()
