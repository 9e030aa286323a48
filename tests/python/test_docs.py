"""The documentation runs as written: in README.md and every page under docs/, every
Python block, with the results its comments promise, and every shell command; and the
README's links lead to files that exist (the site's own links are checked by its build)."""

import ast
import glob
import io
import os
import re
import shlex
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


# The names a fence's info string may give each kind of block; MyST's `{code-block} python`
# names its language second.
LANGUAGES = {"python": {"python", "py", "python3"}, "sh": {"sh", "bash", "shell"}}
_OPENING = re.compile(r"([ \t]*)(`{3,}|~{3,})(.*)")
_DIRECTIVES = {"{code-block}", "{code}", "{sourcecode}"}


def fences(text: str) -> list[tuple[int, int, str]]:
    """(index of the opening line, index of the closing line, language) of every fenced
    block, as Markdown reads them: ``` or ~~~, three or more, closed by a run as long or
    longer of the same character (a fence inside a longer one is text); an unclosed block
    runs to the end."""
    lines = text.split("\n")
    found = []
    i = 0
    while i < len(lines):
        opening = _OPENING.fullmatch(lines[i])
        if opening is None or (opening[2][0] == "`" and "`" in opening[3]):
            i += 1
            continue
        words = opening[3].split()
        if words and words[0] in _DIRECTIVES:
            words = words[1:]
        close = re.compile(rf"[ \t]*{re.escape(opening[2][0])}{{{len(opening[2])},}}[ \t]*")
        end = next((j for j in range(i + 1, len(lines)) if close.fullmatch(lines[j])), len(lines))
        found.append((i, end, words[0].lower() if words else ""))
        i = end + 1
    return found


def fenced_blocks(text: str, language: str) -> list[tuple[int, str]]:
    """(line number of the opening fence, text) of every block fenced as ```language (or
    under another name of it), also when the fence is indented inside a list item (the
    block is then dedented)."""
    lines = text.split("\n")
    return [(start + 1, textwrap.dedent("".join(line + "\n" for line in lines[start + 1:end])))
            for start, end, name in fences(text) if name in LANGUAGES[language]]


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
    """The block with an assertion after each one-line statement whose comment is a Python
    literal: ``fen(env)  # 'rnbqkbnr/...'`` must give that text, ``x = f()  # 564`` must
    leave x at 564, at any depth of the block. Comments that are prose are left alone."""
    comments = {}
    for token in tokenize.generate_tokens(io.StringIO(block).readline):
        if token.type == tokenize.COMMENT:
            comments[token.start[0]] = token.string[1:].strip()
    lines = block.splitlines()
    inserts: list[tuple[int, str]] = []
    for statement in ast.walk(ast.parse(block)):
        if not isinstance(statement, ast.stmt):
            continue
        comment = comments.get(statement.end_lineno or 0)
        indent = lines[statement.lineno - 1][:statement.col_offset]
        # A statement after `if x:` on its own line cannot take an assertion in its place.
        if comment is None or statement.lineno != statement.end_lineno or indent.strip():
            continue
        try:
            expected = ast.literal_eval(comment)
        except (ValueError, SyntaxError):
            continue
        if isinstance(statement, ast.Expr):
            value = ast.get_source_segment(block, statement.value)
        elif isinstance(statement, ast.Assign) and len(statement.targets) == 1:
            value = ast.get_source_segment(block, statement.targets[0])
        elif isinstance(statement, (ast.AnnAssign, ast.AugAssign)) and getattr(statement, "value", None) is not None:
            value = ast.get_source_segment(block, statement.target)
        else:
            continue
        check = f"{indent}assert ({value}) == {expected!r}, ({value!r}, {value})"
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


def commands_of(where: str, block: str) -> list[tuple[str, str]]:
    """(id as document:line, command) of each command of the shell block at WHERE; a line
    ending in a backslash goes on on the next."""
    document, line = where.rsplit(":", 1)
    commands = []
    start, command = None, ""
    for offset, text in enumerate(block.splitlines()):
        text = text.strip()
        if start is None and (not text or text.startswith("#")):
            continue
        start = offset if start is None else start
        if text.endswith("\\"):
            command += text[:-1]
            continue
        commands.append((f"{document}:{int(line) + 1 + start}", command + text))
        start, command = None, ""
    if start is not None:
        commands.append((f"{document}:{int(line) + 1 + start}", command.strip()))
    return commands


