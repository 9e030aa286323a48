"""Threads and the objects of the package: four threads sharing one object of each kind
through every public method, four threads each playing one script on objects of their own,
and the GIL kept off by every import on a free-threaded interpreter.

A call on a shared object either gives a result that is right whatever the other threads
did before it, or a clean refusal of the type listed for it (an action another thread made
illegal is a ValueError). On a build with the GIL only the calls that release it (roll-outs,
BatchEnv steps, the search, PGN reading) run beside others, so those are made often."""

import copy
import functools
import io
import json
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time
import traceback

import numpy as np
import pytest

import vantor
from conftest import START_FEN
from vantor_gym import BatchEnv, Game, _native, expand_observations
from vantor_gym.fen import read_fen
from vantor_gym.notation import pgn, read_pgn, read_pgn_columns, read_pgn_games
from vantor_gym.search import Search
from vantor_gym.states import state_from_bytes, state_to_bytes

THREADS = 4
MIN_CALLS = 40  # calls each thread makes on a shared object however slow the machine is,
SECONDS = 1.5  # and it goes on until then
JOIN_SECONDS = 120
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
FENS = ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", START_FEN)


def in_threads(kind, body):
    """body(i) on THREADS threads started together; fails naming the kind when a thread
    raised or is still running after JOIN_SECONDS."""
    barrier, results, errors = threading.Barrier(THREADS), [None] * THREADS, []

    def run(i):
        try:
            barrier.wait(JOIN_SECONDS)
            results[i] = body(i)
        except BaseException:  # reported below, on the main thread
            errors.append(f"{kind}, thread {i}:\n{traceback.format_exc()}")

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(THREADS)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + JOIN_SECONDS
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    stuck = [i for i, t in enumerate(threads) if t.is_alive()]
    assert not stuck, f"{kind}: threads {stuck} still running after {JOIN_SECONDS} s (a deadlock or a hang)"
    assert not errors, "\n".join(errors)
    return results


def legal(env):
    return [i for i, v in enumerate(v for row in env.get_actions() for v in row) if v]


def legal_of(state):
    return [action for action, _, _ in _native.legal_moves(state)]


@functools.cache
def positions():
    """Snapshots (as bytes: a State is mutable) of positions from seeded random games under
    the standard rules that Game, BatchEnv and Search play by default."""
    rng, game, found = random.Random(5), Game(), []
    while len(found) < 8:
        game.reset()
        for _ in range(rng.randrange(4, 60)):
            actions = game.legal_actions().tolist()
            if not actions or game.step(rng.choice(actions))[1]:
                break
        else:
            found.append(state_to_bytes(game.save_state()))
    return tuple(found)


def pool():
    return [state_from_bytes(data) for data in positions()]


def check_state(state):
    """The fields of a snapshot belong to one position: disjoint piece sets whose unions are
    the occupancies, and a hash equal to that of its FEN fields read afresh. Returns a Vantor
    restored from it."""
    pieces, occupied = state.bitboards, state.occupancies
    assert occupied[0] == np.bitwise_or.reduce(pieces[:6]) and occupied[1] == np.bitwise_or.reduce(pieces[6:])
    assert occupied[2] == occupied[0] | occupied[1] and np.bitwise_count(pieces).sum() == np.bitwise_count(occupied[2])
    assert state.side in (0, 1) and 0 <= state.state_pos < 8
    restored, read = vantor.Vantor(), vantor.Vantor()
    restored.restore_state(state)
    read.parse_fen(_native.position_fields(state))
    assert restored.hash_state() == read.hash_state()
    return restored


def check_planes(planes, side=None):
    """Planes of one position: 0/1 piece planes, at most one piece a square, one side to move."""
    planes = np.asarray(planes).reshape(119, 8, 8)
    assert np.isin(planes[:12], (0, 1)).all() and planes[:12].sum(axis=0).max() <= 1
    assert (planes[112] == planes[112, 0, 0]).all() and planes[112, 0, 0] in (0, 1)
    assert side is None or planes[112, 0, 0] == side


def same_planes(ours, theirs):
    """Equal but for plane 113, which counts each game's own steps."""
    ours, theirs = np.asarray(ours).reshape(-1, 119, 64), np.asarray(theirs).reshape(-1, 119, 64)
    return np.array_equal(np.delete(ours, 113, axis=1), np.delete(theirs, 113, axis=1))


def call(weight=1, refusals=()):
    """Marks a method as a call the threads make, how often, and the exceptions that are a
    clean refusal of it when other threads changed the object in between."""

    def mark(method):
        method.weight, method.refusals = weight, refusals
        return method

    return mark


