"""Topography, active cells, weights, coefficients, dipping zones and the model objective from
Python, checked against the C++ results, against scipy and against the point test."""

import warnings

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
    by_name = quelby.read_dipping(mesh, alpha, "file", examples / "section.dip")
    np.testing.assert_array_equal(by_name[0], zone_idx)
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


def test_set_alpha_modes_by_name_and_refused_arguments(root):
    mesh = quelby.load_mesh(root / "examples" / "section.msh")
    pairs = [("mesh", 0, {}), ("given", 2, {"alpha": (0.5, 1, 2)}),
             ("lengths", 3, {"lengths": (40, 20)})]
    for name, number, arguments in pairs:
        by_name = quelby.set_alpha(mesh, name, **arguments)
        by_number = quelby.set_alpha(mesh, np.int32(number), **arguments)
        assert (by_name.alpha_s, by_name.alpha_x, by_name.alpha_z) == \
            (by_number.alpha_s, by_number.alpha_x, by_number.alpha_z)
    lengths = quelby.set_alpha(mesh, "lengths", lengths=(40, 20))
    assert (lengths.alpha_s, lengths.alpha_x, lengths.alpha_z) == (1 / 1600, 1.0, 400 / 1600)
    refused = [("lengths", {}), (3, {"lengths": (0, 0)}), (3, {"lengths": (np.inf, 1)}),
               ("given", {}), (2, {"alpha": (1, -1, 1)}), ("smooth", {})]
    for mode, arguments in refused:
        with pytest.raises(ValueError):
            quelby.set_alpha(mesh, mode, **arguments)
    with pytest.raises(TypeError):
        quelby.set_alpha(mesh, True)
    start = quelby.AlphaCoefficients(1, 2, 3)
    assert quelby.set_alpha(mesh, 1, start=start).alpha_z == 3  # the library's other modes


def test_a_wtw_that_is_not_finite_warns_with_its_cause(root, tmp_path):
    examples = root / "examples"
    mesh, topography = quelby.load_mesh_and_topography(examples / "section.msh",
                                                       examples / "section.topo")
    cells = quelby.read_active_cells(mesh, topography)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        quelby.build_model_objective(mesh, cells, quelby.set_alpha(mesh, "mesh"))
    with pytest.warns(RuntimeWarning, match="term Wx .*alpha_x = inf"):
        objective = quelby.build_model_objective(mesh, cells,
                                                 quelby.AlphaCoefficients(1, np.inf, 1))
    assert not np.isfinite(objective.WTW.data).all()
    # A weight that is not finite is named with its 1-based column and row.
    weights = tmp_path / "s.wgt"
    weights.write_text("3 2\n1 1 1\n1 inf 1\n")
    with pytest.warns(RuntimeWarning, match=r"term Ws .*S weights \(2, 2\) = inf"):
        quelby.build_model_objective(mesh, cells, quelby.set_alpha(mesh, "mesh"),
                                     weight_input="files", weight_files=(weights, "", ""))
    # Weights by name give what the numbers give.
    s1 = quelby.set_weights(mesh, "file", (examples / "section.wgt", "", ""))
    s2 = quelby.set_weights(mesh, 1, (str(examples / "section.wgt"), "", ""))
    for a, b in zip(s1, s2):
        np.testing.assert_array_equal(a, b)


def test_zones_are_the_first_polygon_holding_each_centre(root):
    mesh = quelby.load_mesh(root / "examples" / "section.msh")
    # Every third cell of every third row, against the point test itself.
    polygons = [([0, 300, 300, 0], [0, 0, 60, 60]), ([100, 500, 300], [20, 20, 100])]
    zone_idx = quelby.assign_zones(mesh, polygons)
    for k in range(0, mesh.nz, 3):
        for i in range(0, mesh.nx, 3):
            point = (mesh.x_centres[i], mesh.z_centres[k])
            inside = [quelby.point_in_region(px, pz, *point) for px, pz in polygons]
            expected_zone = 2 + inside.index(True) if any(inside) else 1
            assert zone_idx[k, i] == expected_zone
