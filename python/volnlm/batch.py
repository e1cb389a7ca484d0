"""Denoising a whole study: every input through ``volnlm denoise``, as tasks on dask.distributed.

run(inputs, out_dir, client=None, **options) -> list of dicts, one per input
main(argv) -> exit status, for ``python3 -m volnlm batch``

One task is one run of the command-line tool on one input, so each output is exactly what
``volnlm denoise`` writes for that input (header, voxels, sidecar). The task writes into a
temporary folder next to the output and renames the sidecar, then the output, into place: an
output that exists is complete, and a rerun skips it (unless forced). A task whose worker dies
is run again by the scheduler elsewhere; its half-written files stay in their temporary folder.
"""

import argparse
import csv
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from . import __version__

__all__ = ["run", "main", "find_inputs", "output_path", "mask_for"]

#: Suffixes taken from a BIDS dataset unless others are asked for, and where they live.
DEFAULT_SUFFIXES = ("T1w", "dwi")
SUMMARY = "volnlm_batch.tsv"
SUMMARY_COLUMNS = ("input", "output", "status", "sigma", "seconds", "error")
_NIFTI = re.compile(r"\.nii(\.gz)?$", re.IGNORECASE)


class UsageError(ValueError):
    """Bad usage of the batch: nothing was run."""


def _is_bids_root(path):
    return os.path.isdir(path) and (
        os.path.exists(os.path.join(path, "dataset_description.json"))
        or glob.glob(os.path.join(glob.escape(path), "sub-*"))
    )


def find_inputs(inputs, suffixes=DEFAULT_SUFFIXES):
    """(path, bids_root or None) for every input: NIfTI files, glob patterns, or BIDS dataset
    roots (every ``sub-*/[ses-*/]<datatype>/*_<suffix>.nii[.gz]``). A name that is neither an
    existing file, a directory nor a pattern that matches is kept, to be reported as failed."""
    found = []
    for item in inputs:
        if os.path.isdir(item):
            if not _is_bids_root(item):
                raise UsageError(f"{item} is a folder but not a BIDS dataset (no sub-* folders)")
            root = os.path.abspath(item)
            for suffix in suffixes:
                for level in ("sub-*/*", "sub-*/ses-*/*"):
                    for ext in (".nii", ".nii.gz"):
                        pattern = os.path.join(glob.escape(root), level, f"*_{suffix}{ext}")
                        found += [(p, root) for p in sorted(glob.glob(pattern)) if os.path.isfile(p)]
        elif glob.has_magic(item) and not os.path.exists(item):
            found += [(p, None) for p in sorted(glob.glob(item)) if os.path.isfile(p)]
        else:
            found.append((item, None))
    unique, seen = [], set()
    for path, root in found:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            unique.append((path, root))
    return unique


def output_path(path, bids_root, out_dir):
    """Where the denoised `path` goes: inside a BIDS dataset, its relative path with
    ``desc-denoised`` as its last entity (replacing another desc); otherwise
    ``<name>_desc-denoised.nii.gz``. The output keeps the input's compression."""
    name = os.path.basename(path)
    match = _NIFTI.search(name)
    stem, ext = (name[: match.start()], name[match.start():]) if match else (name, ".nii.gz")
    if bids_root is None:
        return os.path.join(out_dir, f"{stem}_desc-denoised{ext}")
    parts = stem.split("_")
    entities, suffix = parts[:-1], parts[-1]
    entities = [e for e in entities if not e.startswith("desc-")] + ["desc-denoised"]
    relative = os.path.relpath(os.path.dirname(os.path.abspath(path)), bids_root)
    return os.path.join(out_dir, relative, "_".join(entities + [suffix]) + ext)


def sidecar_path(output):
    match = _NIFTI.search(output)
    return (output[: match.start()] if match else output) + ".json"


class MaskNotFound(LookupError):
    """An input's mask cannot be found: that input fails, the others go on."""


_MASK_FIELDS = ("stem", "sub", "ses", "dir")


def _entities(path):
    """The input's name without .nii[.gz], and its sub and ses entity values ("" when absent)."""
    name = os.path.basename(path)
    match = _NIFTI.search(name)
    stem = name[: match.start()] if match else name
    values = dict(part.split("-", 1) for part in stem.split("_") if "-" in part)
    return stem, values.get("sub", ""), values.get("ses", "")


def check_mask_choice(choice):
    """Raises UsageError for a --mask whose name holds a field other than {stem}, {sub}, {ses}
    and {dir}, or a brace that is not a field."""
    if choice in (None, "auto", "bids"):
        return
    try:
        choice.format_map({k: "" for k in _MASK_FIELDS})
    except (KeyError, IndexError, ValueError) as error:
        raise UsageError(f"--mask {choice}: the fields of a mask's name are "
                         f"{', '.join('{' + f + '}' for f in _MASK_FIELDS)}; {error}") from None


