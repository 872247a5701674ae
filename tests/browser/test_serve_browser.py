"""`qorvel-plugin serve` in a real browser: the cards, the values, an extension page, and the Mol* viewer."""

import json
import os
import re
from pathlib import Path

import pytest

from QorvelAPI.devhost.serve import watch_plugin
from serve_support import PROBE, Served

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "example_plugin"
SHOTS = ROOT / "build" / "screenshots"

# One browser for all: in a parallel run the browser tests go to the same worker.
pytestmark = pytest.mark.xdist_group("browser")

# Counts the viewer's pixels by colour class, two animation frames after the call.
PIXELS = """(async () => {
    await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
    const source = qorvelPage.viewer.plugin.canvas3d.webgl.gl.canvas;
    const copy = Object.assign(document.createElement("canvas"), { width: source.width, height: source.height });
    const context = copy.getContext("2d");
    context.drawImage(source, 0, 0);
    const pixels = context.getImageData(0, 0, copy.width, copy.height).data;
    const classes = { total: 0, white: 0, black: 0, green: 0, red: 0, orange: 0, yellow: 0, blue: 0 };
    for (let i = 0; i < pixels.length; i += 4) {
        const [r, g, b] = [pixels[i], pixels[i + 1], pixels[i + 2]];
        classes.total += 1;
        if (r > 240 && g > 240 && b > 240) classes.white += 1;
        else if (r < 15 && g < 15 && b < 15) classes.black += 1;
        else if (g > 200 && r < 60 && b < 60) classes.green += 1;
        else if (r > 90 && r > 2 * g && r > 2 * b) classes.red += 1;
        else if (r > 170 && g > 80 && g < 200 && b < 120 && r - g > 50) classes.orange += 1;
        else if (r > 120 && g > 120 && b < 60) classes.yellow += 1;
        else if (b > r + 30 && b > g + 15) classes.blue += 1;
    }
    return classes;
})()"""

CARDS = """Array.from(document.querySelectorAll("#blocks .card")).map((card) => {
    const rows = (table) => table ? Array.from(table.querySelectorAll(":scope > tbody > tr")).map((tr) =>
        [tr.dataset.variable, tr.children[1].textContent, tr.children[2].textContent, tr.children[3].textContent,
         Array.from(tr.querySelectorAll("table.members tbody tr")).map((m) => [m.children[1].textContent,
                                                                                m.children[2].textContent])]) : [];
    return { id: card.dataset.block, name: card.querySelector("h3").firstChild.textContent,
             kind: card.querySelector(".kind").textContent,
             variables: rows(card.querySelector(":scope > table.variables")),
             groups: Array.from(card.querySelectorAll(".input-group")).map((g) => [g.dataset.group, rows(g.querySelector("table"))]),
             outputs: rows(card.querySelector(":scope > table.outputs")) };
})"""


def shown(value):
    return "" if value is None else value if isinstance(value, str) else json.dumps(value, separators=(",", ":"))


def cells(value):
    """Table texts as values, so that -7.0 (Python) and -7 (JavaScript) compare equal."""
    if isinstance(value, list):
        return [cells(v) for v in value]
    if isinstance(value, dict):
        return {k: cells(v) for k, v in value.items()}
    try:
        return json.loads(value)
    except (TypeError, ValueError):
        return value


def card(block_id):
    return f"qorvelPage.cards.find((c) => c.block.id === {json.dumps(block_id)})"


def run_and_wait(browser, start_js, actions):
    """Starts a run from the page and waits until it ended and the viewer took all its actions."""
    browser.evaluate("qorvelPage.ended = null")
    browser.evaluate(start_js)
    return browser.wait_for(f"qorvelPage.ended && qorvelPage.viewer.done >= {actions} && "
                            f"{{ended: qorvelPage.ended, applied: qorvelPage.viewer.applied, "
                            f"failed: qorvelPage.viewer.failed}}", 120)


