"""Measures denoising quality over parameters, to choose denoise()'s defaults.

Stages:
  study   the whole 1 mm T1 template ch2.nii.gz (181x217x181, maximum 254) with seeded Rician
          noise of 1, 2, 3, 5, 7, 9, 12 and 15% of the maximum; sigma estimated from the noisy
          volume as denoise() does; a small search per level over blockdenoise's search radius,
          patch radius and smoothing and sorvane's (guided) search radius, and the two peers
          (scipy's gaussian_filter over a width grid; scikit-image's denoise_nl_means, fast mode,
          patch distance 2, given the true sigma, over a grid of h). Every run is appended to a
          results file (one JSON record a line) and skipped when it is already there, so the
          study can be stopped and resumed.
  check   the same comparison on another volume, a central 128^3 crop of the 0.5 mm template
          ch2better.nii.gz (brain voxels: > 0), for the defaults and the peers' best settings.
  report  the table (Markdown) and the plot (PNG) from the results file.
  crop ... the earlier stages on a central 48^3 crop: block, patch, guided, denoise.

PSNR = 20 log10(peak / RMSE) over the brain voxels (ch2bet.nii.gz > 0), peak the noise-free
volume's maximum; SSIM (scikit-image, 7^3 windows, data range = peak) averaged over the brain
voxels, computed for the defaults and each level's best; seconds of the filter call alone, on
a shared, loaded machine (compare within one run only).

    PYTHONPATH=<build>/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py study
"""
import itertools
import json
import math
import os
import sys
import time

import nibabel as nib
import numpy as np

import volnlm

TEMPLATES = "/usr/share/mricron/templates/"
HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "defaults_study.jsonl")
TABLE = os.path.join(HERE, "defaults_study.md")
PLOT = os.path.join(HERE, "defaults_study.png")
LEVELS = (0.01, 0.02, 0.03, 0.05, 0.07, 0.09, 0.12, 0.15)
CHECK_LEVELS = (0.03, 0.09, 0.01, 0.15)
# The settings before this study: blockdenoise R=3, patch 1, smoothing 1; sorvane R=4.
OLD = (3, 1, 1.0, 4)
GAUSS_WIDTHS = (0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.2, 1.5)
NLM_H = (0.6, 0.8, 1.0)  # times the true sigma; extended when the best is at an end


