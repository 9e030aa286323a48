"""vantor_gym.search at its edges: an evaluator that calls back into its own search or
steps the games being searched, threads taking turns, how actions are drawn at every
temperature, when -1 is the action, and hostile parameters and answers. Every case that
could deadlock runs in a fresh interpreter with a time-out, so a deadlock fails its test
instead of hanging the suite."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import vantor
from vantor_gym import BatchEnv
from vantor_gym.search import Search

ACTIONS = 4672
# White's king on a1 has three moves and nothing else moves.
THREE_MOVES = "7k/8/8/8/8/8/8/K7 w - - 0 1"

# What every isolated script starts with: two searched games one ply in, and evaluators.
PRELUDE = """
import threading, time
import numpy as np
import vantor
from vantor_gym import BatchEnv
from vantor_gym.search import Search

games = BatchEnv(2, threads=1, autoreset="disabled")
games.reset()
games.step(np.array([564, 564]))
states = [games.save_state(0), games.save_state(1)]
other = BatchEnv(2, threads=1)
other.reset()

def plain(observations, masks):
    n = len(observations)
    return np.zeros((n, 4672), np.float32), np.zeros(n, np.float32)

def fresh_visits():
    return Search(2, plain, simulations=16, leaves_per_game=2, dirichlet_fraction=0.0).run(states).visits
