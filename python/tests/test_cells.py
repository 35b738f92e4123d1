"""Active cells and cell weights from Python: the active-cell file's flags against the map built
with the topography, and the weight readers against one another."""

import numpy as np

import quelby


def test_active_cell_file_and_weight_files_match_the_stores(root, tmp_path):
    examples = root / "examples"
    mesh, topography = quelby.load_mesh_and_topography(examples / "section.msh",
                                                       examples / "section.topo")
    flags = quelby.read_active_cell_file(mesh, examples / "section.act")
    assert flags.shape == (mesh.nz, mesh.nx) and set(np.unique(flags)) <= {-1, 0, 1}
    cells = quelby.read_active_cells(mesh, topography, examples / "section.act")
    air = np.arange(mesh.nz)[:, None] < topography.air_cells[None, :]
    np.testing.assert_array_equal(cells.cell_idx > 0, (flags == 1) & ~air)

    whole = quelby.read_weights_file(mesh, examples / "section.wgt")
    for a, b in zip(whole, quelby.set_weights(mesh, 1, (examples / "section.wgt", "", ""))):
        np.testing.assert_array_equal(a, b)
    single = tmp_path / "s.wgt"
    single.write_text("2 1\n3 4\n")
    start = np.full((mesh.nz, mesh.nx), 7.0)
    read = quelby.read_weight_file(mesh, single, "S weights", start=start)
    expected = start.copy()
    expected[0, :2] = (3, 4)
    np.testing.assert_array_equal(read, expected)
    s, x, z = quelby.read_weight_files(mesh, (single, "", ""))
    np.testing.assert_array_equal(s[0, :2], (3, 4))
    assert (x == 1).all() and (z == 1).all()