def mask_for(path, bids_root, choice):
    """The mask that goes with input `path`: None without `choice`; "auto" for auto; for "bids"
    the brain mask of its BIDS dataset: ``<entities>_desc-brain_mask.nii[.gz]`` (its own
    entities, any desc left out) beside it, else in the same folder of a dataset under
    ``<root>/derivatives/``; otherwise the file `choice` names, with {stem}, {sub}, {ses} and
    {dir} replaced by the input's. Raises MaskNotFound when the file does not exist, or when
    "bids" finds none or several."""
    if choice is None or choice == "auto":
        return choice
    stem, sub, ses = _entities(path)
    folder = os.path.dirname(os.path.abspath(path))
    if choice != "bids":
        mask = choice.format_map(dict(stem=stem, sub=sub, ses=ses, dir=folder))
        if not os.path.isfile(mask):
            raise MaskNotFound(f"its mask {mask} does not exist")
        return os.path.abspath(mask)
    if bids_root is None:
        raise MaskNotFound("--mask bids needs an input inside a BIDS dataset")
    parts = stem.split("_")[:-1]
    base = "_".join([p for p in parts if not p.startswith("desc-")] + ["desc-brain_mask"])
    names = [base + ".nii.gz", base + ".nii"]
    beside = [os.path.join(folder, n) for n in names if os.path.isfile(os.path.join(folder, n))]
    if beside:
        return beside[0]
    relative = os.path.relpath(folder, bids_root)
    pattern = os.path.join(glob.escape(bids_root), "derivatives", "*", glob.escape(relative))
    found = sorted(p for d in glob.glob(pattern) for n in names
                   for p in [os.path.join(d, n)] if os.path.isfile(p))
    if len(found) > 1:
        raise MaskNotFound(f"several brain masks for it: {', '.join(found)}; name one with --mask")
    if not found:
        raise MaskNotFound(f"no brain mask {base}.nii[.gz] beside it or under "
                           f"{os.path.join(bids_root, 'derivatives')}")
    return found[0]


def _command_line(options):
    """Keyword options as ``volnlm denoise`` arguments: search_radius=2 -> --search-radius 2;
    True -> the bare flag; False and None -> left out; a list or tuple -> its values."""
    args = []
    for key, value in options.items():
        if value is None or value is False:
            continue
        flag = "--" + key.replace("_", "-")
        if value is True:
            args.append(flag)
        elif isinstance(value, (list, tuple)):
            args += [flag] + [str(v) for v in value]
        else:
            args += [flag, str(value)]
    return args


def _complete(output, sidecar):
    return os.path.isfile(output) and (sidecar is None or os.path.isfile(sidecar))


def _worker_threads():
    """Threads of the dask worker running the calling task (1 outside a worker)."""
    try:
        from dask.distributed import get_worker

        worker = get_worker()
        # Newer releases keep the count in the worker's state (the attribute warns there).
        state = getattr(worker, "state", None)
        return max(1, int(getattr(state, "nthreads", None) or worker.nthreads))
    except (ImportError, ValueError, AttributeError):
        return 1


