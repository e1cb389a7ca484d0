"""Non-local-means denoising of 3-D MRI volumes.

Functions
---------
denoise(volume, sigma=None, method="guided", rician=True, *, mask=None, ...)
    The one call for magnitude MRI: estimates the noise when it is not given and runs the
    filters with measured defaults.
estimate_sigma(volume, rician=True, *, mask=None)
    Robust estimate of the noise standard deviation from the volume itself.
blockdenoise(noisy, search_radius, patch_radius, sigma, smoothing, rician=False)
    Blockwise non-local means with candidate preselection, in single precision.
sorvane(noisy, guide, search_radius, sigma, rician=False)
    Voxelwise non-local average judged on a pre-filtered guide, in double precision.

Volumes are numpy arrays indexed ``[x, y, z]``, axis 0 varying fastest in memory (Fortran
order), which is what nibabel's ``get_fdata()`` returns; a 2-D array is one slice. An array that
is already Fortran-ordered with the filter's element type is read in place; any other layout or
real numeric dtype is converted once. Every computation releases the GIL, so several volumes
can be filtered from Python threads at once, and every result is bit-identical from run to run,
on any number of cores and threads, and to the MATLAB/Octave plug-ins on the same input.

Every function takes ``mask=``: an array of the volume's shape (bool, integers or floats in any
layout; nonzero is inside, NaN outside), or ``"auto"`` (a head mask made from the volume) for
`denoise` and `estimate_sigma`. Inside the mask the result has the same bits as without it,
outside it is the input unchanged, and the work done shrinks with the mask.
"""

import numbers
import operator
import warnings

import numpy as np

from . import _core

__all__ = ["denoise", "estimate_sigma", "blockdenoise", "sorvane"]
# The project version the build set (the one in CMakeLists.txt).
__version__ = _core.VERSION

#: denoise's defaults (method, radii, smoothing), as the compiled core defines them.
DEFAULTS = dict(_core.DEFAULTS)
_METHODS = tuple(_core.METHODS)
_METHOD_CHOICES = " or ".join(f'"{m}"' for m in _METHODS)

#: The keys of the record that ``denoise(..., return_params=True)`` returns and the command
#: line writes as its JSON sidecar, each with what it holds (text made by the compiled core).
RECORD_KEYS = _core.RECORD_KEYS


def _volume(value, dtype, name, series=False):
    """`value` as a Fortran-ordered array of `dtype`: itself when it already is one. With
    `series`, a 4-D array [x, y, z, volume] is taken too. Type and shape are checked before
    anything is converted, so a huge or broadcast array is refused without being copied."""
    if isinstance(value, np.ma.MaskedArray):
        # Its masked voxels would be read as data: refused by type, whatever the mask holds.
        raise TypeError(
            f"{name} is a numpy masked array, whose mask the filters cannot honour; pass "
            f"{name}.filled(value) to choose what masked voxels hold, or {name}.data to "
            "filter the values underneath"
        )
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(
            f"{name} must be an array of real integers or floats; got dtype {array.dtype}"
        )
    if not 1 <= array.ndim <= (4 if series else 3):
        what = (
            "a 3-D volume indexed [x, y, z] or a 4-D series indexed [x, y, z, volume]"
            if series
            else "a 3-D volume indexed [x, y, z]"
        )
        raise ValueError(
            f"{name} must be {what} (a 2-D array is one slice); "
            f"got a {array.ndim}-D array of shape {array.shape}"
        )
    _core.check_shape(name, array.shape)
    if array.dtype == dtype and array.flags.f_contiguous and array.flags.aligned:
        return array
    return np.array(array, dtype=dtype, order="F")


#: What the ``mask`` argument of every function accepts, for its messages.
_MASK_FORMS = "an array of the volume's shape (bool, integers or floats; nonzero = inside)"


