"""NaN and infinite voxels are data, not errors: every call returns, and a bad value changes only
the voxels whose computation reads it.

How far that is: sorvane averages each voxel with those within the search radius R, weighed on
the guide and on the guide's local mean (one voxel further); blockdenoise compares patches of
radius p around voxels up to R apart, preselects them by local means and variances of radius 1,
and spreads each block estimate over its block again, so a value reaches max(R + 2p, R + p + 1)
voxels (Chebyshev distance). The guided method chains the two. One exception: blockdenoise's
preselection also uses the volume's maximum, so +Inf changes the whole result.
"""
import numpy as np
import pytest

import volnlm
from conftest import phantom, rician, same_bits

SHAPE = (30, 28, 26)
SIGMA = 12.0
CLEAN = rician(250.0 * phantom(SHAPE), SIGMA, seed=7)  # noisy, but without bad values
GUIDE = np.asfortranarray(CLEAN + 1.0)  # a guide of its own, without bad values


def block_reach(r, p):
    return max(r + 2 * p, r + p + 1)


# (name, call, reach)
CALLS = [
    ("sorvane, guide the volume", lambda v: volnlm.sorvane(v, v, 2, SIGMA, rician=True), 3),
    ("sorvane, Gaussian", lambda v: volnlm.sorvane(v, v, 3, SIGMA), 4),
    ("sorvane, clean guide", lambda v: volnlm.sorvane(v, GUIDE, 2, SIGMA), 2),
    ("blockdenoise 1, 0", lambda v: volnlm.blockdenoise(v, 1, 0, SIGMA, 1.0), block_reach(1, 0)),
    ("blockdenoise 2, 1", lambda v: volnlm.blockdenoise(v, 2, 1, SIGMA, 1.0, rician=True), block_reach(2, 1)),
    ("blockdenoise 1, 3", lambda v: volnlm.blockdenoise(v, 1, 3, SIGMA, 1.0), block_reach(1, 3)),
    # The default patch radius and smoothing depend on the whole volume (its signal level), as an
    # estimated sigma does: all are given here; the test below checks that bad values barely
    # move sigma and the signal level.
    ("denoise block", lambda v: volnlm.denoise(v, SIGMA, "block", patch_radius=1, smoothing=0.75),
     block_reach(volnlm.DEFAULTS["search_radius"], 1)),
    ("denoise guided", lambda v: volnlm.denoise(v, SIGMA, "guided", patch_radius=1, smoothing=0.75),
     block_reach(volnlm.DEFAULTS["search_radius"], 1) + volnlm.DEFAULTS["guided_search_radius"] + 1),
    ("denoise guided, patch 2",
     lambda v: volnlm.denoise(v, SIGMA, "guided", patch_radius=2, smoothing=0.35),
     block_reach(volnlm.DEFAULTS["search_radius"], 2) + volnlm.DEFAULTS["guided_search_radius"] + 1),
]
GLOBAL_UNDER_PLUS_INF = {"blockdenoise 1, 0", "blockdenoise 2, 1", "blockdenoise 1, 3", "denoise block",
                         "denoise guided", "denoise guided, patch 2"}

# An interior voxel, and one next to a corner (the borders mirror the volume inward).
AT = [(15, 13, 12), (1, 0, 2)]


def outside(at, reach):
    """Mask of the voxels farther than `reach` from `at` along some axis."""
    grids = np.meshgrid(*[np.arange(n) for n in SHAPE], indexing="ij")
    return np.max([np.abs(g - a) for g, a in zip(grids, at)], axis=0) > reach


CASES = [
    pytest.param(name, call, reach, bad, at, id=f"{name}, {bad} at {at}")
    for name, call, reach in CALLS
    for bad in (np.nan, -np.inf, np.inf)
    for at in AT
]


@pytest.mark.parametrize("name, call, reach, bad, at", CASES)
def test_a_bad_voxel_changes_only_the_voxels_that_read_it(name, call, reach, bad, at):
    spoiled = CLEAN.copy(order="F")
    spoiled[at] = bad
    got = call(spoiled)
    want = call(CLEAN)
    assert got.shape == SHAPE and got.dtype == want.dtype
    far = outside(at, reach)
    assert far.any()
    if bad == np.inf and name in GLOBAL_UNDER_PLUS_INF:
        assert np.isfinite(got[far]).all()
    else:
        assert same_bits(got[far], want[far])
    assert not same_bits(got, want), "the bad value took no part"


def test_the_noise_estimate_leaves_out_blocks_with_bad_values():
    want = volnlm.estimate_sigma(CLEAN)
    _, clean_params = volnlm.denoise(CLEAN, method="block", return_params=True)
    want_smoothing = clean_params["Parameters"]["Smoothing"]
    for bad in (np.nan, np.inf, -np.inf):
        spoiled = CLEAN.copy(order="F")
        spoiled[10:14, 9, 11] = bad
        sigma = volnlm.estimate_sigma(spoiled)
        assert np.isfinite(sigma) and abs(sigma - want) < 0.02 * want, (bad, sigma, want)
        _, params = volnlm.denoise(spoiled, method="block", return_params=True)
        assert params["Sigma"] == [sigma]
        # The signal level behind the default smoothing leaves those blocks out too.
        smoothing = params["Parameters"]["Smoothing"]
        assert abs(smoothing - want_smoothing) < 0.02 * want_smoothing, (bad, smoothing, want_smoothing)
