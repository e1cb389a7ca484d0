"""Ground truth, noise and scores for the demo: the T1 template or a built-in phantom, seeded
Rician noise, the central crop and the peak signal-to-noise ratio over a mask."""
import errno
import os
from dataclasses import dataclass

import numpy as np

PHANTOM_MAX = 255.0
# The phantom's extents with --full: those of a 1 mm brain template.
PHANTOM_FULL = (181, 217, 181)


class DemoError(Exception):
    """A failed demo run: the message says what went wrong, naming the file."""


@dataclass
class GroundTruth:
    clean: np.ndarray  # float64, indexed [x, y, z] in RAS+ orientation
    mask: np.ndarray  # bool, the voxels the PSNR is taken over
    affine: np.ndarray  # 4x4, voxel to world (mm)
    zooms: tuple  # voxel sizes in mm along x, y, z
    peak: float  # the maximum of the whole volume, before any crop
    name: str  # for the heading of the figure
    source: str  # for the report: where the volume came from
    mask_source: str  # for the report: which voxels the PSNR covers
    brain: bool = False  # the mask is a brain mask
    cropped: bool = False


def phantom(shape):
    """A brain-like phantom: a dim outer shell, grey matter around a white matter core with a
    folded border, two dark ventricles, thin stripes of growing width and small bright spots.
    Background 0, values up to PHANTOM_MAX."""
    axes = [np.linspace(-1.0, 1.0, n) if n > 1 else np.zeros(1) for n in shape]
    u, w, t = np.meshgrid(*axes, indexing="ij")
    r = np.sqrt(u * u + w * w + t * t)
    v = np.zeros(shape)
    v[r <= 0.97] = 70.0  # outer shell
    v[r <= 0.88] = 150.0  # grey matter
    fold = 0.07 * np.sin(7.0 * np.arctan2(w, u)) * np.cos(5.0 * t)
    v[r <= 0.62 + fold] = 215.0  # white matter, its border folded like gyri
    for side in (-1.0, 1.0):  # ventricles
        u0, w0, t0 = (u - 0.17 * side) / 0.09, (w - 0.05) / 0.28, (t - 0.05) / 0.16
        v[u0 * u0 + w0 * w0 + t0 * t0 <= 1.0] = 45.0
    stripes = (u > 0.05) & (u < 0.75) & (w > 0.35) & (w < 0.6) & (np.abs(t) < 0.35) & (r <= 0.88)
    band = np.floor((u - 0.05) / 0.7 * 8.0).astype(int)
    v[stripes & (band % 2 == 0)] = 105.0
    for x, y, z, radius in ((0.45, -0.35, 0.2, 0.07), (-0.5, 0.3, -0.25, 0.05),
                            (0.1, 0.55, -0.4, 0.04), (-0.2, -0.55, 0.45, 0.06)):
        v[(u - x) ** 2 + (w - y) ** 2 + (t - z) ** 2 <= radius**2] = PHANTOM_MAX
    return np.asfortranarray(v)


def rician_noise(clean, sigma, seed):
    """`clean` with Rician noise of standard deviation `sigma` per component:
    sqrt((v + n1)^2 + n2^2) with n1, n2 independent normal samples from numpy's default
    generator seeded with `seed`, so a seed gives the same noise on every run."""
    rng = np.random.default_rng(seed)
    n1 = rng.standard_normal(clean.shape)
    n2 = rng.standard_normal(clean.shape)
    return np.asfortranarray(np.hypot(clean + sigma * n1, sigma * n2))


def psnr(reference, test, mask, peak):
    """10 log10(peak^2 / mean squared error) over the voxels of `mask`: +inf when they agree
    exactly, nan when the mask is empty."""
    err = (np.asarray(test, np.float64) - reference)[mask]
    if err.size == 0:
        return float("nan")
    mse = float(np.mean(err * err))
    return float("inf") if mse == 0.0 else 10.0 * np.log10(peak * peak / mse)


