"""``qorvel-plugin``: load, check and run a plugin on this machine without the platform.

    qorvel-plugin check PLUGIN_DIR [--strict]
    qorvel-plugin describe PLUGIN_DIR [BLOCK_ID]
    qorvel-plugin run PLUGIN_DIR BLOCK_ID [--set VAR=VALUE ...] [--input ID=VALUE ...] [--dry-run]
    qorvel-plugin flow PLUGIN_DIR FLOW_FILE_OR_NAME [--set PLACED_ID.VAR=VALUE ...] [--input PLACED_ID.ID=VALUE ...]
    qorvel-plugin config PLUGIN_DIR [--set VAR=VALUE ...]
    qorvel-plugin remotes [NAME ...]
    qorvel-plugin test PLUGIN_DIR [--junit-xml FILE] [--html FILE]
    qorvel-plugin new NAME [--with slurm,page,config]
    qorvel-plugin serve PLUGIN_DIR [--port N] [--host 127.0.0.1]

Every command takes ``--json``. Problems are reported one per line on standard error
("error: ..." / "warning: ..."); the exit status is 0 on success, 1 when loading or running
failed or ``check`` found errors (or warnings, with ``--strict``), 2 for a wrong command line,
130 when interrupted. Values are checked against their variables' types (see ``values``);
"group.member=VALUE" sets one member of a group.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Callable

from . import serve
from .api import DryRunResult, PluginHost
from .cases import DEFAULT_TIMEOUT, TestReport, load_failure, run_tests
from .dryrun import RecordingQueue
from .flow import Flow, FlowError, register_flow_manager
from .loader import LoadedPlugin, PluginLoadError, Problem, collect_problems, load_plugin, one_line
from .flowcheck import input_variables
from .pluginchecks import plugin_problems
from .following import DEFAULT_RECONNECT_SECONDS
from .remote_config import queue_description
from .run import BlockResult, FlowRun, HostError, Interrupted, LocalHost
from .remotes_command import add_remotes_command, cmd_remotes
from .reports import as_dict, summary_lines, write_html, write_junit
from .runner import QueueError
from .scaffold import EXTRAS, ScaffoldError, create_plugin, parse_extras
from .values import ValueCheckError

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class UsageError(Exception):
    pass


# -- small helpers ------------------------------------------------------------------------------

# Variable types whose values are text: a value given for one is kept as typed unless it is a JSON
# string ("--set name=123" sets the text 123, not a number).
TEXT_TYPES = frozenset({"string", "text_area", "file", "folder", "structure", "smiles", "code"})


def parse_value(text: str, variable_type: str | None = None) -> Any:
    """A command-line value: JSON where it parses, else the text itself."""
    try:
        value = json.loads(text)
    except ValueError:
        return text
    if variable_type in TEXT_TYPES and not isinstance(value, str):
        return text
    return value


def parse_assignments(items: list[str] | None, option: str) -> dict:
    """NAME=VALUE items as a dictionary of the texts (the values are parsed once their types are known)."""
    values: dict = {}
    for item in items or []:
        name, sep, text = item.partition("=")
        if not sep or not name:
            raise UsageError(f"{option} expects NAME=VALUE, got '{item}'")
        values[name] = text
    return values


def typed_values(texts: dict, variables) -> dict:
    """The values of NAME=TEXT items, each parsed for its variable's type; "group.member" sets one
    member of a group (the other members keep their values)."""
    declared = {v.id: v for v in variables}
    values: dict = {}
    for name, text in texts.items():
        head, dot, member = name.partition(".")
        group = declared.get(head)
        if name not in declared and dot and group is not None and str(getattr(group, "type", "")) == "group":
            members = {m.id: str(getattr(m, "type", "")) for m in group.variables}
            target = values.get(head)
            if not isinstance(target, dict):
                target = values[head] = {}
            target[member] = parse_value(text, members.get(member))
        else:
            values[name] = parse_value(text, str(getattr(declared[name], "type", "")) if name in declared else None)
    return values


def placed_assignments(flow: Flow, texts: dict, option: str) -> dict[int, dict]:
    """PLACED_ID.NAME=TEXT items of ``flow`` as texts by placement."""
    by_placement: dict[int, dict] = {}
    known = {b.placedID for b in flow.blocks}
    for name, text in texts.items():
        head, dot, rest = name.partition(".")
        if not dot or not head.isdigit() or not rest:
            raise UsageError(f"{option} of a flow expects PLACED_ID.NAME=VALUE, got '{name}={text}'")
        if int(head) not in known:
            raise UsageError(f"{option} {name}: flow '{flow.name}' has no block with placedID {head} "
                             f"(placedIDs: {', '.join(str(p) for p in sorted(known)) or 'none'})")
        by_placement.setdefault(int(head), {})[rest] = text
    return by_placement


def dumps(value: Any) -> str:
    return json.dumps(value, indent=4, default=lambda v: list(v) if isinstance(v, (set, tuple)) else repr(v))


def short(value: Any, limit: int = 200) -> str:
    text = json.dumps(value, default=repr) if not isinstance(value, str) else json.dumps(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


class Output:
    """Writes results for a person or as one JSON document; problems go to standard error."""

    def __init__(self, as_json: bool):
        self.as_json = as_json
        self.tty = sys.stderr.isatty()
        self._progress_open = False
        self._last_state: str | None = None

    def problem(self, problem: Problem) -> None:
        self.end_progress()
        print(problem.line(), file=sys.stderr)
        if problem.detail and not self.as_json:
            print(problem.detail, file=sys.stderr)

    def problems(self, problems: list[Problem]) -> None:
        for p in problems:
            self.problem(p)

    def progress(self, text: str, final: bool) -> None:
        if self.tty:
            print("\r\033[K" + text, end="\n" if final else "", file=sys.stderr, flush=True)
            self._progress_open = not final
        else:
            # Without a terminal: one line per change of state (the text without its clock), not per poll.
            state = text.rsplit("  ", 1)[0]
            if final or state != self._last_state:
                print(text, file=sys.stderr, flush=True)
            self._last_state = None if final else state

    def end_progress(self) -> None:
        if self._progress_open:
            print(file=sys.stderr)
            self._progress_open = False


# -- describing a plugin ------------------------------------------------------------------------

def _variable_summary(variable) -> str:
    kind = str(getattr(variable, "type", "?"))
    if kind == "group":
        members = ", ".join(_variable_summary(v) for v in getattr(variable, "variables", []))
        return f"{variable.id} (group: {members})"
    return f"{variable.id} ({kind})"


def _block_info(block) -> dict:
    return {
        "id": block.id,
        "name": block.name,
        "type": str(block.TYPE),
        "variables": [_variable_summary(v) for v in block._variables],
        "inputGroups": {gid: [_variable_summary(v) for v in group.variables]
                        for gid, group in block._inputGroups.items()},
        "outputs": [_variable_summary(v) for v in block._outputs],
    }


def _page_info(page) -> dict:
    return {
        "id": page.id, "name": page.name, "html": page.html, "hidden": bool(page.hidden),
        "endpoints": [{"url": f"/plugins/pages/{page.id}{endpoint.url}", "methods": list(endpoint.methods)}
                      for endpoint in page.endpoints],
    }


def inspect_plugin(loaded: LoadedPlugin, config_path: str | None = None) -> tuple[dict, list[Problem]]:
    """What ``check`` reports, and the further problems it finds (pages, preset flows, configuration)."""
    plugin = loaded.plugin
    problems: list[Problem] = []
    pages = []
    for page in plugin._pages:
        pages.append(_page_info(page))
        html = os.path.join(plugin._path, "Pages", page.html)
        if not os.path.isfile(html):
            problems.append(Problem("warning", f"page {page.id}: {os.path.join('Pages', page.html)} not found"))
    with collect_problems() as collector:
        flows = plugin._flows
    problems.extend(collector.problems)
    host = LocalHost(loaded, config_path=config_path, queue="local")
    flow_entries = []
    for entry in flows:
        flow_entries.append({k: entry[k] for k in ("name", "path", "savedID")})
        try:
            host.check_flow(Flow.read(entry["path"]))
        except FlowError as exc:
            problems.append(Problem("error", f"preset flow {os.path.basename(entry['path'])}: {exc}"))
    problems.extend(plugin_problems(loaded, flow_entries))
    if plugin._configs and os.path.exists(host.config_path):  # check never creates the file
        try:
            problems.extend(host.load_config()[1])
        except HostError as exc:
            problems.append(Problem("error", str(exc)))
    configs = [{"id": c.id, "name": c.name, "variables": [_variable_summary(v) for v in c._variables]}
               for c in plugin._configs]
    meta = loaded.meta
    info = {
        "plugin": {"id": plugin.id, "name": meta.get("name"), "version": meta.get("version"),
                   "author": meta.get("author"), "folder": loaded.folder, "script": loaded.script,
                   "platforms": meta.get("platforms", ["universal"])},
        "blocks": [_block_info(b) for b in plugin._blocks],
        "pages": pages,
        "configs": configs,
        "flows": flow_entries,
    }
    return info, problems


def print_check(info: dict) -> None:
    p = info["plugin"]
    print(f"plugin {p['id']}: {p['name']} {p['version']} by {p['author']}")
    print(f"  folder {p['folder']}")
    print(f"blocks ({len(info['blocks'])}):")
    for block in info["blocks"]:
        print(f"  {block['id']}  [{block['type']}]  {block['name']}")
        if block["variables"]:
            print(f"    variables: {', '.join(block['variables'])}")
        for gid, members in block["inputGroups"].items():
            print(f"    inputs ({gid}): {', '.join(members) or '-'}")
        if block["outputs"]:
            print(f"    outputs: {', '.join(block['outputs'])}")
    print(f"pages ({len(info['pages'])}):")
    for page in info["pages"]:
        hidden = " (hidden)" if page["hidden"] else ""
        print(f"  {page['id']}  {page['name']}  Pages/{page['html']}{hidden}")
        for endpoint in page["endpoints"]:
            print(f"    {endpoint['url']}  [{', '.join(endpoint['methods'])}]")
    print(f"configuration blocks ({len(info['configs'])}):")
    for config in info["configs"]:
        print(f"  {config['id']}: {', '.join(config['variables'])}")
    print(f"preset flows ({len(info['flows'])}):")
    for flow in info["flows"]:
        print(f"  {flow['name']}  {os.path.relpath(flow['path'], p['folder'])}  savedID {flow['savedID']}")


# -- printing results ---------------------------------------------------------------------------

def print_result(result: BlockResult, out: Output) -> None:
    print(f"== {result.blockID} (#{result.placedID}) [{result.kind}]  {result.status}  {result.seconds:.2f}s")
    for message in result.messages:
        print(f"   {message.line()}")
    if result.error:
        print(f"   error: {result.error}")
    if result.pluginTraceback:
        print("\n".join("   " + line for line in result.pluginTraceback.splitlines()))
    if result.job:
        job = result.job
        print(f"   job {job.jobID}: {job.status}, {job.seconds:.1f}s" +
              (f" ({job.detailedStatus})" if job.detailedStatus else ""))
        for label, text in (("job stdout", job.stdOut), ("job stderr", job.stdErr)):
            if text and text.strip():
                print(f"   {label}:")
                print("\n".join("     | " + line for line in text.rstrip("\n").splitlines()[-20:]))
    if result.outputs:
        print("   outputs:")
        for key, value in result.outputs.items():
            print(f"     {key} = {short(value)}")
    if result.storedOutputs:
        print(f"   stored outputs: {', '.join(result.storedOutputs)}")
    if result.blockLogs and not result.pluginTraceback and result.blockLogs != result.error:
        print("   logs:")
        print("\n".join("     | " + line for line in result.blockLogs.rstrip("\n").splitlines()))
    if result.printed:
        print("   printed:")
        print("\n".join("     | " + line for line in result.printed.rstrip("\n").splitlines()))
    if result.viewerActions:
        print(f"   viewer actions ({len(result.viewerActions)}):")
        for action in result.viewerActions:
            data = action.get("data") if isinstance(action, dict) else None
            print(f"     {action.get('type') if isinstance(action, dict) else '?'}  {short(data, 90)}")


def print_run(run: FlowRun, out: Output) -> None:
    done = sum(1 for r in run.results if r.status == "ok")
    print(f"flow '{run.flow.name}': {done} of {len(run.results)} blocks finished"
          + ("" if run.ok else " (see errors above)"))
    if run.savedTo:
        print(f"results saved to {run.savedTo}")


# -- commands -----------------------------------------------------------------------------------

def _load(args, out: Output) -> LoadedPlugin:
    loaded = load_plugin(args.plugin_dir, capture_stdout=out.as_json)
    return loaded


def cmd_check(args, out: Output) -> int:
    try:
        report = PluginHost(args.plugin_dir, queue="local", capture_stdout=out.as_json,
                            config_path=args.config).check()
    except PluginLoadError as exc:
        if out.as_json:
            print(dumps({"ok": False, "problems": [p.toDict() for p in exc.problems]}))
        else:
            out.problems(exc.problems)
        return EXIT_FAILED
    info, problems = report.info, report.problems
    # Warnings fail the check only when asked (--strict).
    failed = any(p.level == "error" or args.strict for p in problems)
    if out.as_json:
        info["problems"] = [p.toDict() for p in problems]
        info["ok"] = not failed
        print(dumps(info))
    else:
        print_check(info)
        out.problems(problems)
        print("no problems found" if not problems else f"{len(problems)} problem(s) found", file=sys.stderr)
    return EXIT_FAILED if failed else EXIT_OK


def _report_load_warnings(loaded: LoadedPlugin, out: Output) -> None:
    if not out.as_json:
        out.problems(loaded.problems)


def cmd_describe(args, out: Output) -> int:
    loaded = _load(args, out)
    _report_load_warnings(loaded, out)
    host = LocalHost(loaded, queue="local")
    if args.block_id:
        print(dumps(host.declared(args.block_id)._toDict()))
    else:
        print(dumps([block._toDict() for block in loaded.plugin._blocks]))
    return EXIT_OK


def _host(args, out: Output) -> PluginHost:
    loaded = _load(args, out)
    _report_load_warnings(loaded, out)
    return PluginHost(args.plugin_dir, queue=args.queue, workdir=args.workdir, config_path=args.config,
                      job_timeout=args.job_timeout, poll=args.poll, capture_stdout=out.as_json,
                      reconnect_timeout=args.reconnect_timeout,
                      progress=out.progress, loaded=loaded)


def _announce_queue(host: PluginHost, out: Output, dry_run: bool = False, remotes=()) -> None:
    """Chooses the queue (a dry run uses none) and says which it is: the queue of each named remote
    that a block selects, else this machine's."""
    if not out.as_json:
        named = [] if dry_run else sorted({name for name in remotes if name not in (None, "Local")})
        local = dry_run or not remotes or any(name in (None, "Local") for name in remotes)
        queues = ([RecordingQueue.description if dry_run else host.local.queue.description] if local else [])
        queues += [queue_description(name) for name in named]
        print(f"queue: {'; '.join(queues)}", file=sys.stderr)


