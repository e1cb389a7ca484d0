"""volnlm.dask: a volume filtered chunk by chunk with the core's reach as halo equals one call on
the whole volume, whatever the chunking."""
import dask
import dask.array as da
import numpy as np
import pytest

import volnlm
import volnlm.dask as vd
from conftest import gaussian, phantom, rician, same_bits

SHAPE = (20, 18, 16)
# Small radii keep the volumes tiny while the halo still exceeds the thinnest chunks.
SMALL = dict(search_radius=2, patch_radius=1, guided_search_radius=2)


def noisy_volume(seed=3, nan=False, noise=rician):
    v = noise(phantom(SHAPE), 0.05, seed) * 1000.0
    if nan:
        v[3, 4, 5] = np.nan
        v[10, 9, 15] = np.nan
    return np.asfortranarray(v)


# (name, chunks): uneven, thinner than the halo, one chunk, one slice, mixed.
CHUNKINGS = [
    ("uneven", ((7, 13), (5, 6, 7), (9, 7))),
    ("thinner than the halo", (7, 9, 3)),
    ("one chunk", -1),
    ("one slice", (20, 18, 1)),
    ("one voxel along x", (1, 18, 16)),
]


def relative_difference(a, b):
    both = np.isnan(a) & np.isnan(b)
    assert np.array_equal(np.isnan(a), np.isnan(b))
    scale = np.maximum(np.abs(a), np.abs(b))
    scale[scale == 0] = 1.0
    d = np.abs(a - b) / scale
    d[both] = 0.0
    return d


@pytest.mark.parametrize("name,chunks", CHUNKINGS, ids=[c[0] for c in CHUNKINGS])
@pytest.mark.parametrize("method", ["block", "guided"])
@pytest.mark.parametrize("is_rician", [True, False])
def test_chunked_equals_whole_volume(name, chunks, method, is_rician):
    volume = noisy_volume(seed=5 if is_rician else 6, nan=(name == "uneven"),
                          noise=rician if is_rician else gaussian)
    whole = volnlm.denoise(volume, method=method, rician=is_rician, **SMALL)
    array = da.from_array(volume, chunks=chunks)
    lazy = vd.denoise(array, method=method, rician=is_rician, **SMALL)
    assert lazy.chunks == array.chunks
    assert lazy.dtype == np.float64
    with dask.config.set(scheduler="single-threaded"):
        chunked = lazy.compute()
    d = relative_difference(chunked, whole)
    # The blockwise filter's sums are float32: where slabs meet they may add in another order.
    rounding = 1e-5
    if method == "block":
        # Every decision the same: only the order of additions differs.
        assert d.max() <= rounding, (name, d.max())
    else:
        # The guide differs within rounding; where a guide-mean difference truncates the other
        # way a weight changes and the voxel by more. Counted, and they must stay rare and small.
        flipped = int(np.count_nonzero(d > rounding))
        print(f"{name} guided rician={is_rician}: {flipped} voxels beyond rounding, "
              f"largest relative difference {d.max():.2e}")
        assert flipped <= volume.size // 500, (name, flipped)
        assert d.max() <= 1e-2, (name, d.max())


def test_halo_is_the_cores_reach_and_one_voxel_less_differs():
    # A chunk cut with one voxel less of halo than the reach gives a different result somewhere;
    # the reach itself does not (checked above). The halo is taken from the core.
    d = volnlm.DEFAULTS
    assert vd.reach("block") == vd.reach("block", search_radius=d["search_radius"], patch_radius=1)
    assert vd.reach("guided", search_radius=3, patch_radius=1, guided_search_radius=4) == 10
    assert vd.reach("block", **{k: SMALL[k] for k in ("search_radius", "patch_radius")}) == 4
    halo = vd.reach("block", search_radius=2, patch_radius=1)
    volume = noisy_volume(seed=9)
    sigma = volnlm.estimate_sigma(volume)
    whole = volnlm.denoise(volume, sigma=sigma, method="block", search_radius=2, patch_radius=1,
                           smoothing=1.0)
    differ = 0
    for short in (halo - 1, halo):
        part = volume[:, :, : 8 + short]
        maximum = float(np.nanmax(volume))
        result, _ = volnlm._core.denoise(np.asfortranarray(part), [sigma], False, "block", True,
                                         2, 1, 1.0, None, maximum)
        d = relative_difference(result[:, :, :8], whole[:, :, :8])
        if short == halo:
            assert d.max() <= 1e-5
        else:
            differ = np.count_nonzero(d > 1e-5)
    assert differ > 0


