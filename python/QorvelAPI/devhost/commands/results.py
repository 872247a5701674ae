"""How ``run`` and ``flow`` show a run: each block as soon as it has run, then the flow's summary
(or the whole run as one JSON document)."""

from __future__ import annotations

import sys
from typing import Callable

from ..api import PluginHost
from ..dryrun import RecordingQueue
from ..loader import Problem
from ..remote_config import queue_description
from ..run import BlockResult, FlowRun, Interrupted
from .output import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, Output, dumps, short


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


def announce_queue(host: PluginHost, out: Output, dry_run: bool = False, remotes=()) -> None:
    """Chooses the queue (a dry run uses none) and says which it is: the queue of each named remote
    that a block selects, else this machine's."""
    if not out.as_json:
        named = [] if dry_run else sorted({name for name in remotes if name not in (None, "Local")})
        local = dry_run or not remotes or any(name in (None, "Local") for name in remotes)
        queues = ([RecordingQueue.description if dry_run else host.local.queue.description] if local else [])
        queues += [queue_description(name) for name in named]
        print(f"queue: {'; '.join(queues)}", file=sys.stderr)


def shower(out: Output):
    """For a person each block is shown as soon as it has run; JSON is one document at the end."""
    def show(result: BlockResult) -> None:
        out.end_progress()
        print_result(result, out)
        sys.stdout.flush()

    return None if out.as_json else show


def run_and_report(start: Callable[[], FlowRun], out: Output) -> int:
    try:
        run = start()
    except Interrupted as exc:
        if exc.run is None:
            raise
        # The run so far, saved, is still reported (and as one JSON document with --json).
        finish_run(exc.run, out)
        out.problem(Problem("error", str(exc)))
        return EXIT_INTERRUPTED
    return finish_run(run, out)


def finish_run(run: FlowRun, out: Output) -> int:
    if out.as_json:
        print(dumps(run.toDict()))
    else:
        print_run(run, out)
    return EXIT_OK if run.ok else EXIT_FAILED
