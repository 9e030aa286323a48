"""TorchRL on vantor_gym with no glue: GymWrapper over the Gymnasium environments, masked
random and masked categorical roll-outs with games ending and starting again."""

import numpy as np
import pytest

from conftest import SANITIZED, require

require("torchrl")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

import gymnasium  # noqa: E402
import torch  # noqa: E402
from tensordict.nn import TensorDictModule  # noqa: E402
from torch import nn  # noqa: E402
from torchrl.envs import GymWrapper  # noqa: E402
from torchrl.envs.transforms import ActionMask, DTypeCastTransform  # noqa: E402
from torchrl.modules import MaskedCategorical, ProbabilisticActor  # noqa: E402

import vantor_gym  # noqa: E402, F401  (registers the environment)

MAX_PLIES = 7


pytestmark = pytest.mark.usefixtures("one_torch_thread")


def chess(num_envs=4, **options):
    vector = gymnasium.make_vec("vantor_gym/Chess-v0", num_envs=num_envs, autoreset_mode="same_step",
                                max_plies=MAX_PLIES, **options)
    return GymWrapper(vector, categorical_action_encoding=True)


def check_rollout(rollout, games, first_plies=(0,)):
    """Every action within its mask, no illegal action, games ending and starting again:
    the next observation of an end is the game's last (plane 113 its plies), the one
    after it the new game's first, and every other next observation the one stepped from."""
    actions, masks = rollout["action"], rollout["action_mask"].bool()
    assert masks.gather(-1, actions.unsqueeze(-1)).all()
    assert not rollout["next", "illegal_action"].any()
    done = rollout["next", "done"].squeeze(-1)
    assert done.sum() >= games * 10
    steps = rollout["next", "observation"][..., 113, 0, 0]
    assert (steps[done] > 0).all() and (steps[done] <= MAX_PLIES).all()
    assert (steps[~done] < MAX_PLIES).all()
    ended = done[:, :-1]
    restarted = rollout["observation"][:, 1:, 113, 0, 0][ended]
    assert set(restarted.tolist()) <= set(first_plies)
    assert torch.equal(rollout["next", "observation"][:, :-1][~ended], rollout["observation"][:, 1:][~ended])


@pytest.mark.parametrize("options", [{}, {"opponent": "random", "agent_side": "random"}], ids=["self-play", "opponent"])
def test_masked_random_rollout_on_the_vector_env(options):
    env = chess(**options)
    env.append_transform(ActionMask())
    env.set_seed(0)
    rollout = env.rollout(150, break_when_any_done=False)
    assert rollout.batch_size == (4, 150)
    check_rollout(rollout, 4, (0, 1) if options else (0,))
    if options:
        assert set(rollout["next", "reward"].unique().tolist()) <= {-1.0, 0.0, 1.0}
    env.close()


# MaskedCategorical's log_prob goes through an argument of cross_entropy that PyTorch deprecates.
@pytest.mark.filterwarnings("ignore:size_average and reduce args will be deprecated:UserWarning")
def test_masked_categorical_policy_rollout():
    env = chess(opponent="random", dtype=np.float32)
    # The masks are int8, as Gymnasium's vector envs stack them; MaskedCategorical takes bool.
    env.append_transform(DTypeCastTransform(torch.int8, torch.bool, in_keys=["action_mask"]))
    torch.manual_seed(0)
    logits = TensorDictModule(nn.Sequential(nn.Flatten(-3), nn.Linear(119 * 64, 4672)), in_keys=["observation"],
                              out_keys=["logits"])
    policy = ProbabilisticActor(logits, in_keys={"logits": "logits", "mask": "action_mask"},
                                distribution_class=MaskedCategorical, spec=env.action_spec, return_log_prob=True)
    rollout = env.rollout(120, policy, break_when_any_done=False)
    check_rollout(rollout, 4, (0.0,))
    assert torch.isfinite(rollout["action_log_prob"]).all()
    env.close()


def test_the_single_env_with_an_opponent():
    env = GymWrapper(gymnasium.make("vantor_gym/Chess-v0", opponent="random", max_plies=MAX_PLIES),
                     categorical_action_encoding=True)
    # A single env's infos are read only when asked for (the vector env's always are).
    env.auto_register_info_dict()
    env = env.append_transform(ActionMask())
    rollout = env.rollout(60, break_when_any_done=False)
    actions, masks = rollout["action"], rollout["action_mask"].bool()
    assert masks.gather(-1, actions.unsqueeze(-1)).all()
    assert rollout["next", "done"].sum() >= 10
    env.close()
