"""The picture of a model: drawn from the bundled example, at its size, in colours that follow the
values of the conductive body, the resistive body and the background."""

import subprocess
import sys

import numpy as np
import pytest

import quelby

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def colour_at(image, ax, x, z):
    """The RGB colour of the picture at data point (x, z)."""
    figure = ax.figure
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


def test_the_command_line_writes_a_png(tmp_path, example):
    output = tmp_path / "section.png"
    result = subprocess.run([sys.executable, "-m", "quelby.plot", str(example[0]),
                             str(example[1]), str(output)], capture_output=True, text=True,
                            env={"PYTHONPATH": quelby.__path__[0] + "/.."})
    assert result.returncode == 0, result.stderr
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    image = plt.imread(str(output))
    assert image.shape[:2] == (400, 800)
