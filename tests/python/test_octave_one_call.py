"""The one call from GNU Octave (volnlm_denoise, volnlm_estimate_sigma) gives the same bits and
the same record as the Python module on the same input and options."""
import json
import os
import shutil
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest

import volnlm
from conftest import gaussian, phantom, rician, same_bits

HERE = Path(__file__).resolve().parent
PLUGINS = Path(os.environ.get("VOLNLM_OCTAVE_DIR", ""))
OCTAVE = os.environ.get("VOLNLM_OCTAVE_CLI") or shutil.which("octave-cli")

pytestmark = pytest.mark.skipif(
    not OCTAVE or not shutil.which(OCTAVE)
    or not all((PLUGINS / f"{n}.mex").is_file() for n in ("volnlm_denoise", "volnlm_estimate_sigma")),
    reason="needs octave-cli and the Octave one-call plug-ins (VOLNLM_OCTAVE_DIR)",
)

OCTAVE_CLASS = {np.float64: "double", np.float32: "single", np.int16: "int16", np.uint8: "uint8",
                np.bool_: "logical"}


def series(shape, scales, sigma, seed, noise=rician):
    """Volumes of one phantom at different brightness (a bright b0, dimmer weighted volumes)
    with the same noise level, stacked along a fourth axis."""
    volumes = [noise(250.0 * s * phantom(shape), sigma, seed + k) for k, s in enumerate(scales)]
    return np.asfortranarray(np.stack(volumes, axis=3))


def head_mask(shape):
    """Inside an ellipsoid: 1.0; outside half 0.0, half NaN (both count as outside)."""
    x, y, z = np.meshgrid(*[np.linspace(-1, 1, n) for n in shape], indexing="ij")
    m = np.where(x**2 + y**2 / 0.8 + z**2 < 0.7, 1.0, 0.0)
    m[(m == 0) & (x < 0)] = np.nan
    return np.asfortranarray(m)


class Exchange:
    """Writes arrays for Octave and builds the statements of one Octave run."""

    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        self.statements = []

    def raw(self, array):
        array = np.asarray(array)
        self.count += 1
        path = self.folder / f"in{self.count}.raw"
        array.astype(array.dtype.newbyteorder("<")).ravel(order="F").tofile(path)
        extents = "x".join(str(n) for n in array.shape)
        return f"'raw:{OCTAVE_CLASS[array.dtype.type]}:{extents}:{path}'"

    def literal(self, value):
        if isinstance(value, np.ndarray):
            return self.raw(value)
        if isinstance(value, str):
            return f"'{value}'"
        if isinstance(value, bool):
            return "true" if value else "false"
        if isinstance(value, (list, tuple)):
            return "[" + " ".join(repr(float(v)) for v in value) + "]"
        return repr(value)

    def call(self, plugin, volume, options, record):
        """Queues plugin(volume, options...); returns the files its result and record go to."""
        self.count += 1
        out = self.folder / f"out{self.count}.raw"
        info = self.folder / f"info{self.count}.json" if record else None
        args = [self.raw(volume)] + [self.literal(v) for pair in options for v in pair]
        self.statements.append(
            f"one_call_raw('{plugin}', '{out}', '{info or ''}', " + ", ".join(args) + ");")
        return out, info

    def run(self, env_threads=None):
        script = (f"addpath('{PLUGINS}'); addpath('{HERE}'); try, " + " ".join(self.statements) +
                  " catch err, disp(err.message); exit(1); end; exit(0);")
        env = {k: v for k, v in os.environ.items() if k != "VOLNLM_NUM_THREADS"}
        if env_threads:
            env["VOLNLM_NUM_THREADS"] = env_threads
        run = subprocess.run([OCTAVE, "--no-gui", "--norc", "--no-history", "--quiet", "--eval", script],
                             capture_output=True, text=True, timeout=600, env=env)
        assert run.returncode == 0, run.stdout + run.stderr


def same_record(python, octave_file):
    """The record Octave wrote equals Python's, key for key in the same order, numbers bit for
    bit (ElapsedSeconds aside): a list of one value is its value, [] is null."""
    def norm(v):
        if isinstance(v, str) and v.startswith("hex:"):
            return (struct.unpack(">d", bytes.fromhex(v[4:]))[0],)
        if isinstance(v, bool) or v is None or isinstance(v, str):
            return v
        if isinstance(v, (int, float)):
            return (float(v),)
        if isinstance(v, dict):
            return [(k, norm(x)) for k, x in v.items() if k != "ElapsedSeconds"]
        items = [norm(x) for x in v]
        if not items:
            return None
        if all(isinstance(x, tuple) for x in items):
            return tuple(f for x in items for f in x)
        return items[0] if len(items) == 1 else items

    octave = json.loads(Path(octave_file).read_text())
    return norm(python) == norm(octave), (norm(python), norm(octave))


