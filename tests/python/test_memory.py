"""A long loop of every operation through the Python surface keeps memory flat: nothing
the conversions make outlives its use."""

import vantor
from conftest import skip_when_sanitized


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def cycle(env, state):
    env.reset()
    for action in (564, 524, 3646, 3910):
        env.step(action)
    mask = env.get_actions()
    saved = env.save_state()
    saved.bitboards, saved.move_index, saved.state_history, repr(saved)
    env.roll_out()
    env.restore_state(saved)
    env.restore_state(state)
    try:
        env.step(-1)
    except ValueError:
        pass
    env.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1")
    env.hash_state()
    return mask


@skip_when_sanitized
def test_resident_memory_stays_flat():
    env = vantor.Vantor()
    state = vantor.State()
    for _ in range(300):
        cycle(env, state)
    before = rss_kib()
    for _ in range(3000):
        cycle(env, state)
    assert rss_kib() - before < 2048
