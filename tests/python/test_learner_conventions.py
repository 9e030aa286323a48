"""What learner libraries expect of the Gymnasium, vector, AEC and batch layers: masks
through wrappers, make_vec, observations from the side to move, strict reset options,
and diverse starts drawn from a list of FENs."""

import io

import pytest

gymnasium = pytest.importorskip("gymnasium")
np = pytest.importorskip("numpy")
chess_pgn = pytest.importorskip("chess.pgn")

import vantor_gym  # noqa: E402
from vantor_gym import BatchEnv, Game, VantorEnv, VantorVectorEnv, aec  # noqa: E402
from vantor_gym.notation import fen, read_pgn, uci_to_action  # noqa: E402
from vantor_gym.rules import RULES, ending_name  # noqa: E402

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
# Starts of both colours to move, with clocks that are not the initial ones.
STARTS = [
    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
    "r3k2r/8/8/8/8/8/8/4K3 b kq - 7 40",
    "4k3/8/8/8/8/8/8/R3K3 w Q - 45 80",
    "8/P7/8/8/8/8/7p/K6k w - - 0 1",
]
MATED = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"
# The planes of the current position and the constant planes; plane 113 counts steps,
# which a game reached by play has made and a FEN start has not.
CURRENT = [*range(14), 112, *range(114, 119)]


def random_game(env_step, mask, rng, plies):
    """Plays up to plies random legal actions through env_step, stopping at an end."""
    for _ in range(plies):
        obs, mask, ended = env_step(int(rng.choice(np.flatnonzero(mask))))
        if ended:
            return None
    return obs


def test_action_masks_reach_learners_through_wrappers():
    env = gymnasium.make("vantor_gym/Chess-v0", max_plies=4)
    with pytest.raises(RuntimeError, match="reset"):
        env.get_wrapper_attr("action_masks")()
    _, info = env.reset(seed=0)
    masks = env.get_wrapper_attr("action_masks")
    assert masks().dtype == np.bool_ and masks().shape == (4672,)
    assert (masks() == info["action_mask"].astype(bool)).all() and masks().sum() == 20
    _, _, _, _, info = env.step(564)
    assert (masks() == info["action_mask"].astype(bool)).all() and 524 in np.flatnonzero(masks())
    masks()[:] = False  # a copy: the env's own mask is untouched
    assert masks().sum() == 20
    vector = VantorVectorEnv(3, workers=1)
    with pytest.raises(RuntimeError, match="reset"):
        vector.action_masks()
    _, infos = vector.reset(seed=0)
    assert vector.action_masks().shape == (3, 4672) and vector.action_masks().dtype == np.bool_
    _, _, _, _, infos = vector.step([564, 3646, 564])
    assert (vector.action_masks() == infos["action_mask"].astype(bool)).all()


def test_make_vec_gives_the_native_vector_env_with_makes_arguments():
    envs = gymnasium.make_vec("vantor_gym/Chess-v0", num_envs=3, max_plies=2, illegal_action="raise",
                              start_fens=[STARTS[2]], render_mode="rgb_array")
    assert isinstance(envs, VantorVectorEnv) and envs.num_envs == 3
    obs, infos = envs.reset(seed=1)
    assert envs.batch.max_plies == 2 and infos["side"].tolist() == [0, 0, 0]
    assert fen((envs.batch, 2)) == STARTS[2]
    with pytest.raises(ValueError, match="not legal"):
        envs.step([0, 0, 0])
    _, _, _, _, infos = envs.step([int(np.flatnonzero(m)[0]) for m in infos["action_mask"]])
    _, _, _, truncated, infos = envs.step([int(np.flatnonzero(m)[0]) for m in infos["action_mask"]])
    assert truncated.all()
    envs.close()