def _shower(out: Output):
    """For a person each block is shown as soon as it has run; JSON is one document at the end."""
    def show(result: BlockResult) -> None:
        out.end_progress()
        print_result(result, out)
        sys.stdout.flush()

    return None if out.as_json else show


def _run_and_report(start: Callable[[], FlowRun], out: Output) -> int:
    try:
        run = start()
    except Interrupted as exc:
        if exc.run is None:
            raise
        # The run so far, saved, is still reported (and as one JSON document with --json).
        _finish_run(exc.run, out)
        out.problem(Problem("error", str(exc)))
        return EXIT_INTERRUPTED
    return _finish_run(run, out)


def _finish_run(run: FlowRun, out: Output) -> int:
    if out.as_json:
        print(dumps(run.toDict()))
    else:
        print_run(run, out)
    return EXIT_OK if run.ok else EXIT_FAILED


def cmd_run(args, out: Output) -> int:
    variables = parse_assignments(args.set, "--set")
    inputs = parse_assignments(args.input, "--input")
    host = _host(args, out)
    declared = host.declared(args.block_id)
    _announce_queue(host, out, args.dry_run, [args.remote or declared.selectedRemote])
    group = declared._inputGroups.get(args.input_group or declared.selectedInputGroup)
    variables = typed_values(variables, declared._variables)
    inputs = typed_values(inputs, group.variables if group is not None else [])
    if args.dry_run:
        dry = host.dry_run(args.block_id, variables, inputs, args.input_group, on_result=_shower(out))
        return _finish_dry_run(dry, out)
    return _run_and_report(lambda: host.run(args.block_id, variables, inputs, args.input_group,
                                            on_result=_shower(out), remote=args.remote).flow_run, out)


