"""Denoising volumes of any size, chunk by chunk, as dask arrays.

denoise(array, sigma=None, method="guided", rician=True, ...)
    A lazy dask array of the same shape and chunks as `array`, equal to ``volnlm.denoise`` of
    the whole volume within rounding (see its Notes).
estimate_sigma(array, rician=True)
    The noise level of the whole volume, as ``volnlm.estimate_sigma`` finds it.
reach(method="guided", ...)
    The halo, in voxels, that each chunk carries.

Each chunk is filtered together with `reach` voxels of the volume around it (fewer only where the
volume ends, where the filters' border rules apply as on the whole volume), so that its interior
comes out as in one call on the whole volume. What is global is computed once, over the whole
volume, before any chunk is filtered: sigma (when not given) and the largest value, which the
blockwise step's preselection reads. The reach comes from the compiled core, which derives it
from the filters' rules.
"""

import math
import numbers

import dask
import dask.array as da
import numpy as np

from . import _core
from . import _flag, _radius, _real, _threads
from . import estimate_sigma as _estimate_sigma

__all__ = ["denoise", "estimate_sigma", "reach"]

#: Volumes of at most this many voxels have their sigma estimated from every voxel (the volume
#: is read into memory once, as float64); larger ones from a sample of slices (see
#: estimate_sigma).
EXACT_SIGMA_VOXELS = 2**27


def reach(method="guided", search_radius=None, patch_radius=None, guided_search_radius=None):
    """How many voxels around a chunk its result depends on, for these options of
    ``volnlm.denoise`` (defaults filled in): the halo every chunk is filtered with."""
    if not isinstance(method, str):
        raise TypeError(f"method must be a str; got {type(method).__name__}")
    return _core.reach(
        method,
        None if search_radius is None else _radius(search_radius, "search_radius"),
        None if patch_radius is None else _radius(patch_radius, "patch_radius"),
        None if guided_search_radius is None else _radius(guided_search_radius, "guided_search_radius"),
    )


def _dask_volume(array):
    """`array` as a 3-D dask array of real numbers (a numpy array becomes one chunk)."""
    if not isinstance(array, da.Array):
        if isinstance(array, np.ma.MaskedArray):
            raise TypeError("array is a numpy masked array; pass array.filled(value) instead")
        array = da.from_array(np.asarray(array), chunks=-1)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"array must hold real integers or floats; got dtype {array.dtype}")
    if array.ndim != 3:
        raise ValueError(
            f"array must be a 3-D volume indexed [x, y, z]; got a {array.ndim}-D array of shape "
            f"{array.shape}"
        )
    if any(math.isnan(n) for n in array.shape):
        raise ValueError("array must have known extents; call compute_chunk_sizes() first")
    return array


