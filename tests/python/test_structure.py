"""The package's modules import one another in layers: no module reaches, through any
chain of imports (those inside functions and for type checking included), back to itself."""

import ast
import importlib.util
import pathlib

import vantor_gym

ROOT = pathlib.Path(vantor_gym.__file__).parent


def _modules() -> dict[str, pathlib.Path]:
    found = {}
    for path in ROOT.rglob("*.py"):
        parts = path.relative_to(ROOT.parent).with_suffix("").parts
        found[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return found


def _imports(path: pathlib.Path, modules: dict[str, pathlib.Path]) -> set[str]:
    """The package's modules that the file imports: ``from a.b import c`` is module ``a.b.c``
    when there is one, else ``a.b``."""
    named = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            named.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            named.update(f"{node.module}.{a.name}" if _is_module(f"{node.module}.{a.name}", modules) else node.module
                         for a in node.names)
    return named & modules.keys()


def _is_module(name: str, modules: dict[str, pathlib.Path]) -> bool:
    # A native submodule (vantor_gym._native) has no Python source, but is a module all the same.
    package = modules.get(name.rpartition(".")[0])
    return name in modules or (package is not None and package.name == "__init__.py"
                               and importlib.util.find_spec(name) is not None)


def _cycle(graph: dict[str, set[str]]) -> list[str] | None:
    done: set[str] = set()

    def visit(module: str, path: list[str]) -> list[str] | None:
        if module in path:
            return path[path.index(module):] + [module]
        if module in done:
            return None
        for target in sorted(graph[module]):
            found = visit(target, path + [module])
            if found:
                return found
        done.add(module)
        return None

    return next((c for c in (visit(m, []) for m in sorted(graph)) if c), None)


def test_no_module_imports_itself_through_others():
    modules = _modules()
    graph = {name: _imports(path, modules) - {name} for name, path in modules.items()}
    assert len(graph) > 40 and graph["vantor_gym.cli"]  # the walk found the package
    assert _cycle(graph) is None, " -> ".join(_cycle(graph) or [])


def test_a_cycle_is_found():
    assert _cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": set()}) == ["a", "b", "c", "a"]
