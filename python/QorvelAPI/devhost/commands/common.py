"""What several commands share: loading the plugin, the options of a run and its host."""

from __future__ import annotations

import argparse

from ..api import PluginHost
from ..following import DEFAULT_RECONNECT_SECONDS
from ..loader import LoadedPlugin, load_plugin
from .output import Output


def load(args, out: Output) -> LoadedPlugin:
    loaded = load_plugin(args.plugin_dir, capture_stdout=out.as_json)
    return loaded


def report_load_warnings(loaded: LoadedPlugin, out: Output) -> None:
    if not out.as_json:
        out.problems(loaded.problems)


def add_running_options(p: argparse.ArgumentParser) -> None:
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


def add_follow_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--follow", action="store_true",
                   help="show what each batch job writes to its output and error files while it runs "
                        "(on standard error, each line marked with the job and the stream)")


def follower_of(args, out: Output):
    """What ``follow=`` is for a run with these options: the terminal's printer, or nothing."""
    return out.followed if getattr(args, "follow", False) else False


def plugin_host(args, out: Output) -> PluginHost:
    loaded = load(args, out)
    report_load_warnings(loaded, out)
    return PluginHost(args.plugin_dir, queue=args.queue, workdir=args.workdir, config_path=args.config,
                      job_timeout=args.job_timeout, poll=args.poll, capture_stdout=out.as_json,
                      reconnect_timeout=args.reconnect_timeout,
                      progress=out.progress, loaded=loaded)
