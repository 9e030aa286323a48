"""Whole random games through the Python surface, judged independently: the test keeps
its own model of the game and asks Stockfish whether the side to move is in check."""

import random
import shutil
import subprocess

import pytest

import vantor
from chess_model import Position, slot_planes

STOCKFISH = shutil.which("stockfish") or shutil.which("/usr/games/stockfish")


class Stockfish:
    def __init__(self):
        self.process = subprocess.Popen(
            [STOCKFISH], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1
        )

    def in_check(self, fen: str) -> bool:
        self.process.stdin.write(f"position fen {fen}\nd\n")
        self.process.stdin.flush()
        for line in self.process.stdout:
            if line.startswith("Checkers:"):
                return bool(line[len("Checkers:") :].strip())
        raise RuntimeError("stockfish stopped")

    def close(self):
        self.process.stdin.write("quit\n")
        self.process.stdin.close()
        self.process.wait()
        self.process.stdout.close()


@pytest.fixture(scope="module")
def stockfish():
    if STOCKFISH is None:
        pytest.skip("stockfish is not installed")
    engine = Stockfish()
    yield engine
    engine.close()


def legal_actions(env):
    return [i for i, v in enumerate(v for row in env.get_actions() for v in row) if v]


def check_observation(obs, model, history, total_steps):
    side = model.side
    turned = side == 1  # every observation after a step is turned for black
    for t in range(8):
        slot = obs[14 * t : 14 * t + 14]
        if t >= len(history):
            assert all(v == 0 for plane in slot for v in plane), t
            continue
        pieces, rep_white, rep_black = history[-1 - t]
        assert slot[:12] == slot_planes(pieces, side, turned), t
        assert slot[12] == [rep_white] * 64 and slot[13] == [rep_black] * 64, t
    assert obs[112] == [side] * 64
    assert obs[113] == [total_steps] * 64
    for i, bit in enumerate((1, 2, 4, 8)):
        assert obs[114 + i] == [1 if model.castle & bit else 0] * 64
    assert obs[118] == [model.no_progress] * 64


def test_random_games_agree_with_an_independent_judge(stockfish):
    rng = random.Random(20261208)
    env = vantor.Vantor()
    total_steps, plies, endings = 0, 0, {}
    while plies < 3000:
        env.reset()
        model = Position.start()
        counts = {model.hash(): 1}
        history = [(model.piece_planes(), 0, 0)]
        previous_rep = 0
        for _ in range(300):
            actions = legal_actions(env)
            assert sorted(actions) == actions and actions
            action = rng.choice(actions)
            side, obs, reward, done = env.step(action)
            model.play(action)
            total_steps += 1
            plies += 1
            key = model.hash()
            assert env.hash_state() == key
            counts[key] = counts.get(key, 0) + 1
            rep = counts[key] - 1
            planes = (rep, previous_rep) if model.side == 0 else (previous_rep, rep)
            history = (history + [(model.piece_planes(), *planes)])[-8:]
            previous_rep = rep
            assert side == model.side
            check_observation(obs, model, history, total_steps)

            has_move = bool(legal_actions(env))
            if has_move:
                expected = (0, 1 if rep == 2 or model.no_progress >= 50 else 0)
            elif stockfish.in_check(model.fen()):
                expected = (1 if model.side == 1 else -1, 1)
            else:
                expected = (0, 1)
            assert (reward, done) == expected, model.fen()
            if done:
                ending = "mate" if reward else ("stalemate" if not has_move else "draw")
                endings[ending] = endings.get(ending, 0) + 1
                break
    # The sample is big enough to end games in more than one way.
    assert len(endings) >= 2, endings