def shell_commands() -> list[tuple[str, str]]:
    """Every command of the shell blocks that are not excerpts."""
    return [command for where, block in SHELL_BLOCKS if not is_excerpt(block) for command in commands_of(where, block)]


# What each of the toolchain's layers leaves in the root: a command that names a layer this
# root lacks cannot run in it (the outer run that would install it is the host's).
LAYER_MARKS = {"tools": "/.vantor-tools-*", "peers": "/.vantor-peers-*", "torch": "/.vantor-torch-*",
               "docs": "/.vantor-docs-*", "ft": "/usr/local/bin/python3.14t"}


def layers_missing(command: str) -> str | None:
    """Why COMMAND cannot run here, if it is a tools/toolchain run --with LAYERS that names
    a layer this toolchain root lacks."""
    if not os.environ.get("VANTOR_TOOLCHAIN_INSIDE"):
        return None
    try:
        words = shlex.split(command)
    except ValueError:
        return None
    if words[:2] != ["tools/toolchain", "run"]:
        return None
    named = []
    for i in range(2, len(words)):
        if words[i - 1] == "--with":
            named += words[i].split(",")
        elif words[i].startswith("--with="):
            named += words[i].removeprefix("--with=").split(",")
        elif words[i] != "--with":
            break
    names = {name.strip() for name in named}
    if "all" in names:
        names |= set(LAYER_MARKS)
    lacking = sorted(name for name in names & set(LAYER_MARKS) if not glob.glob(LAYER_MARKS[name]))
    if not lacking:
        return None
    return f"the toolchain root has no {', '.join(lacking)} layer (tools/toolchain build {','.join(lacking)})"


def run_shell(command: str) -> subprocess.CompletedProcess[str]:
    """Runs COMMAND from the repository's root; a failure anywhere in it fails it, as it
    would stop a reader."""
    return subprocess.run(["bash", "-e", "-o", "pipefail", "-c", command], cwd=ROOT, env=environment(),
                          capture_output=True, text=True, timeout=600)


# The commands run the root's python3 whichever interpreter runs the suite.
@pytest.mark.skipif(FREE_THREADED, reason="the documentation's commands run python3, which the GIL run covers")
@pytest.mark.parametrize("where, command", shell_commands(), ids=[where for where, _ in shell_commands()])
def test_shell_command_runs_as_written(where, command):
    if (reason := layers_missing(command)) is not None:
        pytest.skip(reason)
    try:
        done = run_shell(command)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the command at {where} ran past 600 s")
    assert done.returncode == 0, f"{where}: {command}\n{done.stdout[-2000:]}\n{done.stderr[-3000:]}"


# Code is not prose: a link written inside a code span or a fenced block is an example.
_CODE_SPAN = re.compile(r"`[^`\n]*`")
_INLINE_LINK = re.compile(r"!?\[[^\]\n]*\]\(\s*(<[^>\n]*>|[^)\s]+)[^)\n]*\)")
_REFERENCE_LINK = re.compile(r"^[ \t]{0,3}\[[^\]\n]+\]:[ \t]*(<[^>\n]*>|\S+)", re.M)


def relative_links(text: str) -> list[str]:
    """The targets of the Markdown links and images in TEXT that name a file of the
    repository: no scheme, no page-local anchor; without their #anchor or ?query."""
    lines = text.split("\n")
    for start, end, _ in reversed(fences(text)):
        del lines[start:end + 1]
    prose = _CODE_SPAN.sub("", "\n".join(lines))
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


@pytest.mark.parametrize("text, found", [
    ("```python   \nx = 1\n```", [(1, "x = 1\n")]),
    ("~~~python\nx = 1\n~~~", [(1, "x = 1\n")]),
    ("```py\nx = 1\n```\n``` python3 title\ny = 2\n```", [(1, "x = 1\n"), (4, "y = 2\n")]),
    ("```{code-block} python\nx = 1\n```", [(1, "x = 1\n")]),
    ("````python\nx = 1\n```\ny = 2\n````", [(1, "x = 1\n```\ny = 2\n")]),
    # An example of Markdown shows a block; it is not one to run.
    ("````md\n```python\nx = 1\n```\n````\n~~~\n```python\n~~~", []),
    ("```pycon\n>>> 1\n```\n```text\nx = 1\n```", []),
    ("Text\n```python\nx = 1", [(2, "x = 1\n")]),
])
def test_every_fence_markdown_reads_as_python_is_found(text, found):
    assert fenced_blocks(text, "python") == found


