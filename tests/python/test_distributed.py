"""Self-play on a local Ray cluster of two CPUs: counts, numbering, seeds, dead workers, closing."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import vantor
from conftest import SANITIZED, require

# Ray's own processes would inherit the sanitizer runtime the sanitized run preloads.
pytestmark = pytest.mark.skipif(SANITIZED, reason="Ray's processes do not run under the preloaded sanitizer")

ray = require("ray")

import psutil  # noqa: E402  (Ray brings it)

from vantor_gym import distributed  # noqa: E402
from vantor_gym.distributed import Episode, SelfPlayCollector, play_chunk, uniform_random  # noqa: E402
from vantor_gym.game import Game  # noqa: E402
from vantor_gym.notation import uci_to_action  # noqa: E402
from vantor_gym.states import state_from_bytes, state_from_dict, state_to_bytes, state_to_dict  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    # The workers cannot import this test module, so what it defines travels by value.
    ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    yield
    ray.shutdown()


def signature(episodes: list[Episode]) -> list[tuple[int, list[int], int]]:
    return [(e.index, e.actions.tolist(), e.result) for e in episodes]


def check_episode(episode: Episode, rules: str = "standard") -> None:
    """The episode is a real game: its actions replayed on a Game of its rules give its
    rewards and its end, and the recorded masks are the ones seen before each ply."""
    env = Game(rules=rules)
    done = 0
    for ply, action in enumerate(episode.actions.tolist()):
        if episode.masks is not None:
            assert np.array_equal(episode.masks[ply], env.action_mask())
        reward, done = env.step(action)
        assert reward == episode.rewards[ply]
    assert episode.plies == len(episode.actions)
    assert bool(done) != episode.truncated
    assert episode.result == episode.rewards[-1]


@pytest.mark.parametrize("rules", ["standard", "module"])
def test_play_chunk_plays_whole_games_each_seeded_by_its_number(rules):
    episodes = play_chunk([3, 4, 5], uniform_random, 11, 40, True, True, rules=rules)
    assert [e.index for e in episodes] == [3, 4, 5]
    for e in episodes:
        check_episode(e, rules)
        assert e.observations.shape == (e.plies, 119, 8, 8) and e.masks.shape == (e.plies, 4672)
        assert e.pgn.startswith('[Event "?"]')
    # Episode 4 alone, or beside other episodes, is the same game.
    assert signature(play_chunk([4], uniform_random, 11, 40, False, False)) == signature(episodes[1:2])
    assert signature(play_chunk([4], uniform_random, 12, 40, False, False)) != signature(episodes[1:2])


def test_collect_counts_numbers_and_seeds(cluster):
    with SelfPlayCollector(1, envs_per_worker=8, seed=5, max_plies=60) as one:
        first = one.collect(20)
        rest = one.collect(5)
    assert [e.index for e in first + rest] == list(range(25))
    with SelfPlayCollector(2, envs_per_worker=3, seed=5, max_plies=60, max_chunks_in_flight=3) as two:
        both = two.collect(25)
        # However long the collection, the driver holds no more chunks than its window.
        assert two.peak_chunks_held == 3
        assert sum(1 for _ in two.episodes(90)) == 90 and two.peak_chunks_held == 3
    assert signature(both) == signature(first + rest)
    for e in both[:3]:
        check_episode(e)


def test_the_workers_play_the_collectors_rules(cluster):
    # Random games without a cap end far sooner under the module's fifty half-moves.
    with SelfPlayCollector(1, envs_per_worker=4, seed=3, rules="module") as collector:
        got = signature(collector.collect(4))
    assert got == signature(play_chunk([0, 1, 2, 3], uniform_random, 3, None, False, False, rules="module"))
    assert got != signature(play_chunk([0, 1, 2, 3], uniform_random, 3, None, False, False))
    with pytest.raises(ValueError, match="rules"):
        SelfPlayCollector(1, rules="fide")


def test_progress_is_shown_when_asked_or_on_a_terminal(cluster, capsys):
    with SelfPlayCollector(1, envs_per_worker=3, seed=2, max_plies=20) as collector:
        collector.collect(6)
        assert capsys.readouterr().err == ""  # pytest's standard error is no terminal
        assert len(collector.collect(6, progress=True)) == 6
        last = capsys.readouterr().err.splitlines()[-1]
        assert last.startswith("episodes: 6/6 (100%)") and "plies/s " in last
        with pytest.raises(TypeError, match="progress"):
            collector.episodes(1, progress="yes")


def test_a_killed_worker_loses_and_repeats_nothing(cluster):
    expected = signature(play_chunk(list(range(24)), uniform_random, 9, 80, False, False))
    with SelfPlayCollector(2, envs_per_worker=4, seed=9, max_plies=80) as collector:
        pids = ray.get([w.pid.remote() for w in collector.workers])
        stream = collector.episodes(24)
        got = [next(stream)]
        ray.kill(collector.workers[0], no_restart=False)  # Ray restarts it
        os.kill(pids[1], signal.SIGKILL)  # and this one's process simply dies
        got.extend(stream)
        assert signature(got) == expected
        assert collector.chunks_resent >= 2
        # The restarted workers go on working.
        assert [e.index for e in collector.collect(4)] == [24, 25, 26, 27]


class Boom(Exception):
    pass


def exploding_policy(observations, masks, rngs):
    if any(int(observations[row, 113, 0, 0]) > 30 for row in range(len(masks))):
        raise Boom("the policy gave up")
    return uniform_random(observations, masks, rngs)


def running(pid: int) -> bool:
    """Whether the process runs still, read from /proc: a zombie has already exited."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


