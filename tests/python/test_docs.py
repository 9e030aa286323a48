"""The documentation runs as written: in README.md and every page under docs/, every
Python block, with the results its comments promise, and every shell command; and the
README's links lead to files that exist (the site's own links are checked by its build)."""

import ast
import io
import os
import re
import subprocess
import sys
import textwrap
import tokenize
from pathlib import Path

import pytest

import vantor
from conftest import FREE_THREADED, SANITIZED, without_free_threaded_wheel

ROOT = Path(__file__).resolve().parents[2]

# Documentation is not what the sanitizers look for; the plain run covers it.
pytestmark = pytest.mark.skipif(SANITIZED, reason="the documentation is run by the unsanitized suite")


def documents() -> list[str]:
    """README.md and the site's Markdown pages, as paths from the repository root; the
    built site under docs/_build is output, not source."""
    pages = sorted(p.relative_to(ROOT).as_posix() for p in (ROOT / "docs").rglob("*.md")
                   if "_build" not in p.relative_to(ROOT / "docs").parts)
    return ["README.md", *pages]


def fenced_blocks(text: str, language: str) -> list[tuple[int, str]]:
    """(line number of the opening fence, text) of every block fenced as ```language, also
    when the fence is indented inside a list item (the block is then dedented)."""
    pattern = re.compile(rf"^([ \t]*)```{language}[ \t]*\n(.*?)^\1```", re.S | re.M)
    return [(text.count("\n", 0, m.start()) + 1, textwrap.dedent(m.group(2))) for m in pattern.finditer(text)]


def blocks(language: str) -> list[tuple[str, str]]:
    """(id as document:line, text) of every block fenced as ```language in the documents."""
    found = []
    for document in documents():
        text = (ROOT / document).read_text()
        found += [(f"{document}:{line}", block) for line, block in fenced_blocks(text, language)]
    return found


def is_excerpt(block: str) -> bool:
    first = block.lstrip().splitlines()[0] if block.strip() else ""
    return first.startswith("#") and "excerpt" in first.lower()


def with_promised_results(block: str) -> str:
    """The block with an assertion after each top-level line whose comment is a Python
    literal: ``fen(env)  # 'rnbqkbnr/...'`` must give that text, ``x = f()  # 564`` must
    leave x at 564. Comments that are prose are left alone."""
    comments = {}
    for token in tokenize.generate_tokens(io.StringIO(block).readline):
        if token.type == tokenize.COMMENT:
            comments[token.start[0]] = token.string[1:].strip()
    lines = block.splitlines()
    inserts: list[tuple[int, str]] = []
    for statement in ast.parse(block).body:
        comment = comments.get(statement.end_lineno or 0)
        if comment is None or statement.lineno != statement.end_lineno:
            continue
        try:
            expected = ast.literal_eval(comment)
        except (ValueError, SyntaxError):
            continue
        if isinstance(statement, ast.Expr):
            value = ast.get_source_segment(block, statement.value)
        elif isinstance(statement, ast.Assign) and len(statement.targets) == 1 and isinstance(statement.targets[0], ast.Name):
            value = statement.targets[0].id
        else:
            continue
        check = f"assert ({value}) == {expected!r}, ({value!r}, {value})"
        if isinstance(statement, ast.Expr):
            lines[statement.lineno - 1] = check
        else:
            inserts.append((statement.lineno, check))
    for after, check in sorted(inserts, reverse=True):
        lines.insert(after, check)
    return "\n".join(lines) + "\n"


def missing_here(block: str) -> str | None:
    """Why the block cannot run on this interpreter, if it imports a package that has no
    wheel for the free-threaded interpreter."""
    for node in ast.walk(ast.parse(block)):
        names = [a.name for a in node.names] if isinstance(node, ast.Import) else []
        if isinstance(node, ast.ImportFrom) and node.module and not node.level:
            names = [node.module]
        for name in names:
            if (reason := without_free_threaded_wheel(name)) is not None:
                return reason
    return None


