"""The field-data walkthrough: examples/python/field_survey.py writes examples/field_line.csv byte
for byte; examples/python/field_walkthrough.py imports it (the spoiled readings dropped, each
counted, the reciprocal error model kept), inverts it to its target misfit with the robust misfit,
recovers the conductive, chargeable body and the resistive one, and draws its three pictures; and
quelby-import writes the same files as the walkthrough's import."""

import importlib.util
import subprocess
import sys

import numpy as np
import pytest

import quelby


def load(root, name):
    spec = importlib.util.spec_from_file_location(name, root / "examples" / "python" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_simulated_field_file_is_the_bundled_one(root, tmp_path):
    load(root, "field_survey").main(["field_survey.py", str(tmp_path / "field_line.csv")])
    assert (tmp_path / "field_line.csv").read_bytes() == \
        (root / "examples" / "field_line.csv").read_bytes()


def test_the_walkthrough_imports_inverts_and_draws(root, tmp_path):
    walkthrough = load(root, "field_walkthrough")
    imported, mesh, ground, result = walkthrough.run(tmp_path)
    # 760 readings: 124 on the bad electrode, 2 sign flips, 1 without current, 2 pairs whose
    # readings differ tenfold; 313 pairs and 3 readings whose partner was dropped.
    assert imported.dropped == {"an electrode given to --drop-electrode": 124,
                                "negative apparent resistivity (--keep-negative keeps it)": 2,
                                "current below 0.001 A": 1,
                                "reciprocal error above 10 %": 2}
    assert imported.data.ndat == 316 and imported.pairs["resistance"].size == 313
    assert imported.error_model["kept"]["kind"] == "power"
    assert imported.topography is not None and imported.ip_data.ndat == 316
    for history in (result.history, result.history_ip):
        assert history["stop"] == "reached the target misfit", history["stop"]
        assert history["misfit"][-1] <= history["target_misfit"] == 316
    # The bodies, 3 to 6 m under the ground: conductive and chargeable at x 19-25 m, resistive at
    # x 43-49 m, against the upper layer between them.
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    surface = np.interp(x, np.asarray(mesh.x_nodes), np.asarray(ground.surface_z))
    depth = z - surface

    def mean(values, x_low, x_high, top, bottom):
        inside = (x > x_low) & (x < x_high) & (depth > top) & (depth < bottom)
        return float(np.exp(np.mean(np.log(values[inside]))))

    conductive = mean(result.model, 19, 25, 3.5, 6)
    resistive = mean(result.model, 43, 49, 2, 4.5)
    layer = mean(result.model, 30, 38, 1, 3)
    assert conductive < 25 < layer < 250 < resistive, (conductive, layer, resistive)
    assert mean(result.eta, 19, 25, 3.5, 6) > 3 * mean(result.eta, 30, 38, 1, 3)
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    walkthrough.pictures(imported, mesh, ground, result, tmp_path / "pictures")
    for name in ("field_data.png", "field_errors.png", "field_model.png"):
        assert (tmp_path / "pictures" / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_command_writes_the_walkthroughs_files(root, tmp_path, import_command):
    options = ["--reciprocal", "--max-reciprocal-error", "10", "--max-deviation", "5",
               "--drop-electrode", "24", "--min-current", "0.001"]
    run = subprocess.run([str(import_command), *options, str(root / "examples" / "field_line.csv"),
                          str(tmp_path / "command")], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout == f"Imported 316 data with IP into {tmp_path / 'command'} (see import.log)\n"
    imported = quelby.import_field_data(
        root / "examples" / "field_line.csv", reciprocal=True, max_reciprocal_error=10,
        max_deviation=5, drop_electrodes=[24.0], min_current=1e-3, out=tmp_path / "python")
    for name in ("data.dat", "ip.dat", "topography.topo", "import.log"):
        assert (tmp_path / "command" / name).read_bytes() == \
            (tmp_path / "python" / name).read_bytes(), name
    assert imported.log == (tmp_path / "command" / "import.log").read_text()
