"""Chess960 against python-chess, position by position over random games from random
starts: legal moves, FEN text, SAN and how each game ends; then every layer plays a
Chess960 game end to end, and bad input is refused with nothing changed."""

from __future__ import annotations

import io
import os
import random
import warnings

import numpy as np
import pytest

from conftest import SANITIZED
from vantor_gym import _native, chess960, notation
from vantor_gym.batch import BatchEnv
from vantor_gym.fen import read_fen
from vantor_gym.game import GOES_ON, Game
from vantor_gym.match import play_match
from vantor_gym.players import RandomPlayer
from vantor_gym.search import Search

chess = pytest.importorskip("chess")
with warnings.catch_warnings():
    # python-chess's engine module, which its PGN reader imports, names an old asyncio policy.
    warnings.filterwarnings("ignore", "'asyncio.DefaultEventLoopPolicy' is deprecated", DeprecationWarning)
    import chess.pgn  # noqa: E402

POSITIONS = int(os.environ.get("VANTOR_CHESS960_POSITIONS", 5_000 if SANITIZED else 100_000))
ENDINGS = {
    chess.Termination.CHECKMATE: "checkmate",
    chess.Termination.STALEMATE: "stalemate",
    chess.Termination.INSUFFICIENT_MATERIAL: "insufficient_material",
    chess.Termination.SEVENTYFIVE_MOVES: "seventyfive_moves",
    chess.Termination.FIVEFOLD_REPETITION: "fivefold_repetition",
}


def test_random_games_agree_with_python_chess():
    rng = random.Random(960)
    positions = castlings = games = 0
    odd_castlings = set()  # castling moves where the king or the rook stays, or they trade files
    while positions < POSITIONS:
        game = Game(chess960=True, rules="automatic", seed=rng.randrange(2**32))
        board = chess.Board.from_chess960_pos(game.start_number)
        games += 1
        while True:
            assert game.fen() == board.fen(), (game.start_number, board.move_stack)
            listed = game._core.legal_moves()
            by_uci = {uci: (action, san) for action, uci, san in listed}
            assert set(by_uci) == {move.uci() for move in board.legal_moves}, board.fen()
            positions += 1
            if not listed:
                break
            castling = [m for m in board.legal_moves if board.is_castling(m)]
            # Castling when it can, often: random play would rarely keep the right long enough.
            move = rng.choice(castling) if castling and rng.random() < 0.5 else rng.choice(list(board.legal_moves))
            action, san = by_uci[move.uci()]
            assert san == board.san(move), board.fen()
            if positions % 50 == 0:
                assert all(by_uci[m.uci()][1] == board.san(m) for m in board.legal_moves), board.fen()
            if board.is_castling(move):
                castlings += 1
                king, rook = move.from_square, move.to_square
                stays = chess.square_file(king) in (2, 6) or chess.square_file(rook) in (3, 5)
                if stays or abs(chess.square_file(king) - chess.square_file(rook)) == 1:
                    odd_castlings.add(board.fen())
            reward, end = game.step(action)
            board.push(move)
            outcome = board.outcome()
            if end != GOES_ON or outcome is not None:
                assert outcome is not None and game.ending == ENDINGS[outcome.termination], board.fen()
                winner = {chess.WHITE: 1, chess.BLACK: -1, None: 0}[outcome.winner]
                assert reward == winner
                break
    assert castlings > games // 2 and len(odd_castlings) > games // 4, (castlings, len(odd_castlings))


