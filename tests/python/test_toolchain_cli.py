"""tools/toolchain reads its arguments before it builds anything: a wrong one stops it with
one line, and the layers it goes on to make sure of are exactly those named."""

import os
import re
import subprocess
from pathlib import Path

import pytest

from conftest import SANITIZED

ROOT = Path(__file__).resolve().parents[2]
ALL = ["tools", "peers", "torch", "ft", "docs"]

pytestmark = [pytest.mark.skipif(os.geteuid() != 0, reason="tools/toolchain runs as root"),
              pytest.mark.skipif(SANITIZED, reason="the toolchain's script is not what the sanitizers look for")]


def toolchain(tmp_path, *args, inside=False, trace=False):
    """Runs tools/toolchain with ARGS against a cache that cannot be made (its parent is a
    file), so that a run which gets as far as building stops there, having built nothing."""
    (tmp_path / "file").touch()
    env = {k: v for k, v in os.environ.items() if not k.startswith("VANTOR_")}
    env["VANTOR_TOOLCHAIN_CACHE"] = str(tmp_path / "file" / "cache")
    if inside:
        env["VANTOR_TOOLCHAIN_INSIDE"] = "1"
    command = ["bash", *(["-x"] if trace else []), str(ROOT / "tools" / "toolchain"), *args]
    return subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("args, message", [
    ([], "usage: tools/toolchain {run"),
    (["frob"], "usage: tools/toolchain {run"),
    (["run"], "usage: tools/toolchain run [--with LAYERS]"),
    (["run", "--with"], "usage: tools/toolchain run [--with LAYERS]"),
    (["run", "--with", "docs"], "usage: tools/toolchain run [--with LAYERS]"),
    (["run", "--with", "docs", "--with"], "usage: tools/toolchain run [--with LAYERS]"),
    (["run", "--with", "", "true"], "no layer named in ''"),
    (["run", "--with", ",", "true"], "no layer named in ','"),
    (["run", "--with", "peers,", "true"], "no layer named in 'peers,'"),
    (["run", "--with", "peers", "--with", "", "true"], "no layer named in 'peers,'"),
    (["run", "--with=", "true"], "no layer named in ''"),
    (["run", "--with", "all,root", "true"], "'root' is the root without any layer"),
    (["run", "--with", "root,torch", "true"], "'root' is the root without any layer"),
    (["run", "--with", "root", "--with", "docs", "true"], "'root' is the root without any layer"),
    (["run", "--with", "bogus", "true"], "unknown layer 'bogus'"),
    (["run", "--with", "Torch", "true"], "unknown layer 'Torch'"),
    # Names are not patterns: from the repository's root, to* would be the tools folder.
    (["run", "--with", "to*", "true"], "unknown layer 'to*'"),
    (["run", "--with", "*", "true"], "unknown layer '*'"),
    (["run", "--with", "peers torch", "true"], "unknown layer 'peers torch'"),
    (["run", "--with", "peers\ntorch", "true"], "unknown layer 'peers?torch'"),
    (["build", ""], "no layer named in ''"),
    (["build", "-n"], "unknown layer '-n'"),
    (["build", "docs", "bogus"], "unknown layer 'bogus'"),
])
def test_a_wrong_argument_stops_it_with_one_line(tmp_path, args, message):
    done = toolchain(tmp_path, *args)
    assert (done.returncode, done.stdout) == (1, "")
    assert len(done.stderr.splitlines()) == 1 and done.stderr.startswith("toolchain: ") and message in done.stderr, \
        done.stderr


@pytest.mark.parametrize("args, layers", [
    (["run", "true"], []),
    (["run", "--with", "root", "true"], ["root"]),
    (["run", "--with", "peers", "--with=torch", "true"], ["peers", "torch"]),
    (["run", "--with", " docs , ft ", "python3", "--with", "torch"], ["docs", "ft"]),
    (["run", "--with", "all", "true"], ALL),
    (["build"], ALL),
    (["build", "root"], ["root"]),
    (["build", "torch", "peers"], ["torch", "peers"]),
])
def test_the_layers_named_are_the_layers_made_sure_of(tmp_path, args, layers):
    done = toolchain(tmp_path, *args, trace=True)
    # bash's trace quotes the argument of several lines as 'a<newline>b' or as $'a\nb'.
    ensured = re.search(r"^\+ ensure (\$'[^']*'|'[^']*'|\S*)$", done.stderr, re.M)
    assert ensured is not None, done.stderr
    named = ensured[1].removeprefix("$").strip("'").replace("\\n", "\n")
    assert [layer for layer in named.split("\n") if layer] == layers
    # It went on to the cache, which cannot be made, and stopped there.
    assert done.returncode != 0 and "Not a directory" in done.stderr


def test_inside_the_root_a_run_takes_its_layers_as_given(tmp_path):
    done = toolchain(tmp_path, "run", "--with", "ft", "--with=bogus", "echo", "ran", inside=True)
    assert (done.returncode, done.stdout) == (0, "ran\n"), done.stderr
    done = toolchain(tmp_path, "run", "--with", inside=True)
    assert done.returncode == 1 and "usage: tools/toolchain run" in done.stderr


def test_inside_the_root_it_builds_nothing(tmp_path):
    done = toolchain(tmp_path, "build", "docs", inside=True)
    assert done.returncode == 1 and "inside the toolchain root already" in done.stderr
    assert "mkdir" not in done.stderr
    done = toolchain(tmp_path, "path", inside=True)
    assert (done.returncode, done.stdout) == (0, "/\n")
