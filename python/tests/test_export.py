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
    # Cell (k, i) in cell order spans x_nodes[i..i+1] and depths z_nodes[k..k+1], upright at
    # their elevations: the topography file's reference elevation (100 m) minus the depth.
    assert topography.reference_elevation == 100.0
    k, i = np.divmod(np.arange(mesh.nx * mesh.nz), mesh.nx)
    corners = points[quads]
    np.testing.assert_array_equal(corners[:, :, 0].min(axis=1), np.asarray(mesh.x_nodes)[i])
    np.testing.assert_array_equal(corners[:, :, 0].max(axis=1), np.asarray(mesh.x_nodes)[i + 1])
    np.testing.assert_array_equal(corners[:, :, 1].max(axis=1), 100 - np.asarray(mesh.z_nodes)[k])
    np.testing.assert_array_equal(corners[:, :, 1].min(axis=1),
                                  100 - np.asarray(mesh.z_nodes)[k + 1])
    assert (corners[:, :, 2] == 0).all()
    # Counter-clockwise seen from +z: a positive signed area.
    x, y = corners[:, :, 0], corners[:, :, 1]
    assert (np.sum(x * np.roll(y, -1, axis=1) - np.roll(x, -1, axis=1) * y, axis=1) > 0).all()
    np.testing.assert_array_equal(back.cell_data["resistivity"][0], model.ravel())
    np.testing.assert_array_equal(back.cell_data["index"][0], np.arange(mesh.nx * mesh.nz))
    air = back.cell_data["air"][0].reshape(mesh.nz, mesh.nx)
    np.testing.assert_array_equal(air.sum(axis=0), topography.air_cells)
    # The active cells carry the air cells they were built with, and no reference elevation: the
    # points stand at (x, -z) unless one is given.
    cells = quelby.read_active_cells(mesh, topography)
    for reference, offset in ((None, 0.0), (100.0, 100.0)):
        quelby.export(tmp_path / "cells.vtu", mesh, topography=cells,
                      reference_elevation=reference)
        again = meshio.read(tmp_path / "cells.vtu")
        np.testing.assert_array_equal(again.cell_data["air"][0], back.cell_data["air"][0])
        np.testing.assert_array_equal(again.points[:, 1], points[:, 1] - 100 + offset)
    # Without a topography file the reference elevation is 0: depths, upright.
    flat = quelby.read_topography(mesh)
    quelby.export(tmp_path / "flat.vtu", mesh, topography=flat)
    z_nodes = np.asarray(mesh.z_nodes)
    np.testing.assert_array_equal(meshio.read(tmp_path / "flat.vtu").points[:, 1],
                                  -np.repeat(z_nodes, mesh.nx + 1))
    with pytest.raises(ValueError):
        quelby.export(tmp_path / "bad.vtu", mesh, cell_data={"r": model.T})


def test_export_without_meshio_names_the_package(tmp_path, example, monkeypatch):
    monkeypatch.setitem(sys.modules, "meshio", None)
    mesh = quelby.load_mesh(example[0])
    with pytest.raises(ImportError, match="python3-meshio"):
        quelby.export(tmp_path / "a.vtu", mesh, cell_data={})
