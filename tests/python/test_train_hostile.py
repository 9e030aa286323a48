"""Hostile input to training: files that would run code, damaged or foreign files, values a
run cannot take, PGN sources that give nothing; each refused before any work, by name."""

import copy
import json
import os
import pickle
import struct
import warnings
import zipfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from conftest import SANITIZED

torch = pytest.importorskip("torch")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

from test_train_loop import tiny  # noqa: E402
from test_train_replay import positions  # noqa: E402
from vantor_gym.rules import halfmove_limit  # noqa: E402
from vantor_gym.train import ReplayBuffer  # noqa: E402
from vantor_gym.train.__main__ import main  # noqa: E402
from vantor_gym.train.files import load_checked, save_checked  # noqa: E402
from vantor_gym.train.imitation import pgn_positions  # noqa: E402
from vantor_gym.train.loop import TrainConfig, Trainer  # noqa: E402
from vantor_gym.train.network import NetworkConfig, PolicyValueNet, load_network, save_network  # noqa: E402
from vantor_gym.train.replay import _checksum  # noqa: E402


class Payload:
    """What a hostile checkpoint holds: unpickling it would create the marker file."""

    def __init__(self, marker):
        self.marker = str(marker)

    def __reduce__(self):
        return open, (self.marker, "w")


def test_a_checkpoint_that_would_run_code_is_refused_without_running_it(tmp_path):
    trainer = Trainer(tiny(tmp_path))
    trainer.save()
    trainer.close()
    marker = tmp_path / "PWNED"
    torch.save({"net": Payload(marker), "optimizer": {}, "config": "{}"}, tmp_path / "checkpoint.pt")
    with pytest.raises(ValueError, match="checkpoint.pt.*plain data"):
        Trainer(tiny(tmp_path))
    assert not marker.exists()


