"""Wrong types raise TypeError and bad shapes or values ValueError, each saying what is expected."""
import numpy as np
import pytest

import volnlm

V = np.asfortranarray(np.linspace(1.0, 50.0, 6 * 5 * 4).reshape(6, 5, 4))


def sorvane(**kw):
    args = dict(noisy=V, guide=V, search_radius=1, sigma=3.0, rician=False)
    args.update(kw)
    return volnlm.sorvane(**args)


def block(**kw):
    args = dict(noisy=V, search_radius=1, patch_radius=1, sigma=3.0, smoothing=1.0, rician=False)
    args.update(kw)
    return volnlm.blockdenoise(**args)


def denoise(**kw):
    return volnlm.denoise(V, **kw)


CASES = [
    # (call, exception, pattern in the message)
    (lambda: sorvane(noisy=V.astype(complex)), TypeError, r"noisy must be an array of real integers or floats; got dtype complex128"),
    (lambda: sorvane(guide=V > 3), TypeError, r"guide must be an array of real .* got dtype bool"),
    (lambda: block(noisy=np.array([[None]])), TypeError, r"noisy must be .* got dtype object"),
    (lambda: block(noisy=[["a", "b"]]), TypeError, r"noisy must be .* got dtype <U1"),
    (lambda: block(noisy=None), TypeError, r"dtype object"),
    (lambda: volnlm.estimate_sigma(V.astype(np.complex64)), TypeError, r"volume must be .* complex64"),
    (lambda: volnlm.denoise(V.astype(bool)), TypeError, r"volume must be .* bool"),
    (lambda: sorvane(noisy=V[..., None, None]), ValueError, r"noisy must be a 3-D volume .* got a 5-D array of shape \(6, 5, 4, 1, 1\)"),
    (lambda: block(noisy=V[..., None]), ValueError, r"noisy must be a 3-D volume .* 4-D"),
    (lambda: block(noisy=np.float32(3.0)), ValueError, r"0-D"),
    (lambda: sorvane(guide=V[:, :, :3]), ValueError, r"guide must have the extents of noisy, 6x5x4; got 6x5x3"),
    (lambda: sorvane(guide=V.T), ValueError, r"guide must have the extents of noisy, 6x5x4; got 4x5x6"),
    (lambda: sorvane(search_radius=1.5), TypeError, r"search_radius must be an integer; got float"),
    (lambda: block(patch_radius="1"), TypeError, r"patch_radius must be an integer; got str"),
    (lambda: block(search_radius=True), TypeError, r"search_radius must be an integer; got a bool"),
    (lambda: sorvane(search_radius=2**31), ValueError, r"search_radius must fit a signed 32-bit integer"),
    (lambda: sorvane(sigma="3"), TypeError, r"sigma must be a real number; got str"),
    (lambda: sorvane(sigma=3j), TypeError, r"sigma must be a real number; got complex"),
    (lambda: sorvane(sigma=float("nan")), ValueError, r"sigma"),
    (lambda: block(sigma=float("inf")), ValueError, r"sigma"),
    (lambda: block(sigma=1e300), ValueError, r"sigma"),
    (lambda: block(smoothing=-1.0), ValueError, r"smoothing"),
    (lambda: block(patch_radius=7), ValueError, r"patch"),
    (lambda: sorvane(rician="yes"), TypeError, r"rician must be True or False; got 'yes'"),
    (lambda: block(rician=2), TypeError, r"rician must be True or False; got 2"),
    (lambda: denoise(method="fast"), ValueError, r"method must be \"guided\" or \"block\"; got \"fast\""),
    (lambda: denoise(method=1), TypeError, r"method must be \"guided\" or \"block\"; got int"),
    (lambda: denoise(sigma=-1.0), ValueError, r"sigma must be a finite number of 0 or more; got -1"),
    (lambda: denoise(sigma=float("nan")), ValueError, r"sigma must be a finite number"),
    (lambda: denoise(search_radius=0), ValueError, r"search_radius must be at least 1; got 0"),
    (lambda: denoise(guided_search_radius=-2), ValueError, r"guided_search_radius must be at least 1; got -2"),
    (lambda: denoise(patch_radius=-1), ValueError, r"patch_radius must be 0 or more; got -1"),
    (lambda: denoise(patch_radius=7), ValueError, r"patch"),
    (lambda: denoise(smoothing=0.0), ValueError, r"smoothing must be a finite number above 0; got 0"),
    (lambda: denoise(smoothing=1e39), ValueError, r"smoothing must be a finite number above 0; got inf"),
    (lambda: denoise(search_radius=2.0), TypeError, r"search_radius must be an integer"),
    (lambda: denoise(radius=2), TypeError, r"unexpected keyword argument 'radius'"),
    (lambda: denoise(return_params="yes"), TypeError, r"return_params must be True or False"),
]


@pytest.mark.parametrize("call, exception, pattern", CASES)
def test_bad_arguments_raise_with_a_message_saying_what_is_expected(call, exception, pattern):
    with pytest.raises(exception, match=pattern):
        call()


def test_errors_are_raised_before_anything_is_computed():
    # A valid call right after a failed one gives the same bits as before it.
    before = block()
    with pytest.raises(ValueError):
        block(sigma=float("nan"))
    assert np.array_equal(block(), before)
