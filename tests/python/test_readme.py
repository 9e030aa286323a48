"""The README runs as written: every Python block, with the results its comments promise,
and every shell block, each in a fresh process outside the repository."""

import ast
import io
import os
import re
import subprocess
import sys
import tokenize

import pytest

import vantor
from conftest import FREE_THREADED, SANITIZED, without_free_threaded_wheel

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
README = os.path.join(ROOT, "README.md")

# Documentation is not what the sanitizers look for; the plain run covers it.
pytestmark = pytest.mark.skipif(SANITIZED, reason="the README is run by the unsanitized suite")


def fenced_blocks(language: str) -> list[tuple[int, str]]:
    """(line number, text) of every block fenced as ```language."""
    with open(README) as f:
        text = f.read()
    pattern = re.compile(rf"^```{language}\n(.*?)^```", re.S | re.M)
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in pattern.finditer(text)]


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


PYTHON_BLOCKS = fenced_blocks("python")
SHELL_BLOCKS = fenced_blocks("sh")


def test_the_readme_has_blocks_to_run():
    assert len(PYTHON_BLOCKS) >= 8 and SHELL_BLOCKS


@pytest.mark.parametrize("line, block", PYTHON_BLOCKS, ids=[f"line {n}" for n, _ in PYTHON_BLOCKS])
def test_python_block_runs_as_written(line, block, tmp_path):
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
        pytest.fail(f"the block at README line {line} ran past 600 s")
    assert done.returncode == 0, f"README line {line}:\n{done.stderr[-3000:]}"


def shell_commands() -> list[tuple[int, str]]:
    commands = []
    for line, block in SHELL_BLOCKS:
        if is_excerpt(block):
            continue
        for offset, command in enumerate(block.splitlines()):
            command = command.strip()
            if command and not command.startswith("#"):
                commands.append((line + 1 + offset, command))
    return commands


# The commands run the root's python3 whichever interpreter runs the suite.
@pytest.mark.skipif(FREE_THREADED, reason="the README's commands run python3, which the GIL run covers")
@pytest.mark.parametrize("line, command", shell_commands(), ids=[f"line {n}" for n, _ in shell_commands()])
def test_shell_command_runs_as_written(line, command):
    try:
        done = subprocess.run(["bash", "-c", command], cwd=ROOT, env=environment(),
                              capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the command at README line {line} ran past 600 s")
    assert done.returncode == 0, f"README line {line}: {command}\n{done.stdout[-2000:]}\n{done.stderr[-3000:]}"


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
