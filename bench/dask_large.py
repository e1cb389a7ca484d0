"""Denoise a volume of more than 2^31 voxels, stored as zarr on disk, on a local dask cluster
with bounded memory; report voxels per second, peak memory per worker, and the throughput per
core against one in-memory call on a volume of one chunk's size. Not part of the tests.

    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 bench/dask_large.py --dir /scratch/vol \
        [--side 1292] [--chunk 128] [--workers 2] [--method block] [--search-radius 1]

The default side 1292 gives 1292^3 = 2.157e9 voxels (> 2^31 = 2.147e9): 8.6 GB of float32 on
disk for the input and as much for the output (written as float32). Smaller sides run the same
path. The run refuses to start unless the disk holds both with --spare GiB left over, never
holds more than one slab of the input in this process, caps each worker's memory, and deletes
both zarr stores at the end (unless --keep).
"""

import argparse
import os
import platform
import resource
import shutil
import time

import dask.array as da
import numpy as np
import zarr
from dask.distributed import Client, LocalCluster

import volnlm
import volnlm.dask


def make_input(path, side, chunk, seed=1):
    """A smooth phantom with Rician noise (sigma 30), written one chunk column at a time, so at
    most chunk x side x chunk voxels are in memory."""
    store = zarr.open(path, mode="w", shape=(side, side, side), chunks=(chunk, chunk, chunk),
                      dtype="f4")
    rng = np.random.default_rng(seed)
    axis = np.linspace(-1.0, 1.0, side, dtype=np.float32)
    for x0 in range(0, side, chunk):
        x = axis[x0 : x0 + chunk, None, None]
        for z0 in range(0, side, chunk):
            z = axis[None, None, z0 : z0 + chunk]
            r2 = x**2 + axis[None, :, None] ** 2 + z**2
            clean = np.where(r2 < 0.8, 600.0 + 200.0 * x, 0.0).astype(np.float32)
            a = clean + 30.0 * rng.standard_normal(clean.shape, dtype=np.float32)
            b = 30.0 * rng.standard_normal(clean.shape, dtype=np.float32)
            store[x0 : x0 + chunk, :, z0 : z0 + chunk] = np.sqrt(a * a + b * b)
    return store


def peak_memory(dask_worker=None):
    """This process's peak resident set, in bytes (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def folder_bytes(path):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(path) for f in fs)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--dir", required=True, help="a folder for the two zarr stores (made if absent)")
    p.add_argument("--side", type=int, default=1292)
    p.add_argument("--chunk", type=int, default=128)
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    p.add_argument("--memory-limit", default="3GiB", help="per worker")
    p.add_argument("--method", default="block")
    p.add_argument("--search-radius", type=int, default=1)
    p.add_argument("--patch-radius", type=int, default=1)
    p.add_argument("--guided-search-radius", type=int, default=None)
    p.add_argument("--sigma", type=float, default=30.0, help="given, so the input is read once less")
    p.add_argument("--smoothing", type=float, default=1.0)
    p.add_argument("--spare", type=float, default=20.0, help="GiB of disk to leave free")
    p.add_argument("--keep", action="store_true", help="keep the zarr stores")
    p.add_argument("--reuse", action="store_true",
                   help="use an input.zarr of this side and chunk left by an earlier --keep run")
    args = p.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    source = os.path.join(args.dir, "input.zarr")
    target = os.path.join(args.dir, "denoised.zarr")
    need = 2 * 4 * args.side**3
    free = shutil.disk_usage(args.dir).free
    if free < need + args.spare * 2**30:
        raise SystemExit(f"{args.dir}: {free / 2**30:.1f} GiB free; the run needs {need / 2**30:.1f} "
                         f"GiB and leaves {args.spare} GiB spare")
    options = dict(method=args.method, search_radius=args.search_radius,
                   patch_radius=args.patch_radius, smoothing=args.smoothing)
    if args.guided_search_radius is not None:
        options["guided_search_radius"] = args.guided_search_radius
    print(f"machine: {cpu_model()}, {os.cpu_count()} CPUs, load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())} at the start")
    print(f"options: sigma {args.sigma}, {options}, halo "
          f"{volnlm.dask.reach(args.method, args.search_radius, args.patch_radius, args.guided_search_radius)}")
    try:
        t0 = time.perf_counter()
        old = zarr.open(source, mode="r") if args.reuse and os.path.isdir(source) else None
        if old is not None and old.shape == (args.side,) * 3 and old.chunks == (args.chunk,) * 3:
            print(f"reusing {source}")
        else:
            make_input(source, args.side, args.chunk)
        print(f"input {args.side}^3 = {args.side ** 3:.4g} voxels (2^31 = {2**31:.4g}) in chunks of "
              f"{args.chunk}^3, {time.perf_counter() - t0:.1f} s; {folder_bytes(source) / 2**30:.2f} GiB on disk")

        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          memory_limit=args.memory_limit, dashboard_address=":0") as cluster, \
                Client(cluster) as client:
            volume = da.from_zarr(source)
            t0 = time.perf_counter()
            lazy = volnlm.dask.denoise(volume, sigma=args.sigma, threads=1, **options)
            setup = time.perf_counter() - t0
            lazy.astype(np.float32).to_zarr(target, overwrite=True)
            seconds = time.perf_counter() - t0
            peaks = client.run(peak_memory)
            load = os.getloadavg()
        rate = volume.size / seconds
        print(f"chunked: {seconds:.1f} s wall ({setup:.1f} s of it reading the volume's maximum "
              f"before any chunk), {rate:.4g} voxels/s, {rate / args.workers:.4g} voxels/s per "
              f"worker (1 thread each); load average at the end {' '.join(f'{x:.2f}' for x in load)}")
        for worker, peak in sorted(peaks.items()):
            print(f"  peak resident memory of worker {worker}: {peak / 2**30:.2f} GiB "
                  f"(limit {args.memory_limit})")
        print(f"  peak resident memory of this process: {peak_memory() / 2**30:.2f} GiB")
        print(f"  output: {folder_bytes(target) / 2**30:.2f} GiB on disk")

        c = args.chunk
        one = np.asfortranarray(da.from_zarr(source)[:c, :c, :c].compute(), np.float64)
        t0 = time.perf_counter()
        volnlm.denoise(one, sigma=args.sigma, threads=1, **options)
        alone = one.size / (time.perf_counter() - t0)
        print(f"one in-memory call on {c}^3 voxels, 1 thread: {alone:.4g} voxels/s; chunked per "
              f"worker / this = {rate / args.workers / alone:.2f}")
    finally:
        if not args.keep:
            for path in (source, target):
                shutil.rmtree(path, ignore_errors=True)
            print("removed the zarr stores")


if __name__ == "__main__":
    main()
