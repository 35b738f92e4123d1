"""The solver of sparse symmetric positive definite systems from Python: the direct and the
multigrid path against each other and against the residual recomputed here, a solve that does not
converge as quelby.Stop, new values through update, and names refused."""

import numpy as np
import pytest
import scipy.sparse as sp

import quelby


def laplacian(n, shift):
    """A 7-point grid matrix of n^3 nodes with `shift` added to its diagonal."""
    t = sp.diags([-np.ones(n - 1), (2 + shift / 3) * np.ones(n), -np.ones(n - 1)], [-1, 0, 1])
    i = sp.identity(n)
    return (sp.kron(sp.kron(t, i), i) + sp.kron(sp.kron(i, t), i) + sp.kron(sp.kron(i, i), t)).tocsr()


def test_direct_and_multigrid_agree_and_report_true_residuals():
    a = laplacian(14, 0.3)
    b = np.random.default_rng(3).normal(size=(a.shape[0], 3))
    b[:, 2] = 0
    direct = quelby.SpdSolver(a, kind="direct")
    assert direct.direct and direct.levels == 0
    x_direct, iterations, residuals = direct.solve(b)
    assert list(iterations) == [0, 0, 0]
    multigrid = quelby.SpdSolver(a, kind="multigrid", relative_tolerance=1e-12)
    assert not multigrid.direct and multigrid.levels > 1 and multigrid.memory_bytes > 0
    x, iterations, residuals = multigrid.solve(b)
    assert iterations[0] > 0 and iterations[2] == 0
    for c in range(2):
        recomputed = np.linalg.norm(b[:, c] - a @ x[:, c]) / np.linalg.norm(b[:, c])
        assert residuals[c] == pytest.approx(recomputed, rel=1e-3)
        assert residuals[c] <= 1e-12
        assert np.linalg.norm(x[:, c] - x_direct[:, c]) < 1e-8 * np.linalg.norm(x_direct[:, c])
    # One right-hand side as a vector, started from the solution: nothing left to do.
    x1, iterations, _ = multigrid.solve(b[:, 0], x0=x[:, 0])
    assert x1.shape == (a.shape[0],) and iterations[0] == 0


def test_non_convergence_stops_and_update_takes_new_values():
    a = laplacian(10, 0.1)
    b = np.ones(a.shape[0])
    with pytest.raises(quelby.Stop, match="did not converge for right-hand side 1 of 1: 2 iterations"):
        quelby.SpdSolver(a, kind="multigrid", max_iterations=2).solve(b)
    second = laplacian(10, 2.0)
    for kind in ("direct", "multigrid"):
        solver = quelby.SpdSolver(a, kind=kind, relative_tolerance=1e-12)
        solver.update(second.data)
        x, _, _ = solver.solve(b)
        assert np.linalg.norm(second @ x - b) < 1e-10 * np.linalg.norm(b)
    with pytest.raises(ValueError, match="coarsening"):
        quelby.SpdSolver(a, coarsening="nearest")
    with pytest.raises(ValueError, match="shape"):
        quelby.SpdSolver(a).solve(np.ones(3))


def test_arguments_that_do_not_fit_are_refused():
    a = laplacian(4, 0.5)
    solver = quelby.SpdSolver(a)
    with pytest.raises(ValueError, match="values"):
        solver.update(a.data[:-1])
    with pytest.raises(ValueError, match="x0"):
        solver.solve(np.ones(a.shape[0]), x0=np.ones(3))
    with pytest.raises(ValueError, match="square"):
        quelby.SpdSolver(sp.csr_matrix(np.ones((2, 3))))
    with pytest.raises(ValueError, match="kind"):
        quelby.SpdSolver(a, kind="iterative")
    # Unsorted column indices are sorted first: the same solution as from the sorted matrix.
    reversed_rows = [slice(a.indptr[i], a.indptr[i + 1]) for i in range(a.shape[0])]
    data, indices = a.data.copy(), a.indices.copy()
    for row in reversed_rows:
        data[row], indices[row] = data[row][::-1], indices[row][::-1]
    shuffled = sp.csr_matrix((data, indices, a.indptr), shape=a.shape)
    assert not shuffled.has_sorted_indices
    b = np.arange(a.shape[0], dtype=float)
    x, _, _ = quelby.SpdSolver(shuffled, kind="direct").solve(b)
    assert np.allclose(a @ x, b, rtol=0, atol=1e-12 * np.linalg.norm(b))
