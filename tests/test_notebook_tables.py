"""PluginHost results as a notebook shows them: HTML tables of outputs, logs, job, viewer actions, errors."""

from html.parser import HTMLParser
from pathlib import Path

from QorvelAPI.devhost import PluginHost

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "example_plugin"


class Cells(HTMLParser):
    """The text of every table cell and the tags met, to see what a notebook renders."""

    def __init__(self, markup):
        super().__init__()
        self.cells, self.tags, self._cell = [], [], None
        self.feed(markup)

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        if tag in ("td", "th"):
            self._cell = []

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._cell is not None:
            self.cells.append("".join(self._cell).strip())
            self._cell = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell.append(data)


def host(tmp_path):
    return PluginHost(EXAMPLE, queue="local", workdir=tmp_path / "runs", config_path=str(tmp_path / "c.json"),
                      poll=0.1)


def test_a_flow_and_its_blocks_show_as_tables(tmp_path):
    flow = host(tmp_path).flow("Screen and refine")
    assert flow.ok, flow.error
    shown = Cells(flow._repr_html_())
    assert shown.cells[:7] == ["#", "block", "status", "outputs", "job", "viewer actions", "error"]
    assert "example_plugin.refine_hits" in shown.cells and "addBox" in shown.cells
    refine = flow["refine_hits"]
    job = Cells(refine.job._repr_html_())
    assert job.cells[job.cells.index("state") + 1] == "COMPLETED"
    block = Cells(refine._repr_html_())
    assert "refined" in block.cells and "COMPLETED" in block.cells and "script" not in block.tags
    assert "no problems found" in host(tmp_path).check()._repr_html_()


def test_an_error_shows_escaped_with_its_traceback(tmp_path):
    result = host(tmp_path).run("refine_hits", inputs={"report": "not json"})
    markup = result._repr_html_()
    assert not result.ok and "JSONDecodeError" in markup and "plugin traceback" in markup
    bad = type(result)(**{**result.__dict__, "error": "<script>alert(1)</script>", "outputs": {"<b>": "<i>"}})
    shown = Cells(bad._repr_html_())
    assert "script" not in shown.tags and "b" not in shown.tags and "<b>" in shown.cells
