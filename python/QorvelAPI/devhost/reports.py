"""The reports of ``qorvel-plugin test``: a summary for a person, JUnit XML for CI, a self-contained HTML page.

The JUnit file has one test suite for the case files and one for the pytest files; the HTML page
needs nothing but itself (styles inline, no scripts, no links), and shows for each case its
outcome, why it failed, its outputs, logs and the viewer actions its blocks sent.
"""

from __future__ import annotations

import html
import json
import os
import time
import xml.etree.ElementTree as ET
from typing import Any, Dict, List

from .capture import entry_line
from .cases import Outcome, TestReport

MARKS = {"passed": "PASS", "failed": "FAIL", "error": "ERROR", "skipped": "SKIP"}


def summary_lines(report: TestReport) -> List[str]:
    lines = []
    for outcome in report.outcomes:
        lines.append(f"{MARKS[outcome.status]:5} {outcome.source}: {outcome.name}  {outcome.seconds:.2f}s")
        for text in outcome.failures + ([outcome.detail] if outcome.detail and outcome.status != "passed" else []):
            lines.extend("      " + line for line in text.splitlines()[-30:])
    cases = sum(1 for o in report.outcomes if o.kind == "case")
    counts = f"{report.count('passed')} passed, {report.count('failed')} failed"
    for status in ("error", "skipped"):
        if report.count(status):
            counts += f", {report.count(status)} {'errors' if status == 'error' else status}"
    lines.append(f"{counts} ({cases} cases, {len(report.outcomes) - cases} pytest tests) in {report.seconds:.1f}s")
    return lines


def as_dict(report: TestReport) -> Dict[str, Any]:
    return {"plugin": report.plugin_id, "folder": report.folder, "ok": report.ok,
            "seconds": round(report.seconds, 3),
            "counts": {s: report.count(s) for s in MARKS},
            "tests": [{"name": o.name, "source": o.source, "kind": o.kind, "status": o.status,
                       "seconds": round(o.seconds, 3), "failures": o.failures, "detail": o.detail,
                       "viewerActions": o.viewer_actions} for o in report.outcomes]}


# -- JUnit XML ------------------------------------------------------------------------------------

def _suite(parent: ET.Element, name: str, outcomes: List[Outcome]) -> None:
    suite = ET.SubElement(parent, "testsuite", name=name, tests=str(len(outcomes)),
                          failures=str(sum(o.status == "failed" for o in outcomes)),
                          errors=str(sum(o.status == "error" for o in outcomes)),
                          skipped=str(sum(o.status == "skipped" for o in outcomes)),
                          time=f"{sum(o.seconds for o in outcomes):.3f}",
                          timestamp=time.strftime("%Y-%m-%dT%H:%M:%S"))
    for outcome in outcomes:
        case = ET.SubElement(suite, "testcase", classname=_classname(outcome.source), name=outcome.name,
                             time=f"{outcome.seconds:.3f}")
        text = "\n".join(outcome.failures + ([outcome.detail] if outcome.detail else []))
        if outcome.status in ("failed", "error"):
            tag = "failure" if outcome.status == "failed" else "error"
            node = ET.SubElement(case, tag, message=(text.splitlines() or [outcome.status])[0])
            node.text = text
        elif outcome.status == "skipped":
            ET.SubElement(case, "skipped", message=outcome.detail.splitlines()[0] if outcome.detail else "")
        result = outcome.result
        if result is not None and (result.logs or result.viewer_actions):
            out = ET.SubElement(case, "system-out")
            out.text = result.logs + "".join(f"viewer action: {_action_line(a)}\n" for a in result.viewer_actions)
        errors = _captured_errors(result)
        if errors:
            ET.SubElement(case, "system-err").text = errors


def _classname(source: str) -> str:
    """The JUnit class of a test file: its path with dots, a pytest file without ".py" and a case
    file's extension joined by "_" ("Tests.test_x", "Tests.cases_json"), since CI viewers take
    the last dot as the start of the class name."""
    stem, extension = os.path.splitext(source)
    name = stem if extension == ".py" else stem + extension.replace(".", "_")
    return name.replace(os.sep, ".").replace("/", ".")


def _captured_errors(result: Any) -> str:
    """What the blocks wrote to standard error and logged, block by block, in order."""
    blocks = [] if result is None else list(result.blocks) if hasattr(result, "blocks") else [result]
    return "".join(entry_line(e) for block in blocks for e in block.output if e["stream"] != "stdout")


