"""Draws the documentation's picture of forward modelling, doc/forward.png: a conductive block under a
dipole-dipole line (32 electrodes 5 m apart, a = 5 m, n = 1 to 8, 204 data) and the pseudosection
of its apparent resistivities, computed by quelby's 2.5-D forward model on a mesh made for the
survey (core cells of 0.625 m), with geometric factors from a uniform earth on the same mesh.

Usage: python3 examples/python/forward_block.py [OUTPUT_FOLDER]
"""

import pathlib
import sys

import matplotlib
import numpy as np

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import quelby  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]


def dipole_dipole(electrodes=32, spacing=5.0, n_max=8):
    """A, B, M, N of every dipole-dipole datum with dipoles of one spacing, n = 1..n_max."""
    rows = [(i, i + 1, i + 1 + n, i + 2 + n) for n in range(1, n_max + 1)
            for i in range(electrodes - 2 - n)]
    return [np.array([row[e] for row in rows]) * spacing for e in range(4)]


def main(argv):
    out = pathlib.Path(argv[1]) if len(argv) > 1 else ROOT / "doc"
    survey = quelby.survey_from_arrays(*dipole_dipole())
    mesh = quelby.mesh_for_survey(survey, cell=0.625)
    # 100 ohm-m, and a 10 ohm-m block 20 m wide from 3.75 m to 11.25 m deep under the line.
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    model = np.where((x > 65) & (x < 85) & (z > 3.75) & (z < 11.25), 10.0, 100.0)
    data = quelby.forward(mesh, model, survey)  # ohms, the store's grouped order
    apparent = quelby.apparent_resistivity(survey, data, mesh=mesh)

    figure, axes = plt.subplots(2, 1, figsize=(8, 5.4), height_ratios=(1, 1.25))
    quelby.plot_section(mesh, model, ax=axes[0], xlim=(-5, 160), zlim=(0, 40), vmin=10, vmax=120,
                        title="a 10 ohm-m block in 100 ohm-m")
    quelby.plot_pseudosection(survey, values=apparent, ax=axes[1], vmin=10, vmax=120,
                              title="dipole-dipole, a = 5 m, n = 1 to 8: apparent resistivity")
    axes[1].set_xlim(-5, 160)
    figure.tight_layout()
    figure.savefig(out / "forward.png", dpi=80)
    plt.close(figure)
    print(f"apparent resistivity from {apparent.min():.1f} to {apparent.max():.1f} ohm-m")


if __name__ == "__main__":
    main(sys.argv)