def _mask(value, volume, auto=False, estimate=False, name="mask"):
    """The mask for the core: None, "auto" (where `auto` allows it), or a Fortran-ordered uint8
    array of 0 and 1 of the shape of one volume of `volume` (the checked array the core reads).
    Nonzero is inside; NaN in a float mask is outside. Warns when the mask holds no voxel (for
    the noise estimate with `estimate`)."""
    if value is None:
        return None
    forms = _MASK_FORMS + (', or "auto"' if auto else "")
    if isinstance(value, str):
        if value == "auto" and auto:
            return "auto"
        raise ValueError(f"{name} must be {forms}; got the string {value!r}")
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError(f"{name} is a numpy masked array; pass {name}.filled(value) to choose what its "
                        "masked voxels hold")
    array = np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be {forms}; got dtype {array.dtype}")
    shape = volume.shape[:3]
    if array.shape != shape:
        what = "one volume of the series" if volume.ndim == 4 else "the volume"
        raise ValueError(f"{name} has shape {array.shape}; it must have the shape of {what}, {shape}")
    inside = array != 0
    if array.dtype.kind == "f":
        inside &= ~np.isnan(array)
    if not inside.any():
        _warn_empty("the mask", estimate, stacklevel=4)
    return np.asfortranarray(inside).view(np.uint8)


def _warn_empty(which, estimate, stacklevel):
    """The warning for a mask without a voxel inside: the call's result is the input (or, for
    the noise estimate, 0). `stacklevel` counts from this function."""
    outcome = "the estimate is 0.0" if estimate else "nothing is filtered and the output is the input"
    warnings.warn(f"{which} holds no voxel: {outcome}", UserWarning, stacklevel=stacklevel)


_AUTO_MASK = 'the automatic mask (mask="auto"), made from the volume,'


def _split_mask(mask):
    """The core's (mask, auto_mask) arguments for what _mask returned."""
    return (None, True) if isinstance(mask, str) else (mask, False)


def _scalar(value):
    """A 0-d numpy array as its Python scalar; anything else unchanged."""
    if isinstance(value, np.ndarray) and value.ndim == 0:
        return value.item()
    return value


def _radius(value, name):
    value = _scalar(value)
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer; got a bool")
    try:
        radius = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer; got {type(value).__name__}") from None
    if not -(2**31) <= radius < 2**31:
        raise ValueError(f"{name} must fit a signed 32-bit integer; got {radius}")
    return radius


def _real(value, name):
    value = _scalar(value)
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number; got {type(value).__name__}")
    return float(value)


def _sigmas(value):
    """sigma as None, or a list of floats: one value, or one per volume."""
    if value is None:
        return None
    array = np.asarray(value) if not isinstance(value, (str, bytes)) else None
    if array is not None and array.ndim == 1:
        if array.dtype.kind not in "iuf":
            raise TypeError(f"sigma must be a real number or a sequence of them; got dtype {array.dtype}")
        return [float(v) for v in array]
    if array is not None and array.ndim > 1:
        raise ValueError(f"sigma must be a number or a 1-D sequence with one value per volume; got shape {array.shape}")
    return [_real(value, "sigma")]


def _threads(value):
    """The thread count for the core: 0 for None (the default), else a positive integer."""
    if value is None:
        return 0
    value = _scalar(value)
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("threads must be a positive integer or None; got a bool")
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(
            f"threads must be a positive integer or None; got {type(value).__name__}"
        ) from None
    if count < 1:
        raise ValueError(f"threads must be a positive integer or None; got {count}")
    return min(count, 2**31 - 1)  # more threads than slabs never run


def _flag(value, name):
    value = _scalar(value)
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, numbers.Integral) and value in (0, 1):
        return bool(value)
    raise TypeError(f"{name} must be True or False; got {value!r}")