def _denoise_one(command, source, output, args, sidecar):
    """One task, run on a worker: ``volnlm denoise`` into a temporary folder beside `output`,
    then the sidecar and the output renamed into place, the output last."""
    start = time.monotonic()
    if not any(a == "--threads" or a.startswith("--threads=") for a in args):
        # The worker runs as many tasks at once as it has threads: each tool gets one of them,
        # so that workers x threads, not workers x CPUs, share the machine's cores.
        args = [*args, "--threads", str(_worker_threads())]
    folder = os.path.dirname(output)
    os.makedirs(folder, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix=".volnlm-batch-", dir=folder)
    try:
        temporary = os.path.join(scratch, os.path.basename(output))
        done = subprocess.run([command, "denoise", source, temporary, "--quiet", *args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            lines = [l for l in done.stderr.strip().splitlines() if l.strip()]
            return dict(status="failed", code=done.returncode, seconds=time.monotonic() - start,
                        error=lines[-1] if lines else f"exit status {done.returncode}")
        sigma = ""
        if sidecar is not None:
            written = sidecar_path(temporary)
            if os.path.isfile(written):
                with open(written) as f:
                    values = json.load(f).get("Sigma")
                sigma = " ".join(f"{v:.6g}" for v in (values if isinstance(values, list) else [values]))
                os.replace(written, sidecar)
        os.replace(temporary, output)
        return dict(status="done", code=0, seconds=time.monotonic() - start, sigma=sigma, error="")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _writes_sidecar(command):
    """Whether this ``volnlm`` writes a JSON sidecar next to its output (it has --no-sidecar)."""
    try:
        text = subprocess.run([command, "denoise", "--help"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True).stdout
    except OSError as error:
        raise UsageError(f"cannot run the command-line tool {command!r}: {error}") from None
    return "--no-sidecar" in text


def _write_atomically(path, text):
    folder = os.path.dirname(path) or "."
    handle, temporary = tempfile.mkstemp(prefix=".volnlm-", dir=folder)
    try:
        with os.fdopen(handle, "w") as f:
            f.write(text)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def _dataset_description(out_dir, roots):
    description = {
        "Name": "volnlm denoised",
        "BIDSVersion": "1.8.0",
        "DatasetType": "derivative",
        "GeneratedBy": [{"Name": "volnlm", "Version": __version__,
                         "Description": "non-local-means denoising (volnlm batch)"}],
    }
    if roots:
        description["SourceDatasets"] = [{"URL": "file://" + r} for r in sorted(roots)]
    _write_atomically(os.path.join(out_dir, "dataset_description.json"),
                      json.dumps(description, indent=2) + "\n")


def _summary(out_dir, rows):
    lines = ["\t".join(SUMMARY_COLUMNS)]
    for row in rows:
        cells = [str(row.get(c, "")).replace("\t", " ").replace("\n", " ") for c in SUMMARY_COLUMNS]
        lines.append("\t".join(cells))
    _write_atomically(os.path.join(out_dir, SUMMARY), "\n".join(lines) + "\n")


def _default_command():
    return os.environ.get("VOLNLM_COMMAND") or shutil.which("volnlm") or "volnlm"


def _local_client(workers, count):
    from dask.distributed import Client, LocalCluster

    cpus = os.cpu_count() or 1
    n = workers or max(1, min(cpus, count))
    cluster = LocalCluster(n_workers=n, threads_per_worker=max(1, cpus // n), processes=True,
                           dashboard_address=":0")
    return Client(cluster)


def run(inputs, out_dir, client=None, *, workers=None, scheduler=None, force=False,
        suffixes=DEFAULT_SUFFIXES, command=None, progress=None, args=(), mask=None, **options):
    """Denoise every input into `out_dir` with ``volnlm denoise``, one task per input on
    dask.distributed; returns one dict per input with the summary's columns (status "done",
    "skipped" or "failed").

    `inputs`: NIfTI files, glob patterns or BIDS dataset roots (see find_inputs). `client`: a
    dask.distributed Client; else one on `scheduler` (an address) when given, else a local
    cluster of `workers` processes (default: one per CPU, at most one per input). `options`
    are ``volnlm denoise``'s options by name (``method="block"``, ``search_radius=2``,
    ``noise="gaussian"``...). `command` is the ``volnlm`` program (default: $VOLNLM_COMMAND,
    else ``volnlm`` on PATH); `args`, further arguments to it as they stand. Outputs whose file and sidecar exist are skipped unless `force`.
    `mask`: "auto" (the tool's head mask of each input), "bids" (each input's brain mask in its
    BIDS dataset) or a file name, in which {stem}, {sub}, {ses} and {dir} stand for each
    input's (see mask_for); an input whose mask is not found fails.
    Raises UsageError, before anything runs, when no input is found or the tool cannot run.
    """
    check_mask_choice(mask)
    command = command or _default_command()
    found = find_inputs(list(inputs), tuple(suffixes))
    if not found:
        raise UsageError("no inputs found")
    extra = list(args) + _command_line(options)
    with_sidecar = _writes_sidecar(command) and "--no-sidecar" not in extra
    os.makedirs(out_dir, exist_ok=True)
    out_dir = os.path.abspath(out_dir)

    rows, tasks, claimed = [], {}, {}
    for path, root in found:
        output = output_path(path, root, out_dir)
        sidecar = sidecar_path(output) if with_sidecar else None
        row = dict(input=path, output=output, status="", sigma="", seconds="", error="")
        rows.append(row)
        if output in claimed:
            row.update(status="failed", error=f"its output is also that of {claimed[output]}")
            continue
        claimed[output] = path
        try:
            mask_args = [] if mask is None else ["--mask", mask_for(path, root, mask)]
        except MaskNotFound as error:
            row.update(status="failed", error=str(error))
            continue
        if not force and _complete(output, sidecar):
            row["status"] = "skipped"
            continue
        tasks[len(rows) - 1] = (os.path.abspath(path), output, sidecar, mask_args)

    if tasks:
        own = client is None
        if own:
            if scheduler:
                from dask.distributed import Client

                client = Client(scheduler)
            else:
                client = _local_client(workers, len(tasks))
        try:
            from dask.distributed import as_completed

            futures = {}
            for i, (source, output, sidecar, mask_args) in tasks.items():
                # pure=False: a rerun with --force runs again instead of reusing a result.
                future = client.submit(_denoise_one, command, source, output, extra + mask_args, sidecar,
                                       pure=False, key=f"volnlm-{i}-{os.path.basename(output)}-{time.time_ns()}")
                futures[future] = i
            show = sys.stderr.isatty() if progress is None else progress
            finished = 0
            for future in as_completed(list(futures)):
                i = futures[future]
                try:
                    result = future.result()
                except Exception as error:  # the task itself failed (e.g. its worker kept dying)
                    result = dict(status="failed", seconds="", error=f"{type(error).__name__}: {error}")
                result["seconds"] = (f"{result['seconds']:.2f}"
                                     if isinstance(result.get("seconds"), float) else "")
                rows[i].update({k: v for k, v in result.items() if k in SUMMARY_COLUMNS or k == "code"})
                finished += 1
                if show:
                    sys.stderr.write(f"\rvolnlm batch: {finished}/{len(futures)} inputs")
                    sys.stderr.flush()
            if show:
                sys.stderr.write("\n")
        finally:
            if own:
                cluster = getattr(client, "cluster", None)
                client.close()
                if cluster is not None:
                    cluster.close()

    roots = {root for _, root in found if root}
    _dataset_description(out_dir, roots)
    _summary(out_dir, rows)
    return rows


def _parser():
    p = argparse.ArgumentParser(
        prog="python3 -m volnlm batch",
        description="Denoise every input with `volnlm denoise` on dask.distributed. Options "
        "not listed here are passed to `volnlm denoise` for every input (e.g. --method block, "
        "--noise gaussian, --sigma 12).",
        epilog="Exit status: 0 when every input succeeded or was skipped, 1 when any failed, "
        "2 for bad usage. Inputs and OUTDIR must be on a file system every worker sees.",
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="NIfTI files, glob patterns, or the root of a BIDS dataset")
    p.add_argument("-o", "--out-dir", required=True, metavar="OUTDIR")
    p.add_argument("--workers", type=int, metavar="N",
                   help="worker processes of the local cluster (default: one per CPU)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="an existing dask scheduler, e.g. tcp://host:8786, instead of a local cluster")
    p.add_argument("--suffix", action="append", metavar="SUFFIX",
                   help="BIDS suffixes to take (repeatable; default T1w and dwi)")
    p.add_argument("--force", action="store_true", help="redo inputs whose outputs are complete")
    p.add_argument("--mask", metavar="auto|bids|FILE",
                   help="auto: a head mask made from each input; bids: each input's brain mask "
                   "in its dataset (<entities>_desc-brain_mask.nii[.gz] beside it or under "
                   "derivatives/); FILE: a mask file, in whose name {stem}, {sub}, {ses} and {dir} "
                   "stand for each input's (e.g. masks/sub-{sub}_mask.nii.gz). An input whose "
                   "mask is missing fails")
    p.add_argument("--volnlm", metavar="PATH", help="the volnlm program (default: volnlm on PATH)")
    return p


def main(argv=None):
    parser = _parser()
    args, extra = parser.parse_known_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.print_usage(sys.stderr)
        print(f"volnlm batch: --workers must be at least 1; got {args.workers}", file=sys.stderr)
        return 2
    try:
        command = args.volnlm or _default_command()
        found = find_inputs(args.inputs, tuple(args.suffix or DEFAULT_SUFFIXES))
        if not found:
            raise UsageError("no inputs found in " + " ".join(args.inputs))
        rows = run(args.inputs, args.out_dir, workers=args.workers, scheduler=args.scheduler,
                   force=args.force, suffixes=tuple(args.suffix or DEFAULT_SUFFIXES),
                   command=command, args=extra, mask=args.mask)
    except UsageError as error:
        print(f"volnlm batch: {error}", file=sys.stderr)
        return 2
    failed = [r for r in rows if r["status"] == "failed"]
    # A usage error of the tool (exit 2) is the same for every input: report it as ours.
    if failed and all(r.get("code") == 2 for r in failed) and len(failed) == len(
            [r for r in rows if r["status"] != "skipped"]):
        print(f"volnlm batch: volnlm denoise refused the options: {failed[0]['error']}", file=sys.stderr)
        return 2
    for r in failed:
        print(f"volnlm batch: {r['input']}: {r['error']}", file=sys.stderr)
    counts = {s: sum(r["status"] == s for r in rows) for s in ("done", "skipped", "failed")}
    print(f"volnlm batch: {counts['done']} done, {counts['skipped']} skipped, {counts['failed']} "
          f"failed; summary in {os.path.join(args.out_dir, SUMMARY)}")
    return 1 if failed else 0
