"""Measures denoising quality over parameters, to choose denoise()'s defaults.

Stages:
  study    the whole 1 mm T1 template ch2.nii.gz (181x217x181, maximum 254) with seeded Rician
           noise of 1, 2, 3, 5, 7, 9, 12 and 15% of the maximum; sigma estimated from the noisy
           volume as denoise() does; a small search per level over blockdenoise's search radius,
           patch radius and smoothing and sorvane's (guided) search radius. Every run is appended
           to a results file (one JSON record a line) and skipped when it is already there, so
           the stages can be stopped and resumed.
  peers    the two peers at every level: scipy's gaussian_filter over a width grid, scikit-image's
           denoise_nl_means (fast mode, patch distance 2, given the true sigma) over h.
  refine   [ch2 | ch2better-crop128] the second round (REFINE): patch radius 2, the guide's
           contrast, search radius 1, and the levels the first round left.
  defaults template | other   denoise() as a user calls it at every level, on the template or on
           a central 128^3 crop of the 0.5 mm template ch2better.nii.gz (brain voxels: > 0), where
           the settings before the study and both peers (tuned there too) also run.
  best     [volume [levels]] SSIM for each level's best setting, run again where it is missing.
  phantom  the demo's phantom (96x120x72), sharp and blurred by 0.5 to 1 voxel, at 2 to 12%:
           the defaults of both methods against the other patch radius.
  report   the table (Markdown) and the plot (PNG) from the results file.
  crop ... the earliest stages on a central 48^3 crop: block, patch, guided, denoise.

PSNR = 20 log10(peak / RMSE) over the brain voxels (ch2bet.nii.gz > 0), peak the noise-free
volume's maximum; SSIM (scikit-image, 7^3 windows, data range = peak) averaged over the brain
voxels; seconds of the filter call alone, on a shared, loaded machine (compare within one run
only).

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
CHECK_LEVELS = (0.03, 0.09, 0.01, 0.15, 0.05)
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

    def contrast(self, level, noisy, estimate, r, p, h, rg, contrasts, with_ssim=False):
        """The guided method on the block result multiplied by each factor in `contrasts` (the
        guide's differences grow by it against sigma, so the guided weights fall off faster for a
        factor above 1 and slower below it; the values averaged are the noisy ones as before)."""
        def todo(key):
            return key not in self.done or (with_ssim and "ssim" not in self.done[key])

        keys = {k: self.key(level, "guided", r, p, h, rg, *([k] if k != 1 else []))
                for k in contrasts}
        keys = {k: v for k, v in keys.items() if todo(v)}
        bkey = self.key(level, "block", r, p, h)
        if not keys and not todo(bkey):
            return
        t = time.time()
        block, guide = block_run(noisy, estimate, r, p, h)
        block_seconds = time.time() - t
        fields = dict(level=level, kind="block", r=r, p=p, h=h)
        if todo(bkey):
            self.measure(bkey, fields, block, block_seconds, with_ssim)
        for k, key in keys.items():
            t = time.time()
            out = guided_run(noisy, np.asfortranarray(np.asarray(guide, np.float64) * k),
                             estimate, rg)
            self.measure(key, dict(fields, kind="guided", rg=rg, **(
                {"contrast": k} if k != 1 else {})), out, block_seconds + time.time() - t,
                with_ssim)

    def tried(self, level, kind, param):
        """The values of `param` run so far on this volume at this level, in order."""
        return sorted(r[param] for r in self.done.values() if r["volume"] == self.volume and
                      r["level"] == level and r["kind"] == kind)

    def widen_nlm(self, level, noisy, sigma, rounds):
        """scikit-image's h moved in steps of 0.1 sigma while the best run is at an end."""
        for _ in range(rounds):
            hs = self.tried(level, "nlm", "h_over_sigma")
            best = self.best(level, "nlm")["h_over_sigma"]
            if best == hs[-1]:
                self.nlm(level, noisy, sigma, [round(best + 0.1, 1)])
            elif best == hs[0] and best > 0.15:
                self.nlm(level, noisy, sigma, [round(best - 0.1, 1)])
            else:
                break

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
                         time.time() - t, True)

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

    def peers_ssim(self, level, noisy, sigma):
        """SSIM for the peers' best settings, run again where it was not recorded."""
        for kind in ("gauss", "nlm"):
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

