"""UCI, SAN, FEN and PGN, proven against python-chess over many positions."""

import io
import os
import re
import warnings

import numpy as np
import pytest

import vantor
from conftest import SANITIZED, START_FEN
from vantor_gym import BatchEnv
from vantor_gym.notation import (
    action_to_san,
    action_to_uci,
    fen,
    pgn,
    read_pgn,
    san_to_action,
    uci_to_action,
    validate_fen,
)
from vantor_gym.notation import _Moves

chess = pytest.importorskip("chess")
with warnings.catch_warnings():
    # python-chess's PGN module imports its engine module, which names an asyncio policy
    # class that Python 3.14 deprecates; nothing here uses it.
    warnings.filterwarnings("ignore", "'asyncio.DefaultEventLoopPolicy' is deprecated", DeprecationWarning)
    import chess.pgn  # noqa: E402

HERE = os.path.dirname(__file__)
POSITIONS = 10_000 if SANITIZED else 100_000


def perft_fens():
    with open(os.path.join(HERE, "..", "data", "perft-standard.tsv")) as f:
        next(f)
        return sorted({line.split("\t")[1] for line in f})


def test_every_legal_move_round_trips_and_matches_python_chess():
    """Random games from the initial and the perft positions, stepped in a batch beside a
    python-chess board each: in every position, each legal action's UCI and SAN read back
    to it, the legal UCI moves and the FEN are python-chess's, and the FEN reads back to
    the same position fields."""
    starts = [START_FEN, *perft_fens()]
    games = 64
    rng = np.random.default_rng(7)
    batch = BatchEnv(games, threads=2, autoreset="disabled", rules="module")
    fens = [starts[i % len(starts)] for i in range(games)]
    _, info = batch.reset(fens=fens)
    boards = [chess.Board(f) for f in fens]
    # Both half-move fields go on from the FEN's clock; ours counts the resetting move too
    # once there was one.
    offsets = [0] * games
    reader = vantor.Vantor()
    seen = 0
    while seen < POSITIONS:
        actions = np.zeros(games, np.int64)
        for g in range(games):
            state = batch.save_state(g)
            moves = _Moves(state)
            board = boards[g]
            ours = sorted(moves.by_uci)
            assert ours == sorted(m.uci() for m in board.legal_moves), board.fen()
            for action, uci, san in moves.listed:
                assert moves.from_uci(uci) == action
                assert moves.from_san(san) == action
            if seen % 16 == 0:
                for action, uci, san in moves.listed:
                    assert san == board.san(chess.Move.from_uci(uci)), (board.fen(), uci)
            text = fen(state)
            assert text.split()[:4] == board.fen(en_passant="fen").split()[:4]
            assert int(text.split()[4]) == board.halfmove_clock + offsets[g]
            reader.parse_fen(text)
            back = reader.save_state()
            assert back.bitboards.tolist() == state.bitboards.tolist()
            assert back.occupancies.tolist() == state.occupancies.tolist()
            assert (back.side, back.castle, back.enpassant) == (state.side, state.castle, state.enpassant)
            legal = np.flatnonzero(info["action_mask"][g])
            actions[g] = rng.choice(legal)
            move = chess.Move.from_uci(moves.by_action[int(actions[g])][0])
            if board.is_capture(move) or board.piece_type_at(move.from_square) == chess.PAWN:
                offsets[g] = 1
            board.push(move)
            seen += 1
        _, _, terminated, truncated, info = batch.step(actions)
        ended = np.flatnonzero(terminated | truncated)
        if len(ended):
            restart = [starts[rng.integers(len(starts))] for _ in ended]
            _, fresh = batch.reset(indices=ended, fens=restart)
            info["action_mask"][ended] = fresh["action_mask"]
            for g, f in zip(ended, restart):
                boards[g] = chess.Board(f)
                offsets[g] = 0
    batch.close()


