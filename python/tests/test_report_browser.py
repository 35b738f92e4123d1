"""The four example reports of scripts/report_examples.sh (the block survey with IP, a field line
imported with its reciprocals, a 2-D time-lapse campaign and a 3-D survey) opened in a real
browser: headless chromium runs each page's script, which must set its ready marker and record no
error, and the page must hold its pictures and tables; a screenshot of each is a non-empty PNG.

Without chromium the test is skipped, unless QUELBY_REQUIRE_BROWSER=1 (CI), where it fails."""

import os
import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QUELBY_BUILD", ROOT / "build" / "release"))


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    if os.environ.get("QUELBY_REQUIRE_BROWSER") == "1":
        pytest.fail("QUELBY_REQUIRE_BROWSER=1 but no chromium is installed (apt-get install "
                    "chromium)")
    pytest.skip("chromium is not installed")


def _build_folder():
    """The folder of the built commands: the one QUELBY_INVERT_BINARY lies in, else the build."""
    invert = os.environ.get("QUELBY_INVERT_BINARY")
    return pathlib.Path(invert).resolve().parent if invert else BUILD


@pytest.fixture(scope="module")
def examples(tmp_path_factory):
    browser = _chromium()
    out = tmp_path_factory.mktemp("report_examples")
    run = subprocess.run(["bash", str(ROOT / "scripts" / "report_examples.sh"),
                          str(_build_folder()), str(out)], capture_output=True, text=True,
                         timeout=240)
    assert run.returncode == 0, run.stdout + run.stderr
    return browser, out


def _dom(browser, page):
    run = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                          "--virtual-time-budget=5000", "--dump-dom", page.as_uri()],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return run.stdout


def _count(dom, pattern):
    return len(re.findall(pattern, dom))


# Per report: the ids of its pictures and how many of each kind of element it must hold at least.
EXPECTED = {
    "block": dict(ids=["pseudo-dc-observed", "pseudo-dc-misfit", "pseudo-ip-observed",
                       "pseudo-ip-misfit", "section-resistivity", "section-chargeability",
                       "history-dc-misfit", "history-ip-misfit"],
                  counts={r'<table class="history"': 2, r'<circle class="datum"': 6 * 204}),
    "field": dict(ids=["pseudo-dc-observed", "pseudo-dc-misfit", "pseudo-ip-observed",
                       "error-model-1", "error-model-2", "section-resistivity",
                       "section-chargeability", "history-dc-misfit"],
                  counts={r'<pre class="import-log"': 1, r'<table class="history"': 2}),
    "timelapse": dict(ids=["timelapse-misfit", "section-baseline", "section-change-1",
                           "section-change-2", "pseudo-dc-observed"],
                      counts={r'<table class="timelapse"': 1, r'class="picture section': 3}),
    "3d": dict(ids=["survey3d-map", "survey3d-misfit-depth", "slice-x", "slice-y",
                    "depth-map-1", "depth-map-2", "depth-map-4", "history-dc-misfit"],
               counts={r'<table class="history"': 1, r'<circle class="datum"': 2 * 126}),
}


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_an_example_report_runs_its_script_and_shows_its_pictures(examples, name):
    browser, out = examples
    page = out / name / "report.html"
    assert page.stat().st_size < 3_000_000
    dom = _dom(browser, page)
    body = re.search(r"<body[^>]*>", dom).group(0)
    assert 'data-report-ready="1"' in body, body
    assert "data-report-error" not in body, body
    for picture in EXPECTED[name]["ids"]:
        assert _count(dom, f'<svg[^>]* id="{re.escape(picture)}"') == 1, picture
    for pattern, least in EXPECTED[name]["counts"].items():
        assert _count(dom, pattern) >= least, pattern
    # The script added its zoom buttons to every section and pseudosection.
    assert _count(dom, r'class="zoom-buttons"') == _count(dom, r'<svg[^>]* class="[^"]*zoomable')
    screenshot = out / f"{name}.png"
    assert screenshot.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    assert screenshot.stat().st_size > 10_000
