"""Board pictures: what board_image draws, the squares of an action, and the render modes
of the Gymnasium, vector and PettingZoo environments."""

import random
import warnings
import xml.etree.ElementTree as ET

import gymnasium
import numpy as np
import pytest
from conftest import check_env, require

import vantor
import vantor_gym
from vantor_gym import _native, aec
from vantor_gym.render import board_image, board_svg, move_squares

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
# The initial position with kings and queens swapped, so every piece stands on both square colours.
SWAPPED = "rnbkqbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBKQBNR w - - 0 1"
CELL = 32  # pixels a square at the default size

with warnings.catch_warnings():
    # pettingzoo.test loads one of its own games through PettingZoo's deprecated creation API.
    warnings.filterwarnings("ignore", "The old environment creation API", DeprecationWarning)
    from pettingzoo.test import api_test, render_test


def state_of(fen):
    game = vantor.Vantor()
    game.parse_fen(fen)
    return game.save_state()


def piece_codes(state):
    sets = state.bitboards.tolist()
    return [max((c for c in range(12) if sets[c] >> s & 1), default=-1) for s in range(64)]


def cell(image, square):
    row, column = divmod(square, 8)
    return image[CELL * row:CELL * (row + 1), CELL * column:CELL * (column + 1)]


def dark(square):
    return sum(divmod(square, 8)) % 2 == 1


@pytest.fixture(scope="module")
def glyphs():
    """The pixels of each (piece code or -1 for none, dark square) as the start positions draw them."""
    found = {}
    for fen in (START, SWAPPED):
        state = state_of(fen)
        image = board_image(state)
        for square, code in enumerate(piece_codes(state)):
            found.setdefault((code, dark(square)), cell(image, square).copy())
    assert len(found) == 26
    return found


def random_states(games, plies, seed):
    rng = random.Random(seed)
    for _ in range(games):
        game = vantor.Vantor()
        game.reset()
        for _ in range(plies):
            legal = [a for a, _, _ in _native.legal_moves(game.save_state())]
            if not legal:
                break
            yield game.save_state()
            _, _, _, done = game.step(rng.choice(legal))
            if done:
                break


class TestBoardImage:
    def test_every_glyph_is_its_own(self, glyphs):
        pictures = list(glyphs.values())
        for i, a in enumerate(pictures):
            assert all(not np.array_equal(a, b) for b in pictures[i + 1:])

    def test_glyph_colours_tell_the_sides_apart(self, glyphs):
        for (code, _), pixels in glyphs.items():
            whitish = np.all(pixels >= 235, axis=-1).sum()
            blackish = np.all(pixels <= 40, axis=-1).sum()
            if code < 0:
                assert whitish == blackish == 0
            elif code < 6:
                assert whitish > 2 * blackish > 0
            else:
                assert blackish > 2 * whitish

    def test_every_square_shows_its_piece_from_whites_side(self, glyphs):
        for state in random_states(games=6, plies=120, seed=3):
            image = board_image(state)
            for square, code in enumerate(piece_codes(state)):
                assert np.array_equal(cell(image, square), glyphs[(code, dark(square))]), square

    def test_white_is_at_the_bottom(self):
        image = board_image(state_of(START))
        bottom, top = image[-CELL:], image[:CELL]
        assert np.all(bottom >= 235, axis=-1).sum() > np.all(bottom <= 40, axis=-1).sum()
        assert np.all(top <= 40, axis=-1).sum() > np.all(top >= 235, axis=-1).sum()

    def test_last_move_tints_exactly_its_two_squares(self):
        state = state_of(START)
        plain, marked = board_image(state), board_image(state, (52, 36))
        for square in range(64):
            same = np.array_equal(cell(plain, square), cell(marked, square))
            assert same == (square not in (52, 36)), square
        # The tint keeps the glyph legible: the pawn on e2 still has its white body.
        assert np.all(cell(marked, 52) >= 235, axis=-1).sum() > 50

    @pytest.mark.parametrize("size", [16, 17, 100, 255, 256, 513])
    def test_any_size_is_covered_by_squares(self, size):
        image = board_image(vantor.State(), size=size)
        assert image.shape == (size, size, 3) and image.dtype == np.uint8
        colours = {tuple(p) for p in image.reshape(-1, 3).tolist()}
        assert colours == {(240, 217, 181), (181, 136, 99)}
        assert tuple(image[0, 0]) == (240, 217, 181) and tuple(image[-1, 0]) == (181, 136, 99)

    def test_results_are_new_arrays(self):
        state = state_of(START)
        first = board_image(state, (52, 36))
        expected = first.copy()
        first[:] = 0
        assert first.flags.writeable
        assert np.array_equal(board_image(state, (52, 36)), expected)

    @pytest.mark.parametrize(
        "args, error",
        [
            ((None,), TypeError),
            (("8/8/8/8/8/8/8/8 w - - 0 1",), TypeError),
            ((vantor.State(), (1, 2, 3)), TypeError),
            ((vantor.State(), "e2e4"), TypeError),
            ((vantor.State(), (1.0, 2)), TypeError),
            ((vantor.State(), (True, 2)), TypeError),
            ((vantor.State(), (0, 64)), ValueError),
            ((vantor.State(), (-1, 3)), ValueError),
            ((vantor.State(), None, 15), ValueError),
            ((vantor.State(), None, 4097), ValueError),
            ((vantor.State(), None, 256.0), TypeError),
            ((vantor.State(), None, True), TypeError),
        ],
    )
    def test_bad_arguments_are_refused(self, args, error):
        with pytest.raises(error):
            board_image(*args)