def sorvane(noisy, guide, search_radius, sigma, rician=False, *, mask=None, threads=None):
    """Voxelwise non-local average of `noisy`, judged on the pre-filtered `guide`.

    Every pair of voxels within the cubic search window is weighed once, by how alike the two
    voxels are in `guide` and in an 8-sample local mean of `guide`, and each voxel's value is
    added, weighted, into the other's average. Computed in double precision.

    Its result depends on the data's units, not only on their ratio to sigma: the guide's local
    means are compared in whole units (their difference is truncated), so with sigma below a
    few units the comparison degrades. `denoise` rescales the volume so that sigma lies in
    [64, 128) and is unaffected; call the filter directly only on data in such units.

    Parameters
    ----------
    noisy : array_like, 3-D (or 2-D for one slice), real integers or floats
        The noisy volume, indexed [x, y, z]. Converted to float64 unless it already is a
        Fortran-ordered float64 array, which is read in place.
    guide : array_like of the same shape
        The pre-filtered volume on which similarity is judged, for example the output of
        `blockdenoise` on the same volume.
    search_radius : int
        Half-width of the cubic search window (0 or negative: no averaging).
    sigma : float
        Noise standard deviation, in the units of `noisy`.
    rician : bool, default False
        Rician mode for magnitude images: averages squared values and removes the noise bias
        2 * sigma**2 before the square root. Off by default, like the plug-in's explicit flag;
        `denoise` turns it on by default.
    mask : array_like of the shape of `noisy`, optional, keyword only
        Voxels to filter: bool, integers or floats in any layout, nonzero inside (NaN in a
        float mask counts as outside). Inside it the result has the same bits as without a
        mask; outside it the result is `noisy` unchanged; only the work the voxels inside
        need is done. A mask with no voxel inside returns `noisy` with a ``UserWarning``.
    threads : int, optional, keyword only
        Worker threads. By default the ``VOLNLM_NUM_THREADS`` environment variable, else the
        CPUs the process may use (its affinity mask and cgroup CPU quota); never more than the
        slabs the volume is cut into. The result is the same bits for every count.

    Returns
    -------
    numpy.ndarray of float64, Fortran-ordered, of the shape of `noisy`.

    Raises
    ------
    TypeError
        For a complex, boolean or non-numeric array, a complex or non-numeric mask, or a
        scalar of the wrong type.
    ValueError
        For an array of more than three dimensions, a guide or mask whose shape differs from
        `noisy`'s, a string as mask, a non-finite sigma, a thread count below 1, or a
        ``VOLNLM_NUM_THREADS`` that is not a positive integer.
    MemoryError
        When memory for the buffers or the worker threads' stacks cannot be had.
    KeyboardInterrupt
        On Ctrl-C during the call (within a few hundredths of a second; no worker is left).
    """
    noisy_array = _volume(noisy, np.float64, "noisy")
    guide_array = _volume(guide, np.float64, "guide")
    return _core.sorvane(
        noisy_array,
        guide_array,
        _radius(search_radius, "search_radius"),
        _real(sigma, "sigma"),
        _flag(rician, "rician"),
        _threads(threads),
        _mask(mask, noisy_array),
    )


def blockdenoise(noisy, search_radius, patch_radius, sigma, smoothing, rician=False, *,
                 mask=None, threads=None):
    """Blockwise non-local means of `noisy`, in single precision.

    For every voxel the cubic patch around it is compared with the patches of the candidates
    in the search window whose local mean and variance resemble its own; the weighted block
    estimate is spread over every voxel of the block, and each voxel's result is the mean of
    the block estimates that covered it.

    Its result depends on the data's units, not only on their ratio to sigma: the thresholds
    of the mean and variance preselection are absolute, so data near 1e-3 with sigma 1e-4
    come back unchanged. `denoise` rescales the volume so that sigma lies in [64, 128) and is
    unaffected; call the filter directly only on data in such units. In Rician mode values
    are squared in single precision: where a weighted sum of squares passes the float range
    (values from about 1.8e19 on, fewer with many candidates), the voxels of that block come
    out infinite; `denoise` keeps its data far from that range.

    Parameters
    ----------
    noisy : array_like, 3-D (or 2-D for one slice), real integers or floats
        The noisy volume, indexed [x, y, z]. Converted to float32 unless it already is a
        Fortran-ordered float32 array, which is read in place.
    search_radius : int
        Half-width of the cubic search window (negative: no candidates). It also sets the
        number of slabs the volume is cut into, the slice count divided by it, between 1
        and 8; at most that many threads work through them.
    patch_radius : int
        Half-width of the cubic patch and block (negative: no blocks, the input comes back).
    sigma : float
        Noise standard deviation, in the units of `noisy`; rounded to float32.
    smoothing : float
        Factor on sigma**2 in the weights' denominator: larger values smooth more.
    rician : bool, default False
        Rician mode for magnitude images: averages squared values and removes the noise bias
        2 * sigma**2 before the square root. Off by default, like the plug-in's explicit flag;
        `denoise` turns it on by default.
    mask : array_like of the shape of `noisy`, optional, keyword only
        Voxels to filter: bool, integers or floats in any layout, nonzero inside (NaN in a
        float mask counts as outside). Inside it the result has the same bits as without a
        mask; outside it the result is `noisy` unchanged; only the work the voxels inside
        need is done. A mask with no voxel inside returns `noisy` with a ``UserWarning``.
    threads : int, optional, keyword only
        Worker threads. By default the ``VOLNLM_NUM_THREADS`` environment variable, else the
        CPUs the process may use (its affinity mask and cgroup CPU quota); never more than the
        slabs the volume is cut into. The result is the same bits for every count.

    Returns
    -------
    numpy.ndarray of float32, Fortran-ordered, of the shape of `noisy`.

    Raises
    ------
    TypeError
        For a complex, boolean or non-numeric array, a complex or non-numeric mask, or a
        scalar of the wrong type.
    ValueError
        For an array of more than three dimensions, a mask whose shape differs from `noisy`'s,
        a string as mask, a non-finite sigma or smoothing, a negative smoothing, a patch
        radius that the volume's extents cannot serve, a thread count below 1, or a
        ``VOLNLM_NUM_THREADS`` that is not a positive integer.
    MemoryError
        When memory for the buffers or the worker threads' stacks cannot be had.
    KeyboardInterrupt
        On Ctrl-C during the call (within a few hundredths of a second; no worker is left).
    """
    noisy_array = _volume(noisy, np.float32, "noisy")
    return _core.blockdenoise(
        noisy_array,
        _radius(search_radius, "search_radius"),
        _radius(patch_radius, "patch_radius"),
        _real(sigma, "sigma"),
        _real(smoothing, "smoothing"),
        _flag(rician, "rician"),
        _threads(threads),
        _mask(mask, noisy_array),
    )