def layers():
    """Each layer as (reset to FEN, reset to the initial position, step), all giving
    (observation, mask, ended)."""
    env = VantorEnv()
    vector = VantorVectorEnv(1, workers=1)
    batch = BatchEnv(1, threads=1, autoreset="disabled")
    two = aec.raw_env()

    def aec_view():
        seen = two.observe(two.agent_selection)
        over = any(two.terminations.values()) or any(two.truncations.values())
        return seen["observation"], seen["action_mask"], over

    def aec_reset(text=None):
        two.reset(options=None if text is None else {"fen": text})
        return aec_view()

    def aec_step(action):
        two.step(action)
        return aec_view()

    def gym_step(action):
        obs, _, terminated, truncated, info = env.step(action)
        return obs, info["action_mask"], terminated or truncated

    def vector_step(action):
        obs, _, terminated, truncated, infos = vector.step([action])
        return obs[0], infos["action_mask"][0], bool(terminated[0] or truncated[0])

    def batch_reset(text=None):
        obs, info = batch.reset(fens=None if text is None else [text])
        return obs[0], info["action_mask"][0], False

    def batch_step(action):
        obs, _, terminated, truncated, info = batch.step([action])
        return obs[0], info["action_mask"][0], bool(terminated[0] or truncated[0])

    def gym_reset(text=None):
        obs, info = env.reset(options=None if text is None else {"fen": text})
        return obs, info["action_mask"], False

    def vector_reset(text=None):
        obs, infos = vector.reset(options=None if text is None else {"fen": text})
        return obs[0], infos["action_mask"][0], False

    return {
        "gym": (gym_reset, gym_step, lambda: env.game),
        "vector": (vector_reset, vector_step, lambda: (vector.batch, 0)),
        "batch": (batch_reset, batch_step, lambda: (batch, 0)),
        "aec": (aec_reset, aec_step, lambda: (two.batch, 0)),
    }


@pytest.mark.parametrize("layer", ["gym", "vector", "batch", "aec"])
def test_a_position_looks_the_same_reached_by_play_or_by_fen(layer):
    reset, step, games = layers()[layer]
    rng = np.random.default_rng(5)
    sides = set()
    for game in range(24):
        _, mask, _ = reset()
        played = random_game(step, mask, rng, plies=int(rng.integers(1, 30)))
        if played is None:
            continue
        text = fen(games())
        sides.add(text.split()[1])
        started, _, _ = reset(text)
        assert (played[CURRENT] == started[CURRENT]).all(), (game, text)
        assert not started[14:112].any()  # a FEN start has no history
    assert sides == {"w", "b"}


def test_black_starts_are_turned_unless_the_module_planes_are_asked_for():
    black = STARTS[0]
    with BatchEnv(1, threads=1) as turned, BatchEnv(1, threads=1, observation="module") as module:
        a, b = turned.reset(fens=[black])[0][0], module.reset(fens=[black])[0][0]
        assert (a == b[:, ::-1, ::-1]).all() and not (a == b).all()
        # Side to move first: black's pawns on its second rank, seen from black's side.
        assert a[0, 6].sum() == 8 and a[0, 6, 4] == 1
        # A snapshot restored after a FEN start is seen as the start was.
        assert (turned.restore_state(0, turned.save_state(0))[0] == a).all()
        assert (module.restore_state(0, module.save_state(0))[0] == b).all()
    assert (VantorEnv().reset(options={"fen": black})[0] == a).all()
    assert (VantorEnv(observation="module").reset(options={"fen": black})[0] == b).all()
    two = aec.raw_env(observation="module")
    two.reset(options={"fen": black})
    assert (two.observe("player_1")["observation"] == b).all()


UNKNOWN_OPTIONS = [{"FEN": STARTS[0]}, {"fen": STARTS[0], "seed": 3}, {"start": None}]


@pytest.mark.parametrize("options", UNKNOWN_OPTIONS)
def test_unknown_reset_options_are_refused_naming_the_known_ones(options):
    env, vector, two = VantorEnv(), VantorVectorEnv(2, workers=1), aec.raw_env()
    env.reset()
    vector.reset()
    two.reset()
    env.step(564)
    vector.step([564, 564])
    two.step(564)
    before = [env.game.hash_state(), vector.batch.hash_state(), two.batch.hash_state()]
    for layer in (env, vector, two):
        with pytest.raises(ValueError, match="unknown reset options .*the known keys are 'fen'"):
            layer.reset(options=options)
    after = [env.game.hash_state(), vector.batch.hash_state(), two.batch.hash_state()]
    assert all(np.all(a == b) for a, b in zip(before, after))


def texts_of(batch):
    return [fen((batch, i)) for i in range(batch.num_envs)]


def test_batch_draws_starts_from_its_list_at_resets_and_autoresets():
    normal = [Game(t).fen() for t in STARTS]  # as written back: no en-passant square where no capture is legal
    with BatchEnv(64, threads=2, seed=9, start_fens=STARTS, max_plies=1, illegal="lose") as games:
        _, info = games.reset()
        first = texts_of(games)
        assert set(first) == set(normal)  # 64 draws reach every start
        for _ in range(3):
            actions = [int(np.flatnonzero(m)[0]) for m in info["action_mask"]]
            _, _, _, truncated, info = games.step(actions)
            assert truncated.all()
            _, _, _, _, info = games.step(np.zeros(64, np.int64))  # every game restarts
            restarted = texts_of(games)
            assert set(restarted) <= set(normal) and restarted != first
        # An explicit FEN still wins over the list.
        games.reset([5], fens=[START])
        assert fen((games, 5)) == START