def hammer(kind, shared, closer=None):
    """Each thread makes calls of shared chosen at random (seeded per thread); with closer,
    thread 0 calls it early and every call may then be refused with RuntimeError."""
    calls = {name: f for name, f in vars(type(shared)).items() if hasattr(f, "refusals")}
    names = [name for name in sorted(calls) for _ in range(calls[name].weight)]
    made = set()

    def body(i):
        rng, mine, count = random.Random(1000 * i + 17), {}, 0
        deadline = time.monotonic() + (0 if closer else SECONDS)
        while count < MIN_CALLS or time.monotonic() < deadline:
            if closer and i == 0 and count == 5:
                closer()
            name = rng.choice(names)
            refusals = calls[name].refusals + ((RuntimeError,) if closer else ())
            try:
                calls[name](shared, rng, mine)
            except refusals:
                pass
            except BaseException as error:
                raise AssertionError(f"{kind}.{name} failed") from error
            made.add(name)
            count += 1

    in_threads(kind, body)
    assert made == set(calls) or closer, f"{kind}: never called {sorted(set(calls) - made)}"


def restore_result(state, stepped):
    """What Vantor.restore_state gives: black's planes are turned unless the last call was a reset."""
    env = vantor.Vantor()
    env.reset()
    if stepped:
        env.step(564)
    return env.restore_state(state)


class SharedVantor:
    """vantor.Vantor; roll_out runs with the GIL released, beside steps, loads and restores."""

    def __init__(self, tmp_path):
        self.env = vantor.Vantor()
        self.start = self.env.reset()
        self.restores = [(s, [restore_result(s, stepped) for stepped in (False, True)]) for s in pool()]
        # Any text loads some position; "8/8 x" one without kings.
        self.fens = [*FENS, "8/8 x", *(_native.position_fields(s) for s, _ in self.restores)]

    @call()
    def reset(self, rng, mine):
        side, obs, reward, done = self.env.reset()
        assert (side, reward, done) == (0, 0, 0) and same_planes(obs, self.start[1])

    @call(weight=3, refusals=(ValueError,))  # another thread moved first, or ended the game
    def step(self, rng, mine):
        if actions := legal(self.env):
            side, obs, reward, done = self.env.step(rng.choice(actions))
            check_planes(obs, side)
            assert reward in (-1, 0, 1) and done in (0, 1)

    @call()
    def refused(self, rng, mine):
        with pytest.raises(ValueError, match="Invalid action"):
            self.env.step(rng.choice((-1, 4672, 2**31 - 1)))
        for call_refused in (lambda: self.env.step(564.0), lambda: self.env.parse_fen(None),
                             lambda: self.env.restore_state("State")):
            with pytest.raises(TypeError):
                call_refused()
        with pytest.raises(RuntimeError):
            self.env.restore_state(None)

    @call()
    def reads(self, rng, mine):
        mask = np.array(self.env.get_actions())
        assert mask.shape == (73, 64) and np.isin(mask, (0, 1)).all() and mask.sum() <= 218
        assert 0 <= self.env.hash_state() < 2**64
        self.env.render()

    @call(weight=2)
    def parse_fen(self, rng, mine):
        self.env.parse_fen(rng.choice(self.fens))

    @call(weight=2)
    def save_state(self, rng, mine):
        check_state(self.env.save_state())

    @call(weight=2)
    def restore_state(self, rng, mine):
        state, expected = rng.choice(self.restores)
        side, obs, reward, done = self.env.restore_state(state)
        assert any((side, reward, done) == (e[0], *e[2:]) and same_planes(obs, e[1]) for e in expected)

    @call(weight=6)
    def roll_out(self, rng, mine):
        assert self.env.roll_out() in (-1, 0, 1)

    def left_whole(self):
        """The game left behind plays on exactly as a copy of it does."""
        copied, rng = check_state(self.env.save_state()), random.Random(1)
        for _ in range(40):
            actions = legal(self.env)
            assert actions == legal(copied) and self.env.hash_state() == copied.hash_state()
            if not actions:
                break
            ours, theirs = self.env.step(a := rng.choice(actions)), copied.step(a)
            assert ours[0] == theirs[0] and ours[2:] == theirs[2:] and same_planes(ours[1], theirs[1])
            if ours[3]:
                break


