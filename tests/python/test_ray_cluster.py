"""Self-play on a real two-node Ray cluster started with `ray start`, as the cluster steps
of docs/ray.md do it: token authentication on, the package sent to the nodes through
`runtime_env()`, and the second node killed whole in the middle of a collection."""

import io
import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterable

import pytest

from conftest import SANITIZED, require

pytestmark = pytest.mark.skipif(SANITIZED, reason="Ray's processes do not run under the preloaded sanitizer")

ray = require("ray")

import psutil  # noqa: E402  (Ray brings it)

from vantor_gym.distributed import play_chunk, uniform_random  # noqa: E402

EPISODES, PER_WORKER, SEED, MAX_PLIES = 96, 4, 7, 40

# The driver is the cluster snippet of docs/ray.md, with a policy slow enough that the second
# node's worker is always in the middle of a chunk when the node dies.
def next_result(lines: Iterable[str]) -> object:
    """The next line the driver marked as its result: Ray prints its own news (a raylet's
    end, say) on the driver's output too."""
    for line in lines:
        if line.startswith("result: "):
            return json.loads(line[len("result: "):])
    return None


DRIVER = """
import json, sys, time
import ray
from vantor_gym.distributed import SelfPlayCollector, runtime_env, uniform_random

def policy(observations, masks, rngs):
    time.sleep(0.005)
    return uniform_random(observations, masks, rngs)

ray.init(address=sys.argv[1], runtime_env=runtime_env(), log_to_driver=False)
nodes = {node["NodeID"] for node in ray.nodes() if node["Alive"]}
with SelfPlayCollector(num_workers=2, envs_per_worker=%d, policy=policy, seed=%d, max_plies=%d,
                       record_observations=True) as collector:
    stream = collector.episodes(%d)
    got = [next(stream)]
    print("result:", json.dumps({"nodes": len(nodes)}), flush=True)
    got.extend(stream)
    resent = collector.chunks_resent
print("result:", json.dumps({"episodes": [[e.index, e.actions.tolist(), e.result] for e in got], "resent": resent}))
""" % (PER_WORKER, SEED, MAX_PLIES, EPISODES)


def free_ports(count: int) -> list[int]:
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


class Node:
    """One `ray start --block` in a session of its own; every process of the node descends
    from it or shares its process group."""

    def __init__(self, folder: str, env: dict[str, str], args: list[str]) -> None:
        self.log = open(os.path.join(folder, "start.log"), "wb")
        self.start = subprocess.Popen(
            ["ray", "start", "--block", "--disable-usage-stats", f"--temp-dir={folder}", *args],
            env=env, stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True,
        )

    def processes(self) -> list[psutil.Process]:
        found = {}
        try:
            root = psutil.Process(self.start.pid)
            found = {p.pid: p for p in [root, *root.children(recursive=True)]}
        except psutil.NoSuchProcess:
            pass
        for p in psutil.process_iter():
            try:
                if os.getpgid(p.pid) == self.start.pid:
                    found[p.pid] = p
            except (ProcessLookupError, psutil.NoSuchProcess):
                pass
        return list(found.values())

    def kill(self) -> None:
        """SIGKILL to every process of the node, each by its id, until none is left: the
        node dies as a machine does, with no chance to say goodbye."""
        deadline = time.monotonic() + 60
        while (left := self.processes()) and time.monotonic() < deadline:
            for p in left:
                try:
                    p.kill()
                except psutil.NoSuchProcess:
                    pass
            psutil.wait_procs(left, timeout=2)
        self.start.poll()
        self.log.close()
        assert not left, f"node processes outlived SIGKILL: {left}"


def wait_for(condition, what: str, timeout: float = 120) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.5)


@pytest.fixture
def cluster():
    """A head and a second node on this machine, one CPU each, with token authentication;
    both killed at the end, however the test ends. (`ray stop` is not used: it stops every
    Ray process of the machine, other people's clusters included.)"""
    # Ray's socket paths must stay short.
    folder = tempfile.mkdtemp(prefix="rc-", dir="/tmp")
    token = os.path.join(folder, "token")
    with open(os.open(token, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
        f.write(secrets.token_hex(32))
    env = dict(os.environ, RAY_AUTH_MODE="token", RAY_AUTH_TOKEN_PATH=token)
    # The nodes cannot import the package from the source tree: it has to travel.
    nodes_env = {k: v for k, v in env.items() if k not in ("PYTHONPATH", "PYTHONUSERBASE")}
    ports = free_ports(18)
    address = f"127.0.0.1:{ports[0]}"

    def node_ports(p: list[int], first: int) -> list[str]:
        return [f"--node-manager-port={p[0]}", f"--object-manager-port={p[1]}", f"--metrics-export-port={p[2]}",
                f"--dashboard-agent-listen-port={p[3]}", f"--dashboard-agent-grpc-port={p[4]}",
                f"--runtime-env-agent-port={p[5]}", f"--min-worker-port={first}", f"--max-worker-port={first + 40}"]

    nodes: list[Node] = []
    try:
        os.mkdir(os.path.join(folder, "head"))
        os.mkdir(os.path.join(folder, "node"))
        nodes.append(Node(os.path.join(folder, "head"), nodes_env, [
            "--head", "--node-ip-address=127.0.0.1", f"--port={ports[0]}", "--num-cpus=1",
            "--include-dashboard=false", f"--dashboard-port={ports[13]}", *node_ports(ports[1:7], 20000 + ports[14] % 10000)]))
        wait_for(lambda: ray_status(address, env) == 1, "the head")
        nodes.append(Node(os.path.join(folder, "node"), nodes_env, [
            f"--address={address}", "--node-ip-address=127.0.0.1", "--num-cpus=1",
            *node_ports(ports[7:13], 20000 + ports[15] % 10000 + 50)]))
        wait_for(lambda: ray_status(address, env) == 2, "the second node")
        yield address, env, nodes
    finally:
        for node in reversed(nodes):
            node.kill()
        shutil.rmtree(folder, ignore_errors=True)


def ray_status(address: str, env: dict[str, str]) -> int:
    """How many nodes the cluster has (0 when it does not answer yet)."""
    out = subprocess.run(["ray", "status", f"--address={address}"], env=env, capture_output=True, text=True,
                         timeout=60)
    return out.stdout.count("node_") if out.returncode == 0 else 0


def test_a_dead_node_costs_no_episode_and_a_stranger_gets_nothing(cluster):
    address, env, (head, node) = cluster
    # Without the token the cluster does not even say how many nodes it has.
    stranger = dict(env, RAY_AUTH_TOKEN_PATH=os.devnull)
    assert ray_status(address, dict(stranger, RAY_AUTH_TOKEN=secrets.token_hex(32))) == 0

    driver = subprocess.Popen([sys.executable, "-c", DRIVER, address], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        started = next_result(driver.stdout)
        assert started == {"nodes": 2}, driver.stderr.read()
        node.kill()
        out, err = driver.communicate(timeout=240)
    finally:
        if driver.poll() is None:
            driver.kill()
            driver.wait()
    assert driver.returncode == 0, err
    result = next_result(io.StringIO(out))
    assert result["resent"] >= 1
    expected = play_chunk(list(range(EPISODES)), uniform_random, SEED, MAX_PLIES, False, False)
    assert result["episodes"] == [[e.index, e.actions.tolist(), e.result] for e in expected]
