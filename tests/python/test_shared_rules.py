"""Rules the Python module takes from the compiled core rather than restating: the defaults, the
method names, the rounding of a double argument to float, the shape limits."""
import pathlib
import re

import numpy as np
import pytest

import volnlm

FLT_MAX = float(np.finfo(np.float32).max)
HALF_ULP = 2.0**103  # half the spacing of floats at FLT_MAX
README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_defaults_come_from_the_core_and_the_docs_cite_them():
    d = volnlm.DEFAULTS
    assert set(d) == {"method", "search_radius", "patch_radius", "smoothing", "guided_search_radius"}
    v = np.asfortranarray(np.random.default_rng(1).normal(100.0, 5.0, (10, 9, 8)))
    _, used = volnlm.denoise(v, sigma=5.0, return_params=True)
    assert used["Method"] == d["method"]
    smoothing = used["Parameters"].pop("Smoothing")
    patch = used["Parameters"].pop("PatchRadius")
    assert used["Parameters"] == {
        "SearchRadius": d["search_radius"],
        "GuidedSearchRadius": d["guided_search_radius"],
    }
    # The default patch radius and smoothing follow the noise: noise of 5 over a level near 100
    # widens the guided method's patch, twenty more does not, and brings more smoothing.
    _, noisier = volnlm.denoise(v + np.random.default_rng(2).normal(0.0, 20.0, v.shape),
                                return_params=True)
    assert (patch, noisier["Parameters"]["PatchRadius"]) == (2, 1)
    assert 0.0 < smoothing < noisier["Parameters"]["Smoothing"]
    assert d["smoothing"].startswith("chosen from the noise ratio (sigma over the signal level")
    assert d["patch_radius"].startswith("1; with the guided method 2 when the noise ratio")
    doc = volnlm.denoise.__doc__
    cited = {
        "search_radius": rf"search_radius : int, optional\n.*Default {d['search_radius']}\.",
        "patch_radius": r"patch_radius : int, optional\n.*Default: chosen from the noise of each\s+"
                        r"volume, " + re.escape(d["patch_radius"]),
        "smoothing": r"smoothing : float, optional\n.*Default:\s+chosen from the noise",
        "guided_search_radius": rf"guided_search_radius : int, optional\n.*Default {d['guided_search_radius']}\.",
        "method": rf'method : .*default "{d["method"]}"',
    }
    for key, pattern in cited.items():
        assert re.search(pattern, doc, re.S), f"the docstring cites another default for {key}"
    readme = " ".join(README.read_text().split())
    assert (
        f"Defaults (search radius {d['search_radius']}, patch radius and smoothing chosen from "
        f"the noise, guided search radius {d['guided_search_radius']})"
    ) in readme


def test_method_names_are_the_cores():
    v = np.ones((4, 4, 4))
    for name in ("guided", "block"):
        volnlm.denoise(v, sigma=1.0, method=name)
    with pytest.raises(ValueError, match=r'method must be "guided" or "block"; got "Guided"'):
        volnlm.denoise(v, sigma=1.0, method="Guided")


# (double given, float the filter must see): past the largest float a value that rounds to it
# is accepted, as the plug-in accepts it; from the tie on it is infinite and refused.
ROUNDING = [
    (FLT_MAX, FLT_MAX),
    (FLT_MAX + HALF_ULP / 2, FLT_MAX),
    (np.nextafter(FLT_MAX + HALF_ULP, 0.0), FLT_MAX),
    (2.0**-149 * 0.75, 2.0**-149),
    (2.0**-149 / 2, 0.0),
]


@pytest.mark.parametrize("given, seen", ROUNDING)
def test_blockdenoise_rounds_sigma_and_smoothing_as_the_plugin_does(noisy_volume, given, seen):
    v = noisy_volume.astype(np.float32, order="F")
    got = volnlm.blockdenoise(v, 1, 1, given, 1.0)
    want = volnlm.blockdenoise(v, 1, 1, seen, 1.0)
    assert np.array_equal(got, want, equal_nan=True)
    if seen > 0:
        got = volnlm.blockdenoise(v, 1, 1, 10.0, given)
        want = volnlm.blockdenoise(v, 1, 1, 10.0, seen)
        assert np.array_equal(got, want, equal_nan=True)


@pytest.mark.parametrize("value", [FLT_MAX + HALF_ULP, 1e39, -FLT_MAX - HALF_ULP])
def test_values_that_round_to_an_infinite_float_are_refused(noisy_volume, value):
    v = noisy_volume.astype(np.float32, order="F")
    with pytest.raises(ValueError, match="sigma"):
        volnlm.blockdenoise(v, 1, 1, value, 1.0)
    with pytest.raises(ValueError, match="smoothing"):
        volnlm.blockdenoise(v, 1, 1, 10.0, value)