def flip_a_byte_of_the_largest_array(path):
    """Changes one byte in the middle of the largest tensor or array of a saved file
    (PyTorch's and NumPy's files are zips of them), where its numbers are kept."""
    with zipfile.ZipFile(path) as archive:
        arrays = [info for info in archive.infolist() if "/data/" in info.filename or info.filename.endswith(".npy")]
    member = max(arrays, key=lambda info: info.file_size)
    data = bytearray(path.read_bytes())
    name_length, extra_length = struct.unpack("<HH", data[member.header_offset + 26:member.header_offset + 30])
    start = member.header_offset + 30 + name_length + extra_length
    data[start + member.compress_size // 2] ^= 0x10
    path.write_bytes(bytes(data))


def saved_network(directory):
    save_network(PolicyValueNet(NetworkConfig(8, 1)), directory / "network.pt")
    return lambda: load_network(directory / "network.pt", "cpu")


def saved_checkpoint(directory):
    trainer = Trainer(tiny(directory))
    trainer.save()
    trainer.close()
    return lambda: Trainer(tiny(directory))


def saved_buffer(directory):
    buffer = ReplayBuffer(10)
    buffer.add(*positions(6))
    buffer.save(directory / "buffer.npz")
    return lambda: ReplayBuffer.load(directory / "buffer.npz")


@pytest.mark.parametrize("save, name", [(saved_network, "network.pt"), (saved_checkpoint, "checkpoint.pt"),
                                        (saved_buffer, "buffer.npz")])
def test_one_flipped_bit_in_a_saved_file_is_found_and_the_file_named(tmp_path, save, name):
    load = save(tmp_path)
    load()
    flip_a_byte_of_the_largest_array(tmp_path / name)
    with pytest.raises(ValueError, match=name):
        load()


def torch_file(value):
    return lambda path: torch.save(value, path)


def network_claiming(channels):
    weights = PolicyValueNet(NetworkConfig(8, 0)).state_dict()
    return lambda path: save_checked({"channels": channels, "blocks": 0, "weights": weights}, path, "vantor network")


def truncated_network(path):
    save_network(PolicyValueNet(NetworkConfig(8, 1)), path)
    path.write_bytes(path.read_bytes()[: path.stat().st_size // 2])


def deeply_nested(depth):
    nested = []
    for _ in range(depth):
        nested = [nested]
    return nested


def claiming_payload(payload):
    return torch_file({"format": "vantor network", "sha256": "0" * 64, "payload": payload})


@pytest.mark.parametrize(
    "write",
    [b"root:x:0:0:root:/root:/bin/bash\n", b"", pickle.dumps({"channels": 8}), b"PK\x05\x06" + bytes(18),
     torch_file(torch.zeros(3)), torch_file({"format": "vantor network", "sha256": "0", "payload": {}}),
     network_claiming(10**6), truncated_network, claiming_payload({"w": torch.eye(3).to_sparse()}),
     claiming_payload({"w": torch.empty(3, device="meta")}), claiming_payload(deeply_nested(30_000))],
    ids=["text", "empty", "pickle", "empty zip", "a tensor", "wrong checksum", "size not its weights", "truncated",
         "sparse", "meta", "nested past the stack"],
)
def test_files_that_are_not_networks_are_one_value_error_naming_them(tmp_path, write):
    path = tmp_path / "x.pt"
    path.write_bytes(write) if isinstance(write, bytes) else write(path)
    with pytest.raises(ValueError, match="x.pt"):
        load_network(path, "cpu")
    with pytest.raises(FileNotFoundError):
        load_network(tmp_path / "missing.pt", "cpu")


@pytest.mark.parametrize(
    "changes, message",
    [({"checkpoint_every": 0}, "checkpoint_every"), ({"batch_size": 0}, "batch_size"),
     ({"batch_size": -3}, "batch_size"),
     ({"updates_per_iteration": -1}, "updates_per_iteration"), ({"eval_opponents": "random,bogus"}, "bogus"),
     ({"channels": 0}, "channels"), ({"games": 2.5}, "games"), ({"games": True}, "games"),
     ({"learning_rate": float("nan")}, "learning_rate"), ({"engine_minutes": float("inf")}, "engine_minutes"),
     ({"buffer_size": 8, "batch_size": 16}, "buffer_size"), ({"seed": -1}, "seed"), ({"directory": ""}, "directory"),
     ({"pgn": None}, "pgn")],
)
def test_configs_a_run_cannot_take_are_refused_at_construction(changes, message):
    with pytest.raises((ValueError, TypeError), match=message):
        TrainConfig(**changes)


@pytest.mark.parametrize(
    "flags, words",
    [(["--channels", "0"], "channels"), (["--device", "nonsense"], "device"), (["--buffer-size", "0"], "buffer_size"),
     (["--games", "0"], "games"), (["--checkpoint-every", "0"], "checkpoint_every"),
     (["--eval-opponents", "bogus"], "bogus"), (["--minutes", "nan"], "minutes"),
     (["--engine", "/nonexistent/engine"], "/nonexistent/engine"), (["--pgn", "/nonexistent/games.pgn"], "games.pgn"),
     (["--directory", "/etc/passwd/run"], "passwd")]
    + ([] if torch.cuda.is_available() else [(["--device", "cuda"], "not present")]),
)
def test_the_command_refuses_bad_arguments_in_one_line_before_any_work(tmp_path, capsys, flags, words):
    directory = tmp_path / "run"
    try:
        status = main(["--directory", str(directory), "--device", "cpu", *flags])
    except SystemExit as exit:
        status = exit.code
    error = capsys.readouterr().err
    assert status == 1 and words in error and len(error.strip().splitlines()) == 1, error
    assert not (directory / "checkpoint.pt").exists()


GAME = '[Result "1-0"]\n\n1. e4 e5 2. Qh5 Nc6 3. Bc4 Nf6 4. Qxf7# 1-0\n'
# A clock past the fifty-move draw: a game under standard rules does not go on from there,
# though one under the automatic rules does.
DRAWN_START = '[FEN "4k3/8/8/8/8/8/8/R3K3 w Q - 120 80"]\n[Result "1/2-1/2"]\n\n80. Ra2 Kd7 1/2-1/2\n'


def test_a_pgn_path_is_read_as_a_path_and_games_the_environment_cannot_start_are_counted(tmp_path):
    path = tmp_path / "games.pgn"
    path.write_text(DRAWN_START + "\n" + GAME)
    buffer = ReplayBuffer(100)
    with pytest.warns(UserWarning, match="1 of 2 games skipped: 1 from a start the environment cannot play"):
        assert pgn_positions(buffer, str(path)) == 7 == len(buffer)
    with pytest.raises(FileNotFoundError, match="missing.pgn"):
        pgn_positions(buffer, str(tmp_path / "missing.pgn"))
    for text, why in ((DRAWN_START, "from a start"), ("", "holds no game"), ('[Result "*"]\n\n1. e4 *\n', "result")):
        path.write_text(text)
        with pytest.raises(ValueError, match=f"games.pgn.*{why}"):
            pgn_positions(buffer, path)
    assert len(buffer) == 7
    path.write_text(DRAWN_START)
    assert pgn_positions(buffer, path, rules="automatic") == 2


def test_a_failed_save_leaves_the_previous_files_and_no_temporary_ones(tmp_path, monkeypatch):
    trainer = Trainer(tiny(tmp_path))
    trainer.buffer.add(*positions(4))
    trainer.save()
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    trainer.buffer.add(*positions(4, seed=1))

    def full_disk(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(np, "savez", full_disk)
    with pytest.raises(OSError, match="space"):
        trainer.save()
    monkeypatch.setattr(torch, "save", full_disk)
    trainer._saved_positions = trainer.buffer.added
    with pytest.raises(OSError, match="space"):
        trainer.save()
    trainer.close()
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before


def corrupted(name, change):
    def make(arrays):
        arrays = dict(arrays)
        arrays[name] = change(arrays[name].copy())
        return arrays
    return make


@pytest.mark.parametrize(
    "make, message",
    [(corrupted("values", lambda v: np.where(np.arange(len(v)) == 2, np.nan, v).astype(np.float32)), "position 2"),
     (corrupted("actions", lambda a: np.where(a == a.max(), 9000, a).astype(np.int16)), "outside 0 .. 4671"),
     (corrupted("observations", lambda o: np.full_like(o, 0xFFFFFFFFFFFFFFFF)), "side to move"),
     (corrupted("policies", lambda p: p[:, :5]), "policies is float32"),
     (lambda arrays: {k: v for k, v in arrays.items() if k != "actions"}, "lacks actions")],
    ids=["NaN value", "action 9000", "garbage rows", "short policies", "no actions"],
)
def test_a_loaded_buffer_is_checked_as_added_positions_are(tmp_path, make, message):
    buffer = ReplayBuffer(10)
    buffer.add(*positions(6))
    buffer.save(tmp_path / "buffer.npz")
    with np.load(tmp_path / "buffer.npz") as saved:
        # Without the checksum, which would find these at once: the positions must be checked too.
        arrays = {key: saved[key] for key in saved if key != "sha256"}
    np.savez(tmp_path / "bad.npz", **make(arrays))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        with pytest.raises(ValueError, match=message):
            ReplayBuffer.load(tmp_path / "bad.npz")
    # A sound buffer saved before checksums were kept still loads, with a warning.
    np.savez(tmp_path / "old.npz", **arrays)
    with pytest.warns(UserWarning, match="before checksums"):
        assert ReplayBuffer.load(tmp_path / "old.npz").added == 6


def test_added_rows_no_environment_writes_are_refused_naming_the_row():
    rows, masks, policies, values = positions(5)
    side = rows.copy()
    side[3, 104] = np.uint64(7)  # value 16, the side to move, in the low half of word 96 + 8
    buffer = ReplayBuffer(10)
    with pytest.raises(ValueError, match="row 3 holds a side to move"):
        buffer.add(side, masks, policies, values)
    with pytest.raises(ValueError, match="row 0 has no legal action"):
        buffer.add(rows[:1], np.zeros((1, 4672), bool), np.zeros((1, 4672), np.float32), values[:1])
    assert buffer.added == 0


def special_file(kind, folder):
    if kind == "fifo":
        os.mkfifo(folder / "special")
        return folder / "special"
    return {"device": "/dev/urandom", "directory": folder}[kind]


@pytest.mark.parametrize("kind", ["fifo", "device", "directory"])
def test_pipes_devices_and_directories_are_refused_without_reading_them(tmp_path, kind):
    path = special_file(kind, tmp_path)
    for load, what in ((lambda: load_network(path, "cpu"), "network"), (lambda: ReplayBuffer.load(path), "buffer")):
        with pytest.raises(ValueError, match="not a regular file"):
            load()
    np.save(tmp_path / "one.npy", np.zeros(3))
    with pytest.raises(ValueError, match="one.npy.*not a zip file"):
        ReplayBuffer.load(tmp_path / "one.npy")


def test_numpy_numbers_in_a_config_are_kept_as_plain_ones_and_a_run_saves(tmp_path):
    config = tiny(tmp_path, games=np.int64(2), learning_rate=np.float32(1e-3), channels=np.int32(8))
    assert [type(v) for v in (config.games, config.learning_rate, config.channels)] == [int, float, int]
    trainer = Trainer(config)
    trainer.save()
    trainer.close()
    save_network(PolicyValueNet(NetworkConfig(np.int64(4), np.int8(1))), tmp_path / "net.pt")
    assert load_network(tmp_path / "net.pt", "cpu").config == NetworkConfig(4, 1)


def test_a_resumed_run_learns_as_now_asked_and_refuses_another_buffer_size(tmp_path):
    trainer = Trainer(tiny(tmp_path, learning_rate=1e-3, weight_decay=1e-4))
    trainer.save()
    with pytest.raises(TypeError, match="cannot be copied"):
        copy.copy(trainer)
    trainer.close()
    resumed = Trainer(tiny(tmp_path, learning_rate=0.5, weight_decay=0.3))
    assert {(g["lr"], g["weight_decay"]) for g in resumed.optimizer.param_groups} == {(0.5, 0.3)}
    resumed.close()
    with pytest.raises(ValueError, match="keeps 500 positions, not the 50 asked for"):
        Trainer(tiny(tmp_path, buffer_size=50))


def test_a_write_pytorch_refuses_is_an_os_error_naming_the_file(tmp_path, monkeypatch):
    def refuse(*args, **kwargs):
        raise RuntimeError("[enforce fail at inline_container.cc] . PytorchStreamWriter failed writing file")

    monkeypatch.setattr(torch, "save", refuse)
    with pytest.raises(OSError, match="net.pt.*PytorchStreamWriter"):
        save_network(PolicyValueNet(NetworkConfig(4, 0)), tmp_path / "net.pt")
    assert list(tmp_path.iterdir()) == []


def test_sampling_and_self_play_refuse_what_they_would_misread(tmp_path):
    buffer = ReplayBuffer(10)
    buffer.add(*positions(4))
    rng = np.random.default_rng(0)
    for size, error in ((2.7, TypeError), (True, TypeError), ("3", TypeError), (0, ValueError)):
        with pytest.raises(error, match="batch_size"):
            buffer.sample(size, rng)
    with pytest.raises(TypeError, match="Generator"):
        buffer.sample(2, np.random.RandomState(0))
    for indices in ([0.7], [True, False], 1):
        with pytest.raises(TypeError, match="indices"):
            buffer.batch(indices)
    trainer = Trainer(tiny(tmp_path))
    with pytest.raises(TypeError, match="ReplayBuffer"):
        trainer.selfplay.play(12, [])
    assert trainer.selfplay.play(12, buffer).games > 0  # the games went on
    trainer.close()


def test_log_lines_that_are_not_records_are_skipped(tmp_path):
    from vantor_gym.train.evaluate import plot_curve, read_log

    record = {"opponent": "random", "minutes": 1.0, "score": 0.5, "score_low": 0.2, "score_high": 0.8}
    lines = ["[1, 2]", '{"opponent": "random", "minutes": 2}', '"text"', json.dumps(record), '{"cut short']
    (tmp_path / "log.jsonl").write_text("\n".join(lines) + "\n")
    assert read_log(tmp_path / "log.jsonl") == [record]
    plot_curve(read_log(tmp_path / "log.jsonl"), tmp_path / "curve.png")


def test_a_game_whose_result_contradicts_its_mate_is_skipped():
    wrong = '[Result "1-0"]\n\n1. f3 e5 2. g4 Qh4# 1-0\n'
    buffer = ReplayBuffer(100)
    with pytest.warns(UserWarning, match="1 whose result contradicts the mate played"):
        assert pgn_positions(buffer, (wrong + "\n" + GAME).encode()) == 7


def test_calls_on_one_trainer_from_several_threads_take_turns(tmp_path):
    trainer = Trainer(tiny(tmp_path))
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda _: trainer.iterate(), range(4)))
    assert trainer.iteration == 4
    trainer.close()


def resaved_checkpoint(directory, change):
    """The run's checkpoint with one value changed and the checksum made anew, as a hostile
    hand would: only the checks of the values themselves can refuse it."""
    state = load_checked(directory / "checkpoint.pt", "vantor training checkpoint", "a checkpoint")
    change(state)
    save_checked(state, directory / "checkpoint.pt", "vantor training checkpoint")


def overflowing_rng(state):
    rng = json.loads(state["rng"])
    rng["state"]["state"] = -1
    state["rng"] = json.dumps(rng)


@pytest.mark.parametrize(
    "change, words",
    [(overflowing_rng, "checkpoint.pt"), (lambda s: s.update(iteration=2**100), "iteration"),
     (lambda s: next(iter(s["optimizer"]["state"].values())).update(exp_avg=torch.zeros(7)), "exp_avg"),
     (lambda s: next(iter(s["optimizer"]["state"].values()))["exp_avg_sq"].fill_(-1.0), "negative"),
     (lambda s: s.update(buffer_added=10**6), "not this run's buffer")],
    ids=["generator state", "iteration", "moment shape", "negative second moment", "a foreign buffer"],
)
def test_a_checkpoint_with_values_no_run_writes_is_refused_on_resume(tmp_path, change, words):
    trainer = Trainer(tiny(tmp_path))
    trainer.iterate()
    trainer.iterate()  # a checkpoint, with learner steps behind it
    trainer.close()
    resaved_checkpoint(tmp_path, change)
    with pytest.raises(ValueError, match=words):
        Trainer(tiny(tmp_path))


def without_rules(state):
    config = json.loads(state["config"])
    del config["rules"]
    state["config"] = json.dumps(config)


# A checkpoint saved before runs kept their rules was played under the module's.
@pytest.mark.parametrize("saved, change, resumed, refused", [
    ("standard", None, "module", True),
    ("module", None, "automatic", True),
    ("automatic", None, "standard", True),
    ("automatic", None, "automatic", False),
    ("standard", without_rules, "standard", True),
    ("standard", without_rules, "module", False),
])
def test_a_run_resumes_only_under_the_rules_it_was_played_under(tmp_path, saved, change, resumed, refused):
    trainer = Trainer(tiny(tmp_path, rules=saved))
    trainer.save()
    trainer.close()
    if change is not None:
        resaved_checkpoint(tmp_path, change)
    if refused:
        before = (tmp_path / "checkpoint.pt").read_bytes()
        with pytest.raises(ValueError, match=f"under '{'module' if change else saved}' rules, not '{resumed}'"):
            Trainer(tiny(tmp_path, rules=resumed))
        assert (tmp_path / "checkpoint.pt").read_bytes() == before
    else:
        again = Trainer(tiny(tmp_path, rules=resumed))
        assert again.selfplay.rules == resumed and again.net.scale[0, 118, 0, 0].item() == pytest.approx(
            1 / halfmove_limit(saved))
        again.close()


def saved_arrays(path, **arrays):
    arrays.setdefault("sha256", np.array(_checksum(arrays)))
    with open(path, "wb") as out:
        np.savez_compressed(out, **arrays)


def test_a_buffer_file_is_measured_before_anything_of_its_claimed_size_is_made(tmp_path):
    empty = {"observations": np.zeros((0, 108), np.uint64), "actions": np.zeros((0, 256), np.int16),
             "policies": np.zeros((0, 256), np.float32), "values": np.zeros(0, np.float32)}
    saved_arrays(tmp_path / "huge.npz", capacity=np.int64(4_000_000), added=np.int64(0), **empty)
    with pytest.raises(ValueError, match="keeps 4,000,000 positions, not the 500 asked for"):
        ReplayBuffer.load(tmp_path / "huge.npz", capacity=500)
    # A small file inflating to far more than its counts allow (100,000 rows for 2 positions).
    saved_arrays(tmp_path / "bomb.npz", capacity=np.int64(10), added=np.int64(2),
                 **dict(empty, observations=np.zeros((100_000, 108), np.uint64)))
    with pytest.raises(ValueError, match="observations.npy claims"):
        ReplayBuffer.load(tmp_path / "bomb.npz")


def test_values_and_policies_given_as_text_are_refused():
    rows, masks, policies, values = positions(3)
    for bad in ({"values": values.astype(str)}, {"policies": policies.astype(str)}):
        arguments = {"observations": rows, "masks": masks, "policies": policies, "values": values, **bad}
        with pytest.raises(ValueError, match="must be numbers"):
            ReplayBuffer(10).add(**arguments)


def test_a_pgn_path_that_is_a_pipe_is_refused_without_waiting(tmp_path):
    os.mkfifo(tmp_path / "games.pgn")
    with pytest.raises(ValueError, match="not a regular file"):
        pgn_positions(ReplayBuffer(10), tmp_path / "games.pgn")