def test_fen_reads_as_python_chess_reads_it():
    # (text, the X-FEN python-chess writes of it)
    rows = [
        ("bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9",
         "bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w KQkq - 2 9"),
        ("1r1kr2r/8/8/8/8/8/8/R2K1R1R w Fb - 0 1", "1r1kr2r/8/8/8/8/8/8/R2K1R1R w Fq - 0 1"),
        # A standard FEN means in Chess960 what python-chess reads: KQkq the outermost rooks.
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
         "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"),
        ("rk5r/p6p/8/8/8/8/P6P/RK5R w HAha - 0 1", "rk5r/p6p/8/8/8/8/P6P/RK5R w KQkq - 0 1"),
    ]
    for text, written in rows:
        assert chess.Board(text, chess960=True).fen() == written
        game = Game(text, chess960=True)
        assert game.fen() == written
        moves = {uci for _, uci, _ in game._core.legal_moves()}
        assert moves == {m.uci() for m in chess.Board(text, chess960=True).legal_moves}


def test_start_numbers_are_python_chess_numbers():
    for number in range(chess960.STARTS):
        fen = chess960.start_fen(number)
        assert fen == chess.Board.from_chess960_pos(number).fen()
        assert chess960.start_number(fen) == number
    assert chess960.start_fen(np.int16(518)) == chess960.start_fen(chess960.STANDARD_START)
    assert chess960.start_number("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1") == -1
    # Every spelling of the four rights names the start: Shredder-FEN, mixed, reordered.
    board = chess.Board.from_chess960_pos(7)
    for text in (board.shredder_fen(), board.fen().replace("KQkq", "QKqk")):
        assert chess960.start_number(text) == 7
    assert chess960.start_number(board.fen().replace("KQkq", "KQk")) == -1


# White castles at once on either side: the king b1 onto a1 (the king to c1, the rook to
# d1) or onto g1 (the king to g1, the rook to f1).
CASTLE_FEN = "rk4r1/pppppppp/8/8/8/8/PPPPPPPP/RK4R1 w KQkq - 0 1"
CASTLED = {"b1a1": "rk4r1/pppppppp/8/8/8/8/PPPPPPPP/2KR2R1 b kq - 1 1",
           "b1g1": "rk4r1/pppppppp/8/8/8/8/PPPPPPPP/R4RK1 b kq - 1 1"}


class _GameLayer:
    def __init__(self, seed, fen=None):
        self.game = Game(fen, chess960=True, seed=seed)

    def start(self):
        return self.game.start_number

    def legal(self):
        return self.game.legal_actions()

    def step(self, action):
        return self.game.step(action)[1] != GOES_ON

    def fen(self):
        return self.game.fen()


class _BatchLayer:
    def __init__(self, seed, fen=None):
        self.env = BatchEnv(1, chess960=True, seed=seed, autoreset="disabled", threads=1)
        _, info = self.env.reset(fens=None if fen is None else [fen])
        self.mask = info["action_mask"][0]

    def start(self):
        return int(self.env.start_numbers()[0])

    def legal(self):
        return np.flatnonzero(self.mask)

    def step(self, action):
        _, _, terminated, truncated, info = self.env.step(np.array([action]))
        self.mask = info["action_mask"][0]
        return bool(terminated[0] or truncated[0])

    def fen(self):
        return notation.fen((self.env, 0))


class _GymLayer:
    def __init__(self, seed, fen=None):
        from vantor_gym.env import VantorEnv

        self.env = VantorEnv(chess960=True)
        _, self.info = self.env.reset(seed=seed, options=None if fen is None else {"fen": fen})

    def start(self):
        return int(self.info["chess960_start"])

    def legal(self):
        return np.flatnonzero(self.info["action_mask"])

    def step(self, action):
        _, _, terminated, truncated, self.info = self.env.step(action)
        return terminated or truncated

    def fen(self):
        return self.env.unwrapped.game.fen()


class _VectorLayer:
    def __init__(self, seed, fen=None):
        from vantor_gym.vector import VantorVectorEnv

        self.env = VantorVectorEnv(2, chess960=True, workers=1)
        _, self.info = self.env.reset(seed=seed, options=None if fen is None else {"fen": fen})

    def start(self):
        return int(self.info["chess960_start"][0])

    def legal(self):
        return np.flatnonzero(self.info["action_mask"][0])

    def step(self, action):
        other = np.flatnonzero(self.info["action_mask"][1])[0]
        _, _, terminated, truncated, self.info = self.env.step(np.array([action, other]))
        return bool(terminated[0] or truncated[0])

    def fen(self):
        return notation.fen((self.env.batch, 0))


