"""The package's layers: no module imports (or names, as a string) a module of a higher layer,
and the modules import each other without a circle."""

import ast
import importlib
import pathlib

import conftest

PACKAGE = pathlib.Path(conftest.ROOT) / "dovelkit"

# Lowest first; the package's own entry points (its __init__ and __main__) stand above them all.
LAYERS = ["base", "runtime", "io", "alignment", "db", "report", "cli", "top"]


def module_name(path):
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def layer(name):
    parts = name.split(".")
    if name in ("dovelkit", "dovelkit.__main__"):
        return LAYERS.index("top")
    if len(parts) > 2 or (len(parts) == 2 and parts[1] in LAYERS):
        return LAYERS.index(parts[1])
    return LAYERS.index("base")  # _startup, errors, _core


MODULES = {module_name(p): p for p in sorted(PACKAGE.rglob("*.py"))}
KNOWN = set(MODULES) | {"dovelkit._core"}


def named(name, tree):
    """The package's modules that module ``name`` imports (anywhere in it) or names by a string."""
    package = name if MODULES[name].name == "__init__.py" else name.rpartition(".")[0]
    out = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            out.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = ".".join(package.split(".")[: len(package.split(".")) - node.level + 1] + ([base] if base else []))
            for a in node.names:
                out.add(f"{base}.{a.name}" if f"{base}.{a.name}" in KNOWN else base)
        elif isinstance(node, ast.Constant) and isinstance(node.value, str) and "." in node.value:
            out.add(node.value)
    return {m for m in out if m in KNOWN and m != name}


GRAPH = {name: named(name, ast.parse(path.read_text(encoding="utf-8"))) for name, path in MODULES.items()}


def test_every_module_imports():
    for name in MODULES:
        if not name.endswith("__main__"):
            importlib.import_module(name)


def test_no_module_reaches_up_a_layer_or_is_named_like_a_public_function():
    import dovelkit

    upward = [(m, other) for m, targets in GRAPH.items() for other in targets if layer(other) > layer(m)]
    assert upward == []
    clash = [m for m in MODULES if m.rpartition(".")[2] in dovelkit.__all__]
    assert clash == []


def test_no_import_circle():
    seen, done, circles = set(), set(), []

    def visit(m, path):
        if m in done:
            return
        if m in seen:
            circles.append(path[path.index(m):] + [m])
            return
        seen.add(m)
        for other in sorted(GRAPH.get(m, ())):
            visit(other, path + [m])
        done.add(m)

    for m in sorted(GRAPH):
        visit(m, [])
    assert circles == []