def autoreset_run(threads, seed=4):
    with BatchEnv(16, threads=threads, seed=seed, start_fens=STARTS, max_plies=3) as games:
        _, info = games.reset()
        seen = [texts_of(games)]
        for step in range(12):
            actions = [int(np.flatnonzero(m)[step % len(np.flatnonzero(m))]) if m.any() else 0
                       for m in info["action_mask"]]
            _, _, _, _, info = games.step(actions)
            seen.append(texts_of(games))
        games.reset(seed=seed)
        seen.append(texts_of(games))
        return seen


def test_start_draws_depend_on_the_seed_not_the_threads():
    runs = [autoreset_run(t) for t in (1, 2, 4)]
    assert runs[0] == runs[1] == runs[2]
    assert runs[0][-1] == runs[0][0]  # reset(seed=...) seeds as the constructor did
    assert autoreset_run(1, seed=5) != runs[0]


def test_gym_and_vector_starts_repeat_with_the_reset_seed():
    def gym_starts(seed):
        env = VantorEnv(start_fens=STARTS)
        env.reset(seed=seed)
        return [fen(env.game)] + [(env.reset(), fen(env.game))[1] for _ in range(11)]

    def vector_starts(seed):
        envs = VantorVectorEnv(6, max_plies=1, workers=2, start_fens=STARTS)
        _, infos = envs.reset(seed=seed)
        seen = texts_of(envs.batch)
        for _ in range(2):
            envs.step([int(np.flatnonzero(m)[0]) for m in infos["action_mask"]])
            _, _, _, _, infos = envs.step(np.zeros(6, np.int64))
            seen += texts_of(envs.batch)
        return seen

    assert gym_starts(3) == gym_starts(3) != gym_starts(4)
    assert len(set(gym_starts(3))) > 1
    assert vector_starts(3) == vector_starts(3) != vector_starts(4)


@pytest.mark.parametrize("rules, ends", [("module", True), ("standard", False)])
def test_clocks_come_from_the_start_fen(rules, ends):
    env = VantorEnv(start_fens=[STARTS[2]], rules=rules)
    env.reset(seed=0)
    assert fen(env.game) == STARTS[2]
    # Rook and king shuffle: the fifth half-move reaches the clock's 50, the module's draw.
    for ply, move in enumerate(["a1a2", "e8d8", "a2a1", "d8e8", "a1a2"], start=1):
        assert env.step(uci_to_action(env.game.save_state(), move))[2] is (ends and ply == 5)
    assert fen(env.game) == "4k3/8/8/8/8/8/R7/4K3 b - - 50 82"


def test_the_pgn_of_a_gym_game_replays_from_its_start():
    env = VantorEnv(start_fens=[STARTS[1]])
    _, info = env.reset(seed=2)
    rng = np.random.default_rng(1)
    actions = []
    for _ in range(9):
        actions.append(int(rng.choice(np.flatnonzero(info["action_mask"]))))
        _, _, terminated, _, info = env.step(actions[-1])
        if terminated:
            break
    text = env.pgn()
    assert f'[FEN "{STARTS[1]}"]' in text and "40... " in text
    game = read_pgn(text)
    assert game.actions == actions and game.start_fen == STARTS[1]
    assert chess_pgn.read_game(io.StringIO(text)).end().ply() == 79 + len(actions)
    plain = VantorEnv()
    plain.reset()
    plain.step(564)
    assert "[FEN" not in plain.pgn() and "1. e4 *" in plain.pgn()
    plain.step(0)  # black tries an illegal action and loses
    assert plain.pgn().rstrip().endswith("1. e4 1-0")


