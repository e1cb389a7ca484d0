"""Masks through the Python functions: the same bits inside as without a mask, the input outside,
sigma from the voxels inside, the automatic head mask, every accepted form of mask, and the
masks refused."""
import warnings

import numpy as np
import pytest

import volnlm
from conftest import phantom, rician, same_bits

SHAPE = (13, 11, 16)


def _blob(rng):
    x, y, z = np.meshgrid(*[np.arange(n) for n in SHAPE], indexing="ij")
    c = rng.uniform(2, np.array(SHAPE) - 3)
    r = rng.uniform(1.5, 4.0, 3)
    return ((x - c[0]) / r[0]) ** 2 + ((y - c[1]) / r[1]) ** 2 + ((z - c[2]) / r[2]) ** 2 < 1


def _single_voxels(rng):
    m = np.zeros(SHAPE, bool)
    m[0, 0, 0] = m[-1, -1, -1] = True  # corners, where windows are cut
    m[tuple(rng.integers(0, n) for n in SHAPE)] = True
    return m


def _faces(rng):
    # One voxel on each of the six faces, away from the edges.
    m = np.zeros(SHAPE, bool)
    for axis in range(3):
        for side in (0, -1):
            index = [rng.integers(1, n - 1) for n in SHAPE]
            index[axis] = side
            m[tuple(index)] = True
    return m


def _thin(rng):
    # A plane and a line one voxel thick: thinner than the patch and the blocks.
    m = np.zeros(SHAPE, bool)
    m[:, :, rng.integers(0, SHAPE[2])] = True
    m[rng.integers(0, SHAPE[0]), :, :] = False
    m[rng.integers(0, SHAPE[0]), rng.integers(0, SHAPE[1]), :] = True
    return m


def _sparse(rng):
    return rng.random(SHAPE) < 0.05


MASKS = {
    "blob": _blob,
    "single voxels": _single_voxels,
    "every face": _faces,
    "thin": _thin,
    "sparse": _sparse,
    "empty": lambda rng: np.zeros(SHAPE, bool),
    "full": lambda rng: np.ones(SHAPE, bool),
}


def _volume(seed):
    # Rician noise on a head-like phantom, plus a random ramp so no two volumes look alike.
    rng = np.random.default_rng(seed)
    clean = 200.0 * phantom(SHAPE) + rng.uniform(0, 40) * np.linspace(0, 1, SHAPE[0])[:, None, None]
    return rician(clean, 12.0, seed)


SIGMA = 12.0
# Each call with and without a mask: the filters directly (sorvane on a fixed guide) and the
# one-call pipeline with both methods; sigma given so both calls use the same one.
CALLS = {
    "blockdenoise": lambda v, r, **kw: volnlm.blockdenoise(v, 2, 1, SIGMA, 1.0, rician=r, **kw),
    "sorvane": lambda v, r, **kw: volnlm.sorvane(v, np.round(v / 8.0) * 8.0, 3, SIGMA, rician=r, **kw),
    "denoise block": lambda v, r, **kw: volnlm.denoise(v, SIGMA, method="block", rician=r, **kw),
    "denoise guided": lambda v, r, **kw: volnlm.denoise(v, SIGMA, method="guided", rician=r, **kw),
}


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("kind", MASKS)
@pytest.mark.parametrize("is_rician", [True, False])
def test_same_bits_inside_and_the_input_outside(call, kind, is_rician):
    for seed in (1, 2):
        noisy = _volume(seed)
        mask = MASKS[kind](np.random.default_rng(100 + seed))
        whole = CALLS[call](noisy, is_rician, threads=1)
        # The filter's input as it reads it (blockdenoise works in single precision).
        original = noisy.astype(whole.dtype)
        for threads in (1, 2, 8):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                out = CALLS[call](noisy, is_rician, mask=mask, threads=threads)
            assert same_bits(out[mask], whole[mask]), f"seed {seed}, {threads} threads"
            assert same_bits(out[~mask], original[~mask]), f"seed {seed}, {threads} threads"
            empty_warnings = [w for w in caught if "holds no voxel" in str(w.message)]
            assert len(empty_warnings) == (kind == "empty")
        assert not np.array_equal(whole, original)  # the unmasked call did filter


