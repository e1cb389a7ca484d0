#!/usr/bin/python3
"""Times both filters, their reference renderings and the peers a user would otherwise pick,
on the same noisy T1 template, and writes a dated results file.

Input: the T1 template ch2 (Debian's mricron-data), with seeded Rician noise whose sigma is 3%
of the template's maximum; cases "crop" (the central 96^3) and "whole" (181 x 217 x 181).
Contenders, each run in its own child process so that the peak memory is the child's own (its
VmHWM, which it prints at the end; the ru_maxrss of os.wait4 would also count the size of this
parent at the fork, since Linux carries it over the exec, so it serves only as a fallback):
  - blockdenoise (search radius 3 and 5, patch radius 1, sigma = the true sigma, smoothing 1,
    Rician on), fast core and reference rendering;
  - sorvane (search radius 3 and 5, sigma true, Rician on) on the guide made by the fast
    blockdenoise with radius 3, fast core and reference rendering;
  - scikit-image denoise_nl_means, fast mode, patch size 3, patch distance 2 and 5,
    sigma = the true sigma, h = 0.8 sigma (the value its documentation gives for fast mode
    with sigma supplied);
  - scipy.ndimage gaussian_filter with the sigma of best PSNR on the crop from a small sweep;
  - masks (whole volume only): volnlm.denoise end to end (sigma estimated, default parameters),
    methods block and guided, without a mask, with the brain mask ch2bet > 0 and with
    mask="auto", each run twice in turn and the shorter time kept; and, not timed, the sigma
    estimated with the brain mask and the automatic mask's coverage of brain and volume at 3%
    and 9% noise.
PSNR is taken over the brain (ch2bet > 0) against the noise-free template, with the template's
maximum as the peak.

Run it through bench/run.sh, which builds the runner first.
"""

import argparse
import datetime
import os
import platform
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TEMPLATES = "/usr/share/mricron/templates"
SEED = 20240601
NOISE_FRACTION = 0.03
CROP = 96
GAUSSIAN_SWEEP = (0.5, 0.75, 1.0, 1.25, 1.5)
SKIMAGE_H_FACTOR = 0.8
MIB = 1024.0 * 1024.0
MASK_NOISE_LEVELS = (0.03, 0.09)  # noise fractions of the mask measurements
MASK_REPEATS = 3


# ---------------------------------------------------------------- child side (one peer run)

def child(argv):
    """Runs one Python peer on a saved input; prints the seconds of the call alone."""
    kind, src, dst = argv[0], argv[1], argv[2]
    noisy = np.load(src)
    if kind == "skimage":
        from skimage.restoration import denoise_nl_means
        distance, sigma = int(argv[3]), float(argv[4])
        start = time.perf_counter()
        out = denoise_nl_means(noisy, patch_size=3, patch_distance=distance, h=SKIMAGE_H_FACTOR * sigma,
                               fast_mode=True, sigma=sigma, preserve_range=True, channel_axis=None)
        seconds = time.perf_counter() - start
    elif kind == "denoise":
        import volnlm
        method, mask = argv[3], argv[4]
        mask = None if mask == "none" else "auto" if mask == "auto" else np.load(mask)
        start = time.perf_counter()
        out = volnlm.denoise(noisy, method=method, mask=mask)
        seconds = time.perf_counter() - start
    elif kind == "gaussian":
        from scipy.ndimage import gaussian_filter
        width = float(argv[3])
        start = time.perf_counter()
        out = gaussian_filter(noisy, width)
        seconds = time.perf_counter() - start
    else:
        raise SystemExit("unknown peer " + kind)
    np.save(dst, np.asarray(out, dtype=np.float64))
    print("seconds %.6f" % seconds)
    print("peak_kib %d" % own_peak_kib())