def assert_gone(workers, pids) -> None:
    """Every process is gone the moment close() returns, and its actor refuses calls."""
    assert [pid for pid in pids if running(pid)] == []
    for worker in workers:
        with pytest.raises(ray.exceptions.RayActorError):
            ray.get(worker.pid.remote(), timeout=30)


def test_a_raising_policy_stops_the_collection_and_its_workers(cluster):
    collector = SelfPlayCollector(2, envs_per_worker=2, policy=exploding_policy, seed=1)
    workers = list(collector.workers)
    pids = ray.get([w.pid.remote() for w in workers])
    with pytest.raises(Boom, match="the policy gave up"):
        collector.collect(10)
    assert collector.workers == []
    assert_gone(workers, pids)
    with pytest.raises(RuntimeError, match="closed"):
        collector.collect(1)
    with pytest.raises(RuntimeError, match="closed"):
        collector.episodes(1)  # at the call, not at the first episode


def test_close_ends_a_stream_and_names_processes_that_outlive_it(cluster, monkeypatch):
    collector = SelfPlayCollector(2, envs_per_worker=2, seed=3, max_plies=200)
    workers = list(collector.workers)
    pids = ray.get([w.pid.remote() for w in workers])
    with pytest.raises(ValueError, match="timeout"):
        collector.close(timeout=0)
    stream = collector.episodes(40)
    assert next(stream).index == 0
    # A process close() waits for in vain: it is named, and the collector is closed anyway.
    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
    try:
        real = distributed._processes_of
        stubborn = distributed._Process(distributed._driver_node(), sleeper.pid, psutil.Process(sleeper.pid).create_time())
        monkeypatch.setattr(distributed, "_processes_of", lambda *a: (real(*a)[0] + [stubborn], []))
        with pytest.raises(RuntimeError, match=rf"^2 s after .* still run: pid {sleeper.pid} on node \w+$"):
            collector.close(timeout=2)
        assert sleeper.poll() is None
    finally:
        sleeper.kill()
        sleeper.wait()
    assert_gone(workers, pids)
    # Chunks still out end the stream, once the episodes already held are handed out.
    with pytest.raises(RuntimeError, match="closed during the collection"):
        for _ in stream:
            pass
    collector.close()  # again: nothing to do