class SharedState:
    """vantor.State: every member read, every writable one written back unchanged, and the
    State handed to what reads one; so every thread must get the same answer every time."""

    WRITABLE = ("state_history", "state_pos", "total_move_count", "no_progress_count", "repetition_count",
                "move_index", "n_repititions", "prev_n_repititions")
    MEMBERS = (*WRITABLE, "side", "enpassant", "castle", "bitboards", "occupancies")

    def __init__(self, tmp_path):
        self.state = pool()[3]
        self.values = {name: getattr(self.state, name) for name in self.MEMBERS}
        self.expected = (repr(self.state), _native.legal_moves(self.state), _native.position_fields(self.state))
        self.data = state_to_bytes(self.state)
        self.restore = vantor.Vantor().restore_state(self.state)
        self.hash = check_state(self.state).hash_state()

    @call(weight=4)
    def read(self, rng, mine):
        name = rng.choice(self.MEMBERS)
        assert np.array_equal(getattr(self.state, name), self.values[name]) if name in ("bitboards", "occupancies") \
            else getattr(self.state, name) == self.values[name]

    @call(weight=3)
    def write(self, rng, mine):
        name = rng.choice(self.WRITABLE)
        setattr(self.state, name, copy.deepcopy(self.values[name]))

    @call()
    def write_refused(self, rng, mine):
        with pytest.raises(TypeError):
            setattr(self.state, rng.choice(self.WRITABLE), 1.5)
        with pytest.raises(AttributeError, match="has no setter"):
            self.state.side = 1

    @call()
    def texts(self, rng, mine):
        assert (repr(self.state), _native.legal_moves(self.state), _native.position_fields(self.state)) == self.expected
        assert state_to_bytes(self.state) == self.data

    @call(weight=2)
    def restored(self, rng, mine):
        if not mine:
            mine.update(env=vantor.Vantor(), game=Game())
        env, game = mine["env"], mine["game"]
        side, obs, reward, done = env.restore_state(self.state)
        assert (side, reward, done) == (self.restore[0], *self.restore[2:]) and same_planes(obs, self.restore[1])
        game.restore_state(self.state)
        assert env.hash_state() == game.hash_state() == self.hash

    def left_whole(self):
        assert state_to_bytes(self.state) == self.data


class SharedGame:
    """vantor_gym.Game, whose calls run attached, one at a time under its lock."""

    def __init__(self, tmp_path):
        self.game = Game(max_plies=80, start_fens=FENS[:2], seed=3)
        self.states = pool()

    @call()
    def reset(self, rng, mine):
        self.game.reset(rng.choice((None, *FENS)), seed=rng.choice((None, 7)))
        with pytest.raises(ValueError, match="invalid FEN"):
            self.game.reset("8/8 x")

    @call(weight=4, refusals=(ValueError,))  # illegal by now, or the game ended meanwhile
    def step(self, rng, mine):
        if len(actions := self.game.legal_actions()):
            reward, end = self.game.step(rng.choice(actions))
            assert reward in (-1, 0, 1) and end in (0, 1, 2)

    @call()
    def step_refused(self, rng, mine):
        with pytest.raises(ValueError):
            self.game.step(rng.choice((-1, 4672, 10**30)))
        with pytest.raises(TypeError):
            self.game.step(rng.choice((1.5, True, "564")))

    @call(weight=2)
    def listings(self, rng, mine):
        actions, mask = self.game.legal_actions(), self.game.action_mask()
        assert actions.dtype == np.int64 and len(actions) <= 218 and (np.diff(actions) > 0).all()
        assert not len(actions) or 0 <= actions[0] and actions[-1] < 4672
        assert mask.dtype == np.bool_ and mask.shape == (4672,) and mask.sum() <= 218

    @call(weight=2)
    def observation(self, rng, mine):
        dtype = rng.choice((np.int32, np.float32))
        out = mine.setdefault(dtype, np.zeros((119, 8, 8), dtype))
        assert self.game.observation(out) is out
        check_planes(out)
        # The game's own array, which every thread's call rewrites.
        assert self.game.observation().shape == (119, 8, 8)
        with pytest.raises(ValueError):
            self.game.observation(np.zeros((119, 8), np.int32))

    @call()
    def members(self, rng, mine):
        game = self.game
        assert game.side in (0, 1) and 0 <= game.plies <= 80 and game.fullmove_number >= 1
        assert game.is_over in (True, False) and game.illegal_action is False
        settings = (game.max_plies, game.illegal, game.orientation, len(game.start_fens))
        assert settings == (80, "raise", "side_to_move", 2)

    @call(weight=2)
    def snapshots(self, rng, mine):
        check_state(self.game.save_state())
        self.game.restore_state(rng.choice(self.states))
        with pytest.raises(TypeError):
            self.game.restore_state(None)

    @call()
    def texts(self, rng, mine):
        assert 0 <= self.game.hash_state() < 2**64
        read_fen(self.game.fen())
        with pytest.raises(TypeError, match="cannot be copied"):
            copy.copy(self.game)

    def left_whole(self):
        state = self.game.save_state()
        copied = Game()
        copied.restore_state(state)
        assert self.game.hash_state() == copied.hash_state() == check_state(state).hash_state()
        assert np.array_equal(self.game.legal_actions(), copied.legal_actions())
        assert same_planes(self.game.observation(), copied.observation())


def check_rows(observations, rewards, terminated, truncated, info):
    for k, planes in enumerate(observations):
        check_planes(planes, info["side"][k])
        mask = info["action_mask"][k]
        assert mask.sum() <= 218 and (mask.any() or terminated[k]) and (terminated[k] or rewards[k] == 0)
    assert not info["illegal"].any()


