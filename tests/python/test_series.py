"""4-D series [x, y, z, volume]: sigma per volume, a shared sigma, each volume as its own 3-D call,
and the record of the run."""
import json
import os
import re
import shutil
import subprocess
import tracemalloc

import numpy as np
import pytest

import volnlm
from conftest import phantom, rician, same_bits


@pytest.fixture(scope="module")
def series():
    """A bright volume and three dimmer ones with the same noise, as in a diffusion series."""
    clean = phantom((16, 15, 12))
    volumes = [rician(level * clean, 6.0, seed=40 + k) for k, level in enumerate((400.0, 150.0, 90.0, 60.0))]
    return np.asfortranarray(np.stack(volumes, axis=3))


def volume(s, k):
    return np.asfortranarray(s[..., k])


def test_estimate_sigma_gives_one_value_per_volume(series):
    got = volnlm.estimate_sigma(series)
    assert isinstance(got, np.ndarray) and got.dtype == np.float64 and got.shape == (series.shape[3],)
    for k in range(series.shape[3]):
        for is_rician in (True, False):
            assert volnlm.estimate_sigma(series, rician=is_rician)[k] == volnlm.estimate_sigma(volume(series, k), rician=is_rician)
    assert isinstance(volnlm.estimate_sigma(volume(series, 0)), float), "a 3-D volume still gives a number"
    assert volnlm.estimate_sigma(series[..., :0]).shape == (0,)


SIGMA_CHOICES = [
    # (name, keyword arguments of the 4-D call, sigma of volume k for the 3-D call or None to
    # estimate, given the 4-D call's record)
    ("estimated per volume", {}, lambda k, record: None),
    ("one number", {"sigma": 7.5}, lambda k, record: 7.5),
    ("one per volume", {"sigma": [5.0, 6.25, 0.0, 9.0]}, lambda k, record: [5.0, 6.25, 0.0, 9.0][k]),
    ("numpy array", {"sigma": np.array([4.0, 5.0, 6.0, 7.0])}, lambda k, record: [4.0, 5.0, 6.0, 7.0][k]),
    ("shared estimate", {"shared_sigma": True}, lambda k, record: record["Sigma"][k]),
]


@pytest.mark.parametrize("method", ["guided", "block"])
@pytest.mark.parametrize("name, kwargs, sigma_of", SIGMA_CHOICES, ids=[c[0] for c in SIGMA_CHOICES])
def test_each_volume_of_a_series_is_the_3d_call_on_it(series, method, name, kwargs, sigma_of):
    out, record = volnlm.denoise(series, method=method, return_params=True, **kwargs)
    assert out.shape == series.shape and out.dtype == np.float64 and out.flags.f_contiguous
    for k in range(series.shape[3]):
        one, one_record = volnlm.denoise(volume(series, k), sigma=sigma_of(k, record), method=method,
                                         return_params=True)
        assert same_bits(out[..., k], one), f"volume {k}"
        assert record["Sigma"][k] == one_record["Sigma"][0]
        assert record["UnitScale"][k] == one_record["UnitScale"][0]
    assert record["Volumes"] == series.shape[3]


def test_a_shared_sigma_lies_among_the_volumes_estimates_and_the_bright_volume_counts_most(series):
    estimates = volnlm.estimate_sigma(series)
    _, record = volnlm.denoise(series, shared_sigma=True, method="block", return_params=True)
    assert record["SigmaSource"] == "estimated-shared"
    assert record["SigmaEstimates"] == list(estimates)
    assert record["Sigma"] == [record["Sigma"][0]] * 4 and min(estimates) <= record["Sigma"][0] <= max(estimates)
    # Volumes of background noise alone (estimated through the Rayleigh factor) and one without
    # any noise do not outvote the one bright volume.
    shape = (24, 22, 20)  # enough bright blocks for the bright volume's own estimate
    bright = rician(400.0 * phantom(shape), 6.0, seed=40)
    rng = np.random.default_rng(3)
    background = [np.hypot(rng.normal(0.0, 6.0, shape), rng.normal(0.0, 6.0, shape)) for _ in range(3)]
    mixed = np.asfortranarray(np.stack([bright] + background + [np.zeros(shape)], axis=3))
    _, record = volnlm.denoise(mixed, shared_sigma=True, method="block", return_params=True)
    assert record["SigmaEstimates"][4] == 0.0
    assert record["Sigma"] == [volnlm.estimate_sigma(bright)] * 5
    assert np.median(record["SigmaEstimates"]) != estimates[0], "the plain median would differ"


