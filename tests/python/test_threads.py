"""The filters release the GIL, and concurrent calls from Python threads do not disturb each other."""
import threading
import time

import numpy as np
import pytest

import volnlm
from conftest import phantom, rician, same_bits


def volume(shape, seed):
    return rician(250.0 * phantom(shape), 15.0, seed)


CALLS = {
    "blockdenoise": lambda v: volnlm.blockdenoise(v, 3, 1, 15.0, 1.0, rician=True),
    "sorvane": lambda v: volnlm.sorvane(v, v, 5, 15.0, rician=True),
    "denoise": lambda v: volnlm.denoise(v),
    "estimate_sigma": lambda v: volnlm.estimate_sigma(np.tile(v, (4, 4, 4))),
}


@pytest.mark.parametrize("name", CALLS)
def test_python_runs_on_while_a_call_computes(name):
    # If the call held the GIL, no other Python code could run between its start and its end.
    # The main thread ticks throughout; some ticks must fall in the middle half of the call.
    call = CALLS[name]
    v = volume((36, 34, 32), seed=1)
    span = {}

    def worker():
        span["start"] = time.perf_counter()
        call(v)
        span["end"] = time.perf_counter()

    thread = threading.Thread(target=worker)
    ticks = []
    thread.start()
    while thread.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    thread.join()
    start, end = span["start"], span["end"]
    quarter = (end - start) / 4
    inside = [t for t in ticks if start + quarter < t < end - quarter]
    assert inside, f"{name}: no Python code ran during {end - start:.3f} s of computation"


def test_concurrent_calls_give_the_results_of_calls_one_after_another():
    # Different settings (Rician on and off, radii, shapes) at the same time: each call carries
    # its own, so every result equals the one computed alone.
    a = volume((30, 28, 26), seed=2)
    b = volume((22, 30, 18), seed=3)
    jobs = [
        lambda: volnlm.blockdenoise(a, 2, 1, 15.0, 1.0, rician=True),
        lambda: volnlm.blockdenoise(b, 3, 2, 9.0, 2.0, rician=False),
        lambda: volnlm.sorvane(a, a, 3, 15.0, rician=False),
        lambda: volnlm.sorvane(b, b, 2, 30.0, rician=True),
        lambda: volnlm.denoise(a, method="block"),
        lambda: volnlm.denoise(b, rician=False),
    ]
    alone = [job() for job in jobs]
    results = [None] * len(jobs)
    barrier = threading.Barrier(len(jobs))

    def run(i):
        barrier.wait()
        results[i] = jobs[i]()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, (together, expected) in enumerate(zip(results, alone)):
        assert same_bits(together, expected), f"job {i}"
