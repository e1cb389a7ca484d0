"""Denoising volumes of any size, chunk by chunk, as dask arrays.

denoise(array, sigma=None, method="guided", rician=True, *, mask=None, ...)
    A lazy dask array of the same shape and chunks as `array`, equal to ``volnlm.denoise`` of
    the whole volume within rounding (see its Notes).
estimate_sigma(array, rician=True, *, mask=None)
    The noise level of the whole volume (or mask), as ``volnlm.estimate_sigma`` finds it.
reach(method="guided", ...)
    The halo, in voxels, that each chunk carries.

Each chunk is filtered together with `reach` voxels of the volume around it (fewer only where the
volume ends, where the filters' border rules apply as on the whole volume), so that its interior
comes out as in one call on the whole volume. What is global is computed once, over the whole
volume, before any chunk is filtered: sigma (when not given), the default patch radius and
smoothing that follow it, and the largest value, which the blockwise step's preselection reads. The reach comes from the compiled core, which derives it
from the filters' rules.
"""

import math
import warnings

import dask
import dask.array as da
import numpy as np

from . import _core
from . import _flag, _radius, _real, _threads

__all__ = ["denoise", "estimate_sigma", "reach"]

#: Volumes of at most this many voxels have their sigma estimated from every voxel (the volume
#: is read into memory once, as float64); larger ones from a sample of slices (see
#: estimate_sigma).
EXACT_SIGMA_VOXELS = 2**27

#: mask="auto" makes the head mask from the whole volume in memory, as ``volnlm.denoise`` does:
#: volumes of at most this many voxels (its working memory is about 25 bytes per voxel).
AUTO_MASK_VOXELS = 2**27


def reach(method="guided", search_radius=None, patch_radius=None, guided_search_radius=None):
    """How many voxels around a chunk its result depends on, for these options of
    ``volnlm.denoise`` (defaults filled in): the halo every chunk is filtered with. Where the
    default patch radius follows the noise (the guided method without `patch_radius`), the
    widest it can take; `denoise` itself cuts the halo for the radius it chose."""
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


def _dask_mask(mask, array):
    """None, or `mask` as a dask array of bool (True inside) with the shape and chunks of
    `array`. "auto" is the head mask of ``volnlm.denoise(mask="auto")``, made from the whole
    volume in memory: refused beyond AUTO_MASK_VOXELS."""
    if mask is None:
        return None
    forms = "a numpy or dask array of the volume's shape (nonzero inside, NaN outside) or \"auto\""
    if isinstance(mask, str):
        if mask != "auto":
            raise ValueError(f"mask must be {forms}; got the string {mask!r}")
        if array.size > AUTO_MASK_VOXELS:
            raise ValueError(
                f'mask="auto" makes the head mask from the whole volume at once (a threshold over '
                f"its histogram, holes filled, its largest connected piece), in memory: at most "
                f"volnlm.dask.AUTO_MASK_VOXELS = {AUTO_MASK_VOXELS} voxels, and this volume has "
                f"{array.size}. Pass mask= an array of the volume's shape instead (for example a "
                f"head mask made on a downsampled copy, grown by a margin and brought back to "
                f"full size)")
        whole = np.asfortranarray(array.compute(), dtype=np.float64)
        return da.from_array(_core.head_mask(whole) != 0, chunks=array.chunks)
    if isinstance(mask, np.ma.MaskedArray):
        raise TypeError("mask is a numpy masked array; pass mask.filled(value) instead")
    if not isinstance(mask, da.Array):
        mask = np.asarray(mask)
        if mask.shape == array.shape:
            mask = da.from_array(mask, chunks=array.chunks)
    if mask.dtype.kind not in "biuf":
        raise TypeError(f"mask must be {forms}; got dtype {mask.dtype}")
    if mask.shape != array.shape:
        raise ValueError(f"mask has shape {mask.shape}; it must have the volume's shape, {array.shape}")
    inside = mask != 0
    if mask.dtype.kind == "f":
        inside &= ~da.isnan(mask)
    return inside.rechunk(array.chunks)