def _finish_dry_run(dry: DryRunResult, out: Output) -> int:
    if out.as_json:
        document = dry.result.flow_run.toDict()
        document["dryRun"] = {"scripts": [{"path": s.path, "cwd": s.cwd, "script": s.text} for s in dry.scripts]}
        print(dumps(document))
    else:
        print(f"dry run: {len(dry.scripts)} batch script(s) would be submitted")
        for script in dry.scripts:
            print(f"--- {script.path} (job folder {script.cwd}) ---")
            print(script.text.rstrip("\n"))
            print("---")
    return EXIT_OK if dry.ok else EXIT_FAILED


def cmd_flow(args, out: Output) -> int:
    if (args.flow is None) == (args.resume is None):
        raise UsageError("flow: give either FLOW_FILE_OR_NAME or --resume RUN_FOLDER")
    if args.resubmit_failed and args.resume is None:
        raise UsageError("flow: --resubmit-failed goes with --resume RUN_FOLDER")
    if args.resume is not None:
        host = _host(args, out)
        _announce_queue(host, out)
        return _run_and_report(lambda: host.resume(args.resume, args.resubmit_failed, on_result=_shower(out)).raw, out)
    host = _host(args, out)
    flow = host.load_flow(args.flow)
    host.select_remotes(flow, {int(key) if key.isdigit() else key: name
                               for key, name in parse_assignments(args.remote, "--remote").items()})
    _announce_queue(host, out, remotes=[p.state.get("selectedRemote") for p in flow.blocks])
    _apply_overrides(host.local, flow, parse_assignments(args.set, "--set"), parse_assignments(args.input, "--input"))
    return _run_and_report(lambda: host.flow(flow, on_result=_shower(out)).raw, out)


