"""The picture command line (python -m quelby.plot): a model's section and a survey's
pseudosection written as PNG files, a doi.mod beside the model fading its section, and wrong
arguments refused with their status and no file."""

import shutil
import subprocess
import sys

import numpy as np
import pytest

import quelby

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def run(*arguments):
    return subprocess.run([sys.executable, "-m", "quelby.plot", *map(str, arguments)],
                          capture_output=True, text=True,
                          env={"PYTHONPATH": quelby.__path__[0] + "/.."})


def test_the_command_line_writes_a_png(tmp_path, example):
    output = tmp_path / "section.png"
    result = run(example[0], example[1], output)
    assert result.returncode == 0, result.stderr
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    image = plt.imread(str(output))
    assert image.shape[:2] == (400, 800)


def test_the_command_line_writes_a_pseudosection(tmp_path, root):
    output = tmp_path / "data.png"
    result = run("--data", root / "examples" / "dipole_dipole.dat", output)
    assert result.returncode == 0, result.stderr
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_doi_beside_the_model_fades_the_section(tmp_path, example):
    """doi.mod in the model's folder is found and drawn with; --no-doi, an index given by --doi
    and the threshold change the picture as they should."""
    mesh = quelby.load_mesh(example[0])
    model = tmp_path / "model.mod"
    shutil.copy(example[1], model)
    depth = np.asarray(mesh.z_centres)[:, None] + np.zeros((1, mesh.nx))
    index = np.clip(depth / depth.max() * 4, 0, 1)
    quelby.write_model(tmp_path / "doi.mod", mesh, index)
    quelby.write_model(tmp_path / "nothing.mod", mesh, np.zeros_like(index))
    images = {}
    for name, options in (("found", []), ("none", ["--no-doi"]), ("mask", ["--doi-mask"]),
                          ("low", ["--doi-threshold", "0.9"]),
                          ("given", ["--doi", tmp_path / "nothing.mod"])):
        output = tmp_path / f"{name}.png"
        result = run(*options, example[0], model, output)
        assert result.returncode == 0, result.stderr
        images[name] = plt.imread(str(output))
    assert images["found"].shape == images["none"].shape
    differ = lambda a, b: not np.array_equal(images[a], images[b])  # noqa: E731
    assert differ("found", "none") and differ("found", "mask") and differ("found", "low")
    # An index of 0 everywhere fades nothing and draws no contour: the plain picture.
    np.testing.assert_array_equal(images["given"], images["none"])
    # doi.mod drawn itself is not faded by itself.
    for name, options in (("self", []), ("self_plain", ["--no-doi"])):
        result = run(*options, example[0], tmp_path / "doi.mod", tmp_path / f"{name}.png")
        assert result.returncode == 0, result.stderr
    np.testing.assert_array_equal(plt.imread(str(tmp_path / "self.png")),
                                  plt.imread(str(tmp_path / "self_plain.png")))


def test_the_command_line_refuses_wrong_arguments(tmp_path, root):
    cases = [  # arguments, status, a text of the standard error
        ((root / "examples" / "section.msh", tmp_path / "out.png"), 2, "MESH MODEL OUT.png"),
        (("--data", root / "examples" / "dipole_dipole.dat"), 2, "OUT.png after --data"),
        (("--data", tmp_path / "absent.dat", tmp_path / "out.png"), 1, "absent.dat"),
        (("--doi", tmp_path / "doi.mod", "--no-doi", root / "examples" / "section.msh",
          root / "examples" / "section.mod", tmp_path / "out.png"), 2, "not both"),
        (("--doi-threshold", "1.5", root / "examples" / "section.msh",
          root / "examples" / "section.mod", tmp_path / "out.png"), 2, "between 0 and 1"),
        (("--doi", tmp_path / "absent.mod", root / "examples" / "section.msh",
          root / "examples" / "section.mod", tmp_path / "out.png"), 1, "absent.mod"),
    ]
    for arguments, status, text in cases:
        result = run(*arguments)
        assert (result.returncode, result.stdout) == (status, ""), arguments
        assert text in result.stderr, result.stderr
    assert not (tmp_path / "out.png").exists()