def _slice_pairs(array, voxels, inside):
    """The first slices of the pairs of neighbouring slices (z = 2j, 2j + 1) that sample the
    volume within `voxels`: every k-th pair, k as small as keeps within the budget, among the
    pairs holding a voxel of the mask `inside` (all pairs without one). The noise estimate works
    on 2x2x2 blocks that start at even coordinates, so each block of the sample is a block of
    the volume."""
    nx, ny, nz = array.shape
    pairs = np.arange(nz // 2)
    if inside is not None:
        per_slice = inside.sum(axis=(0, 1)).compute()
        holding = per_slice[0 : 2 * len(pairs) : 2] + per_slice[1 : 2 * len(pairs) : 2] > 0
        if holding.any():
            pairs = pairs[holding]
    keep = max(1, voxels // (2 * nx * ny))
    step = max(1, math.ceil(len(pairs) / keep))
    return [2 * int(j) for j in pairs[::step]]


def _global_sample(array, max_voxels, inside=None):
    """The volume and its mask (uint8, or None without one) in memory, or beyond `max_voxels`
    a sample of whole 2x2x2 blocks of both (see _slice_pairs)."""
    limit = EXACT_SIGMA_VOXELS if max_voxels is None else int(max_voxels)
    if limit < 1:
        raise ValueError(f"max_voxels must be at least 1; got {max_voxels}")
    if array.size > limit and array.shape[2] >= 4:
        starts = _slice_pairs(array, limit, inside)
        array = da.concatenate([array[:, :, z : z + 2] for z in starts], axis=2)
        if inside is not None:
            inside = da.concatenate([inside[:, :, z : z + 2] for z in starts], axis=2)
    if inside is None:
        return np.asfortranarray(array.compute(), dtype=np.float64), None
    volume, inside = dask.compute(array, inside)
    return np.asfortranarray(volume, dtype=np.float64), np.asfortranarray(inside, dtype=np.uint8)


def _warn_empty(outcome):
    warnings.warn(f"the mask holds no voxel: {outcome}", UserWarning, stacklevel=3)


def estimate_sigma(array, rician=True, *, mask=None, max_voxels=None):
    """Estimate the noise standard deviation of the 3-D dask array `array`, once for the whole
    volume (or the whole mask).

    A volume of at most `max_voxels` voxels (default ``EXACT_SIGMA_VOXELS``, 2**27: 1 GiB of
    float64) is read once and estimated exactly as ``volnlm.estimate_sigma`` estimates it, with
    the same mask. A larger one is estimated, by the same rule, on a sample of whole 2x2x2
    blocks: pairs of neighbouring slices (z = 2j, 2j + 1) spread evenly along z, as many as fit
    `max_voxels`, among the pairs that hold a voxel of the mask when there is one; only those
    slices are read. Noise is stationary in MRI, so every part of the volume estimates the same
    sigma, but slices outside the sample do not count.

    `mask` is a numpy or dask array of the volume's shape (nonzero inside, NaN outside; any
    chunking) or "auto" (see `denoise`). A mask with no voxel inside gives 0.0 with a
    ``UserWarning``.

    Returns a float (0.0 for a volume without noise).
    """
    array = _dask_volume(array)
    rician = _flag(rician, "rician")
    volume, inside = _global_sample(array, max_voxels, _dask_mask(mask, array))
    sigma, count = _core.estimate_sigma(volume, rician, inside, False)
    if count == 0:
        _warn_empty("the estimate is 0.0")
    return float(sigma)


def _chunk_extremes(block, inside=None):
    count = 0 if inside is None else np.count_nonzero(inside)
    return np.array(_core.volume_extremes(block) + (count,)).reshape(1, 1, 1, 3)


def _volume_extremes(array, inside=None):
    """The whole volume's largest value as the blockwise step reads it (NaN left out, at least
    0), its largest finite magnitude (against which sigma is checked), and the number of voxels
    inside the mask (0 without one): each chunk's by the compiled core's rules, then the
    largest (the sum), in one pass over the volume."""
    grid = tuple((1,) * len(c) for c in array.chunks) + ((3,),)
    arrays = (array,) if inside is None else (array, inside)
    per_chunk = da.map_blocks(_chunk_extremes, *arrays, chunks=grid, new_axis=3, dtype=np.float64)
    maximum, peak = per_chunk[..., :2].max(axis=(0, 1, 2))
    (maximum, peak), count = dask.compute((maximum, peak), per_chunk[..., 2].sum())
    return float(maximum), float(peak), int(count)


def _filter_chunk(source, inside, trim, sigma, method, rician, radii, maximum, peak, threads):
    """One chunk: `source` is the chunk with its halo (`inside`, its mask, or None); the result
    is trimmed to the chunk. A chunk with no voxel of the mask is the input as it stands."""
    volume = np.asfortranarray(source, dtype=np.float64)
    mask = None
    if inside is not None:
        if not inside[trim].any():
            return np.array(volume[trim])
        mask = np.asfortranarray(inside, dtype=np.uint8)
    result, _ = _core.denoise(volume, [sigma], False, method, rician, *radii, maximum, peak,
                              threads=threads, mask=mask)
    return np.asarray(result[trim])


def denoise(array, sigma=None, method="guided", rician=True, *, mask=None, search_radius=None,
            patch_radius=None, smoothing=None, guided_search_radius=None, threads=None):
    """Denoise a 3-D volume held as a dask array, chunk by chunk; returns a lazy float64 dask
    array of the same shape and chunks.

    The options are those of ``volnlm.denoise`` and mean the same. `array` may be of any size
    and chunking (zarr, HDF5, a NIfTI proxy or memory behind it; a numpy array is taken as one
    chunk). Before returning, the call reads the volume to find what is global: its largest
    value (read by the blockwise step's preselection), its largest magnitude (a given sigma must
    suit it as in ``volnlm.denoise``: ValueError otherwise) and, when `sigma` is omitted, its
    sigma (see `estimate_sigma`). Each chunk is then filtered, when the result is computed, with
    ``reach(...)`` voxels of the volume around it. The default patch radius and smoothing, which
    follow sigma over the volume's signal level, are chosen once from the whole volume (sampled
    as sigma is) and given to every chunk.
    `threads` is the worker threads of each chunk's call (default as in ``volnlm.denoise``); on
    a dask cluster whose workers already run one task per core, 1 avoids oversubscribing.

    `mask` is a numpy or dask array of the volume's shape (bool, integers or floats, any
    chunking; nonzero inside, NaN outside), or "auto". Inside it the result is that of
    ``volnlm.denoise`` with the same mask (within the rounding of the Notes); outside it is the
    input; an omitted sigma is estimated from the mask (see `estimate_sigma`); chunks with no
    voxel of the mask are not filtered at all. "auto" is the head mask ``volnlm.denoise`` makes
    (a threshold over the histogram, holes filled, the largest connected piece): it needs the
    whole volume at once, so it is made in memory and refused (ValueError) beyond
    ``AUTO_MASK_VOXELS`` voxels, where a mask array must be given. A mask with no voxel inside
    returns the input with a ``UserWarning``.

    Notes
    -----
    Every chunk's result equals that of ``volnlm.denoise`` on the whole volume (with the same
    sigma) to within rounding: the filters split their work into slabs by the extents they are
    given, so sums can be added in another order where slabs meet and differ in their last bits
    (a relative difference of the order of 1e-6 with "block", whose sums are single precision).
    Every decision of the blockwise filter (its local statistics and preselection) is the same.
    In the guided method the guide's last bits can differ in the same way, and the guided step
    compares guide means truncated to whole units: where a difference lies within rounding of a
    whole number it truncates the other way, changing one weight by a step. Measured on the
    181x217x181 T1 template with 3% Rician noise in 64^3 chunks: about 2 voxels in 10,000
    beyond 1e-5 relative, the largest by 0.05 sigma (the README gives the figures).
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
    inside = _dask_mask(mask, array)
    maximum, peak, count = _volume_extremes(array, inside)
    if inside is not None and count == 0:
        _warn_empty("nothing is filtered and the output is the input")
        return array.astype(np.float64)
    whole = None  # the volume in memory (or its sample), with no mask
    if sigma is None:
        # An estimate below the range the volume's values allow is no noise, as in one call.
        volume, sample_mask = _global_sample(array, None, inside)
        sigma = _core.estimate_sigma(volume, rician, sample_mask, False)[0]
        if sample_mask is None or array.size <= EXACT_SIGMA_VOXELS:
            whole = volume
        if sigma < _core.check_sigma(0.0, peak):
            sigma = 0.0
    sigma = _real(sigma, "sigma")
    _core.check_sigma(sigma, peak)
    if (radii[1] is None or radii[2] is None) and sigma > 0.0:
        # The default patch radius and smoothing depend on sigma over the whole volume's signal
        # level (the whole volume's, mask or not, as in one call): chosen once here and given
        # to every chunk, so that no chunk chooses from its own part.
        if whole is None:
            whole = _global_sample(array, None)[0]
        patch, smooth = _core.block_defaults(whole, sigma, method, radii[1], radii[2])
        radii = (radii[0], patch, smooth, radii[3])
    # The halo for the patch radius used (without a sigma nothing is filtered).
    halo = _core.reach(method, *radii[:2], radii[3])

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
        cut = tuple(cut)
        result = filter_chunk(array[cut], None if inside is None else inside[cut], tuple(trim),
                              sigma, method, rician, radii, maximum, peak, threads)
        blocks[index] = da.from_delayed(result, shape=tuple(shape), dtype=np.float64)
    return da.block(blocks.tolist())