def test_survivors_are_told_from_zombies_reused_ids_and_watched_on_their_node(cluster, monkeypatch):
    node = distributed._driver_node()
    live = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
    zombie = subprocess.Popen([sys.executable, "-c", "pass"])
    try:
        while psutil.Process(zombie.pid).status() != psutil.STATUS_ZOMBIE:  # exited, not collected
            time.sleep(0.01)
        started = psutil.Process(live.pid).create_time()
        alive = distributed._Process(node, live.pid, started)
        reused = distributed._Process(node, live.pid, started - 5)  # an earlier process under the same id
        undead = distributed._Process(node, zombie.pid, psutil.Process(zombie.pid).create_time())
        for here in (True, False):
            if not here:  # the processes then seem to run on another node: a task there watches them
                monkeypatch.setattr(distributed, "_driver_node", lambda: "a node elsewhere")
            assert distributed._survivors([reused, undead], time.monotonic() + 60) == []
            assert distributed._survivors([alive, reused, undead], time.monotonic() + 0.5) == [alive]
    finally:
        for child in (live, zombie):
            child.kill()
            child.wait()


def test_bad_policies_and_arguments_are_refused(cluster):
    def illegal(observations, masks):
        return np.full(len(masks), 4671)

    with pytest.raises(ValueError, match="not legal in episode 0"):
        play_chunk([0], illegal, None, None, False, False)
    with pytest.raises(ValueError, match="one integer action per game"):
        play_chunk([0], lambda o, m: np.zeros(len(m) + 1, np.int64), None, None, False, False)
    for bad in ({"num_workers": 0}, {"envs_per_worker": 0}, {"max_chunks_in_flight": 0}, {"seed": -1}):
        with pytest.raises(ValueError):
            SelfPlayCollector(**bad)


def test_states_cross_process_boundaries_as_plain_data():
    env = vantor.Vantor()
    env.reset()
    for move in ("e2e4", "e7e5", "g1f3", "b8c6"):
        env.step(uci_to_action(env, move))
    state = env.save_state()
    state.repetition_count = {**state.repetition_count, 2**64 - 1: -7}
    for rebuilt in (state_from_dict(state_to_dict(state)), state_from_bytes(state_to_bytes(state))):
        assert state_to_dict(rebuilt) == state_to_dict(state)
        a, b = vantor.Vantor(), vantor.Vantor()
        assert a.restore_state(state) == b.restore_state(rebuilt)
        for move in ("f1b5", "a7a6", "b5c6"):
            assert a.step(uci_to_action(a, move)) == b.step(uci_to_action(b, move))
        assert a.hash_state() == b.hash_state()
    with pytest.raises(ValueError, match="not a vantor State record"):
        state_from_bytes(b"pickle me")
    with pytest.raises(ValueError, match="cut short"):
        state_from_bytes(state_to_bytes(state)[:-1])
    fields = state_to_dict(state)
    with pytest.raises(ValueError, match="missing"):
        state_from_dict({k: v for k, v in fields.items() if k != "side"})
    with pytest.raises(ValueError, match="32 bits"):
        state_from_dict({**fields, "castle": 2**40})


def test_shutdown_leaves_no_ray_process():
    import shutil
    import subprocess
    import tempfile

    # Ray's socket paths must stay short, and every process of its session names this
    # directory on its command line.
    session = tempfile.mkdtemp(prefix="ray-", dir="/tmp")
    try:
        check_no_process_left(session)
    finally:
        shutil.rmtree(session, ignore_errors=True)


def check_no_process_left(session: str) -> None:
    import subprocess

    code = (
        "import ray, sys; ray.init(num_cpus=1, include_dashboard=False); "
        "from vantor_gym.distributed import SelfPlayCollector; "
        "c = SelfPlayCollector(1, 2, seed=0, max_plies=10); print(len(c.collect(2))); c.close(); ray.shutdown()"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                         env=dict(os.environ, RAY_TMPDIR=session))
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "2"
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        left = [p for p in os.listdir("/proc") if p.isdigit() and session in _cmdline(p)]
        if not left:
            break
        time.sleep(0.5)
    assert not left, [_cmdline(p) for p in left]


def _cmdline(pid: str) -> str:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""