class _AecLayer:
    def __init__(self, seed, fen=None):
        pytest.importorskip("pettingzoo")
        from vantor_gym.aec import raw_env

        self.env = raw_env(chess960=True)
        self.env.reset(seed=seed, options=None if fen is None else {"fen": fen})

    def start(self):
        return self.env.infos["player_0"]["chess960_start"]

    def legal(self):
        return np.flatnonzero(self.env.observe(self.env.agent_selection)["action_mask"])

    def step(self, action):
        self.env.step(action)
        return bool(self.env.terminations["player_0"] or self.env.truncations["player_0"])

    def fen(self):
        return notation.fen((self.env.batch, 0))


class _Sb3Layer(_VectorLayer):
    def __init__(self, seed, fen=None):
        pytest.importorskip("stable_baselines3")
        from vantor_gym.sb3 import VecEnv

        self.sb3 = VecEnv(2, chess960=True)
        self.sb3.seed(seed)
        if fen is not None:
            self.sb3.set_options({"fen": fen})
        self.sb3.reset()
        self.env = self.sb3.vector_env
        self.infos = self.sb3.reset_infos

    def start(self):
        return int(self.infos[0]["chess960_start"])

    def legal(self):
        return np.flatnonzero(self.sb3.action_masks()[0])

    def step(self, action):
        other = np.flatnonzero(self.sb3.action_masks()[1])[0]
        _, _, done, self.infos = self.sb3.step(np.array([action, other]))
        return bool(done[0])


LAYERS = {"Game": _GameLayer, "BatchEnv": _BatchLayer, "VantorEnv": _GymLayer, "VantorVectorEnv": _VectorLayer,
          "aec": _AecLayer, "sb3": _Sb3Layer}


@pytest.mark.parametrize("layer", LAYERS)
def test_every_layer_plays_chess960(layer):
    make = LAYERS[layer]
    # A start drawn from the 960 and told in the info; the same seed draws it again.
    first = make(seed=7)
    start = first.start()
    assert 0 <= start < chess960.STARTS and first.fen() == chess960.start_fen(start)
    assert make(seed=7).start() == start
    assert len({make(seed=s).start() for s in range(8)}) > 4
    # A random game to its end (or 300 plies), every position's FEN one python-chess reads alike.
    rng = np.random.default_rng(start)
    for _ in range(300):
        assert chess.Board(first.fen(), chess960=True).fen() == first.fen()
        if first.step(int(rng.choice(first.legal()))):
            break
    # Castling onto either rook, as python-chess plays it.
    for uci, after in CASTLED.items():
        castling = make(seed=1, fen=CASTLE_FEN)
        assert castling.start() == -1
        board = chess.Board(CASTLE_FEN, chess960=True)
        action = notation.uci_to_action(Game(CASTLE_FEN, chess960=True), uci)
        assert action in castling.legal()
        castling.step(action)
        board.push_uci(uci)
        assert castling.fen() == board.fen() == after


