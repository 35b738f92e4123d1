"""Pictures of 3-D models and their data: a slice of a model along x, y or z, a row of maps at
chosen depths, and the misfit of a 3-D survey's data. Models are numpy arrays of shape
(nz, ny, nx), x fastest (element [k, j, i] is the 0-based cell (k * ny + j) * nx + i); cells that
are no parameter (NaN) are left blank.
"""

import numpy as np

from .plot import _bar_axes, _log_ticks, _matplotlib

_AXES = ("x", "y", "z")


def _values(mesh, model):
    values = np.array(model, dtype=float)
    if values.size != mesh.nx * mesh.ny * mesh.nz:
        raise ValueError(f"model: expected shape ({mesh.nz}, {mesh.ny}, {mesh.nx}), "
                         f"got {values.shape}")
    return values.reshape(mesh.nz, mesh.ny, mesh.nx)


def _nodes(mesh, axis):
    return np.asarray({"x": mesh.x_nodes, "y": mesh.y_nodes, "z": mesh.z_nodes}[axis])


def cell_at(nodes, position, what="position"):
    """The 0-based cell of the nodes (increasing) that holds `position`; a position on a node
    belongs to the cell after it, the last node to the last cell. ValueError outside the nodes."""
    nodes = np.asarray(nodes, dtype=float)
    if not nodes[0] <= position <= nodes[-1]:
        raise ValueError(f"{what}: {position:g} lies outside the mesh ({nodes[0]:g} to "
                         f"{nodes[-1]:g})")
    return int(min(np.searchsorted(nodes, position, side="right") - 1, nodes.size - 2))


def _norm(values, log, vmin, vmax):
    """The colour scale over the finite values shown (positive ones for a log scale)."""
    import matplotlib.colors as colors

    finite = values[np.isfinite(values) & ((values > 0) if log else True)]
    low = vmin if vmin is not None else (finite.min() if finite.size else (1.0 if log else 0.0))
    high = vmax if vmax is not None else (finite.max() if finite.size else low * 10 + 1)
    if high <= low:
        high = low * 10.0 if log and low > 0 else low + 1.0
    if log:
        return colors.LogNorm(vmin=low, vmax=high)
    return colors.Normalize(vmin=low, vmax=high)


def _masked(values, log):
    return np.ma.masked_where(~(values > 0) if log else ~np.isfinite(values), values)


def _core_limits(survey, margin):
    """(x, y) limits around the electrodes, `margin` times their extent beyond them."""
    electrodes = np.asarray(survey.electrodes)
    low, high = electrodes[:, :2].min(axis=0), electrodes[:, :2].max(axis=0)
    extent = max(float((high - low).max()), 1e-9)
    return ((low[0] - margin * extent, high[0] + margin * extent),
            (low[1] - margin * extent, high[1] + margin * extent), extent)


