"""A run's TensorBoard logs: read back, purged on resume, served by TensorBoard, skipped without it."""

import json
import socket
import subprocess
import sys
import time
import urllib.request

import pytest

from vantor_gym.train import board as board_module
from vantor_gym.train.board import TrainingBoard


@pytest.fixture
def tensorboard():
    return pytest.importorskip("torch.utils.tensorboard")


def scalars(run):
    """What the event files hold, as {tag: [(step, value)]}, read without TensorBoard's own purge."""
    from tensorboard.backend.event_processing.event_accumulator import EventAccumulator

    reader = EventAccumulator(str(run / "tensorboard"), purge_orphaned_data=False)
    reader.Reload()
    return {tag: sorted((e.step, e.value) for e in reader.Scalars(tag)) for tag in reader.Tags()["scalars"]}


def train(board, step, loss, *, positions=100, clock=0.0, phase="self-play"):
    board.train(step, policy_loss=loss, value_loss=loss / 4, learning_rate=1e-3, buffer_size=positions,
                positions=positions, clock=clock, phase=phase)


def test_training_scalars_are_read_back_at_their_steps(tensorboard, tmp_path):
    with TrainingBoard(tmp_path) as board:
        for step, loss, clock, phase in [(0, float("nan"), 0, "imitation"), (4, 2.0, 10, "imitation"),
                                         (4, 9.0, 15, "imitation"), (8, 1.0, 20, "self-play")]:
            train(board, step, loss, clock=clock, phase=phase)
        train(board, 12, 0.5, positions=400, clock=60.0)
        with pytest.raises(ValueError, match="below the previous"):
            train(board, 11, 0.1)
    got = scalars(tmp_path)
    assert got["loss/policy"] == [(4, 2.0), (8, 1.0), (12, 0.5)] and got["loss/value"][0] == (4, 0.5)
    assert got["train/phase"] == [(0, 1), (4, 1), (8, 2), (12, 2)] and got["train/minutes"][-1] == (12, 1.0)
    assert got["selfplay/positions_per_second"] == [(12, 7.5)]  # 300 positions over 40 s of self-play


def test_a_resumed_run_drops_what_it_does_again_and_evaluations_give_their_tags(tensorboard, tmp_path):
    from vantor_gym.players import RandomPlayer
    from vantor_gym.train.evaluate import evaluate

    records = evaluate(RandomPlayer(1), ["random"], 2, max_plies=16)
    with TrainingBoard(tmp_path, purge_step=0) as board:
        for step in range(1, 11):
            train(board, step, float(step))
        board.evaluation(5, records)
        board.evaluation(8, [{**records[0], "opponent": "mc4"}])
        with pytest.raises(ValueError, match="record 1"):
            board.evaluation(9, [records[0], {"opponent": "random", "score": "high"}])
    with TrainingBoard(tmp_path, purge_step=6) as board:  # resumed from the checkpoint at step 5
        train(board, 7, 107.0)
    got = scalars(tmp_path)
    assert got["loss/policy"] == [(1, 1), (2, 2), (3, 3), (4, 4), (5, 5), (7, 107)]
    keys = [key for key in board_module._SCORE_KEYS + board_module._ELO_KEYS if records[0][key] is not None]
    assert {tag for tag in got if tag.startswith("eval/")} == {f"eval/random/{key}" for key in keys}
    assert got["eval/random/score"] == [(5, pytest.approx(records[0]["score"]))]


@pytest.mark.parametrize("lacking", ["tensorboard", "a writable folder"])
def test_a_board_without_tensorboard_or_its_folder_warns_once_and_writes_nothing(lacking, tmp_path, monkeypatch):
    if lacking == "tensorboard":
        monkeypatch.setitem(sys.modules, "torch.utils.tensorboard", None)
    else:
        pytest.importorskip("torch.utils.tensorboard")
        (tmp_path / "tensorboard").write_text("a file where the folder goes")
    monkeypatch.setattr(board_module, "_warnings_given", set())
    with pytest.warns(RuntimeWarning, match=r"pip install 'vantor\[train\]'|cannot write") as caught:
        boards = [TrainingBoard(tmp_path, purge_step=0) for _ in range(2)]
    assert len(caught) == 1 and not any(board.active for board in boards)
    train(boards[0], 3, 1.0)
    boards[0].close()
    assert not (tmp_path / "tensorboard").is_dir()


def test_the_purge_follows_no_link_to_an_event_file_outside_the_run(tensorboard, tmp_path):
    for run in ("outside", "run"):
        with TrainingBoard(tmp_path / run, purge_step=0) as board:
            for step in range(1, 6):
                train(board, step, float(step))
    (outside,) = (tmp_path / "outside" / "tensorboard").iterdir()
    before = outside.read_bytes()
    link = tmp_path / "run" / "tensorboard" / "events.out.tfevents.0.link"
    link.symlink_to(outside)
    TrainingBoard(tmp_path / "run", purge_step=3).close()
    assert link.is_symlink() and outside.read_bytes() == before


def test_tensorboard_serves_the_run_without_the_stretch_done_again(tensorboard, tmp_path):
    for purge, steps in ((0, range(1, 9)), (4, [6])):  # its default loader ignores restart markers
        with TrainingBoard(tmp_path, purge_step=purge) as board:
            for step in steps:
                train(board, step, float(step))
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "tensorboard.main", "--logdir", str(tmp_path / "tensorboard"),
                               "--host", "127.0.0.1", "--port", str(port)], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"http://127.0.0.1:{port}/data/plugin/scalars/scalars?run=.&tag=loss%2Fpolicy"
    points, deadline = [], time.monotonic() + 180  # starting up on a loaded machine
    try:
        while len(points) < 4 and time.monotonic() < deadline and server.poll() is None:
            try:
                with urllib.request.urlopen(url, timeout=10) as answer:
                    points = [(step, value) for _, step, value in json.load(answer)]
            except OSError:  # not listening yet, or the run not loaded yet
                pass
            time.sleep(0.5)
    finally:
        server.kill()
        server.wait()
    assert points == [(1, 1.0), (2, 2.0), (3, 3.0), (6, 6.0)]