class SharedBatch:
    """vantor_gym.BatchEnv: its steps, resets and roll-outs release the GIL, its own two
    worker threads play; at the end one thread closes it while the others go on."""

    def __init__(self, tmp_path):
        self.games = BatchEnv(4, threads=2, max_plies=60, seed=11)
        self.games.reset()
        reference = BatchEnv(1, threads=1)
        self.restores = [(s, reference.restore_state(0, s)) for s in pool()]
        self.starts = {fen: reference.reset(fens=[fen]) for fen in FENS}

    def actions(self, rng, indices):
        return [rng.choice(legal_of(self.games.save_state(i)) or [0]) for i in indices]

    @call(weight=5, refusals=(ValueError,))  # an action made illegal meanwhile: nothing changed
    def step(self, rng, mine):
        indices = None if rng.random() < 0.5 else rng.sample(range(4), rng.randrange(1, 5))
        out = mine.setdefault(len(indices or range(4)), {"rewards": np.zeros(len(indices or range(4)), np.int8)})
        result = self.games.step(self.actions(rng, indices or range(4)), out=rng.choice((None, out)), indices=indices)
        check_rows(*result)

    @call()
    def step_refused(self, rng, mine):
        for actions, indices, error in (([564] * 3, None, ValueError), ([1.0] * 4, None, TypeError),
                                        ([564, 564], [0, 0], ValueError), ([564], [4], IndexError)):
            with pytest.raises(error):
                self.games.step(actions, indices=indices)

    @call(weight=2)
    def reset(self, rng, mine):
        indices = rng.sample(range(4), rng.randrange(1, 5))
        fens = [rng.choice(FENS) for _ in indices]
        observations, info = self.games.reset(indices, fens)
        for k, fen in enumerate(fens):
            planes, expected = self.starts[fen]
            assert same_planes(observations[k], planes)
            assert np.array_equal(info["action_mask"][k], expected["action_mask"][0])
        observations, info = self.games.reset(indices, seed=rng.choice((None, 5)))
        assert (info["side"] == 0).all() and (info["action_mask"].sum(axis=1) == 20).all()
        with pytest.raises(ValueError):
            self.games.reset([0], fens=["8/8 x"])

    @call(weight=3)
    def roll_out(self, rng, mine):
        rewards = self.games.roll_out(rng.sample(range(4), rng.randrange(0, 5)))
        assert rewards.dtype == np.int8 and np.isin(rewards, (-1, 0, 1)).all()

    @call(weight=2)
    def snapshots(self, rng, mine):
        check_state(self.games.save_state(rng.randrange(4)))
        state, (planes, info) = rng.choice(self.restores)
        observation, got = self.games.restore_state(rng.randrange(4), state)
        assert same_planes(observation, planes) and got["side"] == info["side"]
        assert np.array_equal(got["action_mask"], info["action_mask"])
        with pytest.raises(IndexError):
            self.games.save_state(4)
        with pytest.raises(TypeError):
            self.games.restore_state(0, "State")

    @call()
    def members(self, rng, mine):
        games = self.games
        assert games.hash_state().dtype == np.uint64 and (games.plies() <= 60).all() and games.fullmove_number(3) >= 1
        assert (games.threads, games.num_envs) == (2, 4)

    def left_whole(self):
        hashes = self.games.hash_state()
        assert not self.games.closed
        for i in range(4):
            assert check_state(self.games.save_state(i)).hash_state() == hashes[i]
        hammer("BatchEnv while closing", self, closer=self.games.close)
        assert self.games.closed
        with pytest.raises(RuntimeError, match="closed"):
            self.games.step([0] * 4)


def uniform(observations, masks):
    return np.zeros((len(masks), 4672), np.float32), np.zeros(len(masks))


