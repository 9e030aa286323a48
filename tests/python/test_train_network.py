"""The policy-value network: shapes, masked losses, and the search's evaluator over planes
and compact rows."""

import numpy as np
import pytest

from conftest import SANITIZED

torch = pytest.importorskip("torch")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

from vantor_gym import BatchEnv, expand_observations  # noqa: E402
from vantor_gym.search import Search  # noqa: E402
from vantor_gym.train.network import NetworkConfig, PolicyValueNet, evaluator, losses  # noqa: E402

TINY = NetworkConfig(channels=8, blocks=1)


def test_outputs_and_losses():
    torch.manual_seed(0)
    net = PolicyValueNet(TINY)
    with BatchEnv(6, threads=1) as games:
        planes, info = games.reset()
        planes, *_, info = games.step([564, 564, 563, 3646, 3705, 548 + 16])
    masks = torch.from_numpy(info["action_mask"])
    x = torch.from_numpy(planes).float()
    logits, values = net(x)
    assert logits.shape == (6, 4672) and values.shape == (6,) and values.abs().max() <= 1
    targets = masks.float() / masks.sum(1, keepdim=True)
    policy_loss, value_loss = losses(net, x, masks, targets, torch.zeros(6))
    # Over the legal actions only: a uniform target's loss is at least the log of their count.
    assert policy_loss.item() >= 0 and torch.isfinite(policy_loss) and value_loss.item() >= 0
    (policy_loss + value_loss).backward()
    assert all(p.grad is not None for p in net.parameters() if p.requires_grad)


def test_the_evaluator_drives_the_search_on_planes_and_on_compact_rows():
    torch.manual_seed(1)
    net = PolicyValueNet(TINY).train()
    seen = {}
    with BatchEnv(3, threads=1) as roots:
        roots.reset()
        results = []
        for compact in (False, True):
            evaluate = evaluator(net)

            def record(observations, masks, compact=compact, evaluate=evaluate):
                seen[compact] = expand_observations(observations) if compact else observations.copy()
                return evaluate(observations, masks)

            search = Search(3, record, simulations=16, seed=0, threads=1, compact=compact, dirichlet_fraction=0)
            results.append(search.run(roots))
    assert net.training
    assert np.array_equal(seen[True].astype(np.float32), seen[False])
    assert np.array_equal(results[0].visits, results[1].visits)
    assert np.allclose(results[0].values, results[1].values)


def test_bad_configs_are_refused():
    with pytest.raises(ValueError, match="channels must be at least 1"):
        NetworkConfig(channels=0)


@pytest.mark.parametrize("made, trained", [("standard", "module"), ("module", "standard"), ("automatic", "automatic")])
def test_a_new_network_scales_the_clock_by_its_rules_and_a_loaded_one_keeps_its_own(tmp_path, made, trained):
    from vantor_gym.rules import halfmove_limit
    from vantor_gym.train.network import load_network, save_network

    net = PolicyValueNet(TINY, trained)
    assert net.scale[0, 118, 0, 0].item() == pytest.approx(1 / halfmove_limit(trained))
    assert net.scale[0, 113].eq(0).all() and net.scale[0, :112].eq(1).all()
    save_network(net, tmp_path / "net.pt")
    again = PolicyValueNet(TINY, made)
    again.load_state_dict(net.state_dict())
    for loaded in (again, load_network(tmp_path / "net.pt", "cpu")):
        assert torch.equal(loaded.scale, net.scale)
    with pytest.raises(ValueError, match="rules"):
        PolicyValueNet(TINY, "fide")
