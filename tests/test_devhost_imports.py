"""The local host's modules import each other without a circle (the commands sit on the library)."""
import ast
import pathlib

import QorvelAPI.devhost

ROOT = pathlib.Path(QorvelAPI.devhost.__file__).parent
PACKAGE = "QorvelAPI.devhost"


def module_name(path: pathlib.Path) -> str:
    parts = path.relative_to(ROOT).with_suffix("").parts
    return ".".join((PACKAGE,) + (parts[:-1] if parts[-1] == "__init__" else parts))


def imported(path: pathlib.Path, modules: set[str]) -> set[str]:
    """The package's modules that ``path`` imports anywhere in it (inside functions too)."""
    name = module_name(path)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                base = f"{anchor}.{base}" if base else anchor
            targets = [f"{base}.{alias.name}" for alias in node.names] + [base]
        elif isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        else:
            continue
        # "from . import serve" names a module; "from .run import LocalHost" names the module run. A
        # module's own packages are always imported before it: naming them closes no circle.
        found.update(t for t in targets if t in modules and not (name + ".").startswith(t + "."))
    return found


def test_no_import_circle_inside_the_local_host():
    paths = {module_name(p): p for p in ROOT.rglob("*.py")}
    graph = {name: imported(path, set(paths)) for name, path in paths.items()}
    assert "QorvelAPI.devhost.cli" in graph["QorvelAPI.devhost.__main__"]  # the reader sees real edges
    visiting, done = [], set()

    def visit(name: str) -> None:
        if name in visiting:
            raise AssertionError("import circle: " + " -> ".join(visiting[visiting.index(name):] + [name]))
        if name in done:
            return
        visiting.append(name)
        for target in sorted(graph[name]):
            visit(target)
        visiting.pop()
        done.add(name)

    for name in sorted(graph):
        visit(name)
    library = [name for name in graph if not name.startswith(PACKAGE + ".commands") and name not in
               (PACKAGE + ".cli", PACKAGE + ".__main__")]
    assert not [(n, t) for n in library for t in graph[n] if t.startswith(PACKAGE + ".commands") or
                t == PACKAGE + ".cli"]
