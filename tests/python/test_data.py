"""vantor_gym.data: the positions of a game dataset as PyTorch batches, against BatchEnv
replaying the same games one by one; the split over workers and ranks, the orders, resume
and bad input."""

import hashlib
import json
import os
import warnings

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from vantor_gym import BatchEnv, _native  # noqa: E402
from vantor_gym.compact import COMPACT_WORDS  # noqa: E402
from vantor_gym.data import PositionDataset, legal_mask  # noqa: E402
from vantor_gym.dataset import SKIP_REASONS, build_dataset, schema, shard_name  # noqa: E402
from vantor_gym.notation import pgn, uci_to_action  # noqa: E402

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
PROMOTIONS = "4k3/P7/8/8/8/3K4/7p/8 w - - 0 1"
ROOK_ENDING = "7k/8/8/8/8/8/8/R6K w - - 148 80"
KNIGHTS = ["g1f3", "g8f6", "f3g1", "f6g8"]


def actions_of(uci, fen=None):
    """The actions of moves in UCI text from fen (or the initial position), each legal; the
    clock does not change them, and starts at 0 so that the moves are all played."""
    env = BatchEnv(1, threads=1, rules="automatic", autoreset="disabled")
    env.reset(fens=None if fen is None else [fen.rsplit(maxsplit=2)[0] + " 0 1"])
    actions = []
    for move in uci:
        actions.append(uci_to_action((env, 0), move))
        env.step(np.array([actions[-1]]))
    return actions


def random_games(count, seed, fens=(None,), plies=(10, 90)):
    """Random legal games of a few dozen plies from the given starts, in turn."""
    rng = np.random.default_rng(seed)
    games = []
    for number in range(count):
        fen = fens[number % len(fens)]
        env = BatchEnv(1, threads=1, rules="automatic", autoreset="disabled")
        _, info = env.reset(fens=None if fen is None else [fen])
        actions, result = [], int(rng.integers(-1, 2))
        for _ in range(rng.integers(*plies)):
            actions.append(int(rng.choice(np.flatnonzero(info["action_mask"][0]))))
            _, reward, terminated, _, info = env.step(np.array([actions[-1]]))
            if terminated[0]:
                result = int(reward[0]) or result  # a mate decides the game
                break
        games.append(game(actions, fen, result=result, elos=(int(rng.integers(1000, 2800)), None)))
    return games


def game(moves, fen=None, result=1, elos=(1500, 1600)):
    return {"moves": moves, "start_fen": fen, "result": result, "white_elo": elos[0], "black_elo": elos[1]}


def write_dataset(folder, shards):
    """A dataset directory as build_dataset lays it out, of shards of the given games (the
    tests' own columns, such as illegal moves no build would keep), one source."""
    os.makedirs(folder, exist_ok=True)
    entries, number = [], 1
    for index, games in enumerate(shards):
        columns = {name: [] for name in schema().names}
        for g in games:
            columns["game"].append(number)
            number += 1
            for name in ("moves", "start_fen", "result", "white_elo", "black_elo"):
                columns[name].append(g[name])
            for name in ("time_control", "event", "date", "termination", "eco", "white", "black"):
                columns[name].append(None)
            columns["headers"].append([])
        path = os.path.join(folder, shard_name(0, index))
        pq.write_table(pa.table(columns, schema=schema()), path)
        with open(path, "rb") as file:
            data = file.read()
        entries.append({"bytes": len(data), "file": shard_name(0, index), "games": len(games),
                        "plies": sum(len(g["moves"]) for g in games), "sha256": hashlib.sha256(data).hexdigest()})
    games = sum(entry["games"] for entry in entries)
    plies = sum(entry["plies"] for entry in entries)
    skipped = dict.fromkeys(SKIP_REASONS, 0)
    source = {"path": "games.pgn", "bytes": 0, "sha256": "0" * 64, "games_read": games, "games_kept": games,
              "skipped": skipped, "shards": entries, "plies": plies}
    totals = {"bytes": sum(e["bytes"] for e in entries), "games_kept": games, "games_read": games, "plies": plies,
              "shards": len(entries), "skipped": skipped, "sources": 1}
    manifest = {"format": "vantor-games", "version": 1, "options": {}, "sources": [source], "totals": totals}
    with open(os.path.join(folder, "manifest.json"), "w") as file:
        json.dump(manifest, file)
    return folder


