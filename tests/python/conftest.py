import ctypes
import os
import sys

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
