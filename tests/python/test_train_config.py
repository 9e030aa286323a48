"""A training run's budget shared out among its phases, and the command's checks that need
no PyTorch: --help and a budget too small to train answer before PyTorch loads."""

import math

import pytest

from conftest import SANITIZED, run_python
from vantor_gym.train.config import ENGINE_SHARE, IMITATION_SHARE, MIN_MINUTES, TrainConfig

# Runs an entry point's --help (or a refused budget) and tells whether PyTorch was loaded.
ENTRY = """
import runpy, sys
{before}
sys.argv = {argv!r}
try:
    {call}
except SystemExit as done:
    print("status", done.code)
print("torch loaded" if "torch" in sys.modules else "torch not loaded")
"""
ENTRIES = {
    "python -m vantor_gym.train": ("x", "runpy.run_module('vantor_gym.train', run_name='__main__')"),
    "vantor train": ("vantor", "from vantor_gym.cli import main; sys.exit(main(sys.argv[1:]))"),
}


def run_entry(entry, *args, before=""):
    program, call = ENTRIES[entry]
    words = [program, *(["train"] if entry == "vantor train" else []), *args]
    return run_python(ENTRY.format(argv=words, call=call, before=before))


@pytest.mark.parametrize("entry", ENTRIES)
def test_help_answers_without_loading_pytorch_and_tells_units_and_phases(entry):
    done = run_entry(entry, "--help")
    assert done.returncode == 0, done.stderr
    assert "status 0" in done.stdout and "torch not loaded" in done.stdout
    text = " ".join(done.stdout.split())
    for words in ("--minutes MINUTES", "minutes of training time", "1/6 of --minutes", "1/2 of --minutes",
                  "self-play", "--engine-nodes", "--final-games", "--rules {standard,automatic,module}"):
        assert words in text, words


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize(
    "flags, words",
    [(["--minutes", "0.5"], "the least that trains is 1 minute"),
     (["--minutes", "0"], "the least that trains is 1 minute"),
     (["--minutes", "0.9", "--engine-minutes", "0"], "the least that trains is 1 minute"),
     (["--minutes", "3", "--engine-minutes", "4", "--imitation-minutes", "0"], "no time to learn")],
)
def test_a_budget_too_small_to_train_is_refused_before_any_work(tmp_path, entry, flags, words):
    directory = tmp_path / "run"
    done = run_entry(entry, "--directory", str(directory), *flags)
    assert "status 1" in done.stdout and "torch not loaded" in done.stdout, done.stdout + done.stderr
    assert words in done.stderr and len(done.stderr.strip().splitlines()) == 1, done.stderr
    assert not directory.exists()


@pytest.mark.parametrize("minutes", [1.0, 2.0, 3.0, 7.5, 60.0, 150.0])
@pytest.mark.parametrize(
    "given",
    [{}, {"engine_minutes": 0.5}, {"imitation_minutes": 0.0}, {"engine_minutes": 4.0, "imitation_minutes": 36.0},
     {"engine_minutes": 0.0}, {"engine_minutes": 0.0, "pgn": "games.pgn"}, {"engine_minutes": 100.0}],
)
def test_the_phases_share_out_the_whole_budget_and_given_minutes_win(minutes, given):
    config = TrainConfig(**given)
    plan = config.plan(minutes)
    phases = (plan.engine_minutes, plan.imitation_minutes, plan.self_play_minutes)
    assert all(share >= 0 for share in phases) and math.isclose(sum(phases), minutes)
    engine = given.get("engine_minutes", minutes * ENGINE_SHARE)
    assert math.isclose(plan.engine_minutes, min(engine, minutes))
    warm = plan.engine_minutes > 0 or bool(given.get("pgn"))
    imitation = given.get("imitation_minutes", minutes * IMITATION_SHARE if warm else 0.0)
    assert math.isclose(plan.imitation_minutes, min(imitation, minutes - plan.engine_minutes))


def test_an_hour_keeps_the_runs_phases_and_evaluations():
    plan = TrainConfig().plan(60)
    assert (plan.engine_minutes, plan.imitation_minutes, plan.self_play_minutes) == pytest.approx((10, 30, 20))
    assert (plan.eval_games, plan.final_games, plan.head_to_head_games) == (30, 100, 50)


def test_evaluations_shrink_with_the_budget_to_even_counts_and_given_counts_win():
    sizes = [TrainConfig().plan(m) for m in (1, 2, 5, 10, 30, 59, 60, 600)]
    for field, full in (("eval_games", 30), ("final_games", 100), ("head_to_head_games", 50)):
        counts = [getattr(plan, field) for plan in sizes]
        assert counts == sorted(counts) and counts[-2:] == [full, full]
        assert all(2 <= count <= full and count % 2 == 0 for count in counts), (field, counts)
    assert TrainConfig().plan(2).final_games == 4
    given = TrainConfig(eval_games=3, final_games=0, head_to_head_games=7).plan(2)
    assert (given.eval_games, given.final_games, given.head_to_head_games) == (3, 0, 7)


def test_a_budget_is_checked_for_a_run_starting_now():
    assert TrainConfig().check_budget(MIN_MINUTES).minutes == MIN_MINUTES
    # Phases given in full: a tiny run is the caller's choice, as long as something is learned.
    assert TrainConfig(engine_minutes=0.01, imitation_minutes=0.01).check_budget(0.05).self_play_minutes > 0
    with pytest.raises(ValueError, match="no time to learn"):
        TrainConfig(engine_minutes=0.0, imitation_minutes=0.0).check_budget(0)
    with pytest.raises(ValueError, match="minutes"):
        TrainConfig().check_budget(float("nan"))
    with pytest.raises(TypeError, match="engine_minutes"):
        TrainConfig(engine_minutes="4")


@pytest.mark.parametrize("rules, chess, error", [("standard", "standard", None), ("automatic", "automatic", None),
                                                  ("module", "standard", None), ("fide", None, ValueError),
                                                  (None, None, TypeError)])
def test_a_run_plays_its_rules_and_its_engine_games_chess(rules, chess, error):
    if error is not None:
        with pytest.raises(error, match="rules"):
            TrainConfig(rules=rules)
        return
    config = TrainConfig(rules=rules)
    assert (config.rules, config.chess_rules) == (rules, chess)
    assert TrainConfig().rules == "standard"


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("missing", ["torch", "matplotlib"])
def test_a_run_without_pytorch_or_matplotlib_is_one_line_before_any_work(tmp_path, entry, missing):
    if missing == "matplotlib":  # the run gets as far as loading PyTorch
        pytest.importorskip("torch")
        if SANITIZED:
            pytest.skip("PyTorch is not run under the sanitizer preload")
    directory = tmp_path / "run"
    # Short phases of its own, so that before the check the run went on to its evaluation.
    done = run_entry(entry, "--directory", str(directory), "--minutes", "0.05", "--engine-minutes", "0",
                     "--imitation-minutes", "0", "--eval-opponents", "random", "--final-games", "2",
                     "--games", "2", "--simulations", "2", before=f"sys.modules[{missing!r}] = None")
    assert "status 1" in done.stdout, done.stdout + done.stderr
    said = [line for line in done.stderr.splitlines() if "error:" in line or "Traceback" in line]
    assert len(said) == 1 and f"needs {'PyTorch' if missing == 'torch' else 'matplotlib'}" in said[0], done.stderr
    assert not (directory / "checkpoint.pt").exists() and not (directory / "network.pt").exists()