@pytest.mark.parametrize("block, commands", [
    ("# a comment\n\nls\n  pwd  \n", [("d.md:3", "ls"), ("d.md:4", "pwd")]),
    ("make \\\n  docs \\\n  JOBS=1\nls\n", [("d.md:1", "make docs JOBS=1"), ("d.md:4", "ls")]),
    ("make \\\n", [("d.md:1", "make")]),
])
def test_shell_commands_are_read_as_a_reader_types_them(block, commands):
    assert commands_of("d.md:0", block) == commands


@pytest.mark.parametrize("command", ["false", "false; true", "false | cat", "true && false"])
def test_a_shell_command_that_fails_anywhere_fails(command):
    assert run_shell(command).returncode != 0


@pytest.mark.parametrize("command, reason", [
    ("tools/toolchain run --with ft python3.14t -c pass", "no ft layer (tools/toolchain build ft)"),
    ("tools/toolchain run --with=torch,ft --with peers make test-ft",
     "no ft, peers layer (tools/toolchain build ft,peers)"),
    ("tools/toolchain run --with all true", "no docs, ft, peers layer"),
    ("tools/toolchain run --with torch,root python3 -m vantor_gym bench", None),
    ("tools/toolchain run python3 --with ft", None),
    ("make docs --with ft", None),
    ("tools/toolchain run 'unbalanced", None),
])
def test_commands_that_need_a_layer_the_root_lacks_are_found(command, reason, monkeypatch, tmp_path):
    (tmp_path / ".vantor-torch-1").touch()
    (tmp_path / ".vantor-tools-1").touch()
    monkeypatch.setattr(sys.modules[__name__], "LAYER_MARKS", {name: str(tmp_path / f".vantor-{name}-*") for name in
                                                                ["tools", "peers", "torch", "docs", "ft"]})
    monkeypatch.setenv("VANTOR_TOOLCHAIN_INSIDE", "1")
    found = layers_missing(command)
    assert (found is None) == (reason is None) and (reason or "") in (found or "")
    # Outside the root the outer run installs what a command names.
    monkeypatch.delenv("VANTOR_TOOLCHAIN_INSIDE")
    assert layers_missing(command) is None


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


@pytest.mark.parametrize("block, holds", [
    ("x = 1 + 1  # 3\n", False),
    ("x = 'a'  # 'b'\n", False),
    ("len([1, 2])  # 3\n", False),
    ("import contextlib\nwith contextlib.nullcontext():\n    bool(0)  # True\n", False),
    ("for i in range(2):\n    i * 0  # 1\n", False),
    ("a, b = 1, 2  # (1, 3)\n", False),
    ("x: int = 2  # 3\n", False),
    ("x = 1\nx += 1  # 3\n", False),
    ("import contextlib\nwith contextlib.nullcontext():\n    bool(1)  # True\n", True),
    ("a, b = 1, 2  # (1, 2)\nx = 1\nx += 1  # 2\nif x: x  # 5\nd = {}\nd['k'] = 5  # 5\n", True),
    ("x = 1  # see below\nprint(x)  # prints 1\n", True),
])
def test_a_promised_result_that_does_not_hold_fails(block, holds):
    def run():
        exec(compile(with_promised_results(block), "block.py", "exec"), {})

    if holds:
        run()
    else:
        with pytest.raises(AssertionError):
            run()