class SharedSearch:
    """vantor_gym.search.Search, runs taking turns, over States and over a BatchEnv that other
    threads step meanwhile (which the run refuses with RuntimeError)."""

    def __init__(self, tmp_path):
        self.search = Search(2, uniform, simulations=12, leaves_per_game=2, threads=2, seed=5)
        self.roots = BatchEnv(2, threads=1, seed=2)
        self.roots.reset()
        self.states = [(s, set(legal_of(s))) for s in pool()]

    @call(weight=3)
    def run(self, rng, mine):
        roots = rng.sample(self.states, 2)
        result = self.search.run([s for s, _ in roots], temperature=rng.choice((0.0, 1.0)))
        for k, (_, actions) in enumerate(roots):
            visited = set(np.flatnonzero(result.visits[k]))
            assert result.actions[k] in visited and visited <= actions and -1 <= result.values[k] <= 1
            assert np.allclose(result.policies[k], result.visits[k] / result.visits[k].sum())

    @call(weight=2, refusals=(RuntimeError,))  # its roots were stepped by another thread
    def run_over_games(self, rng, mine):
        result = self.search.run(self.roots)
        assert all(result.visits[k, a] > 0 for k, a in enumerate(result.actions) if a >= 0)

    @call(weight=2, refusals=(ValueError,))
    def step_roots(self, rng, mine):
        actions = [(legal_of(self.roots.save_state(i)) or [0])[-1] for i in range(2)]
        self.roots.step(actions)

    @call()
    def advance(self, rng, mine):
        self.search.advance([rng.choice(sorted(actions)) for _, actions in rng.sample(self.states, 2)])
        with pytest.raises(ValueError):
            self.search.advance([0])

    @call()
    def run_refused(self, rng, mine):
        with pytest.raises(TypeError):
            self.search.run("roots")
        with pytest.raises(ValueError):
            self.search.run([self.states[0][0]])
        with pytest.raises(ValueError):
            self.search.run([s for s, _ in self.states[:2]], temperature=-1.0)

    def left_whole(self):
        self.run(random.Random(0), {})


def scripted_actions(seed, plies=60, fen=None):
    """A game by fixed rules, the same wherever it is played."""
    game, actions = Game(fen), []
    for ply in range(plies):
        legal_now = game.legal_actions()
        actions.append(int(legal_now[(ply * 7 + seed) % len(legal_now)]))
        if game.step(actions[-1])[1]:
            break
    return actions


class SharedPgn:
    """The PGN readers over one text, one bytes object, one file and one PgnColumns: pure
    reads, the bulk reader's native pass run with the GIL released."""

    def __init__(self, tmp_path):
        texts = [pgn(scripted_actions(seed)) for seed in range(40)]
        texts[7] = pgn(scripted_actions(1, 30, FENS[0]), start_fen=FENS[0])  # read by the one-game reader
        texts[9] = '[Event "variations"]\n\n1. e4 {best} (1. d4 d5) e5 $1 2. Nf3 ; a comment\n*\n'
        texts[20] = '[Event "broken"]\n\n1. e4 e5 2. Ke8 *\n'
        self.text = "\n".join(texts)
        self.data = self.text.encode()
        self.path = tmp_path / "games.pgn"
        self.path.write_bytes(self.data)
        self.expected_columns = read_pgn_columns(self.data, on_error="skip")
        self.expected_games = list(read_pgn_games(io.StringIO(self.text), on_error="skip"))
        with pytest.raises(ValueError) as refusal:
            list(read_pgn_games(self.data))
        self.refusal, self.written, self.one_text = str(refusal.value), texts[3], texts[9]
        self.one = read_pgn(texts[9])
        assert len(self.expected_games) == 39 and self.expected_columns.skipped[0][0] == 21

    @call(weight=3)
    def columns(self, rng, mine):
        source = rng.choice((self.data, self.text, self.path))
        got = read_pgn_columns(io.StringIO(source) if isinstance(source, str) else source, on_error="skip")
        want = self.expected_columns
        for name in ("actions", "offsets", "results", "playable"):
            assert np.array_equal(getattr(got, name), getattr(want, name))
        assert (got.result_texts, got.start_fens, got.headers, got.skipped) == \
            (want.result_texts, want.start_fens, want.headers, want.skipped)

    @call(weight=2)
    def games(self, rng, mine):
        assert list(read_pgn_games(rng.choice((self.data, self.path)), on_error="skip")) == self.expected_games
        with pytest.raises(ValueError) as refusal:
            list(read_pgn_games(io.StringIO(self.text)))
        assert str(refusal.value) == self.refusal

    @call()
    def one_game(self, rng, mine):
        assert read_pgn(self.one_text) == self.one
        assert pgn(scripted_actions(3)) == self.written

    @call()
    def columns_game(self, rng, mine):
        games, columns = self.expected_games, self.expected_columns
        index = rng.randrange(-len(games), len(games))
        assert columns.game(index) == games[index]
        with pytest.raises(IndexError):
            columns.game(len(games))

    @call()
    def refused(self, rng, mine):
        for source, on_error, error in ((self.data, "never", ValueError), (42, "raise", TypeError)):
            with pytest.raises(error):
                read_pgn_columns(source, on_error=on_error)
        with pytest.raises(TypeError):
            read_pgn(self.data)

    def left_whole(self):
        assert self.path.read_bytes() == self.data == self.text.encode()