def last_result(browser, placed_id):
    events = browser.evaluate("fetch('/api/run').then((r) => r.json())")["events"]
    return [e["data"] for e in events if e["event"] == "result" and e["data"]["placedID"] == placed_id][-1]


def open_page(browser, served):
    browser.navigate(f"http://127.0.0.1:{served.port}/?lean=1")
    browser.wait_for("window.qorvelPage && qorvelPage.ready && Boolean(qorvelPage.viewer)", 120)


def set_field(selector, value):
    return (f"(() => {{ const input = {selector}; input.value = {json.dumps(value)}; "
            f"input.dispatchEvent(new Event('input')); return true; }})()")


@pytest.fixture(scope="module")
def example(browser, tmp_path_factory):
    served = Served(EXAMPLE, tmp_path_factory.mktemp("example"))
    open_page(browser, served)
    yield served
    served.close()


def test_cards_match_describe(browser, example, cli):
    code, out, _ = cli("describe", EXAMPLE)
    assert code == 0
    expected = []
    for block in json.loads(out):
        def rows(variables):
            return [[v["id"], v["type"], shown(v["value"]), shown(v["allowedValues"]),
                     [[m["type"], shown(m["value"])] for m in v.get("variables", [])]] for v in variables]
        expected.append({"id": block["id"], "name": block["name"], "kind": block["type"],
                         "variables": rows(block["variables"]),
                         "groups": [[g["id"], rows(g["variables"])] for g in block["inputs"]],
                         "outputs": rows(block["outputs"])})
    assert cells(browser.evaluate(CARDS)) == cells(expected)
    assert browser.evaluate("document.querySelectorAll('#extensions a').length") == 0  # its one page is hidden
    browser.screenshot(str(SHOTS / "example_blocks.png"), "#catalogue")


def test_group_and_list_take_values(browser, example):
    screen = card("example_plugin.screen_ligands")
    box = f"{screen}.node.querySelector('table.variables [data-variable=box]')"
    browser.evaluate(set_field(f"{box}.querySelector('[data-member=center_x] input')", "4.5"))
    browser.evaluate(set_field(f"{box}.querySelector('[data-member=center_y] input')", "abc"))
    assert browser.wait_for(f"{screen}.node.querySelector('.messages').textContent") == (
        "block example_plugin.screen_ligands: variable 'box.center_y' is declared number, "
        "but the value \"abc\" is not a number")
    browser.evaluate(set_field(f"{box}.querySelector('[data-member=center_y] input')", "-1"))
    residues = f"{screen}.node.querySelector('[data-variable=residues] [data-kind=list]')"
    browser.evaluate(f"{residues}.querySelector('.add-row').click()")
    browser.evaluate(set_field(f"{residues}.querySelector('[data-row=\"0\"] [data-column=residue] input')", "87"))
    browser.wait_for(f"{screen}.values.variables.residues[0].residue === 87 && "
                     f"{screen}.node.querySelector('.messages').textContent === ''")
    ended = run_and_wait(browser, f"{screen}.node.querySelector('button.run').click()", 0)
    assert ended["ended"]["ok"] is True
    report = json.loads(last_result(browser, 1)["outputs"]["report"])
    assert report["box"] == {"center_x": 4.5, "center_y": -1, "center_z": 0.0, "size": 20.0}
    assert report["flexible"] == [{"chain": "A", "residue": 87}]


def test_extension_page_sets_the_custom_variable_for_the_next_run(browser, example):
    screen = card("example_plugin.screen_ligands")
    frame = "document.getElementById('page-frame').contentDocument"
    browser.evaluate(f"{screen}.node.querySelector('[data-variable=weights] .open-page').click()")
    # The page filled its form from its endpoint, then sends its values to the custom variable.
    assert browser.wait_for(f"{frame}.querySelector('[name=electrostatics]').value") == "0.5"
    browser.evaluate(f"(() => {{ const form = {frame}.getElementById('weights'); "
                     f"for (const input of form.querySelectorAll('input')) input.value = '2'; "
                     f"form.requestSubmit(); }})()")
    weights = {"vdw": 2, "hbond": 2, "electrostatics": 2}
    assert browser.wait_for(f"{screen}.values.variables.weights.vdw === 2 && "
                            f"{screen}.node.querySelector('.custom-value').textContent") == json.dumps(weights, separators=(",", ":"))
    browser.evaluate("document.getElementById('page-dialog').close()")
    run_and_wait(browser, f"{screen}.node.querySelector('button.run').click()", 0)
    score = example.app.loaded.module.score
    assert last_result(browser, 1)["outputs"]["best_score"] == min(score(i, weights, False) for i in range(10))