def test_an_estimated_sigma_comes_from_the_mask_and_gives_the_same_bits_inside():
    # Noise of 4 in the lower half along x and of 16 in the upper half.
    rng = np.random.default_rng(5)
    shape = (40, 24, 20)
    clean = np.full(shape, 300.0)
    noise = np.where(np.arange(shape[0])[:, None, None] < 20, 4.0, 16.0)
    noisy = np.asfortranarray(clean + noise * rng.standard_normal(shape))
    lower = np.zeros(shape, bool)
    lower[:20] = True
    for mask, truth in ((lower, 4.0), (~lower, 16.0)):
        estimate = volnlm.estimate_sigma(noisy, rician=False, mask=mask)
        assert abs(estimate / truth - 1) < 0.1, (truth, estimate)
        out, used = volnlm.denoise(noisy, rician=False, mask=mask, return_params=True)
        assert used["Sigma"] == [estimate] and used["SigmaSource"] == "estimated"
        whole = volnlm.denoise(noisy, estimate, rician=False)
        assert same_bits(out[mask], whole[mask])
        assert same_bits(out[~mask], noisy[~mask])


def test_a_series_uses_the_one_mask_for_every_volume():
    volumes = [_volume(seed) for seed in (3, 4, 5)]
    series = np.stack(volumes, axis=3)
    mask = _blob(np.random.default_rng(9))
    out, used = volnlm.denoise(series, mask=mask, return_params=True)
    sigmas = volnlm.estimate_sigma(series, mask=mask)
    assert used["Sigma"] == list(sigmas)
    for k, volume in enumerate(volumes):
        assert sigmas[k] == volnlm.estimate_sigma(volume, mask=mask)
        assert same_bits(out[..., k], volnlm.denoise(volume, sigmas[k], mask=mask))
    assert used["Mask"] == {"Source": "array", "Coverage": mask.mean()}


def test_the_record_names_the_mask_and_its_coverage():
    noisy = _volume(6)
    mask = _sparse(np.random.default_rng(6))
    _, without = volnlm.denoise(noisy, return_params=True)
    _, given = volnlm.denoise(noisy, mask=mask, return_params=True)
    _, auto = volnlm.denoise(noisy, mask="auto", return_params=True)
    assert without["Mask"] is None
    assert given["Mask"] == {"Source": "array", "Coverage": mask.mean()}
    assert auto["Mask"]["Source"] == "auto" and 0 < auto["Mask"]["Coverage"] <= 1


def _head(shape=(40, 36, 32), level=0.09, seed=11):
    """The phantom head in air with Rician noise, and the head's voxels."""
    clean = 250.0 * phantom(shape)
    return rician(clean, level * 250.0, seed), clean > 0


@pytest.mark.parametrize("level", [0.03, 0.09])
def test_the_automatic_mask_covers_the_head_and_leaves_the_air(level):
    noisy, head = _head(level=level)
    out, used = volnlm.denoise(noisy, mask="auto", return_params=True)
    changed = out != noisy
    # Every head voxel is filtered (noise moves each one), the air far from it is not.
    assert changed[head].mean() > 0.99
    coverage = used["Mask"]["Coverage"]
    assert head.mean() <= coverage < 0.8
    assert changed.mean() <= coverage
    for corner in ((0, 0, 0), (-1, -1, -1), (0, -1, 0), (-1, 0, -1)):
        assert out[corner] == noisy[corner]
    # The estimate uses the same mask as the denoising, and is close to the truth.
    sigma = volnlm.estimate_sigma(noisy, mask="auto")
    assert used["Sigma"] == [sigma]
    assert abs(sigma / (level * 250.0) - 1) < 0.1
    # It is the core's head mask, passed on as any mask is.
    made = volnlm._core.head_mask(noisy)
    assert coverage == made.mean()
    assert same_bits(out, volnlm.denoise(noisy, mask=made))


def test_the_automatic_mask_of_a_series_is_its_first_volumes():
    first, _ = _head(seed=12)
    second = np.asfortranarray(np.roll(first, 3, axis=0))  # its own head mask differs
    made = volnlm._core.head_mask(first)
    assert not np.array_equal(made, volnlm._core.head_mask(second))
    series = np.stack([first, second], axis=3)
    out, used = volnlm.denoise(series, mask="auto", return_params=True)
    sigmas = volnlm.estimate_sigma(series, mask="auto")
    assert used["Sigma"] == list(sigmas) and used["Mask"]["Coverage"] == made.mean()
    for k, volume in enumerate((first, second)):
        assert sigmas[k] == volnlm.estimate_sigma(volume, mask=made)
        assert same_bits(out[..., k], volnlm.denoise(volume, sigmas[k], mask=made))


# Forms of the same mask: any integer or float type, any layout; nonzero inside, NaN outside.
def _forms(mask):
    as_float = np.where(mask, 0.25, 0.0)
    as_float[~mask & (np.arange(mask.size).reshape(mask.shape) % 3 == 0)] = np.nan
    wide = np.zeros((mask.shape[0] * 2,) + mask.shape[1:], np.int16)
    wide[::2] = np.where(mask, -7, 0)
    return {
        "bool": mask,
        "uint8 255": mask.astype(np.uint8) * 255,
        "int16 negative": np.where(mask, -1, 0).astype(np.int16),
        "float with NaN outside": as_float,
        "float32 infinite inside": np.where(mask, np.inf, 0).astype(np.float32),
        "C order": np.ascontiguousarray(mask.astype(np.int64)),
        "strided view": wide[::2],
        "reversed view": mask[::-1].copy()[::-1],
        "nested lists": mask.astype(int).tolist(),
    }


