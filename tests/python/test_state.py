"""The State class: members, conversions, copies and its text."""

import textwrap

import pytest

import vantor
from conftest import run_python

MEMBERS = [
    "__init__",
    "side",
    "enpassant",
    "castle",
    "state_history",
    "state_pos",
    "total_move_count",
    "no_progress_count",
    "repetition_count",
    "move_index",
    "n_repititions",
    "prev_n_repititions",
    "bitboards",
    "occupancies",
    "__repr__",
]
READ_ONLY = ["side", "enpassant", "castle", "bitboards", "occupancies"]
INTEGERS = ["state_pos", "total_move_count", "no_progress_count", "n_repititions", "prev_n_repititions"]
INT = "typing.SupportsInt | typing.SupportsIndex"


def test_members_in_registration_order():
    names = [n for n in vars(vantor.State) if n in MEMBERS]
    assert names == MEMBERS


@pytest.mark.parametrize(
    "member, shown",
    [
        ("side", "int"),
        ("state_history", "list[list[list[int]]]"),
        ("state_pos", "int"),
        ("repetition_count", "dict[int, int]"),
        ("move_index", "dict[int, int]"),
        ("bitboards", "numpy.typing.NDArray[numpy.uint64]"),
        ("occupancies", "numpy.typing.NDArray[numpy.uint64]"),
    ],
)
def test_property_types(member, shown):
    assert vantor.State.__dict__[member].fget.__doc__.strip().endswith(f"-> {shown}")


@pytest.mark.parametrize(
    "member, accepted",
    [
        (
            "state_history",
            "collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[" + INT + "]]]",
        ),
        ("move_index", f"collections.abc.Mapping[{INT}, {INT}]"),
        ("repetition_count", f"collections.abc.Mapping[{INT}, {INT}]"),
        ("state_pos", INT),
    ],
)
def test_setter_types(member, accepted):
    assert f"arg0: {accepted})" in vantor.State.__dict__[member].fset.__doc__


def test_new_state_repr():
    assert repr(vantor.State()) == textwrap.dedent(
        """\
        State(
          side=0,
          enpassant=0,
          castle=0,
          state_pos=0,
          total_move_count=0,
          no_progress_count=0,
          n_repititions=0,
          state_history size=0
        )"""
    )


def test_repr_of_a_saved_game(env):
    env.reset()
    env.step(564)
    text = repr(env.save_state())
    assert text.splitlines()[1:4] == ["  side=1,", "  enpassant=44,", "  castle=15,"]
    assert text.endswith("  state_history size=2\n)")


def test_new_state_is_zero():
    s = vantor.State()
    assert [getattr(s, n) for n in ["side", "enpassant", "castle", *INTEGERS]] == [0] * 8
    assert s.state_history == [] and s.move_index == {} and s.repetition_count == {}
    assert s.bitboards.tolist() == [0] * 12 and s.occupancies.tolist() == [0] * 3


def test_arrays_are_fresh_copies(env):
    env.reset()
    s = env.save_state()
    first, second = s.bitboards, s.bitboards
    assert first is not second and (first == second).all()
    assert first.dtype.name == "uint64" and first.shape == (12,) and first.flags.writeable
    assert s.occupancies.shape == (3,)
    first[0] = 1
    assert s.bitboards[0] == 0x00FF000000000000
    assert int(s.occupancies[2]) == 0xFFFF00000000FFFF


def test_containers_are_copies(env):
    env.reset()
    s = env.save_state()
    index = s.move_index
    index[9999] = 1
    assert 9999 not in s.move_index
    s.move_index = {1: 2}
    assert s.move_index == {1: 2}
    history = s.state_history
    history[0][0][0] = 7
    assert s.state_history[0][0][0] == 0


def test_writable_fields_accept_their_forms():
    s = vantor.State()
    s.state_history = [[[1, 2]]]
    assert s.state_history == [[[1, 2]]]
    s.state_history = ((range(3),),)
    assert s.state_history == [[[0, 1, 2]]]
    s.repetition_count = {2**64 - 1: 3}
    assert s.repetition_count == {2**64 - 1: 3}

    class Mapping:
        def __init__(self, items):
            self._items = items

        def items(self):
            return self._items

        def keys(self):
            return [k for k, _ in self._items]

        def __getitem__(self, key):
            return dict(self._items)[key]

        def __len__(self):
            return len(self._items)

    s.move_index = Mapping([(5, 6)])
    assert s.move_index == {5: 6}
    s.state_pos = -1
    assert s.state_pos == -1


@pytest.mark.parametrize(
    "member, value",
    [
        ("state_history", "abc"),
        ("state_history", b"abc"),
        ("state_history", [[["1"]]]),
        ("state_history", [[[1.5]]]),
        ("state_history", 5),
        ("repetition_count", {-1: 1}),
        ("repetition_count", {2**64: 1}),
        ("repetition_count", [(1, 2)]),
        ("move_index", {1: 2**31}),
        ("move_index", {"a": 1}),
        ("state_pos", 2**31),
        ("state_pos", 1.0),
        ("state_pos", "3"),
        ("no_progress_count", None),
    ],
)
def test_values_that_do_not_convert_leave_the_field(member, value):
    s = vantor.State()
    s.state_history = [[[4]]]
    s.repetition_count = {1: 1}
    s.move_index = {2: 2}
    s.state_pos = 3
    before = getattr(s, member)
    with pytest.raises(TypeError):
        setattr(s, member, value)
    assert getattr(s, member) == before


@pytest.mark.parametrize("member", READ_ONLY)
def test_read_only_members(member):
    s = vantor.State()
    with pytest.raises(AttributeError):
        setattr(s, member, 0)


def test_no_extras():
    s = vantor.State()
    with pytest.raises(AttributeError):
        s.other = 1
    with pytest.raises(TypeError):
        vantor.State(1)
    assert s == s and s != vantor.State()


def test_numpy_is_loaded_on_the_first_array_read_only():
    code = textwrap.dedent(
        """
        import sys
        import vantor
        s = vantor.State()
        assert "numpy" not in sys.modules
        s.state_pos
        assert "numpy" not in sys.modules
        s.bitboards
        assert "numpy" in sys.modules
        print("ok")
        """
    )
    result = run_python(code)
    assert result.stdout.strip() == "ok", result.stderr


def test_without_numpy_only_the_arrays_fail():
    code = textwrap.dedent(
        """
        import sys
        sys.modules["numpy"] = None  # makes every import of numpy fail
        import vantor
        env = vantor.Vantor()
        env.reset()
        s = env.save_state()
        for name in ("bitboards", "occupancies"):
            try:
                getattr(s, name)
            except ImportError:
                pass
            else:
                raise SystemExit(name + " did not fail")
        assert s.side == 0 and s.castle == 15 and len(s.state_history) == 1
        s.state_pos = 1
        repr(s)
        env.restore_state(s)
        print("ok")
        """
    )
    result = run_python(code)
    assert result.stdout.strip() == "ok", result.stderr
