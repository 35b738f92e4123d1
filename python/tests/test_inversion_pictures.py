"""The pictures of an inversion, drawn without a display: the recovered section (its core, the
air left blank, elevations from the topography, the colour bar of its quantity), the cumulative
sensitivity against a sum written out cell by cell and the cells it masks or fades, the
depth-of-investigation index's mask, veil and contour and the pixels they change, the observed,
predicted and misfit pseudosections, and the iteration history read back and drawn."""

import numpy as np
import pytest

import quelby

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.colors  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402


def dipole_dipole(electrodes=12, spacing=5.0, n_max=4):
    rows = [(i, i + 1, i + 1 + n, i + 2 + n) for n in range(1, n_max + 1)
            for i in range(electrodes - 2 - n)]
    return [np.array([row[e] for row in rows]) * spacing for e in range(4)]


@pytest.fixture(scope="module")
def block(tmp_path_factory):
    """A dipole-dipole line on ground rising 2 m over a conductive block: the survey, its mesh
    (air rows above the ground), the topography, the model, J and the data of the model."""
    folder = tmp_path_factory.mktemp("block")
    survey = quelby.survey_from_arrays(*dipole_dipole())
    mesh = quelby.mesh_for_survey(survey, cell=1.25, top=-3, depth_growth=1)
    (folder / "rise.topo").write_text("3 100\n0 100\n30 102\n200 102\n")
    topography = quelby.read_topography(mesh, folder / "rise.topo")
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    model = np.where((x > 20) & (x < 35) & (z > 3) & (z < 9), 10.0, 100.0)
    J, data = quelby.sensitivity(mesh, model, survey, topography=topography)
    return dict(survey=survey, mesh=mesh, topography=topography, model=model, J=J, data=data,
                folder=folder)


def saved(ax, folder, name):
    """Draws the figure of `ax` to a PNG and returns its path."""
    path = folder / name
    ax.figure.savefig(path, dpi=50)
    plt.close(ax.figure)
    assert path.stat().st_size > 1000
    return path


def test_the_core_is_the_electrodes_span_over_the_smallest_rows(block):
    mesh, survey, topography = block["mesh"], block["survey"], block["topography"]
    dx, dz = np.asarray(mesh.dx), np.asarray(mesh.dz)
    z_nodes = np.asarray(mesh.z_nodes)
    (x_low, x_high), (top, bottom) = quelby.core_extent(mesh, survey, topography)
    assert (x_low, x_high) == (0 - 2 * dx.min(), 55 + 2 * dx.min())
    assert top == -2.0  # the highest ground: elevation 102 below the reference 100
    rows = (z_nodes[:-1] >= top - dz.max()) & (z_nodes[1:] <= bottom)
    assert (dz[rows] == dz.min()).all() and dz[np.flatnonzero(rows)[-1] + 1] > dz.min()
    # Without the survey: the columns of the smallest width, from the first z node down.
    (x_low, x_high), (top, _) = quelby.core_extent(mesh)
    inside = (np.asarray(mesh.x_centres) > x_low) & (np.asarray(mesh.x_centres) < x_high)
    assert (dx[inside] == dx.min()).all() and (dx[~inside] > dx.min()).all()
    assert top == z_nodes[0]
    # Rows growing by 1.1 with depth (the default mesh, a parameter grid) are core rows too, down
    # to where the padding grows by 1.3.
    graded = quelby.mesh_from_nodes([0, 1, 2], np.cumsum([0, 1, 1, 1.1, 1.21, 1.331, 1.73, 2.25]))
    assert quelby.core_extent(graded)[1] == (0, pytest.approx(5.641))