def test_positions_are_read_from_states_environments_and_batch_games():
    env = vantor.Vantor()
    env.reset()
    env.step(564)
    after_e4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq "
    with BatchEnv(2, threads=1, rules="module") as batch, BatchEnv(1, threads=1) as chess_batch:
        batch.reset()
        batch.step(np.array([564, 564]))
        chess_batch.reset()
        chess_batch.step(np.array([564]))
        for position in (env, env.save_state(), (batch, 1), (batch, np.int64(0))):
            assert action_to_uci(position, 524) == "e7e5"
            assert fen(position, fullmove_number=2) == after_e4 + "e3 1 2"
        # Chess's rules: the clock starts again at 0, and no black pawn can take en passant.
        assert fen((chess_batch, 0)) == after_e4 + "- 0 1"
        with pytest.raises(IndexError):
            action_to_uci((batch, 2), 524)
    for wrong in ("e2e4", None, (env,), (env, 0)):
        with pytest.raises(TypeError):
            action_to_uci(wrong, 564)  # type: ignore[arg-type]


@pytest.mark.parametrize("index", [2**63, -(2**70), np.uint64(2**64 - 1), -1, 2, True, np.bool_(False), 1.0, None])
def test_fen_of_a_batch_game_refuses_an_index_as_the_batch_does(index):
    with BatchEnv(2, threads=1) as batch:
        with pytest.raises((IndexError, TypeError)) as theirs:
            batch.save_state(index)
        with pytest.raises(theirs.type, match=re.escape(str(theirs.value))):
            fen((batch, index))
    with pytest.raises(RuntimeError, match="closed"):
        fen((batch, 0))


@pytest.mark.parametrize(
    "fen_text, call, text, reason",
    [
        (START_FEN, uci_to_action, "e2e5", "not a legal move for white"),
        (START_FEN, uci_to_action, "e3e4", "no white piece stands on e3"),
        (START_FEN, uci_to_action, "e2-e4", "malformed UCI move"),
        (START_FEN, uci_to_action, "0000", "malformed UCI move"),
        ("4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", uci_to_action, "b7b8", "needs a promotion letter"),
        (START_FEN, san_to_action, "e5", "not a legal move"),
        (START_FEN, san_to_action, "O-O", "cannot castle"),
        (START_FEN, san_to_action, "Zf3", "malformed SAN"),
        ("4k3/8/8/8/8/8/8/1N2KN2 w - - 0 1", san_to_action, "Nd2", "ambiguous: it could be Nbd2 or Nfd2"),
        ("4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", san_to_action, "b8", "not a legal move"),
    ],
)
def test_refused_moves_name_the_reason(fen_text, call, text, reason):
    env = vantor.Vantor()
    env.reset()
    env.parse_fen(fen_text)
    with pytest.raises(ValueError, match=reason):
        call(env, text)


def test_san_reading_is_lenient_where_players_are():
    env = vantor.Vantor()
    env.reset()
    env.parse_fen("r3k2r/1P6/8/8/8/8/8/R3K2R w KQkq - 0 1")
    assert san_to_action(env, "0-0") == san_to_action(env, "O-O") == uci_to_action(env, "e1g1")
    assert san_to_action(env, "bxa8=Q+") == san_to_action(env, "bxa8Q") == uci_to_action(env, "b7a8q")
    assert san_to_action(env, "Rb1!?") == uci_to_action(env, "a1b1")
    assert san_to_action(env, "Ra1b1") == uci_to_action(env, "a1b1")
    assert action_to_san(env, uci_to_action(env, "b7b8n")) == "b8=N"
    assert action_to_san(env, uci_to_action(env, "e1c1")) == "O-O-O"
    with pytest.raises(ValueError, match="outside 0..4671"):
        action_to_san(env, 4672)
    with pytest.raises(TypeError):
        action_to_uci(env, 564.0)  # type: ignore[arg-type]