def environment() -> dict[str, str]:
    """The suite's own modules, by absolute path, for a process that starts elsewhere."""
    paths = [os.path.dirname(vantor.__file__), os.path.join(ROOT, "python")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths))


PYTHON_BLOCKS = blocks("python")
SHELL_BLOCKS = blocks("sh")


def test_the_documents_have_blocks_to_run():
    assert len(documents()) > 1
    assert len(PYTHON_BLOCKS) >= 8 and SHELL_BLOCKS


@pytest.mark.parametrize("where, block", PYTHON_BLOCKS, ids=[where for where, _ in PYTHON_BLOCKS])
def test_python_block_runs_as_written(where, block, tmp_path):
    if is_excerpt(block):
        pytest.skip("an excerpt, as its first line says")
    if (reason := missing_here(block)) is not None:
        pytest.skip(reason)
    script = tmp_path / "block.py"
    script.write_text(with_promised_results(block))
    try:
        done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=environment(),
                              capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the block at {where} ran past 600 s")
    assert done.returncode == 0, f"{where}:\n{done.stderr[-3000:]}"


def shell_commands() -> list[tuple[str, str]]:
    """(id as document:line, command) of every command line of the shell blocks that are
    not excerpts."""
    commands = []
    for where, block in SHELL_BLOCKS:
        if is_excerpt(block):
            continue
        document, line = where.rsplit(":", 1)
        for offset, command in enumerate(block.splitlines()):
            command = command.strip()
            if command and not command.startswith("#"):
                commands.append((f"{document}:{int(line) + 1 + offset}", command))
    return commands


