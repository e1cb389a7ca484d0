"""The volnlm demo: a real T1 brain template with seeded Rician noise at 3% and 9% of its
maximum, denoised by both methods, scored by PSNR over the brain and shown in one figure.

    /usr/bin/python3 -m volnlm.demo [--out DIR] [--template FILE] [--mask FILE] [--full]

The template is Debian's mricron-data T1 template; when the default one is absent, a built-in
phantom takes its place (a template named with --template must exist). By default a central
crop is denoised so that the demo finishes within two minutes on two cores; --full denoises the
whole volume. Writes the volumes (NIfTI), the table (psnr.csv) and figure.png to --out.
"""
import argparse
import csv
import os
import sys
import time

import numpy as np

from . import denoise
from ._demo_data import (PHANTOM_FULL, DemoError, load_phantom, load_template, psnr,
                         rician_noise)

DEFAULT_TEMPLATE = "/usr/share/mricron/templates/ch2.nii.gz"
DEFAULT_CROP = (96, 120, 72)
LEVELS = (3, 9)  # noise, in percent of the ground truth's maximum; also the noise seeds
METHODS = ("guided", "block")


def _crop(text):
    """"N" (a cube) or "X,Y,Z", each a positive integer."""
    try:
        sizes = tuple(int(part) for part in text.split(","))
    except ValueError:
        sizes = ()
    if len(sizes) not in (1, 3) or min(sizes) < 1:
        raise argparse.ArgumentTypeError(f"must be N or X,Y,Z with positive integers; got {text!r}")
    return sizes * 3 if len(sizes) == 1 else sizes


def _parser():
    p = argparse.ArgumentParser(
        prog="python3 -m volnlm.demo",
        description="Denoise a real T1 brain template (the built-in phantom when the default "
                    "template is absent) with seeded Rician noise at 3% and 9% of its maximum "
                    "by both methods; print the PSNR before and after, and write the volumes, "
                    "the table and a figure to --out.")
    p.add_argument("--out", default="demo-out", help="directory for the results (created); "
                   "default %(default)s")
    p.add_argument("--template", help=f"ground-truth volume (NIfTI), which must exist; default "
                   f"{DEFAULT_TEMPLATE}, or the built-in phantom when that is absent")
    p.add_argument("--mask", help="brain mask (voxels > 0) for the PSNR; default ch2bet.nii.gz "
                   "next to the template, else the template's nonzero voxels")
    p.add_argument("--phantom", action="store_true",
                   help="use the built-in phantom even when the template is there")
    p.add_argument("--crop", type=_crop, default=DEFAULT_CROP, metavar="X,Y,Z",
                   help="size of the central region denoised (N for a cube), also the "
                   "phantom's size; default %s, which finishes within two minutes on two cores"
                   % ",".join(map(str, DEFAULT_CROP)))
    p.add_argument("--full", action="store_true",
                   help="denoise the whole volume (a few minutes on two cores)")
    p.add_argument("-q", "--quiet", action="store_true", help="no line as each run ends")
    return p


def ground_truth(args):
    if args.phantom:
        return load_phantom(PHANTOM_FULL if args.full else args.crop, "as --phantom asks")
    template = DEFAULT_TEMPLATE if args.template is None else args.template
    if args.template is None and not os.path.exists(template):
        if args.mask is not None:
            raise DemoError(f"--mask {args.mask} was given but the template {template} is absent")
        return load_phantom(PHANTOM_FULL if args.full else args.crop,
                            f"since {template} is absent (Debian's mricron-data package)")
    mask = args.mask
    if mask is None:
        mask = os.path.join(os.path.dirname(template), "ch2bet.nii.gz")
    return load_template(template, mask, args.mask is not None, args.crop, args.full)


def _save(path, volume, affine):
    import nibabel as nib

    image = nib.Nifti1Image(np.asarray(volume, np.float32), affine)
    image.header.set_xyzt_units("mm")
    nib.save(image, path)


def run(args, say=print):
    """Runs the demo for parsed `args`; returns the table's rows."""
    started = time.monotonic()
    truth = ground_truth(args)
    voxels = int(np.count_nonzero(truth.mask))
    if voxels == 0:
        raise DemoError("the PSNR mask holds no voxel of the region denoised")
    say(f"volnlm demo\n  ground truth: {truth.source}")
    say(f"  PSNR over {truth.mask_source}: {voxels} voxels, peak {truth.peak:.1f}")
    say("  Rician noise at 3% and 9% of the maximum (seeds 3 and 9); sigma estimated from each "
        "noisy volume,\n  as volnlm.denoise does by default\n")

    out = args.out
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as e:
        raise DemoError(f"cannot create the output directory {out}: {e.strerror}") from None
    _save(os.path.join(out, "clean.nii.gz"), truth.clean, truth.affine)

    noisy, results, rows = {}, {}, []
    for level in LEVELS:
        true_sigma = truth.peak * level / 100.0
        noisy[level] = rician_noise(truth.clean, true_sigma, seed=level)
        _save(os.path.join(out, f"noisy_{level}pct.nii.gz"), noisy[level], truth.affine)
        before = psnr(truth.clean, noisy[level], truth.mask, truth.peak)
        for method in METHODS:
            t = time.monotonic()
            result, params = denoise(noisy[level], method=method, return_params=True)
            seconds = time.monotonic() - t
            results[level, method] = result
            _save(os.path.join(out, f"{method}_{level}pct.nii.gz"), result, truth.affine)
            rows.append({"noise_pct": level, "true_sigma": true_sigma,
                         "sigma_used": params["Sigma"][0], "method": method,
                         "psnr_noisy_db": before,
                         "psnr_denoised_db": psnr(truth.clean, result, truth.mask, truth.peak),
                         "seconds": seconds})
            if not args.quiet:
                say(f"  {method} at {level}% noise: {seconds:.1f} s")

    say("\n" + format_table(rows))
    table = os.path.join(out, "psnr.csv")
    with open(table, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)

    from ._demo_figure import make_figure

    figure = os.path.join(out, "figure.png")
    make_figure(truth, noisy, results, rows, LEVELS, METHODS).savefig(figure)
    say(f"\n  volumes: {os.path.join(out, '')}{{clean,noisy_*,guided_*,block_*}}.nii.gz")
    say(f"  table: {os.path.abspath(table)}")
    say(f"  figure: {os.path.abspath(figure)}")
    say(f"  total time {time.monotonic() - started:.1f} s")
    return rows


def format_table(rows):
    lines = ["  noise  true sigma  sigma used  method   PSNR noisy  PSNR denoised    gain    time"]
    for r in rows:
        lines.append(f"  {r['noise_pct']:3d}%   {r['true_sigma']:10.2f}  {r['sigma_used']:10.2f}  "
                     f"{r['method']:<7}  {r['psnr_noisy_db']:7.2f} dB  "
                     f"{r['psnr_denoised_db']:10.2f} dB  "
                     f"{r['psnr_denoised_db'] - r['psnr_noisy_db']:+6.2f} dB  "
                     f"{r['seconds']:5.1f} s")
    return "\n".join(lines)


def main(argv=None):
    """The command line: exit status 0 on success, 1 for a failed run, 2 for bad usage."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.phantom and (args.template is not None or args.mask is not None):
        parser.error("--phantom excludes --template and --mask")
    try:
        run(args)
    except DemoError as e:
        print(f"volnlm demo: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"volnlm demo: cannot write {e.filename or args.out}: {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
