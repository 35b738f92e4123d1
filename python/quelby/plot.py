"""Pictures: a model on its section (cells at their true widths, depth growing downwards) and
survey data as a pseudosection.

Command line (also installed as quelby-plot):
    python3 -m quelby.plot MESH MODEL OUT.png      a model
    python3 -m quelby.plot --data FILE OUT.png     a survey data file's pseudosection
"""

import argparse
import sys

import numpy as np


def _matplotlib():
    """matplotlib, or an ImportError that names the package to install."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        raise ImportError("quelby's pictures need matplotlib: install the Debian package "
                          "python3-matplotlib (or `pip install matplotlib`)") from error


def _axes(ax, figsize):
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    return plt.subplots(figsize=figsize)[1]


def plot_section(mesh, array, ax=None, log=True, cmap="jet_r", topography=None, cells=None,
                 xlim=None, zlim=None, aspect=None, colorbar=True,
                 label="resistivity (ohm-m)", title=None, vmin=None, vmax=None):
    """Draws `array` (shape (nz, nx) or nx * nz values in cell order) on `mesh` with matplotlib and
    returns the axes.

    log: a logarithmic colour scale (for positive values such as resistivities).
    topography: a Topography (its surface_z per x node) or nx + 1 depths, drawn as the ground
    surface over the section.
    cells: an ActiveCells; cells that are not parameters (air, padding, fixed cells) are left
    blank.
    xlim, zlim: (low, high) in metres, the part of the section shown (for example the survey
    without its padding); the colour scale follows the cells shown.
    aspect: 'equal', 'auto' or a number; None draws at the true aspect ratio when the part shown
    is at most 8 times wider than deep (or 4 times deeper than wide), else fills the axes.
    """
    _matplotlib()
    import matplotlib.colors as colors

    values = np.array(array, dtype=float).reshape(mesh.nz, mesh.nx)
    if cells is not None:
        values[np.asarray(cells.cell_idx).reshape(mesh.nz, mesh.nx) <= 0] = np.nan
    x_nodes, z_nodes = np.asarray(mesh.x_nodes), np.asarray(mesh.z_nodes)
    xlim = (x_nodes[0], x_nodes[-1]) if xlim is None else tuple(xlim)
    zlim = (z_nodes[0], z_nodes[-1]) if zlim is None else tuple(zlim)
    ax = _axes(ax, (8, 4))
    # The colour scale covers the cells that show.
    shown_columns = (x_nodes[1:] > min(xlim)) & (x_nodes[:-1] < max(xlim))
    shown_rows = (z_nodes[1:] > min(zlim)) & (z_nodes[:-1] < max(zlim))
    visible = values[np.ix_(shown_rows, shown_columns)]
    finite = visible[np.isfinite(visible) & ((visible > 0) if log else True)]
    norm = None
    if log:
        low = vmin if vmin is not None else (finite.min() if finite.size else 1.0)
        high = vmax if vmax is not None else (finite.max() if finite.size else 10.0)
        if high <= low:
            high = low * 10.0
        norm = colors.LogNorm(vmin=low, vmax=high)
        shown = np.ma.masked_where(~(values > 0), values)
    else:
        shown = np.ma.masked_invalid(values)
        if finite.size:
            vmin = finite.min() if vmin is None else vmin
            vmax = finite.max() if vmax is None else vmax
    mesh_plot = ax.pcolormesh(x_nodes, z_nodes, shown, cmap=cmap, norm=norm, shading="flat",
                              vmin=None if log else vmin, vmax=None if log else vmax)
    if topography is not None:
        surface = np.asarray(getattr(topography, "surface_z", topography), dtype=float)
        ax.plot(x_nodes, surface, color="black", linewidth=1.5, label="ground surface")
    ax.set_xlim(min(xlim), max(xlim))
    ax.set_ylim(max(zlim), min(zlim))  # depth grows downwards
    width, depth = abs(xlim[1] - xlim[0]), abs(zlim[1] - zlim[0])
    if aspect is None:
        aspect = "equal" if depth > 0 and depth / 4 <= width <= 8 * depth else "auto"
    ax.set_aspect(aspect)
    ax.set_xlabel("x (m)")
    ax.set_ylabel("depth (m)")
    if title:
        ax.set_title(title)
    if colorbar:
        bar = ax.figure.colorbar(mesh_plot, cax=_bar_axes(ax))
        if log:
            _log_ticks(bar, norm.vmin, norm.vmax)
        bar.set_label(label)
    return ax


def _bar_axes(ax):
    """Axes for a colour bar beside the drawn box of `ax`, as tall as it at any aspect ratio."""
    from mpl_toolkits.axes_grid1 import make_axes_locatable

    return make_axes_locatable(ax).append_axes("right", size="2.5%", pad=0.12)


def _log_ticks(bar, low, high):
    """Ticks at 1, 2 and 5 times the powers of ten between low and high, written plainly."""
    ticks = [m * 10.0 ** e for e in range(int(np.floor(np.log10(low))),
                                          int(np.ceil(np.log10(high))) + 1) for m in (1, 2, 5)]
    ticks = [t for t in ticks if low * (1 - 1e-9) <= t <= high * (1 + 1e-9)]
    if len(ticks) >= 2:
        bar.set_ticks(ticks)
        bar.set_ticklabels([f"{t:g}" for t in ticks])
        bar.ax.minorticks_off()


def _merged(x, depth, values):
    """Data at the same place drawn once, with the geometric (log) or plain mean of their values."""
    keys = np.round(np.column_stack([x, depth]), 6)
    unique, inverse = np.unique(keys, axis=0, return_inverse=True)
    inverse = inverse.ravel()
    counts = np.bincount(inverse)
    return unique[:, 0], unique[:, 1], inverse, counts


def plot_pseudosection(data, values=None, ax=None, log=None, cmap="jet_r", points=True,
                       colorbar=True, label=None, title=None, vmin=None, vmax=None, levels=16):
    """Draws survey data as a pseudosection and returns the axes.

    Every datum stands at its pseudosection point (quelby.pseudosection); the values are drawn as
    filled contours over the triangulated points, the points themselves as dots, pseudo-depth
    growing downwards. values: ndat values in grouped order; by default the apparent resistivity
    of DC data (quelby.apparent_resistivity) and the data themselves for IP data. log: a
    logarithmic colour scale; None chooses it for DC data and a linear one for IP data. Data that
    share a point are drawn as their mean (geometric with log); NaN values, and with log the
    values that are not positive, are left out.
    """
    _matplotlib()
    import matplotlib.colors as colors
    import matplotlib.tri as tri

    from .survey import apparent_resistivity, pseudosection

    ip = data.iptype is not None and len(data.iptype) and (np.asarray(data.iptype) != 0).any()
    if values is None:
        values = np.asarray(data.dobs, dtype=float) if ip else apparent_resistivity(data)
    values = np.asarray(values, dtype=float)
    if values.shape != (data.ndat,):
        raise ValueError(f"values: expected {data.ndat} values, got shape {values.shape}")
    if log is None:
        log = not ip
    if label is None:
        label = "apparent chargeability" if ip else "apparent resistivity (ohm-m)"
    x, depth = pseudosection(data)
    good = np.isfinite(values) & ((values > 0) if log else True)
    x, depth, values = x[good], depth[good], values[good]
    if values.size < 3:
        raise ValueError("plot_pseudosection: fewer than 3 data with values to draw")
    px, pz, inverse, counts = _merged(x, depth, values)
    transformed = np.log(values) if log else values
    merged = np.bincount(inverse, weights=transformed) / counts
    merged = np.exp(merged) if log else merged

    ax = _axes(ax, (8, 3.5))
    low = values.min() if vmin is None else vmin
    high = values.max() if vmax is None else vmax
    if high <= low:
        high = low * 10.0 if log else low + 1.0
    if log:
        bounds = np.geomspace(low, high, levels + 1)
        norm = colors.LogNorm(vmin=low, vmax=high)
    else:
        bounds = np.linspace(low, high, levels + 1)
        norm = colors.Normalize(vmin=low, vmax=high)
    clipped = np.clip(merged, low, high)
    triangulation = tri.Triangulation(px, pz)
    filled = ax.tricontourf(triangulation, clipped, levels=bounds, cmap=cmap, norm=norm)
    if points:
        ax.plot(x, depth, "k.", markersize=2.5, label="data")
    ax.set_ylim(pz.max() * 1.08, 0.0)  # pseudo-depth grows downwards
    margin = (px.max() - px.min()) * 0.04
    ax.set_xlim(px.min() - margin, px.max() + margin)
    ax.set_xlabel("x (m)")
    ax.set_ylabel("pseudo-depth (m)")
    if title:
        ax.set_title(title)
    if colorbar:
        bar = ax.figure.colorbar(filled, cax=_bar_axes(ax))
        if log:
            _log_ticks(bar, low, high)
        bar.set_label(label)
    return ax


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="quelby-plot",
        usage="quelby-plot MESH MODEL OUT.png\n       quelby-plot --data FILE OUT.png",
        description="Draws a model on its mesh (MESH MODEL OUT.png) or the pseudosection of a "
                    "survey data file (--data FILE OUT.png).")
    parser.add_argument("--data", metavar="FILE", help="a survey data file to draw")
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="MESH MODEL OUT.png, or OUT.png with --data")
    arguments = parser.parse_args(sys.argv[1:] if argv is None else argv)
    expected = 1 if arguments.data else 3
    if len(arguments.files) != expected:
        parser.print_usage(sys.stderr)
        print("quelby-plot: expected " + ("OUT.png after --data FILE" if arguments.data else
                                          "MESH MODEL OUT.png"), file=sys.stderr)
        return 2
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    import quelby

    try:
        if arguments.data:
            data = quelby.read_data_file(arguments.data)
            ax = plot_pseudosection(data, title=arguments.data)
        else:
            mesh = quelby.load_mesh(arguments.files[0])
            model = quelby.read_model(arguments.files[1], mesh)
            ax = plot_section(mesh, model, title=arguments.files[1])
    except quelby.Stop as stop:
        print(str(stop), file=sys.stderr)
        return stop.status
    ax.figure.tight_layout()
    ax.figure.savefig(arguments.files[-1], dpi=100)
    plt.close(ax.figure)
    return 0


if __name__ == "__main__":
    sys.exit(main())
