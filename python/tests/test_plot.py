"""The picture of a model: drawn from the bundled example, at its size, in colours that follow the
values of the conductive body, the resistive body and the background; the cells that are no
parameters left blank, and the colour scale of the cells shown."""


import numpy as np
import pytest

import quelby

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def colour_at(image, ax, x, z):
    """The RGB colour of the picture at data point (x, z)."""
    column, row = ax.transData.transform((x, z))
    height = image.shape[0]
    pixel = image[int(round(height - row)), int(round(column))]
    return pixel[:3]


def test_the_picture_shows_the_bodies_apart(tmp_path, example):
    mesh = quelby.load_mesh(str(example[0]))
    model = quelby.read_model(str(example[1]), mesh)
    figure, ax = plt.subplots(figsize=(8, 4), dpi=100)
    returned = quelby.plot_section(mesh, model, ax=ax)
    assert returned is ax
    assert ax.get_ylim()[0] > ax.get_ylim()[1]  # depth grows downwards
    figure.canvas.draw()
    image = np.asarray(figure.canvas.buffer_rgba()).astype(float) / 255.0
    assert image.shape[:2] == (400, 800)

    # A cell of each kind, found from the values themselves.
    def centre_of(value):
        k, i = np.argwhere(model == value)[len(np.argwhere(model == value)) // 2]
        return mesh.x_centres[i], mesh.z_centres[k]

    low, background, high = sorted(np.unique(model))[:1] + [np.median(model)] + [model.max()]
    colours = [colour_at(image, ax, *centre_of(v)) for v in (low, background, high)]
    for a in range(3):
        for b in range(a + 1, 3):
            assert np.abs(colours[a] - colours[b]).max() > 0.2, (a, b, colours)
    # The colour bar has its label.
    assert any("ohm" in text.get_text() for axis in figure.axes for text in [axis.yaxis.label])
    plt.close(figure)


def test_models_and_parameter_vectors(root, example):
    mesh, topography = quelby.load_mesh_and_topography(example[0],
                                                       root / "examples" / "section.topo")
    cells = quelby.read_active_cells(mesh, topography, root / "examples" / "section.act")
    model = quelby.read_model(example[1], mesh)
    m = cells.to_parameters(model)
    # Walking the cells in cell order, the active ones in turn.
    walked = [model[k, i] for k in range(mesh.nz) for i in range(mesh.nx)
              if cells.cell_idx[k, i] > 0]
    np.testing.assert_array_equal(m, walked)
    np.testing.assert_array_equal(cells.to_parameters(model.ravel()), m)
    back = cells.to_model(m)
    assert np.isnan(back[cells.cell_idx <= 0]).all()
    np.testing.assert_array_equal(back[cells.cell_idx > 0], model[cells.cell_idx > 0])
    np.testing.assert_array_equal(cells.to_model(m, fill=model), model)
    with pytest.raises(ValueError):
        cells.to_model(m[:-1])
    # plot_section leaves the cells that are not parameters blank.
    ax = quelby.plot_section(mesh, model, cells=cells, topography=topography, xlim=(0, 600),
                             zlim=(0, 110))
    shown = ax.collections[0].get_array()
    assert np.ma.getmaskarray(shown).reshape(mesh.nz, mesh.nx)[cells.cell_idx <= 0].all()
    assert ax.get_aspect() == 1.0 and ax.get_xlim() == (0, 600)
    plt.close(ax.figure)


def test_the_section_colour_scale_follows_the_cells_shown(example):
    mesh = quelby.load_mesh(example[0])
    model = quelby.read_model(example[1], mesh)
    # Left of x = 100 m the example holds only the 100 ohm-m background and nothing lower.
    ax = quelby.plot_section(mesh, model, xlim=(-1000, 100), zlim=(0, 100), colorbar=False)
    norm = ax.collections[0].norm
    assert (norm.vmin, norm.vmax) == (100.0, 1000.0)  # a one-value scale spans a decade
    assert ax.get_aspect() != 1.0  # 11 times wider than deep: the axes are filled
    plt.close(ax.figure)
    ax = quelby.plot_section(mesh, model, colorbar=False)
    assert (ax.collections[0].norm.vmin, ax.collections[0].norm.vmax) == (10.0, 1000.0)
    plt.close(ax.figure)
