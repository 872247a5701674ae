"""Loading a plugin folder the way the platform's server does, with every problem as one line.

The plugin script is imported from its folder, its ``Plugin`` object is taken from the module, and
``_addBlocks()`` and ``_addPages()`` register the blocks and pages held in its attributes. Messages
that the plugin container logs on the "Qorvel" logger while this happens (skipped duplicates,
ghost or configuration blocks added as blocks, unreadable preset flows) become problems of the load.
"""

from __future__ import annotations

import contextlib
import difflib
import hashlib
import importlib.machinery
import importlib.util
import io
import json
import logging
import os
import re
import sys
import traceback
from dataclasses import dataclass, field
from typing import Any, Iterator

from .flow import register_flow_manager
from .safe_files import PLUGIN_META, FileRefused, TooDeep, load_json, read_text

PLATFORMS = ("universal", "linux", "macos_intel", "macos_arm")
REQUIRED = ("id", "name", "description", "author", "version", "pluginFile")
OPTIONAL_TEXT = ("minQorvelVersion", "maxQorvelVersion", "externalURL")
FIELDS = REQUIRED + OPTIONAL_TEXT + ("platforms", "dependencies")
VERSION_FIELDS = ("version", "minQorvelVersion", "maxQorvelVersion")
# A version: numbers separated by dots, optionally followed by a pre-release or build label
# ("1.0", "2.3.1", "1.0.0-beta.2", "1.0rc1", "1.2.3+build.5").
VERSION = re.compile(r"\d+(\.\d+)*(-?[A-Za-z][A-Za-z0-9]*(\.\d+)*)?(\+[A-Za-z0-9.-]+)?")


@dataclass
class Problem:
    level: str  # "error" or "warning"
    message: str
    detail: str | None = None  # a marked traceback of plugin code, when there is one

    def line(self) -> str:
        return f"{self.level}: {self.message}"

    def toDict(self) -> dict:
        entry = {"level": self.level, "message": self.message}
        if self.detail:
            entry["pluginTraceback"] = self.detail
        return entry


class PluginLoadError(Exception):
    """Loading stopped; ``problems`` says why (at least one error)."""

    def __init__(self, problems: list[Problem]):
        super().__init__("; ".join(p.message for p in problems if p.level == "error"))
        self.problems = problems


@dataclass
class LoadedPlugin:
    folder: str
    script: str
    meta: dict
    module: Any
    plugin: Any
    problems: list[Problem] = field(default_factory=list)
    printed: str = ""

    @property
    def id(self) -> str:
        return self.plugin.id


def _type_name(value: Any) -> str:
    return {dict: "an object", list: "a list", str: "a string", bool: "a boolean", type(None): "null",
            int: "a number", float: "a number"}.get(type(value), type(value).__name__)


def read_meta(folder: str) -> tuple[dict | None, list[Problem]]:
    """Reads and checks ``plugin.meta``; returns the object (None when unusable) and its problems."""
    path = os.path.join(folder, "plugin.meta")
    problems: list[Problem] = []

    warnings: list[Problem] = []

    def error(message: str) -> None:
        problems.append(Problem("error", f"plugin.meta: {message}"))

    if not os.path.exists(path):
        return None, [Problem("error", f"plugin.meta not found in {folder}")]
    if os.path.isdir(path):  # anything else that is not a regular file: the read says what it is
        return None, [Problem("error", f"plugin.meta in {folder} is not a file")]
    try:
        text = read_text(path, PLUGIN_META)
    except UnicodeDecodeError:
        return None, [Problem("error", "plugin.meta: not UTF-8 text")]
    except OSError as exc:
        return None, [Problem("error", f"plugin.meta: cannot be read ({exc.strerror or exc})")]
    try:
        meta = load_json(text)
    except json.JSONDecodeError as exc:
        return None, [Problem("error", f"plugin.meta: invalid JSON at line {exc.lineno} column {exc.colno}: {exc.msg}")]
    except (TooDeep, FileRefused) as exc:
        return None, [Problem("error", f"plugin.meta: cannot be read ({exc})")]
    if not isinstance(meta, dict):
        return None, [Problem("error", f"plugin.meta: must hold a JSON object, found {_type_name(meta)}")]
    for key in REQUIRED:
        if key not in meta:
            error(f"required field \"{key}\" is missing")
        elif isinstance(meta[key], (int, float)) and key != "pluginFile":
            # Some validators turn a number into text and some refuse it: load, but say so.
            warnings.append(Problem("warning", f"plugin.meta: field \"{key}\" should be a string, "
                                               f"found {_type_name(meta[key])}"))
        elif not isinstance(meta[key], str):
            error(f"field \"{key}\" must be a string, found {_type_name(meta[key])}")
    for key in OPTIONAL_TEXT:
        if meta.get(key) is not None and not isinstance(meta[key], str):
            error(f"field \"{key}\" must be a string or null, found {_type_name(meta[key])}")
    platforms = meta.get("platforms", ["universal"])
    if platforms is not None:
        if not isinstance(platforms, list):
            error(f"field \"platforms\" must be a list, found {_type_name(platforms)}")
        else:
            for name in platforms:
                if name not in PLATFORMS:
                    error(f"unknown platform {json.dumps(name)} in \"platforms\" (known: {', '.join(PLATFORMS)})")
    dependencies = meta.get("dependencies", [])
    if dependencies is not None and (not isinstance(dependencies, list)
                                     or not all(isinstance(d, str) for d in dependencies)):
        error("field \"dependencies\" must be a list of strings")
    plugin_file = meta.get("pluginFile")
    if isinstance(plugin_file, str) and not problems:
        script = os.path.join(folder, plugin_file)
        if not os.path.isfile(script):
            error(f"pluginFile \"{plugin_file}\" not found in {folder}")
    if isinstance(meta.get("id"), str) and not meta["id"].strip():
        error("field \"id\" must not be empty")
    return (None if problems else meta), problems + _field_problems(meta) + warnings


