"""Test matrices for the solver tests and the benchmark, with their KLU inputs."""

import array

import numpy as np
import scipy.sparse as sp


def csc_inputs(A):
    """(n, Ap, Ai, values) of a square matrix, as the solver takes them."""
    A = sp.csc_matrix(A)
    A.sum_duplicates()
    Ap = array.array("i", A.indptr.astype(np.int32).tobytes())
    Ai = array.array("i", A.indices.astype(np.int32).tobytes())
    return A.shape[0], Ap, Ai, np.ascontiguousarray(A.data, dtype=np.float64)


def random_matrix(n, density, seed):
    """Sparse random values with a full diagonal, far from singular."""
    rng = np.random.default_rng(seed)
    A = sp.random(n, n, density=density, random_state=rng, format="csc")
    A.data = rng.uniform(-1.0, 1.0, A.nnz)
    return (A + sp.diags(rng.uniform(1.0, 2.0, n) * (1.0 + abs(A).sum(axis=1).A1))).tocsc()


def circuit_matrix(nodes, branches, seed):
    """Nodal matrix of a connected resistive network (symmetric, diagonally
    dominant) bordered by branch rows whose diagonal is zero, like a source
    or inductor current unknown: [[G, C], [C^T, 0]]."""
    rng = np.random.default_rng(seed)
    edges = [(k, k + 1) for k in range(nodes - 1)]
    edges += [tuple(rng.choice(nodes, 2, replace=False)) for _ in range(nodes // 3)]
    G = sp.lil_matrix((nodes, nodes))
    for i, j in edges:
        g = rng.uniform(0.5, 2.0)
        G[i, i] += g
        G[j, j] += g
        G[i, j] -= g
        G[j, i] -= g
    for k in rng.choice(nodes, max(1, nodes // 4), replace=False):
        G[k, k] += rng.uniform(0.1, 1.0)  # paths to ground make G regular
    C = sp.lil_matrix((nodes, branches))
    for b, k in enumerate(rng.choice(nodes, branches, replace=False)):
        C[k, b] = 1.0
    return sp.bmat([[G.tocsc(), C.tocsc()], [C.T.tocsc(), None]], format="csc")


def jtl_matrix(n, seed=0):
    """A transmission-line chain: tridiagonal nodal block, a branch row every
    hundred nodes (at least one)."""
    branches = max(1, n // 100)
    nodes = n - branches
    rng = np.random.default_rng(seed)
    main = rng.uniform(2.5, 3.0, nodes)
    off = -np.ones(nodes - 1)
    G = sp.diags([off, main, off], [-1, 0, 1], format="csc")
    taps = np.linspace(0, nodes - 1, branches).astype(int)
    C = sp.csc_matrix((np.ones(branches), (taps, np.arange(branches))), shape=(nodes, branches))
    return sp.bmat([[G, C], [C.T, None]], format="csc")
