"""render(): the letter board on C stdio, the symbol board on sys.stdout."""

import contextlib
import io

import pytest

from conftest import START_FEN, flush_c_stdout


def render_streams(env, capfd):
    """Renders once and returns (letters from stdio, symbols from sys.stdout)."""
    capfd.readouterr()
    symbols = io.StringIO()
    with contextlib.redirect_stdout(symbols):
        env.render()
    flush_c_stdout()
    return capfd.readouterr().out, symbols.getvalue()


EMPTY_ROW = "   .   .   .   .   .   .   .   .\n\n"
START_SYMBOLS = (
    "  8 |  ♜  ♞  ♝  ♛  ♚  ♝  ♞  ♜\n\n"
    "  7 |  ♟  ♟  ♟  ♟  ♟  ♟  ♟  ♟\n\n"
    + "".join(f"  {rank} |" + EMPTY_ROW for rank in (6, 5, 4, 3))
    + "  2 |  ♙  ♙  ♙  ♙  ♙  ♙  ♙  ♙\n\n"
    "  1 |  ♖  ♘  ♗  ♕  ♔  ♗  ♘  ♖\n\n"
    "      -------------------------------\n"
    "       a   b   c   d   e   f   g   h\n"
)
START_LETTERS = (
    "\n"
    " 8|  r  n  b  q  k  b  n  r\n"
    " 7|  p  p  p  p  p  p  p  p\n"
    + "".join(f" {rank}|  .  .  .  .  .  .  .  .\n" for rank in (6, 5, 4, 3))
    + " 2|  P  P  P  P  P  P  P  P\n"
    " 1|  R  N  B  Q  K  B  N  R\n"
    "   ------------------------\n"
    "     a  b  c  d  e  f  g  h\n"
    "\n"
    "side:       white\n"
    "enpassant:  NA\n"
    "Castling:   KQkq\n\n\n"
)


def test_start_position_on_both_streams(env, capfd):
    env.parse_fen(START_FEN)
    letters, symbols = render_streams(env, capfd)
    assert symbols == START_SYMBOLS
    assert letters == START_LETTERS


def test_render_returns_none(env, capfd):
    env.parse_fen(START_FEN)
    assert env.render() is None


def test_status_lines(env, capfd):
    env.parse_fen("4k3/8/8/8/4P3/8/8/4K3 b - e3 0 1")
    letters, _ = render_streams(env, capfd)
    assert letters.endswith("side:       black\nenpassant:  e3\nCastling:   ----\n\n\n")
    env.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R w Kq - 0 1")
    letters, _ = render_streams(env, capfd)
    assert letters.endswith("side:       white\nenpassant:  NA\nCastling:   K--q\n\n\n")


def test_new_environment_renders_an_empty_board(env, capfd):
    letters, symbols = render_streams(env, capfd)
    assert symbols.count(EMPTY_ROW) == 8
    assert letters.endswith("side:       white\nenpassant:  NA\nCastling:   ----\n\n\n")


def test_bytes_behave_as_the_same_text(capfd):
    import vantor

    from_str, from_bytes = vantor.Vantor(), vantor.Vantor()
    fen = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b Kq a3 0 1"
    from_str.parse_fen(fen)
    from_bytes.parse_fen(fen.encode())
    assert render_streams(from_str, capfd) == render_streams(from_bytes, capfd)


@pytest.mark.parametrize(
    "text",
    ["", "\0", "8/8/8/8/8/8/8/8 w KQ\0kq e3", "♔♕♖ é", b"\xff\xfe\x00/8", "x" * 10000],
)
def test_any_text_loads_something_renderable(env, capfd, text):
    env.parse_fen(text)
    letters, symbols = render_streams(env, capfd)
    assert letters.count("|") == 8 and symbols.count("|") == 8


class BrokenStdout(io.TextIOBase):
    def write(self, text):
        raise OSError("stdout is gone")


def test_a_failing_print_reaches_the_caller(env):
    env.parse_fen(START_FEN)
    with contextlib.redirect_stdout(BrokenStdout()):
        with pytest.raises(OSError, match="stdout is gone"):
            env.render()
    flush_c_stdout()


def test_letters_reach_a_pipe_before_what_is_written_after_render():
    from conftest import run_python

    done = run_python("import os, vantor\nvantor.Vantor().render()\nos.write(1, b'AFTER\\n')\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout.index("Castling:") < done.stdout.index("AFTER")
