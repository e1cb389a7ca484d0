"""The demo (python3 -m volnlm.demo) on small volumes: its results, its figure, its errors."""
import csv
import os
import subprocess
import sys

import nibabel as nib
import numpy as np
import pytest

from volnlm import demo
from volnlm._demo_data import PHANTOM_MAX, central_crop, phantom, psnr, rician_noise
from volnlm._demo_figure import make_figure, view

SMALL = "32,30,20"


def write_nifti(path, data, affine=None, zooms=None):
    if affine is None:
        affine = np.diag(list(zooms or (1.0, 1.0, 1.0)) + [1.0])
    nib.save(nib.Nifti1Image(np.asarray(data, np.float32), affine), str(path))
    return str(path)


def read_table(out):
    with open(os.path.join(out, "psnr.csv")) as f:
        return list(csv.DictReader(f))


def test_runs_on_the_phantom_and_writes_volumes_table_and_figure(tmp_path, capsys):
    out = str(tmp_path / "out")
    assert demo.main(["--phantom", "--crop", SMALL, "--out", out]) == 0
    printed = capsys.readouterr().out
    assert "built-in phantom (32x30x20)" in printed
    rows = read_table(out)
    assert [(r["noise_pct"], r["method"]) for r in rows] == [
        ("3", "guided"), ("3", "block"), ("9", "guided"), ("9", "block")]
    for r in rows:
        true_sigma = float(r["noise_pct"]) / 100.0 * PHANTOM_MAX
        assert float(r["true_sigma"]) == pytest.approx(true_sigma)
        # A small phantom is mostly edges, which the estimate screens out imperfectly.
        assert float(r["sigma_used"]) == pytest.approx(true_sigma, rel=0.3)
        assert float(r["psnr_denoised_db"]) > float(r["psnr_noisy_db"]) + 2.0, r
        # The printed table carries the same numbers.
        assert f"{float(r['psnr_denoised_db']):.2f} dB" in printed
    for name in ("clean", "noisy_3pct", "noisy_9pct", "guided_3pct", "guided_9pct",
                 "block_3pct", "block_9pct"):
        image = nib.load(os.path.join(out, name + ".nii.gz"))
        assert image.shape == (32, 30, 20), name
    clean = np.asarray(nib.load(os.path.join(out, "clean.nii.gz")).dataobj)
    np.testing.assert_array_equal(clean, phantom((32, 30, 20)).astype(np.float32))
    with open(os.path.join(out, "figure.png"), "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert os.path.getsize(os.path.join(out, "figure.png")) > 20000


@pytest.fixture
def template(tmp_path):
    """A phantom stored as a template with anisotropic voxels and a brain mask beside it."""
    clean = 3.0 * phantom((30, 26, 12))
    path = write_nifti(tmp_path / "t1.nii.gz", clean, zooms=(1.0, 1.2, 2.5))
    write_nifti(tmp_path / "ch2bet.nii.gz", clean > 150.0, zooms=(1.0, 1.2, 2.5))
    return path, clean


def test_template_is_cropped_in_the_centre_with_its_mask_and_position(tmp_path, template, capsys):
    path, clean = template
    out = str(tmp_path / "out")
    assert demo.main(["--template", path, "--crop", "20,30,8", "--out", out, "-q"]) == 0
    printed = capsys.readouterr().out
    assert f"the brain, {tmp_path / 'ch2bet.nii.gz'} > 0" in printed
    region = central_crop(clean.shape, (20, 30, 8))
    assert [(s.start, s.stop) for s in region] == [(5, 25), (0, 26), (2, 10)]
    written = nib.load(os.path.join(out, "clean.nii.gz"))
    np.testing.assert_array_equal(np.asarray(written.dataobj), clean[region].astype(np.float32))
    # The cropped volume keeps its place in the world: its first voxel is voxel (5, 0, 2).
    np.testing.assert_allclose(written.affine[:3, 3], [5.0, 0.0, 5.0])
    np.testing.assert_allclose(written.header.get_zooms(), (1.0, 1.2, 2.5))
    voxels = int(np.count_nonzero(clean[region] > 150.0))
    assert f"{voxels} voxels, peak {clean.max():.1f}" in printed


def test_axes_stored_in_another_order_give_the_same_views(tmp_path, template):
    path, clean = template
    # The same head with x stored right to left: the demo turns it back.
    flipped_affine = np.diag([-1.0, 1.2, 2.5, 1.0])
    flipped_affine[0, 3] = clean.shape[0] - 1
    flipped = write_nifti(tmp_path / "flipped.nii.gz", clean[::-1], affine=flipped_affine)
    args = demo._parser().parse_args(["--template", flipped, "--full"])
    truth = demo.ground_truth(args)
    np.testing.assert_array_equal(truth.clean, clean.astype(np.float32))
    assert truth.zooms == pytest.approx((1.0, 1.2, 2.5))


def test_figure_shows_every_view_at_the_true_voxel_aspect(template):
    path, clean = template
    args = demo._parser().parse_args(["--template", path, "--full"])
    truth = demo.ground_truth(args)
    noisy = {3: clean + 1.0, 9: clean + 2.0}
    results = {(level, m): clean for level in (3, 9) for m in demo.METHODS}
    rows = [{"noise_pct": level, "true_sigma": level, "sigma_used": level, "method": m,
             "psnr_noisy_db": 20.0, "psnr_denoised_db": 30.0, "seconds": 0.1}
            for level in (3, 9) for m in demo.METHODS]
    fig = make_figure(truth, noisy, results, rows, (3, 9), demo.METHODS)
    fig.canvas.draw()
    # Height over width in mm of the axial, coronal and sagittal views.
    want = {(30 * 1.0, 26 * 1.2), (30 * 1.0, 12 * 2.5), (26 * 1.2, 12 * 2.5)}
    seen = {}
    for ax in fig.axes:
        if not ax.images or ax.images[0].get_cmap().name != "gray":
            continue
        x0, x1, y0, y1 = ax.images[0].get_extent()
        box = ax.get_window_extent()
        size = (round(x1 - x0, 3), round(y1 - y0, 3))
        seen.setdefault(size, []).append(box.height / box.width)
    assert set(seen) == want
    for (width, height), aspects in seen.items():
        assert len(aspects) == 2 * 4  # clean, noisy and both results at each noise level
        for a in aspects:
            assert a == pytest.approx(height / width, rel=0.02)
    residual_bars = [ax for ax in fig.axes if "in \u03c3" in ax.get_ylabel()]
    assert len(residual_bars) == 2


@pytest.mark.parametrize("which, expected", [
    ("axial", lambda v: v[:, :, 1].T),
    ("coronal", lambda v: v[:, 2, :].T),
    ("sagittal", lambda v: v[2, :, :].T),
])
def test_views_are_the_middle_slices(which, expected):
    v = np.arange(4 * 5 * 3, dtype=float).reshape(4, 5, 3)
    image, extent = view(v, (1.0, 2.0, 3.0), which)
    np.testing.assert_array_equal(image, expected(v))
    assert extent[1] * image.shape[0] == pytest.approx(extent[3] * image.shape[1] *
                                                      {"axial": 1 / 2, "coronal": 1 / 3,
                                                       "sagittal": 2 / 3}[which])


def test_default_template_absent_falls_back_to_the_phantom_with_a_notice(tmp_path, monkeypatch,
                                                                         capsys):
    absent = str(tmp_path / "mricron" / "ch2.nii.gz")
    monkeypatch.setattr(demo, "DEFAULT_TEMPLATE", absent)
    out = str(tmp_path / "out")
    assert demo.main(["--crop", "16", "--out", out, "-q"]) == 0
    assert f"the built-in phantom (16x16x16), since {absent} is absent" in capsys.readouterr().out
    assert os.path.exists(os.path.join(out, "figure.png"))


def test_a_mask_without_the_default_template_is_an_error_not_ignored(tmp_path, monkeypatch,
                                                                    capsys):
    absent = str(tmp_path / "mricron" / "ch2.nii.gz")
    monkeypatch.setattr(demo, "DEFAULT_TEMPLATE", absent)
    mask = write_nifti(tmp_path / "mask.nii", np.ones((5, 5, 5)))
    out = str(tmp_path / "out")
    assert demo.main(["--mask", mask, "--out", out]) == 1
    assert f"--mask {mask} was given but the template {absent} is absent" in capsys.readouterr().err
    assert not os.path.exists(out)


def test_failed_runs_exit_one_naming_the_file(tmp_path, template, capsys):
    path, _ = template
    notes = tmp_path / "notes.nii"
    notes.write_text("these are notes, not an image\n")
    write_nifti(tmp_path / "small.nii", np.ones((5, 5, 5)))
    write_nifti(tmp_path / "series.nii", np.ones((5, 5, 5, 2)))
    write_nifti(tmp_path / "nan.nii", np.full((5, 5, 5), np.nan))
    write_nifti(tmp_path / "zero.nii", np.zeros((5, 5, 5)))
    write_nifti(tmp_path / "empty_mask.nii", np.zeros((30, 26, 12)))
    missing = str(tmp_path / "missing.nii")
    cases = [
        (["--template", missing], f"the template {missing} does not exist"),
        (["--template", str(notes)], f"cannot read the template {notes}"),
        (["--template", str(tmp_path)], f"the template {tmp_path} is a directory"),
        (["--template", path, "--mask", missing], f"the mask {missing} does not exist"),
        (["--template", path, "--mask", str(tmp_path / "small.nii")], "has extents 5x5x5"),
        (["--template", str(tmp_path / "small.nii"), "--mask", path], "has extents 30x26x12"),
        (["--template", str(tmp_path / "series.nii")], "must hold one 3-D volume"),
        (["--template", str(tmp_path / "nan.nii")], "NaN or infinite"),
        (["--template", str(tmp_path / "zero.nii")], "has no positive voxel"),
        (["--template", path, "--mask", str(tmp_path / "empty_mask.nii")],
         "the PSNR mask holds no voxel"),
    ]
    for args, message in cases:
        out = str(tmp_path / "out")
        assert demo.main(args + ["--out", out]) == 1, args
        err = capsys.readouterr().err
        assert err.startswith("volnlm demo: ") and message in err, (args, err)
        assert not os.path.exists(out), args


@pytest.mark.parametrize("args", [["--crop", "0"], ["--crop", "8,8"], ["--crop", "x"],
                                  ["--phantom", "--template", "t.nii"], ["--bogus"]])
def test_bad_usage_exits_two(args, capsys):
    with pytest.raises(SystemExit) as exit_info:
        demo.main(args)
    assert exit_info.value.code == 2
    assert args[0] in capsys.readouterr().err


def test_missing_template_fails_from_the_command_line(tmp_path):
    missing = str(tmp_path / "missing.nii")
    run = subprocess.run([sys.executable, "-m", "volnlm.demo", "--template", missing, "--out",
                          str(tmp_path / "out")], capture_output=True, text=True, timeout=120)
    assert run.returncode == 1
    assert f"volnlm demo: the template {missing} does not exist" in run.stderr
    assert run.stdout == ""


def test_rician_noise_is_seeded_and_rician():
    zero, strong = np.zeros(200000), np.full(200000, 1000.0)
    sigma = 10.0
    a = rician_noise(zero, sigma, 3)
    np.testing.assert_array_equal(a, rician_noise(zero, sigma, 3))
    assert not np.array_equal(a, rician_noise(zero, sigma, 9))
    assert a.min() >= 0.0
    # Rayleigh where the signal is 0, close to Gaussian around a strong signal.
    assert a.mean() == pytest.approx(sigma * np.sqrt(np.pi / 2), rel=0.01)
    assert a.std() == pytest.approx(sigma * np.sqrt(2 - np.pi / 2), rel=0.02)
    s = rician_noise(strong, sigma, 4)
    assert s.mean() == pytest.approx(1000.0 + sigma**2 / 2000.0, abs=0.1)
    assert s.std() == pytest.approx(sigma, rel=0.01)


@pytest.mark.parametrize("mask, mse", [
    ([True, True, True, True], 5.0),
    ([False, True, False, True], 10.0),
    ([False, False, True, False], 0.0),
    ([False, False, False, False], None),
])
def test_psnr_is_taken_over_the_mask(mask, mse):
    ref = np.array([0.0, 10.0, 20.0, 30.0])
    test = np.array([0.0, 12.0, 20.0, 26.0])  # squared errors 0, 4, 0, 16
    got = psnr(ref, test, np.array(mask), 100.0)
    if mse is None:
        assert np.isnan(got)
    elif mse == 0.0:
        assert got == np.inf
    else:
        assert got == pytest.approx(10.0 * np.log10(100.0**2 / mse))


def test_phantom_has_background_tissues_and_detail():
    p = phantom((40, 44, 24))
    levels = np.unique(p)
    assert len(levels) >= 6  # background, shell, grey, white, ventricles, stripes, spots
    assert levels[0] == 0.0 and levels[-1] == PHANTOM_MAX
    assert p[0, 0, 0] == 0.0 and p[-1, -1, -1] == 0.0 and p[20, 22, 12] > 0.0
    assert p.size / 3 < np.count_nonzero(p) < p.size


def test_help_lists_every_option_and_exits_zero(capsys):
    with pytest.raises(SystemExit) as exit_info:
        demo.main(["--help"])
    assert exit_info.value.code == 0
    text = " ".join(capsys.readouterr().out.split())
    for part in ("--out", "--template", "--mask", "--phantom", "--crop", "--full", "--quiet",
                 "3% and 9%", "default 96,120,72", demo.DEFAULT_TEMPLATE):
        assert part in text, part
    assert "%%" not in text
