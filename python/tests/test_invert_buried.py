"""Buried electrodes from Python: a small crosshole panel's data file with z positions inverts with
z=True as its store in memory does, its predicted data keep the z positions; a time-lapse campaign
reads its steps with z; the geometric factors of buried electrodes are the image solution's; the
pictures of such a survey are drawn."""

import numpy as np
import pytest

import quelby


def crosshole(left=0.0, right=6.0, depths=range(1, 8)):
    """Dipoles of neighbouring electrodes in one hole read by dipoles in the other (both ways) and
    in the same hole: the eight position arrays of quelby.survey_from_arrays."""
    depths = [float(z) for z in depths]
    rows = []
    for source, receiver in ((left, right), (right, left)):
        for k in range(0, len(depths) - 1, 2):
            for j in range(len(depths) - 1):
                rows.append((source, depths[k], source, depths[k + 1],
                             receiver, depths[j], receiver, depths[j + 1]))
            if k + 3 < len(depths):
                rows.append((source, depths[k], source, depths[k + 1],
                             source, depths[k + 2], source, depths[k + 3]))
    a, za, b, zb, m, zm, n, zn = (np.array(column) for column in zip(*rows))
    return dict(a=a, b=b, m=m, n=n, za=za, zb=zb, zm=zm, zn=zn)


@pytest.fixture(scope="module")
def panel(tmp_path_factory):
    """A 10 ohm-m block between the holes in 100 ohm-m, two readings of it (the second with the
    block at 3 ohm-m), 2 % noise, as data files with z positions."""
    folder = tmp_path_factory.mktemp("panel")
    positions = crosshole()
    survey = quelby.survey_from_arrays(**positions)
    mesh = quelby.mesh_for_survey(survey)
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    in_block = (x > 2) & (x < 4) & (z > 3) & (z < 5)
    noise = 1 + 0.02 * np.random.default_rng(3).standard_normal(survey.ndat)
    files = []
    for day, block in enumerate((10.0, 3.0)):
        data = quelby.forward(mesh, np.where(in_block, block, 100.0), survey) * noise
        files.append(folder / f"day{day}.dat")
        quelby.write_data_file(files[-1], survey, data, stds=0.02 * np.abs(data))
    quelby.write_mesh(folder / "panel.msh", mesh)
    return dict(mesh=mesh, survey=survey, files=files, folder=folder, in_block=in_block)


def test_a_file_with_z_positions_inverts_as_its_store(panel, tmp_path):
    by_file = quelby.invert(panel["folder"] / "panel.msh", data=panel["files"][0], z=True,
                            out=tmp_path)
    assert by_file.history["stop"] == "reached the target misfit"
    store = quelby.read_data_file(panel["files"][0], use_z=True)
    assert store.has_z
    in_memory = quelby.invert(panel["mesh"], data=store, io=quelby.Io())
    np.testing.assert_array_equal(in_memory.model, by_file.model)
    predicted = quelby.read_data_file(tmp_path / "predicted.dat", use_z=True)
    np.testing.assert_array_equal(np.asarray(predicted.zm), np.asarray(store.zm))
    np.testing.assert_array_equal(np.asarray(predicted.dobs), by_file.predicted)
    # The block is more conductive than the cells between the holes around it.
    model, in_block = by_file.model, panel["in_block"]
    assert np.exp(np.log(model[in_block]).mean()) < 100


def test_a_time_lapse_campaign_reads_its_steps_with_z(panel, tmp_path):
    result = quelby.invert_timelapse(panel["folder"] / "panel.msh", panel["files"][0],
                                     [panel["files"][1]], z=True, out=tmp_path, progress=False)
    step = result.steps[0]
    assert step.dropped_from_step == 0 and step.dropped_from_baseline == 0
    assert step.change[panel["in_block"]].mean() < 0
    fitted = quelby.read_data_file(tmp_path / "step_1" / "data.dat", use_z=True)
    assert fitted.ndat == panel["survey"].ndat


def test_the_geometric_factor_of_buried_electrodes_is_the_image_solutions(panel):
    survey = panel["survey"]
    k = quelby.geometric_factor(survey)
    positions = crosshole()
    a = np.column_stack([positions["a"], positions["za"]])
    b = np.column_stack([positions["b"], positions["zb"]])
    m = np.column_stack([positions["m"], positions["zm"]])
    n = np.column_stack([positions["n"], positions["zn"]])

    def term(p, q):
        r = np.hypot(*(p - q).T)
        image = np.hypot(p[:, 0] - q[:, 0], p[:, 1] + q[:, 1])
        return 1 / r + 1 / image

    expected = 4 * np.pi / (term(a, m) - term(b, m) - term(a, n) + term(b, n))
    # The store is grouped by current pair in the order the pairs appear: match by positions.
    order = np.asarray(survey.sorted_pos) - 1
    np.testing.assert_allclose(k[order], expected, rtol=1e-12)
    # Numerical factors on the mesh agree to the modelling error.
    numeric = quelby.geometric_factor(survey, mesh=panel["mesh"])
    np.testing.assert_allclose(numeric, k, rtol=0.02)


def test_the_pictures_of_a_crosshole_survey_are_drawn(panel):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    survey = quelby.read_data_file(panel["files"][0], use_z=True)
    x, depth = quelby.pseudosection(survey)
    assert np.isfinite(x).all() and np.isfinite(depth).all()
    assert depth.min() >= 1 and depth.max() <= 7
    ax = quelby.plot_pseudosection(survey)
    plt.close(ax.figure)
    result = quelby.invert(panel["mesh"], data=survey, max_iterations=1, io=quelby.Io())
    ax = quelby.plot_model(panel["mesh"], result.model, data=survey)
    assert ax.get_ylim()[0] >= 7  # down past the deepest electrode
    plt.close(ax.figure)
    axes = quelby.plot_data_misfit(survey, result.predicted)
    plt.close(axes[0].figure)
