"""Writes examples/dipole_dipole.dat: a dipole-dipole line over the bundled section, in the general
layout with standard deviations.

The values are computed, not measured: the apparent resistivity of every datum is the
sensitivity-weighted geometric mean of the section's resistivities,
ln(rho_a) = sum_j J_j ln(rho_j) / sum_j J_j, with J_j the sensitivity of a homogeneous half-space
(the 3-D point-source kernel integrated along the strike) over cell j. That linearised response is
enough to give a pseudosection with the two bodies where they are; it is no forward solver. The
file holds the normalised potentials v = rho_a / K (K the geometric factor) with 2 % noise from a
fixed seed and standard deviations of 3 % of |v|.

Usage: python3 examples/python/simulate_survey.py [OUT.dat]
"""

import pathlib
import sys

import numpy as np

import quelby

EXAMPLES = pathlib.Path(__file__).resolve().parents[1]


def electrode_layout(spacing=20.0, first=0.0, last=600.0, dipoles=(20.0, 40.0), levels=6):
    """(A, B, M, N) of every datum: B, A, M, N in that order along the line, A nearer to M."""
    positions = np.arange(first, last + spacing / 2, spacing)
    rows = []
    for a in dipoles:
        for n in range(1, levels + 1):
            for b in positions:
                if b + (n + 2) * a <= last:
                    rows.append((b + a, b, b + (n + 1) * a, b + (n + 2) * a))
    return np.array(rows)


def pole_pole_kernel(xe, ze, xm, zm, px, pz, y):
    """The half-space kernel (r - e).(r - m) / (|r - e|^3 |r - m|^3), integrated over y >= 0."""
    dx1 = px[..., None] - xe
    dz1 = pz[..., None] - ze
    dx2 = px[..., None] - xm
    dz2 = pz[..., None] - zm
    r1 = dx1 ** 2 + dz1 ** 2 + y ** 2
    r2 = dx2 ** 2 + dz2 ** 2 + y ** 2
    values = (dx1 * dx2 + dz1 * dz2 + y ** 2) / (r1 * r2) ** 1.5
    return np.trapz(values, y, axis=-1)


def sensitivities(mesh, surface, abmn, samples=3):
    """J of every datum over every cell (ndat, nz * nx), from `samples`^2 points a cell."""
    fractions = (np.arange(samples) + 0.5) / samples
    x0, dx = np.asarray(mesh.x_nodes)[:-1], np.asarray(mesh.dx)
    z0, dz = np.asarray(mesh.z_nodes)[:-1], np.asarray(mesh.dz)
    px = (x0[None, :, None] + dx[None, :, None] * fractions).repeat(mesh.nz, 0)  # (nz, nx, s)
    pz = (z0[:, None, None] + dz[:, None, None] * fractions)[:, :, :, None]      # (nz, 1, s, 1)
    px = np.broadcast_to(px[:, :, None, :], (mesh.nz, mesh.nx, samples, samples))
    pz = np.broadcast_to(pz, (mesh.nz, mesh.nx, samples, samples))
    y = np.concatenate([[0.0], np.geomspace(0.05, 2.0e4, 240)])
    x_nodes = np.asarray(mesh.x_nodes)
    depth = lambda x: np.interp(x, x_nodes, surface)  # noqa: E731
    area = (dz[:, None] * dx[None, :]) / samples ** 2
    result = np.empty((len(abmn), mesh.nz * mesh.nx))
    for d, (a, b, m, n) in enumerate(abmn):
        total = np.zeros((mesh.nz, mesh.nx))
        for source, sign_source in ((a, 1.0), (b, -1.0)):
            for receiver, sign_receiver in ((m, 1.0), (n, -1.0)):
                kernel = pole_pole_kernel(source, depth(source), receiver, depth(receiver),
                                          px, pz, y)
                total += sign_source * sign_receiver * kernel.sum(axis=(2, 3))
        result[d] = (total * area).ravel()
    return result


def main(argv):
    out = pathlib.Path(argv[1]) if len(argv) > 1 else EXAMPLES / "dipole_dipole.dat"
    mesh, topography = quelby.load_mesh_and_topography(EXAMPLES / "section.msh",
                                                       EXAMPLES / "section.topo")
    model = quelby.read_model(EXAMPLES / "section.mod", mesh)
    surface = np.asarray(topography.surface_z)
    abmn = electrode_layout()
    # Cells in the air carry no current.
    ground = (np.arange(mesh.nz)[:, None] >= np.asarray(topography.air_cells)[None, :]).ravel()
    sensitivity = sensitivities(mesh, surface, abmn) * ground
    log_rho = sensitivity @ np.log(model.ravel()) / sensitivity.sum(axis=1)
    a, b, m, n = abmn.T
    with np.errstate(divide="ignore"):
        k = 2 * np.pi / (1 / abs(a - m) - 1 / abs(b - m) - 1 / abs(a - n) + 1 / abs(b - n))
    potential = np.exp(log_rho) / k
    noisy = potential * (1 + 0.02 * np.random.default_rng(2026).standard_normal(len(potential)))
    std = 0.03 * np.abs(noisy)
    lines = ["dipole-dipole line over examples/section.mod (a = 20 m and 40 m, n = 1..6): "
             "A B M N v std"]
    lines += [f"{a_:.1f} {b_:.1f} {m_:.1f} {n_:.1f} {v:.5e} {s:.3e}"
              for a_, b_, m_, n_, v, s in zip(a, b, m, n, noisy, std)]
    out.write_text("\n".join(lines) + "\n")
    print(f"{len(potential)} data written to {out}")


if __name__ == "__main__":
    main(sys.argv)