def plot_model3d(mesh, model, axis="y", position=None, ax=None, log=True, cmap="jet_r",
                 label="resistivity (ohm-m)", title=None, vmin=None, vmax=None, survey=None,
                 xlim=None, ylim=None, zlim=None, colorbar=True):
    """Draws a slice of the 3-D model `model` (shape (nz, ny, nx), x fastest, or nx * ny * nz
    values in 0-based cell order (k * ny + j) * nx + i) on `mesh` (a Mesh3D) and returns the axes.

    axis 'x': the section through the cells that hold x = position (y across, depth down); 'y':
    the section at y = position (x across); 'z': the map of the layer that holds the depth
    position (x across, y up). position None: the middle of the mesh along x or y, the top layer
    along z. A position outside the mesh is a ValueError.
    log: a logarithmic colour scale (resistivities); label: the colour bar's label with its unit.
    survey: a Survey3D whose electrodes are drawn (on a map all of them, on a section those in
    the slice's cells) and around which the picture is cut (half the electrodes' extent beyond
    them, and that extent deep) unless xlim, ylim or zlim say otherwise. NaN (cells that are no
    parameter) are blank.
    """
    _matplotlib()
    if axis not in _AXES:
        raise ValueError("axis: 'x', 'y' or 'z'")
    values = _values(mesh, model)
    nodes = _nodes(mesh, axis)
    if position is None:
        position = (nodes[0] + nodes[-1]) / 2 if axis != "z" else (nodes[0] + nodes[1]) / 2
    index = cell_at(nodes, position)
    if axis == "x":
        shown, across, down = values[:, :, index], _nodes(mesh, "y"), _nodes(mesh, "z")
        names = ("y (m)", "depth (m)")
    elif axis == "y":
        shown, across, down = values[:, index, :], _nodes(mesh, "x"), _nodes(mesh, "z")
        names = ("x (m)", "depth (m)")
    else:
        shown, across, down = values[index], _nodes(mesh, "x"), _nodes(mesh, "y")
        names = ("x (m)", "y (m)")
    limits_across = {"x": ylim, "y": xlim, "z": xlim}[axis]
    limits_down = {"x": zlim, "y": zlim, "z": ylim}[axis]
    if survey is not None:
        core_x, core_y, extent = _core_limits(survey, 0.5)
        top = float(mesh.z_nodes[0])
        if limits_across is None:
            limits_across = core_y if axis == "x" else core_x
        if limits_down is None:
            limits_down = core_y if axis == "z" else (top, top + extent)
    limits_across = (across[0], across[-1]) if limits_across is None else limits_across
    limits_down = (down[0], down[-1]) if limits_down is None else limits_down
    ax = _axes(ax, (7, 4.5))
    # The colour scale covers the cells that show.
    in_across = (across[1:] > min(limits_across)) & (across[:-1] < max(limits_across))
    in_down = (down[1:] > min(limits_down)) & (down[:-1] < max(limits_down))
    norm = _norm(shown[np.ix_(in_down, in_across)], log, vmin, vmax)
    drawn = ax.pcolormesh(across, down, _masked(shown, log), cmap=cmap, norm=norm, shading="flat")
    if survey is not None:
        electrodes = np.asarray(survey.electrodes)
        if axis == "z":
            ax.plot(electrodes[:, 0], electrodes[:, 1], "k.", markersize=3)
        else:
            along = electrodes[:, 0 if axis == "x" else 1]
            near = (along >= nodes[index]) & (along <= nodes[index + 1])
            column = 1 if axis == "x" else 0
            ax.plot(electrodes[near, column], electrodes[near, 2], "kv", markersize=4)
    ax.set_xlim(min(limits_across), max(limits_across))
    if axis == "z":
        ax.set_ylim(min(limits_down), max(limits_down))
    else:
        ax.set_ylim(max(limits_down), min(limits_down))  # depth grows downwards
    ax.set_aspect("equal")
    ax.set_xlabel(names[0])
    ax.set_ylabel(names[1])
    where = {"x": f"x = {position:g} m", "y": f"y = {position:g} m",
             "z": f"depth {down_text(mesh, index)}"}[axis]
    ax.set_title(title if title is not None else where)
    if colorbar:
        bar = ax.figure.colorbar(drawn, cax=_bar_axes(ax))
        if log:
            _log_ticks(bar, norm.vmin, norm.vmax)
        bar.set_label(label)
    return ax


def down_text(mesh, layer):
    """'a to b m': the depths of a 0-based layer."""
    return f"{float(mesh.z_nodes[layer]):g} to {float(mesh.z_nodes[layer + 1]):g} m"


def _axes(ax, figsize):
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    return plt.subplots(figsize=figsize)[1]