def _apply_overrides(host: LocalHost, flow: Flow, variables: dict, inputs: dict) -> None:
    """``flow --set PLACED_ID.variable=value --input PLACED_ID.input=value``: values for placements,
    applied over the flow file's (they are checked with the rest of the flow before it runs)."""
    for placed_id, texts in placed_assignments(flow, variables, "--set").items():
        placed = flow.placement(placed_id)
        values = typed_values(texts, host.declared_exact(placed)._variables)
        flow.variableValues.setdefault(placed_id, {}).update(values)
    for placed_id, texts in placed_assignments(flow, inputs, "--input").items():
        placed = flow.placement(placed_id)
        placed.inputs.update(typed_values(texts, input_variables(host.declared_exact(placed), placed)))


def cmd_config(args, out: Output) -> int:
    values = parse_assignments(args.set, "--set")
    loaded = _load(args, out)
    _report_load_warnings(loaded, out)
    host = LocalHost(loaded, config_path=args.config, queue="local")
    if not loaded.plugin._configs:
        if out.as_json:
            print(dumps({"plugin": loaded.plugin.id, "path": None, "config": {}}))
        else:
            print(f"plugin {loaded.plugin.id} declares no configuration blocks")
        if values:
            raise HostError("nothing to set: the plugin declares no configuration blocks")
        return EXIT_OK
    values = typed_values(values, [v for block in loaded.plugin._configs for v in block._variables])
    config, problems = host.save_config(values) if values else host.load_config()
    if out.as_json:
        print(dumps({"plugin": loaded.plugin.id, "path": host.config_path, "config": config,
                     "problems": [p.toDict() for p in problems]}))
    else:
        out.problems(problems)
        print(f"configuration of {loaded.plugin.id} ({host.config_path}):")
        for block in loaded.plugin._configs:
            print(f"  {block.id}")
            for variable in block._variables:
                print(f"    {variable.id} = {short(config.get(variable.id))}")
        if values:
            print(f"saved {', '.join(values)}")
    # An unreadable file was set aside and rewritten with the defaults: the values asked for are lost.
    return EXIT_FAILED if any(p.level == "error" for p in problems) else EXIT_OK