@pytest.mark.parametrize("described, left_out", [
    ("", ["demo.Engine.start", "demo.core.LIMIT", "demo.core.Thing.go", "demo.helper"]),
    (".. autodata:: demo.core.LIMIT\n.. autofunction:: demo.helper\n", ["demo.Engine.start", "demo.core.Thing.go"]),
    (".. autodata:: demo.core.LIMIT\n.. autofunction:: demo.helper\n.. automethod:: demo.Thing.go\n"
     ".. automethod:: demo.Engine.start\n", []),
])
def test_api_reference_that_leaves_a_public_name_out_fails_to_build(described, left_out, tmp_path):
    pytest.importorskip("sphinx")
    # A re-export is covered where it is defined, and the members of a class defined in a
    # private module where it is made public; type variables, imports, the items of an
    # imported module and underscored names are not public; __all__ decides where a module
    # has one.
    (tmp_path / "demo").mkdir()
    (tmp_path / "demo" / "__init__.py").write_text(
        "from .core import Thing\nfrom ._private import Engine\n__all__ = ['Engine', 'Thing', 'helper']\n"
        "def helper():\n    '''Helps.'''\n")
    (tmp_path / "demo" / "core.py").write_text(
        "import os\nfrom typing import TypeVar\nT = TypeVar('T')\n_HIDDEN = 1\nos.environ['DEMO'] = '1'\n"
        "if os.sep:\n    LIMIT = 3\n"
        "    '''A limit.'''\nclass Thing:\n    '''A thing.'''\n    def go(self):\n        '''Goes.'''\n")
    (tmp_path / "demo" / "_private.py").write_text(
        "SECRET = 1\nclass Engine:\n    '''An engine.'''\n    def start(self):\n        '''Starts.'''\n")
    source = tmp_path / "source"
    source.mkdir()
    (source / "conf.py").write_text(f"import sys\nsys.path.insert(0, {str(ROOT / 'docs' / '_ext')!r})\n"
                                    "extensions = ['api_coverage']\napi_coverage_packages = ['demo']\n")
    (source / "index.rst").write_text(
        "Demo\n====\n\n.. automodule:: demo\n\n.. automodule:: demo.core\n\n.. autoclass:: demo.Thing\n\n"
        ".. autoclass:: demo.Engine\n\n" + described)
    done = subprocess.run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html", "-E",
                           str(source), str(tmp_path / "out")], env=dict(os.environ, PYTHONPATH=str(tmp_path)),
                          capture_output=True, text=True, timeout=300)
    reported = re.findall(r"API reference leaves out (\S+)", done.stderr)
    assert (sorted(reported), done.returncode != 0) == (left_out, bool(left_out)), done.stderr


def test_a_class_built_on_a_missing_package_shows_its_own_signature(tmp_path):
    pytest.importorskip("sphinx")
    # Built with the site's settings where the base class's package is not installed.
    (tmp_path / "demo_net.py").write_text(
        "import missing_base\nclass Net(missing_base.Module):\n    '''A net.'''\n"
        "    def __init__(self, channels: int = 8, *, blocks: int = 2) -> None:\n        '''Makes one.'''\n")
    source = tmp_path / "source"
    source.mkdir()
    (source / "conf.py").write_text(
        f"import runpy\nglobals().update(runpy.run_path({str(ROOT / 'docs' / 'conf.py')!r}))\n"
        "extensions = ['sphinx.ext.autodoc']\nsource_suffix = {'.rst': 'restructuredtext'}\n"
        "autodoc_mock_imports = ['missing_base']\nhtml_theme = 'basic'\n")
    (source / "index.rst").write_text("Demo\n====\n\n.. autoclass:: demo_net.Net\n")
    done = subprocess.run([sys.executable, "-m", "sphinx", "-W", "-q", "-b", "text", "-E", str(source),
                           str(tmp_path / "out")], env=dict(os.environ, PYTHONPATH=str(tmp_path)),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "class demo_net.Net(channels: int = 8, *, blocks: int = 2)" in (tmp_path / "out" / "index.txt").read_text()


def test_the_site_check_finds_every_link_that_leads_nowhere(tmp_path):
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        from check_links import broken_links
    finally:
        sys.path.pop(0)
    (tmp_path / "api").mkdir()
    (tmp_path / "api" / "page.html").write_text('<h1 id="top">x</h1><a name="old">y</a>')
    (tmp_path / "index.html").write_text(
        '<a href="api/page.html#top">fine</a> <a href="api/page.html#old">fine</a> <a href="#here" id="here">fine</a>'
        ' <a href="https://example.org/x.html">not checked</a> <img src="api/page.html">'
        ' <a href="api/page.html#gone">anchor</a> <a href="missing.html">file</a> <a href="#nowhere">here</a>')
    assert broken_links(str(tmp_path)) == ["index.html: api/page.html#gone (no such anchor)",
                                           "index.html: missing.html (no such file)",
                                           "index.html: #nowhere (no such anchor)"]
