"""examples/learn_maskable_ppo.py, the recipe of "A first agent that learns", run as written
on a tiny budget; its drill positions; its evaluation's counts; its refusal of bad arguments."""

import importlib.util
import os
import random
import subprocess
import sys

import numpy as np
import pytest

from conftest import SANITIZED

pytest.importorskip("sb3_contrib", reason="the recipe trains sb3-contrib's MaskablePPO")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

from vantor_gym import Game  # noqa: E402
from vantor_gym.match import MatchResult  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "learn_maskable_ppo.py")
TINY = ["--cpu-minutes", "0.02", "--games", "4", "--envs", "4", "--n-steps", "16", "--batch", "32",
        "--channels", "4", "--blocks", "1", "--eval-plies", "30", "--max-plies", "40"]

pytestmark = pytest.mark.usefixtures("one_torch_thread")


@pytest.fixture(scope="module")
def recipe():
    spec = importlib.util.spec_from_file_location("learn_maskable_ppo", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("extra", [[], ["--greedy", "--drill", "0.5", "--shaping", "0", "--checkpoints", "1"]])
def test_the_recipe_runs_as_written_on_a_tiny_budget(recipe, capsys, extra):
    assert recipe.main(TINY + extra) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("evaluation: 4 games against the random opponent, half as each colour")
    assert ("greedy" if extra else "sampled") in lines[0]
    assert [line.split()[0].rstrip(":") for line in lines if not line.startswith(" ")] == [
        "evaluation", "before", "trained", "after", "gain"]
    assert any(line.startswith("  ") and "steps" in line for line in lines) == bool(extra)  # the checkpoint
    for line in lines[1], lines[-2]:
        wins, draws, losses = map(int, line.split()[1].split("-"))
        assert wins + draws + losses == 4


@pytest.mark.parametrize("side", ["w", "b"])
def test_drill_positions_give_the_side_to_move_a_heavy_piece_against_a_king_and_pawns(recipe, side):
    rng = random.Random(3)
    for _ in range(40):
        fen = recipe.drill_fen(rng, side)
        placement, turn = fen.split()[:2]
        strong, weak = (str.isupper, str.islower) if side == "w" else (str.islower, str.isupper)
        assert turn == side
        assert {p.lower() for p in placement if p.isalpha() and weak(p)} <= {"k", "p"}
        assert {p.lower() for p in placement if p.isalpha() and strong(p)} & {"q", "r"}
        assert Game(fen).legal_actions().size > 0


def test_the_evaluation_counts_each_games_first_result_half_as_each_colour(recipe):
    class Lowest:
        """A stand-in model: the lowest legal action, deterministic or not."""

        def predict(self, observations, action_masks, deterministic):
            return np.array([np.flatnonzero(mask)[0] for mask in action_masks]), None

    result = recipe.evaluate(Lowest(), 5, seed=2, greedy=True, max_plies=6)
    assert result == MatchResult(0, 5, 0)  # six plies end every game, drawn
    played = recipe.evaluate(Lowest(), 6, seed=2, greedy=True, max_plies=0)
    assert played.played == 6


@pytest.mark.parametrize("arguments", [
    ["--cpu-minutes", "0"], ["--games", "-3"], ["--drill", "1.5"], ["--envs", "two"], ["--what"], ["--seed", "x"],
    ["--cpu-minutes", "nan"], ["--cpu-minutes", "inf"], ["--seed", "-1"], ["--eval-plies", "-5"],
    ["--shaping", "nan"], ["--blocks", "-1"],
])
def test_bad_arguments_get_one_line_and_a_non_zero_exit(recipe, capsys, arguments):
    with pytest.raises(SystemExit) as exit:
        recipe.arguments(arguments)
    assert exit.value.code == 2
    output = capsys.readouterr()
    assert output.out == "" and len(output.err.strip().splitlines()) == 1, output.err


def test_the_script_itself_refuses_bad_arguments_before_training():
    run = subprocess.run([sys.executable, SCRIPT, "--games", "0"], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout) == (2, "")
    assert run.stderr.strip().splitlines() == [
        "learn_maskable_ppo.py: argument --games: must be a finite number above 0, not 0"]