def test_example_flow_draws_its_viewer_actions(browser, example):
    browser.evaluate("window.liveOutput = []; addEventListener('qorvel-run-event', (e) => { if (e.detail.kind === "
                     "'followed') liveOutput.push(document.querySelector(`#run [data-placed='${e.detail.data.placedID}'] "
                     "pre.followed[data-stream=stdout]`)?.textContent); })")
    state = run_and_wait(browser, "document.querySelector('[data-flow=\"Screen and refine\"] button.run').click()", 6)
    assert state == {"ended": {"ok": True, "error": None, "savedTo": state["ended"]["savedTo"]},
                     "applied": 6, "failed": 0}
    final_output = browser.evaluate("[...document.querySelectorAll('#run .result b')].find((b) => b.textContent === "
                                    "'Job output').nextElementSibling.textContent")
    assert final_output.count("\n") == 3 and browser.evaluate("liveOutput.at(-1)") == final_output  # shown live  # the job's output, live
    browser.evaluate("qorvelPage.viewer.do_setSpin({speed: 0})")
    pixels = browser.evaluate(PIXELS)
    assert pixels["white"] > pixels["total"] * 0.5  # the background set by the block
    assert pixels["red"] > 300 and pixels["orange"] > 300 and pixels["blue"] > 300, pixels
    browser.screenshot(str(SHOTS / "example_viewer.png"), "#viewer")
    # The whole page at a common desktop size, for the documentation.
    browser.page("Emulation.setDeviceMetricsOverride", width=1280, height=860, deviceScaleFactor=1, mobile=False)
    browser.evaluate("window.scrollTo(0, 0); new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)))")
    browser.screenshot(str(SHOTS / "example_page.png"))
    browser.page("Emulation.clearDeviceMetricsOverride")


@pytest.fixture(scope="module")
def probe(browser, tmp_path_factory, example):
    served = Served(PROBE, tmp_path_factory.mktemp("probe"))
    open_page(browser, served)
    yield served
    served.close()


def test_molecule_and_focus(browser, probe):
    state = run_and_wait(browser, f"{card('serve_probe.molecule')}.run()", 2)
    assert (state["applied"], state["failed"]) == (2, 0)
    assert browser.evaluate("qorvelPage.viewer.structures().length") == 1
    target = browser.evaluate("Array.from(qorvelPage.viewer.plugin.canvas3d.camera.state.target)")
    atoms = [line for line in (PROBE / "peptide.pdb").read_text().splitlines() if line[22:26].strip() == "2"]
    centre = [sum(float(line[30 + 8 * k:38 + 8 * k]) for line in atoms) / len(atoms) for k in range(3)]
    assert max(abs(a - b) for a, b in zip(target, centre)) < 0.5, (target, centre)
    assert browser.evaluate("document.querySelectorAll('#extensions a').length") == 1


def test_mvs_session_replays_earlier_actions(browser, probe):
    state = run_and_wait(browser, f"{card('serve_probe.mvs')}.run()", 2)
    assert (state["applied"], state["failed"]) == (2, 0)
    pixels = browser.evaluate(PIXELS)
    assert pixels["green"] > pixels["total"] * 0.4 and pixels["red"] > 1000, pixels


