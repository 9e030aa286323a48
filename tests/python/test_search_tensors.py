"""Evaluators answering DLPack arrays (PyTorch tensors among them), and evaluators handed
their inputs as tensors."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import SANITIZED
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


def torch_or_skip():
    if SANITIZED:
        pytest.skip("PyTorch is not loaded under the preloaded sanitizer")
    return pytest.importorskip("torch")


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


# Tensors whose DLPack export is their raw storage, not their numbers: a view with the
# negative bit (twice negated), the imaginary part of a conjugated view (negated too), and
# a zero tensor that has no storage at all.
LAZY_VIEWS = {
    "negative bit": lambda torch, a: (-a)._neg_view(),
    "imaginary part of a conjugate": lambda torch, a: torch.complex(torch.zeros_like(a), -a).conj().imag,
    "negative bit, requiring a gradient": lambda torch, a: (-a).requires_grad_()._neg_view(),
}


@pytest.mark.parametrize("view", LAZY_VIEWS)
def test_lazy_tensor_views_are_read_by_their_numbers(view):
    torch = torch_or_skip()
    make = LAZY_VIEWS[view]

    def lazy(observations, masks):
        logits, values = numpy_evaluator(observations, masks)
        answer = make(torch, torch.from_numpy(logits)), make(torch, torch.from_numpy(values))
        assert torch.equal(answer[0], torch.from_numpy(logits)) and answer[0].is_neg()
        return answer

    assert_same(searched(lazy), searched(numpy_evaluator))


def test_a_zero_tensor_is_read_as_zeros():
    torch = torch_or_skip()

    def zero_tensors(observations, masks):
        return torch._efficientzerotensor(masks.shape), torch._efficientzerotensor(len(masks))

    def zeros(observations, masks):
        return np.zeros(masks.shape, np.float32), np.zeros(len(masks), np.float32)

    # Uniform priors and values 0, whatever the stray bytes under a zero tensor hold.
    assert_same(searched(zero_tensors), searched(zeros))


UNREADABLE = {
    "meta device": lambda torch, a: torch.empty(a.shape, device="meta"),
    "bfloat16": lambda torch, a: a.bfloat16(),
    "float8": lambda torch, a: a.to(torch.float8_e4m3fn),
    "int32": lambda torch, a: a.int(),
    "bool": lambda torch, a: a.bool(),
    "complex, conjugated": lambda torch, a: torch.complex(a, a).conj(),
    "sparse": lambda torch, a: a.to_sparse(),
    "quantized": lambda torch, a: torch.quantize_per_tensor(a, 0.1, 0, torch.qint8),
}


@pytest.mark.parametrize("kind", UNREADABLE)
@pytest.mark.parametrize("which", [0, 1])
def test_an_unreadable_tensor_is_a_value_error_naming_it(kind, which):
    torch = torch_or_skip()
    make = UNREADABLE[kind]

    def odd(observations, masks):
        answer = [torch.from_numpy(a) for a in numpy_evaluator(observations, masks)]
        answer[which] = make(torch, answer[which])
        return tuple(answer)

    with pytest.raises(ValueError, match=("logits", "values")[which]):
        searched(odd)


def unaligned(array):
    storage = np.empty(array.nbytes + 1, np.uint8)
    moved = np.frombuffer(storage.data, array.dtype, array.size, offset=1).reshape(array.shape)
    moved[...] = array
    return moved


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


# NumPy answers in every layout: each is read as the plain arrays are.
LAYOUTS = {
    "unaligned": lambda logits, values: (unaligned(logits), unaligned(values.astype(np.float64))),
    "byte-swapped": lambda logits, values: (logits.astype(">f4"), values.astype(">f8")),
    "read-only": lambda logits, values: (read_only(logits), read_only(values)),
    "Fortran order": lambda logits, values: (np.asfortranarray(logits), values),
    "strided": lambda logits, values: (np.repeat(logits, 2, axis=1)[:, ::2], np.repeat(values, 2)[::2]),
    "lists": lambda logits, values: (logits.tolist(), values.tolist()),
    "float16": lambda logits, values: (logits.astype(np.float16), values.astype(np.float16)),
    "long double": lambda logits, values: (logits.astype(np.longdouble), values.astype(np.longdouble)),
    "masked, nothing masked": lambda logits, values: (np.ma.masked_array(logits), np.ma.masked_array(values)),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_layout_of_a_numpy_answer_is_read_alike(layout):
    def laid_out(observations, masks):
        return LAYOUTS[layout](*numpy_evaluator(observations, masks))

    def plain(observations, masks):
        logits, values = numpy_evaluator(observations, masks)
        # float16 rounds the values; the search must read what it was given.
        return (logits, values.astype(np.float16).astype(np.float32)) if layout == "float16" else (logits, values)

    assert_same(searched(laid_out), searched(plain))


@pytest.mark.parametrize("answer, words", [
    (lambda logits, values: (logits, np.float32(0.0)), "values have shape ()"),
    (lambda logits, values: (np.ma.masked_less(logits, 1), values), "masked"),
    (lambda logits, values: (logits.astype(object), values), "floating point"),
    (lambda logits, values: (logits.astype(str), values), "floating point"),
    (lambda logits, values: (logits, [[v] for v in values]), "values have shape"),
    (lambda logits, values: (logits, [0.0, [1.0]] + [0.0] * (len(values) - 2)), "values cannot be read"),
])
def test_an_odd_numpy_answer_is_a_value_error(answer, words):
    def odd(observations, masks):
        return answer(*numpy_evaluator(observations, masks))

    with pytest.raises(ValueError, match=words.replace("(", r"\(").replace(")", r"\)")):
        searched(odd)


def advanced_visits(actions_as):
    """The visits of a second run after advance was given the first run's actions as
    actions_as makes them."""
    games = BatchEnv(3, autoreset="disabled")
    games.reset()
    try:
        search = Search(3, numpy_evaluator, simulations=40, seed=9, dirichlet_fraction=0.0)
        actions = search.run(games).actions
        search.advance(actions_as(actions))
        games.step(actions)
        return search.run(games).visits
    finally:
        games.close()


def test_advance_reads_a_negated_tensor_by_its_numbers():
    torch = torch_or_skip()
    negated = advanced_visits(lambda actions: (-torch.from_numpy(actions))._neg_view())
    assert np.array_equal(negated, advanced_visits(lambda actions: actions))


@pytest.mark.parametrize("odd", [
    lambda actions: np.ma.masked_array(actions, [True] + [False] * (len(actions) - 1)),
    lambda actions: [[int(a)] for a in actions],
    lambda actions: actions.astype(np.float64),
])
def test_advance_refuses_actions_it_cannot_read_as_integers(odd):
    with pytest.raises(ValueError, match="actions"):
        advanced_visits(odd)
