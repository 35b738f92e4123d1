"""A regularised inversion in one page: a linear toy problem on the bundled section.

The data are noisy averages of ln(resistivity) over random rectangles of cells under the survey
line; the model is ln(resistivity) of the active cells. Each iteration takes one Gauss-Newton step
    (G^T Wd^2 G + beta WTW) dm = -(G^T Wd^2 (G m - d) + beta WTW-gradient)
solved with scipy's conjugate gradients, then lowers beta. quelby supplies the mesh, the
topography, the active cells, the coefficients, the model objective (WTW) and the reports: the
term norms and the beta choice go to the run log, the history to its file after every iteration.

Usage: python3 examples/python/invert.py [--iterations N] [--output FOLDER]
Writes invert.log, invert_history.txt and invert.png in FOLDER (default: the current folder).
"""

import argparse
import pathlib

import numpy as np
import scipy.sparse
import scipy.sparse.linalg

import quelby

EXAMPLES = pathlib.Path(__file__).resolve().parents[1]


def forward_operator(mesh, cells, ndata, rng):
    """G: ndata rows, each the mean over the active cells of a random rectangle under the line."""
    index = cells.cell_idx
    rows, columns, values = [], [], []
    x_centres, z_centres = np.asarray(mesh.x_centres), np.asarray(mesh.z_centres)
    for row in range(ndata):
        x0, z0 = rng.uniform(0, 560), rng.uniform(0, 100)
        width, height = rng.uniform(20, 120), rng.uniform(10, 50)
        inside = ((x_centres >= x0) & (x_centres <= x0 + width))[None, :] & \
                 ((z_centres >= z0) & (z_centres <= z0 + height))[:, None] & (index > 0)
        parameters = index[inside] - 1  # 1-based parameter numbers to 0-based columns
        if parameters.size == 0:
            parameters = np.array([rng.integers(cells.npar)])
        rows += [row] * parameters.size
        columns += list(parameters)
        values += [1.0 / parameters.size] * parameters.size
    return scipy.sparse.csr_matrix((values, (rows, columns)), shape=(ndata, cells.npar))


def invert(iterations=8, output=".", ndata=400, seed=1, plot=True):
    """Runs the inversion; returns the data misfit of every iteration, 0 (the start) first."""
    output = pathlib.Path(output)
    output.mkdir(parents=True, exist_ok=True)
    log = open(output / "invert.log", "w")
    io = quelby.Io(log=log)
    mesh, topography = quelby.load_mesh_and_topography(EXAMPLES / "section.msh",
                                                       EXAMPLES / "section.topo", io=io)
    cells = quelby.read_active_cells(mesh, topography, EXAMPLES / "section.act", io=io)
    alpha = quelby.set_alpha(mesh, "lengths", lengths=(40.0, 20.0), io=io)
    objective = quelby.build_model_objective(mesh, cells, alpha, io=io)
    WTW = objective.WTW

    # The true model, the data and their standard deviations.
    rng = np.random.default_rng(seed)
    true_model = quelby.read_model(EXAMPLES / "section.mod", mesh, io=io)
    m_true = cells.to_parameters(np.log(true_model))
    G = forward_operator(mesh, cells, ndata, rng)
    std = np.full(ndata, 0.05)
    d = G @ m_true + std * rng.standard_normal(ndata)
    Wd2 = scipy.sparse.diags(1.0 / std ** 2)

    m_ref = np.full(cells.npar, np.log(100.0))
    m = m_ref.copy()
    target = float(ndata)

    def misfit(model):
        return float(np.sum(((G @ model - d) / std) ** 2))

    def model_norm(model):
        return float(np.sum(objective.term_norms(model, m_ref)))

    JtJ = (G.T @ Wd2 @ G).tocsr()
    beta = 1.0e3 * JtJ.diagonal().sum() / WTW.diagonal().sum()
    misfits, norms, betas = [misfit(m)], [model_norm(m)], [beta]
    quelby.write_iteration_history(output / "invert_history.txt", 0, misfits, norms, betas,
                                   target, ndata, io=io)
    for iteration in range(1, iterations + 1):
        matrix = JtJ + beta * WTW
        gradient = G.T @ (Wd2 @ (G @ m - d)) + beta * objective.wtw_times_model(m, m_ref)
        step, _ = scipy.sparse.linalg.cg(matrix, -gradient, atol=0.0, maxiter=200)
        m = m + step
        misfits.append(misfit(m))
        norms.append(model_norm(m))
        betas.append(beta)
        quelby.report_term_norms(objective, m, m_ref, io=io)
        quelby.report_beta_choice(beta, target, misfits[-1], misfits[-2], norms[-1],
                                  norms[-1] - norms[-2], io=io)
        quelby.write_iteration_history(output / "invert_history.txt", iteration, misfits, norms,
                                       betas, target, ndata, io=io)
        if misfits[-1] <= target:
            break
        beta *= 0.3
    log.close()
    if plot:
        draw(mesh, topography, cells, true_model, np.exp(cells.to_model(m)),
             output / "invert.png")
    return misfits


def draw(mesh, topography, cells, true_model, recovered, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    view = dict(topography=topography, cells=cells, xlim=(-20, 620), zlim=(0, 120), vmin=10,
                vmax=1000)
    figure, axes = plt.subplots(1, 2, figsize=(12, 2.2))
    quelby.plot_section(mesh, true_model, ax=axes[0], title="true model", **view)
    quelby.plot_section(mesh, recovered, ax=axes[1], title="recovered", **view)
    figure.tight_layout()
    figure.savefig(path, dpi=80, bbox_inches="tight")
    plt.close(figure)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=8)
    parser.add_argument("--output", default=".")
    arguments = parser.parse_args()
    history = invert(arguments.iterations, arguments.output)
    print("data misfit per iteration:", " ".join(f"{value:.4g}" for value in history))
