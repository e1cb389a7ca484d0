#!/usr/bin/python3
"""Times `volnlm denoise` end to end, as a user runs it, on the whole noisy T1 template.

Input: the same noisy volume as run.py (ch2 with seeded Rician noise of 3% of its maximum),
stored as float32 .nii.gz by nibabel. Each method (guided, the default, and block) runs once in
its own process with sigma estimated, .nii.gz in and out, and --timings; reported: the wall time
of the whole process against the target, the stages it prints (read, noise estimate, each filter,
conversions, write), the time outside the filters, the output's size and the process's peak
resident set. With --baseline a second volnlm (an older build) runs in the same session, just
before each run of the first, so that the two are measured under the same load.

Writes bench/results/YYYY-MM-DD-end-to-end.md (or --output) with the machine described.
"""

import argparse
import datetime
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

# Wall-time targets on two cores, seconds.
TARGETS = {"guided": 6.0, "block": 4.5}
FILTER_STAGES = ("block filter", "guided filter")


def make_input(path):
    """Writes the noisy template as float32 .nii.gz (run in a child, so the parent stays small)."""
    import nibabel
    import numpy as np

    import run as bench

    img = nibabel.load(os.path.join(bench.TEMPLATES, "ch2.nii.gz"))
    _, _, noisy, sigma = bench.load_inputs()
    out = nibabel.Nifti1Image(noisy.astype(np.float32), img.affine, img.header)
    out.set_data_dtype(np.float32)
    nibabel.save(out, path)
    print("sigma %.6f" % sigma)


def run_once(volnlm, src, dst, method, extra):
    """One run; returns wall seconds, the stage rows, the output's bytes and the peak MiB."""
    cmd = [volnlm, "denoise", src, dst, "--method", method, "--timings", "-q", "--force", "--no-sidecar"] + extra
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read()
    # The parent holds no large arrays, so the child's maximum resident set is its own.
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    text = err.decode(errors="replace")
    if proc.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (" ".join(cmd), proc.returncode, text))
    stages = []
    capture = False
    for line in text.splitlines():
        if line.startswith("volnlm: wall time by stage"):
            capture = True
            continue
        match = re.match(r"^  (.+?)\s+([0-9.]+)$", line) if capture else None
        if match:
            stages.append((match.group(1), float(match.group(2))))
        elif capture:
            capture = False
    if not stages:
        raise SystemExit("%s printed no stage times: %s" % (" ".join(cmd), text))
    return wall, stages, os.path.getsize(dst), usage.ru_maxrss / 1024.0


def machine():
    cpu = "unknown"
    flags = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name") and cpu == "unknown":
                cpu = line.split(":", 1)[1].strip()
            if line.startswith("flags") and not flags:
                flags = line
    isa = "AVX-512" if " avx512f" in flags else ("AVX2" if " avx2" in flags else "no AVX2")
    return "%s, %d cores, %s" % (cpu, os.cpu_count(), isa)


def load():
    return " ".join("%.2f" % v for v in os.getloadavg())


def stage_table(results, labels):
    """Rows: stages in the order first seen; columns: one per (label, method)."""
    names = []
    for key in results:
        for name, _ in results[key]["stages"]:
            if name not in names and name not in ("other", "total"):
                names.append(name)
    names += ["other", "total"]
    keys = list(results)
    lines = ["| stage | " + " | ".join("%s %s" % k if k[0] else k[1] for k in keys) + " |",
             "|---|" + "---:|" * len(keys)]
    for name in names:
        cells = []
        for key in keys:
            value = dict(results[key]["stages"]).get(name)
            cells.append("" if value is None else "%.3f" % value)
        lines.append("| %s | %s |" % (name, " | ".join(cells)))
    outside = []
    for key in keys:
        stages = dict(results[key]["stages"])
        outside.append("%.3f" % (stages["total"] - sum(stages.get(s, 0.0) for s in FILTER_STAGES)))
    lines.append("| outside the filters | %s |" % " | ".join(outside))
    return "\n".join(lines)


