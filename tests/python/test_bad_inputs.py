"""Inputs that used to pass without a word or cost far more than the error they end in: masked
arrays, shapes past the indexing (checked before any conversion), negative voxels in Rician
mode."""
import json
import os
import re
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import volnlm

V = np.asfortranarray(np.linspace(1.0, 50.0, 6 * 5 * 4).reshape(6, 5, 4))

CALLS = {
    "denoise": lambda a: volnlm.denoise(a, sigma=3.0),
    "estimate_sigma": lambda a: volnlm.estimate_sigma(a),
    "blockdenoise": lambda a: volnlm.blockdenoise(a, 1, 1, 3.0, 1.0),
    "sorvane noisy": lambda a: volnlm.sorvane(a, V, 1, 3.0),
    "sorvane guide": lambda a: volnlm.sorvane(V, a, 1, 3.0),
}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("mask", [True, False])
def test_masked_arrays_are_refused_whatever_their_mask(name, mask):
    masked = np.ma.masked_array(V, mask=np.full(V.shape, mask))
    with pytest.raises(TypeError, match=r"is a numpy masked array, whose mask the filters cannot honour; "
                                        r"pass \w+\.filled\(value\)"):
        CALLS[name](masked)


# Empty arrays with an extent past the signed 32-bit indexing: no voxel, yet refused, as the
# plug-ins refuse them.
EMPTY_BUT_HUGE = [(2**31, 0, 1), (0, 2**31), (3, 0, 2**40)]


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("shape", EMPTY_BUT_HUGE)
def test_an_empty_array_with_an_extent_past_the_indexing_is_refused(name, shape):
    if name == "sorvane guide":
        pytest.skip("the guide's shape is compared with the noisy volume's")
    with pytest.raises(ValueError, match=r"voxels along dimension \d; at most 2147483647 are supported"):
        CALLS[name](np.empty(shape))


# A broadcast array holds one value but claims 2^32 voxels: refused before any conversion would
# copy it (32 GiB as float64). The child runs under an address-space limit far below that.
CHILD = textwrap.dedent(
    """
    import json, resource, time
    import numpy as np
    import volnlm
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    results = {}
    for name, call in {
        "denoise": lambda a: volnlm.denoise(a),
        "estimate_sigma": lambda a: volnlm.estimate_sigma(a),
        "blockdenoise": lambda a: volnlm.blockdenoise(a, 1, 1, 3.0, 1.0),
        "sorvane": lambda a: volnlm.sorvane(a, a, 1, 3.0),
    }.items():
        for dtype in (np.float32, np.float64, np.int16):
            start = time.monotonic()
            try:
                call(np.broadcast_to(dtype(0), (2**16, 2**16, 1)))
                raised = None
            except Exception as e:
                raised = [type(e).__name__, str(e)]
            results[f"{name} {np.dtype(dtype).name}"] = [raised, time.monotonic() - start]
    print(json.dumps(results))
    """
)


def test_shape_is_checked_before_any_conversion():
    proc = subprocess.run([sys.executable, "-B", "-c", CHILD], env=dict(os.environ), capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout.strip().splitlines()[-1])
    for call, (raised, seconds) in results.items():
        assert raised is not None, call
        assert raised[0] == "ValueError", (call, raised)
        assert "65536x65536x1 voxels; at most 2147483647 voxels are supported" in raised[1], (call, raised)
        assert seconds < 1.0, (call, seconds)


def signed_volume(seed=5):
    rng = np.random.default_rng(seed)
    v = np.asfortranarray(100.0 + 10.0 * rng.standard_normal((12, 11, 10)))
    v.flat[[3, 50, 700]] = [-1.0, -20.0, -0.5]
    return v