def test_pgn_round_trips_with_python_chess():
    game = Game(chess960=True, seed=11)
    start_fen = game.fen()
    rng = np.random.default_rng(11)
    actions = []
    for _ in range(80):
        actions.append(int(rng.choice(game.legal_actions())))
        if game.step(actions[-1])[1] != GOES_ON:
            break
    text = notation.pgn(actions, start_fen=start_fen, chess960=True)
    assert '[Variant "Chess960"]' in text
    # The start is written as X-FEN, however it was spelled.
    assert f'[FEN "{CASTLE_FEN}"]' in notation.pgn([], CASTLE_FEN.replace("KQkq", "GAga"), chess960=True)
    theirs = chess.pgn.read_game(io.StringIO(text))
    assert theirs.board().chess960 and theirs.end().board().fen() == game.fen()
    # python-chess's own export reads back to the same actions, one game or many.
    exported = str(theirs)
    assert notation.read_pgn(exported).actions == actions
    columns = notation.read_pgn_columns(io.StringIO(exported + "\n\n" + exported))
    assert columns.chess960.tolist() == [True, True] and not columns.playable.any()
    assert columns.game(1).actions == actions and columns.game(1).chess960


def test_bad_input_is_refused_with_nothing_changed():
    game = Game(chess960=100)
    before = game.fen()
    rows = [
        # (call, exception, words of the message)
        (lambda: Game(chess960=960), ValueError, "0 .. 959"),
        (lambda: Game(chess960=-1), ValueError, "0 .. 959"),
        (lambda: Game(chess960=1.0), TypeError, "chess960"),
        (lambda: Game(chess960="yes"), TypeError, "chess960"),
        (lambda: BatchEnv(1, chess960=5, start_fens=[chess960.start_fen(5)]), ValueError, "start number"),
        (lambda: chess960.start_fen(10**30), ValueError, "0 .. 959"),
        (lambda: game.reset("rk5r/8/8/8/8/8/8/RK6 w HAha - 0 1"), ValueError, "rook"),
        (lambda: game.reset("r5rk/8/8/8/8/8/8/R5RK w GAga - 0 1"), ValueError, "side of"),
        (lambda: game.reset("rk5r/8/8/8/8/8/8/RK4RR w HGha - 0 1"), ValueError, "two rights"),
        (lambda: game.reset("rk5r/8/8/8/8/8/8/RK5R w HAhaK - 0 1"), ValueError, "castling field"),
        (lambda: game.step(notation.uci_to_action(Game(CASTLE_FEN, chess960=True), "b1a1")), ValueError, "legal"),
        # White's rights before black's, as python-chess takes a field.
        (lambda: game.reset(CASTLE_FEN.replace("KQkq", "kqKQ")), ValueError, "castling field"),
        # A king's move onto its rook is castling, written O-O-O; not "Kxa1" nor "Ka1".
        (lambda: notation.san_to_action(Game(CASTLE_FEN, chess960=True), "Kxa1"), ValueError, "Kxa1"),
        (lambda: notation.san_to_action(Game(CASTLE_FEN, chess960=True), "Ka1"), ValueError, "Ka1"),
        # A Chess960 snapshot has rights a standard game cannot hold.
        (lambda: Game().restore_state(Game(chess960=0).save_state()), ValueError, "home squares"),
        (lambda: BatchEnv(1).restore_state(0, Game(chess960=0).save_state()), ValueError, "home squares"),
        (lambda: notation.pgn([], CASTLE_FEN, chess960="no"), TypeError, "chess960"),
        (lambda: play_match(RandomPlayer(0), RandomPlayer(1), 2, chess960=5, start_fens=[CASTLE_FEN]), ValueError,
         "not both"),
    ]
    for call, error, words in rows:
        with pytest.raises(error, match=words):
            call()
        assert game.fen() == before
    # A standard game has no castling action onto the rook.
    standard = Game("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1")
    with pytest.raises(ValueError):
        notation.uci_to_action(standard, "e1h1")
    assert read_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", chess960=True).chess960
    assert _native.chess960_number("RNBQKBNR") == chess960.STANDARD_START


