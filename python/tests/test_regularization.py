"""Topography, survey data, active cells, weights, coefficients, dipping zones and the model
objective from Python, checked against the C++ results and against scipy."""

import io

import numpy as np
import pytest
import scipy.sparse

import quelby


@pytest.fixture
def setup(root):
    examples = root / "examples"
    mesh, topography = quelby.load_mesh_and_topography(str(examples / "section.msh"),
                                                       str(examples / "section.topo"))
    cells = quelby.read_active_cells(mesh, topography, str(examples / "section.act"))
    alpha = quelby.set_alpha(mesh, 3, lengths=(40.0, 20.0))
    return examples, mesh, topography, cells, alpha


def model_vectors(examples, mesh, cells):
    section = quelby.read_model(str(examples / "section.mod"), mesh)
    index = cells.cell_idx
    m = np.zeros(cells.npar)
    m[index[index > 0] - 1] = np.log(section[index > 0])
    return m, np.full(cells.npar, np.log(100.0))


def test_the_stores_of_the_example(setup):
    examples, mesh, topography, cells, alpha = setup
    assert topography.has_topography
    assert topography.air_cells.shape == (mesh.nx,) and topography.surface_z.shape == (mesh.nx + 1,)
    assert topography.air_cells.max() > 0  # the surface dips below the first rows in places
    assert cells.cell_idx.shape == (mesh.nz, mesh.nx)
    assert cells.npar + cells.ninfl + cells.ninact == cells.ncell == mesh.nx * mesh.nz
    # Parameters are numbered 1..npar in cell order, x fastest.
    numbers = cells.cell_idx[cells.cell_idx > 0]
    np.testing.assert_array_equal(numbers, np.arange(1, cells.npar + 1))
    # Air cells are never parameters.
    for i in range(mesh.nx):
        assert (cells.cell_idx[: topography.air_cells[i], i] <= 0).all()
    assert alpha.alpha_x == 1.0 and alpha.alpha_z == pytest.approx(0.25)
    s, x, z = quelby.set_weights(mesh, 1, (str(examples / "section.wgt"), "", ""))
    assert s.shape == (mesh.nz, mesh.nx)
    assert (z[0] == 4.0).all() and (z[1:-1] == 1.0).all()
    zone_idx, nzone, zones = quelby.read_dipping(mesh, alpha, 1, str(examples / "section.dip"))
    assert nzone == 2 and zone_idx.shape == (mesh.nz, mesh.nx)
    assert set(np.unique(zone_idx)) == {1, 2}
    assert zones.zone_dip[1] == 30.0 * 0.0174532925199433
    assert quelby.point_in_region([0, 10, 10, 0], [0, 0, 10, 10], 5, 5)
    assert not quelby.point_in_region([0, 10, 10, 0], [0, 0, 10, 10], 15, 5)


def test_objective_terms_sum_to_wtw_and_norms_match_scipy(setup):
    examples, mesh, topography, cells, alpha = setup
    objective = quelby.build_model_objective(
        mesh, cells, alpha, weight_input=1, weight_files=(str(examples / "section.wgt"), "", ""),
        dip_input=1, dip_file=str(examples / "section.dip"))
    assert objective.n_terms == 4  # the dip brings the cross term
    terms = objective.terms
    assert all(isinstance(t, scipy.sparse.csr_matrix) for t in terms)
    wtw = objective.WTW
    assert wtw.shape == (cells.npar, cells.npar)
    total = terms[0] + terms[1] + terms[2] + terms[3]
    assert abs(wtw - total).max() <= 1e-12 * abs(total).max()
    assert abs(wtw - wtw.T).max() <= 1e-12 * abs(wtw).max()

    m, m_ref = model_vectors(examples, mesh, cells)
    phi = objective.term_norms(m, m_ref)
    u = m - m_ref  # the derivative terms act on m here (ref_in_derivatives false)
    expected = [u @ (terms[0] @ u)] + [m @ (t @ m) for t in terms[1:]]
    np.testing.assert_allclose(phi, expected, rtol=1e-10)
    g = objective.wtw_times_model(m, m_ref)
    expected_g = terms[0] @ u + sum(t @ m for t in terms[1:])
    np.testing.assert_allclose(g, expected_g, rtol=1e-10, atol=1e-12 * abs(expected_g).max())
    with pytest.raises(ValueError):
        objective.term_norms(m[:-1], m_ref)


def test_factors_give_the_x_term(setup):
    examples, mesh, topography, cells, alpha = setup
    plain = quelby.build_model_objective(mesh, cells, alpha)
    assert plain.Wx is None
    objective = quelby.build_model_objective(mesh, cells, alpha, dip_input=1,
                                             dip_file=str(examples / "section.dip"),
                                             keep_factors=True)
    wx, bx = objective.Wx, objective.Bx
    rebuilt = wx.T @ scipy.sparse.diags(bx) @ wx
    x_term = objective.terms[1]
    assert abs(rebuilt - x_term).max() <= 1e-12 * abs(x_term).max()


def test_survey_data_file(tmp_path):
    path = tmp_path / "d.dat"
    path.write_text("free text header\n5 7 1 2 10 0.5\n5 7 3 4 20 0.25\n1 2 5 6 30 2\n")
    log = io.StringIO()
    data = quelby.read_data_file(str(path), io=quelby.Io(log=log))
    assert (data.ndat, data.ncur) == (3, 2)
    np.testing.assert_array_equal(data.dobs, [30, 20, 10])
    np.testing.assert_array_equal(data.sorted_pos, [3, 2, 1])
    np.testing.assert_array_equal(data.idat_idx, [1, 2, 4])
    assert data.zm is None and data.za_cur is None and data.has_file_order
    located = quelby.read_data_file(str(path), locations_only=True, io=quelby.Io(log=log))
    assert located.dobs is None and located.dstd is None and located.xm.size == 3
    assert str(path) in log.getvalue()
    with pytest.raises(quelby.Stop) as raised:
        quelby.read_data_file(str(tmp_path / "absent.dat"), io=quelby.Io(console=io.StringIO()))
    assert raised.value.status == 1