def own_peak_kib():
    """Peak resident set of this process image, in KiB (VmHWM)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


# ---------------------------------------------------------------- parent side

def load_inputs(fraction=NOISE_FRACTION):
    import nibabel
    clean = np.asanyarray(nibabel.load(os.path.join(TEMPLATES, "ch2.nii.gz")).dataobj).astype(np.float64)
    brain = np.asanyarray(nibabel.load(os.path.join(TEMPLATES, "ch2bet.nii.gz")).dataobj) > 0
    sigma = fraction * float(clean.max())
    rng = np.random.default_rng(SEED)
    real = clean + sigma * rng.standard_normal(clean.shape)
    imag = sigma * rng.standard_normal(clean.shape)
    noisy = np.sqrt(real * real + imag * imag)
    return clean, brain, noisy, sigma


def central_crop(a, size=CROP):
    lo = [(n - size) // 2 for n in a.shape]
    return a[lo[0]:lo[0] + size, lo[1]:lo[1] + size, lo[2]:lo[2] + size]


def psnr(out, clean, brain, peak):
    err = (np.asarray(out, dtype=np.float64) - clean)[brain]
    return 10.0 * np.log10(peak * peak / np.mean(err * err))


def run_child(cmd, env=None):
    """Runs cmd to completion; returns (seconds printed by it, peak RSS in MiB)."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    # Read the pipes before reaping, so that a chatty child cannot block on a full pipe.
    out, err = proc.stdout.read(), proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), proc.returncode, err.decode(errors="replace")))
    match = re.search(rb"seconds ([0-9.eE+-]+)", out)
    if not match:
        raise RuntimeError("%s printed no time: %r" % (" ".join(cmd), out))
    peak = re.search(rb"peak_kib ([0-9]+)", out)
    kib = int(peak.group(1)) if peak else usage.ru_maxrss
    return float(match.group(1)), kib / 1024.0


def write_raw(path, a, dtype):
    np.asfortranarray(a, dtype=dtype).ravel(order="F").tofile(path)


def read_raw(path, shape, dtype):
    return np.fromfile(path, dtype=dtype).reshape(shape, order="F")


class Case:
    def __init__(self, name, clean, brain, noisy):
        self.name, self.clean, self.brain, self.noisy = name, clean, brain, noisy
        self.voxels = noisy.size
        self.rows = []
        self.mask_rows = []  # end-to-end denoise with and without masks
        self.mask_checks = []  # sigma with the brain mask, the automatic mask's coverage