def _write_reports(report: TestReport, args) -> None:
    if args.junit_xml:
        write_junit(report, args.junit_xml)
    if args.html:
        write_html(report, args.html)


def cmd_test(args, out: Output) -> int:
    try:
        loaded = _load(args, out)
    except PluginLoadError as exc:  # CI still gets its reports, with the reason
        _write_reports(load_failure(args.plugin_dir, exc.problems), args)
        raise
    _report_load_warnings(loaded, out)
    report = run_tests(loaded, queue=args.queue, job_timeout=args.job_timeout, workdir=args.workdir)
    _write_reports(report, args)
    if out.as_json:
        print(dumps(as_dict(report)))
    else:
        print("\n".join(summary_lines(report)))
    if not report.outcomes:
        out.problem(Problem("error", f"no tests in {os.path.join(loaded.folder, 'Tests')} "
                                     f"(case files *.json or *.yaml, pytest files test_*.py)"))
    return EXIT_OK if report.ok else EXIT_FAILED


def cmd_new(args, out: Output) -> int:
    try:
        folder = create_plugin(args.name, args.dir, parse_extras(args.with_parts))
    except (ScaffoldError, OSError) as exc:
        raise UsageError(str(exc)) from None
    if out.as_json:
        print(dumps({"folder": folder}))
    else:
        print(f"created {folder}")
        print(f"next: qorvel-plugin check {folder} && qorvel-plugin test {folder}")
    return EXIT_OK


