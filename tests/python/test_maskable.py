"""The move head of vantor_gym.maskable: its squares are the moves' squares for both colours,
and a position with black to move scores its moves as its turned twin with white to move."""

import numpy as np
import pytest

from conftest import SANITIZED

pytest.importorskip("sb3_contrib", reason="vantor_gym.maskable needs sb3-contrib")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

import torch  # noqa: E402
from gymnasium import spaces  # noqa: E402

from vantor_gym import Game  # noqa: E402
from vantor_gym.batch import ACTIONS, PLANES  # noqa: E402
from vantor_gym.maskable import (  # noqa: E402
    INPUT_PLANES, MoveFeatures, MoveHead, MovePolicy, black_order, target_table)
from vantor_gym.notation import action_to_uci  # noqa: E402
from vantor_gym.render import move_squares  # noqa: E402

pytestmark = pytest.mark.usefixtures("one_torch_thread")

SPACE = spaces.Box(0.0, 1.0, (PLANES * 64,), np.float32)

# Black to move, with knights, promotions and en passant on the board (no castling rights:
# the turned board has its kings on the d-file, where chess allows none).
BLACK_TO_MOVE = [
    "rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b - - 1 2",
    "r3k2r/pPpn1ppp/1b3n2/4p3/2B1P1q1/2N2N2/PP1P1PPP/R2QK2R b - - 0 9",
    "4k3/8/8/8/3pP3/8/8/4K1N1 b - e3 0 1",
    "8/8/8/2n5/8/4k3/1p4K1/8 b - - 3 60",
]


def square_of(name):
    """a8 = 0 .. h1 = 63, as the action numbers count squares."""
    return 8 * (8 - int(name[1])) + "abcdefgh".index(name[0])


def turned_fen(fen):
    """The same position seen from the other side: board turned, colours swapped."""
    placement, turn, castling, passant, clocks = fen.split(" ", 4)
    rows = [row.swapcase() for row in reversed(placement.split("/"))]
    if passant != "-":
        passant = "abcdefgh"[7 - "abcdefgh".index(passant[0])] + str(9 - int(passant[1]))
    return " ".join(["/".join(row[::-1] for row in rows), "w" if turn == "b" else "b", castling, passant, clocks])


def turned_uci(text):
    """A move's UCI text on the turned board."""
    turned = ["abcdefgh"[7 - "abcdefgh".index(text[i])] + str(9 - int(text[i + 1])) for i in (0, 2)]
    return "".join(turned) + text[4:]


def turned_index(action, side):
    """The head's (plane, source) index of an action on the board the planes show."""
    return int(black_order()[action]) if side == 1 else action


def test_the_tables_name_every_legal_move_of_random_games_by_its_squares():
    table = target_table()
    assert sorted(black_order().tolist()) == list(range(ACTIONS))
    rng = np.random.default_rng(5)
    seen = {0: 0, 1: 0}
    for game_number in range(6):
        game = Game(seed=game_number)
        while not game.is_over and game.plies < 120:
            side = game.side
            for action in game.legal_actions().tolist():
                uci = action_to_uci(game, action)
                source, target = square_of(uci[:2]), square_of(uci[2:4])
                assert move_squares(action, side)[0] == source, uci
                plane, square = divmod(turned_index(action, side), 64)
                ours = (square, int(table[plane, square]))
                expected = (source, target) if side == 0 else (63 - source, 63 - target)
                assert ours == expected, (game.fen(), uci, side)
                seen[side] += 1
            game.step(int(rng.choice(game.legal_actions())))
    assert min(seen.values()) > 1000


def colour_blind(policy):
    """The policy with every weight reading the side-to-move plane set to 0."""
    features = policy.features_extractor
    with torch.no_grad():
        features.stem[0].weight[:, INPUT_PLANES.index(112)] = 0.0
        policy.action_net.source.weight[:, 0] = 0.0
        policy.action_net.target.weight[:, 0] = 0.0
    return policy