def summary_table(results):
    lines = ["| build | method | wall s | target s | met? | output MiB | peak MiB |", "|---|---|---:|---:|---|---:|---:|"]
    for (label, method), r in results.items():
        target = TARGETS[method]
        verdict = "met" if r["wall"] <= target else "missed by %.2f×" % (r["wall"] / target)
        lines.append("| %s | %s | %.2f | %.1f | %s | %.1f | %.0f |" % (
            label or "this", method, r["wall"], target, verdict, r["bytes"] / 1048576.0, r["peak"]))
    return "\n".join(lines)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--make-input":
        make_input(sys.argv[2])
        return
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--volnlm", default=os.path.join(ROOT, "build-bench", "cli", "volnlm"),
                    help="the volnlm executable to time (default: build-bench/cli/volnlm)")
    ap.add_argument("--baseline", help="an older volnlm executable to time in the same session")
    ap.add_argument("--extra", default="", help="more options for volnlm denoise, e.g. \"--threads 2\"")
    ap.add_argument("--methods", default="guided,block")
    ap.add_argument("--output", help="results file (default bench/results/YYYY-MM-DD-end-to-end.md)")
    ap.add_argument("--no-write", action="store_true", help="print the tables only")
    args = ap.parse_args()
    extra = shlex.split(args.extra)
    builds = [("", args.volnlm)]
    if args.baseline:
        builds.insert(0, ("baseline", args.baseline))
    for _, exe in builds:
        if not os.access(exe, os.X_OK):
            raise SystemExit("no volnlm at %s: build it first (cmake --build build-bench --target volnlm)" % exe)

    started = datetime.datetime.now()
    load_start = load()
    results = {}
    with tempfile.TemporaryDirectory(prefix="volnlm-e2e-") as tmp:
        src = os.path.join(tmp, "noisy.nii.gz")
        made = subprocess.run([sys.executable, os.path.abspath(__file__), "--make-input", src],
                              capture_output=True, text=True, check=True)
        sigma = float(made.stdout.split()[1])
        for method in args.methods.split(","):
            for label, exe in builds:
                dst = os.path.join(tmp, "out-%s-%s.nii.gz" % (label or "this", method))
                wall, stages, size, peak = run_once(exe, src, dst, method, extra)
                results[(label, method)] = dict(wall=wall, stages=stages, bytes=size, peak=peak)
                print("%-8s %-6s %6.2f s wall, %.1f MiB written" % (label or "this", method, wall, size / 1048576.0),
                      flush=True)
        input_mib = os.path.getsize(src) / 1048576.0
    finished = datetime.datetime.now()

    report = [
        "# volnlm denoise end to end, %s" % started.strftime("%Y-%m-%d %H:%M"), "",
        "- machine: %s; shared with other work: load average %s at the start, %s at the end" % (
            machine(), load_start, load()),
        "- input: ch2 (181x217x181) with seeded Rician noise, sigma %.4f (3%% of its maximum), float32 .nii.gz "
        "written by nibabel (%.1f MiB); sigma estimated; output float32 .nii.gz; options: %s" % (
            sigma, input_mib, " ".join(["--timings", "-q", "--no-sidecar"] + extra)),
        "- one run per build and method; wall: the whole process as timed by the caller; stages: as the run "
        "printed them with --timings; peak MiB: the process's maximum resident set",
        "- run took %.0f s" % (finished - started).total_seconds(), "",
        "## Wall time against the targets", "", summary_table(results), "",
        "## Stages (seconds)", "", stage_table(results, builds), ""]
    text = "\n".join(report)
    print(text)
    if not args.no_write:
        path = args.output or os.path.join(HERE, "results", started.strftime("%Y-%m-%d") + "-end-to-end.md")
        with open(path, "w") as f:
            f.write(text)
        print("written to %s" % os.path.relpath(path, ROOT))


if __name__ == "__main__":
    main()