def estimate_sigma(volume, rician=True, *, mask=None):
    """Estimate the noise standard deviation of `volume` from the volume itself (of each volume
    of a 4-D series).

    The volume is cut into 2x2x2 blocks, each taken through one level of the Haar wavelet
    transform. The finest, diagonal detail of a block (a mixed third difference, blind to flat
    regions, ramps and axis-aligned edges) has the noise's standard deviation for white noise,
    and the median of their magnitudes divided by 0.6745 estimates it robustly. Blocks that an
    edge crosses are recognised by their other six details (above the 99.9% quantile of what
    noise alone gives) and left out, as are blocks of identical values (zero-filled background,
    masks) and blocks with NaN or infinity; estimate and screening are repeated until stable.

    With ``rician=True`` (magnitude MRI) only the bright blocks count, those whose mean exceeds
    5 times the estimate, since the magnitude's spread falls below sigma where the signal is low
    (to 0.655 sigma in pure background); when hardly any block is that bright, the estimate
    over all blocks is divided by that Rayleigh factor 0.655 instead. That quotient bounds the
    noise from above and is also taken when the bright blocks' estimate exceeds it, as it does
    on small volumes where edges cross most blocks.

    Measured with seeded noise of 3% and 9% of the maximum, on a real T1 volume and on
    synthetic phantoms, Gaussian and Rician: within 4% of the truth.

    Parameters
    ----------
    volume : array_like, 3-D (or 2-D), or a 4-D series [x, y, z, volume]; real integers or floats
    rician : bool, default True
        True for magnitude images with Rician noise, False for Gaussian noise.
    mask : array_like of the shape of one volume, or "auto", optional, keyword only
        Estimate from the voxels inside it only: the 2x2x2 blocks lying wholly inside it (all
        blocks touching it when none does). Bool, integers or floats in any layout, nonzero
        inside, NaN outside; ``"auto"`` makes a head mask from the (first) volume, as
        `denoise` does. A 4-D series uses the one mask for every volume. A mask with no voxel
        inside gives 0.0 with a ``UserWarning``.

    Returns
    -------
    float, or for a 4-D series a 1-D float64 array with one value per volume
        The estimated sigma, in the units of `volume`; 0.0 for a volume without noise (or
        with fewer than two voxels along every axis).

    Raises
    ------
    TypeError
        For a complex, boolean or non-numeric volume, or a complex or non-numeric mask.
    ValueError
        For a mask whose shape is not one volume's, or a string other than ``"auto"``.
    """
    array = _volume(volume, np.float64, "volume", series=True)
    is_rician = _flag(rician, "rician")
    core_mask, auto_mask = _split_mask(_mask(mask, array, auto=True, estimate=True))
    sigma, inside = _core.estimate_sigma(array, is_rician, core_mask, auto_mask)
    if auto_mask and inside == 0:
        _warn_empty(_AUTO_MASK, True, stacklevel=3)
    return sigma