def reference(games, undecided=False):
    """Each position of the games, as BatchEnv(compact=True, rules="automatic") replays them
    one by one: (row, legal words, action, value, ratings, ply) tuples in order."""
    positions = []
    for g in games:
        if g["result"] is None and not undecided:
            continue
        env = BatchEnv(1, threads=1, compact=True, rules="automatic", autoreset="disabled")
        try:
            rows, info = env.reset(fens=None if g["start_fen"] is None else [g["start_fen"]])
        except ValueError:
            continue  # an unplayable start
        mine = []
        for ply, action in enumerate(g["moves"]):
            mask = info["action_mask"][0]
            if not mask[action] if 0 <= action < 4672 else True:
                mine = []  # an illegal move: the game gives nothing
                break
            side = int(info["side"][0])
            result = np.nan if g["result"] is None else g["result"] * (1 - 2 * side)
            elos = [-1 if e is None else e for e in (g["white_elo"], g["black_elo"])]
            words = np.packbits(mask, bitorder="little").view(np.uint64)
            mine.append((rows[0].tobytes(), words.tobytes(), action, result, (elos[side], elos[1 - side]), ply))
            rows, reward, terminated, _, info = env.step(np.array([action]))
            if terminated[0]:
                if reward[0] and g["result"] is not None and reward[0] != g["result"]:
                    mine = []  # the result contradicts the mate
                break
        positions += mine
    return positions


def flattened(batches):
    """The positions of batches as reference() gives them."""
    out = []
    for b in batches:
        for k in range(len(b["action"])):
            value = float(b["value"][k])
            out.append((b["observations"][k].numpy().tobytes(), b["legal"][k].numpy().tobytes(),
                        int(b["action"][k]), value, tuple(int(r) for r in b["ratings"][k]), int(b["ply"][k])))
    return out


def key(position):
    """A position's tuple with NaN made comparable, for sorting and equality."""
    return position[:3] + (("nan",) if position[3] != position[3] else (position[3],)) + position[4:]


@pytest.fixture(scope="module")
def special(tmp_path_factory):
    """Games whose replay has something to show: FEN starts, promotions, castling, en
    passant, a fivefold repetition and seventy-five moves that end a recorded game early,
    a result against the mate played, an illegal move, unplayable starts, a game without
    a result."""
    # The knights come home four times: the fifth occurrence of the initial position, played past.
    fivefold = actions_of(KNIGHTS) * 4 + actions_of(["e2e4", "e7e5", "d2d4"])
    games = [
        game(actions_of(["e2e4", "d7d5", "e4e5", "f7f5", "e5f6", "g8f6", "g1f3", "e7e6", "f1e2", "f8d6",
                         "e1g1", "e8g8"]), result=0),
        game(actions_of(["a7a8n", "h2h1q", "a8c7", "e8d7", "c7e6"], PROMOTIONS), PROMOTIONS, result=-1),
        game(actions_of(["e1c1", "e8g8", "a2a4", "b4a3"], KIWIPETE), KIWIPETE, result=1, elos=(None, 2100)),
        game(fivefold, result=0),
        game(actions_of(["a1a2", "h8g8", "a2a3", "g8h8"], ROOK_ENDING), ROOK_ENDING, result=0),
        game(actions_of(["f2f3", "e7e5", "g2g4", "d8h4"]), result=1),  # black mates, but white won?
        game(actions_of(["e2e4"]) + [64 * 56 + 20, 0], result=1),
        game([0, 1], "8/8/8/8/8/8/8/K6k w - - 0 1", result=0),
        game([0], "not a fen", result=0),
        game(actions_of(["d2d4", "d7d5"]), result=None),
        game([], result=1),
    ]
    return write_dataset(tmp_path_factory.mktemp("special") / "games", [games[:6], games[6:]]), games


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    """Some 80 random games in shards of uneven sizes."""
    games = random_games(80, seed=1, fens=(None, KIWIPETE, None, PROMOTIONS))
    return write_dataset(tmp_path_factory.mktemp("many") / "games", [games[:9], games[9:40], games[40:41],
                                                                     games[41:]]), games


