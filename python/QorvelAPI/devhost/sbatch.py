"""The ``#SBATCH`` lines of a batch script, read and checked as sbatch reads and checks them.

The local runner runs a script on this machine, but a script that sbatch would refuse on the
cluster must not pass here without a word: ``read_directives`` refuses unknown options, options
without their value and malformed values of the options that matter most (time limits, counts,
memory, node counts, job arrays), in sbatch's own words, and ``unhonoured`` lists the options that
the local runner accepts but cannot act on (partitions, accounts, GPUs, ...).

sbatch reads directives up to the first line that is neither blank nor a comment; several options
may share one line, and "#" starts a comment within it.
"""

from __future__ import annotations

import re
import shlex
from dataclasses import dataclass

_DIRECTIVE = re.compile(r"^#SBATCH\s+(.*)$")

# The long options of sbatch, with whether each takes a value ("=" optional value: "?").
_TAKES_VALUE = "array account bb bbf begin comment cpu-freq cpus-per-task dependency deadline delay-boot chdir " \
    "error export-file gid gres gres-flags input job-name licenses clusters distribution mail-type mail-user " \
    "mcs-label ntasks ntasks-per-node nodes output partition power priority profile qos core-spec signal " \
    "switches thread-spec time time-min uid wckey cluster-constraint constraint nodefile mem mincpus " \
    "reservation tmp nodelist exclude mem-per-cpu sockets-per-node cores-per-socket threads-per-core " \
    "ntasks-per-core ntasks-per-socket cpus-per-gpu gpus gpu-bind gpu-freq gpus-per-node gpus-per-socket " \
    "gpus-per-task mem-per-gpu extra-node-info hint".split()
_OPTIONAL_VALUE = "export nice propagate exclusive wrap kill-on-invalid-dep".split()
_FLAGS = "get-user-env hold ignore-pbs no-kill container no-requeue overcommit parsable quiet reboot requeue " \
    "oversubscribe spread-job use-min-nodes verbose wait contiguous help usage version test-only".split()
_SHORT = {"a": "array", "A": "account", "b": "begin", "c": "cpus-per-task", "d": "dependency", "D": "chdir",
          "e": "error", "i": "input", "J": "job-name", "L": "licenses", "M": "clusters", "m": "distribution",
          "n": "ntasks", "N": "nodes", "o": "output", "p": "partition", "q": "qos", "S": "core-spec",
          "t": "time", "C": "constraint", "F": "nodefile", "w": "nodelist", "x": "exclude", "G": "gpus",
          "B": "extra-node-info"}
_SHORT_FLAGS = {"H": "hold", "k": "no-kill", "O": "overcommit", "Q": "quiet", "s": "oversubscribe",
                "v": "verbose", "W": "wait", "h": "help", "V": "version"}

# What the local runner cannot do, by option.
_UNHONOURED = {
    "partition": "the local runner has no partitions",
    "account": "the local runner charges no account",
    "qos": "the local runner has no quality of service",
    "reservation": "the local runner has no reservations",
    "clusters": "the local runner is one machine",
    "constraint": "the local runner has no node features",
    "nodelist": "the local runner is one machine",
    "exclude": "the local runner is one machine",
    "gres": "the local runner gives a job no GPUs or other generic resources",
    "dependency": "the local runner does not order jobs by dependencies",
    "begin": "the local runner starts jobs at once",
}
_UNHONOURED.update({name: "the local runner gives a job no GPUs" for name in
                    ("gpus", "gpus-per-node", "gpus-per-socket", "gpus-per-task", "cpus-per-gpu", "mem-per-gpu")})


class DirectiveError(ValueError):
    """A directive that sbatch refuses; the message is sbatch's."""


@dataclass
class Directive:
    option: str  # the long name, without "--"
    value: str | None
    line: int  # 1-based line of the script
    text: str  # the line as written


def _time_ok(text: str) -> bool:
    # minutes, minutes:seconds, hours:minutes:seconds, days-hours, days-hours:minutes,
    # days-hours:minutes:seconds; UNLIMITED/INFINITE; a negative number means no limit.
    if text.upper() in ("UNLIMITED", "INFINITE") or re.fullmatch(r"-\d+", text):
        return True
    return bool(re.fullmatch(r"\d+(:\d+){0,2}", text) or re.fullmatch(r"\d+-(\d+(:\d+){0,2})?", text))


def _array_ok(text: str) -> bool:
    indices, _, limit = text.partition("%")
    if limit and not limit.isdigit():
        return False
    for item in indices.split(","):
        match = re.fullmatch(r"(\d+)(?:-(\d+)(?::(\d+))?)?", item)
        if not match:
            return False
        first, last, step = match.groups()
        if last is not None and int(last) < int(first) or step is not None and int(step) == 0:
            return False
    return True