def _report_folder(path: str) -> None:
    """A CI names its reports folder before anything made it (reports/junit.xml)."""
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, exist_ok=True)


def write_junit(report: TestReport, path: str) -> None:
    root = ET.Element("testsuites", name=f"qorvel-plugin test {report.plugin_id}",
                      tests=str(len(report.outcomes)), failures=str(report.count("failed")),
                      errors=str(report.count("error")), time=f"{report.seconds:.3f}")
    _suite(root, f"{report.plugin_id}.cases", [o for o in report.outcomes if o.kind == "case"])
    _suite(root, f"{report.plugin_id}.pytest", [o for o in report.outcomes if o.kind == "pytest"])
    ET.indent(root)
    _report_folder(path)
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)


# -- HTML -----------------------------------------------------------------------------------------

STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 2em; color: #222; }
h1 { font-size: 1.4em; } table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .3em .6em; border-bottom: 1px solid #ddd; vertical-align: top; }
.passed { color: #17702a; } .failed, .error { color: #b3261e; } .skipped { color: #777; }
pre { background: #f6f6f6; padding: .5em; overflow-x: auto; margin: .3em 0; white-space: pre-wrap; }
details { margin: .3em 0; } summary { cursor: pointer; } ol.actions { margin: 0; padding-left: 1.4em; }
"""


def _action_line(action: Any) -> str:
    if isinstance(action, dict):
        return f"{action.get('type', '?')} {json.dumps(action.get('data'), default=repr)}"
    return json.dumps(action, default=repr)


def _pre(text: str) -> str:
    return f"<pre>{html.escape(text)}</pre>"


def _details(outcome: Outcome) -> str:
    parts = []
    if outcome.failures:
        parts.append("<b>Failures</b>" + _pre("\n".join(outcome.failures)))
    if outcome.detail and outcome.status != "passed":
        parts.append("<b>Detail</b>" + _pre(outcome.detail))
    result = outcome.result
    if result is not None:
        blocks = [result] if not hasattr(result, "blocks") else list(result.blocks)
        for block in blocks:
            title = f"{block.block_id} (#{block.placed_id}): {block.status}"
            body = ["<b>Outputs</b>" + _pre(json.dumps(block.outputs, indent=2, default=repr))]
            if block.job is not None:
                body.append(f"<b>Job</b> {html.escape(str(block.job.id))}: {html.escape(block.job.state)}, "
                            f"{block.job.time:.1f}s")
            if block.error:
                body.append("<b>Error</b>" + _pre(block.error))
            if block.logs:
                body.append("<b>Logs</b>" + _pre(block.logs))
            actions = "".join(f"<li><code>{html.escape(_action_line(a))}</code></li>" for a in block.viewer_actions)
            body.append(f"<b>Viewer actions ({len(block.viewer_actions)})</b><ol>{actions}</ol>")
            opened = " open" if outcome.status in ("failed", "error") else ""
            parts.append(f"<details{opened}><summary>{html.escape(title)}</summary>{''.join(body)}</details>")
    return "".join(parts)


def _action_types(actions: List[Any]) -> str:
    if not actions:
        return "none"
    items = "".join(f"<li>{html.escape(str(a.get('type') if isinstance(a, dict) else a))}</li>" for a in actions)
    return f"<ol class=\"actions\">{items}</ol>"


def render_html(report: TestReport) -> str:
    rows = []
    for outcome in report.outcomes:
        rows.append(f"<tr><td class=\"{outcome.status}\">{MARKS[outcome.status]}</td>"
                    f"<td>{html.escape(outcome.name)}<br><small>{html.escape(outcome.source)}</small></td>"
                    f"<td>{outcome.seconds:.2f}s</td><td>{_action_types(outcome.viewer_actions)}</td>"
                    f"<td>{_details(outcome)}</td></tr>")
    title = f"Tests of plugin {report.plugin_id}"
    totals = html.escape(summary_lines(report)[-1])
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{html.escape(title)}</title><style>{STYLE}</style></head><body>"
            f"<h1>{html.escape(title)}</h1><p>{html.escape(report.folder)}</p><p><b>{totals}</b></p>"
            "<table><thead><tr><th>Result</th><th>Test</th><th>Time</th><th>Viewer actions</th><th>Details</th>"
            f"</tr></thead><tbody>{''.join(rows)}</tbody></table></body></html>\n")


def write_html(report: TestReport, path: str) -> None:
    _report_folder(path)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(render_html(report))
