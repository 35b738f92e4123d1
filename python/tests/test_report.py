"""quelby.report and invert(..., report=True): the page of a run written from Python is the one
quelby-report writes (the same bytes for the same folder), a run that stopped at its iteration
limit says so, and what cannot be reported raises its error."""

import pathlib
import shutil

import pytest

import quelby

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def run_folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("report")
    for name in ("block.msh", "block_dc.dat", "block.topo"):
        shutil.copy(ROOT / "examples" / name, folder / name)
    out = folder / "out"
    quelby.invert(mesh=folder / "block.msh", data=folder / "block_dc.dat",
                  topography=folder / "block.topo", max_iterations=1, lengths=(5, 5), out=out,
                  report=True)
    return out


def test_invert_writes_the_report_of_its_folder(run_folder, tmp_path):
    page = (run_folder / "report.html").read_text()
    for piece in ('id="section-resistivity"', 'id="pseudo-dc-misfit"', 'id="history-dc-misfit"',
                  "Outcome: stopped short of its target", "reached the iteration limit"):
        assert piece in page, piece
    for name in ("observed.dat", "mesh.msh", "topography.topo"):
        assert (run_folder / name).exists(), name
    again = quelby.report(run_folder, out=tmp_path / "again.html")
    assert again == str(tmp_path / "again.html")
    assert (tmp_path / "again.html").read_bytes() == (run_folder / "report.html").read_bytes()


def test_what_cannot_be_reported_raises(tmp_path):
    with pytest.raises(quelby.Stop) as missing:
        quelby.report(tmp_path / "missing")
    assert missing.value.status == 1
    (tmp_path / "empty").mkdir()
    with pytest.raises(quelby.Stop, match="not a run folder"):
        quelby.report(tmp_path / "empty")
    with pytest.raises(ValueError, match="report=True needs out"):
        quelby.invert(data="block_dc.dat", report=True)
    with pytest.raises(ValueError, match="report=True needs out"):
        quelby.invert_timelapse(None, "day0.dat", ["day1.dat"], report=True)