BAD_STARTS = [
    (lambda: VantorEnv(start_fens=[STARTS[0], "not a fen"]), ValueError, r"start_fens\[1\] \('not a fen'\)"),
    (lambda: VantorVectorEnv(2, start_fens=[MATED]), ValueError, r"start_fens\[0\].*white is checkmated"),
    (lambda: BatchEnv(2, start_fens=[STARTS[2].replace(" 45 ", " 50 ")], rules="module"), ValueError,
     r"half-move clock"),
    (lambda: VantorEnv(start_fens=[STARTS[2].replace(" 45 ", " 100 ")]), ValueError, r"half-move clock"),
    (lambda: VantorVectorEnv(2).reset(options={"fen": "4k3/8/8/8/8/8/8/4K3 w - - 0 1"}), ValueError,
     "material to mate"),
    (lambda: aec.raw_env(rules="automatic").reset(options={"fen": STARTS[2].replace(" 45 ", " 150 ")}), ValueError,
     r"half-move clock"),
    (lambda: BatchEnv(2, start_fens=[]), ValueError, "at least one FEN"),
    (lambda: BatchEnv(2, start_fens=STARTS[0]), TypeError, "not one text"),
    (lambda: BatchEnv(2, start_fens=[STARTS[0].encode()]), TypeError, "sequence of str"),
    (lambda: BatchEnv(2, observation="white"), ValueError, "observation must be one of"),
    (lambda: VantorEnv(observation="white"), ValueError, "observation must be one of"),
    (lambda: BatchEnv(2).reset(seed=-1), ValueError, "seed must be in"),
    (lambda: BatchEnv(2).reset(seed=2**64), ValueError, "seed must be in"),
]


@pytest.mark.parametrize("call, error, message", BAD_STARTS)
def test_bad_starts_and_options_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_refused_reset_seed_changes_no_game():
    with BatchEnv(2, threads=1, seed=1, start_fens=STARTS) as games:
        games.reset()
        before = games.hash_state()
        with pytest.raises(ValueError):
            games.reset(fens=[START], seed=3)  # one FEN for two games
        assert (games.hash_state() == before).all() and games.seed == 1


RULE_LAYERS = {"gym": VantorEnv, "vector": lambda **k: VantorVectorEnv(1, workers=1, **k), "aec": aec.raw_env}


@pytest.mark.parametrize("layer", list(RULE_LAYERS))
def test_rules_are_taken_by_name_and_anything_else_is_refused(layer):
    make = RULE_LAYERS[layer]
    assert make().rules == "standard"
    for rules in RULES:
        assert make(rules=rules).rules == rules
    for bad, error in (("chess960", ValueError), ("Standard", ValueError), (None, TypeError), (1, TypeError)):
        with pytest.raises(error, match=r"rules must be .*\('standard', 'automatic', 'module'\)"):
            make(rules=bad)


SHUFFLE = ["g1f3", "g8f6", "f3g1", "f6g8"]
ROOK_AND_KING = "4k3/8/8/8/8/8/8/R3K3 w Q - {} 80"
# (rules, start, moves, how the last move ends the game, or None where it goes on)
ENDED_BY_RULES = [
    ("standard", "4k3/8/8/8/8/8/3r4/4K3 w - - 0 1", ["e1d2"], "insufficient_material"),
    ("module", "4k3/8/8/8/8/8/3r4/4K3 w - - 0 1", ["e1d2"], None),
    ("standard", ROOK_AND_KING.format(99), ["a1a2"], "fifty_moves"),
    ("automatic", ROOK_AND_KING.format(99), ["a1a2"], None),
    ("automatic", ROOK_AND_KING.format(149), ["a1a2"], "seventyfive_moves"),
    ("module", ROOK_AND_KING.format(49), ["a1a2"], "fifty_moves"),
    ("standard", START, SHUFFLE * 2, "repetition"),
    ("automatic", START, SHUFFLE * 4, "fivefold_repetition"),
]


def endings_seen(layer, rules, start, moves):
    """What each move gives in ``layer``: the name of its ending (None while the game goes
    on) and whether it ended the game."""
    env = RULE_LAYERS[layer](rules=rules)
    env.reset(options={"fen": start})

    def step(action):
        if layer == "gym":
            _, _, terminated, _, info = env.step(action)
            return ending_name(info["ending"]), terminated
        if layer == "vector":
            _, _, terminated, _, infos = env.step([action])
            return ending_name(infos["ending"][0]), bool(terminated[0])
        env.step(action)
        return env.infos["player_0"].get("ending"), env.terminations["player_0"]

    state = env.game.save_state if layer == "gym" else lambda: env.batch.save_state(0)
    return [step(uci_to_action(state(), move)) for move in moves]


@pytest.mark.parametrize("layer", list(RULE_LAYERS))
@pytest.mark.parametrize("rules, start, moves, ending", ENDED_BY_RULES)
def test_each_rule_set_ends_games_by_its_own_draws_and_names_them(layer, rules, start, moves, ending):
    going_on = [(None, False)] * (len(moves) - 1)
    assert endings_seen(layer, rules, start, moves) == going_on + [(ending, ending is not None)]
