"""Pictures: a model on its section (cells at their true widths, depth growing downwards), survey
data as a pseudosection, and an inversion's results: the recovered section (the core under the
electrodes, shaded by what the data see), the fit of the data and the iteration history.

Command line (also installed as quelby-plot):
    python3 -m quelby.plot MESH MODEL OUT.png      a model: the core, as plot_model draws it
    python3 -m quelby.plot --whole MESH MODEL OUT.png   the whole mesh, padding included
    python3 -m quelby.plot --data FILE OUT.png     a survey data file's pseudosection
A doi.mod beside MODEL (quelby-invert --doi) fades the cells past the depth of investigation and
draws its contour: --doi FILE names another index, --no-doi leaves it out, --doi-threshold T
(0.2) and --doi-mask (mask rather than fade) choose how.
"""

import argparse
import os
import sys

import numpy as np


def _matplotlib():
    """matplotlib, or an ImportError that names the package to install."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        raise ImportError("quelby's pictures need matplotlib: install the Debian package "
                          "python3-matplotlib (or `pip install matplotlib`)") from error


# How opaque the white veil over the cells past the depth of investigation is (doi="shade").
DOI_VEIL = 0.7


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
    """Ticks at 1, 2 and 5 times the powers of ten between low and high, written plainly; over a
    range too narrow for two of them, five ticks evenly spaced in the logarithm, rounded to two
    significant digits."""
    ticks = [m * 10.0 ** e for e in range(int(np.floor(np.log10(low))),
                                          int(np.ceil(np.log10(high))) + 1) for m in (1, 2, 5)]
    ticks = [t for t in ticks if low * (1 - 1e-9) <= t <= high * (1 + 1e-9)]
    if len(ticks) < 2 and high > low:
        ticks = sorted({float(f"{t:.2g}") for t in np.geomspace(low, high, 5)})
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


def _triangulation(px, pz):
    """A Delaunay triangulation of the points, or None where there is none: fewer than 3 points,
    all on one line (a Wenner line of one spacing puts every datum at one depth), or points qhull
    refuses."""
    import matplotlib.tri as tri

    if px.size < 3:
        return None
    centred = np.column_stack([px - px.mean(), pz - pz.mean()])
    scale = np.abs(centred).max()
    if not scale > 0 or np.linalg.matrix_rank(centred / scale, tol=1e-9) < 2:
        return None
    try:
        triangulation = tri.Triangulation(px, pz)
        if triangulation.triangles.size == 0:
            return None
    except (RuntimeError, ValueError):
        return None
    return triangulation


def plot_pseudosection(data, values=None, ax=None, log=None, cmap="jet_r", points=True,
                       colorbar=True, label=None, title=None, vmin=None, vmax=None, levels=16):
    """Draws survey data as a pseudosection and returns the axes.

    Every datum stands at its pseudosection point (quelby.pseudosection: x midway between the
    pairs' centres, the median depth of investigation below it); the values are drawn as filled
    contours over the triangulated points, the points themselves as dots, pseudo-depth growing
    downwards. Where no triangulation can be made (fewer than 3 points, or all of them on one
    line, as a Wenner line of one spacing gives), every datum is drawn as a coloured point
    instead. values: ndat values in grouped order; by default the apparent resistivity of DC data
    (quelby.apparent_resistivity) and the data themselves for IP data. log: a logarithmic colour
    scale; None chooses it for DC data and a linear one for IP data. Data that share a point are
    drawn as their mean (geometric with log); NaN values, and with log the values that are not
    positive, are left out.
    """
    _matplotlib()
    import matplotlib.colors as colors

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
    good = np.isfinite(values) & np.isfinite(depth) & ((values > 0) if log else True)
    x, depth, values = x[good], depth[good], values[good]
    if values.size == 0:
        raise ValueError("plot_pseudosection: no datum with a value to draw")
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
    triangulation = _triangulation(px, pz)
    if triangulation is not None:
        filled = ax.tricontourf(triangulation, clipped, levels=bounds, cmap=cmap, norm=norm)
        if points:
            ax.plot(x, depth, "k.", markersize=2.5, label="data")
    else:
        filled = ax.scatter(px, pz, c=clipped, cmap=cmap, norm=norm, s=36, edgecolors="k",
                            linewidths=0.3, label="data")
    ax.set_ylim(pz.max() * 1.15 + (0.0 if pz.max() > 0 else 1.0), 0.0)  # depth grows downwards
    margin = max((px.max() - px.min()) * 0.04, pz.max() * 0.5, 1e-3)
    ax.set_xlim(px.min() - margin, px.max() + margin)
    ax.set_xlabel("x (m)")
    ax.set_ylabel("pseudo-depth (m)")
    if title:
        ax.set_title(title)
    if colorbar:
        bar = ax.figure.colorbar(filled, cax=_bar_axes(ax))
        if log:
            _log_ticks(bar, low, high)
        else:
            # A few round ticks rather than every contour level.
            from matplotlib.ticker import MaxNLocator

            ticks = MaxNLocator(6).tick_values(low, high)
            bar.set_ticks(ticks[(ticks >= low) & (ticks <= high)])
        bar.set_label(label)
    return ax


# Pictures of an inversion: the recovered section, the fit of the data and the iteration history.

def core_extent(mesh, data=None, topography=None):
    """core_extent(mesh, data=None, topography=None) -> (xlim, zlim)

    The part of the mesh a survey sees, without the padding: along x the electrodes' span of
    `data` (a SurveyData) and two of the smallest cells beyond it, or without data the columns of
    the smallest width; along z from the highest ground (the topography's surface, else the first
    z node) to the bottom of the rows under it that grow by less than 1.2 a row, the core before
    the padding grows, and for data with z positions at least two of the smallest rows below the
    deepest electrode.
    Both in metres, (low, high).
    """
    x_nodes, z_nodes = np.asarray(mesh.x_nodes, float), np.asarray(mesh.z_nodes, float)
    dx, dz = np.diff(x_nodes), np.diff(z_nodes)
    deepest = None
    if data is not None:
        from .survey import _depths, _electrodes

        positions = np.concatenate(_electrodes(data))
        margin = 2 * dx.min()
        xlim = (positions.min() - margin, positions.max() + margin)
        deepest = float(np.concatenate(_depths(data)).max()) if data.has_z else None
    else:
        core = np.flatnonzero(dx <= dx.min() * (1 + 1e-6))
        xlim = (x_nodes[core[0]], x_nodes[core[-1] + 1])
    top = z_nodes[0]
    if topography is not None:
        top = max(top, float(np.min(np.asarray(topography.surface_z))))
    below = np.flatnonzero(z_nodes[1:] > top)
    # The core rows are the rows under the top that grow by less than 1.2 a row (equal rows, or
    # rows growing by 1.1 with depth, or a parameter grid's layers); the padding, growing by 1.3,
    # and a grid's layers past the depth the data see, which about double, start after them.
    rows = dz[below]
    gentle = np.concatenate([[True], rows[1:] < 1.2 * rows[:-1]])
    last = below[0] + (np.argmin(gentle) if not gentle.all() else gentle.size) - 1
    zlim = (top, z_nodes[max(last, below[0]) + 1])
    if deepest is not None:
        # Buried electrodes: at least down to two of the smallest rows below the deepest.
        zlim = (top, max(zlim[1], deepest + 2 * dz.min()))
    return xlim, zlim


def _air_mask(mesh, topography, cells):
    """True for the cells above the ground surface (of `topography`, else of the map's own)."""
    air_cells = getattr(topography, "air_cells", None)
    if air_cells is None and cells is not None:
        air_cells = cells.air_cells
    if air_cells is None:
        return np.zeros((mesh.nz, mesh.nx), dtype=bool)
    return np.arange(mesh.nz)[:, None] < np.asarray(air_cells)[None, :]


def cumulative_sensitivity(mesh, J, cells=None, topography=None, weights=None):
    """cumulative_sensitivity(mesh, J, cells=None, topography=None, weights=None) -> (nz, nx)

    sum_i w_i |J_ij| / (dx_j dz_j) for every cell j: how much the data together see a cell, per
    square metre (a depth-of-investigation view: the data say little where it is small). J as
    quelby.sensitivity returns it, (ndat, columns): with `cells` (an ActiveCells) column p - 1 is
    the cell of parameter p; without, the ground cells (below `topography`, else every cell) in
    cell order. weights: ndat row weights w_i (for example 1 / data.dstd), else 1 (as for data
    without standard deviations, whose dstd is None). Cells that are no column of J are NaN.
    """
    J = np.asarray(J, dtype=float)
    if J.ndim != 2:
        raise ValueError(f"J: expected a matrix (ndat, columns), got shape {J.shape}")
    rows = np.ones(J.shape[0]) if weights is None else np.asarray(weights, dtype=float)
    if rows.shape != (J.shape[0],):
        raise ValueError(f"weights: expected {J.shape[0]} values, got shape {rows.shape}")
    if not np.isfinite(rows).all():
        raise ValueError("weights: every weight must be a finite number (a data file without "
                         "standard deviations has dstd None: leave weights=None, or fill "
                         "data.dstd first)")
    if cells is not None:
        index = np.asarray(cells.cell_idx).reshape(-1)
        where = index > 0
        column = index[where] - 1
    else:
        where = ~_air_mask(mesh, topography, None).reshape(-1)
        column = np.arange(int(where.sum()))
    if column.size != J.shape[1] or (column.size and column.max() >= J.shape[1]):
        raise ValueError(f"J: {J.shape[1]} columns, the cells give {column.size}")
    total = np.abs(rows) @ np.abs(J)
    area = (np.asarray(mesh.dz, float)[:, None] * np.asarray(mesh.dx, float)[None, :]).reshape(-1)
    result = np.full(mesh.nx * mesh.nz, np.nan)
    result[where] = total[column] / area[where]
    return result.reshape(mesh.nz, mesh.nx)


def plot_model(mesh, model, data=None, topography=None, cells=None, what="resistivity", ax=None,
               xlim=None, zlim=None, sensitivity=None, threshold=1e-3, doi="shade", cmap=None,
               vmin=None, vmax=None, colorbar=True, label=None, title=None, electrodes=True,
               aspect=None, doi_index=None, doi_threshold=0.2):
    """Draws a recovered model (shape (nz, nx)) and returns the axes.

    By default the core under the electrodes (core_extent: the survey `data`'s span, else the
    mesh's smallest cells), not the padding. topography: a Topography; its surface is drawn, the
    cells above it are left blank, and a topography read from a file draws the section in
    elevation (its reference elevation minus depth) instead of depth. cells: an ActiveCells whose
    cells that are no parameters are left blank too. what: "resistivity" (a logarithmic scale in
    ohm-m) or "chargeability" (linear, in the unit of the IP data). electrodes: marks the
    electrodes of `data` on the surface (with z positions, where they stand).
    sensitivity: cumulative_sensitivity's (nz, nx) values; the cells that see less than
    `threshold` times the most of the cells shown are masked (doi="mask") or faded to white
    (doi="shade", fully white at the threshold, in proportion to the decades above it).
    doi_index: the depth-of-investigation index (nz, nx) of quelby-invert --doi (doi.mod, read
    with quelby.read_model) or quelby.invert(..., doi=True) (result.doi), in place of
    `sensitivity`: the cells whose index is above `doi_threshold` (0.2 by default; the index runs
    from 0 where the data fix the model to 1 where the reference does), and the cells that are no
    parameter (index -1), are masked (doi="mask") or faded under a white veil of opacity 0.7
    (quelby.plot.DOI_VEIL; doi="shade"), and the index's contour at the threshold is drawn as a dashed black
    line (labelled "depth of investigation").
    """
    _matplotlib()
    import matplotlib.colors as colors

    if what not in ("resistivity", "chargeability"):
        raise ValueError(f"what: 'resistivity' or 'chargeability', not {what!r}")
    if doi not in ("shade", "mask"):
        raise ValueError(f"doi: 'shade' or 'mask', not {doi!r}")
    if doi_index is not None and sensitivity is not None:
        raise ValueError("plot_model: give sensitivity or doi_index, not both")
    if not 0 < doi_threshold < 1:
        raise ValueError(f"doi_threshold: a number between 0 and 1, not {doi_threshold!r}")
    log = what == "resistivity"
    values = np.array(model, dtype=float).reshape(mesh.nz, mesh.nx)
    hidden = _air_mask(mesh, topography, cells)
    if cells is not None:
        hidden |= np.asarray(cells.cell_idx).reshape(mesh.nz, mesh.nx) <= 0
    values[hidden] = np.nan
    core_x, core_z = core_extent(mesh, data, topography)
    xlim = core_x if xlim is None else tuple(xlim)
    zlim = core_z if zlim is None else tuple(zlim)
    x_nodes, z_nodes = np.asarray(mesh.x_nodes, float), np.asarray(mesh.z_nodes, float)
    shown_columns = (x_nodes[1:] > min(xlim)) & (x_nodes[:-1] < max(xlim))
    shown_rows = (z_nodes[1:] > min(zlim)) & (z_nodes[:-1] < max(zlim))
    shown = np.zeros_like(hidden)
    shown[np.ix_(shown_rows, shown_columns)] = True

    fade = None
    if sensitivity is not None:
        seen = np.array(sensitivity, dtype=float).reshape(mesh.nz, mesh.nx)
        reference = np.nanmax(np.where(shown & ~hidden, seen, np.nan))
        with np.errstate(divide="ignore", invalid="ignore"):
            relative = seen / reference
        if doi == "mask":
            values[~(relative >= threshold)] = np.nan
        else:
            fade = np.clip(np.log10(relative) / np.log10(threshold), 0.0, 1.0)
            fade[~np.isfinite(fade)] = 1.0
            fade[hidden] = 0.0

    index = None
    if doi_index is not None:
        index = np.array(doi_index, dtype=float)
        if index.size != mesh.nx * mesh.nz:
            raise ValueError(f"doi_index: expected shape ({mesh.nz}, {mesh.nx}), got "
                             f"{index.shape}")
        index = index.reshape(mesh.nz, mesh.nx)
        unseen = ~hidden & ~(index <= doi_threshold)  # above it, no parameter (-1 is not) or NaN
        unseen |= ~hidden & ~(index >= 0)
        if doi == "mask":
            values[unseen] = np.nan
        else:
            fade = np.where(unseen, DOI_VEIL, 0.0)

    visible = values[shown]
    finite = visible[np.isfinite(visible) & ((visible > 0) if log else True)]
    low = vmin if vmin is not None else (finite.min() if finite.size else (1.0 if log else 0.0))
    high = vmax if vmax is not None else (finite.max() if finite.size else low * 10 + 1)
    if high <= low:
        high = low * 10.0 if log else low + 1.0
    norm = colors.LogNorm(vmin=low, vmax=high) if log else colors.Normalize(vmin=low, vmax=high)

    # A topography read from a file places the section at its elevations.
    elevation = topography is not None and getattr(topography, "has_topography", False)
    reference = float(getattr(topography, "reference_elevation", 0.0)) if elevation else 0.0
    height = (lambda z: reference - np.asarray(z, float)) if elevation else (
        lambda z: np.asarray(z, float))
    ax = _axes(ax, (8, 4))
    drawn = np.ma.masked_where(~np.isfinite(values) | ((values <= 0) if log else False), values)
    section = ax.pcolormesh(x_nodes, height(z_nodes), drawn, norm=norm, shading="flat",
                            cmap=cmap or ("jet_r" if log else "viridis"))
    if fade is not None:
        white = np.ones((mesh.nz, mesh.nx))
        veil = ax.pcolormesh(x_nodes, height(z_nodes), white, cmap="gray", vmin=0, vmax=1,
                             shading="flat")
        veil.set_alpha(fade)
        veil.set_label("sensitivity shading" if index is None else "depth of investigation shading")
    if index is not None:
        _doi_contour(ax, mesh, np.where(hidden | ~(index >= 0), np.nan, index), doi_threshold,
                     height)
    if topography is not None:
        surface = np.asarray(topography.surface_z, float)
        ax.plot(x_nodes, height(surface), color="black", linewidth=1.2, label="ground surface")
    if data is not None and electrodes:
        from .survey import _depths, _electrodes

        if data.has_z:
            # Buried electrodes where they stand.
            points = np.unique(np.column_stack([np.concatenate(_electrodes(data)),
                                                np.concatenate(_depths(data))]), axis=0)
            ax.plot(points[:, 0], height(points[:, 1]), "kv", markersize=3, label="electrodes")
        else:
            x = np.unique(np.concatenate(_electrodes(data)))
            surface = (np.interp(x, x_nodes, np.asarray(topography.surface_z, float))
                       if topography is not None else np.full(x.size, z_nodes[0]))
            ax.plot(x, height(surface), "kv", markersize=3, label="electrodes")
    ax.set_xlim(min(xlim), max(xlim))
    top, bottom = height(min(zlim)), height(max(zlim))
    ax.set_ylim(bottom, top)  # depth grows downwards; elevation upwards
    width, depth = abs(xlim[1] - xlim[0]), abs(zlim[1] - zlim[0])
    if aspect is None:
        aspect = "equal" if depth > 0 and depth / 4 <= width <= 8 * depth else "auto"
    ax.set_aspect(aspect)
    ax.set_xlabel("x (m)")
    ax.set_ylabel("elevation (m)" if elevation else "depth (m)")
    if title:
        ax.set_title(title)
    if colorbar:
        bar = ax.figure.colorbar(section, cax=_bar_axes(ax))
        if log:
            _log_ticks(bar, low, high)
        bar.set_label(label or ("resistivity (ohm-m)" if log else "chargeability"))
    return ax


def _doi_contour(ax, mesh, index, threshold, height):
    """The contour of the index at the threshold, dashed, over the cells' centres; nothing where
    the index does not cross it."""
    finite = index[np.isfinite(index)]
    if not finite.size or not finite.min() < threshold < finite.max():
        return None
    contours = ax.contour(np.asarray(mesh.x_centres, float), height(mesh.z_centres),
                          np.ma.masked_invalid(index), levels=[threshold], colors="black",
                          linewidths=1.2, linestyles="--")
    contours.collections[0].set_label("depth of investigation")
    return contours


def plot_data_misfit(data, predicted, std=None, observed=None, mesh=None, topography=None,
                     axes=None, log=None, cmap=None, vmin=None, vmax=None, limit=None, ip=None):
    """Draws the observed and the predicted pseudosections side by side, on one colour scale, and
    beside them the normalised misfit (predicted - observed) / std of every datum at its
    pseudosection point; returns the three axes.

    data: the SurveyData (its dobs and dstd unless `observed` and `std` are given, ndat values in
    grouped order); predicted: ndat values. Without standard deviations (std None and data.dstd
    None, as for a data file without them) the third picture is the relative misfit
    100 (predicted - observed) / |observed| in percent. DC data are drawn as apparent resistivities (geometric
    factors of flat ground, or numerical ones on `mesh` below `topography`, as
    quelby.apparent_resistivity), IP data (ip True, or by default data with IP types other than 0)
    as they are (cmap: by default jet_r for DC, viridis for IP). limit: the misfit colour scale runs from
    -limit to limit (by default the larger of 2 and the largest misfit rounded up).
    """
    _matplotlib()
    from .survey import apparent_resistivity, pseudosection

    if observed is None and data.dobs is None:
        raise ValueError("plot_data_misfit: the data were read without values; give observed")
    observed = np.asarray(data.dobs if observed is None else observed, dtype=float)
    predicted = np.asarray(predicted, dtype=float)
    relative = std is None and data.dstd is None
    std = np.abs(observed) / 100 if relative else np.asarray(
        data.dstd if std is None else std, dtype=float)
    for name, values in (("observed", observed), ("predicted", predicted), ("std", std)):
        if values.shape != (data.ndat,):
            raise ValueError(f"{name}: expected {data.ndat} values, got shape {values.shape}")
    misfit = (predicted - observed) / std
    if ip is None:
        ip = data.iptype is not None and len(data.iptype) and (np.asarray(data.iptype) != 0).any()
    if ip:
        shown = observed, predicted
    else:
        k = apparent_resistivity(data, np.ones(data.ndat), mesh=mesh, topography=topography)
        shown = k * observed, k * predicted
    if log is None:
        log = not ip
    cmap = cmap or ("viridis" if ip else "jet_r")
    both = np.concatenate(shown)
    both = both[np.isfinite(both) & ((both > 0) if log else True)]
    low = both.min() if vmin is None else vmin
    high = both.max() if vmax is None else vmax

    if axes is None:
        import matplotlib.pyplot as plt

        axes = plt.subplots(1, 3, figsize=(15, 3.4))[1]
    phi_d = float(np.sum(misfit ** 2))
    plot_pseudosection(data, values=shown[0], ax=axes[0], log=log, cmap=cmap, vmin=low, vmax=high,
                       title="observed")
    plot_pseudosection(data, values=shown[1], ax=axes[1], log=log, cmap=cmap, vmin=low, vmax=high,
                       title="predicted")
    x, depth = pseudosection(data)
    if limit is None:
        limit = max(2.0, float(np.ceil(np.nanmax(np.abs(misfit)))))
    ax = axes[2]
    shown_depth = depth[np.isfinite(depth)]
    points = ax.scatter(x, depth, c=misfit, cmap="RdBu_r", vmin=-limit, vmax=limit, s=14,
                        edgecolors="none")
    ax.set_ylim(axes[0].get_ylim() if shown_depth.size else (1.0, 0.0))
    ax.set_xlim(axes[0].get_xlim())
    ax.set_xlabel("x (m)")
    ax.set_ylabel("pseudo-depth (m)")
    if relative:
        ax.set_title(f"relative misfit, no standard deviations ({data.ndat} data)")
    else:
        ax.set_title(f"normalised misfit, phi_d = {phi_d:.4g} ({data.ndat} data)")
    bar = ax.figure.colorbar(points, cax=_bar_axes(ax))
    bar.set_label("(predicted - observed) / |observed| (%)" if relative else
                  "(predicted - observed) / std")
    return axes


def plot_history(history, ax=None, target=None, title=None):
    """Draws the data misfit phi_d (logarithmic scale) and the model norm phi_m of every iteration
    and returns the axes (phi_m on a twin axis at the right, ax.right).

    history: an iteration history file's name (read_iteration_history), the dict it returns, or
    any mapping with "misfit" and "norm" (one value per iteration, from iteration 0); its
    "target_misfit" is drawn as a dashed line unless `target` gives another.
    """
    _matplotlib()
    from .history import read_iteration_history

    if not hasattr(history, "keys"):
        history = read_iteration_history(history)
    misfit = np.asarray(history["misfit"], dtype=float)
    norm = np.asarray(history["norm"], dtype=float)
    if misfit.shape != norm.shape or misfit.ndim != 1:
        raise ValueError("history: misfit and norm need one value per iteration each")
    iterations = np.arange(misfit.size)
    target = history.get("target_misfit") if target is None else target
    ax = _axes(ax, (6, 3.5))
    ax.semilogy(iterations, misfit, "o-", color="tab:blue", label="phi_d (data misfit)")
    if target is not None:
        ax.axhline(target, color="tab:blue", linestyle="--", linewidth=1, label="target misfit")
    ax.set_xlabel("iteration")
    ax.set_ylabel("phi_d", color="tab:blue")
    right = ax.twinx()
    right.plot(iterations, norm, "s-", color="tab:red", label="phi_m (model norm)")
    right.set_ylabel("phi_m", color="tab:red")
    ax.set_xticks(iterations)
    lines = ax.get_lines() + right.get_lines()
    ax.legend(lines, [line.get_label() for line in lines], loc="center right", fontsize=8)
    if title:
        ax.set_title(title)
    ax.right = right
    return ax


def plot_reciprocal_errors(result, ax=None, what="resistance", title=None):
    """Draws the reciprocal errors of an import (quelby.import_field_data(..., reciprocal=True))
    and the error models fitted to them, and returns the axes.

    Every pair is a point (its mean |R| against e = |Rn - Rr|, log-log), the bins the models were
    fitted to are squares, the kept model a line and the other a dashed line, with their formulas
    in the legend. what: "resistance" (ohms) or "chargeability" (|mn - mr| against |R|, in the
    unit of the IP data).
    """
    _matplotlib()
    if what not in ("resistance", "chargeability"):
        raise ValueError(f"what: 'resistance' or 'chargeability', not {what!r}")
    pairs = result.pairs
    fit = result.error_model if what == "resistance" else result.ip_error_model
    magnitude = np.abs(np.asarray(pairs["resistance"], dtype=float))
    error = np.asarray(pairs["error" if what == "resistance" else "chargeability_error"],
                       dtype=float)
    shown = np.isfinite(error) & (error > 0) & (magnitude > 0)
    if not shown.any():
        raise ValueError("plot_reciprocal_errors: no pair with a positive error to draw "
                         "(import with reciprocal=True)")
    unit = "ohm" if what == "resistance" else result.chargeability_unit
    ax = _axes(ax, (6, 4.2))
    ax.loglog(magnitude[shown], error[shown], ".", color="0.55", markersize=4,
              label=f"pairs ({int(shown.sum())})")
    if fit is not None:
        bins_r, bins_e = np.asarray(fit["bin_resistance"]), np.asarray(fit["bin_error"])
        good = (bins_r > 0) & (bins_e > 0)
        ax.loglog(bins_r[good], bins_e[good], "s", color="black", markersize=5,
                  label=f"bins of {fit['pairs_per_bin']} or more pairs")
        span = np.geomspace(magnitude[shown].min(), magnitude[shown].max(), 100)
        kept = fit["kept"]
        for name in ("linear", "power"):
            model = fit[name]
            if not model["usable"]:
                continue
            a, b = model["a"], model["b"]
            curve = a + b * span if name == "linear" else a * span ** b
            is_kept = kept is not None and kept["kind"] == name
            ax.loglog(span, curve, "-" if is_kept else "--",
                      color="tab:red" if is_kept else "tab:blue", linewidth=1.5,
                      label=model["formula"] + (" (kept)" if is_kept else ""))
    ax.set_xlabel("|R| of the pair (ohm)")
    ax.set_ylabel(("|Rn - Rr|" if what == "resistance" else "|mn - mr|") + f" ({unit})")
    ax.set_title(title or ("reciprocal errors of the resistances" if what == "resistance"
                           else "reciprocal errors of the chargeabilities"))
    ax.legend(fontsize=8, loc="upper left")
    return ax


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="quelby-plot",
        usage="quelby-plot [--whole] [--topography FILE] [--chargeability]\n"
              "                   [--doi FILE | --no-doi] [--doi-threshold T] [--doi-mask]\n"
              "                   MESH MODEL OUT.png\n"
              "       quelby-plot --data FILE OUT.png",
        description="Draws a model on its mesh (MESH MODEL OUT.png: the core under the smallest "
                    "cells, as plot_model does; --whole for every cell) or the pseudosection of "
                    "a survey data file of DC or IP data (--data FILE OUT.png).")
    parser.add_argument("--data", metavar="FILE", help="a survey data file to draw")
    parser.add_argument("--whole", action="store_true",
                        help="draw the whole mesh, padding included")
    parser.add_argument("--topography", metavar="FILE",
                        help="a topography file: the section in elevation, air left blank")
    parser.add_argument("--chargeability", action="store_true",
                        help="the model holds chargeabilities (a linear colour scale)")
    parser.add_argument("--doi", metavar="FILE",
                        help="a depth-of-investigation index (doi.mod of quelby-invert --doi); "
                             "by default the doi.mod beside MODEL, when there is one")
    parser.add_argument("--no-doi", action="store_true",
                        help="draw the model without the depth of investigation")
    parser.add_argument("--doi-threshold", metavar="T", type=float, default=0.2,
                        help="the index above which cells are past the depth of investigation "
                             "(default 0.2)")
    parser.add_argument("--doi-mask", action="store_true",
                        help="leave the cells past the depth of investigation blank rather than "
                             "faded")
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="MESH MODEL OUT.png, or OUT.png with --data")
    arguments = parser.parse_args(sys.argv[1:] if argv is None else argv)
    expected = 1 if arguments.data else 3
    if len(arguments.files) != expected:
        parser.print_usage(sys.stderr)
        print("quelby-plot: expected " + ("OUT.png after --data FILE" if arguments.data else
                                          "MESH MODEL OUT.png"), file=sys.stderr)
        return 2
    if arguments.doi and arguments.no_doi:
        parser.print_usage(sys.stderr)
        print("quelby-plot: --doi FILE or --no-doi, not both", file=sys.stderr)
        return 2
    if not 0 < arguments.doi_threshold < 1:
        parser.print_usage(sys.stderr)
        print("quelby-plot: --doi-threshold takes a number between 0 and 1", file=sys.stderr)
        return 2
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    import quelby

    try:
        if arguments.data:
            try:
                data = quelby.read_data_file(arguments.data)
            except quelby.Stop:
                # IP data (IPTYPE 1 or 2) are read as such.
                data = quelby.read_data_file(arguments.data, dc_data=False)
            ax = plot_pseudosection(data, title=arguments.data)
        else:
            mesh = quelby.load_mesh(arguments.files[0])
            model = quelby.read_model(arguments.files[1], mesh)
            what = "chargeability" if arguments.chargeability else "resistivity"
            topography = (quelby.read_topography(mesh, arguments.topography)
                          if arguments.topography else None)
            index_file = _doi_file(arguments)
            if index_file is not None:
                index = quelby.read_model(index_file, mesh)
                whole = ((mesh.x_nodes[0], mesh.x_nodes[-1]), (mesh.z_nodes[0], mesh.z_nodes[-1]))
                ax = plot_model(mesh, model, topography=topography, what=what,
                                title=arguments.files[1], doi_index=index,
                                doi_threshold=arguments.doi_threshold,
                                doi="mask" if arguments.doi_mask else "shade",
                                xlim=whole[0] if arguments.whole else None,
                                zlim=whole[1] if arguments.whole else None)
            elif arguments.whole:
                ax = plot_section(mesh, model, title=arguments.files[1],
                                  log=not arguments.chargeability, topography=topography,
                                  label="chargeability" if arguments.chargeability
                                  else "resistivity (ohm-m)")
            else:
                ax = plot_model(mesh, model, topography=topography, what=what,
                                title=arguments.files[1])
    except quelby.Stop as stop:
        print(str(stop), file=sys.stderr)
        return stop.status
    ax.figure.tight_layout()
    ax.figure.savefig(arguments.files[-1], dpi=100)
    plt.close(ax.figure)
    return 0


def _doi_file(arguments):
    """The index the command line draws with: --doi's file, else the doi.mod beside the model
    (not the model itself), else none."""
    if arguments.no_doi:
        return None
    if arguments.doi:
        return arguments.doi
    beside = os.path.join(os.path.dirname(arguments.files[1]), "doi.mod")
    if os.path.isfile(beside) and not os.path.samefile(beside, arguments.files[1]):
        return beside
    return None


if __name__ == "__main__":
    sys.exit(main())