def _field_problems(meta: dict) -> list[Problem]:
    """Errors that do not stop loading (the platform ignores unknown fields), but that ``check`` reports:
    misspelt fields, whose values are lost, and version fields that are not versions."""
    problems = []
    for key in meta:
        if key not in FIELDS:
            close = difflib.get_close_matches(key, FIELDS, n=1)
            hint = f" (did you mean \"{close[0]}\"?)" if close else f" (fields: {', '.join(FIELDS)})"
            problems.append(Problem("error", f"plugin.meta: unknown field {json.dumps(key)}{hint}"))
    for key in VERSION_FIELDS:
        value = meta.get(key)
        if isinstance(value, str) and not VERSION.fullmatch(value):
            problems.append(Problem("error", f"plugin.meta: field \"{key}\" is not a version: {json.dumps(value)} "
                                             f"(expected numbers separated by dots, such as \"1.0.2\")"))
    return problems


class _Collector(logging.Handler):
    """Keeps the warnings and errors logged on "Qorvel" as problems (each distinct message once)."""

    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.problems: list[Problem] = []

    def emit(self, record: logging.LogRecord) -> None:
        try:
            message = record.getMessage()
        except Exception:  # a malformed log call must not break loading
            message = str(record.msg)
        level = "error" if record.levelno >= logging.ERROR else "warning"
        message = " ".join(message.split("\n")[:1]) if message else message
        if not any(p.message == message and p.level == level for p in self.problems):
            self.problems.append(Problem(level, message))


@contextlib.contextmanager
def collect_problems(propagate: bool = False) -> Iterator[_Collector]:
    """Collects what is logged on "Qorvel" meanwhile; by default keeps it off the root logger."""
    logger = logging.getLogger("Qorvel")
    collector = _Collector()
    old_propagate, old_level = logger.propagate, logger.level
    logger.addHandler(collector)
    logger.propagate = propagate
    if logger.level == logging.NOTSET or logger.level > logging.WARNING:
        logger.setLevel(logging.WARNING)
    try:
        yield collector
    finally:
        logger.removeHandler(collector)
        logger.propagate, logger.level = old_propagate, old_level


def plugin_traceback(exc: BaseException, folder: str) -> str:
    """The traceback of an exception, reduced to the frames of the plugin's own files and marked."""
    root = os.path.realpath(folder) + os.sep
    frames = [f for f in traceback.extract_tb(exc.__traceback__)
              if os.path.realpath(f.filename).startswith(root)]
    lines = ["--- traceback from plugin code ---"]
    lines += [line.rstrip("\n") for line in traceback.format_list(frames)]
    lines += [line.rstrip("\n") for line in traceback.format_exception_only(type(exc), exc)]
    lines.append("--- end of plugin traceback ---")
    return "\n".join(lines)


def one_line(exc: BaseException) -> str:
    """An exception as one line: its kind and the first line of its message."""
    text = str(exc).strip().splitlines()
    first = text[0] if text else ""
    more = " ..." if len(text) > 1 else ""
    return f"{type(exc).__name__}: {first}{more}" if first else type(exc).__name__


