"""Evaluators answering DLPack arrays (PyTorch tensors among them), and evaluators handed
their inputs as tensors."""

from __future__ import annotations

import numpy as np
import pytest

from vantor_gym import BatchEnv
from vantor_gym.search import Search


class DlpackOnly:
    """An array known only through DLPack, as a framework's tensor is."""

    def __init__(self, array: np.ndarray) -> None:
        self._array = array

    def __dlpack__(self, **kwargs: object) -> object:
        return self._array.__dlpack__(**kwargs)

    def __dlpack_device__(self) -> tuple[int, int]:
        return self._array.__dlpack_device__()


def numpy_evaluator(observations, masks):
    # Depends on the leaf, so a misread answer changes the search.
    logits = np.where(masks, np.arange(masks.shape[1], dtype=np.float32) % 7, 0).astype(np.float32)
    values = np.tanh(np.asarray(observations, np.float32).reshape(len(masks), -1).sum(axis=1) / 500).astype(np.float32)
    return logits, values


def searched(evaluator, **options):
    games = BatchEnv(3, autoreset="disabled")
    games.reset()
    try:
        return Search(3, evaluator, simulations=40, seed=9, dirichlet_fraction=0.0, **options).run(games)
    finally:
        games.close()


def assert_same(a, b):
    assert np.array_equal(a.visits, b.visits) and np.array_equal(a.actions, b.actions)
    assert np.array_equal(a.values, b.values)


def test_dlpack_answers_search_as_numpy_ones():
    def wrapped(observations, masks):
        logits, values = numpy_evaluator(observations, masks)
        return DlpackOnly(logits), DlpackOnly(values)

    assert_same(searched(wrapped), searched(numpy_evaluator))


def test_torch_answers_and_inputs():
    torch = pytest.importorskip("torch")
    seen = []

    def tensors(observations, masks):
        seen.append((observations, masks))
        assert isinstance(observations, torch.Tensor) and isinstance(masks, torch.Tensor)
        logits, values = numpy_evaluator(observations.numpy(), masks.numpy())
        # A network's outputs carry gradients; the search reads them detached.
        return torch.from_numpy(logits).requires_grad_(), torch.from_numpy(values)

    assert_same(searched(tensors, torch_inputs=True), searched(numpy_evaluator))
    observations, masks = seen[0]
    assert observations.dtype == torch.float32 and masks.dtype == torch.bool


def test_torch_inputs_share_the_search_buffers():
    torch = pytest.importorskip("torch")
    search = Search(2, lambda o, m: (torch.zeros(m.shape), torch.zeros(len(m))), simulations=3, torch_inputs=True)
    pointers = []

    def recording(observations, masks):
        pointers.append((observations.data_ptr(), masks.data_ptr()))
        return torch.zeros(masks.shape), torch.zeros(len(masks))

    search.evaluator = recording
    games = BatchEnv(2)
    games.reset()
    try:
        search.run(games)
    finally:
        games.close()
    assert pointers and all(p == (search._observations.ctypes.data, search._masks.ctypes.data) for p in pointers)


def test_an_unreadable_tensor_is_a_value_error():
    torch = pytest.importorskip("torch")

    def bfloat(observations, masks):
        return torch.zeros(masks.shape, dtype=torch.bfloat16), torch.zeros(len(masks))

    with pytest.raises(ValueError, match="logits cannot be read"):
        searched(bfloat)


def test_torch_inputs_must_be_a_bool():
    with pytest.raises(TypeError, match="torch_inputs"):
        Search(1, "roll_out", torch_inputs="yes")  # type: ignore[arg-type]
