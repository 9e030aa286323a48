"""Training positions of a game dataset per second: vantor_gym.data.PositionDataset through a
DataLoader, against python-chess replaying the same games for the same targets."""

from __future__ import annotations

import os
import statistics
import tempfile
import time

import numpy as np

ACTIONS = 4672
# Knight planes by (source - target) in the action numbering (a8 = 0), as the engine has them.
KNIGHT_JUMPS = (17, 15, 6, -10, -17, -15, -6, 10)
UNDER_PROMOTIONS = {2: 0, 3: 1, 4: 2}  # python-chess piece types: knight, bishop, rook


def random_games(count: int, seed: int = 0) -> list[tuple[list[int], str]]:
    """Random legal games of 40 to 160 plies from the initial position (fewer when one ends
    sooner), each with its mate's result or one drawn at random."""
    from vantor_gym import BatchEnv

    rng = np.random.default_rng(seed)
    plies = rng.integers(40, 161, count)
    env = BatchEnv(count, threads=1, rules="automatic", autoreset="disabled")
    _, info = env.reset()
    games: list[list[int]] = [[] for _ in range(count)]
    mated = np.zeros(count, np.int8)
    playing = np.arange(count)
    masks = info["action_mask"]
    for ply in range(int(plies.max())):
        playing, masks = playing[plies[playing] > ply], masks[plies[playing] > ply]
        if not len(playing):
            break
        # One legal action of each game, drawn uniformly: the k-th of its row's legal ones.
        rows, columns = np.nonzero(masks)
        counts = np.bincount(rows, minlength=len(masks))
        firsts = np.cumsum(counts) - counts
        actions = columns[firsts + (rng.random(len(masks)) * counts).astype(np.int64)]
        for game, action in zip(playing.tolist(), actions.tolist()):
            games[game].append(action)
        _, rewards, terminated, _, info = env.step(actions, indices=playing)
        mated[playing[terminated]] = rewards[terminated]
        playing, masks = playing[~terminated], info["action_mask"][~terminated]
    env.close()
    drawn = rng.choice(["1-0", "0-1", "1/2-1/2"], count)
    # A mate decides its game; the others get a result drawn at random.
    texts = {1: "1-0", -1: "0-1"}
    return [(game, texts.get(int(mate), str(result))) for game, mate, result in zip(games, mated, drawn)]


def build(folder: str, games: list[tuple[list[int], str]]) -> str:
    """A game dataset of the games in folder, built from their PGN."""
    from vantor_gym.dataset import build_dataset
    from vantor_gym.notation import pgn

    source = os.path.join(folder, "games.pgn")
    with open(source, "w") as file:
        for number, (actions, result) in enumerate(games):
            elos = {"WhiteElo": str(1200 + number % 1500), "BlackElo": str(2700 - number % 1500)}
            file.write(pgn(actions, result=result, headers=elos, rules="automatic") + "\n\n")
    build_dataset(source, os.path.join(folder, "games"), progress=False)
    return os.path.join(folder, "games")


def loader_rate(folder: str, workers: int, planes: bool, epochs: int, expand: bool = False,
                batches: int | None = None) -> float:
    """Positions per second of a DataLoader over the dataset, from its first batch to the end
    of the last epoch or of ``batches`` more batches (the workers' start is not counted); with
    ``expand`` the rows are expanded to float32 planes here, as on a device."""
    import torch
    from torch.utils.data import DataLoader

    from vantor_gym.compact import expand_observations_torch
    from vantor_gym.data import PositionDataset

    dataset = PositionDataset(folder, batch_size=1024, planes=planes, seed=0)
    loader = DataLoader(dataset, batch_size=None, num_workers=workers, persistent_workers=workers > 0,
                        prefetch_factor=4 if workers else None,
                        multiprocessing_context="fork" if workers else None)
    positions, start = 0, None
    for epoch in range(epochs):
        dataset.set_epoch(epoch)
        for batch in loader:
            if start is None:
                start = time.perf_counter()
                continue
            if expand:
                expand_observations_torch(batch["observations"], torch.float32)
            positions += len(batch["action"])
            if batches is not None and positions >= batches * 1024:
                return positions / (time.perf_counter() - start)
    return positions / (time.perf_counter() - start) if start else 0.0


# Line-move directions by the signs of (rank step, file step) from the mover's side.
DIRECTIONS = {(1, -1): 0, (1, 0): 1, (1, 1): 2, (0, 1): 3, (-1, 1): 4, (-1, 0): 5, (-1, -1): 6, (0, -1): 7}


