"""Writes examples/dipole_dipole.dat: a dipole-dipole line over the bundled section, in the general
layout with standard deviations.

The values are the forward model's: the section of examples/section.mod under the ground of
examples/section.topo, on the bundled mesh (10 m core cells, half the 20 m electrode spacing; the
ground is the mesh's stair-stepped surface, the same ground an inversion on this mesh sees), for
electrodes on that surface. 2 % noise from a fixed seed is added and the standard deviations are
3 % of |v|.

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


def main(argv):
    out = pathlib.Path(argv[1]) if len(argv) > 1 else EXAMPLES / "dipole_dipole.dat"
    mesh, topography = quelby.load_mesh_and_topography(EXAMPLES / "section.msh",
                                                       EXAMPLES / "section.topo")
    model = quelby.read_model(EXAMPLES / "section.mod", mesh)
    a, b, m, n = electrode_layout().T
    survey = quelby.survey_from_arrays(a, b, m, n)
    # The forward model gives the data in the store's grouped order; sorted_pos leads to them.
    grouped = quelby.forward(mesh, model, survey, topography=topography)
    potential = grouped[np.asarray(survey.sorted_pos) - 1]
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
