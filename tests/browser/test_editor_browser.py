"""The flow editor of `qorvel-plugin serve` in a real browser, driven with mouse and key events."""

import json
import shutil
from pathlib import Path

import pytest

from serve_support import Served

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "example_plugin"
SHOTS = ROOT / "build" / "screenshots"
NODES_FINISHED = "[...qorvelEditor.nodes.values()].every((n) => n.classList.contains('state-finished'))"


def centre(browser, selector):
    return browser.evaluate(f"(() => {{ const e = document.querySelector({json.dumps(selector)}); e.scrollIntoView({{block: 'nearest', inline: 'nearest'}}); "
                            f"const r = e.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; }})()")


def mouse(browser, kind, x, y, buttons=0):
    browser.page("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left" if kind != "mouseMoved" else "none",
                 buttons=buttons, clickCount=1 if kind != "mouseMoved" else 0)


def drag(browser, start, end, steps=6):
    mouse(browser, "mousePressed", *start, buttons=1)
    for step in range(1, steps + 1):
        mouse(browser, "mouseMoved", start[0] + (end[0] - start[0]) * step / steps,
              start[1] + (end[1] - start[1]) * step / steps, buttons=1)
    mouse(browser, "mouseReleased", *end)


def click(browser, selector):
    x, y = centre(browser, selector)
    mouse(browser, "mousePressed", x, y, buttons=1)
    mouse(browser, "mouseReleased", x, y)


def key(browser, name, code, modifiers=0):
    for kind in ("rawKeyDown", "keyUp"):
        browser.page("Input.dispatchKeyEvent", type=kind, key=name, code=code, modifiers=modifiers,
                     windowsVirtualKeyCode=ord(name.upper()) if len(name) == 1 else 46)


def port(placed, kind, variable):
    return f".node[data-placed='{placed}'] .port.{kind}[data-variable='{variable}'] .dot"


@pytest.fixture(scope="module")
def editor(browser, tmp_path_factory):
    folder = tmp_path_factory.mktemp("editor") / "example"
    shutil.copytree(EXAMPLE, folder)
    served = Served(folder, folder.parent)
    browser.page("Emulation.setDeviceMetricsOverride", width=1400, height=900, deviceScaleFactor=1, mobile=False)
    browser.navigate(f"http://127.0.0.1:{served.port}/?lean=1")
    browser.wait_for("window.qorvelPage && qorvelPage.ready && window.qorvelEditor", 120)
    click(browser, "#view-toggle")
    browser.wait_for("qorvelEditor.doc && qorvelEditor.listed")
    yield served, folder
    browser.page("Emulation.clearDeviceMetricsOverride")
    served.close()