def test_the_recovered_section_shows_the_core_without_the_air(block):
    mesh, topography, model = block["mesh"], block["topography"], block["model"]
    cells = quelby.read_active_cells(mesh, topography)
    xlim, zlim = quelby.core_extent(mesh, block["survey"], topography)
    ax = quelby.plot_model(mesh, model, data=block["survey"], topography=topography)
    # In elevations: the reference elevation minus depth, growing upwards.
    assert ax.get_ylim() == (100 - zlim[1], 100 - zlim[0])
    assert ax.get_xlim() == xlim and ax.get_ylabel() == "elevation (m)"
    section = ax.collections[0]
    blank = np.ma.getmaskarray(section.get_array()).reshape(mesh.nz, mesh.nx)
    np.testing.assert_array_equal(blank, np.asarray(cells.cell_idx) <= 0)
    assert isinstance(section.norm, matplotlib.colors.LogNorm)
    assert (section.norm.vmin, section.norm.vmax) == (10.0, 100.0)
    bar = ax.figure.axes[-1]
    assert bar.get_ylabel() == "resistivity (ohm-m)"
    electrodes = [line for line in ax.get_lines() if line.get_label() == "electrodes"][0]
    np.testing.assert_array_equal(electrodes.get_xdata(), np.arange(12) * 5.0)
    saved(ax, block["folder"], "section.png")

    # A chargeability on flat ground: depths growing downwards, a linear scale of its own.
    flat = quelby.read_topography(mesh)
    eta = np.where(model < 50, 0.05, 0.005)
    ax = quelby.plot_model(mesh, eta, topography=flat, what="chargeability")
    assert ax.get_ylim()[0] > ax.get_ylim()[1] and ax.get_ylabel() == "depth (m)"
    norm = ax.collections[0].norm
    assert type(norm) is matplotlib.colors.Normalize and (norm.vmin, norm.vmax) == (0.005, 0.05)
    assert ax.figure.axes[-1].get_ylabel() == "chargeability"
    assert not np.ma.getmaskarray(ax.collections[0].get_array()).any()
    saved(ax, block["folder"], "eta.png")
    with pytest.raises(ValueError):
        quelby.plot_model(mesh, eta, what="conductivity")


def test_cumulative_sensitivity_is_the_weighted_sum_per_square_metre(block):
    mesh, topography, J = block["mesh"], block["topography"], block["J"]
    dx, dz = np.asarray(mesh.dx), np.asarray(mesh.dz)
    air = np.asarray(topography.air_cells)
    weights = 1 / np.abs(block["data"])
    seen = quelby.cumulative_sensitivity(mesh, J, topography=topography, weights=weights)
    column = 0
    for k in range(mesh.nz):
        for i in range(mesh.nx):
            if k < air[i]:
                assert np.isnan(seen[k, i])
                continue
            total = sum(weights[d] * abs(J[d, column]) for d in range(J.shape[0]))
            assert seen[k, i] == pytest.approx(total / (dx[i] * dz[k]), rel=1e-12)
            column += 1
    assert column == J.shape[1]
    # Columns of parameters: the same cells through the active-cell map.
    cells = quelby.active_cells_from_mask(mesh, np.ones((mesh.nz, mesh.nx), bool), topography)
    by_map = quelby.cumulative_sensitivity(mesh, J, cells=cells, weights=weights)
    np.testing.assert_array_equal(by_map, seen)
    with pytest.raises(ValueError):
        quelby.cumulative_sensitivity(mesh, J[:, 1:], topography=topography)

    # Masked: the cells that see less than a hundredth of the most of the cells shown.
    model = block["model"]
    ax = quelby.plot_model(mesh, model, data=block["survey"], topography=topography,
                           sensitivity=seen, threshold=1e-2, doi="mask", colorbar=False)
    xlim, zlim = quelby.core_extent(mesh, block["survey"], topography)
    x_nodes, z_nodes = np.asarray(mesh.x_nodes), np.asarray(mesh.z_nodes)
    shown = (((z_nodes[1:] > zlim[0]) & (z_nodes[:-1] < zlim[1]))[:, None] &
             ((x_nodes[1:] > xlim[0]) & (x_nodes[:-1] < xlim[1]))[None, :])
    relative = seen / np.nanmax(np.where(shown, seen, np.nan))
    blank = np.ma.getmaskarray(ax.collections[0].get_array()).reshape(mesh.nz, mesh.nx)
    np.testing.assert_array_equal(blank, np.isnan(seen) | (relative < 1e-2))
    assert blank[shown].sum() > 20 and (~blank[shown]).sum() > 20  # deep cells go, near ones stay
    plt.close(ax.figure)
    # Shaded: white in proportion to the decades below the most, wholly white at the threshold.
    ax = quelby.plot_model(mesh, model, topography=topography, sensitivity=seen, threshold=1e-2,
                           colorbar=False)
    veil = np.asarray(ax.collections[1].get_alpha()).reshape(mesh.nz, mesh.nx)
    ground = ~np.isnan(seen)
    expected = np.clip(np.log10(relative[ground]) / -2, 0, 1)
    np.testing.assert_allclose(veil[ground], expected, rtol=1e-12, atol=1e-15)
    assert (veil[~ground] == 0).all()
    saved(ax, block["folder"], "shaded.png")


