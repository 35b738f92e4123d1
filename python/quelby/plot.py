"""Pictures of models: the section with its cells at their true widths, depth growing downwards.

Command line: python3 -m quelby.plot MESH MODEL OUT.png
"""

import sys

import numpy as np


def plot_section(mesh, array, ax=None, log=True, cmap="jet_r", topography=None,
                 colorbar=True, label="resistivity (ohm-m)", title=None, vmin=None, vmax=None):
    """Draws `array` (shape (nz, nx)) on `mesh` with matplotlib and returns the axes.

    log: a logarithmic colour scale (for positive values such as resistivities).
    topography: a Topography (its surface_z per x node) or an array of nx + 1 depths, drawn as a
    line over the section.
    """
    import matplotlib.colors as colors
    import matplotlib.pyplot as plt

    values = np.asarray(array, dtype=float).reshape(mesh.nz, mesh.nx)
    if ax is None:
        _, ax = plt.subplots(figsize=(8, 4))
    norm = None
    if log:
        positive = values[np.isfinite(values) & (values > 0)]
        low = vmin if vmin is not None else (positive.min() if positive.size else 1.0)
        high = vmax if vmax is not None else (positive.max() if positive.size else 10.0)
        if high <= low:
            high = low * 10.0
        norm = colors.LogNorm(vmin=low, vmax=high)
        shown = np.ma.masked_where(~(values > 0), values)
    else:
        shown = np.ma.masked_invalid(values)
    mesh_plot = ax.pcolormesh(np.asarray(mesh.x_nodes), np.asarray(mesh.z_nodes), shown,
                              cmap=cmap, norm=norm, shading="flat",
                              vmin=None if log else vmin, vmax=None if log else vmax)
    if topography is not None:
        surface = getattr(topography, "surface_z", topography)
        ax.plot(np.asarray(mesh.x_nodes), np.asarray(surface), color="black", linewidth=1.2)
    ax.set_xlim(mesh.x_nodes[0], mesh.x_nodes[-1])
    ax.set_ylim(mesh.z_nodes[-1], mesh.z_nodes[0])  # depth grows downwards
    ax.set_xlabel("x (m)")
    ax.set_ylabel("depth (m)")
    if title:
        ax.set_title(title)
    if colorbar:
        bar = ax.figure.colorbar(mesh_plot, ax=ax)
        bar.set_label(label)
    return ax


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 3:
        print("usage: python3 -m quelby.plot MESH MODEL OUT.png", file=sys.stderr)
        return 2
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    import quelby

    try:
        mesh = quelby.load_mesh(argv[0])
        model = quelby.read_model(argv[1], mesh)
    except quelby.Stop as stop:
        return stop.status
    ax = plot_section(mesh, model, title=argv[1])
    ax.figure.tight_layout()
    ax.figure.savefig(argv[2], dpi=100)
    plt.close(ax.figure)
    return 0


if __name__ == "__main__":
    sys.exit(main())
