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


# Volumes whose slab counts span 1 to 8 for each filter (sorvane: one slab per slice up to 8;
# blockdenoise: slices / search radius), so that some have fewer slabs than threads.
THREAD_VOLUMES = [(13, 11, 1), (12, 10, 3), (14, 9, 7), (17, 13, 20), (20, 18, 33)]
THREAD_CALLS = {
    "blockdenoise": lambda v, **kw: volnlm.blockdenoise(v, 2, 1, 15.0, 1.0, rician=True, **kw),
    "sorvane": lambda v, **kw: volnlm.sorvane(v, v, 3, 15.0, rician=True, **kw),
    "denoise guided": lambda v, **kw: volnlm.denoise(v, **kw),
    "denoise block": lambda v, **kw: volnlm.denoise(v, method="block", rician=False, **kw),
}


@pytest.mark.parametrize("name", THREAD_CALLS)
def test_the_same_bits_for_every_thread_count(name, monkeypatch):
    call = THREAD_CALLS[name]
    for i, shape in enumerate(THREAD_VOLUMES):
        v = volume(shape, seed=10 + i)
        expected = call(v, threads=1)
        for threads in (2, 3, 8, None):
            assert same_bits(call(v, threads=threads), expected), f"{name} {shape} threads={threads}"
        # The environment variable, when no count is given.
        for env in ("1", "3", "8"):
            monkeypatch.setenv("VOLNLM_NUM_THREADS", env)
            assert same_bits(call(v), expected), f"{name} {shape} VOLNLM_NUM_THREADS={env}"
        monkeypatch.delenv("VOLNLM_NUM_THREADS")


@pytest.mark.parametrize(
    "threads, error, text",
    [
        (0, ValueError, "positive integer"),
        (-2, ValueError, "positive integer"),
        (True, TypeError, "bool"),
        (2.0, TypeError, "float"),
        ("2", TypeError, "str"),
        (np.array([2, 3]), TypeError, "ndarray"),
    ],
)
@pytest.mark.parametrize("name", THREAD_CALLS)
def test_a_bad_thread_count_is_refused(name, threads, error, text):
    with pytest.raises(error, match=text):
        THREAD_CALLS[name](volume((8, 7, 6), seed=1), threads=threads)


@pytest.mark.parametrize("name", THREAD_CALLS)
def test_thread_counts_that_need_no_check(name):
    # numpy integers, 0-d arrays, and counts far beyond the slabs are taken as they are.
    v = volume((9, 8, 6), seed=4)
    expected = THREAD_CALLS[name](v, threads=1)
    for threads in (np.int64(3), np.array(2), 2**40):
        assert same_bits(THREAD_CALLS[name](v, threads=threads), expected), repr(threads)


@pytest.mark.parametrize("env", ["0", "-1", "", "four", "2.5"])
@pytest.mark.parametrize("name", THREAD_CALLS)
def test_a_bad_environment_thread_count_is_refused_unless_a_count_is_given(name, env, monkeypatch):
    v = volume((8, 7, 6), seed=2)
    monkeypatch.setenv("VOLNLM_NUM_THREADS", env)
    with pytest.raises(ValueError, match=f'VOLNLM_NUM_THREADS must be a positive whole number of threads; got "{env}"'):
        THREAD_CALLS[name](v)
    THREAD_CALLS[name](v, threads=2)  # an explicit count does not read it
