"""FEN text: what is checked is what every layer loads, clocks included; proven against python-chess."""

import time
import warnings

import numpy as np
import pytest

import vantor_gym.aec as aec
from conftest import SANITIZED
from vantor_gym import BatchEnv, VantorEnv, VantorVectorEnv
from vantor_gym.engines import play_match
from vantor_gym.fen import read_fen, read_start
from vantor_gym.notation import action_to_uci, fen, pgn, read_pgn, uci_to_action

chess = pytest.importorskip("chess")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import strategies as st  # noqa: E402

with warnings.catch_warnings():
    warnings.filterwarnings("ignore", "'asyncio.DefaultEventLoopPolicy' is deprecated", DeprecationWarning)
    import chess.pgn  # noqa: E402

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
STALEMATE = "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"
MATED = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"


def random_positions(count: int, seed: int) -> list[str]:
    """Six-field FENs of positions from random games where the side to move has a move,
    with random clocks; the en-passant field after every double push, as the engine keeps it."""
    rng = np.random.default_rng(seed)
    board, texts = chess.Board(), []
    while len(texts) < count:
        moves = list(board.legal_moves)
        if not moves or board.halfmove_clock >= 40:
            board = chess.Board()
            continue
        board.push(moves[rng.integers(len(moves))])
        if board.is_checkmate() or board.is_stalemate():
            continue
        four = board.fen(en_passant="fen").split()[:4]
        texts.append(" ".join([*four, str(rng.integers(0, 50)), str(rng.integers(1, 300))]))
    return texts


def startable(text: str, rules: str) -> bool:
    try:
        read_start(text, rules)
    except ValueError:
        return False
    return True


def python_chess_fields(board) -> str:
    return board.fen(en_passant="fen")


def test_whitespace_python_chess_reads_loads_the_position_it_reads():
    separators = [" ", "  ", "\t", " \t ", "\n", "\r\n", "\x0b", "\x0c"]
    rng = np.random.default_rng(5)
    texts = random_positions(300, 1)
    variants = []
    for text in texts:
        fields = text.split()
        glue = [separators[rng.integers(len(separators))] for _ in range(5)]
        variant = fields[0] + "".join(g + f for g, f in zip(glue, fields[1:]))
        ends = [separators[rng.integers(len(separators))] for _ in range(2)]
        variants.append(ends[0] * int(rng.integers(0, 2)) + variant + ends[1] * int(rng.integers(0, 2)))
    # The texts that once loaded another position: a leading blank or newline, runs of
    # blanks and tabs, CR LF.
    start = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1"
    texts += [start] * 5
    variants += [" " + start, "\n" + start, start.replace(" ", "  "), start.replace(" ", "\t"), start + "\r\n"]
    with BatchEnv(len(variants), threads=1) as games:
        _, info = games.reset(fens=variants)
        for index, (text, variant) in enumerate(zip(texts, variants)):
            board = chess.Board(variant)
            assert read_fen(variant).text == text == python_chess_fields(board)
            assert fen((games, index)) == board.fen()
            state = games.save_state(index)
            legal = {action_to_uci(state, a) for a in np.flatnonzero(info["action_mask"][index])}
            assert legal == {m.uci() for m in board.legal_moves}


@pytest.mark.parametrize("rules", ["standard", "module"])
def test_clocks_round_trip_and_go_on_as_python_chess_counts_them(rules):
    """Six fields back from every start; after random plies the FEN is python-chess's
    under chess's rules. Under the module's, the half-move field is python-chess's clock
    plus one once a capture or pawn move was made (the count includes that move), and the
    en-passant square is the one every double push leaves."""
    rng = np.random.default_rng(2)
    texts = [t for t in random_positions(400, 2) if startable(t, rules)]
    with BatchEnv(len(texts), threads=2, illegal="lose", rules=rules) as games:
        games.reset(fens=texts)
        boards = [chess.Board(t) for t in texts]
        progressed = [False] * len(texts)
        live = np.ones(len(texts), bool)
        for index, text in enumerate(texts):
            assert fen((games, index)) == (text if rules == "module" else boards[index].fen())
        for _ in range(12):
            # A game that ended is left out: it restarts, and then loses by its action 0.
            actions = np.zeros(len(texts), np.int64)
            for index in np.flatnonzero(live):
                choices = list(boards[index].legal_moves)
                move = choices[rng.integers(len(choices))]
                progressed[index] |= boards[index].is_zeroing(move)
                actions[index] = uci_to_action(games.save_state(index), move.uci())
                boards[index].push(move)
            _, _, terminated, truncated, _ = games.step(actions)
            for index in np.flatnonzero(live):
                board = boards[index]
                ours = fen((games, index))
                if rules == "standard":
                    assert ours == board.fen()
                    continue
                assert ours.split()[:4] == python_chess_fields(board).split()[:4]
                assert int(ours.split()[5]) == board.fullmove_number
                assert int(ours.split()[4]) == board.halfmove_clock + progressed[index]
            live &= ~(terminated | truncated)