def machine_description(build_dir):
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = "unknown"
    try:
        with open("/proc/meminfo") as f:
            kib = int(f.readline().split()[1])
            memory = "%.1f GiB" % (kib / 1024.0 / 1024.0)
    except (OSError, ValueError, IndexError):
        pass
    system = platform.platform()
    try:
        with open("/etc/os-release") as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
            system = fields.get("PRETTY_NAME", system).strip('"') + ", kernel " + platform.release()
    except OSError:
        pass
    compiler = "unknown"
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_CXX_COMPILER:"):
                    path = line.split("=", 1)[1].strip()
                    compiler = subprocess.run([path, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
                    break
    except (OSError, IndexError):
        pass
    import scipy
    import skimage
    load = " ".join("%.2f" % v for v in os.getloadavg())
    return [
        ("CPU", cpu),
        ("cores", str(os.cpu_count())),
        ("memory", memory),
        ("OS", system),
        ("compiler", compiler + ", CMake Release"),
        ("Python", "%s, numpy %s, scipy %s, scikit-image %s" % (platform.python_version(), np.__version__,
                                                               scipy.__version__, skimage.__version__)),
        ("load average at start", load),
    ]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2:])
        return
    if len(sys.argv) == 3 and sys.argv[1] == "--targets":
        # The targets section of an existing results file, made anew from its table.
        with open(sys.argv[2]) as f:
            text = f.read()
        targets = targets_table(parse_results(text))
        if targets is None:
            raise SystemExit("%s has no whole-volume rows for the targets" % sys.argv[2])
        with open(sys.argv[2], "w") as f:
            f.write(with_targets(text, targets))
        print(targets)
        return

    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="crop only: skips the whole volume and its slow references")
    ap.add_argument("--cases", default=None, help="comma-separated cases among crop,whole (default: both)")
    ap.add_argument("--only", default=None,
                    help="comma-separated contender groups among blockdenoise,sorvane,reference,skimage,gaussian,"
                         "masks (masks: whole case only)")
    ap.add_argument("--tag", default=None,
                    help="suffix of the results file's name, for a partial run (e.g. masks: 2026-12-08-masks.md)")
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"), help="build directory with the runner")
    ap.add_argument("--results", default=os.path.join(HERE, "results"), help="folder of the dated results files")
    ap.add_argument("--no-readme", action="store_true", help="do not update the table quoted in bench/README.md")
    args = ap.parse_args()

    runner = os.path.join(args.build, "bench", "volnlm_bench_run")
    if not os.access(runner, os.X_OK):
        raise SystemExit("no runner at %s: build it first (bash bench/run.sh does)" % runner)
    cases = ["crop"] if args.quick else ["crop", "whole"]
    if args.cases:
        cases = [c for c in args.cases.split(",") if c]
        if args.quick and "whole" in cases:
            raise SystemExit("--quick runs the crop only")
    groups = set((args.only or "blockdenoise,sorvane,reference,skimage,gaussian,masks").split(","))

    started = datetime.datetime.now()
    machine = machine_description(args.build)
    clean_all, brain_all, noisy_all, sigma = load_inputs()
    peak = float(clean_all.max())
    print("ch2 %s, sigma %.3f (%.0f%% of max %.0f), seed %d" % (clean_all.shape, sigma, 100 * NOISE_FRACTION, peak, SEED),
          flush=True)

    # Gaussian width: best PSNR on the crop, chosen in this process (not timed).
    from scipy.ndimage import gaussian_filter
    crop_clean, crop_brain, crop_noisy = central_crop(clean_all), central_crop(brain_all), central_crop(noisy_all)
    sweep = [(w, psnr(gaussian_filter(crop_noisy, w), crop_clean, crop_brain, peak)) for w in GAUSSIAN_SWEEP]
    gauss_width = max(sweep, key=lambda s: s[1])[0]

    all_cases = []
    with tempfile.TemporaryDirectory(prefix="volnlm-bench-") as tmp:
        for name in cases:
            if name == "crop":
                case = Case("crop 96^3", crop_clean, crop_brain, crop_noisy)
            elif name == "whole":
                case = Case("whole %dx%dx%d" % noisy_all.shape, clean_all, brain_all, noisy_all)
            else:
                raise SystemExit("unknown case " + name)
            all_cases.append(case)
            run_case(case, tmp, runner, sigma, peak, gauss_width, groups)
            if name == "whole" and "masks" in groups:
                run_masks(case, tmp, args.build, peak)

    finished = datetime.datetime.now()
    report = render(all_cases, machine, sigma, peak, sweep, gauss_width, started, finished, args.quick)
    os.makedirs(args.results, exist_ok=True)
    stem = started.strftime("%Y-%m-%d") + ("-quick" if args.quick else "") + ("-" + args.tag if args.tag else "")
    path = os.path.join(args.results, stem + ".md")
    with open(path, "w") as f:
        f.write(report)
    print()
    print(table(all_cases))
    if any(c.mask_rows or c.mask_checks for c in all_cases):
        print()
        print(mask_tables(all_cases))
    print("\nwritten to %s" % os.path.relpath(path, ROOT))
    if not args.no_readme:
        update_readme(os.path.relpath(path, HERE), all_cases, machine, started)