def test_malformed_actions_show_a_badge_and_later_ones_still_apply(browser, probe):
    state = run_and_wait(browser, f"{card('serve_probe.scene')}.run()", 8)
    assert (state["applied"], state["failed"]) == (6, 2)
    badges = browser.evaluate("Array.from(document.querySelectorAll('#viewer-errors li')).map((li) => li.textContent)")
    assert badges == ['viewer action #5 (setBackgroundColor): colour "#12" is not #rrggbb',
                      "viewer action #6 (addMolecule): /etc/hostname is outside the plugin folder and the run folder"]
    assert browser.evaluate("qorvelPage.viewer.structures().length") == 1  # reset removed the box
    pixels = browser.evaluate(PIXELS)
    assert pixels["black"] > pixels["total"] * 0.5 and pixels["yellow"] > 1000 and pixels["blue"] == 0, pixels


CHOOSER = """
from QorvelAPI.plugins import Plugin, PluginBlock, PluginVariable, VariableTypes

def pick(block):
    block.setOutput("picked", {"chains": block.variables["chains"], "strict": block.variables["strict"]})

plugin = Plugin()
plugin.addBlock(PluginBlock("Pick", "p", pick, id="pick", outputs=[PluginVariable("picked", "P", "p", VariableTypes.ANY)],
    variables=[PluginVariable("chains", "Chains", "c", VariableTypes.CHECKBOX, defaultValue=["A"], allowedValues=["A", "B", "C"]),
               PluginVariable("strict", "Strict", "s", VariableTypes.CHECKBOX, defaultValue=False)]))
"""


def test_a_checkbox_with_allowed_values_is_a_multi_choice_that_runs(browser, tmp_path):
    from test_devhost_cli import make_plugin

    served = Served(make_plugin(tmp_path / "chooser", CHOOSER), tmp_path)
    try:
        open_page(browser, served)
        pick = card("demo_tools.pick")
        boxes = f"{pick}.node.querySelectorAll('[data-variable=chains] [data-kind=checkboxes] input')"
        assert browser.evaluate(f"Array.from({boxes}).map((b) => [b.value, b.checked])") == \
            [["A", True], ["B", False], ["C", False]]
        browser.evaluate(f"(() => {{ const b = {boxes}; b[2].click(); b[0].click(); "
                         f"{pick}.node.querySelector('[data-variable=strict] input').click(); }})()")
        browser.wait_for(f"JSON.stringify({pick}.values.variables.chains) === '[\"C\"]' && "
                         f"{pick}.node.querySelector('.messages').textContent === ''")
        ended = run_and_wait(browser, f"{pick}.run()", 0)
        assert ended["ended"]["ok"] is True, ended
        assert last_result(browser, 1)["outputs"]["picked"] == {"chains": ["C"], "strict": True}
    finally:
        served.close()


INVISIBLE = """
from QorvelAPI.molstar import MolstarAPI
from QorvelAPI.plugins import Plugin, PluginBlock

def invisible(block):
    viewer = MolstarAPI()
    viewer.addSphere(0.0, 0.0, 0.0, -2.0, color="#ff0000")
    viewer.addBox([0.0, 0.0, 0.0], [4.0, 4.0, 4.0], color="#0000ff", opacity=2.0)
    viewer.addSphere(1.0, 1.0, 1.0, 1.5, color="#00ff00", opacity=0.5)

plugin = Plugin()
plugin.addBlock(PluginBlock("Invisible", "Draws nothing.", invisible, id="invisible"))
"""


def test_viewer_actions_that_draw_nothing_get_a_badge_and_a_warning(browser, tmp_path):
    from test_devhost_cli import make_plugin

    served = Served(make_plugin(tmp_path / "invisible", INVISIBLE), tmp_path)
    try:
        open_page(browser, served)
        state = run_and_wait(browser, f"{card('demo_tools.invisible')}.run()", 3)
        assert (state["applied"], state["failed"]) == (3, 0)
        badges = browser.evaluate("Array.from(document.querySelectorAll('#viewer-errors li')).map((li) => li.textContent)")
        assert badges == ["viewer action #1 (addSphere): radius -2 is negative: nothing is drawn",
                          "viewer action #2 (addBox): opacity 2 is outside 0..1: nothing is drawn"]
        assert [m["message"] for m in last_result(browser, 1)["messages"]] == [
            "block demo_tools.invisible (#1): viewer action addSphere: radius -2 is negative: nothing is drawn",
            "block demo_tools.invisible (#1): viewer action addBox: opacity 2 is outside 0..1: nothing is drawn"]
    finally:
        served.close()