def load(crop=None):
    clean = nib.load(TEMPLATES + "ch2.nii.gz").get_fdata()
    mask = nib.load(TEMPLATES + "ch2bet.nii.gz").get_fdata() > 0
    if crop:
        c = [s // 2 for s in clean.shape]
        sl = tuple(slice(ci - crop // 2, ci + crop // 2) for ci in c)
        clean, mask = clean[sl], mask[sl]
    return np.asfortranarray(clean), mask, clean.max()


def load_other(crop=128):
    clean = nib.load(TEMPLATES + "ch2better.nii.gz").get_fdata()
    c = [s // 2 for s in clean.shape]
    sl = tuple(slice(ci - crop // 2, ci + crop // 2) for ci in c)
    clean = np.asfortranarray(clean[sl])
    return clean, clean > 0, clean.max()


def rician(clean, sigma, seed):
    rng = np.random.default_rng(seed)
    re = clean + rng.normal(0.0, sigma, clean.shape)
    im = rng.normal(0.0, sigma, clean.shape)
    return np.asfortranarray(np.sqrt(re * re + im * im))


def psnr(out, clean, mask, peak):
    err = (np.asarray(out, np.float64) - clean)[mask]
    return 20 * np.log10(peak / np.sqrt(np.mean(err * err)))


def ssim(out, clean, mask, peak):
    """Mean SSIM over the mask, on the mask's bounding box widened by the window's reach."""
    from skimage.metrics import structural_similarity

    idx = np.nonzero(mask)
    sl = tuple(slice(max(i.min() - 3, 0), i.max() + 4) for i in idx)
    _, local = structural_similarity(
        np.asarray(clean[sl], np.float64), np.asarray(out[sl], np.float64),
        data_range=peak, full=True)
    return float(local[mask[sl]].mean())


def unit_scale(sigma):
    """The power of two that denoise() multiplies the volume by, bringing sigma into [64, 128)."""
    return math.ldexp(1.0, 7 - math.frexp(sigma)[1])


def block_run(noisy, sigma, r, p, h):
    """blockdenoise as denoise() runs it: returns the result and the guide it makes."""
    s = unit_scale(sigma)
    guide = volnlm.blockdenoise(noisy * s, r, p, sigma * s, h, rician=True)
    return np.asarray(guide, np.float64) * (1.0 / s), guide


def guided_run(noisy, guide, sigma, rg):
    s = unit_scale(sigma)
    return np.asarray(volnlm.sorvane(noisy * s, guide, rg, sigma * s, rician=True)) * (1.0 / s)


class Study:
    """Runs and records one volume's cases; a case already in the results file is not rerun."""

    def __init__(self, volume, clean, mask, peak):
        self.volume, self.clean, self.mask, self.peak = volume, clean, mask, peak
        self.done = {}
        if os.path.exists(RESULTS):
            with open(RESULTS) as f:
                for line in f:
                    rec = json.loads(line)
                    self.done[rec["key"]] = rec

    def record(self, rec):
        rec["volume"] = self.volume
        self.done[rec["key"]] = rec
        with open(RESULTS, "a") as f:
            f.write(json.dumps(rec) + "\n")
        print(json.dumps(rec), flush=True)

    def key(self, level, *parts):
        return "|".join([self.volume, f"{level:g}"] + [str(x) for x in parts])

    def measure(self, key, fields, out, seconds, with_ssim):
        rec = dict(fields, key=key, psnr=psnr(out, self.clean, self.mask, self.peak),
                   seconds=seconds)
        if with_ssim:
            rec["ssim"] = ssim(out, self.clean, self.mask, self.peak)
        self.record(rec)
        return rec

    def level(self, level):
        sigma = level * self.peak
        noisy = rician(self.clean, sigma, seed=int(round(level * 1000)))
        estimate = volnlm.estimate_sigma(noisy)
        key = self.key(level, "noisy")
        if key not in self.done:
            self.measure(key, dict(level=level, kind="noisy", sigma=sigma,
                                   estimate=estimate), noisy, 0.0, True)
        return noisy, sigma, estimate

    def ours(self, level, noisy, estimate, r, p, h, rgs, with_ssim=False):
        """The block method at (r, p, h) and the guided method on its result for each rg."""
        bkey = self.key(level, "block", r, p, h)
        gkeys = {rg: self.key(level, "guided", r, p, h, rg) for rg in rgs}
        if bkey in self.done and all(k in self.done for k in gkeys.values()) and not (
                with_ssim and any("ssim" not in self.done[k] for k in [bkey, *gkeys.values()])):
            return
        t = time.time()
        out, guide = block_run(noisy, estimate, r, p, h)
        seconds = time.time() - t
        fields = dict(level=level, kind="block", r=r, p=p, h=h)
        if bkey not in self.done or (with_ssim and "ssim" not in self.done[bkey]):
            self.measure(bkey, fields, out, seconds, with_ssim)
        for rg, gkey in gkeys.items():
            if gkey in self.done and not (with_ssim and "ssim" not in self.done[gkey]):
                continue
            t = time.time()
            gout = guided_run(noisy, guide, estimate, rg)
            self.measure(gkey, dict(fields, kind="guided", rg=rg), gout,
                         seconds + time.time() - t, with_ssim)

    def best(self, level, kind, **match):
        recs = [r for r in self.done.values() if r["volume"] == self.volume and
                r["level"] == level and r["kind"] == kind and
                all(r.get(k) == v for k, v in match.items())]
        return max(recs, key=lambda r: r["psnr"]) if recs else None

    def gauss(self, level, noisy, widths=GAUSS_WIDTHS):
        from scipy.ndimage import gaussian_filter

        for w in widths:
            key = self.key(level, "gauss", w)
            if key in self.done:
                continue
            t = time.time()
            out = gaussian_filter(noisy, w)
            self.measure(key, dict(level=level, kind="gauss", width=w), out, time.time() - t,
                         False)

    def nlm(self, level, noisy, sigma, factors):
        from skimage.restoration import denoise_nl_means

        for f in factors:
            key = self.key(level, "nlm", f)
            if key in self.done:
                continue
            t = time.time()
            out = denoise_nl_means(noisy, patch_distance=2, h=f * sigma, sigma=sigma,
                                   fast_mode=True)
            self.measure(key, dict(level=level, kind="nlm", h_over_sigma=f), out,
                         time.time() - t, False)

    def nlm_search(self, level, noisy, sigma):
        self.nlm(level, noisy, sigma, NLM_H)
        for _ in range(3):  # move the grid while the best is at one of its ends
            tried = sorted(r["h_over_sigma"] for r in self.done.values()
                           if r["volume"] == self.volume and r["level"] == level and
                           r["kind"] == "nlm")
            best = self.best(level, "nlm")["h_over_sigma"]
            if best == tried[0] and best > 0.25:
                self.nlm(level, noisy, sigma, [round(best - 0.2, 2)])
            elif best == tried[-1]:
                self.nlm(level, noisy, sigma, [round(best + 0.2, 2)])
            else:
                break

    def with_ssim(self, level, noisy, sigma, estimate, settings):
        """SSIM for the given settings of ours and for the peers' best."""
        for r, p, h, rg in settings:
            self.ours(level, noisy, estimate, r, p, h, [rg], with_ssim=True)
        for kind, param, run in (("gauss", "width", None), ("nlm", "h_over_sigma", None)):
            rec = self.best(level, kind)
            if rec is None or "ssim" in rec:
                continue
            t = time.time()
            if kind == "gauss":
                from scipy.ndimage import gaussian_filter
                out = gaussian_filter(noisy, rec["width"])
            else:
                from skimage.restoration import denoise_nl_means
                out = denoise_nl_means(noisy, patch_distance=2, h=rec["h_over_sigma"] * sigma,
                                       sigma=sigma, fast_mode=True)
            fields = {k: v for k, v in rec.items() if k not in ("key", "psnr", "seconds",
                                                                 "volume")}
            self.measure(rec["key"], fields, out, time.time() - t, True)


SMOOTHING = (0.6, 0.8, 1.0, 1.6)

HEADER = """# Parameter study of denoise()'s defaults

Made by python/tools/measure_defaults.py on a 2-core AMD EPYC shared with 7 other developers
building at the same time (load average 20 to 26), every run at `nice -n 19`, so the seconds
are only comparable within one row and are several times those of a quiet machine. The results
file defaults_study.jsonl holds every run (one JSON record a line); the stages skip what it
already holds, so they can be stopped and resumed. Commands, from the repository root with the
module built in build/:

    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py study
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py peers
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py defaults template
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py defaults other
    PYTHONPATH=build/python /usr/bin/python3 python/tools/measure_defaults.py report

`study` and `peers` were stopped for time before every level was searched (the tables show
which ran), and the search was changed while it ran: at 3% and 9% the first smoothing grid was
run at search radius 3, later levels at 2. Whole template ch2 (181x217x181, maximum 254), Rician
noise of the given % of the maximum (numpy default_rng seeded with 1000 x the level); our
filters get the sigma estimated from the noisy volume; scikit-image gets the true sigma; PSNR
(peak 254) and SSIM over the brain voxels (ch2bet > 0). Setting names: R = blockdenoise search
radius, p = patch radius, h = smoothing, Rg = sorvane (guided) search radius.

"""


def study_level(st, level, extras):
    noisy, sigma, estimate = st.level(level)
    # Guides from search radius 2 (as good as 3 on the first levels run, at half the cost) over
    # smoothing; the guided step at radii 3 and 4 on each.
    for h in SMOOTHING:
        st.ours(level, noisy, estimate, 2, 1, h, (3, 4))
    # The smoothing grid moves while the best guided result is at one of its ends.
    for _ in range(2):
        hs = sorted({r["h"] for r in st.done.values() if r["volume"] == st.volume and
                     r["level"] == level and r["kind"] == "guided" and r["r"] == 2 and
                     r["p"] == 1})
        best = st.best(level, "guided", r=2, p=1)["h"]
        if best == hs[0]:
            st.ours(level, noisy, estimate, 2, 1, round(best / 1.6, 3), (3, 4))
        elif best == hs[-1]:
            st.ours(level, noisy, estimate, 2, 1, round(best * 1.6, 3), (3, 4))
        else:
            break
    # The previous defaults, and search radius 3 at the best smoothing (on the first levels
    # run: it was worse than 2 there, so the later levels save its time).
    hbest = st.best(level, "guided", r=2, p=1)["h"]
    st.ours(level, noisy, estimate, *OLD[:3], (OLD[3],))
    if level in (0.01, 0.03, 0.09, 0.15):
        st.ours(level, noisy, estimate, 3, 1, hbest, (3, 4))
    # The guided step's radius 5 on the best guide so far.
    b = st.best(level, "guided")
    st.ours(level, noisy, estimate, b["r"], b["p"], b["h"], (5,))
    if extras:
        # Search radius 4 at the best smoothing, and patch radius 2 (eight times the cost) at a
        # smaller one (larger patches give smaller distances per voxel for the same noise).
        st.ours(level, noisy, estimate, 4, 1, hbest, (4,))
        st.ours(level, noisy, estimate, 2, 2, round(hbest / 1.6, 3), (4,))


def study(levels=(0.03, 0.09, 0.01, 0.15, 0.05, 0.12, 0.02, 0.07), extras_levels=(0.09,)):
    clean, mask, peak = load()
    st = Study("ch2", clean, mask, peak)
    # The emulation of denoise() above must give its bits (checked once, recorded).
    key = st.key(0.03, "emulation")
    if key not in st.done:
        noisy, _, estimate = st.level(0.03)
        out, guide = block_run(noisy, estimate, *OLD[:3])
        same_block = np.array_equal(out, volnlm.denoise(
            noisy, method="block", search_radius=OLD[0], patch_radius=OLD[1],
            smoothing=OLD[2]))
        same_guided = np.array_equal(
            guided_run(noisy, guide, estimate, OLD[3]),
            volnlm.denoise(noisy, search_radius=OLD[0], patch_radius=OLD[1], smoothing=OLD[2],
                           guided_search_radius=OLD[3]))
        if not (same_block and same_guided):
            sys.exit(f"the emulation of denoise() differs from it: block {same_block}, "
                     f"guided {same_guided}")
        st.record(dict(key=key, level=0.03, kind="emulation", same_bits=True))
    # The target levels first, then the ends, then the rest; the costly extras last.
    for level in levels:
        study_level(st, level, False)
    for level in extras_levels:
        study_level(st, level, True)


def peers(levels=(0.03, 0.09, 0.01, 0.15, 0.05, 0.12, 0.02, 0.07), confirm=(0.03, 0.09)):
    """The peers on the template, in a process of their own beside the study (they use one
    core). scikit-image takes minutes a run on the whole volume here, so its h is tuned on a
    central 96^3 crop of the same noisy volume (h = 0.3 to 1.2 sigma) and run on the whole volume
    at the crop's best h; at the confirm levels also at that h -+ 0.2 sigma, which checks that the
    crop's best carries over."""
    from skimage.restoration import denoise_nl_means

    clean, mask, peak = load()
    st = Study("ch2", clean, mask, peak)
    c = [s // 2 for s in clean.shape]
    crop = tuple(slice(ci - 48, ci + 48) for ci in c)
    for level in levels:
        sigma = level * peak
        noisy = rician(clean, sigma, seed=int(round(level * 1000)))
        st.gauss(level, noisy)
        for f in [round(0.3 + 0.1 * i, 1) for i in range(10)]:
            key = st.key(level, "nlm-crop96", f)
            if key in st.done:
                continue
            out = denoise_nl_means(noisy[crop], patch_distance=2, h=f * sigma, sigma=sigma,
                                   fast_mode=True)
            st.record(dict(key=key, level=level, kind="nlm-crop96", h_over_sigma=f,
                           psnr=psnr(out, clean[crop], mask[crop], peak)))
        f = st.best(level, "nlm-crop96")["h_over_sigma"]
        factors = [f] + ([round(f - 0.2, 1), round(f + 0.2, 1)] if level in confirm else [])
        st.nlm(level, noisy, sigma, factors)


def run_defaults(st, level, noisy):
    """denoise() as a user calls it (defaults, sigma estimated), both methods, with the
    parameters it reports."""
    for method in ("guided", "block") if level in (0.03, 0.09) else ("guided",):
        key = st.key(level, "defaults", method)
        if key in st.done:
            continue
        t = time.time()
        out, used = volnlm.denoise(noisy, method=method, return_params=True)
        seconds = time.time() - t
        params = json.loads(json.dumps(used, default=str))
        st.measure(key, dict(level=level, kind="defaults-" + method, params=params), out,
                   seconds, True)


def defaults_stage(which="template"):
    """denoise() with its defaults on the template at every level (the target levels first), or
    (which="other") the defaults, the previous defaults and the peers at their best setting on
    the template on a central 128^3 crop of the 0.5 mm template ch2better (brain: > 0). SSIM is
    computed for these runs; for the per-level best and the peers it was left out for time."""
    clean, mask, peak = load()
    st = Study("ch2", clean, mask, peak)
    if which == "template":
        for level in (0.03, 0.09, 0.01, 0.15, 0.05, 0.12, 0.02, 0.07):
            noisy, sigma, estimate = st.level(level)
            run_defaults(st, level, noisy)
        return
    other = Study("ch2better-crop128", *load_other())
    for level in CHECK_LEVELS:
        noisy, sigma, estimate = other.level(level)
        run_defaults(other, level, noisy)
        other.ours(level, noisy, estimate, *OLD[:3], (OLD[3],), with_ssim=True)
        if st.best(level, "gauss"):
            other.gauss(level, noisy, [st.best(level, "gauss")["width"]])
        if st.best(level, "nlm"):
            other.nlm(level, noisy, sigma, [st.best(level, "nlm")["h_over_sigma"]])

def records():
    with open(RESULTS) as f:
        return [json.loads(line) for line in f]


def pick(recs, volume, level, kind, **match):
    found = [r for r in recs if r["volume"] == volume and r["level"] == level and
             r["kind"] == kind and all(r.get(k) == v for k, v in match.items())]
    return max(found, key=lambda r: r["psnr"]) if found else None


def setting_text(r):
    return f"R={r['r']} p={r['p']} h={r['h']:g} Rg={r['rg']}"


def report():
    """The table (Markdown) and the plot from the results file."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    recs = records()
    lines = []
    out = lines.append
    levels = sorted({r["level"] for r in recs if r["volume"] == "ch2" and
                     r["kind"] in ("guided", "defaults-guided")})
    rows = {}
    for level in levels:
        chosen = pick(recs, "ch2", level, "defaults-guided")
        best = pick(recs, "ch2", level, "guided")
        rows[level] = dict(
            noisy=pick(recs, "ch2", level, "noisy"), chosen=chosen,
            block=pick(recs, "ch2", level, "defaults-block"),
            old=pick(recs, "ch2", level, "guided", r=OLD[0], p=OLD[1], h=OLD[2], rg=OLD[3]),
            best=best, best_is_defaults=bool(chosen and best and chosen["psnr"] > best["psnr"]),
            # the best width only once the whole grid of widths has run
            gauss=pick(recs, "ch2", level, "gauss") if len(
                [r for r in recs if r["volume"] == "ch2" and r["level"] == level and
                 r["kind"] == "gauss"]) >= len(GAUSS_WIDTHS) else None,
            nlm=pick(recs, "ch2", level, "nlm"))

    def cell(rec, what=""):
        if rec is None:
            return "not run"
        text = f"{rec['psnr']:.2f}"
        if "ssim" in rec:
            text += f" / {rec['ssim']:.4f}"
        return text + (f" ({what})" if what else "")

    def smoothing(rec):
        return rec["params"]["Parameters"]["Smoothing"] if rec else float("nan")

    out("## Whole template, guided method, sigma estimated: PSNR dB / SSIM over the brain\n")
    out("| noise | noisy | sigma est. / true | defaults | their smoothing | seconds | best setting "
        "found | previous defaults | defaults, block method | best scipy gaussian | best "
        "scikit-image nl-means d=2 | defaults minus best peer |")
    out("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for level in levels:
        x = rows[level]
        n, c, b = x["noisy"], x["chosen"], x["best"]
        peers = [x[k]["psnr"] for k in ("gauss", "nlm") if x[k]]
        margin = f"{c['psnr'] - max(peers):+.2f}" if c and peers else "not run"
        best_text = ("the defaults" if x["best_is_defaults"] else
                     cell(b, setting_text(b)) if b else "not searched")
        out(f"| {level:.0%} | {cell(n)} | {n['estimate'] / n['sigma']:.3f} | {cell(c)} | "
            f"{smoothing(c):.3f} | {c['seconds']:.0f} | " if c else
            f"| {level:.0%} | {cell(n)} | {n['estimate'] / n['sigma']:.3f} | not run | | | ")
        lines[-1] += (
            f"{best_text} | {cell(x['old'])} | {cell(x['block'])} | "
            f"{cell(x['gauss'], 'width %g' % x['gauss']['width']) if x['gauss'] else 'not run'} | "
            f"{cell(x['nlm'], 'h %g sigma' % x['nlm']['h_over_sigma']) if x['nlm'] else 'not run'}"
            f" | {margin} |")
    out("\n## Every guided setting run on the whole template: PSNR dB (seconds of both steps)\n")
    settings_run = sorted({(r["r"], r["p"], r["h"], r["rg"]) for r in recs
                           if r["volume"] == "ch2" and r["kind"] == "guided"})
    out("| R | p | h | Rg | " + " | ".join(f"{lv:.0%}" for lv in levels) + " |")
    out("|---|---|---|---|" + "---|" * len(levels))
    for s in settings_run:
        cells = []
        for level in levels:
            rec = pick(recs, "ch2", level, "guided", r=s[0], p=s[1], h=s[2], rg=s[3])
            cells.append(f"{rec['psnr']:.2f} ({rec['seconds']:.0f})" if rec else "")
        out(f"| {s[0]} | {s[1]} | {s[2]:g} | {s[3]} | " + " | ".join(cells) + " |")
    out("\n## Block method alone on the whole template: PSNR dB (seconds)\n")
    block_run_set = sorted({(r["r"], r["p"], r["h"]) for r in recs
                            if r["volume"] == "ch2" and r["kind"] == "block"})
    out("| R | p | h | " + " | ".join(f"{lv:.0%}" for lv in levels) + " |")
    out("|---|---|---|" + "---|" * len(levels))
    for s in block_run_set:
        cells = []
        for level in levels:
            rec = pick(recs, "ch2", level, "block", r=s[0], p=s[1], h=s[2])
            cells.append(f"{rec['psnr']:.2f} ({rec['seconds']:.0f})" if rec else "")
        out(f"| {s[0]} | {s[1]} | {s[2]:g} | " + " | ".join(cells) + " |")
    out("\n## Peers on the whole template: PSNR dB\n")
    for kind, param, label in (("gauss", "width", "scipy gaussian_filter, width"),
                               ("nlm", "h_over_sigma", "scikit-image nl-means, h / sigma"),
                               ("nlm-crop96", "h_over_sigma",
                                "scikit-image nl-means on the central 96^3 crop, h / sigma")):
        values = sorted({r[param] for r in recs if r["volume"] == "ch2" and r["kind"] == kind})
        if not values:
            continue
        out(f"| {label} | " + " | ".join(f"{lv:.0%}" for lv in levels) + " |")
        out("|---|" + "---|" * len(levels))
        for v in values:
            cells = []
            for level in levels:
                rec = pick(recs, "ch2", level, kind, **{param: v})
                cells.append(f"{rec['psnr']:.2f}" if rec else "")
            out(f"| {v:g} | " + " | ".join(cells) + " |")
        out("")

    vol = "ch2better-crop128"
    other = sorted({r["level"] for r in recs if r["volume"] == vol and
                    r["kind"] == "defaults-guided"})
    if other:
        out(f"\n## Another volume: {vol} (the 0.5 mm template ch2better, central 128^3 crop, "
            "brain voxels > 0), guided method, sigma estimated: PSNR dB / SSIM\n")
        out("| noise | noisy | defaults | their smoothing | previous defaults | scipy gaussian "
            "(template's best width) | scikit-image nl-means (template's best h) | defaults "
            "minus best peer |")
        out("|---|---|---|---|---|---|---|---|")
        for level in other:
            n = pick(recs, vol, level, "noisy")
            c = pick(recs, vol, level, "defaults-guided")
            o = pick(recs, vol, level, "guided", r=OLD[0], p=OLD[1], h=OLD[2], rg=OLD[3])
            g, m = pick(recs, vol, level, "gauss"), pick(recs, vol, level, "nlm")
            peers = [x["psnr"] for x in (g, m) if x]
            margin = f"{c['psnr'] - max(peers):+.2f}" if peers else "not run"
            out(f"| {level:.0%} | {cell(n)} | {cell(c)} | {smoothing(c):.3f} | {cell(o)} | "
                f"{cell(g)} | {cell(m)} | {margin} |")
    with open(TABLE, "w") as f:
        f.write(HEADER + "\n".join(lines) + "\n")

    fig, ax = plt.subplots(figsize=(7, 4.5))
    x = [100 * lv for lv in levels]

    def gain(key):
        return [max(rows[lv][key]["psnr"], rows[lv]["chosen"]["psnr"] if key == "best" and
                    rows[lv]["chosen"] else -np.inf) - rows[lv]["noisy"]["psnr"]
                if rows[lv][key] else np.nan for lv in levels]

    for key, label, style in (("best", "best setting found per level", "k--x"),
                              ("chosen", "defaults (sigma estimated)", "C0-o"),
                              ("old", "previous defaults", "C0:."),
                              ("nlm", "scikit-image nl-means d=2, best h", "C1-s"),
                              ("gauss", "scipy gaussian, best width", "C2-^")):
        ax.plot(x, gain(key), style, label=label)
    ax.set_xlabel("Rician noise, % of the maximum")
    ax.set_ylabel("PSNR gain over the noisy volume, dB (brain)")
    ax.set_title("Whole T1 template ch2, guided method")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(PLOT, dpi=100)


def crop_stage(stage):
    clean, mask, peak = load(crop=48)
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
            guides = [volnlm.blockdenoise(noisy, 3, 1, sigma, h, rician=True)
                      for _, sigma, noisy in cases]
            for r in (1, 2, 3, 4, 5):
                for scale in (1.0, 1 / 256, 16.0):
                    row = []
                    for (level, sigma, noisy), guide in zip(cases, guides):
                        out = volnlm.sorvane(noisy * scale, guide * scale, r, sigma * scale,
                                             rician=True)
                        row.append(f"{psnr(out / scale, clean, mask, peak):6.2f}")
                    print(f"guided smoothing={h} sorvane R={r} scale={scale:g}: " +
                          "  ".join(row), flush=True)
    if stage == "denoise":
        for method in ("block", "guided"):
            row = []
            for level, sigma, noisy in cases:
                t = time.time()
                out = volnlm.denoise(noisy, method=method)
                row.append(f"{psnr(out, clean, mask, peak):6.2f} ({time.time() - t:4.1f}s)")
            print(f"denoise method={method} (defaults, sigma estimated): " + "  ".join(row),
                  flush=True)


def main(args):
    stage = args[0] if args else "study"
    if stage == "study":
        study()
    elif stage == "peers":
        peers()
    elif stage == "defaults":
        defaults_stage(args[1] if len(args) > 1 else "template")
    elif stage == "report":
        report()
    elif stage == "crop":
        crop_stage(args[1] if len(args) > 1 else "denoise")
    else:
        sys.exit(f"unknown stage {stage!r}")


if __name__ == "__main__":
    main(sys.argv[1:])
