"""quelby.import_field_data: a Syscal export with reciprocals imported into stores that match the
readings value by value, the error model as a dict and its picture, the files written, and the
wrong keywords refused."""

import io

import numpy as np
import pytest

import quelby

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def flat_factor(a, b, m, n):
    return 2 * np.pi / (1 / abs(a - m) - 1 / abs(a - n) - 1 / abs(b - m) + 1 / abs(b - n))


def syscal(readings):
    """The Syscal text export of readings (a, b, m, n, resistance, chargeability)."""
    lines = ["\tSpa.1\tSpa.2\tSpa.3\tSpa.4\tRho\tDev.\tM\tSp\tVp\tIn"]
    for a, b, m, n, r, ip in readings:
        k = flat_factor(a, b, m, n)
        lines.append(f"\t{a}\t{b}\t{m}\t{n}\t{k * r!r}\t0.2\t{ip!r}\t0.0\t{r * 150.0!r}\t150.0")
    return "\n".join(lines) + "\n"


@pytest.fixture
def line(tmp_path):
    """Dipole-dipole normals over 40 ohm-m (a = 1 m, n = 1..4, 14 electrodes) and their
    reciprocals, whose errors are 0.01 + 0.03 |R| (and 0.2 mV/V on the chargeability)."""
    normals, reciprocals = [], []
    for first in range(10):
        for level in range(1, 5):
            a, b, m, n = first, first + 1, first + 1 + level, first + 2 + level
            if n > 13:
                continue
            r = 40 / flat_factor(a, b, m, n)
            e = 0.01 + 0.03 * abs(r)
            normals.append((a, b, m, n, r, 6.0))
            reciprocals.append((m, n, a, b, r + (e if len(normals) % 2 else -e), 6.2))
    path = tmp_path / "line.txt"
    path.write_text(syscal(normals + reciprocals))
    return path, normals, reciprocals


def test_the_import_returns_stores_pairs_model_and_log(line, tmp_path):
    path, normals, reciprocals = line
    result = quelby.import_field_data(path, reciprocal=True, out=tmp_path / "out")
    assert result.format == "syscal"
    data = result.data
    assert data.ndat == len(normals)
    order = np.asarray(data.sorted_pos) - 1  # file line j is grouped datum order[j]
    expected = np.array([(nr[4] + rr[4]) / 2 for nr, rr in zip(normals, reciprocals)])
    np.testing.assert_allclose(np.asarray(data.dobs)[order], expected, rtol=1e-12)
    np.testing.assert_array_equal(np.asarray(data.xa_file), [r[0] for r in normals])
    model = result.error_model
    assert model["kept"]["kind"] in ("linear", "power")
    kept = model["kept"]
    magnitude = np.abs(np.asarray(data.dobs))
    deviation = (kept["a"] + kept["b"] * magnitude if kept["kind"] == "linear"
                 else kept["a"] * magnitude ** kept["b"])
    np.testing.assert_allclose(data.dstd, deviation, rtol=1e-12)
    pairs = result.pairs
    np.testing.assert_allclose(pairs["error"], [abs(nr[4] - rr[4]) for nr, rr in
                                                zip(normals, reciprocals)], rtol=1e-9)
    assert pairs["line"][0] == 2 and pairs["reciprocal_line"][0] == 2 + len(normals)
    np.testing.assert_allclose(pairs["chargeability_error"], 0.2, rtol=1e-9)
    assert result.ip_data.ndat == data.ndat and result.chargeability_unit == "mV/V"
    np.testing.assert_allclose(result.ip_data.dobs, 6.1, rtol=1e-12)
    assert result.ip_error_model is not None
    assert result.topography is None and result.dropped == {}
    assert result.log.startswith("quelby-import ") and "(kept)" in result.log
    assert (tmp_path / "out" / "import.log").read_text() == result.log
    written = quelby.read_data_file(tmp_path / "out" / "data.dat")
    np.testing.assert_array_equal(written.dobs, data.dobs)
    np.testing.assert_array_equal(written.dstd, data.dstd)

    # The picture of the pairs and the models: one point per pair, the kept model a line.
    ax = quelby.plot_reciprocal_errors(result)
    pairs_line = ax.get_lines()[0]
    np.testing.assert_allclose(pairs_line.get_xdata(), np.abs(pairs["resistance"]))
    assert any("(kept)" in text.get_text() for text in ax.get_legend().get_texts())
    ax.figure.savefig(tmp_path / "reciprocal.png")
    plt.close(ax.figure)
    ip_ax = quelby.plot_reciprocal_errors(result, what="chargeability")
    assert ip_ax.get_ylabel() == "|mn - mr| (mV/V)"
    plt.close(ip_ax.figure)


def test_the_same_file_without_an_error_model_has_no_deviations(line):
    path, normals, _ = line
    result = quelby.import_field_data(path, max_deviation=5.0, drop_electrodes=[5.0])
    assert result.data.dstd is None
    assert result.error_model is None and result.pairs["resistance"].size == 0
    assert result.dropped == {"an electrode given to --drop-electrode": 2 * sum(
        5 in r[:4] for r in normals)}
    with pytest.raises(ValueError):
        quelby.plot_reciprocal_errors(result)
    with_error = quelby.import_field_data(path, error=5, error_floor=0.001)
    np.testing.assert_allclose(with_error.data.dstd,
                               0.05 * np.abs(with_error.data.dobs) + 0.001, rtol=1e-15)


def test_wrong_keywords_and_files_are_refused(line, tmp_path):
    path, _, _ = line
    for keywords in ({"format": "res2d"}, {"spacing": 0}, {"geometric_factor": "exact"},
                     {"error": -1}, {"max_deviation": 0}, {"drop_unpaired": True}):
        with pytest.raises(ValueError):
            quelby.import_field_data(path, **keywords)
    notes = tmp_path / "notes.txt"
    notes.write_text("field notes\n")
    console = io.StringIO()
    with pytest.raises(quelby.Stop) as raised:
        quelby.import_field_data(notes, io=quelby.Io(console=console))
    assert raised.value.status == 1
    assert "is not recognised" in console.getvalue()
    with pytest.raises(quelby.Stop):
        quelby.import_field_data(notes, format="unified", io=quelby.Io(console=io.StringIO()))