def uci_squares(uci):
    def square(name):
        return "abcdefgh".index(name[0]) + 8 * (8 - int(name[1]))

    return square(uci[:2]), square(uci[2:4])


class TestMoveSquares:
    @pytest.mark.parametrize(
        "fen",
        [
            "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1",
            "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b KQkq - 0 1",
            "1n2k1n1/P1P4P/8/8/8/8/p1p4p/1N2K1N1 w - - 0 1",
            "1n2k1n1/P1P4P/8/8/8/8/p1p4p/1N2K1N1 b - - 0 1",
            "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
            "4k3/8/8/8/3Pp3/8/8/4K3 b - d3 0 1",
            "4k3/8/8/8/3NN3/8/8/4K3 w - - 0 1",
            "4k3/8/8/3nn3/8/8/8/4K3 b - - 0 1",
        ],
    )
    def test_special_moves_match_their_uci_text(self, fen):
        state = state_of(fen)
        moves = _native.legal_moves(state)
        assert moves
        for action, uci, _ in moves:
            assert move_squares(action, state.side) == uci_squares(uci), uci

    def test_random_games_match_their_uci_text(self):
        checked = 0
        for state in random_states(games=10, plies=200, seed=11):
            for action, uci, _ in _native.legal_moves(state):
                assert move_squares(action, state.side) == uci_squares(uci), uci
                checked += 1
        assert checked > 10_000

    @pytest.mark.parametrize("action", [-1, 4672, 10**6])
    def test_actions_outside_the_encoding_are_refused(self, action):
        with pytest.raises(ValueError):
            move_squares(action, 0)


def play_random(env, steps, seed):
    rng = np.random.default_rng(seed)
    obs, info = env.reset()
    for _ in range(steps):
        action = int(rng.choice(np.flatnonzero(info["action_mask"])))
        obs, _, terminated, truncated, info = env.step(action)
        if terminated or truncated:
            obs, info = env.reset()


class TestGymnasium:
    def test_checker_accepts_rgb_array(self):
        check_env(gymnasium.make("vantor_gym/Chess-v0", render_mode="rgb_array").unwrapped)

    def test_frames_follow_the_game(self):
        env = vantor_gym.VantorEnv(render_mode="rgb_array")
        env.reset()
        assert np.array_equal(env.render(), board_image(env.game.save_state()))
        env.step(564)  # e2e4
        env.step(524)  # e7e5
        assert np.array_equal(env.render(), board_image(env.game.save_state(), (12, 28)))
        env.reset()
        assert env.last_move is None

    def test_an_illegal_action_keeps_the_last_move(self):
        env = vantor_gym.VantorEnv(render_mode="rgb_array")
        env.reset()
        env.step(564)
        *_, info = env.step(0)
        assert info["illegal_action"] and env.last_move == (52, 36)
        raising = vantor_gym.VantorEnv(render_mode="rgb_array", illegal_action="raise")
        raising.reset()
        raising.step(564)
        with pytest.raises(ValueError):
            raising.step(0)
        assert raising.last_move == (52, 36)

    def test_render_collection_gathers_a_frame_per_reset_and_step(self):
        from gymnasium.wrappers import RenderCollection

        env = RenderCollection(gymnasium.make("vantor_gym/Chess-v0", render_mode="rgb_array"))
        play_random(env, steps=5, seed=1)
        frames = env.render()
        assert len(frames) == 1 + 5
        assert all(f.shape == (256, 256, 3) and f.dtype == np.uint8 for f in frames)
        assert not np.array_equal(frames[0], frames[1])

    def test_record_video_writes_a_file(self, tmp_path):
        pytest.importorskip("moviepy")
        from gymnasium.wrappers import RecordVideo

        env = RecordVideo(gymnasium.make("vantor_gym/Chess-v0", render_mode="rgb_array", max_plies=8),
                          str(tmp_path / "videos"), episode_trigger=lambda episode: True, disable_logger=True)
        play_random(env, steps=9, seed=2)
        env.close()
        assert list((tmp_path / "videos").glob("*.mp4"))

    def test_human_mode_draws_without_returning_a_frame(self, monkeypatch):
        require("pygame")
        monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")  # no window may open in a test
        env = vantor_gym.VantorEnv(render_mode="human")
        env.reset()
        env.step(564)
        assert env.render() is None and env.last_move == (52, 36)
        env.close()

    def test_human_mode_without_a_display_says_so(self, monkeypatch):
        require("pygame")
        monkeypatch.setenv("SDL_VIDEODRIVER", "no-such-driver")
        env = vantor_gym.VantorEnv(render_mode="human")
        with pytest.raises(RuntimeError, match="needs a display"):
            env.reset()
        env.close()

    def test_unknown_render_mode_is_refused(self):
        with pytest.raises(ValueError, match="render_mode"):
            vantor_gym.VantorEnv(render_mode="rgb")


