"""Noise estimation: within 10% of the truth on synthetic volumes with known noise."""
import numpy as np
import pytest

import volnlm
from conftest import gaussian, phantom, rician

PEAK = 250.0


def brain_like(shape=(48, 44, 40)):
    return PEAK * phantom(shape)


CASES = [
    # (name, kind of noise, level as a fraction of the maximum, rician flag, clean volume maker)
    ("gaussian 3%", gaussian, 0.03, False, brain_like),
    ("gaussian 9%", gaussian, 0.09, False, brain_like),
    ("rician 3%", rician, 0.03, True, brain_like),
    ("rician 9%", rician, 0.09, True, brain_like),
    ("rician 9%, one slice", rician, 0.09, True, lambda: brain_like((160, 150))),
    ("gaussian 3%, one slice", gaussian, 0.03, False, lambda: brain_like((160, 150))),
    ("gaussian 9%, odd extents", gaussian, 0.09, False, lambda: brain_like((45, 43, 41))),
    ("rician 3%, units of 1", rician, 0.03, True, lambda: brain_like() / PEAK),
    ("rician 9%, units of 4096", rician, 0.09, True, lambda: brain_like() * (4096 / PEAK)),
    ("rician 9%, background only", rician, 0.09, True, lambda: np.zeros((40, 40, 40))),
    ("gaussian 9%, noise everywhere, rician flag on", gaussian, 0.09, True, lambda: brain_like() + PEAK * 0.5),
]


@pytest.mark.parametrize("name, noise, level, is_rician, clean", CASES, ids=[c[0] for c in CASES])
def test_estimate_is_within_ten_percent_of_the_truth(name, noise, level, is_rician, clean):
    volume = clean()
    peak = volume.max() if volume.max() > 0 else PEAK
    sigma = level * peak
    for seed in (1, 2):
        estimate = volnlm.estimate_sigma(noise(volume, sigma, seed), rician=is_rician)
        assert abs(estimate / sigma - 1.0) < 0.10, f"{name}, seed {seed}: {estimate / sigma:.3f} x truth"


def test_rician_correction_matters_where_the_plain_estimate_is_biased():
    # Magnitude data with a large background: the plain estimate is well below the truth, and
    # the Rician estimate is not.
    sigma = 0.09 * PEAK
    noisy = rician(brain_like(), sigma, seed=3)
    plain = volnlm.estimate_sigma(noisy, rician=False) / sigma
    corrected = volnlm.estimate_sigma(noisy, rician=True) / sigma
    assert plain < 0.9
    assert abs(corrected - 1.0) < 0.05


def test_noise_free_regions_and_invalid_voxels_are_left_out():
    sigma = 0.05 * PEAK
    clean = brain_like()
    inside = clean > 0
    masked = np.where(inside, gaussian(clean, sigma, seed=4), 0.0)  # zero-filled background
    assert abs(volnlm.estimate_sigma(masked, rician=False) / sigma - 1.0) < 0.10
    spoiled = masked.copy()
    spoiled[::7, ::5, ::3] = np.nan
    spoiled[1::9, ::4, ::5] = np.inf
    assert abs(volnlm.estimate_sigma(spoiled, rician=False) / sigma - 1.0) < 0.10


@pytest.mark.parametrize("volume", [np.full((10, 10, 10), 7.0), np.zeros((0, 3, 3)), np.ones((1, 1, 1)),
                                    np.linspace(0, 1, 1000).reshape(10, 10, 10, order="F")])
def test_a_volume_without_noise_gives_zero(volume):
    # Flat volumes and ramps have no finest diagonal detail at all.
    for flag in (False, True):
        assert volnlm.estimate_sigma(volume, rician=flag) == 0.0


def test_estimate_scales_with_the_units_and_ignores_the_layout():
    noisy = rician(brain_like(), 0.05 * PEAK, seed=5)
    estimate = volnlm.estimate_sigma(noisy)
    assert volnlm.estimate_sigma(noisy * 8.0) == 8.0 * estimate
    assert volnlm.estimate_sigma(np.ascontiguousarray(noisy)) == estimate
    assert volnlm.estimate_sigma(noisy.astype(np.float32)) == volnlm.estimate_sigma(
        noisy.astype(np.float32).astype(np.float64))
    assert volnlm.estimate_sigma(noisy) == volnlm.estimate_sigma(noisy, rician=True), "rician defaults to True"