def central_crop(shape, size):
    """The slices of the central region of `size` (each clamped to [1, the extent])."""
    out = []
    for n, s in zip(shape, size):
        s = min(max(int(s), 1), n)
        start = (n - s) // 2
        out.append(slice(start, start + s))
    return tuple(out)


def _check_file(path, what):
    """Refuses a file that is missing or cannot be read, naming it."""
    if not os.path.exists(path):
        raise DemoError(f"the {what} {path} does not exist ({os.strerror(errno.ENOENT)})")
    if os.path.isdir(path):
        raise DemoError(f"the {what} {path} is a directory, not a NIfTI file")
    if not os.access(path, os.R_OK):
        raise DemoError(f"cannot read the {what} {path}: {os.strerror(errno.EACCES)}")


def _load_ras(path, what):
    """The volume at `path`, reoriented to the closest RAS+ axes so that the views show the
    head the same way whatever order the file stores its axes in."""
    import nibabel as nib

    _check_file(path, what)
    try:
        image = nib.as_closest_canonical(nib.load(path))
        data = np.asarray(image.dataobj, dtype=np.float64)
    except Exception as e:  # nibabel raises several kinds for a file it cannot read
        raise DemoError(f"cannot read the {what} {path}: {e}") from None
    if data.ndim == 4 and data.shape[3] == 1:
        data = data[..., 0]
    if data.ndim != 3:
        raise DemoError(f"the {what} {path} must hold one 3-D volume; its shape is {data.shape}")
    return image, np.asfortranarray(data)


def load_template(path, mask_path, mask_given, crop, full):
    """The template at `path` as ground truth, with the brain mask at `mask_path` (voxels > 0;
    when it was not given and is absent, the template's nonzero voxels), cropped to the central
    `crop` unless `full`."""
    image, clean = _load_ras(path, "template")
    if not np.all(np.isfinite(clean)):
        raise DemoError(f"the template {path} holds NaN or infinite values")
    peak = float(clean.max()) if clean.size else 0.0
    if not peak > 0.0:
        raise DemoError(f"the template {path} has no positive voxel")
    brain = True
    if mask_given or os.path.exists(mask_path):
        _, mask_data = _load_ras(mask_path, "mask")
        if mask_data.shape != clean.shape:
            raise DemoError(f"the mask {mask_path} has extents {_text(mask_data.shape)} but the "
                            f"template has {_text(clean.shape)}")
        mask = mask_data > 0
        mask_source = f"the brain, {mask_path} > 0"
    else:
        mask = clean > 0
        brain = False
        mask_source = f"the template's nonzero voxels (no {mask_path})"
    source = f"{path} ({_text(clean.shape)})"
    affine = image.affine
    cropped = False
    if not full:
        region = central_crop(clean.shape, crop)
        sub = tuple(s.stop - s.start for s in region)
        if sub != clean.shape:
            origin = np.array([s.start for s in region] + [1.0])
            affine = affine.copy()
            affine[:, 3] = image.affine @ origin
            clean = np.asfortranarray(clean[region])
            mask = mask[region]
            cropped = True
            source += (f"\n  cropped to the central {_text(sub)} voxels (from x {region[0].start}, "
                       f"y {region[1].start}, z {region[2].start}) so that the demo finishes "
                       f"quickly;\n  --full denoises the whole volume (a few minutes)")
    return GroundTruth(clean=clean, mask=mask, affine=affine,
                       zooms=tuple(float(z) for z in image.header.get_zooms()[:3]), peak=peak,
                       name=os.path.basename(path), source=source, mask_source=mask_source,
                       brain=brain, cropped=cropped)


def load_phantom(shape, why):
    """The built-in phantom of `shape` as ground truth, 1 mm voxels, PSNR over its support."""
    clean = phantom(shape)
    return GroundTruth(clean=clean, mask=clean > 0, affine=np.eye(4), zooms=(1.0, 1.0, 1.0),
                       peak=float(clean.max()), name="built-in phantom",
                       source=f"the built-in phantom ({_text(shape)}), {why}",
                       mask_source="the phantom's support")


def _text(shape):
    return "x".join(str(n) for n in shape)
