"""The reference page of PluginBlock as a reader sees it: typed signatures, its members, nothing fetched."""

from pathlib import Path

import pytest

from docs_support import built_site, tools_missing

SHOTS = Path(__file__).resolve().parents[2] / "build" / "screenshots"


@pytest.mark.skipif(tools_missing() is not None, reason=str(tools_missing()))
def test_the_plugin_block_reference_renders_with_its_types(browser):
    page = built_site() / "reference" / "plugins.html"
    browser.navigate(page.as_uri())
    shown = browser.evaluate("""(() => {
        const entry = document.getElementById("QorvelAPI.plugins.PluginBlock").parentElement;
        return {
            signature: document.getElementById("QorvelAPI.plugins.PluginBlock").innerText,
            text: entry.innerText,
            foreign: performance.getEntriesByType("resource").map((r) => r.name)
                .filter((name) => !name.startsWith("file:")),
        };
    })()""")
    assert "name: str" in shown["signature"] and "blockType: PluginBlockTypes" in shown["signature"]
    assert "setOutput(id: str, value: Any)" in shown["text"].replace("\n", "")
    assert shown["foreign"] == []
    # Only the entry on the page: a clip far down a long page comes out shifted by a few lines.
    browser.evaluate("""(() => {
        const entry = document.getElementById("QorvelAPI.plugins.PluginBlock").parentElement;
        document.querySelector("article").replaceChildren(entry);
        document.querySelectorAll(".mobile-header").forEach((header) => header.remove());
    })()""")
    browser.screenshot(str(SHOTS / "reference_PluginBlock.png"), "article")