Made by python/tools/measure_defaults.py on a 2-core AMD EPYC shared with 6 to 7 other developers
building and measuring at the same time (load average 2 to 30), every run at `nice -n 19`, so the
seconds are only comparable within one row and are up to several times those of a quiet machine.
The results file defaults_study.jsonl holds every run (one JSON record a line); the stages skip
what it already holds, so they can be stopped and resumed. Commands, from the repository root
with the module built in build/ (the last one writes this file and defaults_study.png):

    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py study
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py peers
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py refine ch2
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py refine ch2better-crop128
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py defaults template
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py defaults other
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py best ch2
    PYTHONPATH=build/python nice -n 19 /usr/bin/python3 python/tools/measure_defaults.py phantom
    PYTHONPATH=build/python /usr/bin/python3 python/tools/measure_defaults.py report

The search was changed while it ran: at 3% and 9% the first smoothing grid was run at search
radius 3, later levels at 2; the second round (`refine`) tried patch radius 2 with smaller
smoothing, the guide's contrast (the block result multiplied by 0.7 to 1.5 before the guided
step, which narrows or widens the guided weights against sigma) and search radius 1. Volumes:
the whole template ch2 (181x217x181, maximum 254) and a central 128^3 crop of the 0.5 mm
template ch2better (maximum 121); Rician noise of the given % of the volume's maximum (numpy
default_rng seeded with 1000 x the level); our filters get the sigma estimated from the noisy
volume, scikit-image gets the true sigma; PSNR and SSIM over the brain voxels (ch2: ch2bet > 0;
the crop: > 0). Setting names: R = blockdenoise search radius, p = patch radius, h = smoothing,
Rg = sorvane (guided) search radius. "Best" is the best of the settings run, not of a full grid.

The third round made the guided method's patch radius follow the noise (2 with smoothing 0.35 for
a noise ratio, sigma over the signal level, in [0.025, 0.12); pipeline/defaults.h) and ran the
`defaults` stages again where that changed the choice; where it did not (ch2 at 1, 9, 12 and 15%,
the crop at 1 and 15%), the earlier runs of the same parameters stand, since they give the same
bits. The `phantom` stage then measured what the wider patch costs where edges are sharp to the
voxel (the last table). That round ran on a quieter machine (load average 1 to 5).

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


