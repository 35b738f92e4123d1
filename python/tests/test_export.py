"""The export of models to viewers: meshio reads back the cells, their corners and their data as
written, and a missing meshio names its Debian package."""

import sys

import numpy as np
import pytest

import quelby


def test_export_round_trip_through_meshio(tmp_path, example, root):
    meshio = pytest.importorskip("meshio")
    mesh, topography = quelby.load_mesh_and_topography(example[0],
                                                       root / "examples" / "section.topo")
    model = quelby.read_model(example[1], mesh)
    quelby.export(tmp_path / "section.vtu", mesh,
                  cell_data={"resistivity": model, "index": np.arange(mesh.nx * mesh.nz)},
                  topography=topography)
    back = meshio.read(tmp_path / "section.vtu")
    points = back.points
    quads = back.cells_dict["quad"]
    assert quads.shape == (mesh.nx * mesh.nz, 4)
    # Cell (k, i) in cell order spans x_nodes[i..i+1] and depths z_nodes[k..k+1], upright (y = -z).
    k, i = np.divmod(np.arange(mesh.nx * mesh.nz), mesh.nx)
    corners = points[quads]
    np.testing.assert_array_equal(corners[:, :, 0].min(axis=1), np.asarray(mesh.x_nodes)[i])
    np.testing.assert_array_equal(corners[:, :, 0].max(axis=1), np.asarray(mesh.x_nodes)[i + 1])
    np.testing.assert_array_equal(-corners[:, :, 1].max(axis=1), np.asarray(mesh.z_nodes)[k])
    np.testing.assert_array_equal(-corners[:, :, 1].min(axis=1), np.asarray(mesh.z_nodes)[k + 1])
    assert (corners[:, :, 2] == 0).all()
    # Counter-clockwise seen from +z: a positive signed area.
    x, y = corners[:, :, 0], corners[:, :, 1]
    assert (np.sum(x * np.roll(y, -1, axis=1) - np.roll(x, -1, axis=1) * y, axis=1) > 0).all()
    np.testing.assert_array_equal(back.cell_data["resistivity"][0], model.ravel())
    np.testing.assert_array_equal(back.cell_data["index"][0], np.arange(mesh.nx * mesh.nz))
    air = back.cell_data["air"][0].reshape(mesh.nz, mesh.nx)
    np.testing.assert_array_equal(air.sum(axis=0), topography.air_cells)
    # The active cells carry the air cells they were built with.
    cells = quelby.read_active_cells(mesh, topography)
    quelby.export(tmp_path / "cells.vtu", mesh, topography=cells)
    np.testing.assert_array_equal(meshio.read(tmp_path / "cells.vtu").cell_data["air"][0],
                                  back.cell_data["air"][0])
    with pytest.raises(ValueError):
        quelby.export(tmp_path / "bad.vtu", mesh, cell_data={"r": model.T})


def test_export_without_meshio_names_the_package(tmp_path, example, monkeypatch):
    monkeypatch.setitem(sys.modules, "meshio", None)
    mesh = quelby.load_mesh(example[0])
    with pytest.raises(ImportError, match="python3-meshio"):
        quelby.export(tmp_path / "a.vtu", mesh, cell_data={})
