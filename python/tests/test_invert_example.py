"""The inversion example runs a few iterations, its data misfit falls, and its reports are written."""

import importlib.util

import numpy as np


def test_the_inversion_example_lowers_the_misfit(root, tmp_path):
    spec = importlib.util.spec_from_file_location("invert", root / "examples" / "python" /
                                                  "invert.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    misfits = example.invert(iterations=3, output=tmp_path, plot=False)
    assert len(misfits) == 4
    assert all(later < earlier for earlier, later in zip(misfits, misfits[1:])), misfits
    assert misfits[-1] < misfits[0] / 10
    rows = (tmp_path / "invert_history.txt").read_text().splitlines()
    assert rows[0].split()[0] == "3" and len(rows) == 1 + 4 + 2
    written = np.array([float(row.split()[1]) for row in rows[1:5]])
    np.testing.assert_allclose(written, misfits, rtol=1e-5)
    log = (tmp_path / "invert.log").read_text()
    assert log.count("norm comp Ws") == 3 and log.count("chosen beta") == 3
