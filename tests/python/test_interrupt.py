"""Ctrl-C (SIGINT) during a long call raises KeyboardInterrupt promptly, leaves no worker thread
running, and the next call works and gives the usual result.

The call polls for the signal every few tens of milliseconds; the test allows two seconds so that
a machine loaded by other work (parallel tests) cannot fail it, while a call that never polls
still does.

Each case runs in a child interpreter that sends SIGINT to itself while a call computes.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import json, os, signal, sys, threading, time
    import numpy as np
    import volnlm

    name, threads = sys.argv[1], int(sys.argv[2])
    rng = np.random.default_rng(5)
    CALLS = {
        "sorvane": (np.float64, lambda v: volnlm.sorvane(v, v, 6, 10.0, threads=threads)),
        "blockdenoise": (np.float32, lambda v: volnlm.blockdenoise(v, 5, 1, 10.0, 1.0, threads=threads)),
        "denoise": (np.float64, lambda v: volnlm.denoise(v, 10.0, threads=threads)),
    }
    dtype, call = CALLS[name]
    small = np.asfortranarray(100.0 + 10.0 * rng.standard_normal((12, 11, 10)), dtype=dtype)
    before = call(small)
    # Big enough that the call takes seconds on any machine this runs on.
    big = np.asfortranarray(100.0 + 10.0 * rng.standard_normal((128, 128, 96)), dtype=dtype)

    sent = {}
    def interrupt():
        sent["at"] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)
    timer = threading.Timer(0.4, interrupt)
    start = time.perf_counter()
    timer.start()
    try:
        call(big)
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    ended = time.perf_counter()
    timer.join()
    print(json.dumps({
        "outcome": outcome,
        "delay": ended - sent.get("at", ended),
        "elapsed": ended - start,
        "threads_after": len(os.listdir("/proc/self/task")),
        "same_after": bool(np.array_equal(call(small), before)),
    }))
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts threads in /proc")
@pytest.mark.parametrize("name, threads", [("sorvane", 2), ("blockdenoise", 1), ("denoise", 2), ("denoise", 8)])
def test_sigint_raises_keyboard_interrupt_quickly_and_leaves_no_worker(name, threads):
    proc = subprocess.run(
        [sys.executable, "-B", "-c", CHILD, name, str(threads)],
        capture_output=True, text=True, timeout=300, env={**os.environ},
    )
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["outcome"] == "KeyboardInterrupt", result
    assert result["delay"] < 2.0, result
    assert result["threads_after"] == 1, "a worker is still running"
    assert result["same_after"], "the call after the interrupt gave another result"
