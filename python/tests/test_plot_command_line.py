"""The picture command line (python -m quelby.plot): a model's section and a survey's
pseudosection written as PNG files, and wrong arguments refused with their status and no file."""

import subprocess
import sys

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


def test_the_command_line_refuses_wrong_arguments(tmp_path, root):
    cases = [  # arguments, status, a text of the standard error
        ((root / "examples" / "section.msh", tmp_path / "out.png"), 2, "MESH MODEL OUT.png"),
        (("--data", root / "examples" / "dipole_dipole.dat"), 2, "OUT.png after --data"),
        (("--data", tmp_path / "absent.dat", tmp_path / "out.png"), 1, "absent.dat"),
    ]
    for arguments, status, text in cases:
        result = run(*arguments)
        assert (result.returncode, result.stdout) == (status, ""), arguments
        assert text in result.stderr, result.stderr
    assert not (tmp_path / "out.png").exists()
