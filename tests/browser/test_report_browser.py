"""The HTML report of `qorvel-plugin test` as an author opens it: a file in the browser, with nothing to fetch."""

from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "example_plugin"

# One browser for all: in a parallel run the browser tests go to the same worker.
pytestmark = pytest.mark.xdist_group("browser")


def test_the_test_report_opens_in_the_browser(browser, cli, tmp_path):
    report = tmp_path / "report.html"
    code, out, err = cli("test", EXAMPLE, "--html", report)
    assert code == 0, out + err
    browser.navigate(report.as_uri())
    shown = browser.evaluate("""({
        title: document.title,
        text: document.body.innerText,
        fetched: performance.getEntriesByType("resource").length,
        scripts: document.scripts.length,
    })""")
    assert "example_plugin" in shown["title"] + shown["text"]
    assert "addSphere" in shown["text"] and "passed" in shown["text"]
    assert shown["fetched"] == 0 and shown["scripts"] == 0  # self-contained