def test_denoise_equals_python_bit_for_bit_with_the_same_record(tmp_path):
    vol = rician(250.0 * phantom((20, 18, 16)), 11.3, 3)
    dwi = series((16, 14, 12), (1.0, 0.45, 0.3), 9.0, 11)
    mask3 = head_mask((20, 18, 16))
    mask4 = head_mask((16, 14, 12))
    flat = gaussian(200.0 * phantom((18, 16, 14)), 6.5, 5)
    # (volume, Octave name-value pairs, Python keywords)
    cases = [
        (vol, [], {}),
        (vol, [("Method", "block"), ("Sigma", 11.3), ("SearchRadius", 3), ("PatchRadius", 2),
               ("Smoothing", 0.7)],
         dict(method="block", sigma=11.3, search_radius=3, patch_radius=2, smoothing=0.7)),
        (flat, [("Noise", "gaussian"), ("GuidedSearchRadius", 3)],
         dict(rician=False, guided_search_radius=3)),
        (np.round(vol).astype(np.int16), [("Rician", True), ("Threads", 3)], dict(threads=1)),
        (vol.astype(np.float32), [("method", "BLOCK")], dict(method="block")),
        (dwi, [], {}),
        (dwi, [("SharedSigma", True), ("Mask", mask4)], dict(shared_sigma=True, mask=mask4)),
        (dwi, [("Sigma", [9.0, 8.5, 9.5]), ("Method", "block")],
         dict(sigma=[9.0, 8.5, 9.5], method="block")),
        (dwi, [("Sigma", 9.0), ("Mask", "auto")], dict(sigma=9.0, mask="auto")),
        (vol, [("Mask", mask3)], dict(mask=mask3)),
        (vol, [("Mask", mask3 == 1), ("Sigma", 11.3), ("Threads", 1)],
         dict(mask=mask3 == 1, sigma=11.3, threads=2)),
    ]
    exchange = Exchange(tmp_path)
    expected = []
    for volume, options, kwargs in cases:
        files = exchange.call("volnlm_denoise", volume, options, record=True)
        result, params = volnlm.denoise(volume, return_params=True, **kwargs)
        expected.append((files, result, params, volume, options))
    exchange.run()
    for (out, info), result, params, volume, options in expected:
        name = f"{volume.dtype} {volume.shape} {options}"
        from_octave = np.fromfile(out, "<f8").reshape(result.shape, order="F")
        assert not np.array_equal(from_octave, volume.astype(np.float64)), name + ": nothing filtered"
        assert same_bits(result, from_octave), name
        same, both = same_record(params, info)
        assert same, f"{name}: {both}"


@pytest.mark.parametrize("octave_threads", [None, "1", "3"])
def test_estimate_sigma_equals_python_bit_for_bit(tmp_path, octave_threads):
    vol = rician(250.0 * phantom((20, 18, 16)), 11.3, 4)
    dwi = series((16, 14, 12), (1.0, 0.5, 0.25), 7.0, 21)
    mask = head_mask((16, 14, 12))
    cases = [
        (vol, [], {}),
        (vol, [("Noise", "gaussian")], dict(rician=False)),
        (np.round(vol).astype(np.uint8), [], {}),
        (dwi, [], {}),
        (dwi, [("Mask", mask)], dict(mask=mask)),
        (dwi.astype(np.float32), [("Mask", "auto"), ("Rician", False)], dict(mask="auto", rician=False)),
    ]
    exchange = Exchange(tmp_path)
    expected = []
    for volume, options, kwargs in cases:
        out, _ = exchange.call("volnlm_estimate_sigma", volume, options, record=False)
        expected.append((out, np.atleast_1d(volnlm.estimate_sigma(volume, **kwargs)), options))
    exchange.run(octave_threads)
    for out, sigma, options in expected:
        from_octave = np.fromfile(out, "<f8")
        assert np.all(sigma > 0), options
        assert same_bits(sigma, from_octave), f"{options}: {sigma} {from_octave}"
