import ctypes
import importlib
import os
import sys
import sysconfig
from types import ModuleType

import pytest

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"

_libc = ctypes.CDLL(None)


def flush_c_stdout() -> None:
    """Pushes what the engine printed with stdio out to file descriptor 1."""
    _libc.fflush(None)


SANITIZED = bool(os.environ.get("VANTOR_SANITIZED"))

# Resident-memory checks mean nothing under AddressSanitizer, which keeps freed memory in
# quarantine; the sanitized C++ run checks for leaks instead.
skip_when_sanitized = pytest.mark.skipif(SANITIZED, reason="resident memory is not flat under AddressSanitizer")

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# The packages that the package index has no wheel of for the free-threaded interpreter
# (tools/toolchain-ft.txt), by the module a test imports: under python3.14t the tests that
# need them skip and say why.
NO_FREE_THREADED_WHEEL = {
    "ray": "Ray",
    "pyspiel": "OpenSpiel",
    "open_spiel": "OpenSpiel",
    "jax": "jaxlib",
    "pgx": "jaxlib (pgx runs on JAX)",
    "mctx": "jaxlib (mctx runs on JAX)",
    "pygame": "pygame-ce",
}


def without_free_threaded_wheel(module: str) -> str | None:
    """Why MODULE cannot be imported on this interpreter, if the reason is that its package
    has no wheel for the free-threaded interpreter."""
    if not FREE_THREADED:
        return None
    package = NO_FREE_THREADED_WHEEL.get(module.partition(".")[0])
    return f"{package} has no wheel for the free-threaded interpreter (cp314t)" if package else None


def require(module: str) -> ModuleType:
    """MODULE, imported; or the test skipped as pytest.importorskip skips it, saying so when
    the package has no wheel for the free-threaded interpreter."""
    reason = without_free_threaded_wheel(module)
    if reason is not None:
        try:
            return importlib.import_module(module)
        except ImportError:
            pytest.skip(reason)
    return pytest.importorskip(module)


@pytest.fixture
def one_torch_thread():
    """PyTorch on one intra-op thread for the test: on a loaded machine its worker threads
    make each small tensor call wait for a core."""
    import torch

    before = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(before)


@pytest.fixture
def env():
    import vantor

    return vantor.Vantor()


@pytest.fixture
def module_path():
    import vantor

    return os.path.dirname(vantor.__file__)


def run_python(code: str, **env_vars: str):
    import subprocess

    env = dict(os.environ, **env_vars)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
