"""The flow editor with a large flow in headless Chromium: 200 placements, 400 connections, no positions.

Prints the time to open the flow (fetching it, drawing it and laying it out), the time of an edit
(the history's snapshot and the redraw of the graph), and the time per drag frame while a node with
connections is dragged: from each pointer move to the end of the frame that shows it. A benchmark, not a test: it prints numbers and checks nothing.
"""

import json
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "python"), str(ROOT / "tests"), str(ROOT / "tests" / "browser")]

from cdp import Browser  # noqa: E402
from serve_support import Served  # noqa: E402

COUNT, SCREEN = "example_plugin.ligand_count", "example_plugin.screen_ligands"


def end(placed, block, variable):
    return {"placedID": placed, "blockID": block, "variableID": variable}


def large_flow(pairs: int = 100) -> dict:
    """Ligand counts 1..pairs feeding screens pairs+1..2*pairs, four connections per pair."""
    blocks = [{"blockID": COUNT, "placedID": i + 1, "state": {}} for i in range(pairs)]
    blocks += [{"blockID": SCREEN, "placedID": pairs + i + 1, "state": {}} for i in range(pairs)]
    screen = lambda i: pairs + 1 + i % pairs  # noqa: E731
    connections = []
    for i in range(pairs):
        connections.append({"origin": end(i + 1, COUNT, "ligand_count"), "destination": end(screen(i), SCREEN, "ligand_count")})
        connections.append({"origin": end(i + 1, COUNT, "ligand_count"), "destination": end(screen(i + 1), SCREEN, "threshold")})
        connections.append({"origin": end(i + 1, COUNT, "ligand_count"), "destination": end(screen(i + 2), SCREEN, "ligand_count")})
        if i + 1 < pairs:
            connections.append({"origin": end(screen(i), SCREEN, "best_score"), "destination": end(screen(i + 1), SCREEN, "threshold")})
    connections.append({"origin": end(1, COUNT, "ligand_count"), "destination": end(screen(pairs // 2), SCREEN, "threshold")})
    return {"name": "Large", "savedID": "large", "blocks": blocks, "connections": connections}


FRAME_PROBE = """(() => {
    window.frameSamples = [];
    addEventListener("pointermove", () => {
        const moved = performance.now();
        requestAnimationFrame(() => setTimeout(() => frameSamples.push(performance.now() - moved)));
    });
})()"""


def main() -> None:
    work = Path(tempfile.mkdtemp(prefix="qorvel-bench-editor-"))
    folder = work / "example"
    shutil.copytree(ROOT / "examples" / "example_plugin", folder)
    flow = large_flow()
    (folder / "Flows" / "large.flow").write_text(json.dumps(flow, indent=4) + "\n")
    served = Served(folder, work)
    browser = Browser(1600, 1000)
    try:
        browser.navigate(f"http://127.0.0.1:{served.port}/?lean=1")
        browser.wait_for("window.qorvelEditor && qorvelEditor.blocks.size", 120)
        browser.evaluate("document.getElementById('view-toggle').click()")
        browser.wait_for("qorvelEditor.listed && qorvelEditor.listed.length")
        opened = []
        for _ in range(3):
            opened.append(browser.evaluate("""(async () => { const started = performance.now();
                await qorvelEditor.openListed(qorvelEditor.listed.find((f) => f.savedID === 'large'));
                await new Promise((r) => requestAnimationFrame(() => setTimeout(r)));
                return [performance.now() - started, qorvelEditor.timings.draw, qorvelEditor.timings.layout, qorvelEditor.layoutTime]; })()"""))
        shape = browser.evaluate("[qorvelEditor.nodes.size, qorvelEditor.paths.size]")
        edits = [browser.evaluate("(() => { const started = performance.now(); qorvelEditor.change(() => {}); "
                                  "return performance.now() - started; })()") for _ in range(5)]
        browser.evaluate("qorvelEditor.undoStack = []")
        browser.evaluate(FRAME_PROBE)
        # The screen with the most connections, brought into view, dragged by its header.
        x, y = browser.evaluate("""(() => { const node = qorvelEditor.nodes.get(151); node.scrollIntoView({block: 'center', inline: 'center'});
            const r = node.querySelector('header').getBoundingClientRect(); return [r.x + 20, r.y + 5]; })()""")
        browser.page("Input.dispatchMouseEvent", type="mousePressed", x=x, y=y, button="left", buttons=1, clickCount=1)
        round_trips = []
        for step in range(1, 61):
            started = time.perf_counter()
            browser.page("Input.dispatchMouseEvent", type="mouseMoved", x=x + step * 3, y=y + step * 2, button="none", buttons=1)
            round_trips.append((time.perf_counter() - started) * 1000)
        browser.page("Input.dispatchMouseEvent", type="mouseReleased", x=x + 180, y=y + 120, button="left", clickCount=1)
        browser.wait_for("frameSamples.length >= 60")
        frames = browser.evaluate("frameSamples")
        edges_of_node = browser.evaluate("(qorvelEditor.touching.get(151) || []).length")
    finally:
        browser.close()
        served.close()
        shutil.rmtree(work, ignore_errors=True)
    print(f"flow of {shape[0]} placements and {shape[1]} connections, no positions (laid out on open)")
    best = min(opened)
    print(f"open (fetch, draw, lay out, first frame): {best[0]:.0f} ms best of 3 (drawing {best[1]:.0f} ms, layout "
          f"{best[2]:.0f} ms of which the layout library {best[3]:.0f} ms), runs {', '.join(f'{t[0]:.0f}' for t in opened)} ms")
    print(f"an edit (history snapshot, redraw of the changed nodes and of every connection): median {statistics.median(edits):.0f} ms")
    print(f"drag of a node with {edges_of_node} connections, 60 moves: per frame median {statistics.median(frames):.1f} ms, "
          f"95th percentile {sorted(frames)[56]:.1f} ms; input event round trip median {statistics.median(round_trips):.1f} ms")


if __name__ == "__main__":
    main()