def test_a_fortran_float64_series_is_read_in_place(series):
    big = np.asfortranarray(np.concatenate([series] * 4, axis=3))
    volnlm.denoise(big[..., :1], method="block")  # warm up: imports, first-call allocations
    tracemalloc.start()
    try:
        volnlm.denoise(big, method="block")
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # numpy reports its arrays to tracemalloc: the result, and nothing the size of the input.
    assert big.nbytes <= peak < 1.25 * big.nbytes, (peak, big.nbytes)


def test_the_record_has_the_documented_keys_and_depends_only_on_the_inputs(series):
    documented = re.findall(r"^(\w+)$", volnlm.RECORD_KEYS, flags=re.M)
    _, first = volnlm.denoise(series, return_params=True)
    _, second = volnlm.denoise(series, return_params=True)
    assert list(first) == documented
    assert first["GeneratedBy"] == [{"Name": "volnlm", "Version": volnlm.__version__}]
    assert first["Sources"] == [] and first["Mask"] is None and first["SigmaEstimates"] is None
    assert first["ElapsedSeconds"] >= 0.0
    del first["ElapsedSeconds"], second["ElapsedSeconds"]
    assert first == second
    _, three_d = volnlm.denoise(volume(series, 0), return_params=True)
    assert list(three_d) == documented and three_d["Volumes"] == 1 and len(three_d["Sigma"]) == 1


def test_series_edge_shapes(series):
    empty, record = volnlm.denoise(series[..., :0], return_params=True)
    assert empty.shape == series.shape[:3] + (0,) and record["Sigma"] == [] and record["Volumes"] == 0
    assert record["Parameters"]["SearchRadius"] == volnlm.DEFAULTS["search_radius"], (
        "the parameters are reported even with no volume")
    flat = np.zeros((0, 4, 4, 3))
    assert volnlm.denoise(flat, sigma=[1.0, 2.0, 3.0]).shape == flat.shape
    one = series[..., :1]
    assert same_bits(volnlm.denoise(one, sigma=[6.0])[..., 0], volnlm.denoise(volume(series, 0), sigma=6.0))
    strided = series[..., ::2]  # not contiguous: converted once
    assert same_bits(volnlm.denoise(strided, method="block"), volnlm.denoise(np.asfortranarray(strided), method="block"))


V4 = np.asfortranarray(np.linspace(1.0, 50.0, 6 * 5 * 4 * 3).reshape(6, 5, 4, 3))

BAD_SERIES = [
    # (keyword arguments, exception, pattern in the message)
    ({"sigma": [1.0, 2.0]}, ValueError, r"sigma has 2 values but the series has 3 volumes"),
    ({"sigma": [1.0, 2.0, 3.0, 4.0]}, ValueError, r"sigma has 4 values but the series has 3 volumes"),
    ({"sigma": [1.0, float("nan"), 3.0]}, ValueError, r"sigma must be a finite number of 0 or more; got nan \(value 2\)"),
    ({"sigma": [1.0, -2.0, 3.0]}, ValueError, r"got -2 \(value 2\)"),
    ({"sigma": [[1.0, 2.0, 3.0]]}, ValueError, r"sigma must be a number or a 1-D sequence .* shape \(1, 3\)"),
    ({"sigma": ["1", "2", "3"]}, TypeError, r"sigma must be a real number or a sequence of them"),
    ({"sigma": [True, False, True]}, TypeError, r"sigma must be a real number or a sequence of them; got dtype bool"),
    ({"sigma": "3"}, TypeError, r"sigma must be a real number; got str"),
    ({"sigma": 2.0, "shared_sigma": True}, ValueError, r"shared sigma is estimated from the series; it cannot be combined"),
    ({"shared_sigma": "yes"}, TypeError, r"shared_sigma must be True or False"),
]