def action_of(move, turn: bool) -> int:
    """The action number of a python-chess move by the side ``turn`` (True for white)."""
    source, target = move.from_square ^ 56, move.to_square ^ 56  # a8 = 0
    rows, files = (move.to_square >> 3) - (move.from_square >> 3), (move.to_square & 7) - (move.from_square & 7)
    if not turn:
        rows, files = -rows, -files
    if move.promotion in UNDER_PROMOTIONS:
        return 64 * (64 + 3 * (files + 1) + UNDER_PROMOTIONS[move.promotion]) + source
    if abs(rows) * abs(files) == 2:
        return 64 * (56 + KNIGHT_JUMPS.index(source - target)) + source
    step = ((rows > 0) - (rows < 0), (files > 0) - (files < 0))
    return 64 * (7 * DIRECTIONS[step] + max(abs(rows), abs(files)) - 1) + source


def python_chess_rate(games: list[tuple[list[int], str]], seconds: float) -> float:
    """Positions per second of python-chess replaying the games (the same actions, turned
    into its moves) and building each position's targets: the eight recorded positions'
    twelve piece sets and repetition counts, side, move count, castling rights and clock,
    the legal actions packed as 73 words, the move played, the result from the side to
    move's view and the ply, a batch of 1024 at a time in NumPy arrays."""
    import chess

    results = {"1-0": 1.0, "0-1": -1.0, "1/2-1/2": 0.0}
    pieces = [(kind, colour) for colour in (chess.WHITE, chess.BLACK) for kind in chess.PIECE_TYPES]
    rows, legal, actions, values, plies = [], [], [], [], []
    positions, start = 0, time.perf_counter()
    while True:
        for played, result in games:
            board, history, seen = chess.Board(), [], {}
            for ply, action in enumerate(played):
                by_action = {action_of(m, board.turn): m for m in board.legal_moves}
                key = board._transposition_key()
                seen[key] = seen.get(key, 0) + 1
                history = [[chess.flip_vertical(board.pieces_mask(*p)) for p in pieces] + [seen[key] - 1], *history[:7]]
                words = [0] * 73
                for a in by_action:
                    words[a >> 6] |= 1 << (a & 63)
                rows.append([history, board.turn, board.fullmove_number, board.castling_rights, board.halfmove_clock])
                legal.append(words)
                actions.append(action)
                values.append(results[result] * (1 if board.turn else -1))
                plies.append(ply)
                board.push(by_action[action])
                if len(actions) == 1024:
                    np.array(legal, np.uint64), np.array(actions), np.array(values, np.float32)
                    np.array(plies, np.int32)
                    positions += len(actions)
                    rows, legal, actions, values, plies = [], [], [], [], []
            if time.perf_counter() - start >= seconds:
                return positions / (time.perf_counter() - start)


def position_rows(smoke: bool, row) -> None:
    """The rows of PositionDataset through a DataLoader: compact rows (the target), planes
    expanded on the CPU here, and planes expanded by the workers, against python-chess."""
    try:
        import chess  # noqa: F401
        import pyarrow  # noqa: F401
        import torch  # noqa: F401
    except ImportError as error:
        row("PositionDataset", f"not measured: {error.name} is not installed")
        return
    count, epochs, seconds, repeats = (40, 1, 0.2, 1) if smoke else (2000, 3, 3.0, 3)
    games = random_games(count)
    with tempfile.TemporaryDirectory() as folder:
        dataset = build(folder, games)
        theirs = statistics.median(python_chess_rate(games, seconds) for _ in range(repeats))
        runs = {name: [] for name in ("rows", "expanded", "planes")}
        for _ in range(repeats):
            runs["rows"].append(loader_rate(dataset, 2, False, epochs))
            runs["expanded"].append(loader_rate(dataset, 2, False, epochs, expand=True, batches=20))
            runs["planes"].append(loader_rate(dataset, 2, True, epochs, batches=60))
    ours = {name: statistics.median(rates) for name, rates in runs.items()}
    plies = sum(len(actions) for actions, _ in games)
    row(f"PositionDataset, {count} games ({plies} positions), batches of 1024 through DataLoader(num_workers=2): "
        "compact rows, packed legal masks and targets / python-chess replaying the same games for the same targets",
        f"{ours['rows'] / 1e3:.0f} k / {theirs / 1e3:.1f} k positions/s = {ours['rows'] / theirs:.0f} x",
        ">= 200 k positions/s", ours["rows"] >= 200_000)
    row("PositionDataset, the same rows expanded to float32 planes on this process's CPU with "
        "expand_observations_torch (the device's work, on a machine without one)",
        f"{ours['expanded'] / 1e3:.0f} k positions/s")
    row("PositionDataset(planes=True), planes expanded by the workers, through the DataLoader",
        f"{ours['planes'] / 1e3:.0f} k positions/s = {ours['planes'] / theirs:.0f} x python-chess")
