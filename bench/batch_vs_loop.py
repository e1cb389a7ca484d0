"""`python3 -m volnlm batch` against a shell loop of `volnlm denoise` over the same subjects, in
one sitting on this machine. Not part of the tests.

    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 bench/batch_vs_loop.py \
        --cli build/cli/volnlm --dir /tmp/batch-bench [--subjects 8] [-- OPTIONS...]

The subjects are the T1 template (mricron-data's ch2, 181x217x181) with seeded Rician noise of
3% of its maximum, a different seed each, saved as sub-XX/anat/sub-XX_T1w.nii.gz in a BIDS
layout. OPTIONS (default: --method block) go to every run of the tool, in the loop and in the
batch. Both write .nii.gz outputs with their sidecars; the script checks that they hold the same
voxels, prints the wall times and their ratio, and removes the folder unless --keep.
"""

import argparse
import json
import os
import shlex
import shutil
import subprocess
import sys
import time

import nibabel as nib
import numpy as np

TEMPLATE = "/usr/share/mricron/templates/ch2.nii.gz"


def make_study(root, subjects):
    image = nib.load(TEMPLATE)
    clean = np.asarray(image.get_fdata(), np.float64)
    sigma = 0.03 * clean.max()
    paths = []
    for k in range(1, subjects + 1):
        rng = np.random.default_rng(k)
        noisy = np.sqrt((clean + sigma * rng.standard_normal(clean.shape)) ** 2
                        + (sigma * rng.standard_normal(clean.shape)) ** 2)
        path = os.path.join(root, f"sub-{k:02d}", "anat", f"sub-{k:02d}_T1w.nii.gz")
        os.makedirs(os.path.dirname(path))
        nib.save(nib.Nifti1Image(noisy.astype(np.float32), image.affine), path)
        paths.append(path)
    with open(os.path.join(root, "dataset_description.json"), "w") as f:
        json.dump({"Name": "noisy templates", "BIDSVersion": "1.8.0"}, f)
    return paths


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--cli", required=True, help="the volnlm program")
    p.add_argument("--dir", required=True)
    p.add_argument("--subjects", type=int, default=8)
    p.add_argument("--keep", action="store_true")
    p.add_argument("options", nargs="*", help="options of volnlm denoise (after --)")
    args = p.parse_args()
    options = args.options or ["--method", "block"]
    cli = os.path.abspath(args.cli)
    root = os.path.join(args.dir, "bids")
    loop_out = os.path.join(args.dir, "loop")
    batch_out = os.path.join(args.dir, "batch")
    if os.path.exists(args.dir):
        raise SystemExit(f"{args.dir} exists; give a new folder")
    try:
        inputs = make_study(root, args.subjects)
        os.makedirs(loop_out)
        print(f"{os.cpu_count()} CPUs; load average {os.getloadavg()} before; options {options}")

        # The loop as a user would write it: one run after another, each with its default threads.
        script = "set -e\nfor f in " + " ".join(shlex.quote(i) for i in inputs) + "; do\n" \
            f"  {shlex.quote(cli)} denoise \"$f\" {shlex.quote(loop_out)}/$(basename \"$f\") " \
            f"--quiet {' '.join(shlex.quote(o) for o in options)}\ndone\n"
        t0 = time.perf_counter()
        subprocess.run(["bash", "-c", script], check=True)
        loop = time.perf_counter() - t0
        print(f"shell loop: {loop:.1f} s; load average {os.getloadavg()}")

        t0 = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "volnlm", "batch", root, "-o", batch_out,
                               "--volnlm", cli, *options], stdout=subprocess.PIPE, text=True)
        batch = time.perf_counter() - t0
        print(done.stdout.strip())
        if done.returncode != 0:
            raise SystemExit(f"the batch failed with status {done.returncode}")
        print(f"batch (local cluster, its defaults): {batch:.1f} s; load average {os.getloadavg()}")
        print(f"loop / batch = {loop / batch:.2f}")

        for path in inputs:
            k = os.path.basename(path).split("_")[0]
            a = nib.load(os.path.join(loop_out, os.path.basename(path))).get_fdata()
            b = nib.load(os.path.join(batch_out, k, "anat", f"{k}_desc-denoised_T1w.nii.gz")).get_fdata()
            if not np.array_equal(a, b):
                raise SystemExit(f"{path}: the batch's output differs from the loop's")
        print(f"all {len(inputs)} outputs hold the same voxels")
    finally:
        if not args.keep:
            shutil.rmtree(args.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