def test_compose_connect_edit_save_and_run(browser, editor, cli):
    served, folder = editor
    canvas = browser.evaluate("(() => { const r = document.querySelector('.editor-canvas').getBoundingClientRect(); return [r.x, r.y]; })()")
    drag(browser, centre(browser, ".editor-palette [data-block='example_plugin.ligand_count']"), (canvas[0] + 40, canvas[1] + 60))
    drag(browser, centre(browser, ".editor-palette [data-block='example_plugin.screen_ligands']"), (canvas[0] + 300, canvas[1] + 60))
    assert browser.wait_for("qorvelEditor.nodes.size === 2 && qorvelEditor.doc.blocks.map((b) => [b.placedID, b.blockID])") == [
        [1, "example_plugin.ligand_count"], [2, "example_plugin.screen_ligands"]]

    drag(browser, centre(browser, port(1, "out", "ligand_count")), centre(browser, port(2, "in", "ligand_count")))
    browser.wait_for("qorvelEditor.paths.size === 1")
    drag(browser, centre(browser, port(1, "out", "ligand_count")), centre(browser, port(2, "var", "box")))
    assert browser.wait_for("document.querySelector('.editor-refusal')?.textContent") == (
        "flow 'New flow': connection #1.ligand_count -> #2.box: the output is integer, the destination group; "
        "these types cannot be connected")
    assert browser.evaluate("[qorvelEditor.paths.size, qorvelEditor.doc.connections.length]") == [1, 1]

    position = "qorvelEditor.placement(2).state.position"
    before = browser.evaluate(position)
    start = centre(browser, ".node[data-placed='2'] header")
    drag(browser, start, (start[0] + 60, start[1] + 30))
    assert browser.evaluate(position) == {"x": before["x"] + 60, "y": before["y"] + 30}
    key(browser, "z", "KeyZ", modifiers=2)  # Ctrl-Z: the move, then the connection
    assert browser.wait_for(f"qorvelEditor.nodes.size && {position}") == before
    key(browser, "z", "KeyZ", modifiers=2)
    browser.wait_for("qorvelEditor.paths.size === 0")
    key(browser, "z", "KeyZ", modifiers=2 | 8)  # Ctrl-Shift-Z
    browser.wait_for("qorvelEditor.paths.size === 1")
    click(browser, ".node[data-placed='1'] header")
    key(browser, "Delete", "Delete")
    browser.wait_for("qorvelEditor.nodes.size === 1 && qorvelEditor.paths.size === 0")
    key(browser, "z", "KeyZ", modifiers=2)
    browser.wait_for("qorvelEditor.nodes.size === 2 && qorvelEditor.paths.size === 1")

    click(browser, ".node[data-placed='2'] header")
    field = ".editor-panel [data-variable='threshold'] input"
    click(browser, field)
    browser.evaluate(f"document.querySelector({json.dumps(field)}).select()")
    browser.page("Input.insertText", text="-7.5")
    browser.wait_for("qorvelEditor.doc.blocks[1].state.variables.find((e) => e.id === 'threshold').value === -7.5")
    # A custom variable takes its value from its extension page, as on the block cards.
    click(browser, ".editor-panel [data-variable='weights'] .open-page")
    frame = "document.getElementById('page-frame').contentDocument"
    browser.wait_for(f"{frame}.querySelector('[name=electrostatics]').value === '0.5'")
    browser.evaluate(f"(() => {{ const form = {frame}.getElementById('weights'); "
                     f"for (const input of form.querySelectorAll('input')) input.value = '2'; form.requestSubmit(); }})()")
    browser.wait_for("qorvelEditor.doc.blocks[1].state.variables.find((e) => e.id === 'weights')?.value?.vdw === 2")
    browser.evaluate("document.getElementById('page-dialog').close()")

    browser.evaluate("qorvelEditor.doc.name = 'Edited in the browser'; qorvelEditor.doc.savedID = 'edited-1'")
    click(browser, "[data-action=save]")
    saved = folder / "Flows" / "Edited-in-the-browser.flow"
    browser.wait_for("qorvelEditor.savedPath")
    document = json.loads(saved.read_text())
    screen = document["blocks"][1]["state"]
    values = {e["id"]: e["value"] for e in screen["variables"]}
    assert values["threshold"] == -7.5 and values["weights"] == {"vdw": 2, "hbond": 2, "electrostatics": 2}
    assert [c["destination"]["variableID"] for c in document["connections"]] == ["ligand_count"]
    code, out, err = cli("check", folder)
    assert code == 0, out + err

    browser.evaluate("qorvelEditor.open({name: 'other', savedID: 'x', blocks: [], connections: []})")
    browser.evaluate("qorvelEditor.openListed(qorvelEditor.listed.find((f) => f.savedID === 'edited-1'))")
    browser.wait_for("qorvelEditor.nodes.size === 2")
    browser.evaluate("window.seen = []; addEventListener('qorvel-run-event', () => seen.push("
                     "[...qorvelEditor.states.values()].map((s) => s.status).join()))")
    click(browser, "[data-action=run]")
    browser.wait_for(NODES_FINISHED, 60)
    seen = browser.evaluate("seen")
    assert "waiting,waiting" in seen and any("running" in s for s in seen)


def test_screen_and_refine_before_and_after_a_run(browser, editor):
    browser.page("Emulation.setDeviceMetricsOverride", width=1920, height=1000, deviceScaleFactor=1, mobile=False)
    browser.evaluate("qorvelEditor.openListed(qorvelEditor.listed.find((f) => f.name === 'Screen and refine'))")
    browser.wait_for("qorvelEditor.nodes.size === 4 && qorvelEditor.paths.size === 3")
    click(browser, "[data-action=fit]")
    browser.screenshot(str(SHOTS / "editor_before_run.png"))
    click(browser, "[data-action=run]")
    # The cluster job block shows its job while it waits, then every block has finished.
    job = browser.wait_for("document.querySelector(\".node[data-placed='3'] .run-state\").textContent.match(/job \\S+ (PENDING|RUNNING)/)?.[0]", 60)
    assert job.startswith("job ")
    browser.wait_for(NODES_FINISHED + " && qorvelPage.viewer && qorvelPage.viewer.done >= 6", 120)
    click(browser, ".node[data-placed='2'] header")
    assert "best_score" in browser.wait_for("document.querySelector('.editor-panel .node-result')?.textContent")
    browser.screenshot(str(SHOTS / "editor_after_run.png"))