# -- entry point --------------------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="qorvel-plugin",
                                     description="Load, check and run a Qorvel plugin on this machine.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help_text, description=help_text)
        p.add_argument("plugin_dir", metavar="PLUGIN_DIR", help="the plugin folder (holding plugin.meta)")
        p.add_argument("--json", action="store_true", help="print the result as JSON")
        return p

    def running(p: argparse.ArgumentParser) -> None:
        p.add_argument("--config", metavar="PATH", help="configuration file (default: under ~/.config/qorvel/plugins)")
        p.add_argument("--workdir", metavar="DIR",
                       help="working folder of the run (default: a new folder under ./qorvel-runs)")
        p.add_argument("--queue", choices=("auto", "local", "slurm"), default="auto",
                       help="where batch jobs run: SLURM when a controller answers (auto), or always one of them")
        p.add_argument("--poll", type=float, default=1.0, metavar="SECONDS",
                       help="interval between job status queries (default 1)")
        p.add_argument("--job-timeout", type=float, metavar="SECONDS",
                       help="cancel a batch job that has not ended after this long (default: wait)")
        p.add_argument("--reconnect-timeout", type=float, default=DEFAULT_RECONNECT_SECONDS, metavar="SECONDS",
                       help="keep trying a remote lost while its job runs for this long, then leave the job "
                            f"running (default {DEFAULT_RECONNECT_SECONDS:g})")

    p = command("check", "import the plugin as the host does and report what it declares and every problem")
    p.add_argument("--strict", action="store_true", help="fail on warnings too (by default only errors fail)")
    p.add_argument("--config", metavar="PATH", help="configuration file to check (default: under ~/.config/qorvel/plugins)")
    p = command("describe", "print the block dictionaries that the flow editor receives, as JSON")
    p.add_argument("block_id", metavar="BLOCK_ID", nargs="?", help="one block (with or without the plugin prefix)")
    p = command("run", "run one block on this machine")
    p.add_argument("block_id", metavar="BLOCK_ID")
    p.add_argument("--set", action="append", metavar="VAR=VALUE", help="value of a variable (JSON or text)")
    p.add_argument("--input", action="append", metavar="ID=VALUE", help="value of an input (JSON or text)")
    p.add_argument("--input-group", metavar="GROUP", help="input group to use (default: the block's first)")
    p.add_argument("--remote", metavar="NAME", help="the remote the block runs on (default: its selectedRemote)")
    p.add_argument("--dry-run", action="store_true",
                   help="cluster job blocks: run the first phase only and print the batch script it would submit")
    running(p)
    p = command("flow", "run a flow (a .flow file, or a preset flow's name) on this machine")
    p.add_argument("flow", metavar="FLOW_FILE_OR_NAME", nargs="?")
    p.add_argument("--remote", action="append", metavar="PLACED_ID=NAME",
                   help="the remote one placement runs on (default: its selectedRemote)")
    p.add_argument("--resume", metavar="RUN_FOLDER",
                   help="run the flow of an earlier run folder again, following the jobs of its journal")
    p.add_argument("--resubmit-failed", action="store_true",
                   help="with --resume: submit again the jobs that failed")
    p.add_argument("--set", action="append", metavar="PLACED_ID.VAR=VALUE",
                   help="value of a variable of one placement (JSON or text)")
    p.add_argument("--input", action="append", metavar="PLACED_ID.ID=VALUE",
                   help="value of an input of one placement (JSON or text)")
    running(p)
    p = command("test", "run the cases and test_*.py files in the plugin's Tests folder")
    p.add_argument("--queue", choices=("local", "slurm", "auto"), default="local",
                   help="where batch jobs run (default: the local runner)")
    p.add_argument("--job-timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                   help=f"cancel a batch job that has not ended after this long (default {DEFAULT_TIMEOUT:g})")
    p.add_argument("--workdir", metavar="DIR", help="folder for the runs of the tests (default: a new temporary one)")
    p.add_argument("--junit-xml", metavar="FILE", help="write a JUnit XML report")
    p.add_argument("--html", metavar="FILE", help="write a self-contained HTML report")
    p = sub.add_parser("new", help="write a new plugin folder", description="write a new plugin folder")
    p.add_argument("name", metavar="NAME", help="the plugin's name (its folder is the name in lower case)")
    p.add_argument("--with", dest="with_parts", metavar="PARTS", help=f"optional parts: {','.join(EXTRAS)}")
    p.add_argument("--dir", default=".", metavar="DIR", help="where to create the folder (default: here)")
    p.add_argument("--json", action="store_true", help="print the result as JSON")
    p = command("config", "show the plugin's configuration, or save values with --set")
    p.add_argument("--set", action="append", metavar="VAR=VALUE", help="value to save (JSON or text)")
    p.add_argument("--config", metavar="PATH", help="configuration file (default: under ~/.config/qorvel/plugins)")
    add_remotes_command(sub)
    p = command("serve", "show the plugin in a browser: its blocks, runs, pages and the molecular viewer")
    serve.add_arguments(p)
    return parser


COMMANDS = {"check": cmd_check, "describe": cmd_describe, "run": cmd_run, "flow": cmd_flow, "config": cmd_config,
            "remotes": cmd_remotes, "test": cmd_test, "new": cmd_new,
            "serve": lambda args, out: serve.command(args, out)}


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    out = Output(args.json)
    register_flow_manager()
    try:
        return COMMANDS[args.command](args, out)
    except PluginLoadError as exc:
        problems = exc.problems
    except (HostError, FlowError, QueueError, UsageError, ValueCheckError) as exc:
        problems = [Problem("error", str(exc))]
    except Interrupted as exc:
        out.problem(Problem("error", str(exc)))
        return EXIT_INTERRUPTED
    except KeyboardInterrupt:
        out.problem(Problem("error", "interrupted"))
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return EXIT_FAILED
    except Exception as exc:  # our own fault: one line, never a bare traceback
        problems = [Problem("error", f"internal error of the local host: {one_line(exc)}")]
    if out.as_json:
        print(dumps({"ok": False, "problems": [p.toDict() for p in problems]}))
    else:
        out.problems(problems)
    return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
