"""Denoise a volume of more than 2^31 voxels, stored as zarr on disk, on a local dask cluster
with bounded memory; report voxels per second, peak memory per worker, and the throughput per
core against one in-memory call on a volume of one chunk's size. Not part of the tests.

    PYTHONPATH=build/python /usr/bin/python3 bench/dask_large.py --dir /scratch/vol \
        [--side 1292] [--chunk 128] [--workers 2] [--method block]

The default side 1292 gives 1292^3 = 2.157e9 voxels (> 2^31 = 2.147e9): 8.6 GB of float32 on
disk for the input and 17 GB of float64 for the output. Smaller sides run the same path.
"""

import argparse
import os
import time

import dask.array as da
import numpy as np
import zarr
from dask.distributed import Client, LocalCluster

import volnlm
import volnlm.dask


def make_input(path, side, chunk, seed=1):
    """A smooth phantom with Rician noise, written slab by slab (bounded memory)."""
    store = zarr.open(path, mode="w", shape=(side, side, side), chunks=(chunk, chunk, chunk),
                      dtype="f4")
    rng = np.random.default_rng(seed)
    axis = np.linspace(-1.0, 1.0, side)
    x, y = np.meshgrid(axis, axis, indexing="ij")
    for z0 in range(0, side, chunk):
        z = axis[z0 : z0 + chunk]
        r2 = x[..., None] ** 2 + y[..., None] ** 2 + z[None, None, :] ** 2
        clean = np.where(r2 < 0.8, 600.0 + 200.0 * x[..., None], 0.0)
        noise = rng.normal(0.0, 30.0, clean.shape), rng.normal(0.0, 30.0, clean.shape)
        store[:, :, z0 : z0 + chunk] = np.sqrt((clean + noise[0]) ** 2 + noise[1] ** 2)
    return store


def peak_memory(dask_worker):
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--dir", required=True)
    p.add_argument("--side", type=int, default=1292)
    p.add_argument("--chunk", type=int, default=128)
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    p.add_argument("--method", default="block")
    p.add_argument("--sigma", type=float, default=30.0, help="given, so the input is read once less")
    args = p.parse_args()

    source = os.path.join(args.dir, "input.zarr")
    target = os.path.join(args.dir, "denoised.zarr")
    t0 = time.perf_counter()
    make_input(source, args.side, args.chunk)
    print(f"made {args.side}^3 = {args.side ** 3:.4g} voxels in {time.perf_counter() - t0:.1f} s")

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      memory_limit="4GiB", dashboard_address=":0") as cluster, Client(cluster) as client:
        volume = da.from_zarr(source)
        t0 = time.perf_counter()
        lazy = volnlm.dask.denoise(volume, sigma=args.sigma, method=args.method)
        lazy.to_zarr(target, overwrite=True)
        seconds = time.perf_counter() - t0
        peaks = client.run(peak_memory)
    rate = volume.size / seconds
    print(f"chunked: {seconds:.1f} s, {rate:.4g} voxels/s, {rate / args.workers:.4g} voxels/s per worker")
    for worker, peak in sorted(peaks.items()):
        print(f"  peak memory {worker}: {peak / 2**30:.2f} GiB")

    one = np.asarray(da.from_zarr(source)[: args.chunk, : args.chunk, : args.chunk], np.float64)
    t0 = time.perf_counter()
    volnlm.denoise(one, sigma=args.sigma, method=args.method)
    single = one.size / (time.perf_counter() - t0)
    print(f"one in-memory call of one chunk's size: {single:.4g} voxels/s "
          f"(its own threads; chunked per worker / this = {rate / args.workers / single:.2f})")


if __name__ == "__main__":
    main()