"""


def run_isolated(body: str, timeout: float = 120.0) -> subprocess.CompletedProcess[str]:
    """Runs PRELUDE and body in a fresh interpreter; a run past the time-out is a deadlock."""
    code = PRELUDE + textwrap.dedent(body)
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the script did not finish within {timeout:.0f} s: a deadlock")
    assert done.returncode == 0, done.stderr
    return done


# The call an evaluator makes on its third round (a tree with virtual losses in it), the
# roots the run was given, and the words the RuntimeError of the run must hold.
REENTRY = [
    ("search.run(states)", "states", "inside the evaluator"),
    ("search.run(games)", "games", "inside the evaluator"),
    ("search.advance(np.full(2, -1))", "states", "inside the evaluator"),
    ("search._core.select(search._observations, search._masks)", "states", "wait for the evaluator"),
    ("search._core.set_roots(states)", "states", "wait for the evaluator"),
    ("search._core.results(1.0)", "states", "wait for the evaluator"),
    ("search._core.advance(np.full(2, -1, np.int64))", "states", "wait for the evaluator"),
    ("games.step(np.array([524, 524]))", "games", "BatchEnv.step called while a Search over these games runs its evaluator"),
    ("games.reset()", "games", "BatchEnv.reset called while a Search over these games runs its evaluator"),
    ("games.close()", "games", "BatchEnv.close called while a Search over these games runs its evaluator"),
    ("games.roll_out()", "games", "BatchEnv.roll_out called while a Search over these games runs its evaluator"),
]


@pytest.mark.parametrize("call, roots, words", REENTRY)
def test_a_call_back_into_the_search_raises_and_leaves_it_whole(call, roots, words):
    done = run_isolated(f"""
        calls = [0]
        def evaluator(observations, masks):
            calls[0] += 1
            if calls[0] == 3:
                {call}
            return plain(observations, masks)

        search = Search(2, evaluator, simulations=16, leaves_per_game=2, dirichlet_fraction=0.0)
        try:
            search.run({roots})
        except RuntimeError as error:
            print("raised:", error)
        # The broken round is forgotten: the next run is a fresh search's.
        print("whole:", np.array_equal(search.run(states).visits, fresh_visits()))
    """)
    assert "raised:" in done.stdout and words in done.stdout, done.stdout
    assert "whole: True" in done.stdout, done.stdout


def test_an_evaluator_that_catches_the_refusal_finishes_the_run():
    done = run_isolated("""
        refused = []
        def evaluator(observations, masks):
            try:
                search.run(states)
            except RuntimeError as error:
                refused.append(str(error))
            return plain(observations, masks)

        search = Search(2, evaluator, simulations=16, leaves_per_game=2, dirichlet_fraction=0.0)
        result = search.run(states)
        print(len(refused) > 0, np.array_equal(result.visits, fresh_visits()))
    """)
    assert done.stdout.split() == ["True", "True"]


def test_a_finaliser_calling_the_search_mid_run_is_refused():
    done = run_isolated("""
        class Callback:
            def __del__(self):
                search.advance(np.full(2, -1))

        def evaluator(observations, masks):
            Callback()  # dropped at once: its __del__ runs inside the evaluator
            return plain(observations, masks)

        search = Search(2, evaluator, simulations=16, leaves_per_game=2, dirichlet_fraction=0.0)
        print((search.run(states).simulations == 16).all())
    """)
    assert done.stdout.strip() == "True"
    assert "inside the evaluator" in done.stderr


def test_other_threads_wait_their_turn():
    done = run_isolated("""
        answers = {}
        calls = [0]

        def from_another_thread():
            answers["other"] = search.run(states)

        def evaluator(observations, masks):
            calls[0] += 1
            if calls[0] == 2:
                waiting = threading.Thread(target=from_another_thread)
                answers["thread"] = waiting
                waiting.start()
                time.sleep(0.2)
                # It cannot have run while this run holds the search.
                answers["waited"] = "other" not in answers
            return plain(observations, masks)

        search = Search(2, evaluator, simulations=16, leaves_per_game=2, dirichlet_fraction=0.0)
        first = search.run(states)
        answers["thread"].join(60)
        expected = fresh_visits()
        print(answers["waited"], np.array_equal(first.visits, expected),
              np.array_equal(answers["other"].visits, expected))
    """)
    assert done.stdout.split() == ["True", "True", "True"]


def test_an_evaluator_may_use_other_searches_and_games():
    inner = Search(1, "roll_out", simulations=8, seed=1)
    games = BatchEnv(2, threads=1)
    games.reset()
    games.step(np.array([564, 564]))
    other = BatchEnv(2, threads=1)
    other.reset()

    def evaluator(observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        inner.run([games.save_state(0)])
        other.step(np.array([564, 564]))
        other.reset()
        n = len(observations)
        return np.zeros((n, ACTIONS), np.float32), np.zeros(n, np.float32)

    result = Search(2, evaluator, simulations=12, dirichlet_fraction=0.0).run(games)
    assert (result.simulations == 12).all()
    games.close()
    other.close()


class Priors:
    """The same seeded logits for every leaf and value 0: a fast evaluator whose visits
    spread unevenly, alike in every game."""

    def __init__(self, seed: int = 0) -> None:
        self.logits = np.random.default_rng(seed).normal(0.0, 1.5, ACTIONS).astype(np.float32)

    def __call__(self, observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        n = len(observations)
        return np.broadcast_to(self.logits, (n, ACTIONS)), np.zeros(n, np.float32)


def after_e2e4(count: int) -> list[vantor.State]:
    games = BatchEnv(1, threads=1, autoreset="disabled")
    games.reset()
    games.step(np.array([564]))
    state = games.save_state(0)
    games.close()
    return [state] * count


def draws(temperature: float, runs: int, games: int = 256, **options: float) -> tuple[np.ndarray, np.ndarray]:
    """The visits every game shares and the actions drawn over several seeded runs."""
    search = Search(games, Priors(), simulations=60, dirichlet_fraction=0.0, seed=11, **options)
    roots = after_e2e4(games)
    drawn = []
    for _ in range(runs):
        result = search.run(roots, temperature=temperature)
        assert (result.visits == result.visits[0]).all()
        drawn.append(result.actions)
    return result.visits[0], np.concatenate(drawn)


def chi_square(drawn: np.ndarray, expected_share: dict[int, float]) -> tuple[float, int]:
    """Pearson's statistic of the drawn actions against the shares, with the actions
    expected fewer than 5 times pooled into one bin; returns it and its degrees of freedom."""
    total = len(drawn)
    counts = {a: int((drawn == a).sum()) for a in expected_share}
    assert sum(counts.values()) == total, "an action outside the expected ones was drawn"
    bins: list[tuple[float, int]] = []
    pooled_expected, pooled_seen = 0.0, 0
    for action, share in expected_share.items():
        if total * share >= 5:
            bins.append((total * share, counts[action]))
        else:
            pooled_expected += total * share
            pooled_seen += counts[action]
    if pooled_expected > 0:
        bins.append((pooled_expected, pooled_seen))
    statistic = sum((seen - expected) ** 2 / expected for expected, seen in bins)
    return statistic, len(bins) - 1


def shares(visits: np.ndarray, temperature: float) -> dict[int, float]:
    visited = np.flatnonzero(visits)
    weights = visits[visited].astype(np.float64) ** (1.0 / temperature)
    return dict(zip(visited.tolist(), (weights / weights.sum()).tolist()))


@pytest.mark.parametrize("temperature", [0.5, 1.0, 2.0])
def test_moderate_temperatures_draw_in_proportion_to_visits_to_the_power(temperature):
    visits, drawn = draws(temperature, runs=4)
    assert np.count_nonzero(visits) >= 6, "too few visited actions to tell temperatures apart"
    statistic, freedom = chi_square(drawn, shares(visits, temperature))
    # About 10 standard deviations above the mean: a seeded run this far off is a fault.
    bound = freedom + 10 * (2 * freedom) ** 0.5
    assert statistic < bound, f"chi-square {statistic:.1f} with {freedom} degrees of freedom"
    # The check can tell a wrong exponent: the neighbouring temperatures fail it.
    for wrong in (temperature / 2, temperature * 2):
        wrong_statistic, wrong_freedom = chi_square(drawn, shares(visits, wrong))
        assert wrong_statistic > wrong_freedom + 10 * (2 * wrong_freedom) ** 0.5, wrong


@pytest.mark.parametrize("temperature", [0.005, 0.004, 1e-3, 1e-6, 1e-300, 5e-324])
def test_small_temperatures_draw_the_most_visited_action(temperature):
    visits, drawn = draws(temperature, runs=1, games=64)
    assert (visits[drawn] == visits.max()).all(), f"drew actions with visits {sorted(set(visits[drawn].tolist()))}"


def test_ties_among_the_most_visited_are_drawn_evenly_near_zero_and_broken_at_zero():
    # Uniform priors and values of 0 visit the king's three moves in turn: 3, 3 and 3 (under
    # the module's rules, where bare kings play on).
    env = vantor.Vantor()
    env.parse_fen(THREE_MOVES)
    roots = [env.save_state()] * 300

    def uniform(observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        n = len(observations)
        return np.zeros((n, ACTIONS), np.float32), np.zeros(n, np.float32)

    search = Search(300, uniform, simulations=9, dirichlet_fraction=0.0, seed=4, rules="module")
    cold = search.run(roots, temperature=0.0)
    moves = np.flatnonzero(cold.visits[0])
    assert cold.visits[0][moves].tolist() == [3, 3, 3]
    assert (cold.actions == moves[0]).all(), "temperature 0 breaks ties by prior, then the lower action"
    near_zero = search.run(roots, temperature=1e-9)
    counts = [int((near_zero.actions == a).sum()) for a in moves]
    assert sum(counts) == 300 and min(counts) >= 50, counts


@pytest.mark.parametrize("temperature", [1e-3, 0.5, 1.0, 10.0, 1e6, 1e300])
def test_actions_without_visits_are_never_drawn(temperature):
    # A first-play value of -1 leaves most of the twenty replies unvisited.
    visits, drawn = draws(temperature, runs=1, fpu=-1.0)
    assert np.count_nonzero(visits) < 20
    assert (visits[drawn] > 0).all()


def test_a_huge_temperature_draws_the_visited_actions_evenly():
    visits, drawn = draws(1e300, runs=2)
    visited = np.flatnonzero(visits)
    statistic, freedom = chi_square(drawn, {int(a): 1 / len(visited) for a in visited})
    assert statistic < freedom + 10 * (2 * freedom) ** 0.5, statistic


def test_no_simulations_is_refused():
    with pytest.raises(ValueError, match="at least 1"):
        Search(1, Priors(), simulations=0)
    with pytest.raises(ValueError, match="at least 1"):
        Search(1, "roll_out", simulations=0)


@pytest.mark.parametrize("evaluator", [Priors(), "roll_out"])
@pytest.mark.parametrize("leaves_per_game", [1, 4])
def test_a_live_root_always_gets_an_action(evaluator, leaves_per_game):
    # -1 comes only for a root without a legal move or a game already over.
    roots = after_e2e4(3)
    for simulations in (1, 2):
        search = Search(3, evaluator, simulations=simulations, leaves_per_game=leaves_per_game, seed=2)
        for temperature in (0.0, 1.0):
            result = search.run(roots, temperature=temperature)
            assert (result.simulations == simulations).all()
            assert (result.actions >= 0).all() and (result.visits[np.arange(3), result.actions] > 0).all()
        # A kept subtree whose root had one visit holds no visits below it.
        search.advance(result.actions)
        after = []
        with BatchEnv(1, threads=1, autoreset="disabled") as env:
            for game, action in enumerate(result.actions):
                env.restore_state(0, roots[game])
                env.step(np.array([action]))
                after.append(env.save_state(0))
        again = search.run(after, temperature=1.0)
        assert (again.actions >= 0).all() and (again.visits[np.arange(3), again.actions] > 0).all()


@pytest.mark.parametrize("options, error", [
    ({"num_games": 1.0}, TypeError),
    ({"num_games": "2"}, TypeError),
    ({"num_games": 2**31}, ValueError),
    ({"simulations": 8.5}, TypeError),
    ({"simulations": 2**31}, ValueError),
    ({"leaves_per_game": None}, TypeError),
    ({"max_nodes": 218}, ValueError),
    ({"max_nodes": 2**31}, ValueError),
    ({"threads": 1.5}, TypeError),
    ({"threads": 2**31}, ValueError),
    ({"seed": -1}, ValueError),
    ({"seed": 2**64}, ValueError),
    ({"seed": 1.0}, TypeError),
    ({"fpu": float("inf")}, ValueError),
    ({"c_puct": float("inf")}, ValueError),
    ({"num_games": 2**16, "simulations": 2**16, "leaves_per_game": 2**16}, ValueError),
    ({"num_games": True}, TypeError),
    ({"simulations": np.bool_(True)}, TypeError),
    ({"seed": False}, TypeError),
])
def test_hostile_parameters_are_refused(options, error):
    arguments = {"num_games": 2, "evaluator": Priors(), **options}
    with pytest.raises(error):
        Search(**arguments)


REAL_OPTIONS = ["c_puct", "fpu", "dirichlet_alpha", "dirichlet_fraction", "temperature"]


def search_with(name: str, value: object) -> object:
    """The search's answer with one real option set (temperature goes to run)."""
    if name == "temperature":
        return Search(1, Priors(), simulations=4, seed=0).run(after_e2e4(1), temperature=value)
    return Search(1, Priors(), simulations=4, seed=0, **{name: value}).run(after_e2e4(1))


