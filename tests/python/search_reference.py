"""A PUCT search written plainly in Python over a vantor.Vantor, one leaf at a time and
without noise: the native search must give the same visit counts, and the benchmarks
time it against the native one."""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np

import vantor

ACTIONS = 4672
STEP_PLANE = 113

Evaluator = Callable[[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray]]


def flat_mask(env: vantor.Vantor) -> np.ndarray:
    return np.asarray(env.get_actions(), dtype=bool).reshape(ACTIONS)


class Node:
    """A position in the reference tree: its legal actions in ascending order with prior,
    visit count and value sum per edge (values from this node's side to move)."""

    def __init__(self, state: vantor.State | None, steps: int, terminal_value: float | None = None) -> None:
        self.state = state
        self.steps = steps
        self.terminal_value = terminal_value
        self.actions: list[int] = []
        self.priors: list[float] = []
        self.visits: list[int] = []
        self.values: list[float] = []
        self.children: list[Node | None] = []

    def expand(self, mask: np.ndarray, logits: np.ndarray) -> None:
        self.actions = [int(a) for a in np.flatnonzero(mask)]
        legal = [float(logits[a]) for a in self.actions]
        top = max(legal)
        exps = [math.exp(x - top) for x in legal]
        total = 0.0
        for e in exps:
            total += e
        self.priors = [e / total for e in exps]
        self.visits = [0] * len(self.actions)
        self.values = [0.0] * len(self.actions)
        self.children = [None] * len(self.actions)

    def select(self, c_puct: float, fpu: float) -> int:
        root_visits = math.sqrt(max(1, sum(self.visits)))
        best, best_score = -1, -math.inf
        for i, (p, n, w) in enumerate(zip(self.priors, self.visits, self.values)):
            q = w / n if n > 0 else fpu
            score = q + c_puct * p * root_visits / (1 + n)
            if score > best_score:
                best, best_score = i, score
        return best

    def visit_array(self) -> np.ndarray:
        visits = np.zeros(ACTIONS, dtype=np.int64)
        visits[self.actions] = self.visits
        return visits

    def chosen(self) -> int:
        best = max(range(len(self.actions)), key=lambda i: (self.visits[i], self.priors[i], -self.actions[i]))
        return self.actions[best]

    def mean_value(self) -> float:
        return sum(self.values) / sum(self.visits)


class Reference:
    """The search the native one must equal, one leaf at a time and without noise, played on
    a vantor.Vantor through snapshots. Plane 113 of a leaf is the root's step count plus the
    leaf's depth, as on a game that stepped down to it."""

    def __init__(self, evaluator: Evaluator, c_puct: float = 1.25, fpu: float = 0.0) -> None:
        self.evaluator = evaluator
        self.c_puct = c_puct
        self.fpu = fpu
        self.env = vantor.Vantor()
        self.seen: list[np.ndarray] = []
        self.masks: list[np.ndarray] = []

    def evaluate(self, obs: list[list[int]], steps: int) -> tuple[np.ndarray, np.ndarray, float]:
        planes = np.asarray(obs, dtype=np.float32).reshape(1, 119, 8, 8)
        planes[0, STEP_PLANE] = steps
        mask = flat_mask(self.env)
        self.seen.append(planes[0])
        self.masks.append(mask)
        logits, values = self.evaluator(planes, mask.reshape(1, ACTIONS))
        return mask, np.asarray(logits)[0], float(np.asarray(values)[0])

    def root(self, state: vantor.State) -> Node:
        _, obs, _, _ = self.env.restore_state(state)
        node = Node(state, state.total_move_count)
        mask, logits, _ = self.evaluate(obs, node.steps)
        node.expand(mask, logits)
        return node

    def simulate(self, root: Node) -> None:
        path: list[tuple[Node, int]] = []
        node = root
        while True:
            index = node.select(self.c_puct, self.fpu)
            path.append((node, index))
            child = node.children[index]
            if child is None:
                assert node.state is not None
                self.env.restore_state(node.state)
                side, obs, reward, done = self.env.step(node.actions[index])
                if done:
                    child = Node(None, node.steps + 1, terminal_value=-1.0 if reward else 0.0)
                    value = child.terminal_value
                else:
                    child = Node(self.env.save_state(), node.steps + 1)
                    mask, logits, value = self.evaluate(obs, child.steps)
                    child.expand(mask, logits)
                node.children[index] = child
                break
            if child.terminal_value is not None:
                value = child.terminal_value
                break
            node = child
        assert value is not None
        for parent, index in reversed(path):
            value = -value
            parent.visits[index] += 1
            parent.values[index] += value

    def run(self, root: Node, simulations: int) -> Node:
        for _ in range(simulations):
            self.simulate(root)
        return root
