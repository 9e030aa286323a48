"""The module entry, the registered classes and the argument conventions."""

import ctypes
import pickle
import sys
import textwrap

import pytest

import vantor
from conftest import START_FEN, run_python

# Slot numbers and values of CPython's module definition API.
PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS, PY_MOD_GIL = 1, 2, 3, 4
PY_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED = 0
PY_MOD_GIL_NOT_USED = 1


class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


def module_def_type():
    # PyObject_HEAD differs between the default and the free-threaded build; the size of
    # a bare object() is exactly that header on both.
    head = sys.getsizeof(object())

    class ModuleDef(ctypes.Structure):
        _fields_ = [
            ("head", ctypes.c_byte * head),
            ("m_init", ctypes.c_void_p),
            ("m_index", ctypes.c_ssize_t),
            ("m_copy", ctypes.c_void_p),
            ("m_name", ctypes.c_char_p),
            ("m_doc", ctypes.c_char_p),
            ("m_size", ctypes.c_ssize_t),
            ("m_methods", ctypes.c_void_p),
            ("m_slots", ctypes.POINTER(Slot)),
            ("m_traverse", ctypes.c_void_p),
            ("m_clear", ctypes.c_void_p),
            ("m_free", ctypes.c_void_p),
        ]

    return ModuleDef


def test_entry_returns_a_multi_phase_definition_declaring_no_gil():
    init = ctypes.PyDLL(vantor.__file__).PyInit_vantor
    init.restype = ctypes.c_void_p
    definition = ctypes.cast(init(), ctypes.POINTER(module_def_type())).contents
    assert definition.m_name == b"vantor"
    assert definition.m_doc is None
    assert definition.m_size == 0
    assert definition.m_methods is None
    slots = []
    i = 0
    while definition.m_slots[i].slot != 0:
        slots.append((definition.m_slots[i].slot, definition.m_slots[i].value or 0))
        i += 1
    assert [slot for slot, _ in slots] == [
        PY_MOD_CREATE,
        PY_MOD_EXEC,
        PY_MOD_MULTIPLE_INTERPRETERS,
        PY_MOD_GIL,
    ]
    values = dict(slots)
    assert values[PY_MOD_GIL] == PY_MOD_GIL_NOT_USED
    assert values[PY_MOD_MULTIPLE_INTERPRETERS] == PY_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED


def test_module_holds_only_the_two_classes_state_first():
    public = [name for name in vars(vantor) if not name.startswith("__")]
    assert public == ["State", "Vantor"]
    assert vantor.__doc__ is None


def test_vantor_methods_in_registration_order():
    # pybind11 adds its own underscore attributes to every class; nothing else is there.
    methods = [n for n in vars(vantor.Vantor) if n == "__init__" or not n.startswith("_")]
    assert methods == [
        "__init__",
        "reset",
        "get_actions",
        "render",
        "parse_fen",
        "step",
        "save_state",
        "restore_state",
        "hash_state",
        "roll_out",
    ]


@pytest.mark.parametrize(
    "method, signature",
    [
        ("__init__", "__init__(self: vantor.Vantor) -> None"),
        ("reset", "reset(self: vantor.Vantor) -> tuple[int, list[list[int]], int, int]"),
        ("get_actions", "get_actions(self: vantor.Vantor) -> list[list[int]]"),
        ("render", "render(self: vantor.Vantor) -> None"),
        ("parse_fen", "parse_fen(self: vantor.Vantor, arg0: str) -> None"),
        (
            "step",
            "step(self: vantor.Vantor, arg0: typing.SupportsInt | typing.SupportsIndex)"
            " -> tuple[int, list[list[int]], int, int]",
        ),
        ("save_state", "save_state(self: vantor.Vantor) -> vantor.State"),
        (
            "restore_state",
            "restore_state(self: vantor.Vantor, arg0: vantor.State)"
            " -> tuple[int, list[list[int]], int, int]",
        ),
        ("hash_state", "hash_state(self: vantor.Vantor) -> int"),
        ("roll_out", "roll_out(self: vantor.Vantor) -> int"),
    ],
)
def test_signatures_as_the_binding_displays_them(method, signature):
    doc = getattr(vantor.Vantor, method).__doc__
    # The signature is the whole text: no docstring follows it.
    assert doc.strip() == signature


def test_no_extras_on_the_class(env):
    with pytest.raises(AttributeError):
        env.anything = 1
    assert repr(env).startswith("<vantor.Vantor object at ")
    assert env != vantor.Vantor() and env == env
    with pytest.raises(TypeError):
        pickle.dumps(env)


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.parse_fen(None),
        lambda e: e.parse_fen(),
        lambda e: e.parse_fen(START_FEN, START_FEN),
        lambda e: e.parse_fen(arg0=START_FEN),
        lambda e: e.parse_fen(fen=START_FEN),
        lambda e: e.parse_fen(42),
        lambda e: e.render(1),
        lambda e: vantor.Vantor(1),
    ],
)
def test_unconvertible_arguments_raise_type_error(env, call):
    with pytest.raises(TypeError):
        call(env)


def test_refused_parse_leaves_the_board_alone(env, capfd):
    import conftest

    env.parse_fen(START_FEN)
    env.render()
    conftest.flush_c_stdout()
    before = capfd.readouterr()
    with pytest.raises(TypeError):
        env.parse_fen(None)
    env.render()
    conftest.flush_c_stdout()
    assert capfd.readouterr() == before


VERSION_PROBE = textwrap.dedent(
    """
    import ctypes
    get = ctypes.pythonapi.Py_GetVersion
    get.restype = ctypes.c_void_p
    import os
    fake = os.environ["FAKE_VERSION"].encode() + b" (test)"
    # The interpreter keeps its version text in a static buffer; overwrite it so the
    # module's entry reads the fake one.
    ctypes.memmove(get(), fake + b"\\0", len(fake) + 1)
    try:
        import vantor
        vantor.Vantor()
        print("imported")
    except ImportError as error:
        print("ImportError:", error)
    """
)


@pytest.mark.parametrize(
    "version, imports",
    [("3.15.0", False), ("3.140.1", False), ("3.1", False), ("3.14.0", True), ("3.14.2", True)],
)
def test_import_checks_the_interpreter_version(version, imports):
    result = run_python(VERSION_PROBE, FAKE_VERSION=version)
    assert result.returncode == 0, result.stderr
    if imports:
        assert result.stdout.strip() == "imported"
    else:
        assert result.stdout.strip() == (
            "ImportError: Python version mismatch: module was compiled for Python 3.14, "
            f"but the interpreter version is incompatible: {version} (test)."
        )


def test_second_import_in_a_new_module_object_registers_nothing_again():
    code = textwrap.dedent(
        """
        import importlib.util, sys
        import vantor
        spec = importlib.util.find_spec("vantor")
        again = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(again)
        assert again.Vantor is vantor.Vantor and again.State is vantor.State
        print("ok")
        """
    )
    result = run_python(code)
    assert result.stdout.strip() == "ok", result.stderr
