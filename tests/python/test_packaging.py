"""The wheel as a user installs it, the type stubs, strict type checks, and the make
front end."""

import os
import re
import shutil
import stat
import subprocess
import sys
import textwrap
import zipfile

import pytest

import vantor
from conftest import FREE_THREADED, NO_FREE_THREADED_WHEEL, SANITIZED, TURN_THE_GIL_ON, without_free_threaded_wheel

# Packaging builds and type checks gain nothing from the sanitized module, and the wheel
# build is slow under it.
pytestmark = pytest.mark.skipif(SANITIZED, reason="packaging is checked by the plain run")

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# vantor_gym's modules that need Gymnasium (aec PettingZoo as well); every other one
# imports with NumPy alone. __main__ runs the command line, so it is not imported.
GYMNASIUM_MODULES = {"env", "vector", "render", "aec", "_observations", "shaping"}
# The modules of the PyTorch extras, which no venv here installs (several GB).
TORCH_MODULES = {"sb3", "torchrl", "maskable"}


def test_stub_matches_the_module(tmp_path):
    if shutil.which("pybind11-stubgen") is None:
        pytest.skip("pybind11-stubgen is not installed")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(vantor.__file__))
    subprocess.run(["pybind11-stubgen", "vantor", "-o", str(tmp_path)], check=True, env=env,
                   capture_output=True)
    with open(os.path.join(ROOT, "stubs", "vantor.pyi")) as kept, open(tmp_path / "vantor.pyi") as fresh:
        assert kept.read() == fresh.read(), "stubs/vantor.pyi is stale: regenerate it with pybind11-stubgen"


def test_examples_pass_strict_type_checks(tmp_path):
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=os.pathsep.join([os.path.join(ROOT, "stubs"), os.path.join(ROOT, "python")]))
    # The packages the free-threaded interpreter cannot have are taken as untyped there:
    # the GIL run checks the code that uses them against their own types.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n" + "".join(f"[mypy-{name}.*]\nignore_missing_imports = True\n"
                                           for name in [*NO_FREE_THREADED_WHEEL, *TURN_THE_GIL_ON]
                                           if without_free_threaded_wheel(name)))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--config-file", str(config), "examples", "python/vantor_gym"],
        cwd=ROOT, env=env, capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_without_gymnasium_the_numpy_parts_import_and_the_rest_says_what_to_install():
    probe = textwrap.dedent(
        """
        import sys
        sys.modules["gymnasium"] = None  # as if it were not installed
        import vantor_gym
        from vantor_gym import BatchEnv
        from vantor_gym import engines, notation, search, states
        games = BatchEnv(1, threads=1)
        games.reset()
        assert notation.fen((games, 0)).startswith("rnbqkbnr/")
        for name in ("VantorEnv", "VantorVectorEnv", "letter_board"):
            try:
                getattr(vantor_gym, name)
            except ImportError as error:
                assert "pip install 'vantor[gym]'" in str(error), error
            else:
                raise AssertionError(name + " loaded without gymnasium")
        print("ok")
        """
    )
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True)
    assert result.stdout.strip() == "ok", result.stderr


def test_gymnasium_names_load_on_first_use_and_the_env_is_registered():
    probe = textwrap.dedent(
        """
        import sys
        import gymnasium
        import vantor_gym
        assert "vantor_gym.env" not in sys.modules
        from vantor_gym import VantorEnv, VantorVectorEnv, letter_board
        assert "VantorEnv" in dir(vantor_gym) and vantor_gym.VantorEnv is VantorEnv
        env = gymnasium.make("vantor_gym/Chess-v0")
        assert isinstance(env.unwrapped, VantorEnv)
        try:
            vantor_gym.NoSuchThing
        except AttributeError:
            print("ok")
        """
    )
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True)
    assert result.stdout.strip() == "ok", result.stderr


@pytest.fixture
def fake_toolchain(tmp_path):
    """A directory whose tools/toolchain only prints its arguments, for make to call."""
    script = tmp_path / "tools" / "toolchain"
    script.parent.mkdir()
    script.write_text('#!/bin/sh\necho "$@"\n')
    script.chmod(script.stat().st_mode | stat.S_IEXEC)
    return tmp_path