def test_replay_gives_batchenv_rows_for_hundreds_of_games():
    """The native replay writes exactly BatchEnv's rows and masks, game for game, FEN starts included."""
    games = random_games(300, seed=7, fens=(None, KIWIPETE, PROMOTIONS, ROOK_ENDING), plies=(1, 120))
    lengths = [len(g["moves"]) for g in games]
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    fens = [g["start_fen"] for g in games]
    starts = sorted({f for f in fens if f})
    index = np.array([-1 if f is None else starts.index(f) for f in fens], np.int32)
    fields = [(" ".join(f.split()[:4]), int(f.split()[4]), int(f.split()[5])) for f in starts]
    total = int(offsets[-1])
    out = {"compact": np.empty((total, COMPACT_WORDS), np.uint64), "legal": np.empty((total, 73), np.uint64),
           "positions": np.empty(len(games), np.int32), "status": np.empty(len(games), np.int8)}
    actions = np.concatenate([np.array(g["moves"], np.int16) for g in games])
    _native.replay_games(actions, offsets, fields, index, "automatic", 2, out)
    assert (out["status"] == 0).all() and (out["positions"] == lengths).all()
    expected = [p for g in games for p in reference([dict(g, result=None)], undecided=True)]
    assert [r.tobytes() for r in out["compact"]] == [p[0] for p in expected]
    assert [r.tobytes() for r in out["legal"]] == [p[1] for p in expected]


def test_positions_are_batchenv_positions_in_stored_order(special):
    folder, games = special
    with pytest.warns(UserWarning, match="skipped 4 games") as warned:
        batches = list(PositionDataset(folder, batch_size=5, shuffle=False))
    for reason in ("2 from a start the replay cannot play (first: game 8 of shard 1)",
                   "1 with an illegal move (first: game 7 of shard 1)",
                   "1 whose result contradicts the mate played (first: game 6 of shard 0)"):
        assert reason in str(warned[0].message)
    assert flattened(batches) == reference(games)
    assert [len(b["action"]) for b in batches][:-1] == [5] * (len(batches) - 1)
    plies = [p[5] for p in flattened(batches)]
    # The knights' game ends at the fifth occurrence, the rook's at the clock of 150.
    assert plies[-6:] == [12, 13, 14, 15, 0, 1] and 16 not in plies
    b = batches[0]
    assert (b["observations"].dtype, b["legal"].dtype, b["action"].dtype, b["value"].dtype, b["ratings"].dtype,
            b["ply"].dtype) == (torch.int64, torch.int64, torch.int64, torch.float32, torch.int16, torch.int32)


def test_undecided_games_come_with_nan_values_when_asked(special):
    folder, games = special
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        batches = list(PositionDataset(folder, batch_size=7, undecided=True, seed=3))
    assert sorted(map(key, flattened(batches))) == sorted(map(key, reference(games, undecided=True)))
    assert sum(np.isnan(b["value"].numpy()).sum() for b in batches) == 2


def test_planes_and_the_mask_helper_expand_what_the_rows_hold(many):
    folder, _ = many
    rows = next(iter(PositionDataset(folder, batch_size=64, seed=5)))
    planes = next(iter(PositionDataset(folder, batch_size=64, seed=5, planes=True)))
    from vantor_gym.compact import expand_observations_torch

    assert planes["observations"].shape == (64, 119, 8, 8) and planes["observations"].dtype == torch.float32
    assert torch.equal(planes["observations"], expand_observations_torch(rows["observations"], torch.float32))
    mask = legal_mask(rows["legal"])
    assert mask.shape == (64, 4672) and mask.dtype == torch.bool
    assert mask[torch.arange(64), rows["action"]].all()
    assert np.array_equal(legal_mask(rows["legal"].numpy()), mask.numpy())


def loader(dataset, workers, context="fork"):
    return torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=workers,
                                       multiprocessing_context=context if workers else None)


def epoch(folder, workers, world, seed=0, number=0, context="fork", **options):
    """Every rank's batches of one epoch, each rank through a DataLoader of ``workers``."""
    ranks = []
    for rank in range(world):
        dataset = PositionDataset(folder, seed=seed, rank=rank, world_size=world, **options)
        dataset.set_epoch(number)
        ranks.append(list(loader(dataset, workers, context)))
    return ranks


@pytest.mark.filterwarnings("ignore:This DataLoader will create")
@pytest.mark.parametrize("workers, world, context", [(0, 1, None), (2, 1, "fork"), (0, 3, None), (2, 2, "fork"),
                                                     (3, 2, "fork"), (1, 5, "fork"), (2, 1, "forkserver")])
