"""A PUCT search written plainly in Python over a vantor.Vantor, one leaf at a time and
without noise, proving positions from finished games as the native one does (a move that
ends the game, or among few moves one that allows a mate in one, is known when its
parent is expanded): the native search must give the
same visit counts, and the benchmarks time it against the native one."""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np

import vantor

ACTIONS = 4672
STEP_PLANE = 113
# What is proven of a position, from its side to move.
WON, DRAWN, LOST = 1, 0, -1
# A node with this many moves or fewer has each tried for a mate in one in reply.
FEW_MOVES = 4

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
        # A finished game is proven at once, its result known in 0 plies.
        self.proof: int | None = None if terminal_value is None else int(terminal_value)
        self.proof_plies = 0
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

    def child_proof(self, i: int) -> int | None:
        child = self.children[i]
        return None if child is None else child.proof

    def proven_child(self) -> int:
        """The child that realises this node's proof: the fastest win, the slowest loss or
        draw, then the most visited, the higher prior, the lower action."""
        assert self.proof is not None
        best = None
        for i in range(len(self.actions)):
            child = self.children[i]
            if child is None or child.proof != -self.proof:
                continue
            if best is None:
                best = i
                continue
            top = self.children[best]
            assert top is not None
            if child.proof_plies != top.proof_plies:
                if (self.proof == WON) == (child.proof_plies < top.proof_plies):
                    best = i
            elif (self.visits[i], self.priors[i]) > (self.visits[best], self.priors[best]):
                best = i
        return 0 if best is None else best

    def settle(self) -> bool:
        """Proves this node from its children where they decide it; True when it became
        proven. A won node (the root, searched on) takes a faster win among them."""
        if not self.actions:
            return False
        proofs = [(c.proof, c.proof_plies) for c in self.children if c is not None and c.proof is not None]
        if self.proof == WON:
            for proof, plies in proofs:
                if proof == LOST and plies + 1 < self.proof_plies:
                    self.proof_plies = plies + 1
            return False
        if self.proof is not None:
            return False
        wins = [plies for proof, plies in proofs if proof == LOST]
        if wins:
            self.proof, self.proof_plies = WON, min(wins) + 1
        elif len(proofs) < len(self.actions):
            return False
        elif draws := [plies for proof, plies in proofs if proof == DRAWN]:
            self.proof, self.proof_plies = DRAWN, min(draws) + 1
        else:
            self.proof, self.proof_plies = LOST, max(plies for _, plies in proofs) + 1
        return True

    def select(self, c_puct: float, fpu: float) -> int:
        # Only a proven root is descended from: to the move that realises its proof, but a
        # won root without a mate at once yet searches its unproven moves for a faster win.
        unproven_only = False
        if self.proof is not None:
            proven = self.proven_child()
            child = self.children[proven]
            if self.proof != WON or (child is not None and child.proof_plies == 0):
                return proven
            unproven_only = True
        root_visits = math.sqrt(max(1, sum(self.visits)))
        best, best_score = -1, -math.inf
        for i, (p, n, w) in enumerate(zip(self.priors, self.visits, self.values)):
            proof = self.child_proof(i)
            # A move into a won position loses.
            if proof == WON or (unproven_only and proof is not None):
                continue
            q = -proof if proof is not None else w / n if n > 0 else fpu
            score = q + c_puct * p * root_visits / (1 + n)
            if best < 0 or score > best_score:
                best, best_score = i, score
        if best < 0:
            return proven if unproven_only else 0
        return best

    def visit_array(self) -> np.ndarray:
        visits = np.zeros(ACTIONS, dtype=np.int64)
        visits[self.actions] = self.visits
        return visits

    def chosen(self) -> int:
        if self.proof is not None:
            return self.actions[self.proven_child()]
        # A move into a won position is chosen only when every move is one.
        allowed = [i for i in range(len(self.actions)) if self.child_proof(i) != WON] or list(range(len(self.actions)))
        best = max(allowed, key=lambda i: (self.visits[i], self.priors[i], -self.actions[i]))
        return self.actions[best]

    def mean_value(self) -> float:
        if self.proof is not None:
            return float(self.proof)
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
        self.expand(node, mask, logits)
        return node

    def expand(self, node: Node, mask: np.ndarray, logits: np.ndarray) -> None:
        """Expands node, making every move that ends the game a finished child at once, and
        proves node where they decide it."""
        node.expand(mask, logits)
        assert node.state is not None
        for i, action in enumerate(node.actions):
            self.env.restore_state(node.state)
            _, _, reward, done = self.env.step(action)
            if done:
                node.children[i] = Node(None, node.steps + 1, terminal_value=-1.0 if reward else 0.0)
            elif len(node.actions) <= FEW_MOVES and self.mates_at_once(self.env.save_state()):
                # With few moves, one that allows a mate in one is proven lost, unexpanded.
                child = node.children[i] = Node(None, node.steps + 1)
                child.proof, child.proof_plies = WON, 1
        node.settle()

    def mates_at_once(self, state: vantor.State) -> bool:
        """Whether the side to move in state has a move that mates."""
        self.env.restore_state(state)
        for action in np.flatnonzero(flat_mask(self.env)):
            self.env.restore_state(state)
            _, _, reward, done = self.env.step(int(action))
            if done and reward:
                return True
        return False

    def simulate(self, root: Node) -> None:
        path: list[tuple[Node, int]] = []
        node = root
        while True:
            index = node.select(self.c_puct, self.fpu)
            path.append((node, index))
            child = node.children[index]
            if child is not None and child.proof is not None:
                # A proven position's value is exact: backed up, never searched again.
                value = float(child.proof)
                break
            if child is None:
                assert node.state is not None
                self.env.restore_state(node.state)
                _, obs, _, done = self.env.step(node.actions[index])
                assert not done, "a move that ends the game was made a finished child on expansion"
                child = Node(self.env.save_state(), node.steps + 1)
                mask, logits, value = self.evaluate(obs, child.steps)
                node.children[index] = child
                self.expand(child, mask, logits)
                if child.proof is not None:
                    # Its proof goes up the path while it decides more.
                    for parent, _ in reversed(path):
                        if not parent.settle():
                            break
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