def plot_depth_maps(mesh, model, depths, log=True, cmap="jet_r", label="resistivity (ohm-m)",
                    vmin=None, vmax=None, survey=None, xlim=None, ylim=None, figsize=None):
    """A row of maps of the 3-D model (shape (nz, ny, nx), x fastest) at the given depths (m,
    each drawing the layer that holds it) with one colour scale and colour bar; returns the
    figure. survey: a Survey3D whose electrodes are marked and around which the maps are cut
    (unless xlim, ylim say otherwise). A depth outside the mesh is a ValueError; NaN cells are
    blank."""
    _matplotlib()
    import matplotlib.pyplot as plt

    depths = [float(d) for d in np.atleast_1d(depths)]
    if not depths:
        raise ValueError("depths: at least one depth")
    values = _values(mesh, model)
    layers = [cell_at(mesh.z_nodes, depth, "depth") for depth in depths]
    norm = _norm(values[layers], log, vmin, vmax)
    figure, axes = plt.subplots(1, len(depths), figsize=figsize or (3.6 * len(depths) + 1, 3.8),
                                squeeze=False, constrained_layout=True)
    for ax, depth in zip(axes[0], depths):
        plot_model3d(mesh, values, axis="z", position=depth, ax=ax, log=log, cmap=cmap,
                     vmin=norm.vmin, vmax=norm.vmax, survey=survey, xlim=xlim, ylim=ylim,
                     colorbar=False, title=f"{depth:g} m")
    import matplotlib.cm as cm

    bar = figure.colorbar(cm.ScalarMappable(norm=norm, cmap=cmap), ax=list(axes[0]),
                          shrink=0.8)
    if log:
        _log_ticks(bar, norm.vmin, norm.vmax)
    bar.set_label(label)
    return figure


def normalised_misfit(observed, predicted, std):
    """(predicted - observed) / std per datum."""
    observed, predicted, std = (np.asarray(v, dtype=float) for v in (observed, predicted, std))
    if not observed.shape == predicted.shape == std.shape:
        raise ValueError("observed, predicted and std: one value per datum each")
    return (predicted - observed) / std


def plot_misfit3d(survey, observed, predicted, std, figsize=(10, 4), bins=30):
    """The normalised misfit (predicted - observed) / std of a 3-D survey's data (the survey's
    order): its histogram, and a map of the mean |misfit| of the data at each current electrode
    (A and B of a dipole both count the datum); returns the figure."""
    _matplotlib()
    import matplotlib.pyplot as plt

    misfit = normalised_misfit(observed, predicted, std)
    if misfit.size != survey.ndat:
        raise ValueError(f"observed, predicted and std: {survey.ndat} values each")
    figure, (histogram, where) = plt.subplots(1, 2, figsize=figsize, constrained_layout=True)
    finite = misfit[np.isfinite(misfit)]
    histogram.hist(finite, bins=bins, color="steelblue", edgecolor="white")
    histogram.set_xlabel("(predicted - observed) / std")
    histogram.set_ylabel("data")
    rms = float(np.sqrt(np.mean(finite ** 2))) if finite.size else float("nan")
    histogram.set_title(f"{survey.ndat} data, RMS {rms:.3g}")
    electrodes = np.asarray(survey.electrodes)
    a, b = np.asarray(survey.a), np.asarray(survey.b)
    sums = np.zeros(len(electrodes))
    counts = np.zeros(len(electrodes))
    size = np.abs(np.where(np.isfinite(misfit), misfit, 0.0))
    np.add.at(sums, a, size)
    np.add.at(counts, a, 1)
    dipole = b != a
    np.add.at(sums, b[dipole], size[dipole])
    np.add.at(counts, b[dipole], 1)
    current = counts > 0
    where.plot(electrodes[:, 0], electrodes[:, 1], ".", color="0.7", markersize=3)
    drawn = where.scatter(electrodes[current, 0], electrodes[current, 1],
                          c=sums[current] / counts[current], cmap="viridis", s=40)
    where.set_aspect("equal")
    where.set_xlabel("x (m)")
    where.set_ylabel("y (m)")
    where.set_title("mean |misfit| per current electrode")
    figure.colorbar(drawn, ax=where, label="mean |(predicted - observed) / std|")
    return figure