def test_workers_and_ranks_share_an_epoch_without_overlap_or_loss(many, workers, world, context):
    folder, games = many
    ranks = epoch(folder, workers, world, context=context, batch_size=50, buffer_games=7)
    union = [p for batches in ranks for p in flattened(batches)]
    assert sorted(map(key, union)) == sorted(map(key, reference(games)))


def test_the_order_is_the_seed_and_the_epoch_s_alone(many):
    folder, _ = many

    def stream(**options):
        return flattened(epoch(folder, 0, 1, batch_size=64, buffer_games=16, **options)[0])

    first = stream(seed=1)
    assert stream(seed=1) == first
    assert stream(seed=1, number=0) == first
    others = [stream(seed=2), stream(seed=1, number=1)]
    for other in others:
        assert other != first and sorted(map(key, other)) == sorted(map(key, first))
    # Two workers interleave batches of their windows: another order of the same positions,
    # the same for every run.
    two = [flattened(epoch(folder, 2, 1, seed=1, number=n, batch_size=64, buffer_games=16)[0]) for n in (0, 1)]
    assert sorted(map(key, two[0])) == sorted(map(key, first)) and two[0] != first
    # Persistent workers keep their copy of the dataset, but see each epoch set.
    dataset = PositionDataset(folder, seed=1, batch_size=64, buffer_games=16)
    persistent = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=2, persistent_workers=True,
                                             multiprocessing_context="fork")
    for number in (0, 1, 0):
        dataset.set_epoch(number)
        assert flattened(persistent) == two[number]


@pytest.mark.parametrize("workers", [0, 2])
@pytest.mark.parametrize("start", [1, 63, 64, 700, 2000, "end"])
def test_resume_gives_the_tail_of_the_stream(many, workers, start):
    folder, _ = many
    options = {"batch_size": 64, "buffer_games": 6, "seed": 4}
    full = flattened(epoch(folder, workers, 2, number=3, **options)[1])
    start = len(full) if start == "end" else start
    dataset = PositionDataset(folder, rank=1, world_size=2, start=start, epoch=3, **options)
    assert flattened(loader(dataset, workers)) == full[start:]
    dataset.set_epoch(4)
    assert len(flattened(dataset)) == len(flattened(epoch(folder, 0, 2, number=4, **options)[1]))