def _plugin_classes():
    from QorvelAPI import plugins  # noqa: PLC0415

    return plugins


class _FromSourceLoader(importlib.machinery.SourceFileLoader):
    """Compiles the plugin script from its text at every load. A cached bytecode file is trusted
    when the script's size and modification second match, which an edit made within the second of
    the previous load (``serve`` loads again as soon as the file changes) can leave unchanged."""

    def path_stats(self, path: str):
        raise OSError("the plugin script is compiled from its text")  # no cached bytecode, read or written


def forget_plugin_modules(folder: str) -> list[str]:
    """Drops the modules imported from the plugin's folder (helpers of the script) from
    ``sys.modules``, so the next load of the plugin imports their current text; returns their names.

    Only Python modules whose top-level module or package lies directly in ``folder`` count: those
    imported because the folder is on ``sys.path``, not packages that merely live below it."""
    root = os.path.realpath(folder)
    forgotten = []
    for name, module in list(sys.modules.items()):
        top = sys.modules.get(name.partition(".")[0])
        if _imported_from(top, root) and str(getattr(module, "__file__", None) or "").endswith(".py"):
            del sys.modules[name]
            forgotten.append(name)
    importlib.invalidate_caches()  # the finders' listings of the folder, which may miss a new helper
    return forgotten


def _imported_from(module: Any, root: str) -> bool:
    path = getattr(module, "__file__", None)
    if not isinstance(path, str):
        return False
    where = os.path.dirname(os.path.realpath(path))
    if os.path.basename(path) == "__init__.py":
        where = os.path.dirname(where)
    return where == root


def load_plugin(folder: str, capture_stdout: bool = False) -> LoadedPlugin:
    """Imports the plugin in ``folder`` as the host does; raises PluginLoadError with the problems."""
    folder = os.path.abspath(folder)
    if not os.path.isdir(folder):
        raise PluginLoadError([Problem("error", f"plugin folder not found: {folder}")])
    register_flow_manager()
    meta, problems = read_meta(folder)
    if meta is None:
        raise PluginLoadError(problems)
    plugins = _plugin_classes()
    script = os.path.join(folder, meta["pluginFile"])
    digest = hashlib.sha1(script.encode()).hexdigest()[:10]
    module_name = f"qorvel_plugin_{digest}"
    spec = importlib.util.spec_from_file_location(module_name, script)
    if spec is None or spec.loader is None:
        raise PluginLoadError([Problem("error", f"cannot import {script}: not a Python file")])
    if type(spec.loader) is importlib.machinery.SourceFileLoader:
        spec = importlib.util.spec_from_file_location(module_name, script,
                                                      loader=_FromSourceLoader(module_name, script))
    module = importlib.util.module_from_spec(spec)
    printed = io.StringIO()
    redirect = contextlib.redirect_stdout(printed) if capture_stdout else contextlib.nullcontext()
    # The plugin's folder stays importable for the whole process: actions may import helper
    # modules of the plugin when they run.
    if folder not in sys.path:
        sys.path.insert(0, folder)
    sys.modules[module_name] = module
    with collect_problems() as collector, redirect:
        try:
            spec.loader.exec_module(module)
        except (Exception, SystemExit) as exc:
            sys.modules.pop(module_name, None)
            detail = plugin_traceback(exc, folder)
            raise PluginLoadError(problems + collector.problems + [
                Problem("error", f"plugin script {os.path.basename(script)} raised {one_line(exc)}", detail)]) from None
        found = [value for value in vars(module).values() if isinstance(value, plugins.Plugin)]
        unique: list[Any] = []
        for value in found:
            if not any(value is other for other in unique):
                unique.append(value)
        if not unique:
            raise PluginLoadError(problems + collector.problems + [
                Problem("error", f"plugin script {os.path.basename(script)} creates no Plugin object "
                                 f"at module level")])
        plugin = unique[0]
        if len(unique) > 1:
            collector.problems.append(Problem("warning", f"plugin script {os.path.basename(script)} creates "
                                                         f"{len(unique)} Plugin objects; using the first"))
        try:
            plugin._addBlocks()
            plugin._addPages()
        except Exception as exc:
            detail = plugin_traceback(exc, folder)
            raise PluginLoadError(problems + collector.problems + [
                Problem("error", f"registering the plugin's blocks and pages failed: {one_line(exc)}",
                        detail)]) from None
    return LoadedPlugin(folder, script, meta, module, plugin, problems + collector.problems, printed.getvalue())