def logits_of(policy, fen):
    game = Game(fen)
    planes = torch.tensor(game.observation().astype(np.float32)).reshape(1, -1)
    with torch.no_grad():
        return game, policy.action_net(policy.extract_features(planes, policy.features_extractor))[0]


@pytest.mark.parametrize("fen", BLACK_TO_MOVE)
def test_black_scores_its_moves_as_its_turned_twin_with_white_to_move(fen):
    torch.manual_seed(1)
    policy = MovePolicy(SPACE, spaces.Discrete(ACTIONS), lambda _: 1e-3,
                        features_extractor_kwargs={"channels": 8, "blocks": 1})
    with torch.no_grad():
        for layer in (policy.action_net.source, policy.action_net.target):
            layer.weight.normal_()  # the initial 0.01 gain would leave every logit near 0
    colour_blind(policy)
    black, black_logits = logits_of(policy, fen)
    white, white_logits = logits_of(policy, turned_fen(fen))
    ours = {action_to_uci(black, a): float(black_logits[a]) for a in black.legal_actions().tolist()}
    twins = {turned_uci(action_to_uci(white, a)): float(white_logits[a]) for a in white.legal_actions().tolist()}
    assert ours.keys() == twins.keys()
    assert len(set(np.round(list(ours.values()), 4))) > len(ours) // 2  # the logits tell moves apart
    for uci, logit in ours.items():
        assert logit == pytest.approx(twins[uci], abs=1e-4), uci


@pytest.mark.parametrize(("make", "error", "match"), [
    (lambda: MovePolicy(SPACE, spaces.Discrete(ACTIONS), lambda _: 1e-3, net_arch={"pi": [64], "vf": [64]}),
     ValueError, "net_arch takes only 'vf'"),
    (lambda: MovePolicy(SPACE, spaces.Discrete(ACTIONS), lambda _: 1e-3, net_arch=[64]),
     ValueError, "net_arch takes only 'vf'"),
    (lambda: MovePolicy(SPACE, spaces.Discrete(ACTIONS), lambda _: 1e-3,
                        features_extractor_kwargs={"channels": 0}), ValueError, "channels must be at least 1"),
    (lambda: MoveFeatures(spaces.Box(0.0, 1.0, (7,), np.float32)), ValueError, "MoveFeatures"),
    (lambda: MoveFeatures(spaces.Discrete(3)), ValueError, "MoveFeatures"),
    (lambda: MoveFeatures(spaces.Box(-np.inf, np.inf, (PLANES * 64,), np.float32)), ValueError, "MoveFeatures"),
    # The head reads whole squares of features: a row of another width is no batch of them.
    (lambda: MoveHead(3)(torch.zeros(2, 3 * 64 + 1)), RuntimeError, None),
], ids=["pi arch", "shared arch", "no channels", "short space", "discrete space", "unbounded space", "ragged row"])
def test_what_the_policy_cannot_use_is_refused(make, error, match):
    with pytest.raises(error, match=match):
        make()
    assert MoveHead(3)(torch.zeros(2, 3 * 64)).shape == (2, ACTIONS)


def test_a_saved_model_loads_with_the_same_policy(tmp_path):
    from sb3_contrib import MaskablePPO

    from vantor_gym.sb3 import VecEnv

    env = VecEnv(2, opponent="random", agent_side="random", max_plies=20, flatten=True, scale=True, threads=1)
    model = MaskablePPO(MovePolicy, env, n_steps=16, batch_size=32, n_epochs=1, seed=3, device="cpu",
                        policy_kwargs={"features_extractor_kwargs": {"channels": 4, "blocks": 1}})
    model.learn(32)
    model.save(tmp_path / "model.zip")
    loaded = MaskablePPO.load(tmp_path / "model.zip", env=env, device="cpu")
    assert isinstance(loaded.policy.action_net, MoveHead)
    observations = np.asarray(env.reset())
    with torch.no_grad():
        ours = model.policy.get_distribution(torch.as_tensor(observations)).distribution.logits
        theirs = loaded.policy.get_distribution(torch.as_tensor(observations)).distribution.logits
    assert torch.equal(ours, theirs)
    env.close()
