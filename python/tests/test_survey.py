"""Survey data files from Python: the grouped store and its file order, positions only, and the
standard deviations a file lacks, filled in and then normalised."""

import io

import numpy as np
import pytest

import quelby


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


def test_missing_standard_deviations_are_filled_then_normalised(tmp_path):
    path = tmp_path / "d.dat"
    path.write_text("no std\n0 10 20 30 4.0\n0 10 30 40 9.0\n50 60 10 20 -2.0\n")
    data = quelby.read_data_file(path)
    assert data.std_missing and data.dstd is None  # none until given
    dobs = data.dobs.copy()
    std = np.abs(dobs) * 0.05 + 0.1
    data.dstd = std
    np.testing.assert_array_equal(data.dstd, std)
    data.dstd[0] = 2.0  # also writable in place
    std[0] = 2.0
    quelby.normalize_data(data)
    np.testing.assert_array_equal(data.dobs, dobs / std)
    quelby.normalize_data(data)  # each call divides again
    np.testing.assert_array_equal(data.dobs, dobs / std / std)
    with pytest.raises(ValueError):
        data.dstd = std[:-1]
    # Positions only: no values, nothing to fill.
    located = quelby.read_data_file(path, locations_only=True)
    assert located.dstd is None and located.dobs is None
    with pytest.raises(ValueError):
        located.dstd = std
    with pytest.raises(ValueError):
        quelby.apparent_resistivity(located)
    np.testing.assert_array_equal(quelby.apparent_resistivity(located, dobs),
                                  quelby.apparent_resistivity(data, dobs))
