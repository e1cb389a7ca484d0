"""Round trips through the filter functions: result types, shapes, layouts and dtypes."""
import numpy as np
import pytest

import volnlm
from conftest import same_bits

SIGMA = 12.0


def run_sorvane(v, **kw):
    return volnlm.sorvane(v, v, 2, SIGMA, **kw)


def run_block(v, **kw):
    return volnlm.blockdenoise(v, 2, 1, SIGMA, 1.0, **kw)


def run_sorvane_on_guide(v, guide):
    return volnlm.sorvane(v, guide, 2, SIGMA, rician=True)


FILTERS = [(run_sorvane, np.float64), (run_block, np.float32)]


@pytest.mark.parametrize("run, dtype", FILTERS)
@pytest.mark.parametrize("shape", [(20, 18, 16), (20, 18), (20,), (20, 18, 1), (1, 18, 16), (0, 4, 4)])
def test_result_has_the_input_shape_dtype_and_fortran_layout(noisy_volume, run, dtype, shape):
    padded = tuple(shape) + (1,) * (3 - len(shape))
    v = np.asfortranarray(noisy_volume[tuple(slice(0, n) for n in padded)].reshape(shape))
    before = v.copy()
    out = run(v)
    assert out.shape == shape
    assert out.dtype == dtype
    assert out.flags.f_contiguous
    assert not np.shares_memory(out, v)
    assert same_bits(v, before), "the input must not be changed"
    if v.size:
        assert np.all(np.isfinite(out))
        assert not np.array_equal(out, v.astype(dtype)), "a noisy volume must be changed"


@pytest.mark.parametrize("run, dtype", FILTERS)
def test_every_layout_and_real_dtype_gives_the_same_bits(noisy_volume, run, dtype):
    # Integral values from 0 to 255, so that every dtype holds them exactly.
    rounded = np.clip(np.round(noisy_volume), 0, 255)
    reference = run(np.asfortranarray(rounded, dtype=dtype))
    big = np.zeros((40, 36, 32))
    big[::2, ::2, ::2] = rounded
    variants = {
        "C order": np.ascontiguousarray(rounded),
        "strided view": big[::2, ::2, ::2],
        "reversed view": np.asfortranarray(rounded[::-1, :, ::-1])[::-1, :, ::-1],
        "uint8": rounded.astype(np.uint8),
        "int16 C order": np.ascontiguousarray(rounded, dtype=np.int16),
        "int64": rounded.astype(np.int64),
        "uint32": rounded.astype(np.uint32),
        "float16": rounded.astype(np.float16),
        "float32": rounded.astype(np.float32),
        "big-endian float64": rounded.astype(">f8"),
        "nested list": rounded.tolist(),
    }
    for name, variant in variants.items():
        assert same_bits(run(variant), reference), name


def test_float64_input_to_blockdenoise_is_rounded_once_to_float32(noisy_volume):
    # Values that float32 cannot hold: the float64 input must give the bits of its rounding.
    v = noisy_volume + 1e-9
    assert same_bits(run_block(v), run_block(v.astype(np.float32)))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_fortran_input_of_the_right_dtype_is_read_in_place(dtype):
    f = np.asfortranarray(np.ones((4, 5, 6), dtype=dtype))
    assert volnlm._volume(f, dtype, "noisy") is f
    c = np.ones((4, 5, 6), dtype=dtype)
    converted = volnlm._volume(c, dtype, "noisy")
    assert converted.flags.f_contiguous and converted.dtype == dtype
    assert np.array_equal(converted, c)
    other = volnlm._volume(f, np.float32 if dtype == np.float64 else np.float64, "noisy")
    assert not np.shares_memory(other, f)


@pytest.mark.parametrize("run", [run_sorvane, run_block])
def test_a_slice_and_a_line_are_volumes_of_one_slice_and_one_line(noisy_volume, run):
    plane = np.asfortranarray(noisy_volume[:, :, 5])
    assert same_bits(run(plane), run(plane[:, :, None])[:, :, 0])
    line = np.ascontiguousarray(noisy_volume[:, 3, 5])
    assert same_bits(run(line), run(line[:, None, None])[:, 0, 0])


def test_scalar_arguments_accept_numpy_scalars(noisy_volume):
    expected = volnlm.blockdenoise(noisy_volume, 2, 1, SIGMA, 1.0, rician=True)
    got = volnlm.blockdenoise(noisy_volume, np.int64(2), np.array(1), np.float32(SIGMA), np.array(1.0),
                              rician=np.bool_(True))
    assert same_bits(got, expected)


def test_arguments_reach_the_filters_in_their_places(noisy_volume):
    v = noisy_volume
    # No pair in the window: sorvane gives back the noisy volume, not the guide.
    assert same_bits(volnlm.sorvane(v, 2 * v, 0, SIGMA), v)
    # Rician mode with no pairs removes the bias 2 sigma^2 from each squared value.
    expected = np.sqrt(np.maximum(v * v - 2 * SIGMA * SIGMA, 0.0))
    np.testing.assert_allclose(volnlm.sorvane(v, v, 0, SIGMA, rician=True), expected, rtol=1e-12)
    # No blocks (negative patch radius): blockdenoise gives back its float32 input.
    assert same_bits(volnlm.blockdenoise(v, 2, -1, SIGMA, 1.0), v.astype(np.float32))
    # A larger smoothing factor smooths more: the radii and factors are not swapped.
    gentle = volnlm.blockdenoise(v, 2, 1, SIGMA, 0.25)
    strong = volnlm.blockdenoise(v, 2, 1, SIGMA, 8.0)
    roughness = [np.abs(np.diff(a, axis=0)).mean() for a in (gentle, strong)]
    assert roughness[1] < roughness[0]
    # Defaults: both filters are plain (not Rician) unless asked.
    assert same_bits(run_sorvane(v), run_sorvane(v, rician=False))
    assert same_bits(run_block(v), run_block(v, rician=False))
    assert not np.array_equal(run_block(v), run_block(v, rician=True))


def test_results_repeat_bit_for_bit(noisy_volume):
    guide = run_block(noisy_volume).astype(np.float64)
    first = [run_block(noisy_volume, rician=True), run_sorvane_on_guide(noisy_volume, guide)]
    for _ in range(3):
        again = [run_block(noisy_volume, rician=True), run_sorvane_on_guide(noisy_volume, guide)]
        assert all(same_bits(a, b) for a, b in zip(first, again))


def test_help_documents_every_public_function():
    for name in volnlm.__all__:
        doc = getattr(volnlm, name).__doc__
        assert doc and "Parameters" in doc and "Returns" in doc, name
    assert "rician : bool, default True" in volnlm.denoise.__doc__
    assert "rician : bool, default False" in volnlm.sorvane.__doc__
    assert "rician : bool, default False" in volnlm.blockdenoise.__doc__
