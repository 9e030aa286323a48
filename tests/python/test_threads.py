"""Environments used from many threads at once, one environment per thread."""

import threading

import vantor


def legal(env):
    return [i for i, v in enumerate(v for row in env.get_actions() for v in row) if v]


def scripted(env, seed):
    """A game by fixed rules, with a snapshot detour: the same wherever it runs."""
    trace = []
    env.reset()
    for ply in range(100):
        actions = legal(env)
        if not actions:
            break
        side, obs, reward, done = env.step(actions[(ply * 7 + seed) % len(actions)])
        trace.append((env.hash_state(), side, reward, done, obs[118][0]))
        if ply == 40:
            saved = env.save_state()
            env.roll_out()
            env.restore_state(saved)
        if done:
            break
    return trace


def run_in_threads(count, work):
    results = [None] * count
    errors = []
    barrier = threading.Barrier(count)

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as error:  # reported below, on the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


def test_scripted_games_in_eight_threads_match_one_thread():
    expected = [scripted(vantor.Vantor(), seed) for seed in range(8)]
    assert run_in_threads(8, lambda i: scripted(vantor.Vantor(), i)) == expected


def test_roll_outs_and_snapshot_loops_in_eight_threads():
    def work(i):
        env = vantor.Vantor()
        env.reset()
        root = env.save_state()
        results = []
        for _ in range(20):
            results.append(env.roll_out())
            env.restore_state(root)
        return results, env.hash_state()

    for results, final_hash in run_in_threads(8, work):
        assert set(results) <= {-1, 0, 1}
        assert final_hash == 0x07259D7613375B63