def pixels(ax):
    """The drawn figure of `ax` as an (height, width, 4) array of bytes."""
    ax.figure.canvas.draw()
    return np.asarray(ax.figure.canvas.buffer_rgba()).copy()


def test_the_depth_of_investigation_masks_fades_and_outlines_the_section(block):
    mesh, topography, model = block["mesh"], block["topography"], block["model"]
    air = np.arange(mesh.nz)[:, None] < np.asarray(topography.air_cells)[None, :]
    depth = np.asarray(mesh.z_centres)[:, None] + np.zeros((1, mesh.nx))
    # An index that grows with depth, 0.2 at 3 m, -1 in the air as quelby-invert writes it.
    index = np.where(air, -1.0, np.clip(depth / 15, 0, 1))
    # One colour scale: the masked cells would otherwise narrow the one of the cells shown.
    drawn = dict(data=block["survey"], topography=topography, colorbar=False, vmin=10, vmax=100)

    masked = quelby.plot_model(mesh, model, doi_index=index, doi="mask", **drawn)
    blank = np.ma.getmaskarray(masked.collections[0].get_array()).reshape(mesh.nz, mesh.nx)
    np.testing.assert_array_equal(blank, air | (index > 0.2))
    outline = [c for c in masked.collections if c.get_label() == "depth of investigation"]
    assert len(outline) == 1
    heights = np.concatenate([path.vertices[:, 1] for path in outline[0].get_paths()])
    np.testing.assert_allclose(heights, 100 - 3.0, atol=1e-9)  # elevation 100 minus 3 m
    plain = quelby.plot_model(mesh, model, **drawn)
    # The cells past the threshold are blank (white) where the plain picture has colour; the cells
    # above it are the same pixels in both.
    before, after = pixels(plain), pixels(masked)
    deep = plain.transData.transform([(27.5, 100 - 8.0)])[0]
    shallow = plain.transData.transform([(27.5, 100 - 1.0)])[0]
    np.testing.assert_allclose(masked.transData.transform([(27.5, 100 - 8.0)])[0], deep)

    def at(image, point):
        column, row = int(point[0]), image.shape[0] - 1 - int(point[1])
        return image[row - 1:row + 2, column - 1:column + 2].astype(int)

    assert (at(after, deep) == 255).all() and not (at(before, deep) == 255).all()
    np.testing.assert_array_equal(at(after, shallow), at(before, shallow))
    plt.close(masked.figure)
    plt.close(plain.figure)

    # Faded: a white veil of 0.7 over the same cells, the contour drawn too.
    shaded = quelby.plot_model(mesh, model, doi_index=index, doi_threshold=0.5, **drawn)
    veil = np.asarray(shaded.collections[1].get_alpha()).reshape(mesh.nz, mesh.nx)
    np.testing.assert_array_equal(veil, np.where(~air & (index > 0.5), 0.7, 0.0))
    assert shaded.collections[1].get_label() == "depth of investigation shading"
    assert any(c.get_label() == "depth of investigation" for c in shaded.collections)
    saved(shaded, block["folder"], "doi.png")
    # An index that never crosses the threshold draws no contour.
    flat = quelby.plot_model(mesh, model, doi_index=np.where(air, -1.0, 0.1), **drawn)
    assert not any(c.get_label() == "depth of investigation" for c in flat.collections)
    plt.close(flat.figure)
    for arguments in (dict(doi_index=index, sensitivity=index), dict(doi_index=index[1:]),
                      dict(doi_index=index, doi_threshold=1.0)):
        with pytest.raises(ValueError):
            quelby.plot_model(mesh, model, **arguments)