def peers(levels=(0.03, 0.05, 0.02, 0.07, 0.12, 0.01, 0.09, 0.15)):
    """The peers on the template, in a process of their own beside the study (they use one
    core). scipy's width grid moves while its best is at an end. scikit-image takes minutes a run
    on the whole volume here, so its h is tuned on a central 96^3 crop of the same noisy volume
    (h = 0.3 to 1.2 sigma, moved while the best is at an end), then run on the whole volume at the
    crop's best h and at -+ 0.1 sigma, moved in steps of 0.1 while the whole volume's best is at
    an end. SSIM is recorded for every whole-volume scikit-image run and for scipy's best."""
    from skimage.restoration import denoise_nl_means

    clean, mask, peak = load()
    st = Study("ch2", clean, mask, peak)
    c = [s // 2 for s in clean.shape]
    crop = tuple(slice(ci - 48, ci + 48) for ci in c)

    for level in levels:
        sigma = level * peak
        noisy = rician(clean, sigma, seed=int(round(level * 1000)))
        st.gauss(level, noisy)
        for _ in range(4):
            widths, best = st.tried(level, "gauss", "width"), st.best(level, "gauss")["width"]
            if best == widths[0] and best > 0.25:
                st.gauss(level, noisy, [round(best - 0.1, 2)])
            elif best == widths[-1]:
                st.gauss(level, noisy, [round(best + 0.2, 2)])
            else:
                break
        factors = [round(0.3 + 0.1 * i, 1) for i in range(10)]
        for _ in range(6):
            for f in factors:
                key = st.key(level, "nlm-crop96", f)
                if key in st.done:
                    continue
                out = denoise_nl_means(noisy[crop], patch_distance=2, h=f * sigma, sigma=sigma,
                                       fast_mode=True)
                st.record(dict(key=key, level=level, kind="nlm-crop96", h_over_sigma=f,
                               psnr=psnr(out, clean[crop], mask[crop], peak)))
            hs, best = st.tried(level, "nlm-crop96", "h_over_sigma"), st.best(
                level, "nlm-crop96")["h_over_sigma"]
            if best == hs[-1]:
                factors = [round(best + 0.1, 1)]
            elif best == hs[0] and best > 0.15:
                factors = [round(best - 0.1, 1)]
            else:
                break
        f = st.best(level, "nlm-crop96")["h_over_sigma"]
        st.nlm(level, noisy, sigma, [f, round(f - 0.1, 1), round(f + 0.1, 1)])
        st.widen_nlm(level, noisy, sigma, rounds=4)
        st.peers_ssim(level, noisy, sigma)


def defaults_tag():
    """A short name of the defaults the module holds, so that a change of the defaults runs
    them again instead of finding the earlier defaults' results."""
    import hashlib

    text = json.dumps({k: str(v) for k, v in volnlm.DEFAULTS.items()}, sort_keys=True)
    return hashlib.sha1(text.encode()).hexdigest()[:8]


def used_the_defaults(params, noisy):
    """Whether a run's record (return_params) shows the radii of the module's defaults and the
    patch radius and smoothing they choose for `noisy` at the run's sigma with the run's
    method."""
    used, d = params["Parameters"], volnlm.DEFAULTS
    patch, smoothing = volnlm._core.block_defaults(noisy, params["Sigma"][0], params["Method"])
    return used.get("SearchRadius") == d["search_radius"] and used.get(
        "GuidedSearchRadius", d["guided_search_radius"]) == d["guided_search_radius"] and (
        used.get("PatchRadius"), used.get("Smoothing")) == (patch, smoothing)


def run_defaults(st, level, noisy, methods=("guided",)):
    """denoise() as a user calls it (defaults, sigma estimated), with the parameters it
    reports."""
    tag = defaults_tag()
    for method in methods:
        key = st.key(level, "defaults", method, tag)
        if key in st.done:
            continue
        # A run recorded before the records were tagged counts as one of these defaults when it
        # used what they choose for this volume.
        earlier = st.done.get(st.key(level, "defaults", method))
        if earlier and "defaults_tag" not in earlier and used_the_defaults(earlier["params"],
                                                                           noisy):
            st.record(dict(earlier, key=key, defaults_tag=tag))
            continue
        t = time.time()
        out, used = volnlm.denoise(noisy, method=method, return_params=True)
        seconds = time.time() - t
        params = json.loads(json.dumps(used, default=str))
        st.measure(key, dict(level=level, kind="defaults-" + method, params=params,
                             defaults_tag=tag), out, seconds, True)


def defaults_stage(which="template"):
    """denoise() with its defaults on the template at every level (the target levels first), or
    (which="other") on a central 128^3 crop of the 0.5 mm template ch2better (brain: > 0): the
    defaults, the settings before this study, and the peers tuned on that volume too (scipy's
    width grid; scikit-image's h from the template's best -+ 0.1 sigma, moved while the best is
    at an end)."""
    clean, mask, peak = load()
    st = Study("ch2", clean, mask, peak)
    if which == "template":
        for level in (0.03, 0.05, 0.02, 0.09, 0.01, 0.15, 0.07, 0.12):
            noisy, sigma, estimate = st.level(level)
            run_defaults(st, level, noisy, ("guided", "block") if level in (0.03, 0.09) else
                         ("guided",))
        return
    other = Study("ch2better-crop128", *load_other())
    for level in CHECK_LEVELS:
        noisy, sigma, estimate = other.level(level)
        run_defaults(other, level, noisy)
        other.ours(level, noisy, estimate, *OLD[:3], (OLD[3],), with_ssim=True)
        other.gauss(level, noisy)
        if st.best(level, "nlm"):
            f = st.best(level, "nlm")["h_over_sigma"]
            other.nlm(level, noisy, sigma, [f, round(f - 0.1, 1), round(f + 0.1, 1)])
            other.widen_nlm(level, noisy, sigma, rounds=8)
        other.peers_ssim(level, noisy, sigma)


def best_stage(volume="ch2", levels=LEVELS):
    """SSIM for the best setting found at each level, run again where it was not recorded."""
    st = Study("ch2", *load()) if volume == "ch2" else Study("ch2better-crop128", *load_other())
    for level in levels:
        b = st.best(level, "guided")
        if b is None or "ssim" in b:
            continue
        noisy, sigma, estimate = st.level(level)
        st.contrast(level, noisy, estimate, b["r"], b["p"], b["h"], b["rg"],
                    [b.get("contrast", 1)], with_ssim=True)


# The second round, on what the first left open: patch radius 2 (with the smaller smoothing
# larger patches want), the guide's contrast, search radius 1, and the levels the first round did
# not search. Per volume and level: (R, p, smoothing, guided radius, guide contrasts).
REFINE = {
    "ch2": {
        0.01: [(2, 2, 0.3, 4, (1,)), (2, 2, 0.4, 4, (1,)), (2, 2, 0.55, 4, (1,))],
        0.02: [(2, 2, 0.35, 4, (1,)), (2, 2, 0.5, 4, (1,)), (2, 1, 0.8, 4, (1,))],
        0.03: [(2, 1, 0.6, 4, (0.7, 0.85, 1.2, 1.5)), (2, 2, 0.4, 4, (1, 0.85)),
               (2, 2, 0.3, 4, (1,)), (2, 2, 0.22, 4, (1,)), (1, 1, 0.6, 4, (1,))],
        0.05: [(2, 2, 0.5, 4, (1, 0.85)), (2, 2, 0.35, 4, (1,)), (2, 2, 0.25, 4, (1,)),
               (2, 1, 0.7, 4, (1, 0.85, 0.7))],
        0.07: [(2, 2, 0.4, 4, (1,)), (2, 1, 0.8, 4, (1,))],
        0.09: [(2, 2, 0.5, 4, (1,)), (2, 2, 0.7, 4, (1,))],
        0.12: [(2, 2, 0.7, 4, (1,)), (2, 1, 1.0, 4, (1,)), (2, 1, 1.6, 4, (1,))],
        0.15: [(2, 2, 0.8, 4, (1,)), (2, 2, 1.1, 4, (1,))],
    },
    "ch2better-crop128": {
        0.03: [(2, 2, 0.3, 4, (1,)), (2, 2, 0.5, 4, (1,))],
        0.09: [(2, 2, 0.5, 4, (1,)), (2, 2, 0.7, 4, (1,)), (2, 2, 1.0, 4, (1,)),
               (2, 1, 0.85, 4, (1,)), (2, 1, 1.0, 4, (1,)), (2, 1, 1.3, 4, (1,)),
               (3, 1, 0.736, 4, (1,))],
    },
}


def refine_stage(volume="ch2"):
    st = Study("ch2", *load()) if volume == "ch2" else Study(volume, *load_other())
    for level, settings in REFINE[volume].items():
        noisy, sigma, estimate = st.level(level)
        for r, p, h, rg, contrasts in settings:
            st.contrast(level, noisy, estimate, r, p, h, rg, contrasts)


def records():
    """The results file's records, the last one of each key (a run repeated for its SSIM)."""
    with open(RESULTS) as f:
        recs = {}
        for line in f:
            rec = json.loads(line)
            recs[rec["key"]] = rec
        return list(recs.values())


def pick(recs, volume, level, kind, **match):
    found = [r for r in recs if r["volume"] == volume and r["level"] == level and
             r["kind"] == kind and all(r.get(k) == v for k, v in match.items())]
    return max(found, key=lambda r: r["psnr"]) if found else None


def setting_text(r):
    text = f"R={r['r']} p={r['p']} h={r['h']:g} Rg={r['rg']}"
    return text + (f" contrast {r['contrast']:g}" if "contrast" in r else "")


VOLUMES = (("ch2", "whole 1 mm template ch2"),
           ("ch2better-crop128", "0.5 mm template ch2better, central 128^3 crop"))


def level_rows(recs, volume, tag):
    levels = sorted({r["level"] for r in recs if r["volume"] == volume and r["kind"] == "noisy"})
    rows = {}
    for level in levels:
        chosen = pick(recs, volume, level, "defaults-guided", defaults_tag=tag)
        best = pick(recs, volume, level, "guided")
        # The peers' best only once their grids ran (scipy: 5 widths or more; scikit-image: 3 h).
        grid = {k: len([r for r in recs if r["volume"] == volume and r["level"] == level and
                        r["kind"] == k]) for k in ("gauss", "nlm")}
        rows[level] = dict(
            noisy=pick(recs, volume, level, "noisy"), chosen=chosen,
            block=pick(recs, volume, level, "defaults-block", defaults_tag=tag),
            old=pick(recs, volume, level, "guided", r=OLD[0], p=OLD[1], h=OLD[2], rg=OLD[3],
                     contrast=None),
            best=best, best_is_defaults=bool(chosen and best and chosen["psnr"] >= best["psnr"]),
            gauss=pick(recs, volume, level, "gauss") if grid["gauss"] >= 5 else None,
            nlm=pick(recs, volume, level, "nlm") if grid["nlm"] >= 3 else None)
    return levels, rows


def report():
    """The table (Markdown) and the plot from the results file."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    recs = records()
    tag = defaults_tag()
    lines = []
    out = lines.append

    def cell(rec, what=""):
        if rec is None:
            return "not run"
        text = f"{rec['psnr']:.2f}"
        if "ssim" in rec:
            text += f" / {rec['ssim']:.4f}"
        return text + (f" ({what})" if what else "")

    def params_text(rec):
        q = rec["params"]["Parameters"]
        return f"p={q['PatchRadius']} h={q['Smoothing']:.3f}"

    out("## Guided method, sigma estimated: PSNR dB / SSIM over the brain\n")
    out("| volume | noise | noisy | sigma est. / true | defaults | their patch radius and "
        "smoothing | seconds | best setting found | settings before the study (R=3 p=1 h=1) | "
        "defaults, block method | best scipy gaussian | best scikit-image nl-means d=2 | "
        "defaults minus best peer |")
    out("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    tables = {}
    for volume, _ in VOLUMES:
        levels, rows = level_rows(recs, volume, tag)
        tables[volume] = (levels, rows)
        for level in levels:
            x = rows[level]
            n, c, b = x["noisy"], x["chosen"], x["best"]
            peers = [x[k]["psnr"] for k in ("gauss", "nlm") if x[k]]
            margin = f"{c['psnr'] - max(peers):+.3f}" if c and peers else "not run"
            best_text = ("the defaults" if x["best_is_defaults"] else
                         cell(b, setting_text(b)) if b else "not searched")
            out(f"| {volume} | {level:.0%} | {cell(n)} | {n['estimate'] / n['sigma']:.3f} | " + (
                f"{cell(c)} | {params_text(c)} | {c['seconds']:.0f} | " if c else
                "not run | | | ") +
                f"{best_text} | {cell(x['old'])} | {cell(x['block'])} | "
                + (cell(x['gauss'], 'width %g' % x['gauss']['width']) if x['gauss'] else
                   'not run') + " | " +
                (cell(x['nlm'], 'h %g sigma' % x['nlm']['h_over_sigma']) if x['nlm'] else
                 'not run') + f" | {margin} |")

    for volume, title in VOLUMES:
        levels = tables[volume][0]
        out(f"\n## Every guided setting run on the {title}: PSNR dB (seconds of both steps)\n")
        runs = [r for r in recs if r["volume"] == volume and r["kind"] == "guided"]
        settings = sorted({(r["r"], r["p"], r["h"], r["rg"], r.get("contrast", 1)) for r in runs})
        out("| R | p | h | Rg | guide contrast | " + " | ".join(f"{lv:.0%}" for lv in levels) +
            " |")
        out("|---|---|---|---|---|" + "---|" * len(levels))
        for st in settings:
            cells = []
            for level in levels:
                rec = pick(recs, volume, level, "guided", r=st[0], p=st[1], h=st[2], rg=st[3],
                           contrast=None if st[4] == 1 else st[4])
                cells.append(f"{rec['psnr']:.2f} ({rec['seconds']:.0f})" if rec else "")
            out(f"| {st[0]} | {st[1]} | {st[2]:g} | {st[3]} | {st[4]:g} | " + " | ".join(cells) +
                " |")
        out(f"\n## Block method alone on the {title}: PSNR dB (seconds)\n")
        settings = sorted({(r["r"], r["p"], r["h"]) for r in recs
                           if r["volume"] == volume and r["kind"] == "block"})
        out("| R | p | h | " + " | ".join(f"{lv:.0%}" for lv in levels) + " |")
        out("|---|---|---|" + "---|" * len(levels))
        for st in settings:
            cells = []
            for level in levels:
                rec = pick(recs, volume, level, "block", r=st[0], p=st[1], h=st[2])
                cells.append(f"{rec['psnr']:.2f} ({rec['seconds']:.0f})" if rec else "")
            out(f"| {st[0]} | {st[1]} | {st[2]:g} | " + " | ".join(cells) + " |")
        out(f"\n## Peers on the {title}: PSNR dB\n")
        for kind, param, label in (("gauss", "width", "scipy gaussian_filter, width"),
                                   ("nlm", "h_over_sigma", "scikit-image nl-means, h / sigma"),
                                   ("nlm-crop96", "h_over_sigma",
                                    "scikit-image nl-means on the central 96^3 crop, h / sigma")):
            values = sorted({r[param] for r in recs if r["volume"] == volume and
                             r["kind"] == kind})
            if not values:
                continue
            out(f"| {label} | " + " | ".join(f"{lv:.0%}" for lv in levels) + " |")
            out("|---|" + "---|" * len(levels))
            for v in values:
                cells = []
                for level in levels:
                    rec = pick(recs, volume, level, kind, **{param: v})
                    cells.append(f"{rec['psnr']:.2f}" if rec else "")
                out(f"| {v:g} | " + " | ".join(cells) + " |")
            out("")
    phantom = phantom_rows(recs, tag)
    if len(phantom) > 2:
        out("\n## The patch radius on the demo's phantom, sharp and blurred: PSNR dB over its "
            "support\n")
        out("The guided defaults take patch radius 2 where the noise ratio lies in the band; "
            "\"guided p=1\" is the same run with patch radius 1 and the smoothing the rule gives "
            "it, \"block p=2\" the block method with patch radius 2 and the smoothing the rule "
            "gives that radius.\n")
        lines.extend(phantom)
    with open(TABLE, "w") as f:
        f.write(HEADER + "\n".join(lines) + "\n")

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5), sharey=True)
    for ax, (volume, title) in zip(axes, VOLUMES):
        levels, rows = tables[volume]
        x = [100 * lv for lv in levels]

        def gain(key):
            values = []
            for lv in levels:
                rec = rows[lv][key]
                if key == "best" and rows[lv]["chosen"]:
                    rec = max([r for r in (rec, rows[lv]["chosen"]) if r],
                              key=lambda r: r["psnr"])
                values.append(rec["psnr"] - rows[lv]["noisy"]["psnr"] if rec else np.nan)
            return values

        for key, label, style in (("best", "best setting found per level", "k--x"),
                                  ("chosen", "defaults (sigma estimated)", "C0-o"),
                                  ("old", "settings before the study", "C0:."),
                                  ("nlm", "scikit-image nl-means d=2, best h", "C1-s"),
                                  ("gauss", "scipy gaussian, best width", "C2-^")):
            ax.plot(x, gain(key), style, label=label)
        ax.set_xlabel("Rician noise, % of the maximum")
        ax.set_title(title + ", guided method", fontsize=10)
        ax.grid(alpha=0.3)
    axes[0].set_ylabel("PSNR gain over the noisy volume, dB (brain)")
    axes[0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(PLOT, dpi=100)


PHANTOM_SHAPE = (96, 120, 72)  # the demo's phantom at the demo's default size
PHANTOM_BLURS = (0.0, 0.5, 0.7, 1.0)
PHANTOM_LEVELS = (0.02, 0.03, 0.05, 0.07, 0.09, 0.12)


def phantom_volume(blur):
    """The demo's built-in phantom (piecewise constant, edges sharp to the voxel), blurred by a
    Gaussian of `blur` voxels as an acquisition's point-spread function blurs a real image; the
    PSNR mask is the sharp phantom's support."""
    from scipy import ndimage
    from volnlm._demo_data import phantom

    sharp = phantom(PHANTOM_SHAPE)
    clean = np.asfortranarray(ndimage.gaussian_filter(sharp, blur)) if blur else sharp
    return f"phantom-blur{blur:g}", clean, sharp > 0, clean.max()


def phantom_stage():
    """The wide patch's cost where edges are sharp to the voxel: on the demo's phantom, sharp and
    blurred, denoise() with its defaults (both methods) against the guided method with patch
    radius 1 and the block method with patch radius 2 (each with the smoothing the rule gives
    that radius)."""
    for blur in PHANTOM_BLURS:
        st = Study(*phantom_volume(blur))
        for level in PHANTOM_LEVELS:
            noisy, sigma, estimate = st.level(level)
            run_defaults(st, level, noisy, ("guided", "block"))
            narrow = volnlm._core.block_defaults(noisy, estimate, "guided", 1)[1]
            st.ours(level, noisy, estimate, 2, 1, narrow, (4,))
            wide = volnlm._core.block_defaults(noisy, estimate, "guided", 2)[1]
            st.ours(level, noisy, estimate, 2, 2, wide, ())


def phantom_rows(recs, tag):
    """The phantom stage's table: per blur and level, the guided and block defaults against the
    other patch radius."""
    lines = ["| phantom blur (voxels) | noise | noisy | guided defaults (p) | guided p=1 | "
             "difference | block defaults (p=1) | block p=2 | difference |",
             "|---|---|---|---|---|---|---|---|---|"]
    for blur in PHANTOM_BLURS:
        volume = f"phantom-blur{blur:g}"
        for level in PHANTOM_LEVELS:
            noisy = pick(recs, volume, level, "noisy")
            guided = pick(recs, volume, level, "defaults-guided", defaults_tag=tag)
            block = pick(recs, volume, level, "defaults-block", defaults_tag=tag)
            if not (noisy and guided and block):
                continue
            narrow = pick(recs, volume, level, "guided", r=2, p=1, rg=4)
            wide = pick(recs, volume, level, "block", r=2, p=2)
            used = guided["params"]["Parameters"]["PatchRadius"]

            def diff(a, b):
                return f"{a['psnr'] - b['psnr']:+.2f}" if a and b else ""

            lines.append(
                f"| {blur:g} | {level:.0%} | {noisy['psnr']:.2f} | {guided['psnr']:.2f} ({used}) | "
                + (f"{narrow['psnr']:.2f} | {diff(guided, narrow)}" if used != 1 and narrow
                   else "the defaults | ")
                + f" | {block['psnr']:.2f} | " + (f"{wide['psnr']:.2f} | {diff(wide, block)} |"
                                                   if wide else " | |"))
    return lines


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
    elif stage == "refine":
        refine_stage(args[1] if len(args) > 1 else "ch2")
    elif stage == "best":
        best_stage(args[1] if len(args) > 1 else "ch2",
                   [float(x) for x in args[2].split(",")] if len(args) > 2 else LEVELS)
    elif stage == "phantom":
        phantom_stage()
    elif stage == "report":
        report()
    elif stage == "crop":
        crop_stage(args[1] if len(args) > 1 else "denoise")
    else:
        sys.exit(f"unknown stage {stage!r}")


if __name__ == "__main__":
    main(sys.argv[1:])