SECOND_BLOCK = """
plugin.addBlock(PluginBlock("Second", "Added while the page was open.", pick, id="second"))
"""


def test_a_changed_plugin_reloads_on_the_open_page_and_keeps_the_typed_values(browser, tmp_path):
    from test_devhost_cli import make_plugin

    folder = make_plugin(tmp_path / "growing", CHOOSER)
    served = Served(folder, tmp_path)
    watch = watch_plugin(served.server, interval=0.1)
    pick = card("demo_tools.pick")
    try:
        open_page(browser, served)
        browser.evaluate(f"{pick}.node.querySelectorAll('[data-variable=chains] input')[1].click()")
        with open(os.path.join(folder, "main.py"), "a") as script:
            script.write(SECOND_BLOCK)
        notice = browser.wait_for("qorvelPage.cards.length === 2 && document.getElementById('notice').textContent", 60)
        assert re.fullmatch(r"plugin reloaded at .+ \(0 problems\)", notice), notice
        assert browser.evaluate(f"{pick}.values.variables.chains") == ["A", "B"]
        assert browser.evaluate(f"Array.from({pick}.node.querySelectorAll('[data-variable=chains] input'))"
                                f".map((b) => b.checked)") == [True, True, False]
        assert browser.evaluate("Array.from(document.querySelectorAll('.editor-palette li')).map((li) => li.dataset.block)") == [
            "demo_tools.pick", "demo_tools.second"]
    finally:
        watch.stop()
        served.close()
        browser.evaluate("localStorage.clear()")


# Cells of the card tables that stick out of their card, and where the side pane is after a scroll.
LAYOUT = """(() => {
    const out = [];
    for (const card of document.querySelectorAll("#blocks .card")) {
        const edge = card.getBoundingClientRect().right;
        for (const cell of card.querySelectorAll("td, th, input, select, textarea")) {
            if (cell.getBoundingClientRect().right > edge + 1) out.push(`${card.dataset.block} ${cell.tagName}`);
        }
    }
    window.scrollTo(0, document.body.scrollHeight);
    const side = document.querySelector("#side").getBoundingClientRect();
    return { overflowing: [...new Set(out)], sideTop: side.top, sideBottom: side.bottom };
})()"""


def test_cards_fit_and_the_side_pane_stays_in_view_at_1280_by_900(browser, example):
    browser.page("Emulation.setDeviceMetricsOverride", width=1280, height=900, deviceScaleFactor=1, mobile=False)
    try:
        layout = browser.evaluate(LAYOUT)
    finally:
        browser.evaluate("window.scrollTo(0, 0)")
        browser.page("Emulation.clearDeviceMetricsOverride")
    assert layout["overflowing"] == [] and 0 <= layout["sideTop"] < 900, layout


def test_typed_values_survive_a_reload_until_reset(browser, example):
    screen = card("example_plugin.screen_ligands")
    field = f"{screen}.node.querySelector('table.variables [data-variable=threshold] input')"
    open_page(browser, example)
    try:
        assert browser.evaluate(set_field(field, "-8.25"))
        open_page(browser, example)
        assert browser.evaluate(f"{field}.value") == "-8.25"
        browser.evaluate(f"{screen}.node.querySelector('button.reset').click()")
        assert browser.evaluate(f"{field}.value") != "-8.25"
        open_page(browser, example)
        assert browser.evaluate(f"{field}.value") != "-8.25"
    finally:
        browser.evaluate("localStorage.clear()")