def denoise(volume, sigma=None, method="guided", rician=True, *, mask=None, shared_sigma=False,
            search_radius=None, patch_radius=None, smoothing=None, guided_search_radius=None,
            threads=None, return_params=False):
    """Denoise a 3-D MRI volume, or each volume of a 4-D series, in one call, with measured
    defaults.

    ``method="guided"`` (the default) runs `blockdenoise` to make a guide and then `sorvane` on
    the original volume with that guide; ``method="block"`` runs `blockdenoise` alone. When
    `sigma` is omitted it is estimated with ``estimate_sigma(volume, rician)``, for each volume
    of a series. Volume k of a series' result is, bit for bit, ``denoise`` of volume k alone with
    the same sigma.

    Parameters
    ----------
    volume : array_like, 3-D (or 2-D for one slice), or a 4-D series; real integers or floats
        The noisy volume, indexed [x, y, z], or series, indexed [x, y, z, volume], as nibabel's
        ``get_fdata()`` returns it. A series is read in place when it is Fortran-ordered
        float64, so memory beyond input and result is that of one volume.
    sigma : float or sequence of floats, optional
        Noise standard deviation in the units of `volume`: one value for every volume, or one
        per volume of a series; estimated (per volume) when omitted. 0 returns the volume
        unchanged (as float64). A given sigma must lie between 2^-40 and 2^66 times the
        volume's largest finite magnitude (each volume's, in a series): there the unit scaling
        below is exact and the single-precision filter neither overflows nor loses the data;
        outside it ValueError names the range. An estimate below that range is taken as no
        noise (the volume comes back unchanged).
    shared_sigma : bool, default False
        With `sigma` omitted: one sigma for the whole series, the median of the per-volume
        estimates weighted by how many blocks each rests on, so bright volumes count most. A
        series shares one noise level, and this is steadier than each dim volume's own
        estimate (see the README's measurement). Not with a given `sigma`.
    method : {"guided", "block"}, default "guided"
    mask : array_like of the shape of one volume, or "auto", optional, keyword only
        Voxels to denoise: bool, integers or floats in any layout, nonzero inside (NaN in a
        float mask counts as outside); a 4-D series uses the one mask for every volume.
        Inside the mask the result has the same bits as the call without it with the same
        sigma; outside it the result is the input unchanged; the work is proportional to the
        mask grown by the filters' reach, not to the volume. An omitted sigma is estimated
        from the voxels inside the mask (see `estimate_sigma`). ``"auto"`` makes a head mask
        from the (first) volume: a threshold between background noise and tissue from the
        histogram, holes filled, the largest connected piece, grown by a margin of 2 voxels.
        A mask with no voxel inside returns the input with a ``UserWarning``. The record
        (``return_params``) says which mask ("array" or "auto") and what fraction of a
        volume it covers.
    rician : bool, default True
        Rician mode, on by default because this call is meant for magnitude MRI; pass False
        for data with Gaussian noise. (The filter functions default to False.) Magnitudes are
        never negative: in Rician mode the guided method takes a negative voxel as 0 and the
        block method as its absolute value, and a ``UserWarning`` says how many there are.
    search_radius : int, optional
        `blockdenoise`'s search radius, at least 1. Default 2.
    patch_radius : int, optional
        `blockdenoise`'s patch radius, at least 0. Default: chosen from the noise of each
        volume, @PATCH_RADIUS_RULE@ (``volnlm.DEFAULTS["patch_radius"]``); a chunked run
        chooses it once from the whole volume. A given value always wins; the value used is in
        the record (``return_params``).
    smoothing : float, optional
        `blockdenoise`'s factor on sigma**2 in the weights' denominator, above 0. Default:
        chosen from the noise of each volume (``volnlm.DEFAULTS["smoothing"]`` gives the rule),
        more for noisier volumes; the value used is in the record (``return_params``).
    guided_search_radius : int, optional
        `sorvane`'s search radius in the guided method, at least 1. Default 4.
    threads : int, optional, keyword only
        Worker threads. By default the ``VOLNLM_NUM_THREADS`` environment variable, else the
        CPUs the process may use (its affinity mask and cgroup CPU quota); never more than the
        slabs the volume is cut into. The result is the same bits for every count.
    return_params : bool, default False
        Also return the record of the run as a dict, with the keys of the command line's JSON
        sidecar (listed in ``volnlm.RECORD_KEYS``): method, noise model, the parameters used,
        sigma per volume and where it came from, the unit scale (see Notes) and more.

    Returns
    -------
    numpy.ndarray of float64, Fortran-ordered, of the shape of `volume`; with
    ``return_params=True`` a tuple (array, dict).

    Raises
    ------
    TypeError
        For a complex, boolean or non-numeric array, a complex or non-numeric mask, or an
        option of the wrong type.
    ValueError
        For an array of more than four dimensions, a mask whose shape is not one volume's or
        a string other than ``"auto"``, an unknown method, an option out of range,
        a sigma sequence whose length is not the number of volumes, `shared_sigma` with a
        given sigma, a sigma outside the volume's range (see `sigma`), or a
        ``VOLNLM_NUM_THREADS`` that is not a positive integer.
    MemoryError
        When memory for the buffers or the worker threads' stacks cannot be had.
    KeyboardInterrupt
        On Ctrl-C during the call (within a few hundredths of a second; no worker is left).
    UserWarning
        In Rician mode, when the volume holds negative voxels, and for a mask with no voxel
        inside (warned, not raised).

    Notes
    -----
    The defaults were chosen by PSNR on a whole real 1 mm T1 volume with Rician noise of 1 to
    15% of its maximum (with sigma estimated they raise its PSNR over the brain from 30.5 to
    40.0 dB at 3% and from 21.0 to 34.2 dB at 9%); the default smoothing grows with sigma
    relative to the volume's signal level, as ``DEFAULTS["smoothing"]`` says, and the guided
    method's guide takes a wider patch at moderate noise, as ``DEFAULTS["patch_radius"]`` says
    (the README's "Defaults and quality" gives what it gains and costs). The filters are
    run on the volume multiplied by the power of two that brings sigma into [64, 128), and the
    result is divided by it, so that the result does not depend on the volume's units.

    Example
    -------
    >>> import nibabel as nib, numpy as np, volnlm
    >>> img = nib.load("t1.nii.gz")
    >>> clean = volnlm.denoise(img.get_fdata())
    >>> nib.save(nib.Nifti1Image(clean.astype(np.float32), img.affine), "t1_denoised.nii.gz")
    """
    if not isinstance(method, str):
        raise TypeError(f"method must be {_METHOD_CHOICES}; got {type(method).__name__}")
    array = _volume(volume, np.float64, "volume", series=True)
    is_rician = _flag(rician, "rician")
    core_mask, auto_mask = _split_mask(_mask(mask, array, auto=True))
    result, params = _core.denoise(
        array,
        _sigmas(sigma),
        _flag(shared_sigma, "shared_sigma"),
        method,
        is_rician,
        None if search_radius is None else _radius(search_radius, "search_radius"),
        None if patch_radius is None else _radius(patch_radius, "patch_radius"),
        None if smoothing is None else _real(smoothing, "smoothing"),
        None if guided_search_radius is None else _radius(guided_search_radius, "guided_search_radius"),
        threads=_threads(threads),
        mask=core_mask,
        auto_mask=auto_mask,
    )
    if auto_mask and params["Mask"] is not None and params["Mask"]["Coverage"] == 0:
        _warn_empty(_AUTO_MASK, False, stacklevel=3)
    negatives = _core.count_negative(array) if is_rician else 0
    if negatives:
        warnings.warn(
            _core.negative_voxels_warning(negatives, "volume", "rician=False"), UserWarning, stacklevel=2
        )
    return (result, params) if _flag(return_params, "return_params") else result


# The help states the patch radius rule as the compiled core defines it.
if denoise.__doc__:  # python -OO drops docstrings
    denoise.__doc__ = denoise.__doc__.replace("@PATCH_RADIUS_RULE@", DEFAULTS["patch_radius"])