class TestVector:
    def test_one_frame_per_game_with_its_own_last_move(self):
        env = vantor_gym.VantorVectorEnv(3, render_mode="rgb_array", workers=1)
        env.reset()
        frames = env.render()
        assert isinstance(frames, tuple) and len(frames) == 3
        env.step(np.array([564, 564, 500], dtype=np.int64))  # e2e4, e2e4, e2e3
        moves = [(52, 36), (52, 36), (52, 44)]
        for game, frame in enumerate(env.render()):
            assert np.array_equal(frame, board_image(env.batch.save_state(game), moves[game]))

    def test_a_restarted_game_forgets_its_move(self):
        env = vantor_gym.VantorVectorEnv(2, render_mode="rgb_array", max_plies=1, illegal_action="lose", workers=1)
        env.reset()
        _, _, terminated, truncated, _ = env.step(np.array([564, 0]))  # game 1 tries an illegal action
        assert truncated[0] and terminated[1]
        assert env.last_moves.moves == [(52, 36), None]
        env.step(np.array([0, 0]))  # both restart; the actions are ignored
        assert env.last_moves.moves == [None, None]
        env.step(np.array([564, 564]))
        assert env.last_moves.moves == [(52, 36), (52, 36)]

    def test_without_a_mode_nothing_is_drawn_or_kept(self):
        env = vantor_gym.VantorVectorEnv(2, workers=1)
        env.reset()
        env.step(np.array([564, 564]))
        assert env.render() is None and env.last_moves.moves == [None, None]
        with pytest.raises(ValueError, match="render_mode"):
            vantor_gym.VantorVectorEnv(2, render_mode="human")


class TestPettingZoo:
    def test_render_test_accepts_every_mode(self, monkeypatch):
        require("pygame")
        monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
        render_test(aec.env)

    # The two warnings PettingZoo gives for its own chess environment's observations too.
    @pytest.mark.filterwarnings("ignore:Observation is not a NumPy array:UserWarning")
    @pytest.mark.filterwarnings("ignore:Observation space for each agent probably should be:UserWarning")
    def test_api_test_with_pictures(self):
        api_test(aec.env(render_mode="rgb_array", max_plies=30), num_cycles=40)

    def test_frames_follow_the_game(self):
        env = aec.env(render_mode="rgb_array")
        env.reset()
        env.step(564)
        env.step(524)
        state = env.unwrapped.batch.save_state(0)
        assert np.array_equal(env.render(), board_image(state, (12, 28)))
        env.step(0)  # an illegal action ends the game and leaves the board as it was
        assert env.unwrapped.last_move == (12, 28)
        env.reset()
        assert env.unwrapped.last_move is None


SVG = "{http://www.w3.org/2000/svg}"


@pytest.mark.parametrize("orientation", ["white", "black"])
def test_the_svg_board_puts_python_chess_pieces_on_their_squares_in_the_pictures_colours(orientation):
    chess = pytest.importorskip("chess")
    rng = random.Random(5)
    for game in range(12):
        board = chess.Board()
        for _ in range(rng.randrange(0, 80)):
            if board.is_game_over():
                break
            board.push(rng.choice(list(board.legal_moves)))
        state, move = state_of(board.fen()), (rng.randrange(64), rng.randrange(64))
        root = ET.fromstring(board_svg(state, move, orientation=orientation))
        placed = {}
        for g in root.iter(f"{SVG}g"):
            if g.get("class") == "piece":
                placed[g.get("data-square")] = (g.get("data-piece"), g.get("transform"))
        image = board_image(state, move)
        for square in range(64):
            row, column = divmod(square, 8)
            name = "abcdefgh"[column] + "87654321"[row]
            x, y = (7 - column, 7 - row) if orientation == "black" else (column, row)
            piece = board.piece_at(chess.parse_square(name))
            assert placed.pop(name, None) == (piece and (piece.symbol(), f"translate({x} {y})")), (game, name)
            rect = root.find(f"{SVG}rect[@data-square='{name}']")
            assert (rect.get("x"), rect.get("y")) == (str(x), str(y))
            # A square's corner is never under a piece, in either picture.
            assert rect.get("fill") == "#" + bytes(image[row * CELL, column * CELL]).hex()
        assert placed == {}


@pytest.mark.parametrize("args, error", [((None,), TypeError), ((state_of(START), None, 8), ValueError),
                                         ((state_of(START), (64, 0)), ValueError),
                                         ((state_of(START), None, 400, "red"), ValueError),
                                         ((state_of(START), None, 400, None), TypeError)])
def test_the_svg_board_refuses_what_the_picture_refuses(args, error):
    with pytest.raises(error):
        board_svg(*args)
