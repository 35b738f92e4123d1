"""Draws the README's pictures of the bundled example: doc/section.png (the section and the same
section after 5 smoothing cycles) and doc/pseudosection.png (the section above the pseudosection of
the dipole-dipole line measured over it).

Usage: python3 examples/python/pictures.py [OUTPUT_FOLDER]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import quelby  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]


def main(argv):
    out = pathlib.Path(argv[1]) if len(argv) > 1 else ROOT / "doc"
    examples = ROOT / "examples"
    mesh, topography = quelby.load_mesh_and_topography(examples / "section.msh",
                                                       examples / "section.topo")
    model = quelby.read_model(examples / "section.mod", mesh)
    smoothed = quelby.smooth(mesh, model, 5)
    ground = quelby.read_active_cells(mesh, topography)  # air cells are no parameters: blank
    # The part of the section that holds the survey, without the padding cells, true to scale.
    view = dict(topography=topography, cells=ground, xlim=(-20, 620), zlim=(0, 120), vmin=10,
                vmax=1000)

    figure, axes = plt.subplots(2, 1, figsize=(8, 4.6))
    quelby.plot_section(mesh, model, ax=axes[0], title="section.mod", **view)
    quelby.plot_section(mesh, smoothed, ax=axes[1], title="after 5 cycles", **view)
    figure.tight_layout()
    figure.savefig(out / "section.png", dpi=80)
    plt.close(figure)

    data = quelby.read_data_file(examples / "dipole_dipole.dat")
    figure, axes = plt.subplots(2, 1, figsize=(8, 5.4), height_ratios=(1, 1.25))
    quelby.plot_section(mesh, model, ax=axes[0], title="section.mod", **view)
    quelby.plot_pseudosection(data, ax=axes[1], title="dipole_dipole.dat: apparent resistivity")
    axes[1].set_xlim(view["xlim"])
    figure.tight_layout()
    figure.savefig(out / "pseudosection.png", dpi=80)
    plt.close(figure)


if __name__ == "__main__":
    main(sys.argv)