def test_observed_predicted_and_misfit_side_by_side(block):
    dc = block["data"]
    rng = np.random.default_rng(3)
    std = 0.02 * np.abs(dc)
    observed = dc + std * rng.standard_normal(dc.size)
    order = np.asarray(block["survey"].sorted_pos) - 1  # file line j is grouped datum order[j]
    survey = quelby.survey_from_arrays(*dipole_dipole(), values=observed[order], stds=std[order])
    np.testing.assert_array_equal(survey.dobs, observed)
    predicted = dc * 1.01
    axes = quelby.plot_data_misfit(survey, predicted, mesh=block["mesh"],
                                   topography=block["topography"])
    assert len(axes) == 3
    # One colour scale for both pseudosections, over the apparent resistivities of both.
    bars = axes[0].figure.axes[3:]
    k = quelby.geometric_factor(survey, mesh=block["mesh"], topography=block["topography"])
    both = np.concatenate([k * observed, k * predicted])
    for bar in bars[:2]:
        np.testing.assert_allclose(bar.get_ylim(), (both.min(), both.max()), rtol=1e-12)
    points = axes[2].collections[0]
    misfit = (predicted - observed) / std
    np.testing.assert_allclose(points.get_array(), misfit, rtol=1e-12)
    x, depth = quelby.pseudosection(survey)
    np.testing.assert_array_equal(points.get_offsets(), np.column_stack([x, depth]))
    assert points.norm.vmin == -points.norm.vmax == -max(2, np.ceil(np.abs(misfit).max()))
    assert f"phi_d = {np.sum(misfit ** 2):.4g}" in axes[2].get_title()
    assert axes[2].figure.axes[-1].get_ylabel() == "(predicted - observed) / std"
    saved(axes[0], block["folder"], "misfit.png")
    # Data without standard deviations: the relative misfit in percent.
    relative = quelby.plot_data_misfit(block["survey"], predicted, observed=observed)
    np.testing.assert_allclose(relative[2].collections[0].get_array(),
                               100 * (predicted - observed) / np.abs(observed), rtol=1e-12)
    assert relative[2].get_title().startswith("relative misfit, no standard deviations")
    assert relative[2].figure.axes[-1].get_ylabel() == "(predicted - observed) / |observed| (%)"


def test_the_iteration_history_read_back_and_drawn(tmp_path):
    misfit = [1.234567e5, 2.5e3, 3.0e2, 2.041e2]
    norm = [0.0, 12.5, 30.0, 31.0]
    beta = [1e3, 5e2, 1e-120, float("nan")]
    path = tmp_path / "history.txt"
    quelby.write_iteration_history(path, 3, misfit, norm, beta, 204.0, 204)
    history = quelby.read_iteration_history(path)
    np.testing.assert_array_equal(history["iterations"], [0, 1, 2, 3])
    np.testing.assert_allclose(history["misfit"], misfit, rtol=5e-6)
    np.testing.assert_array_equal(history["norm"], norm)
    np.testing.assert_allclose(history["beta"][:3], beta[:3], rtol=5e-6)  # 1.00000-120 too
    assert np.isnan(history["beta"][3])
    assert (history["target_misfit"], history["ndat"]) == (204.0, 204)

    ax = quelby.plot_history(path)
    lines = {line.get_label(): line for line in ax.get_lines() + ax.right.get_lines()}
    np.testing.assert_array_equal(lines["phi_d (data misfit)"].get_ydata(), history["misfit"])
    np.testing.assert_array_equal(lines["phi_m (model norm)"].get_ydata(), norm)
    assert list(lines["target misfit"].get_ydata()) == [204.0, 204.0]
    assert ax.get_yscale() == "log"
    saved(ax, tmp_path, "history.png")

    for text, line in (("", 1), ("    3  iter    data misfit\n       0    1.0    2.0    3.0\n", 3),
                       ("    0  iter\n       1  1.0  2.0  3.0\n 1 target misfit\n 1 number"
                        " of data\n", 2)):
        path.write_text(text)
        with pytest.raises(ValueError, match=f"history.txt:{line}:"):
            quelby.read_iteration_history(path)