@pytest.mark.parametrize("kwargs, exception, pattern", BAD_SERIES)
def test_bad_series_options_raise_saying_what_is_expected(kwargs, exception, pattern):
    with pytest.raises(exception, match=pattern):
        volnlm.denoise(V4, **kwargs)


def test_more_than_four_dimensions_are_refused():
    for call in (volnlm.denoise, volnlm.estimate_sigma):
        with pytest.raises(ValueError, match=r"volume must be a 3-D volume .* or a 4-D series .* got a 5-D array"):
            call(V4[..., None])


CLI = os.environ.get("VOLNLM_CLI_EXE")


@pytest.mark.skipif(not CLI or not shutil.which("volnlm", path=os.path.dirname(CLI)) or
                    not __import__("importlib").util.find_spec("nibabel"),
                    reason="needs the command-line tool (VOLNLM_CLI_EXE) and nibabel")
@pytest.mark.parametrize("options, kwargs", [
    ([], {}),
    (["--shared-sigma", "--method", "block"], {"shared_sigma": True, "method": "block"}),
    (["--sigma", "5,6.5,7,8", "--noise", "gaussian", "--smoothing", "0.75"],
     {"sigma": [5.0, 6.5, 7.0, 8.0], "rician": False, "smoothing": 0.75}),
])
def test_the_command_line_writes_the_series_and_record_python_gives(series, tmp_path, options, kwargs):
    import nibabel as nib
    stored = series.astype(np.float32)  # what the file holds
    nib.save(nib.Nifti1Image(stored, np.eye(4)), tmp_path / "dwi.nii")
    run = subprocess.run([CLI, "denoise", str(tmp_path / "dwi.nii"), str(tmp_path / "out.nii"), "-q",
                          "--output-type", "float64"] + options, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    expected, record = volnlm.denoise(stored, return_params=True, **kwargs)
    assert same_bits(np.asarray(nib.load(tmp_path / "out.nii").dataobj), expected)
    sidecar = json.loads((tmp_path / "out.json").read_text())
    assert sidecar["Sources"] == [str(tmp_path / "dwi.nii")]
    for entry in (sidecar, record):
        del entry["Sources"], entry["ElapsedSeconds"]
    assert sidecar == record


def test_the_guides_patch_radius_is_each_volumes_own_and_recorded_per_volume(series):
    # The same noise on ever dimmer volumes: the bright volume's noise ratio lies below the wide
    # patch's band, the next two inside it and the dimmest above it. Each volume takes the 3-D
    # call's choice.
    out, record = volnlm.denoise(series, return_params=True)
    radii = record["Parameters"]["PatchRadius"]
    assert radii == [1, 2, 2, 1]
    for k in range(series.shape[3]):
        alone, used = volnlm.denoise(volume(series, k), return_params=True)
        assert radii[k] == used["Parameters"]["PatchRadius"]
        assert record["Parameters"]["Smoothing"][k] == used["Parameters"]["Smoothing"]
        assert same_bits(out[..., k], alone)
    # A given patch radius holds for every volume: one number; the block method never widens.
    assert volnlm.denoise(series, patch_radius=2, return_params=True)[1]["Parameters"]["PatchRadius"] == 2
    assert volnlm.denoise(series, method="block", return_params=True)[1]["Parameters"]["PatchRadius"] == 1
