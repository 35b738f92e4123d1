"""The inversion reports: the iteration history file and the run log's summaries, against their
documented layouts written independently with Python's own formatting."""

import io

import pytest

import quelby


def e(value, width=13):
    return f"{value:{width}.5E}"


def test_reports_follow_their_layouts(tmp_path, root):
    history = tmp_path / "history.txt"
    misfits, norms, betas = [10.0, 5.5], [0.0, 2.25], [100.0, 50.0]
    data = quelby.read_data_file(root / "examples" / "dipole_dipole.dat")
    quelby.write_iteration_history(history, 1, misfits, norms, betas, 3.0, data)
    header = f"{1:5d}  iter    data misfit       model norm        {'beta':>10s}"
    rows = [f"{i:8d}" + "".join("    " + e(v, 14) for v in (misfits[i], norms[i], betas[i]))
            for i in range(2)]
    expected = [header] + rows + [e(3.0, 12) + " target misfit",
                                  f"{data.ndat:12d} number of data"]
    assert history.read_text().splitlines() == expected
    with pytest.raises(ValueError):
        quelby.write_iteration_history(history, 2, misfits, norms, betas, 3.0, 1)

    log = io.StringIO()
    streams = quelby.Io(log=log)
    quelby.report_beta_choice(1.0, 2.0, 8.0, 10.0, 3.0, 0.5, io=streams)
    labels = ["      chosen beta =", "    target misfit =", "  achieved misfit =",
              "       model norm =", "    misfit change =", "model norm change ="]
    values = [1.0, 2.0, 8.0, 3.0, 0.2, 0.5]
    assert log.getvalue().split("\n") == [""] + [a + e(v) for a, v in zip(labels, values)] + [
        "", ""]
    with pytest.raises(ValueError):
        quelby.report_beta_choice(1, 2, 8, 10, 3, 0.5, betas=[1.0, 2.0], misfits=[1.0],
                                  io=streams)

    log.seek(0)
    log.truncate()
    quelby.report_norm_components([9.0, 1.0, 2.0, 3.0], io=streams)
    assert log.getvalue().split("\n") == [
        f"{'norm comp ' + name:>18s}={e(v)}" for name, v in zip(("Ws ", "Wx ", "Wz "), (1, 2, 3))
    ] + ["", ""]


def read_vtr(path):
    """The extent, the three coordinate arrays and the appended arrays by name of a .vtr file."""
    import re

    import numpy as np

    raw = path.read_bytes()
    head, data = raw.split(b'<AppendedData encoding="raw">', 1)
    data = data[data.index(b"_") + 1:]
    text = head.decode()
    extent = re.search(r'WholeExtent="([^"]*)"', text).group(1)
    coordinates = {name: np.array(values.split(), dtype=float) for name, values in
                   re.findall(r'Name="([xyz])" format="ascii">([^<]*)<', text)}
    arrays = {}
    for name, offset in re.findall(r'Name="([^"]*)" format="appended" offset="(\d+)"', text):
        start = int(offset)
        count = int(np.frombuffer(data[start:start + 8], dtype="<u8")[0])
        arrays[name] = np.frombuffer(data[start + 8:start + 8 + count], dtype="<f8")
    return extent, coordinates, arrays


def test_vtk_section_is_one_cell_along_y_with_elevations(tmp_path, example):
    import numpy as np

    mesh = quelby.load_mesh(example[0])
    model = np.arange(mesh.nz * mesh.nx, dtype=float).reshape(mesh.nz, mesh.nx)
    masked = model.copy()
    masked[0, :] = np.nan
    path = tmp_path / "section.vtr"
    quelby.write_vtk_section(path, mesh, {"resistivity": model, "masked": masked},
                             reference_elevation=100.0)
    extent, coordinates, arrays = read_vtr(path)
    assert extent == f"0 {mesh.nx} 0 1 0 {mesh.nz}"
    assert np.array_equal(coordinates["x"], np.asarray(mesh.x_nodes))
    assert np.array_equal(coordinates["y"], [0.0, 1.0])
    assert np.array_equal(coordinates["z"], 100.0 - np.asarray(mesh.z_nodes)[::-1])
    # The layers bottom up, x fastest within each.
    assert np.array_equal(arrays["resistivity"], model[::-1].ravel())
    assert np.array_equal(arrays["masked"], masked[::-1].ravel(), equal_nan=True)
    with pytest.raises(ValueError):
        quelby.write_vtk_section(tmp_path / "short.vtr", mesh, {"r": model.ravel()[1:]})
    assert not (tmp_path / "short.vtr").exists()
