"""``qorvel-plugin test``: the cases and test_*.py files of the plugin's Tests folder."""

from __future__ import annotations

import os

from ..cases import DEFAULT_TIMEOUT, TestReport, load_failure, run_tests
from ..loader import PluginLoadError, Problem
from ..reports import as_dict, summary_lines, write_html, write_junit
from .common import load, report_load_warnings
from .output import EXIT_FAILED, EXIT_OK, Output, dumps

HELP = "run the cases and test_*.py files in the plugin's Tests folder"
PLUGIN = True
PASSES_ON = True  # what follows "--" goes to pytest
EPILOG = "Anything after -- is given to pytest as it is: qorvel-plugin test . -k flow -- --tb=short -s"


def add_arguments(p) -> None:
    p.add_argument("--queue", choices=("local", "slurm", "auto"), default="local",
                   help="where batch jobs run (default: the local runner)")
    p.add_argument("--job-timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                   help=f"cancel a batch job that has not ended after this long (default {DEFAULT_TIMEOUT:g})")
    p.add_argument("--workdir", metavar="DIR", help="folder for the runs of the tests (default: a new temporary one)")
    p.add_argument("--junit-xml", metavar="FILE", help="write a JUnit XML report")
    p.add_argument("--html", metavar="FILE", help="write a self-contained HTML report")
    p.add_argument("-k", dest="keyword", metavar="EXPRESSION",
                   help="only the tests whose name matches, as pytest's -k (case-file entries by their name)")
    p.add_argument("-x", "--exitfirst", action="store_true", help="stop at the first test that fails")
    p.add_argument("-v", "--verbose", action="count", default=0, help="pytest's -v")
    p.add_argument("--lf", "--last-failed", dest="last_failed", action="store_true",
                   help="pytest's --lf: only the pytest tests that failed last time")


def _pytest_args(args) -> list[str]:
    """The options that pytest gets: those of this command that are pytest's, then the rest."""
    given = (["-k", args.keyword] if args.keyword else []) + (["-x"] if args.exitfirst else [])
    given += ["-v"] * args.verbose + (["--lf"] if args.last_failed else [])
    return given + list(args.passed_on)


def _write_reports(report: TestReport, args) -> None:
    if args.junit_xml:
        write_junit(report, args.junit_xml)
    if args.html:
        write_html(report, args.html)


def run(args, out: Output) -> int:
    try:
        loaded = load(args, out)
    except PluginLoadError as exc:  # CI still gets its reports, with the reason
        _write_reports(load_failure(args.plugin_dir, exc.problems), args)
        raise
    report_load_warnings(loaded, out)
    report = run_tests(loaded, queue=args.queue, job_timeout=args.job_timeout, workdir=args.workdir,
                       pytest_args=_pytest_args(args), keyword=args.keyword, exit_first=args.exitfirst)
    _write_reports(report, args)
    if out.as_json:
        print(dumps(as_dict(report)))
    else:
        print("\n".join(summary_lines(report)))
    if not report.outcomes:
        out.problem(Problem("error", f"no tests in {os.path.join(loaded.folder, 'Tests')} "
                                     f"(case files *.json or *.yaml, pytest files test_*.py)"))
    return EXIT_OK if report.ok else EXIT_FAILED
