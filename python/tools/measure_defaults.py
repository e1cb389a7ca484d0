"""Measures denoising quality (PSNR) over a grid of parameters, to choose denoise()'s defaults.

Data: the 1 mm T1 template ch2.nii.gz (181x217x181, maximum 254), a central 48^3 crop, with
seeded Rician noise of 3% and 9% of the maximum; PSNR = 20 log10(254 / RMSE) over the crop's
brain voxels (ch2bet.nii.gz > 0), against the noise-free template.

    PYTHONPATH=<build>/python /usr/bin/python3 python/tools/measure_defaults.py [stage]
"""
import itertools
import sys
import time

import nibabel as nib
import numpy as np

import volnlm

TEMPLATES = "/usr/share/mricron/templates/"


def load(crop=48):
    clean = nib.load(TEMPLATES + "ch2.nii.gz").get_fdata()
    mask = nib.load(TEMPLATES + "ch2bet.nii.gz").get_fdata() > 0
    c = [s // 2 for s in clean.shape]
    h = crop // 2
    sl = tuple(slice(ci - h, ci + h) for ci in c)
    return np.asfortranarray(clean[sl]), mask[sl], clean.max()


def rician(clean, sigma, seed):
    rng = np.random.default_rng(seed)
    re = clean + rng.normal(0.0, sigma, clean.shape)
    im = rng.normal(0.0, sigma, clean.shape)
    return np.asfortranarray(np.sqrt(re * re + im * im))


def psnr(out, clean, mask, peak):
    err = (np.asarray(out, np.float64) - clean)[mask]
    return 20 * np.log10(peak / np.sqrt(np.mean(err * err)))


def main(stage):
    clean, mask, peak = load()
    cases = []
    for level in (0.03, 0.09):
        sigma = level * peak
        cases.append((level, sigma, rician(clean, sigma, seed=int(level * 100))))
    for level, sigma, noisy in cases:
        print(f"noise {level:.0%}: noisy PSNR {psnr(noisy, clean, mask, peak):.2f}, "
              f"estimated sigma {volnlm.estimate_sigma(noisy) / sigma:.3f} x truth", flush=True)
    if stage == "block":
        grid = itertools.product((2, 3, 4), (1,), (0.5, 1.0, 2.0, 4.0))
    elif stage == "patch":
        grid = itertools.product((3,), (0, 2), (0.5, 1.0, 2.0))
    else:
        grid = []
    for r, p, h in grid:
        row = []
        for level, sigma, noisy in cases:
            t = time.time()
            out = volnlm.blockdenoise(noisy, r, p, sigma, h, rician=True)
            row.append(f"{psnr(out, clean, mask, peak):6.2f} ({time.time() - t:4.1f}s)")
        print(f"block R={r} p={p} smoothing={h}: " + "  ".join(row), flush=True)
    if stage == "guided":
        for h in (0.5, 1.0, 2.0):
            guides = [volnlm.blockdenoise(noisy, 3, 1, sigma, h, rician=True) for _, sigma, noisy in cases]
            for r in (1, 2, 3, 4, 5):
                for scale in (1.0, 1 / 256, 16.0):
                    row = []
                    for (level, sigma, noisy), guide in zip(cases, guides):
                        out = volnlm.sorvane(noisy * scale, guide * scale, r, sigma * scale, rician=True)
                        row.append(f"{psnr(out / scale, clean, mask, peak):6.2f}")
                    print(f"guided smoothing={h} sorvane R={r} scale={scale:g}: " + "  ".join(row), flush=True)
    if stage == "denoise":
        for method in ("block", "guided"):
            row = []
            for level, sigma, noisy in cases:
                t = time.time()
                out = volnlm.denoise(noisy, method=method)
                row.append(f"{psnr(out, clean, mask, peak):6.2f} ({time.time() - t:4.1f}s)")
            print(f"denoise method={method} (defaults, sigma estimated): " + "  ".join(row), flush=True)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "denoise")
