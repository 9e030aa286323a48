"""Installation with pip, the type stub, and strict type checks of the examples."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import vantor
from conftest import SANITIZED

# Packaging builds and type checks gain nothing from the sanitized module.
pytestmark = pytest.mark.skipif(SANITIZED, reason="packaging is checked by the plain run")

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_stub_matches_the_module(tmp_path):
    if shutil.which("pybind11-stubgen") is None:
        pytest.skip("pybind11-stubgen is not installed")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(vantor.__file__))
    subprocess.run(["pybind11-stubgen", "vantor", "-o", str(tmp_path)], check=True, env=env,
                   capture_output=True)
    with open(os.path.join(ROOT, "stubs", "vantor.pyi")) as kept, open(tmp_path / "vantor.pyi") as fresh:
        assert kept.read() == fresh.read(), "stubs/vantor.pyi is stale: regenerate it with pybind11-stubgen"


def test_examples_pass_strict_type_checks():
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=os.pathsep.join([os.path.join(ROOT, "stubs"), os.path.join(ROOT, "python")]))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "examples", "python/vantor_gym"],
        cwd=ROOT, env=env, capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_pip_installs_into_a_fresh_environment(tmp_path):
    pytest.importorskip("scikit_build_core")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    install = subprocess.run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps", "--quiet",
         "--config-settings=build-dir=" + str(tmp_path / "build"), ROOT],
        env=env, capture_output=True, text=True,
    )
    assert install.returncode == 0, install.stdout + install.stderr
    probe = textwrap.dedent(
        """
        import os, sys, vantor, vantor_gym
        where = os.path.dirname(vantor.__file__)
        assert where.startswith(sys.prefix), where
        assert os.path.exists(os.path.join(where, "vantor.pyi"))
        env = vantor.Vantor()
        print(env.reset()[0], len(env.get_actions()), vantor_gym.VantorEnv().reset()[0].shape)
        """
    )
    result = subprocess.run([python, "-c", probe], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert result.stdout.strip() == "0 73 (119, 8, 8)", result.stderr