@pytest.mark.parametrize(
    ("args", "environment", "expected", "layers"),
    [
        (["JOBS=1", "BUILD=build-x", "test-cpp"], {}, {"BUILD=build-x", "JOBS=1"}, None),
        (["build"], {"JOBS": "3"}, {"BUILD=build", "JOBS=3"}, None),
        # The main job waits for no layer: the root alone.
        (["-n", "-k", "CXX=clang++", "run"], {}, {"CXX=clang++", "JOBS=2"}, "root"),
        (["test"], {}, {"JOBS=2"}, "all"),
    ],
)
def test_make_hands_its_variables_and_flags_into_the_root(fake_toolchain, args, environment, expected, layers):
    if shutil.which("make") is None:
        pytest.skip("make is not installed")
    # Not the settings of a make this suite may itself run under (make test sets MAKELEVEL,
    # which makes the inner make print its directories).
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("MAKE") and k not in ("MFLAGS", "JOBS", "BUILD")}
    result = subprocess.run(
        ["make", "-f", os.path.join(ROOT, "Makefile"), "PYTHON=", *args],
        cwd=fake_toolchain, env=dict(env, **environment), capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stderr
    # make prints the command before the stand-in toolchain echoes it.
    words = next(line for line in reversed(result.stdout.splitlines()) if line.startswith("run ")).split()
    assert (words[2] if words[1] == "--with" else None) == layers, result.stdout
    if layers is not None:
        del words[1:3]
    assert words[:2] == ["run", "make"] and words[-2:] == ["PYTHON=python3", args[-1]], result.stdout
    assert expected <= set(words), result.stdout
    flags = {letter for w in words[2:] if re.fullmatch(r"-[a-zA-Z]+", w) for letter in w[1:]}
    assert flags == {letter for a in args if re.fullmatch(r"-[a-zA-Z]+", a) for letter in a[1:]}, result.stdout


# The installed wheel, in fresh virtual environments without the system's packages, with
# its requirements from the toolchain's folder of wheels (VANTOR_WHEELHOUSE) and no index.


@pytest.fixture(scope="module")
def wheelhouse():
    folder = os.environ.get("VANTOR_WHEELHOUSE")
    if not folder or not os.path.isdir(folder):
        pytest.skip("no folder of wheels: run inside tools/toolchain, or set VANTOR_WHEELHOUSE")
    return folder


def _clean_env():
    """The environment minus what would let a venv see the source tree."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "PYTHONHOME")}


def _run(args, cwd, **kwargs):
    result = subprocess.run(args, cwd=cwd, env=_clean_env(), capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{' '.join(map(str, args))}\n{result.stdout}\n{result.stderr}"
    return result.stdout


# What a checkout holds besides the sources: build trees (any top-level build*), caches,
# and what the install block itself makes.
_NOT_CHECKED_OUT = {"__pycache__", ".pytest_cache", ".mypy_cache", ".hypothesis"}
_NOT_CHECKED_OUT_AT_TOP = {".git", "dist", ".venv", ".scratch", "vantor-run"}


def _checkout(to):
    def ignore(folder, names):
        top = os.path.samefile(folder, ROOT)
        return {n for n in names
                if n in _NOT_CHECKED_OUT or top and (n in _NOT_CHECKED_OUT_AT_TOP or n.startswith("build"))}

    shutil.copytree(ROOT, to, symlinks=True, ignore=ignore)


def _install_block():
    """The install block of the getting-started page for the interpreter running the suite:
    the free-threaded one has a block of its own, which makes its virtual environment with
    python3.14t."""
    with open(os.path.join(ROOT, "docs", "getting-started.md")) as page:
        text = page.read()
    first = "# excerpt: run as written by tests/python/test_packaging.py"
    first += " on python3.14t\n" if FREE_THREADED else ", in a copy of the repository\n"
    [block] = [b for b in re.findall(r"```sh\n(.*?)```", text, re.S) if b.startswith(first)]
    return block


@pytest.fixture(scope="module")
def installed(wheelhouse, tmp_path_factory):
    """A copy of the repository after the documented install block ran in it as written:
    under tools/toolchain run when inside the root (whose settings must make it work
    offline), else with pip pointed at the folder of wheels."""
    tree = tmp_path_factory.mktemp("checkout") / "vantor"
    _checkout(tree)
    env = {k: v for k, v in _clean_env().items() if not k.startswith("PIP_")}
    command = ["bash", "-e", "-c", _install_block()]
    if os.environ.get("VANTOR_TOOLCHAIN_INSIDE"):
        command = [os.path.join(ROOT, "tools", "toolchain"), "run", *command]
    else:
        env.update(PIP_NO_INDEX="1", PIP_FIND_LINKS=wheelhouse)
    result = subprocess.run(command, cwd=tree, env=env, capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, f"{result.stdout}\n{result.stderr}"
    return tree


@pytest.fixture(scope="module")
def wheel(installed):
    [built] = (installed / "dist").glob("vantor-*.whl")
    return built


def _venv(wheel, wheelhouse, where, extras=""):
    _run([sys.executable, "-m", "venv", str(where / "venv")], cwd=where)
    python = str(where / "venv" / "bin" / "python")
    _run([python, "-m", "pip", "install", "--quiet", "--no-index", "--find-links", wheelhouse,
          f"{wheel}{extras}"], cwd=where, timeout=600)
    return python


@pytest.fixture(scope="module")
def numpy_venv(wheel, wheelhouse, tmp_path_factory):
    return _venv(wheel, wheelhouse, tmp_path_factory.mktemp("numpy-alone"))


@pytest.fixture(scope="module")
def full_venv(installed):
    return str(installed / ".venv" / "bin" / "python")


def test_the_wheel_build_compiles_only_the_modules_and_optimises_them(installed, wheel):
    [tree] = (installed / "build").iterdir()
    with open(tree / "CMakeCache.txt") as cache:
        assert "CMAKE_BUILD_TYPE:STRING=Release\n" in cache.read()
    compiled = {folder.name for folder in (tree / "CMakeFiles").glob("*.dir") if any(folder.rglob("*.o"))}
    assert compiled == {f"{name}.dir" for name in
                        ("vantor_engine", "vantor_batch", "vantor_search", "vantor_notation", "vantor", "_native")}
    made = {path.name.split(".")[0] for path in tree.rglob("*") if path.is_file() and os.access(path, os.X_OK)}
    assert not {n for n in made if n in {"engine_tests", "bench_engine", "find_magics", "vantor_floor"}
                or n.startswith("fuzz_")}, made


def test_toolchain_run_keeps_the_source_tree_out_of_virtual_environments(full_venv, tmp_path):
    if not os.environ.get("VANTOR_TOOLCHAIN_INSIDE"):
        pytest.skip("checks tools/toolchain run, from inside the root")
    probe = ("import importlib.util as u; "
             "print(*(getattr(u.find_spec(n), 'origin', None) for n in ('vantor_gym', 'vantor')))")
    toolchain = os.path.join(ROOT, "tools", "toolchain")
    venv = os.path.dirname(os.path.dirname(full_venv)) + os.sep
    # Activated or called by path, the venv's interpreter finds the wheel's modules.
    for command in ([full_venv, "-c", probe], ["bash", "-c", f". {venv}bin/activate && python -c \"{probe}\""]):
        found = _run([toolchain, "run", *command], cwd=tmp_path).split()
        assert all(origin.startswith(venv) for origin in found), found
    # The root's own interpreter still finds the source tree.
    found = _run([toolchain, "run", "python3", "-c", probe], cwd=tmp_path).split()
    assert found[0] == os.path.join(ROOT, "python", "vantor_gym", "__init__.py"), found


def test_wheel_holds_both_modules_their_stubs_and_the_extras(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        [metadata] = [n for n in names if n.endswith(".dist-info/METADATA")]
        requires = re.findall(r"^Requires-Dist: (.*)$", archive.read(metadata).decode(), re.M)
        extras = set(re.findall(r"^Provides-Extra: (.*)$", archive.read(metadata).decode(), re.M))
    for expected in ("vantor.pyi", "vantor-stubs/__init__.pyi", "vantor_gym/py.typed",
                     "vantor_gym/_native.pyi", "vantor_gym/__init__.py", "vantor_gym/train/baseline.pt",
                     "vantor_gym/view/static/viewer.js", "vantor_gym/view/static/page.html"):
        assert expected in names
    assert any(re.fullmatch(r"vantor\.cpython-.*\.so", n) for n in names)
    assert any(re.fullmatch(r"vantor_gym/_native\.cpython-.*\.so", n) for n in names)
    assert not [n for n in names if "__pycache__" in n or n.startswith(("tests/", "build"))]
    assert {"gym", "pettingzoo", "ray", "train", "view", "all"} <= extras
    assert any(r.startswith("numpy") and "extra" not in r for r in requires), requires


@pytest.mark.skipif(FREE_THREADED, reason="Ray and PyTorch's extras are installed for the GIL interpreter")
def test_every_extra_installs_offline_inside_the_root(wheel, tmp_path):
    # As getting-started writes it; pip resolves every requirement from the root's wheels
    # (--dry-run: the resolution is what can fail offline, not the unpacking of PyTorch).
    links = os.environ.get("PIP_FIND_LINKS", "").split()
    if not os.environ.get("VANTOR_TOOLCHAIN_INSIDE") or len(links) < 2:
        pytest.skip("needs the toolchain root with its layers' wheels")
    with zipfile.ZipFile(wheel) as archive:
        [metadata] = [n for n in archive.namelist() if n.endswith(".dist-info/METADATA")]
        extras = sorted(set(re.findall(r"^Provides-Extra: (.*)$", archive.read(metadata).decode(), re.M)))
    _run([sys.executable, "-m", "venv", str(tmp_path / "venv")], cwd=tmp_path)
    _run([str(tmp_path / "venv" / "bin" / "python"), "-m", "pip", "install", "--dry-run", "--quiet",
          f"{wheel}[{','.join(extras)}]"], cwd=tmp_path, timeout=900)


def test_numpy_alone_imports_all_but_the_gymnasium_modules(numpy_venv, tmp_path):
    probe = textwrap.dedent(
        f"""
        import importlib, importlib.util, pkgutil, sys
        import numpy, vantor, vantor_gym
        assert vantor.__file__.startswith(sys.prefix) and vantor_gym.__file__.startswith(sys.prefix)
        assert importlib.util.find_spec("gymnasium") is None
        names = sorted(m.name for m in pkgutil.iter_modules(vantor_gym.__path__))
        plain = [n for n in names if n not in {sorted(GYMNASIUM_MODULES | TORCH_MODULES)!r} and n != "__main__"]
        for name in plain:
            importlib.import_module("vantor_gym." + name)
        from vantor_gym import BatchEnv, notation
        games = BatchEnv(2, threads=1, seed=1)
        games.reset()
        assert notation.action_to_uci((games, 1), 564) == "e2e4"
        try:
            from vantor_gym import VantorEnv
        except ImportError as error:
            assert "vantor[gym]" in str(error)
        else:
            raise AssertionError("VantorEnv without gymnasium")
        print(" ".join(plain))
        """
    )
    imported = _run([numpy_venv, "-c", probe], cwd=tmp_path).split()
    assert {"batch", "notation", "states", "engines", "search", "fen"} <= set(imported)


def _api_example():
    """The first example of the vantor module's page: a random game, then render()."""
    with open(os.path.join(ROOT, "docs", "vantor.md")) as page:
        text = page.read()
    api = text.index("## Python API")
    return re.search(r"```python\n(.*?)```", text[api:], re.S).group(1)


def test_pip_installs_into_a_fresh_environment(full_venv, tmp_path):
    probe = textwrap.dedent(
        f"""
        import importlib, os, pkgutil, sys
        import gymnasium, vantor, vantor_gym
        where = os.path.dirname(vantor.__file__)
        assert where.startswith(sys.prefix), where
        assert os.path.exists(os.path.join(where, "vantor.pyi"))
        for module in pkgutil.iter_modules(vantor_gym.__path__):
            if module.name not in {sorted(TORCH_MODULES | {"__main__"})!r}:
                importlib.import_module("vantor_gym." + module.name)
        env = vantor.Vantor()
        obs, _ = gymnasium.make("vantor_gym/Chess-v0").reset(seed=0)
        print(env.reset()[0], len(env.get_actions()), obs.shape)
        """
    )
    assert _run([full_venv, "-c", probe], cwd=tmp_path).strip() == "0 73 (119, 8, 8)"
    (tmp_path / "snippet.py").write_text(_api_example())
    assert "side:" in _run([full_venv, "snippet.py"], cwd=tmp_path)
    assert "usage" in _run([os.path.join(os.path.dirname(full_venv), "vantor"), "--help"], cwd=tmp_path)


USER_SCRIPT = '''\
import numpy as np

import vantor
from vantor_gym import BatchEnv, notation
from vantor_gym.search import Search


def main() -> None:
    board = vantor.Vantor()
    side, observation, reward, done = board.reset()
    key: int = board.hash_state()
    games = BatchEnv(2, threads=1)
    observations, info = games.reset()
    search = Search(2, "roll_out", simulations=4, threads=1, seed=0)
    actions: np.ndarray = search.run(games).actions
    text: str = notation.action_to_san(board.save_state(), int(actions[0]))
    print(side, len(observation), reward, done, key, observations.shape, text)
'''

MISTAKES = '''\
import vantor
from vantor_gym import BatchEnv

text: str = vantor.Vantor().hash_state()
games: int = BatchEnv(1)
'''


def test_installed_types_pass_strict_checks(full_venv, tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    (tmp_path / "mistakes.py").write_text(MISTAKES)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--python-executable", full_venv, "user.py", "mistakes.py"],
        cwd=tmp_path, env=_clean_env(), capture_output=True, text=True,
    )
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    # Only the two mistakes, each seen through the installed stubs' types.
    assert [e.split(":")[0:2] for e in errors] == [["mistakes.py", "4"], ["mistakes.py", "5"]], result.stdout
    assert '"int", variable has type "str"' in errors[0] and '"BatchEnv", variable has type "int"' in errors[1]
    _run([full_venv, "user.py"], cwd=tmp_path)