def test_rating_weights_weigh_each_position_by_its_side_to_move_s_band(special):
    folder, _ = special
    bands = [(-1, 0.5), (1550, 2.0), (2000, 3.0)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        batches = list(PositionDataset(folder, batch_size=8, rating_weights=bands))
    ratings = torch.cat([b["ratings"][:, 0] for b in batches]).tolist()
    weights = torch.cat([b["weight"] for b in batches]).tolist()
    assert {-1, 1500, 1600, 2100} <= set(ratings)
    assert weights == [max(w for low, w in bands if low <= r) for r in ratings]


def test_a_built_dataset_gives_the_positions_of_its_pgn(tmp_path):
    games = random_games(12, seed=3, fens=(None, KIWIPETE, PROMOTIONS))
    texts = {1: "1-0", 0: "1/2-1/2", -1: "0-1"}
    with open(tmp_path / "games.pgn", "w") as file:
        for g in games:
            g["black_elo"] = None
            file.write(pgn(g["moves"], g["start_fen"], texts[g["result"]], {"WhiteElo": str(g["white_elo"])},
                           rules="automatic") + "\n\n")
    build_dataset(tmp_path / "games.pgn", tmp_path / "games", shard_games=5, progress=False)
    batches = PositionDataset(str(tmp_path / "games"), batch_size=32, buffer_games=4, seed=9)
    assert sorted(map(key, flattened(batches))) == sorted(map(key, reference(games)))


def corrupt(folder):
    """The dataset with its first shard's bytes scrambled, its size kept."""
    path = os.path.join(folder, shard_name(0, 0))
    with open(path, "r+b") as file:
        size = os.path.getsize(path)
        file.seek(size // 3)
        file.write(bytes(range(256)) * (size // 3 // 256))
    return folder


@pytest.mark.parametrize("source, options, error, match", [
    ("missing", {}, ValueError, "is not a game dataset: there is no such directory"),
    ("empty", {}, ValueError, "is not a game dataset: it has no manifest.json"),
    (42, {}, TypeError, "source must be a dataset directory or a GameDataset"),
    ("good", {"batch_size": 0}, ValueError, "batch_size must be in 1 .."),
    ("good", {"batch_size": 2.5}, TypeError, "batch_size must be an integer"),
    ("good", {"buffer_games": 0}, ValueError, "buffer_games must be at least 1"),
    ("good", {"seed": -1}, ValueError, "seed must be at least 0"),
    ("good", {"start": -3}, ValueError, "start must be at least 0"),
    ("good", {"epoch": -1}, ValueError, "epoch must be at least 0"),
    ("good", {"rank": 1}, ValueError, "rank and world_size are given together"),
    ("good", {"rank": 2, "world_size": 2}, ValueError, "rank must be in 0 .. 1"),
    ("good", {"rank": 0, "world_size": 0}, ValueError, "world_size must be at least 1"),
    ("good", {"planes": 1}, TypeError, "planes must be a bool"),
    ("good", {"undecided": "yes"}, TypeError, "undecided must be a bool"),
    ("good", {"threads": 0}, ValueError, "threads must be in 1 .."),
    ("good", {"rating_weights": "1500"}, TypeError, "rating_weights must be a non-empty list"),
    ("good", {"rating_weights": []}, TypeError, "rating_weights must be a non-empty list"),
    ("good", {"rating_weights": [(2000, 1.0), (1000, 1.0)]}, ValueError, "lowest ratings must ascend"),
    ("good", {"rating_weights": [(0, -1.0)]}, ValueError, "a band's weight must be at least 0"),
    ("good", {"rating_weights": [(0, 1e308)]}, ValueError, "a band's weight must be at most"),
    ("good", {"rating_weights": [(0, 0.0), (1500, 0)]}, ValueError, "are all 0"),
    ("good", {"rating_weights": [(0, 1.0, 2.0)]}, TypeError, "holds \\(lowest_rating, weight\\) pairs"),
    ("corrupt", {}, ValueError, "games-0000-00000.parquet is not the shard the build wrote"),
    ("good", {"start": 10**6}, ValueError, "start 1000000 is past the end of this rank's epoch"),
])
def test_bad_input_is_refused_with_a_clear_error(special, tmp_path, source, options, error, match):
    folder, games = special
    if source == "missing":
        source = tmp_path / "nothing"
    elif source == "empty":
        source = tmp_path
    elif source == "corrupt":
        source = corrupt(write_dataset(tmp_path / "games", [games[:3]]))
    elif source == "good":
        source = folder
    with pytest.raises(error, match=match):
        # A fault of the data shows when it is read, before any batch comes.
        next(iter(PositionDataset(source, **options)))


@pytest.mark.parametrize("change, match", [
    ({"offsets": np.array([1, 2], np.int64)}, "offsets must run from 0 to the number of actions"),
    ({"offsets": np.array([0, 2, 1, 2], np.int64), "start_index": np.full(3, -1, np.int32)}, "must not decrease"),
    ({"offsets": np.array([0, 2], np.int32)}, "offsets must be a one-dimensional C-contiguous int64 array"),
    ({"actions": np.array([564, 523], np.int32)}, "actions must be a one-dimensional C-contiguous int16 or int64"),
    ({"start_index": np.array([0], np.int32)}, "start_index entries must be -1 or the number of a start"),
    ({"start_index": np.array([-1, -1], np.int32)}, "start_index must hold one entry per game"),
    ({"starts": [("8/8/8/8/8/8/8/K6k w - -", -1, 1)]}, "a start's clocks must be at least 0"),
    ({"out": {"compact": np.empty((1, COMPACT_WORDS), np.uint64)}}, "compact must be a writable C-contiguous"),
    ({"out": {"mask": np.empty(2, bool)}}, "out takes 'compact', 'legal', .*, not 'mask'"),
    ({"rules": "house"}, "rules must be 'standard', 'automatic' or 'module'"),
    ({"threads": 0}, "threads must be in 1 .. 1024"),
    ({"threads": 5000}, "threads must be in 1 .. 1024"),
])
def test_the_native_replay_refuses_bad_arrays(change, match):
    call = {"actions": np.array([564, 523], np.int16), "offsets": np.array([0, 2], np.int64), "starts": [],
            "start_index": np.array([-1], np.int32), "rules": "automatic", "threads": 1,
            "out": {"compact": np.empty((2, COMPACT_WORDS), np.uint64)}}
    with pytest.raises(ValueError, match=match):
        _native.replay_games(**{**call, **change})