def test_sigma_and_maximum_are_those_of_the_whole_volume():
    volume = noisy_volume(seed=11)
    # The brightest voxel sits in one corner chunk only.
    volume[1, 1, 1] = 3.0 * np.nanmax(volume)
    array = da.from_array(volume, chunks=(10, 9, 8))
    assert vd.estimate_sigma(array) == volnlm.estimate_sigma(volume)
    assert vd.estimate_sigma(array, rician=False) == volnlm.estimate_sigma(volume, rician=False)
    assert vd._volume_extremes(array) == (np.nanmax(volume), np.nanmax(np.abs(volume)), 0)
    whole = volnlm.denoise(volume, method="block")
    chunked = vd.denoise(array, method="block").compute(scheduler="single-threaded")
    assert relative_difference(chunked, whole).max() <= 1e-5


@pytest.mark.parametrize("values,expected", [
    ([np.nan, -3.0, 2.5], (2.5, 3.0)),
    ([-1.0, -2.0], (0.0, 2.0)),
    ([np.nan], (0.0, 0.0)),
    ([1.0, np.inf, -np.inf], (np.inf, 1.0)),
])
def test_volume_extremes_rules(values, expected):
    # The blockwise maximum (NaN left out, at least 0) and the finite peak magnitude.
    assert volnlm._core.volume_extremes(np.array(values)) == expected


def test_sigma_range_is_that_of_the_whole_volume():
    # A chunk of tiny values beside bright ones: the whole volume's range decides, not the
    # chunk's, so a sigma the whole volume takes is not refused in that chunk.
    volume = noisy_volume(seed=12)
    volume[:, :, :8] *= 2.0**-80
    whole = volnlm.denoise(volume, sigma=40.0, method="block")
    with pytest.raises(ValueError):
        volnlm.denoise(volume[:, :, :4], sigma=40.0, method="block")
    chunked = vd.denoise(da.from_array(volume, chunks=(20, 18, 4)), sigma=40.0, method="block")
    assert relative_difference(chunked.compute(), whole).max() <= 1e-5
    with pytest.raises(ValueError, match="sigma"):
        vd.denoise(da.from_array(volume, chunks=8), sigma=volume.max() * 2.0**70)