BROKEN_FENS = [
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP w KQkq - 0 1", "7 ranks"),
    ("rnbqkbnr/pppppppp/9/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "neither a piece letter nor a digit"),
    ("rnbqkbnr/pppppppp/44/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "two digits in a row"),
    ("rnbqkbnr/ppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "covers 7 squares"),
    ("rnbqkbnr/pppppppx/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "'x'"),
    ("rnbq1bnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQ - 0 1", "black has 0 kings"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBKKBNR w kq - 0 1", "white has 2 kings"),
    ("Pnbqkbnr/pppppppp/8/8/8/8/1PPPPPPP/RNBQKBNR w KQk - 0 1", "first or eighth rank"),
    ("rnbqkbnr/pppppppp/8/8/8/P7/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "more than 8 pawns"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1", "'w' or 'b'"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN1 w KQkq - 0 1", "'K' needs the white king on e1 and a white rook on h1"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkqK - 0 1", "in that order"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq e3 0 1", "e3 is not one a black double push"),
    ("4k3/8/8/PpP5/8/8/8/4K3 w - z9 0 1", "'z9' must be '-' or a square"),
    ("4k3/8/8/PpP5/8/8/8/4K3 w - b3 0 1", "b3 is not one"),
    ("4k3/8/8/8/4R3/8/8/4K3 w - - 0 1", "black is in check but it is white's move"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - -1 1", "half-move clock"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 0", "full-move number"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0", "6 fields"),
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq \u00e93 0 1", "ASCII"),
]


@pytest.mark.parametrize("text, reason", BROKEN_FENS)
def test_validate_fen_refuses_broken_texts_with_the_reason(text, reason):
    with pytest.raises(ValueError, match=reason.replace("(", r"\(")):
        validate_fen(text)


def test_validate_fen_accepts_whatever_python_chess_finds_valid():
    """Valid positions from random play and the perft set, and mutations of them (pieces
    moved, side flipped, rights and en-passant squares added): ours accepts every one
    python-chess's is_valid accepts; the broken list above python-chess refuses too."""
    rng = np.random.default_rng(3)
    texts = list(perft_fens())
    board = chess.Board()
    for _ in range(3000):
        moves = list(board.legal_moves)
        if not moves or board.is_game_over(claim_draw=False):
            board = chess.Board()
            continue
        board.push(moves[rng.integers(len(moves))])
        texts.append(board.fen(en_passant="fen"))
    mutated = []
    for text in texts:
        placement, side, rights, square, clock, number = text.split()
        mutated.append(f"{placement} {'b' if side == 'w' else 'w'} {rights} - {clock} {number}")
        mutated.append(f"{placement} {side} KQkq {square} {clock} {number}")
        for ep in ("e3", "d6", "a3", "h6"):
            mutated.append(f"{placement} {side} {rights} {ep} {clock} {number}")
    accepted = 0
    for text in texts + mutated:
        if chess.Board(text).is_valid():
            validate_fen(text)
            accepted += 1
    assert accepted > len(texts)
    for text, _ in BROKEN_FENS[:-4]:
        try:
            assert not chess.Board(text).is_valid(), text
        except ValueError:
            pass  # python-chess cannot even read it


def test_pgn_round_trips_and_speaks_python_chess():
    rng = np.random.default_rng(11)
    for start in (None, "r3k2r/pPpp1ppp/8/8/8/8/PpPP1PPP/R3K2R b KQkq - 3 17"):
        env = vantor.Vantor()
        env.reset()
        if start:
            env.parse_fen(start)
        actions = []
        for _ in range(120):
            legal = np.flatnonzero(np.array(env.get_actions()).ravel())
            if not len(legal):
                break
            actions.append(int(rng.choice(legal)))
            if env.step(actions[-1])[3]:
                break
        text = pgn(actions, start_fen=start, headers={"White": 'A "quoted" name', "Event": "test"})
        game = read_pgn(text)
        assert game.actions == actions and game.start_fen == start
        assert game.headers["White"] == 'A "quoted" name' and game.headers["Event"] == "test"
        theirs = chess.pgn.read_game(io.StringIO(text))
        assert not theirs.errors
        board = theirs.board()
        uci = []
        for move in theirs.mainline_moves():
            uci.append(move.uci())
            board.push(move)
        replay = vantor.Vantor()
        replay.reset()
        if start:
            replay.parse_fen(start)
        for action, move in zip(actions, uci):
            assert action_to_uci(replay, action) == move
            replay.step(action)
        assert len(uci) == len(actions)
        # And a game python-chess writes, with comments, variations and glyphs, reads back.
        node = theirs.game()
        node.variations[0].comment = "first {not} nested"
        node.variations[0].nags.add(chess.pgn.NAG_GOOD_MOVE)
        node.add_variation(list(node.board().legal_moves)[-1]).comment = "a side line"
        assert read_pgn(str(theirs.game())).actions == actions


def test_pgn_results_and_refusals():
    # Fool's mate: the environment ends the game and the result follows from it.
    mate = [uci for uci in ("f2f3", "e7e5", "g2g4", "d8h4")]
    env = vantor.Vantor()
    env.reset()
    actions = []
    for move in mate:
        actions.append(uci_to_action(env, move))
        env.step(actions[-1])
    text = pgn(actions)
    assert text.rstrip().endswith("1. f3 e5 2. g4 Qh4# 0-1")
    assert '[Result "0-1"]' in text
    assert pgn(actions[:2]).rstrip().endswith("*")
    assert pgn(actions[:2], result="1/2-1/2").rstrip().endswith("1/2-1/2")
    with pytest.raises(ValueError, match="ply 2: action 564 is not a legal move"):
        pgn([564, 564])
    with pytest.raises(ValueError, match="ply 5: the game ended at ply 4"):
        pgn([*actions, 0])
    with pytest.raises(ValueError, match="result must be one of"):
        pgn(actions, result="win")
    with pytest.raises(ValueError, match="ply 2: 'e4' is not a legal move for black"):
        read_pgn("1. e4 e4 *")
    with pytest.raises(ValueError, match="malformed PGN header"):
        read_pgn('[Event "x"\n\n1. e4 *')
    assert "1. Ke2 *" in pgn_from_bare_kings("module")
    black_first = pgn([524], start_fen="rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1")
    assert "1... e5 *" in black_first and '[FEN "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1"]' in black_first


FROM_E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1"
BARE_KINGS = "4k3/8/8/8/8/8/8/4K3 w - - 0 1"


def pgn_from_bare_kings(rules):
    """Ke1-e2 from bare kings: a game chess has drawn at its start, the module has not."""
    env = vantor.Vantor()
    env.parse_fen(BARE_KINGS)
    return pgn([uci_to_action(env, "e1e2")], start_fen=BARE_KINGS, rules=rules)


@pytest.mark.parametrize("call, error, reason", [
    # A FEN header the moves were not played from would be replayed from there by a reader.
    (lambda: pgn([564], headers={"FEN": FROM_E4}), ValueError, "is not the start position"),
    (lambda: pgn([524], start_fen=FROM_E4, headers={"FEN": START_FEN}), ValueError, "is not the start position"),
    (lambda: pgn([], headers={"FEN": "junk"}), ValueError, "is not the start position"),
    (lambda: pgn([564], headers={"White": None}), TypeError, "White's value is a str or an integer, not NoneType"),
    (lambda: pgn([564], headers={"White": b"me"}), TypeError, "not bytes"),
    (lambda: pgn([564], headers={b"White": "me"}), TypeError, "header name is a str, not bytes"),
    (lambda: pgn([564, 564], headers={"White": None}), TypeError, "White's value"),  # before the moves
    (lambda: fen(vantor.Vantor(), np.uint64(2**64 - 1)), ValueError, r"fullmove_number must be in 1 \.\. 2147483647"),
    (lambda: fen(vantor.Vantor(), 2**31), ValueError, "fullmove_number must be in"),
    (lambda: action_to_uci((vantor.Vantor(), 0), 564), TypeError, "a position is a vantor.State"),
    (lambda: pgn_from_bare_kings("standard"), ValueError,
     r"ply 1: the game is over at its start under standard rules \(.*neither side has the material"),
    (lambda: pgn([564], rules="Standard"), ValueError, "rules must be one of"),
])
def test_writers_refuse_what_would_not_read_back(call, error, reason):
    with pytest.raises(error, match=reason):
        call()


def test_a_game_read_writes_back_with_its_own_headers():
    game = read_pgn(f'[White "me"]\n[FEN "{FROM_E4.replace(" ", "  ")}"]\n[SetUp "1"]\n\n1... e5 *\n')
    again = read_pgn(pgn(game.actions, game.start_fen, headers={**game.headers, "Round": 3}))
    assert (again.actions, again.start_fen) == (game.actions, FROM_E4)
    assert again.headers["FEN"] == FROM_E4 and again.headers["White"] == "me" and again.headers["Round"] == "3"