@pytest.mark.parametrize("rules, limit", [("standard", 100), ("automatic", 150), ("module", 50)])
def test_the_clock_draw_comes_when_the_half_move_field_says(rules, limit):
    start = f"4k3/8/8/8/8/8/8/R3K3 w - - {limit - 5} 80"
    shuffle = ["a1a2", "e8d8", "a2a1", "d8e8", "a1a2"]
    env = VantorEnv(rules=rules)
    env.reset(options={"fen": start})
    for ply, move in enumerate(shuffle, start=1):
        state = env.game.save_state()
        _, reward, terminated, _, _ = env.step(uci_to_action(state, move))
        assert terminated == (ply == 5) and reward == 0
    assert fen(env.game).endswith(f" b - - {limit} 82")
    # The PGN of the game names the start with its clocks and numbers the moves from it.
    actions = []
    env.reset(options={"fen": start})
    for move in shuffle:
        actions.append(uci_to_action(env.game.save_state(), move))
        env.step(actions[-1])
    text = pgn(actions, start_fen="  " + start.replace(" ", "\t"), rules=rules)
    assert f'[FEN "{start}"]' in text and "80. Ra2 Kd8 81. Ra1 Ke8 82. Ra2 1/2-1/2" in text
    game = read_pgn(text)
    assert game.actions == actions and game.start_fen == start
    board = chess.pgn.read_game(__import__("io").StringIO(text)).end().board()
    assert board.halfmove_clock == limit and board.fullmove_number == 82


def test_starts_without_a_move_or_at_the_draw_are_refused_by_every_layer():
    cases = [
        (STALEMATE, "black is stalemated in the start position"),
        (MATED, "white is checkmated in the start position"),
        ("4k3/8/8/8/8/8/8/R3K3 w - - 100 1", "half-move clock .* is 100"),
        ("4k3/8/8/8/8/8/8/4KB2 w - - 0 1", "neither side has the material to mate"),
    ]
    env, vector, two = VantorEnv(), VantorVectorEnv(2, workers=1), aec.env()
    env.reset()
    two.reset()
    with BatchEnv(2, threads=1) as games:
        games.reset()
        games.step(np.array([564, 564]))
        before = games.hash_state().copy()
        for text, reason in cases:
            with pytest.raises(ValueError, match=reason):
                games.reset(indices=[1], fens=[text])
            assert (games.hash_state() == before).all()  # nothing started
            with pytest.raises(ValueError, match=reason):
                env.reset(options={"fen": text})
            with pytest.raises(ValueError, match=reason):
                vector.reset(options={"fen": text})
            with pytest.raises(ValueError, match=reason):
                two.reset(options={"fen": text})
            with pytest.raises(ValueError, match=reason):
                play_match(lambda s, m: 0, lambda s, m: 0, 2, start_fens=[read_fen(START).text, text])
    # Such a position is still a valid FEN, and a PGN may start there.
    for text, _ in cases:
        read_fen(text)
    assert pgn([], start_fen=STALEMATE).endswith("*\n")
    env.close()
    vector.close()
    two.close()