def array_indices(text: str) -> list[int]:
    """The task ids of an --array value that sbatch accepts ("1-9:2%3" gives 1, 3, 5, 7, 9; the
    limit after "%" is left to the job slots), each once, in order."""
    indices: list[int] = []
    for item in text.partition("%")[0].split(","):
        first, _, rest = item.partition("-")
        last, _, step = rest.partition(":")
        indices += range(int(first), int(last or first) + 1, int(step or 1))
    return sorted(set(indices))


def _positive(option: str):
    def check(value: str) -> str | None:
        return None if value.isdigit() and int(value) > 0 else f'sbatch: error: Invalid numeric value "{value}" for --{option}.'
    return check


_VALUE_CHECKS = {
    "time": lambda v: None if _time_ok(v) else "sbatch: error: Invalid --time value",
    "time-min": lambda v: None if _time_ok(v) else "sbatch: error: Invalid --time-min value",
    "mem": lambda v: None if re.fullmatch(r"\d+([KMGT]B?)?", v, re.I) else "sbatch: error: Invalid --mem value",
    "mem-per-cpu": lambda v: None if re.fullmatch(r"\d+([KMGT]B?)?", v, re.I)
    else "sbatch: error: Invalid --mem-per-cpu value",
    "nodes": lambda v: None if re.fullmatch(r"\d+(-\d+)?", v) else f'sbatch: error: "{v}" is not a valid node count',
    "array": lambda v: None if _array_ok(v) else "sbatch: error: Batch job submission failed: "
                                                 "Invalid job array range",
    "cpus-per-task": _positive("cpus-per-task"),
    "ntasks": _positive("ntasks"),
    "ntasks-per-node": _positive("ntasks-per-node"),
}


def _words(line: str) -> list[str]:
    try:
        return shlex.split(line, comments=True)
    except ValueError:  # an unbalanced quote: sbatch splits on blanks
        return line.split("#", 1)[0].split()


def _split(words: list[str]) -> list[tuple[str, str | None]]:
    """(long option, value) pairs of one directive line; raises DirectiveError as sbatch would."""
    found, index = [], 0
    while index < len(words):
        word = words[index]
        index += 1
        if word.startswith("--"):
            name, sep, value = word[2:].partition("=")
            if name in _TAKES_VALUE:
                if not sep:
                    if index >= len(words):
                        raise DirectiveError(f"sbatch: option '--{name}' requires an argument")
                    value, index = words[index], index + 1
            elif name in _OPTIONAL_VALUE:
                value = value if sep else None
            elif name in _FLAGS and not sep:
                value = None
            else:
                raise DirectiveError(f"sbatch: unrecognized option '{word}'")
            found.append((name, value))
        elif word.startswith("-") and len(word) > 1:
            letter, rest = word[1], word[2:]
            if letter in _SHORT:
                if not rest:
                    if index >= len(words):
                        raise DirectiveError(f"sbatch: option requires an argument -- '{letter}'")
                    rest, index = words[index], index + 1
                found.append((_SHORT[letter], rest))
            elif letter in _SHORT_FLAGS and not rest:
                found.append((_SHORT_FLAGS[letter], None))
            else:
                raise DirectiveError(f"sbatch: invalid option -- '{letter}'")
        else:
            break  # like getopt: the first word that is no option ends the options of the line
    return found


def read_directives(script_text: str, script_name: str = "the batch script") -> list[Directive]:
    """The directives of a script, each checked; raises DirectiveError naming the line."""
    directives = []
    for number, raw in enumerate(script_text.splitlines(), 1):
        line = raw.strip()
        if line and not line.startswith("#"):
            break
        match = _DIRECTIVE.match(line)
        if not match:
            continue
        try:
            for name, value in _split(_words(match.group(1))):
                check = _VALUE_CHECKS.get(name)
                problem = check(value) if check is not None and value is not None else None
                if problem:
                    raise DirectiveError(problem)
                directives.append(Directive(name, value, number, line))
        except DirectiveError as exc:
            raise DirectiveError(f"{exc} ({script_name} line {number}: {line})") from None
    return directives


def unhonoured(directives: list[Directive], script_name: str = "the batch script") -> list[str]:
    """Warnings for the directives that the local runner accepts but cannot act on."""
    warnings = []
    for d in directives:
        reason = _UNHONOURED.get(d.option)
        if d.option in ("nodes", "ntasks") and d.value and re.fullmatch(r"\d+(-\d+)?", d.value) \
                and int(d.value.split("-")[0]) > 1:
            reason = f"the local runner starts one process on this machine, not {d.value} {d.option}"
        if reason:
            warnings.append(f"{script_name} line {d.line}: {d.text}: {reason}; the job runs on this machine")
    return warnings


def honoured_options(directives: list[Directive]) -> dict[str, str]:
    """The options that the local runner honours: job name, output and error files (the last one wins)."""
    return {d.option: d.value for d in directives if d.option in ("job-name", "output", "error") and d.value is not None}


__all__ = ["Directive", "DirectiveError", "read_directives", "unhonoured", "honoured_options", "array_indices"]