# The commands run the root's python3 whichever interpreter runs the suite.
@pytest.mark.skipif(FREE_THREADED, reason="the documentation's commands run python3, which the GIL run covers")
@pytest.mark.parametrize("where, command", shell_commands(), ids=[where for where, _ in shell_commands()])
def test_shell_command_runs_as_written(where, command):
    try:
        done = subprocess.run(["bash", "-c", command], cwd=ROOT, env=environment(),
                              capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the command at {where} ran past 600 s")
    assert done.returncode == 0, f"{where}: {command}\n{done.stdout[-2000:]}\n{done.stderr[-3000:]}"


# Code is not prose: a link written inside a code span or a fenced block is an example.
_CODE = re.compile(r"^([ \t]*)(```|~~~).*?^\1\2|`[^`\n]*`", re.S | re.M)
_INLINE_LINK = re.compile(r"!?\[[^\]\n]*\]\(\s*(<[^>\n]*>|[^)\s]+)[^)\n]*\)")
_REFERENCE_LINK = re.compile(r"^[ \t]{0,3}\[[^\]\n]+\]:[ \t]*(<[^>\n]*>|\S+)", re.M)


def relative_links(text: str) -> list[str]:
    """The targets of the Markdown links and images in TEXT that name a file of the
    repository: no scheme, no page-local anchor; without their #anchor or ?query."""
    prose = _CODE.sub("", text)
    targets = [m.group(1).strip("<>") for m in (*_INLINE_LINK.finditer(prose), *_REFERENCE_LINK.finditer(prose))]
    return [re.split(r"[#?]", t, maxsplit=1)[0] for t in targets
            if t and not t.startswith("#") and not re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", t)]


def test_readme_links_lead_to_files_that_exist():
    links = relative_links((ROOT / "README.md").read_text())
    assert links, "no link of the README was found"
    assert [link for link in links if not (ROOT / link).exists()] == []


@pytest.mark.parametrize("text, links", [
    ("See [the guide](docs/gymnasium.md#vector-environments) and ![curve](docs/curve.png \"Curve\").",
     ["docs/gymnasium.md", "docs/curve.png"]),
    ("[site](https://example.org/x.md), [mail](mailto:a@b), [here](#install), [ftp](ftp://h/f)", []),
    ("`[not](a-link.md)` and\n```sh\n[neither](b.md)\n```\n[ref]: <docs/my page.md> \"t\"\n",
     ["docs/my page.md"]),
    ("  ```md\n  [inside](c.md)\n  ```\n[after](d.md?plain=1)", ["d.md"]),
])
def test_relative_links_are_found(text, links):
    assert relative_links(text) == links


def test_blocks_are_found_where_the_pages_put_them():
    text = "Intro\n```python\nx = 1\n```\n- a step:\n\n  ```python\n  if x:\n      y = 2\n  ```\n```sh\nls\n```\n"
    assert fenced_blocks(text, "python") == [(2, "x = 1\n"), (7, "if x:\n    y = 2\n")]
    assert fenced_blocks(text, "sh") == [(11, "ls\n")]


def test_blocks_that_need_a_package_without_a_free_threaded_wheel_are_found(monkeypatch):
    import conftest

    monkeypatch.setattr(conftest, "FREE_THREADED", True)
    assert missing_here("import ray\n") == "Ray has no wheel for the free-threaded interpreter (cp314t)"
    assert missing_here("from pgx._src import games\n").startswith("jaxlib (pgx runs on JAX)")
    assert missing_here("import numpy, vantor_gym\nfrom . import raylike\n") is None


def test_promised_results_are_checked():
    checked = with_promised_results("x = 1 + 1  # 2\nx * 2  # 4\nprint(x)  # prints 2\n")
    assert checked.splitlines() == ["x = 1 + 1  # 2", "assert (x) == 2, ('x', x)", "assert (x * 2) == 4, ('x * 2', x * 2)",
                                    "print(x)  # prints 2"]


@pytest.mark.parametrize("described, left_out", [
    ("", ["demo.core.LIMIT", "demo.core.Thing.go", "demo.helper"]),
    (".. autodata:: demo.core.LIMIT\n.. autofunction:: demo.helper\n", ["demo.core.Thing.go"]),
    (".. autodata:: demo.core.LIMIT\n.. autofunction:: demo.helper\n.. automethod:: demo.Thing.go\n", []),
])
def test_api_reference_that_leaves_a_public_name_out_fails_to_build(described, left_out, tmp_path):
    pytest.importorskip("sphinx")
    # A re-export is covered where it is defined; type variables, imports and underscored
    # names are not public; __all__ decides where a module has one.
    (tmp_path / "demo").mkdir()
    (tmp_path / "demo" / "__init__.py").write_text(
        "from .core import Thing\n__all__ = ['Thing', 'helper']\ndef helper():\n    '''Helps.'''\n")
    (tmp_path / "demo" / "core.py").write_text(
        "import os\nfrom typing import TypeVar\nT = TypeVar('T')\n_HIDDEN = 1\nif os.sep:\n    LIMIT = 3\n"
        "    '''A limit.'''\nclass Thing:\n    '''A thing.'''\n    def go(self):\n        '''Goes.'''\n")
    (tmp_path / "demo" / "_private.py").write_text("SECRET = 1\n")
    source = tmp_path / "source"
    source.mkdir()
    (source / "conf.py").write_text(f"import sys\nsys.path.insert(0, {str(ROOT / 'docs' / '_ext')!r})\n"
                                    "extensions = ['api_coverage']\napi_coverage_packages = ['demo']\n")
    (source / "index.rst").write_text(
        "Demo\n====\n\n.. automodule:: demo\n\n.. automodule:: demo.core\n\n.. autoclass:: demo.Thing\n\n" + described)
    done = subprocess.run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html", "-E",
                           str(source), str(tmp_path / "out")], env=dict(os.environ, PYTHONPATH=str(tmp_path)),
                          capture_output=True, text=True, timeout=300)
    reported = re.findall(r"API reference leaves out (\S+)", done.stderr)
    assert (sorted(reported), done.returncode != 0) == (left_out, bool(left_out)), done.stderr