def test_sampled_sigma_reads_whole_blocks():
    # Beyond max_voxels the estimate comes from every k-th pair of slices (z = 2j, 2j + 1), the
    # smallest k that fits, and on stationary noise it stays close to the full estimate.
    volume = gaussian(np.zeros((24, 24, 40)) + 100.0, 2.0, 4)
    array = da.from_array(volume, chunks=(24, 24, 7))
    full = vd.estimate_sigma(array, rician=False)
    assert full == volnlm.estimate_sigma(volume, rician=False)
    every_other = np.concatenate([volume[:, :, z : z + 2] for z in range(0, 40, 4)], axis=2)
    sampled = vd.estimate_sigma(array, rician=False, max_voxels=volume.size - 1)
    assert sampled == volnlm.estimate_sigma(every_other, rician=False)
    assert abs(sampled - full) <= 0.05 * full
    sampled = vd.estimate_sigma(array, rician=False, max_voxels=volume.size // 4)
    assert sampled != full
    assert abs(sampled - full) <= 0.08 * full


@pytest.mark.parametrize("call,error", [
    (lambda a: vd.denoise(a, method="other"), ValueError),
    (lambda a: vd.denoise(a, search_radius=0), ValueError),
    (lambda a: vd.denoise(a, sigma=-1.0), ValueError),
    (lambda a: vd.denoise(a, smoothing=0.0), ValueError),
    (lambda a: vd.denoise(a[:, :, 0]), ValueError),
    (lambda a: vd.denoise(a.astype(np.complex128)), TypeError),
    (lambda a: vd.estimate_sigma(a, max_voxels=0), ValueError),
    (lambda a: vd.denoise(a, threads=0), ValueError),
    (lambda a: vd.denoise(a, threads=1.5), TypeError),
])
def test_bad_arguments_are_refused_before_reading(call, error):
    array = da.from_array(noisy_volume(), chunks=8)
    with pytest.raises(error):
        call(array)


def test_default_smoothing_is_chosen_from_the_whole_volume():
    # The default smoothing follows sigma over the signal level: of the whole volume, not of each
    # chunk, whose levels differ (a dark chunk would smooth more).
    volume = noisy_volume(seed=13)
    volume[:, :, :8] *= 0.2
    whole = volnlm.denoise(volume, method="block")
    chunked = vd.denoise(da.from_array(volume, chunks=(20, 18, 8)), method="block").compute()
    assert relative_difference(chunked, whole).max() <= 1e-5


def test_default_patch_radius_is_chosen_once_from_the_whole_volume():
    # The guided method's default patch radius follows the noise ratio of the whole volume; its
    # dark first slices, on their own, would lie above the band and keep the narrow patch. The
    # halo follows the radius chosen, so every chunk comes out as the whole volume does.
    clean = phantom(SHAPE) * 1000.0
    clean[:, :, :8] *= 0.2
    volume = np.asfortranarray(rician(clean, 40.0, 15))
    whole, used = volnlm.denoise(volume, return_params=True)
    sigma = used["Sigma"][0]
    assert used["Parameters"]["PatchRadius"] == 2
    assert volnlm._core.block_defaults(np.asfortranarray(volume[:, :, :8]), sigma, "guided")[0] == 1
    chunked = vd.denoise(da.from_array(volume, chunks=(20, 18, 8))).compute()
    assert relative_difference(chunked, whole).max() <= 1e-5
    # A given patch radius wins in chunks as in one call.
    narrow = volnlm.denoise(volume, patch_radius=1)
    assert not np.array_equal(narrow, whole)
    chunked = vd.denoise(da.from_array(volume, chunks=(20, 18, 8)), patch_radius=1).compute()
    assert relative_difference(chunked, narrow).max() <= 1e-5


def test_sigma_zero_returns_the_volume():
    volume = noisy_volume()
    out = vd.denoise(da.from_array(volume, chunks=7), sigma=0.0).compute()
    assert np.array_equal(out, volume)


def test_threads_per_chunk_leave_the_bits_unchanged():
    array = da.from_array(noisy_volume(seed=14), chunks=(20, 18, 9))
    one, two = (vd.denoise(array, threads=t, **SMALL).compute(scheduler="single-threaded")
                for t in (1, 2))
    assert np.array_equal(one, two)


# Masks: (name, mask maker over SHAPE, chunks of the volume).
def _ball(shape=SHAPE):
    x, y, z = np.meshgrid(*[np.arange(n) for n in shape], indexing="ij")
    return (x - 9.0) ** 2 / 25 + (y - 7.0) ** 2 / 16 + (z - 6.0) ** 2 / 9 < 1


def _sparse():
    return np.random.default_rng(21).random(SHAPE) < 0.04


def _plane_and_corner():
    m = np.zeros(SHAPE, bool)
    m[:, :, 11] = True
    m[0, 0, 0] = m[-1, -1, -1] = True
    return m


MASKED = [
    ("ball, uneven chunks", _ball, ((7, 13), (5, 6, 7), (9, 7))),
    ("sparse, chunks thinner than the halo", _sparse, (7, 9, 3)),
    ("plane and corners, one slice per chunk", _plane_and_corner, (20, 18, 1)),
    ("ball, one chunk", _ball, -1),
]


@pytest.mark.parametrize("name,make,chunks", MASKED, ids=[m[0] for m in MASKED])
@pytest.mark.parametrize("method", ["block", "guided"])
def test_masked_chunks_equal_one_masked_call_and_keep_the_input_outside(name, make, chunks, method):
    volume = noisy_volume(seed=15, nan=True)
    before = volume.copy()
    mask = make()
    whole = volnlm.denoise(volume, method=method, mask=mask, **SMALL)
    # The mask as a float dask array of another chunking, NaN standing for outside.
    as_float = da.from_array(np.where(mask, 2.5, np.nan), chunks=(6, 6, 6))
    lazy = vd.denoise(da.from_array(volume, chunks=chunks), method=method, mask=as_float, **SMALL)
    chunked = lazy.compute(scheduler="single-threaded")
    assert same_bits(volume, before)
    outside = ~mask
    assert same_bits(chunked[outside], volume[outside])
    assert same_bits(whole[outside], volume[outside])
    d = relative_difference(chunked[mask], whole[mask])
    if method == "block":
        assert d.max() <= 1e-5, (name, d.max())
    else:
        assert np.count_nonzero(d > 1e-5) <= max(1, mask.sum() // 500), (name, d.max())
        assert d.max() <= 1e-2
    # Inside, the volume was filtered.
    assert np.count_nonzero(chunked[mask] != volume[mask]) > 0.9 * np.count_nonzero(mask & ~np.isnan(volume))


@pytest.mark.parametrize("is_rician", [True, False])
def test_sigma_of_a_mask_is_that_of_one_call(is_rician):
    volume = noisy_volume(seed=16)
    mask = _ball()
    array = da.from_array(volume, chunks=(7, 9, 3))
    expected = volnlm.estimate_sigma(volume, is_rician, mask=mask)
    assert vd.estimate_sigma(array, is_rician, mask=da.from_array(mask, chunks=5)) == expected
    assert expected != volnlm.estimate_sigma(volume, is_rician)
    whole = volnlm.denoise(volume, method="block", rician=is_rician, mask=mask)
    chunked = vd.denoise(array, method="block", rician=is_rician, mask=mask).compute()
    assert relative_difference(chunked, whole).max() <= 1e-5


def test_sampled_sigma_of_a_mask_reads_the_pairs_that_hold_it():
    # Beyond max_voxels: every k-th pair of slices among those holding mask voxels (z 20 to 39).
    volume = gaussian(np.zeros((24, 24, 40)) + 100.0, 2.0, 4)
    volume[:, :, 20:] += gaussian(np.zeros((24, 24, 20)), 6.0, 5)
    mask = np.zeros(volume.shape, bool)
    mask[2:20, 3:22, 20:] = True
    array = da.from_array(volume, chunks=(24, 24, 7))
    starts = range(20, 40, 4)   # 10 pairs hold the mask; a budget of 5 pairs keeps every other
    sample = np.concatenate([volume[:, :, z : z + 2] for z in starts], axis=2)
    sample_mask = np.concatenate([mask[:, :, z : z + 2] for z in starts], axis=2)
    got = vd.estimate_sigma(array, rician=False, mask=mask, max_voxels=5 * 2 * 24 * 24)
    assert got == volnlm.estimate_sigma(sample, rician=False, mask=sample_mask)
    assert abs(got / volnlm.estimate_sigma(volume, rician=False, mask=mask) - 1) < 0.1


def test_auto_mask_is_that_of_one_call_and_refused_beyond_its_limit(monkeypatch):
    clean = 600.0 * phantom((30, 28, 24))
    volume = rician(clean, 18.0, 17)
    array = da.from_array(volume, chunks=(11, 28, 7))
    whole, record = volnlm.denoise(volume, method="block", mask="auto", return_params=True)
    assert 0 < record["Mask"]["Coverage"] < 1
    assert vd.estimate_sigma(array, mask="auto") == volnlm.estimate_sigma(volume, mask="auto")
    chunked = vd.denoise(array, method="block", mask="auto").compute()
    assert relative_difference(chunked, whole).max() <= 1e-5
    assert np.count_nonzero(chunked == volume) > 0  # the air is kept
    monkeypatch.setattr(vd, "AUTO_MASK_VOXELS", volume.size - 1)
    for call in (vd.denoise, vd.estimate_sigma):
        with pytest.raises(ValueError, match="AUTO_MASK_VOXELS"):
            call(array, mask="auto")


def test_an_empty_mask_returns_the_input_with_a_warning():
    volume = noisy_volume(seed=18)
    array = da.from_array(volume, chunks=8)
    with pytest.warns(UserWarning, match="no voxel"):
        out = vd.denoise(array, mask=np.zeros(SHAPE))
    assert same_bits(out.compute(), volume)
    with pytest.warns(UserWarning, match="no voxel"):
        assert vd.estimate_sigma(array, mask=np.full(SHAPE, np.nan)) == 0.0


@pytest.mark.parametrize("bad,error", [
    (np.ones((20, 18, 15)), ValueError),
    (da.ones((20, 18, 17), chunks=5), ValueError),
    (np.ones(SHAPE, np.complex64), TypeError),
    ("head", ValueError),
    (np.ma.MaskedArray(np.ones(SHAPE)), TypeError),
])
def test_bad_masks_are_refused_before_any_chunk(bad, error):
    array = da.from_array(noisy_volume(), chunks=8)
    for call in (vd.denoise, vd.estimate_sigma):
        with pytest.raises(error, match="mask"):
            call(array, mask=bad)
