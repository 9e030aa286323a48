import ctypes
import importlib
import importlib.util
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
    "tensorboard": "grpcio (TensorBoard requires it)",
}


# Packages whose cp314t wheel turns the GIL back on when its native module loads, so the
# free-threaded layer leaves them out (tools/toolchain-ft-torch.txt).
TURN_THE_GIL_ON = {"torchrl": "TorchRL (its native module torchrl._torchrl)"}


def without_free_threaded_wheel(module: str) -> str | None:
    """Why MODULE cannot be imported on this interpreter, if the reason is that its package
    has no wheel for the free-threaded interpreter, or one that turns the GIL back on."""
    if not FREE_THREADED:
        return None
    top = module.partition(".")[0]
    if top in TURN_THE_GIL_ON:
        return f"{TURN_THE_GIL_ON[top]} turns the GIL back on, so the free-threaded interpreter goes without it"
    package = NO_FREE_THREADED_WHEEL.get(top)
    return f"{package} has no wheel for the free-threaded interpreter (cp314t)" if package else None


def require(module: str) -> ModuleType:
    """MODULE, imported; or the test skipped as pytest.importorskip skips it, saying so when
    the package has no wheel for the free-threaded interpreter."""
    reason = without_free_threaded_wheel(module)
    if reason is not None:
        try:
            return importlib.import_module(module)
        except ImportError:
            pytest.skip(reason, allow_module_level=True)
    return pytest.importorskip(module)


def check_env(env) -> None:
    """Gymnasium's check_env, which also makes the environment in every render mode it
    declares. Where pygame cannot be had (the free-threaded interpreter) the mode that
    needs it is left out, and only it: the other modes are checked as check_env checks
    them, and the tests of that mode skip saying why."""
    from gymnasium.utils import env_checker, passive_env_checker

    if without_free_threaded_wheel("pygame") is None or importlib.util.find_spec("pygame") is not None:
        env_checker.check_env(env)
        return
    env_checker.check_env(env, skip_render_check=True)
    if env.render_mode is not None:
        passive_env_checker.env_render_passive_checker(env)
    for mode in env.metadata["render_modes"]:
        if mode != "human":
            other = env.spec.make(render_mode=mode)
            other.reset()
            passive_env_checker.env_render_passive_checker(other)
            other.close()


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
