"""The API reference leaves no public name out.

The public names are those of the packages that ``api_coverage_packages`` names
(``vantor`` and ``vantor_gym``) and of each of their submodules whose name has no leading
underscore: a module's ``__all__``, or else the names its own source binds at top level
(type variables aside, which only spell annotations); and the public attributes each
public class defines itself (methods, properties, fields). A name that a module imports
from another is the same API as the original, so documenting either one covers both.
Each public name that no object description of the site covers is reported as a
warning, which ``sphinx -W`` turns into a failed build."""

from __future__ import annotations

import ast
import importlib
import importlib.util
import inspect
import pkgutil
import typing
from collections.abc import Iterator, Sequence
from types import ModuleType

from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment
from sphinx.ext.autodoc.mock import mock
from sphinx.util import logging

logger = logging.getLogger(__name__)

_TYPE_VARIABLES = (typing.TypeVar, typing.ParamSpec, typing.TypeVarTuple)


def public_modules(packages: Sequence[str]) -> Iterator[ModuleType]:
    """The modules the reference covers: the packages and their public submodules."""
    for name in packages:
        package = importlib.import_module(name)
        yield package
        for info in pkgutil.walk_packages(getattr(package, "__path__", []), f"{name}."):
            if not any(part.startswith("_") for part in info.name.split(".")):
                yield importlib.import_module(info.name)


def _tree(module: ModuleType) -> ast.Module | None:
    try:
        return ast.parse(inspect.getsource(module))
    except (OSError, TypeError):  # an extension module has no Python source
        return None


def _top_statements(tree: ast.Module) -> Iterator[ast.stmt]:
    """The module's top-level statements, those in conditional, ``try`` and ``with``
    blocks included (``if TYPE_CHECKING:`` among them)."""
    statements = list(tree.body)
    while statements:
        node = statements.pop(0)
        yield node
        if isinstance(node, (ast.If, ast.Try, ast.With)):
            statements[:0] = [*node.body, *getattr(node, "orelse", []), *getattr(node, "finalbody", []),
                              *(s for handler in getattr(node, "handlers", []) for s in handler.body)]


def _assigned(target: ast.expr) -> Iterator[str]:
    """The names an assignment's target binds: ``a, *b = ...`` binds a and b, while
    ``os.environ[key] = ...`` binds nothing of the module's own."""
    if isinstance(target, ast.Name):
        yield target.id
    elif isinstance(target, (ast.Tuple, ast.List)):
        for element in target.elts:
            yield from _assigned(element)
    elif isinstance(target, ast.Starred):
        yield from _assigned(target.value)


def _bound_at_top(tree: ast.Module) -> Iterator[str]:
    """The names the module's own statements define at top level; imports are not definitions."""
    for node in _top_statements(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            yield node.name
        elif isinstance(node, (ast.Assign, ast.AnnAssign, ast.AugAssign, ast.TypeAlias)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            for target in targets:
                yield from _assigned(target)


def public_names(module: ModuleType) -> list[str]:
    if hasattr(module, "__all__"):
        return list(module.__all__)
    tree = _tree(module)
    if tree is None:
        names = [n for n in vars(module) if not n.startswith("_")]
    else:
        names = list(dict.fromkeys(n for n in _bound_at_top(tree) if not n.startswith("_")))
    return [n for n in names if not isinstance(getattr(module, n, None), _TYPE_VARIABLES)]


def _imports(module: ModuleType) -> dict[str, str]:
    """Name -> the dotted name it was imported as, for each ``from x import y`` at the
    module's top level that the module does not define again (those under
    ``TYPE_CHECKING`` included: they name what a module ``__getattr__`` loads)."""
    tree = _tree(module)
    if tree is None:
        return {}
    defined = set(_bound_at_top(tree))
    found: dict[str, str] = {}
    for node in _top_statements(tree):
        if isinstance(node, ast.ImportFrom):
            source = importlib.util.resolve_name("." * node.level + (node.module or ""), module.__package__)
            for alias in node.names:
                if (alias.asname or alias.name) not in defined:
                    found[alias.asname or alias.name] = f"{source}.{alias.name}"
    return found


class Canon:
    """The dotted name where each public object is defined, following re-exports."""

    def __init__(self, modules: dict[str, ModuleType]) -> None:
        self.modules = modules
        self.imports = {name: _imports(module) for name, module in modules.items()}

    def __call__(self, dotted: str) -> str:
        seen = set()
        while dotted not in seen:
            seen.add(dotted)
            module, _, name = dotted.rpartition(".")
            while module and module not in self.modules:  # a member: Class.method
                module, _, outer = module.rpartition(".")
                name = f"{outer}.{name}"
            head, _, rest = name.partition(".")
            source = self.imports.get(module, {}).get(head)
            if source is None:
                return dotted
            dotted = f"{source}.{rest}" if rest else source
        return dotted


def check_coverage(app: Sphinx, env: BuildEnvironment) -> None:
    # Reported against the reference's first page, where a new page would be listed.
    where = app.config.api_coverage_page if app.config.api_coverage_page in env.found_docs else None

    def report(message: str, *args: object) -> None:
        logger.warning(message, *args, type="api", subtype="coverage", location=where)

    with mock(app.config.autodoc_mock_imports):
        try:
            modules = {m.__name__: m for m in public_modules(app.config.api_coverage_packages)}
        except Exception as error:  # noqa: BLE001 - any failure is the build's to report
            report("API coverage: cannot import the modules: %r", error)
            return
    canon = Canon(modules)
    documented = {canon(name) for name in env.get_domain("py").objects}
    documented_modules = set(env.get_domain("py").modules)
    count = 0
    # A class's members are checked where it is defined, or, when that is a private module,
    # where a public one first names it.
    classes_checked = set()
    for module_name, module in modules.items():
        if module_name not in documented_modules:
            report("API reference leaves out the module %s", module_name)
        for name in public_names(module):
            full = f"{module_name}.{name}"
            count += 1
            defined = canon(full)
            if defined not in documented:
                report("API reference leaves out %s", full)
            elif ((defined == full or defined.rpartition(".")[0] not in modules) and defined not in classes_checked
                  and inspect.isclass(cls := getattr(module, name, None))):
                classes_checked.add(defined)
                for member in (m for m in vars(cls) if not m.startswith("_")):
                    count += 1
                    if canon(f"{full}.{member}") not in documented:
                        report("API reference leaves out %s.%s", full, member)
    logger.info("API coverage: %d public names and class members in %d modules", count, len(modules))


def setup(app: Sphinx) -> dict[str, object]:
    app.setup_extension("sphinx.ext.autodoc")
    app.add_config_value("api_coverage_packages", ("vantor", "vantor_gym"), "env", types=(tuple, list))
    app.add_config_value("api_coverage_page", "api/index", "env", types=(str,))
    app.connect("env-check-consistency", check_coverage)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
