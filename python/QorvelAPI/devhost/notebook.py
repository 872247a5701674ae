"""HTML tables of the ``PluginHost`` results, shown by a notebook in place of their repr.

Each function takes one result object and returns a self-contained HTML fragment: the outputs,
logs, job, viewer actions and error of a run, a row per placement of a flow, the problems of a
check. Every text that comes from the plugin is escaped.
"""

from __future__ import annotations

import html
import json
from typing import Any, Iterable, Sequence

STYLE = ("<style>.qorvel-result table{border-collapse:collapse;margin:.3em 0}"
         ".qorvel-result th,.qorvel-result td{border:1px solid #ccc;padding:.2em .5em;text-align:left;"
         "vertical-align:top}.qorvel-result pre{margin:0;white-space:pre-wrap}"
         ".qorvel-result .error{color:#b3261e}</style>")


def _text(value: Any) -> str:
    return html.escape(str(value))


def _json(value: Any) -> str:
    try:
        text = json.dumps(value, ensure_ascii=False, default=repr)
    except (TypeError, ValueError):  # a circular value
        text = repr(value)
    return f"<code>{html.escape(text)}</code>"


def _table(headers: Sequence[str], rows: Iterable[Sequence[str]]) -> str:
    """Cells are HTML already (escaped by their makers)."""
    head = "".join(f"<th>{_text(h)}</th>" for h in headers)
    body = "".join("<tr>" + "".join(f"<td>{cell}</td>" for cell in row) + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _section(title: str, content: str) -> str:
    return f"<h4>{_text(title)}</h4>{content}"


def _wrap(title: str, *parts: str) -> str:
    return f"{STYLE}<div class=\"qorvel-result\"><h3>{_text(title)}</h3>{''.join(p for p in parts if p)}</div>"


def job_html(job: Any) -> str:
    rows = [("id", _text(job.id)), ("state", _text(job.state)), ("time", f"{job.time:.1f} s")]
    if job.detailed_status:
        rows.append(("detailed status", _text(job.detailed_status)))
    for name in ("stdout", "stderr"):
        text = getattr(job, name)
        if text:
            rows.append((name, f"<pre>{_text(text)}</pre>"))
    return _table(("job", ""), rows)


def actions_html(actions: Sequence[Any]) -> str:
    rows = [(str(number), _text(a.get("type", "?")) if isinstance(a, dict) else "?",
             _json(a.get("data") if isinstance(a, dict) else a)) for number, a in enumerate(actions, 1)]
    return _table(("#", "action", "data"), rows)


def error_html(error: str, traceback: str | None) -> str:
    trace = f"<pre>{_text(traceback)}</pre>" if traceback else ""
    return f"<p class=\"error\">{_text(error)}</p>{trace}"


def run_html(result: Any) -> str:
    title = f"{result.block_id} (#{result.placed_id}): {result.status}, {result.seconds:.2f} s"
    outputs = _table(("output", "value"), ((_text(k), _json(v)) for k, v in result.outputs.items()))
    return _wrap(
        title,
        _section("Outputs", outputs) if result.outputs else "",
        _section("Logs", f"<pre>{_text(result.logs)}</pre>") if result.logs else "",
        _section("Job", job_html(result.job)) if result.job is not None else "",
        _section("Viewer actions", actions_html(result.viewer_actions)) if result.viewer_actions else "",
        _section("Error", error_html(result.error, result.traceback)) if result.error else "")


def flow_html(result: Any) -> str:
    rows = []
    for block in result.blocks:
        outputs = "<br>".join(f"{_text(k)} = {_json(v)}" for k, v in block.outputs.items())
        job = f"{_text(block.job.id)} {_text(block.job.state)}" if block.job is not None else ""
        error = f"<span class=\"error\">{_text(block.error)}</span>" if block.error else ""
        rows.append((str(block.placed_id), _text(block.block_id), _text(block.status), outputs, job,
                     str(len(block.viewer_actions)), error))
    errors = [b for b in result.blocks if b.error]
    return _wrap(
        f"flow {result.name}: {'ok' if result.ok else 'failed'} (queue: {result.queue})",
        _table(("#", "block", "status", "outputs", "job", "viewer actions", "error"), rows),
        _section("Logs", f"<pre>{_text(result.logs)}</pre>") if result.logs else "",
        _section("Viewer actions", actions_html(result.viewer_actions)) if result.viewer_actions else "",
        "".join(_section(f"Error of #{b.placed_id} {b.block_id}", error_html(b.error, b.traceback))
                for b in errors))


def check_html(result: Any) -> str:
    rows = ((_text(p.level), _text(p.message)) for p in result.problems)
    found = _table(("level", "problem"), rows) if result.problems else "<p>no problems found</p>"
    return _wrap(f"check: {'passes' if result.ok else 'fails'}", found)


def dry_run_html(result: Any) -> str:
    scripts = "".join(f"<pre>{_text(getattr(s, 'text', s))}</pre>" for s in result.scripts)
    return run_html(result.result) + _wrap("batch scripts that would be submitted", scripts or "<p>none</p>")