def run_case(case, tmp, runner, sigma, peak, gauss_width, groups):
    d0, d1, d2 = case.noisy.shape
    dims = [str(d0), str(d1), str(d2)]
    noisy64 = os.path.join(tmp, "noisy.f64")
    noisy32 = os.path.join(tmp, "noisy.f32")
    guide64 = os.path.join(tmp, "guide.f64")
    out64 = os.path.join(tmp, "out.f64")
    out32 = os.path.join(tmp, "out.f32")
    noisy_npy = os.path.join(tmp, "noisy.npy")
    out_npy = os.path.join(tmp, "out.npy")
    write_raw(noisy64, case.noisy, np.float64)
    write_raw(noisy32, case.noisy, np.float32)
    np.save(noisy_npy, case.noisy)
    n = case.voxels

    def add(filter_name, impl, params, seconds, mib, out, arrays_bytes=None):
        row = dict(filter=filter_name, impl=impl, params=params, seconds=seconds, mib=mib,
                   psnr=psnr(out, case.clean, case.brain, peak),
                   arrays_mib=None if arrays_bytes is None else arrays_bytes / MIB)
        case.rows.append(row)
        print("  %-12s %-9s %-26s %9.3f s %8.2f Mvox/s %8.1f MiB %6.2f dB" %
              (filter_name, impl, params, seconds, n / seconds / 1e6, mib, row["psnr"]), flush=True)
        return row

    print("%s: %d voxels" % (case.name, n), flush=True)
    case.rows.append(dict(filter="noisy input", impl="", params="", seconds=None, mib=None,
                          psnr=psnr(case.noisy, case.clean, case.brain, peak), arrays_mib=None))
    impls = ["fast"] + (["reference"] if "reference" in groups else [])

    # The guide for sorvane: fast blockdenoise at radius 3 (made here even when not reported).
    guide = None
    if "blockdenoise" in groups or "sorvane" in groups:
        for radius in (3, 5):
            for impl in impls:
                if "blockdenoise" not in groups and not (radius == 3 and impl == "fast"):
                    continue
                cmd = [runner, "blockdenoise", impl, noisy32, out32] + dims + [str(radius), "1", repr(sigma), "1", "1"]
                seconds, mib = run_child(cmd)
                out = read_raw(out32, case.noisy.shape, np.float32)
                if radius == 3 and impl == "fast":
                    guide = out.astype(np.float64)
                if "blockdenoise" in groups:
                    add("blockdenoise", impl, "R=%d p=1" % radius, seconds, mib, out, arrays_bytes=6 * 4 * n)
    if "sorvane" in groups:
        write_raw(guide64, guide, np.float64)
        for radius in (3, 5):
            for impl in impls:
                cmd = [runner, "sorvane", impl, noisy64, guide64, out64] + dims + [str(radius), repr(sigma), "1"]
                seconds, mib = run_child(cmd)
                out = read_raw(out64, case.noisy.shape, np.float64)
                add("sorvane", impl, "R=%d, guide blockdenoise R=3" % radius, seconds, mib, out,
                    arrays_bytes=5 * 8 * n)
    if "skimage" in groups:
        for distance in (2, 5):
            cmd = [sys.executable, os.path.abspath(__file__), "--child", "skimage", noisy_npy, out_npy, str(distance),
                   repr(sigma)]
            seconds, mib = run_child(cmd)
            add("skimage nlm", "fast mode", "patch 3, distance %d" % distance, seconds, mib, np.load(out_npy))
    if "gaussian" in groups:
        cmd = [sys.executable, os.path.abspath(__file__), "--child", "gaussian", noisy_npy, out_npy, repr(gauss_width)]
        seconds, mib = run_child(cmd)
        add("scipy gaussian", "", "sigma %.2f" % gauss_width, seconds, mib, np.load(out_npy))


def run_masks(case, tmp, build_dir, peak):
    """volnlm.denoise end to end on the whole volume, without and with masks, in turn; then the
    masked sigma estimate and the automatic mask's coverage at each noise level (not timed)."""
    sys.path.insert(0, os.path.join(build_dir, "python"))
    import volnlm
    from volnlm import _core
    env = dict(os.environ, PYTHONPATH=os.path.join(build_dir, "python"))
    noisy_npy = os.path.join(tmp, "noisy.npy")
    brain_npy = os.path.join(tmp, "brain.npy")
    out_npy = os.path.join(tmp, "out.npy")
    np.save(brain_npy, case.brain)
    masks = (("none", "no mask", None), (brain_npy, "ch2bet > 0", case.brain),
             ("auto", "auto", _core.head_mask(np.asfortranarray(case.noisy))))
    print("masks: volnlm.denoise end to end, %d runs of each, shortest kept" % MASK_REPEATS, flush=True)
    best = {}
    for _ in range(MASK_REPEATS):
        for method in ("block", "guided"):
            for mask_arg, label, _mask in masks:
                cmd = [sys.executable, os.path.abspath(__file__), "--child", "denoise", noisy_npy, out_npy,
                       method, mask_arg]
                seconds, mib = run_child(cmd, env)
                key = (method, label)
                if key not in best or seconds < best[key][0]:
                    best[key] = (seconds, mib, psnr(np.load(out_npy), case.clean, case.brain, peak))
    for method in ("block", "guided"):
        unmasked = best[(method, "no mask")][0]
        for _mask_arg, label, mask in masks:
            seconds, mib, quality = best[(method, label)]
            row = dict(method=method, mask=label, coverage=1.0 if mask is None else float(mask.mean()),
                       seconds=seconds, ratio=seconds / unmasked, mib=mib, psnr=quality)
            case.mask_rows.append(row)
            print("  denoise %-6s mask %-10s coverage %5.1f%% %8.3f s  %.2fx unmasked %6.2f dB" % (
                method, label, 100 * row["coverage"], seconds, row["ratio"], quality), flush=True)
    for fraction in MASK_NOISE_LEVELS:
        _clean, brain, noisy, truth = load_inputs(fraction)
        estimate = volnlm.estimate_sigma(noisy, mask=brain)
        whole = volnlm.estimate_sigma(noisy)
        auto = _core.head_mask(np.asfortranarray(noisy))
        check = dict(fraction=fraction, truth=truth, masked=estimate, whole=whole,
                     brain_kept=float(auto[brain].mean()), coverage=float(auto.mean()))
        case.mask_checks.append(check)
        print("  noise %.0f%%: sigma %.3f, estimated with the brain mask %.3f (%+.1f%%), without %.3f (%+.1f%%); "
              "auto mask keeps %.3f%% of the brain, covers %.1f%% of the volume" % (
                  100 * fraction, truth, estimate, 100 * (estimate / truth - 1), whole, 100 * (whole / truth - 1),
                  100 * check["brain_kept"], 100 * check["coverage"]), flush=True)


