"""The inversion example: examples/python/invert.py reaches the target misfit of both inversions
in 10 iterations or fewer and recovers the block, writes the files the command writes for
examples/block.inv byte for byte, and examples/python/pictures.py draws its three pictures from
those files."""

import importlib.util
import shutil
import subprocess
import sys

import numpy as np
import pytest


def load(root, name):
    sys.path.insert(0, str(root / "examples" / "python"))
    try:
        spec = importlib.util.spec_from_file_location(name, root / "examples" / "python" /
                                                      f"{name}.py")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module
    finally:
        sys.path.pop(0)


def test_the_example_inverts_the_block_as_the_command_does(root, tmp_path, invert_command):
    import quelby

    example = load(root, "invert")
    iterations = []
    result = example.invert(output=tmp_path / "python", io=quelby.Io(),
                            callback=lambda update: iterations.append(update.stage))
    for history in (result.history, result.history_ip):
        assert history["stop"] == "reached the target misfit"
        assert history["misfit"][-1] <= history["target_misfit"] == 204
        assert history["misfit"].size - 1 <= 10
    assert iterations == ["dc"] * (result.history["misfit"].size - 1) + ["ip"] * (
        result.history_ip["misfit"].size - 1)
    regions = example.block_and_background(result)
    block = np.exp(np.log(result.model[regions["block"]]).mean())
    background = np.exp(np.log(result.model[regions["background"]]).mean())
    assert block < 25 and 80 < background < 120  # true: 10 and 100 ohm-m
    assert result.eta[regions["block"]].mean() > 5 * result.eta[regions["background"]].mean()

    # The command on the control file: the same files, byte for byte.
    run = tmp_path / "command"
    run.mkdir()
    for name in ("block.inv", "block.msh", "block.topo", "block_dc.dat", "block_ip.dat"):
        shutil.copy(root / "examples" / name, run)
    done = subprocess.run([str(invert_command), "block.inv"], cwd=run, capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    # With an io of its own the Python run keeps its run log there, not in the folder; the command
    # also keeps its command line, its control file and the topography file it read (the example
    # gives the Python run its ground as a store, which holds no file to copy).
    written = sorted(path.name for path in (tmp_path / "python").iterdir())
    assert sorted(path.name for path in (run / "block_out").iterdir()) == sorted(
        written + ["run.log", "command.txt", "control.inv", "topography.topo"])
    for name in written:
        assert (tmp_path / "python" / name).read_bytes() == \
            (run / "block_out" / name).read_bytes(), name

    pytest.importorskip("matplotlib")
    pictures = load(root, "pictures")
    pictures.draw(pictures.read_run(run / "block_out"), tmp_path / "pictures")
    for name in ("inversion.png", "inversion_data.png", "inversion_history.png"):
        assert (tmp_path / "pictures" / name).stat().st_size > 10000, name