@pytest.mark.parametrize("form", list(_forms(np.zeros((1, 1, 1), bool))))
def test_every_form_of_a_mask_gives_the_same_result(form):
    noisy = _volume(7)
    mask = _blob(np.random.default_rng(7))
    given = _forms(mask)[form]
    assert same_bits(volnlm.denoise(noisy, SIGMA, mask=given), volnlm.denoise(noisy, SIGMA, mask=mask))
    assert same_bits(volnlm.blockdenoise(noisy, 2, 1, SIGMA, 1.0, mask=given),
                     volnlm.blockdenoise(noisy, 2, 1, SIGMA, 1.0, mask=mask))
    assert volnlm.estimate_sigma(noisy, mask=given) == volnlm.estimate_sigma(noisy, mask=mask)


def test_a_mask_of_nan_only_is_empty():
    noisy = _volume(8)
    with pytest.warns(UserWarning, match="the mask holds no voxel: nothing is filtered"):
        out = volnlm.denoise(noisy, mask=np.full(SHAPE, np.nan))
    assert same_bits(out, noisy)
    with pytest.warns(UserWarning, match="the mask holds no voxel: the estimate is 0.0"):
        assert volnlm.estimate_sigma(noisy, mask=np.zeros(SHAPE)) == 0.0


V = _volume(10)
SERIES = np.stack([V, V], axis=3)
MASK_CALLS = {
    "denoise": lambda m: volnlm.denoise(V, SIGMA, mask=m),
    "denoise series": lambda m: volnlm.denoise(SERIES, SIGMA, mask=m),
    "estimate_sigma": lambda m: volnlm.estimate_sigma(V, mask=m),
    "estimate_sigma series": lambda m: volnlm.estimate_sigma(SERIES, mask=m),
    "blockdenoise": lambda m: volnlm.blockdenoise(V, 2, 1, SIGMA, 1.0, mask=m),
    "sorvane": lambda m: volnlm.sorvane(V, V, 2, SIGMA, mask=m),
}
ONES = np.ones(SHAPE, bool)
# (mask, error, message)
BAD_MASKS = {
    "fewer slices": (ONES[:, :, :-1], ValueError, r"mask has shape \(13, 11, 15\); it must have the "
                                                  r"shape of (the volume|one volume of the series), \(13, 11, 16\)"),
    "transposed": (ONES.T, ValueError, r"mask has shape \(16, 11, 13\)"),
    "2-D": (ONES[:, :, 0], ValueError, r"mask has shape \(13, 11\)"),
    "a series": (SERIES > 0, ValueError, r"mask has shape \(13, 11, 16, 2\)"),
    "scalar": (np.True_, ValueError, r"mask has shape \(\)"),
    "complex": (ONES.astype(complex), TypeError, r"mask must be an array of the volume's shape .*got dtype complex128"),
    "strings": (np.full(SHAPE, "x"), TypeError, r"got dtype <U1"),
    "objects": (np.full(SHAPE, None), TypeError, r"got dtype object"),
    "another string": ("brain", ValueError, r"got the string 'brain'"),
    "masked array": (np.ma.masked_array(ONES), TypeError, r"mask is a numpy masked array"),
}


@pytest.mark.parametrize("call", MASK_CALLS)
@pytest.mark.parametrize("bad", BAD_MASKS)
def test_bad_masks_are_refused_with_both_shapes_or_the_type(call, bad):
    mask, error, message = BAD_MASKS[bad]
    with pytest.raises(error, match=message):
        MASK_CALLS[call](mask)


@pytest.mark.parametrize("call", ["blockdenoise", "sorvane"])
def test_the_filters_take_no_automatic_mask(call):
    with pytest.raises(ValueError, match=r"or floats; nonzero = inside\); got the string 'auto'"):
        MASK_CALLS[call]("auto")


def test_the_automatic_mask_of_a_volume_without_a_head_is_empty_and_says_so():
    flat = np.full(SHAPE, 5.0)
    with pytest.warns(UserWarning, match=r'the automatic mask \(mask="auto"\), made from the volume, holds '
                                         "no voxel: nothing is filtered"):
        out, used = volnlm.denoise(flat, SIGMA, mask="auto", return_params=True)
    assert same_bits(out, flat) and used["Mask"] == {"Source": "auto", "Coverage": 0.0}