def test_matches_search_players_and_engines_play_chess960():
    from contextlib import ExitStack

    from vantor_gym.match import play_match
    from vantor_gym.players import make_player

    with ExitStack() as stack:
        search = make_player("search:8", stack, seed=1, chess960=True)
        monte_carlo = make_player("mc:1", stack, chess960=True)
        result = play_match(search, monte_carlo, 2, chess960=True, seed=4, max_plies=60)
        records = list(result.games)
        # The pair of games shares its start, drawn from the seed, and python-chess replays both.
        assert records[0].start_fen == records[1].start_fen == chess960.start_fen(
            random.Random(4).randrange(chess960.STARTS))
        for record, text in zip(records, result.pgns):
            game = chess.pgn.read_game(io.StringIO(text))
            assert game.headers["Variant"] == "Chess960" and len(list(game.mainline_moves())) == len(record.actions)
        with pytest.raises(ValueError, match="chess960=False"):
            play_match(search, make_player("random", stack), 2)
        if os.path.exists("/usr/games/stockfish"):
            engine = make_player("uci:/usr/games/stockfish:Skill Level=0", stack, chess960=True)
            castled = play_match(engine, search, 2, chess960=chess960.STANDARD_START - 1, max_plies=40)
            assert castled.played == 2
            # The engine turns UCI_Chess960 off again for a standard position.
            assert engine._chess960 and engine.best_action(Game(), depth=1) >= 0
            assert not engine._chess960
    # A search over a BatchEnv keeps its games' castling rooks: O-O here is with the inner g1 rook.
    games = BatchEnv(1, chess960=True)
    games.reset(fens=["r3k1rr/pppppppp/8/8/8/8/PPPPPPPP/R3K1RR w GAga - 0 1"])
    uniform = lambda o, m: (np.zeros(m.shape, np.float32), np.zeros(len(m), np.float32))  # noqa: E731
    found = Search(1, uniform, 64, chess960=True, threads=1, dirichlet_fraction=0.0).run(games)
    assert found.policies[0][notation.uci_to_action((games, 0), "e1g1")] > 0


def test_the_viewer_replays_watches_and_plays_chess960():
    pytest.importorskip("starlette")
    from vantor_gym.view.feed import GameFeed
    from vantor_gym.view.lines import Line
    from vantor_gym.view.play import PlaySession

    # Under the module's rules a Chess960 line plays on where chess would draw (K+N against K).
    bare = "8/8/5n2/8/6k1/8/8/1K6 w - - 0 1"
    assert Line(bare, rules="module", chess960=True).move(
        notation.uci_to_action(Game(bare, chess960=True, rules="module"), "b1a1")) is not None
    # A line shows the castling move as the page needs it: UCI onto the rook, SAN, FEN.
    line = Line(CASTLE_FEN, chess960=True)
    shown = line.move(notation.uci_to_action(Game(CASTLE_FEN, chess960=True), "b1g1"))
    assert shown == {"uci": "b1g1", "san": "O-O", "fen": CASTLED["b1g1"]}
    feed = GameFeed()
    number = feed.begin("a", "b", CASTLE_FEN, chess960=True)
    assert feed.read(number).chess960 and not feed.read(feed.begin()).chess960
    # The play page: the king onto its rook, or two squares along where that names one castling.
    session = PlaySession("random", seed=3, chess960=True)
    try:
        session.start = CASTLE_FEN
        session._replay([])
        # b1c1 is the king's own step, which stays one; b1g1 is already the castling move.
        assert {"b1a1", "b1g1", "b1c1"} <= set(session.shown()["legal"]) and session._aliases() == {}
        session.move("b1a1")
        assert session.line.fen().startswith("rk4r1/pppppppp/8/8/8/8/PPPPPPPP/2KR2R1 b")
        assert '[Variant "Chess960"]' in pgn_of(session)
        session.start = "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1"
        session._replay([])
        assert session._aliases() == {"e1g1": "e1h1", "e1c1": "e1a1"}
        session.move("e1g1")
        assert session.line.fen() == "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R4RK1 b kq - 1 1"
    finally:
        session.close()


def pgn_of(session):
    session.ending, session.result = "adjudication", "*"
    return str(session.shown()["pgn"])
