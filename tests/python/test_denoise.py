"""volnlm.denoise: composition of the filters, defaults, sigma estimation, unit independence."""
import numpy as np
import pytest

import volnlm
from conftest import phantom, psnr, rician, same_bits


@pytest.fixture(scope="module")
def case():
    clean = 250.0 * phantom((28, 26, 24))
    return clean, rician(clean, 0.09 * 250.0, seed=21)


@pytest.mark.parametrize("method", ["block", "guided"])
@pytest.mark.parametrize("is_rician", [True, False])
def test_denoise_is_the_filters_run_in_turn(case, method, is_rician):
    _, noisy = case
    out, used = volnlm.denoise(noisy, method=method, rician=is_rician, return_params=True)
    (scale,), (sigma,), p = used["UnitScale"], used["Sigma"], used["Parameters"]
    guide = volnlm.blockdenoise(noisy * scale, p["SearchRadius"], p["PatchRadius"], sigma * scale,
                                p["Smoothing"], rician=is_rician)
    if method == "block":
        expected = guide.astype(np.float64) / scale
    else:
        expected = volnlm.sorvane(noisy * scale, guide, p["GuidedSearchRadius"], sigma * scale,
                                  rician=is_rician) / scale
    assert same_bits(out, expected)


def test_defaults_are_reported_and_options_override_them(case):
    _, noisy = case
    _, used = volnlm.denoise(noisy, return_params=True)
    assert used["Method"] == "guided" and used["NoiseModel"] == "rician"
    d, p = volnlm.DEFAULTS, dict(used["Parameters"])
    patch, smoothing = p.pop("PatchRadius"), p.pop("Smoothing")
    assert p == {"SearchRadius": d["search_radius"], "GuidedSearchRadius": d["guided_search_radius"]}
    # The patch radius and smoothing reported are the rule's for this volume's noise, and the ones
    # used: given explicitly, they give the same bits.
    assert (patch, smoothing) == volnlm._core.block_defaults(noisy, used["Sigma"][0], "guided")
    assert same_bits(volnlm.denoise(noisy), volnlm.denoise(noisy, patch_radius=patch, smoothing=smoothing))
    assert used["Sigma"] == [volnlm.estimate_sigma(noisy, rician=True)] and used["SigmaSource"] == "estimated"
    _, used = volnlm.denoise(noisy, sigma=20.0, method="block", rician=False, search_radius=2, patch_radius=0,
                             smoothing=0.5, return_params=True)
    assert used["Parameters"] == {"SearchRadius": 2, "PatchRadius": 0, "Smoothing": 0.5}
    assert (used["Sigma"], used["SigmaSource"], used["NoiseModel"]) == ([20.0], "given", "gaussian")
    assert used["UnitScale"] == [4.0]  # 20 * 4 lies in [64, 128)


def test_an_omitted_sigma_is_the_estimate(case):
    _, noisy = case
    for is_rician in (True, False):
        sigma = volnlm.estimate_sigma(noisy, rician=is_rician)
        assert same_bits(volnlm.denoise(noisy, rician=is_rician), volnlm.denoise(noisy, sigma=sigma, rician=is_rician))
    assert same_bits(volnlm.denoise(noisy), volnlm.denoise(noisy, rician=True)), "rician defaults to True"


@pytest.mark.parametrize("method", ["block", "guided"])
def test_result_does_not_depend_on_the_units(case, method):
    _, noisy = case
    out = volnlm.denoise(noisy, method=method)
    for factor in (2.0**-8, 2.0**5):
        assert same_bits(volnlm.denoise(noisy * factor, method=method), out * factor)


@pytest.mark.parametrize("method, gain", [("block", 6.0), ("guided", 6.0)])
def test_denoising_brings_the_volume_closer_to_the_truth(case, method, gain):
    clean, noisy = case
    before = psnr(noisy, clean, 250.0)
    after = psnr(volnlm.denoise(noisy, method=method), clean, 250.0)
    assert after > before + gain, f"{method}: {before:.2f} dB -> {after:.2f} dB"


def test_shapes_layouts_and_noise_free_input(case):
    _, noisy = case
    out = volnlm.denoise(noisy)
    assert out.dtype == np.float64 and out.shape == noisy.shape and out.flags.f_contiguous
    assert same_bits(volnlm.denoise(np.ascontiguousarray(noisy)), out)
    plane = noisy[:, :, 7]
    assert volnlm.denoise(plane).shape == plane.shape
    assert same_bits(volnlm.denoise(plane), volnlm.denoise(plane[:, :, None])[:, :, 0])
    assert volnlm.denoise(np.zeros((0, 5, 5))).shape == (0, 5, 5)
    flat = np.full((8, 8, 8), 17, dtype=np.uint16)
    assert same_bits(volnlm.denoise(flat), flat.astype(np.float64))
    assert same_bits(volnlm.denoise(noisy, sigma=0.0), noisy)