@pytest.mark.parametrize("name", REAL_OPTIONS)
@pytest.mark.parametrize("value, error", [
    ("0.5", TypeError), (b"0.5", TypeError), (True, TypeError), (np.bool_(False), TypeError),
    (None, TypeError), (Decimal("0.5"), TypeError), (np.array(0.5), TypeError), (0.5j, TypeError),
    (np.complex64(0.5), TypeError), pytest.param(10**400, ValueError, id="10**400"),
    (np.longdouble("1e4900"), ValueError),
    (float("nan"), ValueError),
])
def test_a_real_option_that_is_not_a_real_number_is_refused(name, value, error):
    with pytest.raises(error, match=name):
        search_with(name, value)


@pytest.mark.parametrize("name", REAL_OPTIONS)
@pytest.mark.parametrize("value", [np.float16(0.5), np.float32(0.5), np.longdouble(0.5), Fraction(1, 2),
                                   np.int8(1), np.uint64(1), 1])
def test_a_real_option_may_be_any_real_number(name, value):
    assert search_with(name, value).actions[0] >= 0


@pytest.mark.parametrize("alpha, top", [
    # The draws of a tiny alpha all underflow: the noise falls wholly on one child.
    (1e-10, 40),
    # A huge alpha's draws overflow their sum: the noise is even, the priors uniform.
    (1.5e308, 2),
])
def test_dirichlet_noise_holds_at_the_extremes_of_alpha(alpha, top):
    # Uniform logits and pure noise: the visits follow the noise alone.
    def uniform(observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return np.zeros(masks.shape, np.float32), np.zeros(len(masks), np.float32)

    result = Search(8, uniform, simulations=40, dirichlet_alpha=alpha, dirichlet_fraction=1.0, seed=3).run(
        after_e2e4(8))
    assert (result.visits.max(axis=1) == top).all(), result.visits.max(axis=1)
    if top == 40:
        assert len(set(result.actions.tolist())) > 1, "every game's noise fell on the same child"


def test_an_evaluator_replaced_by_a_non_callable_is_a_type_error():
    search = Search(2, Priors(), simulations=8, dirichlet_fraction=0.0)
    expected = search.run(after_e2e4(2)).visits
    search.advance(np.full(2, -1))
    search.evaluator = "roll_out"  # the native search was made for a callable
    with pytest.raises(TypeError, match="callable"):
        search.run(after_e2e4(2))
    search.evaluator = Priors()
    assert np.array_equal(search.run(after_e2e4(2)).visits, expected)


def test_leaves_per_game_beyond_the_simulations_costs_nothing():
    search = Search(2, Priors(), simulations=4, leaves_per_game=2**31 - 1, dirichlet_fraction=0.0)
    assert search._observations.shape[0] == 2 * 4
    assert (search.run(after_e2e4(2)).simulations == 4).all()


def test_hostile_run_and_advance_arguments_leave_the_search_whole():
    search = Search(2, Priors(), simulations=8, dirichlet_fraction=0.0, seed=1)
    roots = after_e2e4(2)
    expected = Search(2, Priors(), simulations=8, dirichlet_fraction=0.0, seed=1).run(roots)
    uninitialised = vantor.State.__new__(vantor.State)
    closed = BatchEnv(2)
    closed.close()
    for temperature, error in ((float("nan"), ValueError), (float("inf"), ValueError), (-1e-9, ValueError),
                               ("hot", TypeError), (None, TypeError), (1j, TypeError)):
        with pytest.raises(error):
            search.run(roots, temperature=temperature)
    for bad_roots, error in (((s for s in roots), TypeError), ([roots[0], uninitialised], TypeError),
                             (closed, RuntimeError), ([roots[0], "8/8/8/8/8/8/8/8 w - - 0 1"], TypeError)):
        with pytest.raises(error):
            search.run(bad_roots)
    for actions in (np.array([0.0, 1.0]), np.array([True, False]), np.zeros((2, 1), np.int64), [564]):
        with pytest.raises(ValueError):
            search.advance(actions)
    result = search.run(roots)
    assert np.array_equal(result.visits, expected.visits)
    # An action no 64-bit signed int holds names no child: the trees are dropped.
    search.advance(np.array([2**64 - 1, 2**63], np.uint64))
    assert (search.run(roots).visits.sum(axis=1) == 8).all()


def test_an_evaluator_scribbling_on_its_inputs_changes_nothing():
    clean = Priors()

    def scribbling(observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        answer = clean(observations, masks)
        observations[...] = np.nan
        masks[...] = ~masks
        return answer

    roots = after_e2e4(2)
    expected = Search(2, clean, simulations=30, leaves_per_game=3, dirichlet_fraction=0.0).run(roots)
    result = Search(2, scribbling, simulations=30, leaves_per_game=3, dirichlet_fraction=0.0).run(roots)
    assert np.array_equal(result.visits, expected.visits)


@pytest.mark.parametrize("thrown", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_an_interrupt_in_the_evaluator_leaves_the_search_whole(thrown):
    calls = [0]
    clean = Priors()

    def interrupted(observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        calls[0] += 1
        if calls[0] == 4:
            raise thrown()
        return clean(observations, masks)

    roots = after_e2e4(2)
    search = Search(2, interrupted, simulations=20, leaves_per_game=2, dirichlet_fraction=0.0)
    with pytest.raises(thrown):
        search.run(roots)
    expected = Search(2, clean, simulations=20, leaves_per_game=2, dirichlet_fraction=0.0).run(roots)
    assert np.array_equal(search.run(roots).visits, expected.visits)