def mask_tables(cases):
    lines = []
    for case in cases:
        if case.mask_rows:
            lines += ["| case | volnlm.denoise method | mask | mask covers | seconds | vs no mask | peak MiB "
                      "| PSNR brain dB |", "|---|---|---|---:|---:|---:|---:|---:|"]
            for r in case.mask_rows:
                lines.append("| %s | %s | %s | %.1f%% | %.3f | %.2f× | %.0f | %.2f |" % (
                    case.name, r["method"], r["mask"], 100 * r["coverage"], r["seconds"], r["ratio"], r["mib"],
                    r["psnr"]))
            lines.append("")
        if case.mask_checks:
            lines += ["| Rician noise | true sigma | estimated, brain mask | error | estimated, no mask | error "
                      "| auto mask keeps of the brain | auto mask covers of the volume |",
                      "|---:|---:|---:|---:|---:|---:|---:|---:|"]
            for c in case.mask_checks:
                lines.append("| %.0f%% | %.3f | %.3f | %+.2f%% | %.3f | %+.2f%% | %.3f%% | %.1f%% |" % (
                    100 * c["fraction"], c["truth"], c["masked"], 100 * (c["masked"] / c["truth"] - 1), c["whole"],
                    100 * (c["whole"] / c["truth"] - 1), 100 * c["brain_kept"], 100 * c["coverage"]))
            lines.append("")
    return "\n".join(lines).rstrip("\n")


def speed_columns(case, row):
    """Speed-up over the reference of the same filter and parameters, and over skimage d=5."""
    if row["seconds"] is None:
        return "", ""
    vs_ref = ""
    if row["impl"] == "fast":
        for other in case.rows:
            if other["filter"] == row["filter"] and other["impl"] == "reference" and other["params"] == row["params"]:
                vs_ref = "%.1f×" % (other["seconds"] / row["seconds"])
    vs_sk = ""
    for other in case.rows:
        if other["filter"] == "skimage nlm" and other["params"].endswith("distance 5"):
            vs_sk = "%.2f×" % (other["seconds"] / row["seconds"])
    return vs_ref, vs_sk