@pytest.mark.parametrize("method", ["guided", "block"])
def test_rician_mode_warns_about_negative_voxels(method):
    v = signed_volume()
    with pytest.warns(UserWarning, match=r"^volume holds 3 negative voxels; Rician noise is for magnitude "
                                         r"images.*For signed data use rician=False$") as caught:
        result = volnlm.denoise(v, sigma=10.0, method=method)
    assert len(caught) == 1
    assert caught[0].filename == __file__, "the warning points at the caller"
    assert np.all(result >= 0.0)
    # A 4-D series counts every volume's negative voxels once.
    series = np.asfortranarray(np.stack([v, v], axis=3))
    with pytest.warns(UserWarning, match=r"^volume holds 6 negative voxels"):
        volnlm.denoise(series, sigma=10.0, method=method)


@pytest.mark.parametrize("volume, rician", [(signed_volume(), False), (np.abs(signed_volume()), True),
                                            (np.zeros((4, 4, 4)) * -1.0, True)])
def test_no_warning_without_negative_voxels_in_rician_mode(volume, rician):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        volnlm.denoise(volume, sigma=10.0, rician=rician)
    # The filters themselves stay silent: their Rician flag is explicit.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        volnlm.sorvane(signed_volume(), signed_volume(), 1, 10.0, rician=True)
        volnlm.blockdenoise(signed_volume().astype(np.float32), 1, 1, 10.0, 1.0, rician=True)


def noisy(seed=0, shape=(16, 15, 14)):
    rng = np.random.default_rng(seed)
    return np.asfortranarray(100.0 + 10.0 * rng.standard_normal(shape))


# Sigmas outside [peak * 2^-40, peak * 2^66] used to give inf, NaN or zeros everywhere; now they
# are refused with the range named. Both ends of the range are accepted, finite, and independent
# of the units (the same bits, scaled, for the volume and sigma scaled by a power of two).
OUTSIDE = [1e-300, 5e-324, 1e-40, 1e-16, 1e-15, "just below", "just above", 1e30]


@pytest.mark.parametrize("sigma", OUTSIDE)
@pytest.mark.parametrize("method", ["guided", "block"])
def test_a_sigma_outside_the_volumes_range_is_refused_naming_it(sigma, method):
    v = noisy()
    peak = np.abs(v).max()
    if sigma == "just below":
        sigma = np.nextafter(peak * 2.0**-40, 0.0)
    elif sigma == "just above":
        sigma = np.nextafter(peak * 2.0**66, np.inf)
    expected = (f"sigma must be 0 or from {peak * 2.0**-40:.6g} to {peak * 2.0**66:.6g} for this volume "
                f"(2^-40 to 2^66 times its largest magnitude, {peak:.6g}, so that")
    with pytest.raises(ValueError, match="^" + re.escape(expected)):
        volnlm.denoise(v, sigma=sigma, method=method)


@pytest.mark.parametrize("end", [2.0**-40, 2.0**66])
@pytest.mark.parametrize("method", ["guided", "block"])
@pytest.mark.parametrize("rician", [True, False])
def test_both_ends_of_the_sigma_range_are_exact(end, method, rician):
    v = noisy()
    sigma = np.abs(v).max() * end
    out = volnlm.denoise(v, sigma=sigma, method=method, rician=rician)
    assert np.all(np.isfinite(out))
    scaled = volnlm.denoise(v * 2.0**-30, sigma=sigma * 2.0**-30, method=method, rician=rician)
    assert np.array_equal(out * 2.0**-30, scaled)
    if end < 1:
        assert np.allclose(out, v, rtol=1e-6), "noise far below the data changes nothing"


def test_an_estimate_below_the_range_is_no_noise():
    tiny = np.asfortranarray(100.0 + 1e-12 * np.random.default_rng(1).standard_normal((16, 15, 14)))
    out, record = volnlm.denoise(tiny, rician=False, return_params=True)
    assert 0 < record["Sigma"][0] < np.abs(tiny).max() * 2.0**-40
    assert np.array_equal(out, tiny)


def test_each_volume_of_a_series_is_checked_with_its_own_sigma():
    series = np.asfortranarray(np.stack([noisy(1), noisy(2) * 1e6], axis=3))
    volnlm.denoise(series, sigma=[10.0, 1e7])
    with pytest.raises(ValueError, match=r"sigma must be 0 or from .* \(volume 1\)$"):
        volnlm.denoise(series, sigma=1e-6)