def _slice_sample(array, voxels):
    """Pairs of neighbouring slices (z = 2j, 2j + 1), every k-th pair with k as small as keeps
    the sample within `voxels`, stacked along z. The noise estimate works on 2x2x2 blocks that
    start at even coordinates, so each block of the sample is a block of the volume."""
    nx, ny, nz = array.shape
    pairs = nz // 2
    per_pair = 2 * nx * ny
    keep = max(1, voxels // per_pair)
    step = max(1, math.ceil(pairs / keep))
    starts = range(0, 2 * pairs, 2 * step)
    return da.concatenate([array[:, :, z : z + 2] for z in starts], axis=2)


def _global_sample(array, max_voxels):
    """The volume, or beyond `max_voxels` a sample of whole 2x2x2 blocks, in memory."""
    limit = EXACT_SIGMA_VOXELS if max_voxels is None else int(max_voxels)
    if limit < 1:
        raise ValueError(f"max_voxels must be at least 1; got {max_voxels}")
    if array.size > limit and array.shape[2] >= 4:
        array = _slice_sample(array, limit)
    return np.asfortranarray(array.compute(), dtype=np.float64)


def estimate_sigma(array, rician=True, *, max_voxels=None):
    """Estimate the noise standard deviation of the 3-D dask array `array`, once for the whole
    volume.

    A volume of at most `max_voxels` voxels (default ``EXACT_SIGMA_VOXELS``, 2**27: 1 GiB of
    float64) is read once and estimated exactly as ``volnlm.estimate_sigma`` estimates it. A
    larger one is estimated, by the same rule, on a sample of whole 2x2x2 blocks: pairs of
    neighbouring slices (z = 2j, 2j + 1) spread evenly along z, as many as fit `max_voxels`;
    only those slices are read. Noise is stationary in MRI, so every part of the volume
    estimates the same sigma, but slices outside the sample do not count.

    Returns a float (0.0 for a volume without noise).
    """
    array = _dask_volume(array)
    rician = _flag(rician, "rician")
    return float(_estimate_sigma(_global_sample(array, max_voxels), rician))


def _chunk_extremes(block):
    return np.array(_core.volume_extremes(block)).reshape(1, 1, 1, 2)


def _volume_extremes(array):
    """The whole volume's largest value as the blockwise step reads it (NaN left out, at least
    0) and its largest finite magnitude (against which sigma is checked): the largest of each
    chunk's, each chunk's by the compiled core's rules."""
    grid = tuple((1,) * len(c) for c in array.chunks) + ((2,),)
    per_chunk = array.map_blocks(_chunk_extremes, chunks=grid, new_axis=3, dtype=np.float64)
    maximum, peak = per_chunk.max(axis=(0, 1, 2)).compute()
    return float(maximum), float(peak)


def _filter_chunk(source, trim, sigma, method, rician, radii, maximum, peak, threads):
    """One chunk: `source` is the chunk with its halo; the result is trimmed to the chunk."""
    volume = np.asfortranarray(source, dtype=np.float64)
    result, _ = _core.denoise(volume, [sigma], False, method, rician, *radii, maximum, peak,
                              threads=threads)
    return np.asarray(result[trim])


def denoise(array, sigma=None, method="guided", rician=True, *, search_radius=None,
            patch_radius=None, smoothing=None, guided_search_radius=None, threads=None):
    """Denoise a 3-D volume held as a dask array, chunk by chunk; returns a lazy float64 dask
    array of the same shape and chunks.

    The options are those of ``volnlm.denoise`` and mean the same. `array` may be of any size
    and chunking (zarr, HDF5, a NIfTI proxy or memory behind it; a numpy array is taken as one
    chunk). Before returning, the call reads the volume to find what is global: its largest
    value (read by the blockwise step's preselection), its largest magnitude (a given sigma must
    suit it as in ``volnlm.denoise``: ValueError otherwise) and, when `sigma` is omitted, its
    sigma (see `estimate_sigma`). Each chunk is then filtered, when the result is computed, with
    ``reach(...)`` voxels of the volume around it. The default smoothing, which follows sigma
    over the volume's signal level, is chosen once from the whole volume (sampled as sigma is).
    `threads` is the worker threads of each chunk's call (default as in ``volnlm.denoise``); on
    a dask cluster whose workers already run one task per core, 1 avoids oversubscribing.

    Notes
    -----
    Every chunk's result equals that of ``volnlm.denoise`` on the whole volume (with the same
    sigma) to within rounding: the filters split their work into slabs by the extents they are
    given, so sums can be added in another order where slabs meet and differ in their last bits
    (a relative difference of the order of 1e-6 with "block", whose sums are single precision).
    Every decision of the blockwise filter (its local statistics and preselection) is the same.
    In the guided method the guide's last bits can differ in the same way, and the guided step
    compares guide means truncated to whole units: where a difference lies within rounding of a
    whole number it can truncate the other way and change a weight. That is rare (none in most
    volumes, a handful of voxels in a million in others) and changes those voxels by a fraction
    of sigma.
    """
    array = _dask_volume(array)
    if not isinstance(method, str):
        raise TypeError(f"method must be a str; got {type(method).__name__}")
    rician = _flag(rician, "rician")
    threads = _threads(threads)
    radii = (
        None if search_radius is None else _radius(search_radius, "search_radius"),
        None if patch_radius is None else _radius(patch_radius, "patch_radius"),
        None if smoothing is None else _real(smoothing, "smoothing"),
        None if guided_search_radius is None else _radius(guided_search_radius, "guided_search_radius"),
    )
    # Every option checked by the core before anything is read, on an empty volume.
    _core.denoise(np.zeros((0, 0, 0), order="F"), None if sigma is None else [_real(sigma, "sigma")],
                  False, method, rician, *radii)
    halo = _core.reach(method, radii[0], radii[1], radii[3])
    maximum, peak = _volume_extremes(array)
    sample = None
    if sigma is None:
        # An estimate below the range the volume's values allow is no noise, as in one call.
        sample = _global_sample(array, None)
        sigma = float(_estimate_sigma(sample, rician))
        if sigma < _core.check_sigma(0.0, peak):
            sigma = 0.0
    sigma = _real(sigma, "sigma")
    _core.check_sigma(sigma, peak)
    if radii[2] is None and sigma > 0.0:
        # The default smoothing depends on sigma over the whole volume's signal level.
        if sample is None:
            sample = _global_sample(array, None)
        radii = radii[:2] + (_core.default_smoothing(sample, sigma),) + radii[3:]

    starts = [np.concatenate(([0], np.cumsum(c))) for c in array.chunks]
    filter_chunk = dask.delayed(_filter_chunk, pure=True)
    blocks = np.empty(tuple(len(c) for c in array.chunks), dtype=object)
    for index in np.ndindex(blocks.shape):
        cut, trim, shape = [], [], []
        for axis, i in enumerate(index):
            lo, hi = int(starts[axis][i]), int(starts[axis][i + 1])
            cut_lo = max(0, lo - halo)
            cut_hi = min(array.shape[axis], hi + halo)
            cut.append(slice(cut_lo, cut_hi))
            trim.append(slice(lo - cut_lo, hi - cut_lo))
            shape.append(hi - lo)
        source = array[tuple(cut)]
        result = filter_chunk(source, tuple(trim), sigma, method, rician, radii, maximum, peak,
                              threads)
        blocks[index] = da.from_delayed(result, shape=tuple(shape), dtype=np.float64)
    return da.block(blocks.tolist())