@pytest.mark.parametrize(
    "text, valid",
    [
        ("R3k2R/8/8/8/8/8/8/7K b - - 0 1", False),  # two rooks on one line through the king
        ("4k3/8/3N4/1B6/8/8/8/4R2K b - - 0 1", False),  # three checkers
        ("k7/8/8/8/4P3/8/8/R3K3 b - e3 0 1", False),  # a rook check that the double push did not uncover
        ("k7/8/1N6/8/8/8/8/R3K3 b - - 0 1", True),  # a knight check uncovering a rook's
        ("4k3/8/8/8/8/8/8/r3K2r w - - 0 1", False),  # the king between its two checkers
        ("4k3/8/8/8/8/8/4r3/4K3 w - - 0 1", True),
        ("8/k7/8/8/5P2/8/8/4K1B1 b - f3 0 1", True),  # the push uncovered the bishop's check
        ("8/8/8/3k4/4P3/8/8/4K3 b - e3 0 1", True),  # the pushed pawn checks
    ],
)
def test_checks_that_no_last_move_could_give_are_refused_as_python_chess_refuses_them(text, valid):
    assert chess.Board(text).is_valid() == valid
    if valid:
        read_fen(text)
    else:
        with pytest.raises(ValueError, match="no last move could"):
            read_fen(text)


FEN_CHARACTERS = "pnbrqkPNBRQK12345678/ wb-KQkqabcdefgh0912\t\n"


@st.composite
def mutated_fens(draw):
    text = draw(st.sampled_from(MUTATION_BASES))
    for _ in range(draw(st.integers(1, 3))):
        at = draw(st.integers(0, len(text)))
        kind = draw(st.sampled_from(("insert", "delete", "replace")))
        char = draw(st.sampled_from(FEN_CHARACTERS))
        if kind == "insert":
            text = text[:at] + char + text[at:]
        elif kind == "delete":
            text = text[:at] + text[at + 1 :]
        else:
            text = text[:at] + char + text[at + 1 :]
    return text


MUTATION_BASES = random_positions(200, 9) + [
    START,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
]


def agrees_with_python_chess(text: str) -> None:
    try:
        ours = read_fen(text)
    except ValueError:
        return
    board = chess.Board(text)  # raises if python-chess refuses what we accepted
    assert board.is_valid(), (text, board.status())
    assert ours.text == python_chess_fields(board)


SETTINGS = hypothesis.settings(
    max_examples=150 if SANITIZED else 1500, deadline=None, derandomize=True, database=None,
    suppress_health_check=list(hypothesis.HealthCheck),
)


@SETTINGS
@hypothesis.given(mutated_fens())
def test_any_mutated_fen_reads_as_python_chess_reads_it_or_is_refused(text):
    agrees_with_python_chess(text)


@SETTINGS
@hypothesis.given(st.text(alphabet=st.sampled_from(FEN_CHARACTERS + "xX~+\x00\u00e9\u3000"), max_size=90))
def test_any_text_reads_as_python_chess_reads_it_or_is_refused(text):
    agrees_with_python_chess(text)


def test_reading_is_linear_in_the_length_of_the_text():
    """Long texts are answered in time proportional to their length (a generous bound)."""
    cases = [
        START.replace(" ", " " * 2_000_000),
        "8/" * 1_000_000 + " w - - 0 1",
        START + " 0" * 500_000,
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - " + "9" * 1_000_000 + " 1",
        "1" * 2_000_000,
    ]
    for text in cases:
        began = time.perf_counter()
        try:
            read_fen(text)
        except ValueError as error:
            assert len(str(error)) < 1000  # the text is not echoed whole
        assert time.perf_counter() - began < 5.0, text[:40]


def test_a_pgn_fen_header_is_the_position_read_and_games_go_on_past_our_draws():
    """The FEN header is read as every FEN is (whitespace as python-chess splits it), and
    moves are replayed past what ends a game here: real games go on after fifty half-moves
    without progress and after a repetition nobody claimed."""
    start = "4k3/8/8/8/8/8/8/R3K3 w - - 45 80"
    shuffle = "Ra2 Kd8 Ra1 Ke8 " * 8
    text = f'[FEN " {start.replace(" ", chr(9))} "]\n[SetUp "1"]\n\n80. {shuffle}*\n'
    game = read_pgn(text)
    board = chess.pgn.read_game(__import__("io").StringIO(text)).end().board()
    assert game.start_fen == start and len(game.actions) == 32 == len(board.move_stack)
    replayed = VantorEnv()
    replayed.reset(options={"fen": start})
    assert replayed.step(game.actions[0])[4]["side"] == 1
    with pytest.raises(ValueError, match="invalid FEN"):
        read_pgn('[FEN "4k3/8/8/8/8/8/8/R3K3 w KQ - 0 1"]\n\n*\n')