def table(cases):
    cases = [c for c in cases if c.rows]
    lines = ["| case | contender | parameters | seconds | Mvoxel/s | peak MiB | peak / arrays | PSNR brain dB "
             "| speed-up vs reference | speed vs skimage d=5 |",
             "|---|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    for case in cases:
        for row in case.rows:
            vs_ref, vs_sk = speed_columns(case, row)
            name = (row["filter"] + " " + row["impl"]).strip()
            if row["seconds"] is None:
                lines.append("| %s | %s | | | | | | %.2f | | |" % (case.name, name, row["psnr"]))
                continue
            ratio = "" if row["arrays_mib"] is None else "%.2f" % (row["mib"] / row["arrays_mib"])
            lines.append("| %s | %s | %s | %.3f | %.2f | %.0f | %s | %.2f | %s | %s |" % (
                case.name, name, row["params"], row["seconds"], case.voxels / row["seconds"] / 1e6, row["mib"], ratio,
                row["psnr"], vs_ref, vs_sk))
    return "\n".join(lines)


# The speed and memory targets, on the whole volume: (what, our contender and parameters, the
# baseline contender and parameters, the least speed-up, whether our PSNR must be the better).
SPEED_TARGETS = [
    ("blockdenoise R=3 p=1, 40x its reference", ("blockdenoise fast", "R=3 p=1"),
     ("blockdenoise reference", "R=3 p=1"), 40.0, False),
    ("blockdenoise R=5 p=1, 6x scikit-image d=5 at a better PSNR", ("blockdenoise fast", "R=5 p=1"),
     ("skimage nlm fast mode", "patch 3, distance 5"), 6.0, True),
    ("sorvane R=3, 15x its reference", ("sorvane fast", "R=3, guide blockdenoise R=3"),
     ("sorvane reference", "R=3, guide blockdenoise R=3"), 15.0, False),
    ("sorvane R=5, 15x its reference", ("sorvane fast", "R=5, guide blockdenoise R=3"),
     ("sorvane reference", "R=5, guide blockdenoise R=3"), 15.0, False),
]
MEMORY_TARGET = 2.0  # peak memory over the arrays the filter needs


def table_rows(cases):
    """The rows of the results table as plain records: case, contender, params, seconds, ratio
    (peak over arrays, or None), psnr."""
    rows = []
    for case in cases:
        for row in case.rows:
            if row["seconds"] is None:
                continue
            ratio = None if row["arrays_mib"] is None else row["mib"] / row["arrays_mib"]
            rows.append({"case": case.name, "contender": (row["filter"] + " " + row["impl"]).strip(),
                         "params": row["params"], "seconds": row["seconds"], "ratio": ratio, "psnr": row["psnr"]})
    return rows


def targets_table(rows):
    """Each target on the whole volume, met or missed by the measured factor, from the rows of one
    run; None when the run has no whole-volume rows for any target."""
    whole = [r for r in rows if r["case"].startswith("whole")]
    find = {(r["contender"], r["params"]): r for r in whole}
    lines = ["| target | measured | verdict |", "|---|---|---|"]
    for what, ours, base, least, better_psnr in SPEED_TARGETS:
        a, b = find.get(ours), find.get(base)
        if a is None or b is None:
            continue
        speed = b["seconds"] / a["seconds"]
        measured = "%.1f× (%.3f s against %.3f s)" % (speed, a["seconds"], b["seconds"])
        verdict = "met" if speed >= least else "missed by %.2f×" % (least / speed)
        if better_psnr:
            measured += "; PSNR %.2f against %.2f dB" % (a["psnr"], b["psnr"])
            if not a["psnr"] > b["psnr"]:
                verdict = "missed: PSNR not better" + ("" if speed >= least else "; " + verdict)
        lines.append("| %s | %s | %s |" % (what, measured, verdict))
    ours = [r for r in whole if r["contender"].split(" ")[0] in ("blockdenoise", "sorvane")
            and r["contender"].endswith("fast") and r["ratio"] is not None]
    if ours:
        worst = max(ours, key=lambda r: r["ratio"])
        verdict = "met" if worst["ratio"] <= MEMORY_TARGET else "missed by %.2f×" % (worst["ratio"] / MEMORY_TARGET)
        lines.append("| peak memory at most %.0fx the arrays (our filters) | at most %.2f (%s %s) | %s |" % (
            MEMORY_TARGET, worst["ratio"], worst["contender"], worst["params"], verdict))
    return "\n".join(lines) if len(lines) > 2 else None


def parse_results(text):
    """The rows of a results file's table (as table_rows gives them)."""
    rows = []
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 10 or not cells[3] or not cells[3][0].isdigit():
            continue
        rows.append({"case": cells[0], "contender": cells[1], "params": cells[2], "seconds": float(cells[3]),
                     "ratio": float(cells[6]) if cells[6] else None, "psnr": float(cells[7])})
    return rows


def with_targets(text, targets):
    """The results file's text with its targets section put after the results table (replacing one
    already there)."""
    section = "## Targets (whole volume)\n\n" + targets + "\n"
    start = text.find("## Targets (whole volume)")
    if start >= 0:
        end = text.find("\n## ", start + 1)
        return text[:start] + section + ("" if end < 0 else text[end:])
    at = text.find("\n## Masks")
    return text + "\n" + section if at < 0 else text[:at + 1] + section + text[at:]


def render(cases, machine, sigma, peak, sweep, gauss_width, started, finished, quick):
    out = ["# volnlm benchmark, %s%s" % (started.strftime("%Y-%m-%d %H:%M"), " (quick: crop only)" if quick else ""), ""]
    out += ["## Machine", ""] + ["- %s: %s" % kv for kv in machine] + [""]
    out += ["## Input", "",
            "- T1 template ch2 (%s), noise-free reference; brain mask ch2bet > 0." % TEMPLATES,
            "- Rician noise: sigma = %.4f (%.0f%% of the maximum %.0f), numpy default_rng seed %d." % (
                sigma, 100 * NOISE_FRACTION, peak, SEED),
            "- PSNR = 10 log10(%.0f^2 / MSE over the brain) against the noise-free template." % peak,
            "- scipy gaussian_filter width from the sweep on the crop (PSNR dB): " +
            ", ".join("%.2f: %.2f" % s for s in sweep) + "; chosen %.2f." % gauss_width,
            "- scikit-image denoise_nl_means: fast_mode, patch_size 3, h = %.1f sigma, sigma given." % SKIMAGE_H_FACTOR,
            "- Our filters: blockdenoise smoothing 1, Rician on; sorvane Rician on, guide = fast blockdenoise R=3 p=1;"
            " both with the true sigma. Our cores start up to 8 threads (d2 slices permitting); the reference"
            " renderings, scikit-image and scipy run on one thread.",
            "- seconds: the filter call alone (in its own process); peak MiB: the process's peak resident set (VmHWM),"
            " which for the Python peers includes the interpreter and its libraries; peak / arrays: peak memory over"
            " input + output + the scratch volumes the filter needs (6 float volumes for blockdenoise, 5 double"
            " volumes for sorvane, guide included).",
            "- Run took %.0f s; load average at the end %s (other work on the machine slows every contender and"
            " makes the timings noisier)." % ((finished - started).total_seconds(),
                                             " ".join("%.2f" % v for v in os.getloadavg())), ""]
    out += ["## Results", "", table(cases), ""]
    targets = targets_table(table_rows(cases))
    if targets:
        out += ["## Targets (whole volume)", "", targets, ""]
    if any(c.mask_rows or c.mask_checks for c in cases):
        out += ["## Masks", "",
                "volnlm.denoise end to end from Python (sigma estimated, default parameters, default threads): the"
                " whole volume without a mask, with the brain mask (ch2bet > 0) and with mask=\"auto\"; each"
                " configuration run %d times in turn, the shortest kept; seconds include the noise estimate and"
                " the automatic mask. Then, not timed, the noise estimate with the brain mask and the automatic"
                " mask's share of the brain and of the volume, on the same template with %s Rician noise (same"
                " seed)." % (MASK_REPEATS, " and ".join("%.0f%%" % (100 * f) for f in MASK_NOISE_LEVELS)),
                "", mask_tables(cases), ""]
    return "\n".join(out)


def update_readme(result_rel, cases, machine, started):
    path = os.path.join(HERE, "README.md")
    try:
        with open(path) as f:
            text = f.read()
    except OSError:
        return
    begin, end = "<!-- latest-results -->", "<!-- /latest-results -->"
    if begin not in text or end not in text:
        return
    cpu = dict(machine).get("CPU", "?")
    cores = dict(machine).get("cores", "?")
    block = "%s\nLatest: [%s](%s), %s, %s, %s cores.\n\n%s\n%s" % (
        begin, os.path.basename(result_rel), result_rel, started.strftime("%Y-%m-%d"), cpu, cores, table(cases), end)
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    with open(path, "w") as f:
        f.write(head + block + tail)


if __name__ == "__main__":
    main()
