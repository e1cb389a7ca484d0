"""The Python results are bit-identical to the MEX plug-ins' inside GNU Octave on the same input."""
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import volnlm
from conftest import phantom, rician, same_bits

HERE = Path(__file__).resolve().parent
PLUGINS = Path(os.environ.get("VOLNLM_OCTAVE_DIR", ""))
OCTAVE = os.environ.get("VOLNLM_OCTAVE_CLI") or shutil.which("octave-cli")

pytestmark = pytest.mark.skipif(
    not OCTAVE or not shutil.which(OCTAVE) or not all((PLUGINS / f"{n}.mex").is_file() for n in ("sorvane", "blockdenoise")),
    reason="needs octave-cli and the Octave plug-ins (VOLNLM_OCTAVE_DIR)",
)


def write_raw(path, array, dtype):
    np.asarray(array, dtype=np.dtype(dtype).newbyteorder("<")).ravel(order="F").tofile(path)


def read_raw(path, dtype, shape):
    return np.fromfile(path, np.dtype(dtype).newbyteorder("<")).astype(dtype).reshape(shape, order="F")


def octave_literal(value):
    if isinstance(value, str):
        return "'" + value.replace("'", "''") + "'"
    return repr(float(value))


# (VOLNLM_NUM_THREADS for Octave, whose plug-ins take the default count; threads= in Python):
# the bits do not depend on either.
THREAD_PAIRS = [(None, None), ("1", 8), ("3", 1), ("8", 2)]


@pytest.mark.parametrize("octave_threads, python_threads", THREAD_PAIRS)
def test_python_and_the_plug_ins_give_the_same_bits(tmp_path, octave_threads, python_threads):
    # Shapes that run one worker and all eight, a slice, values with float32 rounding, and
    # sigma values that float32 cannot hold exactly.
    cases = []
    for shape, seed in (((17, 13, 20), 1), ((15, 12, 5), 2), ((19, 14), 3)):
        padded = shape + (1,) * (3 - len(shape))
        noisy = rician(250.0 * phantom(padded), 11.3, seed).reshape(shape, order="F") + 0.1
        guide = volnlm.blockdenoise(noisy, 2, 1, 11.3, 1.0, rician=True).astype(np.float64)
        single = noisy.astype(np.float32)
        cases += [
            ("blockdenoise", shape, (single,), (2, 1, 11.3, 1.0), False),
            ("blockdenoise", shape, (single,), (3, 1, 11.3, 0.7), True),
            ("blockdenoise", shape, (single,), (1, 2 if len(shape) == 3 else 1, 7.77, 2.0), True),
            ("sorvane", shape, (noisy, guide), (2, 11.3), False),
            ("sorvane", shape, (noisy, guide), (3, 11.3), True),
        ]

    statements, expected = [], []
    for i, (plugin, shape, volumes, scalars, is_rician) in enumerate(cases):
        files = []
        for j, v in enumerate(volumes):
            dtype = v.dtype
            path = tmp_path / f"in{i}_{j}.raw"
            write_raw(path, v, dtype)
            files.append(f"raw:{'single' if dtype == np.float32 else 'double'}:{path}")
        out = tmp_path / f"out{i}.raw"
        dims = "[" + " ".join(str(n) for n in shape) + "]"
        if plugin == "sorvane":
            r, sigma = scalars
            args = [files[0], r, 3, sigma, files[1], int(is_rician)]
            result = volnlm.sorvane(volumes[0], volumes[1], r, sigma, rician=is_rician,
                                    threads=python_threads)
        else:
            r, p, sigma, smoothing = scalars
            args = [files[0], r, p, sigma, smoothing, int(is_rician)]
            result = volnlm.blockdenoise(volumes[0], r, p, sigma, smoothing, rician=is_rician,
                                         threads=python_threads)
        statements.append(f"call_plugin_raw('{plugin}', '{out}', {dims}, " + ", ".join(octave_literal(a) for a in args) + ");")
        expected.append((out, result))

    script = (f"addpath('{PLUGINS}'); addpath('{HERE}'); try, " + " ".join(statements) +
              " catch err, disp(err.message); exit(1); end; exit(0);")
    env = {k: v for k, v in os.environ.items() if k != "VOLNLM_NUM_THREADS"}
    if octave_threads is not None:
        env["VOLNLM_NUM_THREADS"] = octave_threads
    run = subprocess.run([OCTAVE, "--no-gui", "--norc", "--no-history", "--quiet", "--eval", script],
                         capture_output=True, text=True, timeout=300, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    for (plugin, shape, volumes, scalars, is_rician), (out, result) in zip(cases, expected):
        from_octave = read_raw(out, result.dtype, result.shape)
        name = f"{plugin} {shape} {scalars} rician={is_rician}"
        assert not np.array_equal(from_octave, volumes[0].astype(result.dtype)), name + ": nothing filtered"
        assert same_bits(result, from_octave), name