class SharedCompact:
    """Compact expansion of one read-only array of rows, and of the rows a shared compact
    BatchEnv writes while other threads step it."""

    def __init__(self, tmp_path):
        self.games = BatchEnv(3, threads=2, seed=4, compact=True)
        self.start = expand_observations(self.games.reset()[0])
        rows, planes = BatchEnv(1, threads=1, compact=True), BatchEnv(1, threads=1)
        self.states = pool()
        self.rows = np.stack([rows.restore_state(0, s)[0] for s in self.states])
        self.planes = np.stack([planes.restore_state(0, s)[0] for s in self.states])
        self.rows.flags.writeable = False

    @call(weight=3)
    def expand(self, rng, mine):
        assert np.array_equal(expand_observations(self.rows), self.planes)
        out = mine.setdefault("out", np.zeros(self.planes.shape, np.float32))
        assert expand_observations(self.rows, out=out) is out and np.array_equal(out, self.planes)
        k = rng.randrange(len(self.rows))
        assert np.array_equal(expand_observations(self.rows[k]), self.planes[k])

    @call()
    def expand_refused(self, rng, mine):
        bad = self.rows.copy()
        bad[0, 96 + 16 // 2] = 5  # a side to move of 5
        for rows, match in ((bad, "side to move"), (self.rows[:, :100], "shape"), (self.rows.astype(float), "uint64")):
            with pytest.raises(ValueError, match=match):
                expand_observations(rows)

    @call(weight=2)
    def restore(self, rng, mine):
        k = rng.randrange(len(self.states))
        row, info = self.games.restore_state(rng.randrange(3), self.states[k])
        assert same_planes(expand_observations(row), self.planes[k])

    @call(weight=3, refusals=(ValueError,))
    def step(self, rng, mine):
        actions = [(legal_of(self.games.save_state(i)) or [0])[0] for i in range(3)]
        observations, rewards, terminated, truncated, info = self.games.step(actions)
        check_rows(expand_observations(observations), rewards, terminated, truncated, info)

    @call()
    def reset(self, rng, mine):
        assert same_planes(expand_observations(self.games.reset()[0]), self.start)

    def left_whole(self):
        for i in range(3):
            check_state(self.games.save_state(i))


SHARED = [SharedVantor, SharedState, SharedGame, SharedBatch, SharedSearch, SharedPgn, SharedCompact]


@pytest.mark.parametrize("kind", SHARED, ids=[kind.__name__[6:] for kind in SHARED])
def test_threads_sharing_one_object_get_right_answers_or_clean_refusals(kind, tmp_path):
    shared = kind(tmp_path)
    hammer(kind.__name__[6:], shared)
    shared.left_whole()


def own_vantor(seed):
    env, trace = vantor.Vantor(), []
    env.reset()
    for ply in range(80):
        actions = legal(env)
        if not actions:
            break
        side, obs, reward, done = env.step(actions[(ply * 7 + seed) % len(actions)])
        # Plane 113 counts the board's own steps, the roll-out's (not seeded) among them.
        trace.append((env.hash_state(), side, reward, done, sum(map(sum, obs[:113] + obs[114:]))))
        if ply == 30:
            saved = env.save_state()
            env.roll_out()  # not seeded, so only the restore after it is traced
            env.restore_state(saved)
        if done:
            break
    return trace


def own_state(seed):
    trace = []
    for data in positions()[seed:] + positions()[:seed]:
        state = state_from_bytes(data)
        state.no_progress_count += seed
        trace.append((repr(state), _native.legal_moves(state), _native.position_fields(state),
                      state_to_bytes(state), vantor.Vantor().restore_state(state)[1]))
    return trace


def own_game(seed):
    game, trace = Game(max_plies=50, start_fens=FENS[:2], seed=seed), []
    for ply in range(150):
        actions = game.legal_actions()
        reward, end = game.step(actions[(ply * 7 + seed) % len(actions)])
        trace.append((reward, end, game.hash_state(), int(game.observation().sum()), game.fen()))
        if end:
            game.reset()
    return trace


def by_rule(masks, ply, seed):
    """An action for each game by fixed rules (any for a game that ended: it starts again)."""
    return [legal_now[(ply * 7 + seed) % len(legal_now)] if len(legal_now := np.flatnonzero(m)) else 0 for m in masks]


def own_batch(seed):
    games, trace = BatchEnv(3, threads=2, max_plies=40, seed=seed), []
    observations, info = games.reset()
    for ply in range(90):
        observations, rewards, terminated, truncated, info = games.step(by_rule(info["action_mask"], ply, seed))
        trace.append((games.hash_state().tolist(), rewards.tolist(), terminated.tolist(), int(observations.sum())))
        if ply % 30 == 29 and not (terminated | truncated).any():
            saved = [games.save_state(i) for i in range(3)]
            trace.append(games.roll_out([0, 1]).tolist())  # seeded: the same everywhere
            for i, state in enumerate(saved):
                games.restore_state(i, state)
    return trace


def own_search(seed):
    search, trace = Search(2, "roll_out", simulations=24, threads=2, seed=seed), []
    game = [Game(), Game(FENS[0])]
    for _ in range(4):
        result = search.run([g.save_state() for g in game])
        trace.append((result.visits.tolist(), result.actions.tolist(), result.values.tolist()))
        search.advance(result.actions)
        for g, action in zip(game, result.actions):
            if not g.is_over:
                g.step(action)
    return trace


def own_pgn(seed):
    texts = [pgn(scripted_actions(seed + k)) for k in range(5)]
    columns = read_pgn_columns(io.StringIO("\n".join(texts)))
    return [read_pgn(text).actions for text in texts], columns.actions.tolist(), columns.offsets.tolist()


def own_compact(seed):
    games, trace = BatchEnv(2, threads=2, seed=seed, compact=True), []
    rows, info = games.reset()
    for ply in range(60):
        rows, _, _, _, info = games.step(by_rule(info["action_mask"], ply, seed))
        trace.append(expand_observations(rows).sum(axis=(2, 3)).tolist())
    return trace


OWN = [own_vantor, own_state, own_game, own_batch, own_search, own_pgn, own_compact]


@pytest.mark.parametrize("script", OWN, ids=[script.__name__[4:] for script in OWN])
def test_threads_with_objects_of_their_own_get_what_one_thread_gets(script):
    expected = [script(seed) for seed in range(THREADS)]
    assert in_threads(script.__name__[4:], script) == expected


# Imports vantor, then vantor_gym and each of its modules, checking after each import that
# the GIL is still off, and after PyTorch's first optimiser step; prints what it found as JSON. vantor_gym.__main__ runs the command
# when imported, so it is left out (vantor_gym.cli, what it runs, is imported).
GIL_PROBE = """
import importlib, json, pkgutil, sys, warnings
report = {"on_at_start": sys._is_gil_enabled(), "imported": [], "skipped": {}, "on_after": None}
names = ["vantor", "vantor_gym"]
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for name in names:
        before = set(sys.modules)
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as error:
            if (error.name or "vantor").partition(".")[0] in ("vantor", "vantor_gym"):
                raise
            report["skipped"][name] = error.name
            continue
        report["imported"].append(name)
        if hasattr(module, "__path__"):
            found = pkgutil.iter_modules(module.__path__, name + ".")
            names += [m.name for m in found if m.name != "vantor_gym.__main__"]
        if sys._is_gil_enabled():
            report["on_after"] = name
            ours = ("vantor", "vantor_gym", *sys.stdlib_module_names)
            report["loaded"] = [m for m in sys.modules if m not in before and m.partition(".")[0] not in ours]
            break
    if report["on_after"] is None and "torch" in sys.modules:
        # PyTorch loads more at its first optimiser step (torch._dynamo, and triton if installed).
        import torch
        before = set(sys.modules)
        layer = torch.nn.Linear(2, 1)
        optimiser = torch.optim.Adam(layer.parameters())
        layer(torch.zeros(1, 2)).sum().backward()
        optimiser.step()
        if sys._is_gil_enabled():
            report["on_after"] = "torch's first optimiser step"
            report["loaded"] = sorted({m.partition(".")[0] for m in sys.modules if m not in before})
report["warnings"] = [str(w.message) for w in caught if "GIL" in str(w.message)]
tops = {m.partition(".")[0] for m in sys.modules}
report["third_party"] = sorted(t for t in tops - {*sys.stdlib_module_names, "vantor", "vantor_gym"} if t[:2] != "__")
print(json.dumps(report))
"""


def gil_probe(prelude=""):
    """The probe's report, in a fresh interpreter that finds the modules this one imported
    and whose GIL no setting turns on or off."""
    import vantor_gym

    environment = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    paths = [os.path.dirname(vantor.__file__), *(os.path.dirname(p) for p in vantor_gym.__path__)]
    environment["PYTHONPATH"] = os.pathsep.join([*paths, *filter(None, [os.environ.get("PYTHONPATH")])])
    result = subprocess.run([sys.executable, "-c", prelude + GIL_PROBE], capture_output=True, text=True,
                            env=environment, timeout=600)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def gil_fault(report):
    """What turned the GIL on, in words, or None."""
    if report["on_at_start"]:
        return "the GIL is on in a fresh interpreter before any import"
    if report["on_after"]:
        return (f"the GIL is on after importing {report['on_after']}, which loaded {report['loaded']}; "
                f"CPython said: {report['warnings']}")
    return None


@pytest.mark.skipif(not FREE_THREADED, reason="a GIL build always has the GIL on: this checks python3.14t")
def test_importing_every_module_and_what_they_load_keeps_the_gil_off():
    report = gil_probe()
    assert gil_fault(report) is None, gil_fault(report)
    print("left out for a missing package:", report["skipped"], "; third-party modules:", report["third_party"])
    assert {"vantor", "vantor_gym", "vantor_gym._native", "vantor_gym.search", "vantor_gym.notation"} <= \
        set(report["imported"])


def test_the_gil_probe_names_the_import_that_turned_it_on():
    # An interpreter whose GIL turns on when NumPy is loaded: vantor alone loads no NumPy.
    report = gil_probe("import sys\nsys._is_gil_enabled = lambda: 'numpy' in sys.modules\n")
    assert report["imported"] == ["vantor", "vantor_gym"] and report["on_after"] == "vantor_gym"
    assert "numpy" in report["loaded"] and "after importing vantor_gym, which loaded [" in gil_fault(report)


def test_two_searches_over_one_batch_in_two_threads_keep_their_reservations():
    games = BatchEnv(2, threads=1, seed=1)
    games.reset()
    first_in, second_in, first_done, second_done = (threading.Event() for _ in range(4))
    errors = []

    def evaluator(observations, masks):
        if threading.current_thread() is worker:
            first_in.set()
            assert second_in.wait(60)
        elif not second_in.is_set():
            second_in.set()
            assert first_done.wait(60)
            with pytest.raises(RuntimeError, match="while a Search"):  # this thread's search still runs
                games.reset()
        return uniform(observations, masks)

    def first():
        try:
            Search(2, evaluator, simulations=2, threads=1).run(games)
            first_done.set()
            assert second_done.wait(60)
            games.reset()  # this thread's search ended before the other's
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    worker = threading.Thread(target=first, daemon=True)
    worker.start()
    try:
        assert first_in.wait(60)
        Search(2, evaluator, simulations=2, threads=1).run(games)
    finally:
        second_done.set()
        worker.join(60)
    assert not errors, errors


ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BROKEN_BUILDS = {
    "fails": "raise ImportError('a broken build')\n",
    "hangs": "import time\ntime.sleep(120)\n",
    "babbles": "import os, sys\nprint('not json')\nsys.stdout.flush()\nos._exit(0)\n",
}


@pytest.fixture
def tools(monkeypatch):
    """The benchmark and the main job, loaded as modules, their probes quick to give up."""
    import importlib.util

    loaded = {}
    before = set(sys.modules)
    for name, path in (("bench", "bench/bench.py"), ("main_job", "examples/main.py")):
        monkeypatch.syspath_prepend(os.path.join(ROOT, os.path.dirname(path)))
        spec = importlib.util.spec_from_file_location(f"_vantor_{name}", os.path.join(ROOT, path))
        loaded[name] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(loaded[name])
    monkeypatch.setattr(loaded["bench"], "FT_CHECK_TIMEOUT", 3)
    monkeypatch.setattr(loaded["main_job"], "PROBE_TIMEOUT", 3)
    yield loaded
    for name in set(sys.modules) - before:  # the examples' own helpers, as top-level modules
        del sys.modules[name]


@pytest.mark.parametrize("broken", BROKEN_BUILDS)
def test_a_broken_free_threaded_build_is_one_line_from_the_benchmark_and_the_main_job(tools, broken, tmp_path,
                                                                                       monkeypatch):
    # This interpreter stands in for python3.14t: the build's module is what breaks.
    for module in tools.values():
        monkeypatch.setattr(module.shutil, "which", lambda name: sys.executable)
    modules = tmp_path / "build-ft" / "python"
    modules.mkdir(parents=True)
    (modules / "vantor.py").write_text(BROKEN_BUILDS[broken])
    with pytest.raises(RuntimeError) as bench_error:
        tools["bench"].free_threaded_interpreter(str(tmp_path / "build-ft"))
    built = type("Built", (), {"__file__": str(tmp_path / "build" / "python" / "vantor.so")})
    monkeypatch.setattr(tools["main_job"], "vantor", built)
    with pytest.raises(RuntimeError) as main_error:
        tools["main_job"].free_threaded_threads(0.01)
    for error in (bench_error.value, main_error.value):
        assert str(modules) in str(error) and "\n" not in str(error), error
        assert error.__cause__ is None and error.__suppress_context__


@pytest.mark.parametrize("interpreter", ["no-such-python3.14t", sys.executable])
def test_make_runs_the_free_threaded_suite_only_on_a_free_threaded_interpreter(interpreter):
    import shutil

    if shutil.which("make") is None:
        pytest.skip("no make here")
    done = subprocess.run(["make", "-n", "--no-print-directory", f"PYTHON={sys.executable}", "BUILD=elsewhere",
                           f"FT_PYTHON={interpreter}", "test-ft"], cwd=ROOT, capture_output=True, text=True, check=True)
    runs = f"PYTHONPATH=elsewhere-ft/python:python {interpreter} -m pytest" in done.stdout
    assert runs == (interpreter == sys.executable and FREE_THREADED), done.stdout
    assert runs or "test-ft: NOT RUN: no free-threaded interpreter" in done.stdout, done.stdout
