"""Active cells and cell weights from Python: the active-cell file's flags against the map built
with the topography, the weight readers against one another, and masks and weight arrays against
the files of the same content."""

import numpy as np
import pytest

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


def _io():
    import io

    console, log = io.StringIO(), io.StringIO()
    return quelby.Io(console=console, log=log), console, log


def test_a_mask_builds_the_map_the_active_cell_file_builds(root, tmp_path):
    examples = root / "examples"
    mesh, topography = quelby.load_mesh_and_topography(examples / "section.msh",
                                                       examples / "section.topo")
    rng = np.random.default_rng(7)
    flags = rng.choice([-1, 0, 1, 1, 1], size=(mesh.nz, mesh.nx)).astype(np.int64)
    path = tmp_path / "random.act"
    path.write_text(f"{mesh.nx} {mesh.nz}\n" + " ".join(map(str, flags.ravel())) + "\n")
    for ground in (topography, None):
        io_file, _, log_file = _io()
        from_file = quelby.read_active_cells(mesh, ground or quelby.read_topography(mesh), path,
                                             io=io_file)
        for mask in (flags, flags.ravel(), flags.astype(float)):
            io_mask, console, log_mask = _io()
            cells = quelby.active_cells_from_mask(mesh, mask, topography=ground, io=io_mask)
            np.testing.assert_array_equal(cells.cell_idx, from_file.cell_idx)
            np.testing.assert_array_equal(cells.air_cells, from_file.air_cells)
            assert (cells.npar, cells.ninfl, cells.ninact, cells.ncell) == (
                from_file.npar, from_file.ninfl, from_file.ninact, from_file.ncell)
            assert f"active cells were read from file: {path}\n" + log_mask.getvalue() == \
                log_file.getvalue()
            assert console.getvalue() == ""
    # Booleans are the flags 1 and 0.
    boolean = quelby.active_cells_from_mask(mesh, flags == 1, topography)
    air = np.arange(mesh.nz)[:, None] < np.asarray(topography.air_cells)[None, :]
    np.testing.assert_array_equal(boolean.cell_idx > 0, (flags == 1) & ~air)
    assert boolean.ninfl == 0


def test_a_mask_out_of_range_or_of_another_shape_is_refused(root):
    mesh = quelby.load_mesh(root / "examples" / "section.msh")
    mask = np.ones((mesh.nz, mesh.nx), dtype=np.int32)
    mask[3, 5] = 2
    with pytest.raises(quelby.Stop) as stop:
        quelby.active_cells_from_mask(mesh, mask)
    assert stop.value.lines == ["", "Error: values of the active cell flags should be -1, 0 or 1."]
    assert stop.value.detail == "the flag of column 6, row 4 is 2"
    wide = mask.astype(np.int64)
    wide[3, 5] = -2**40  # beyond the 32-bit flags: refused all the same
    with pytest.raises(quelby.Stop, match="should be -1, 0 or 1"):
        quelby.active_cells_from_mask(mesh, wide)
    with pytest.raises(ValueError, match="column 6, row 4 is 0.5"):
        quelby.active_cells_from_mask(mesh, np.where(mask == 1, 1.0, 0.5))
    with pytest.raises(ValueError, match="expected shape"):
        quelby.active_cells_from_mask(mesh, np.ones((mesh.nx, mesh.nz), dtype=bool))
    with pytest.raises(TypeError):
        quelby.active_cells_from_mask(mesh, np.full((mesh.nz, mesh.nx), "1"))
    with pytest.raises(quelby.Stop, match="all cells are inactive"):
        quelby.active_cells_from_mask(mesh, np.zeros((mesh.nz, mesh.nx), dtype=bool))


def test_weight_arrays_give_the_weighting_files_weights_and_objective(root, tmp_path):
    mesh = quelby.load_mesh(root / "examples" / "section.msh")
    nx, nz = mesh.nx, mesh.nz
    rng = np.random.default_rng(11)
    s, x, z = rng.uniform(0.1, 10, (nz, nx)), rng.uniform(0.1, 10, (nz, nx - 1)), \
        rng.uniform(0.1, 10, (nz - 1, nx))
    path = tmp_path / "random.wgt"
    path.write_text(f"{nx} {nz}\n" + "\n".join(
        " ".join(repr(float(v)) for v in block.ravel()) for block in (s, x, z)) + "\n")
    from_file = quelby.read_weights_file(mesh, path)
    whole_x = np.column_stack([x, np.full(nz, 99.0)])
    whole_z = np.vstack([z, np.full(nx, 99.0)])
    for given in ((s, x, z), (s, whole_x, whole_z), (s.ravel(), x.ravel(), z.ravel())):
        io, console, log = _io()
        arrays = quelby.weights_from_arrays(mesh, *given, io=io)
        for a, b in zip(arrays, from_file):
            np.testing.assert_array_equal(a, b)
        assert console.getvalue() + log.getvalue() == ""

    cells = quelby.read_active_cells(mesh, quelby.read_topography(mesh))
    alpha = quelby.set_alpha(mesh, 0)
    by_file = quelby.build_model_objective(mesh, cells, alpha, 1, (path, "", ""))
    by_arrays = quelby.build_model_objective(mesh, cells, alpha, weights=from_file)
    for a, b in zip(by_arrays.terms + [by_arrays.WTW], by_file.terms + [by_file.WTW]):
        np.testing.assert_array_equal(a.indptr, b.indptr)
        np.testing.assert_array_equal(a.indices, b.indices)
        np.testing.assert_array_equal(a.data, b.data)

    with pytest.raises(ValueError, match=r"x: expected shape \(30, 79\) or \(30, 80\)"):
        quelby.weights_from_arrays(mesh, s, x.T, z)
    with pytest.raises(quelby.Stop) as stop:
        quelby.weights_from_arrays(mesh, s, x.ravel()[1:], z)
    assert stop.value.lines == ["", "Error: the X weights array holds 2369 values, 2370 expected."]
    with pytest.raises(ValueError, match="not both"):
        quelby.build_model_objective(mesh, cells, alpha, 1, (path, "", ""), weights=from_file)
