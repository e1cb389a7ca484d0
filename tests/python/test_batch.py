"""volnlm batch: a tiny BIDS-like study through `volnlm denoise` on a local dask cluster of two
worker processes."""
import csv
import json
import os
import shutil
import subprocess
import sys

import nibabel as nib
import numpy as np
import pytest

from conftest import phantom, rician

distributed = pytest.importorskip("distributed")
from volnlm import batch  # noqa: E402

CLI = os.environ.get("VOLNLM_CLI_EXE")
pytestmark = pytest.mark.skipif(not CLI, reason="the command-line tool is not built")
SHAPE = (14, 12, 10)
OPTIONS = ["--search-radius", "1", "--guided-search-radius", "1"]


def save(path, data, affine=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    affine = np.diag([1.5, 1.5, 2.0, 1.0]) if affine is None else affine
    nib.save(nib.Nifti1Image(np.asarray(data, np.float32), affine), path)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0")
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


@pytest.fixture
def study(tmp_path):
    """Two subjects' T1w (one with a session), one dwi series of two volumes, a corrupt T1w."""
    root = tmp_path / "bids"
    clean = phantom(SHAPE) * 800.0
    save(str(root / "sub-01/anat/sub-01_T1w.nii.gz"), rician(clean, 30.0, 1))
    save(str(root / "sub-02/ses-a/anat/sub-02_ses-a_T1w.nii"), rician(clean, 30.0, 2))
    series = np.stack([rician(clean, 30.0, 3), rician(clean * 0.5, 30.0, 4)], axis=3)
    save(str(root / "sub-01/dwi/sub-01_dwi.nii.gz"), series)
    bad = root / "sub-03/anat/sub-03_T1w.nii.gz"
    os.makedirs(bad.parent)
    bad.write_bytes(b"not a NIfTI file at all")
    (root / "dataset_description.json").write_text('{"Name": "tiny", "BIDSVersion": "1.8.0"}')
    return root


def read_summary(out):
    with open(os.path.join(out, batch.SUMMARY)) as f:
        return {row["input"]: row for row in csv.DictReader(f, delimiter="\t")}


def test_study_outputs_equal_the_command_line_and_a_rerun_skips(study, tmp_path, client):
    out = str(tmp_path / "derivatives")
    rows = batch.run([str(study)], out, client=client, command=CLI, args=OPTIONS)
    by_name = {os.path.basename(r["input"]): r for r in rows}
    assert sorted(by_name) == ["sub-01_T1w.nii.gz", "sub-01_dwi.nii.gz", "sub-02_ses-a_T1w.nii",
                               "sub-03_T1w.nii.gz"]
    assert by_name["sub-03_T1w.nii.gz"]["status"] == "failed"
    assert by_name["sub-03_T1w.nii.gz"]["error"]
    expected = {
        "sub-01_T1w.nii.gz": "sub-01/anat/sub-01_desc-denoised_T1w.nii.gz",
        "sub-01_dwi.nii.gz": "sub-01/dwi/sub-01_desc-denoised_dwi.nii.gz",
        "sub-02_ses-a_T1w.nii": "sub-02/ses-a/anat/sub-02_ses-a_desc-denoised_T1w.nii",
    }
    for name, relative in expected.items():
        row = by_name[name]
        assert row["status"] == "done", row
        assert row["output"] == os.path.join(out, relative)
        # The same as the command line on the same input.
        direct = str(tmp_path / ("direct_" + os.path.basename(relative)))
        subprocess.run([CLI, "denoise", row["input"], direct, "--quiet", *OPTIONS], check=True)
        a, b = nib.load(row["output"]), nib.load(direct)
        assert np.array_equal(np.asarray(a.dataobj), np.asarray(b.dataobj))
        assert np.array_equal(a.affine, b.affine) and a.shape == b.shape
        sidecar = batch.sidecar_path(direct)
        if os.path.exists(sidecar):  # the tool writes one: so must the batch
            assert os.path.isfile(batch.sidecar_path(row["output"]))
    # Nothing temporary is left, nothing is written for the corrupt input.
    leftovers = [f for _, dirs, files in os.walk(out) for f in dirs + files if f.startswith(".")]
    assert leftovers == []
    assert [f for _, _, files in os.walk(os.path.join(out, "sub-03")) for f in files] == []
    description = json.load(open(os.path.join(out, "dataset_description.json")))
    assert description["DatasetType"] == "derivative"
    assert description["GeneratedBy"][0]["Name"] == "volnlm"
    summary = read_summary(out)
    assert {r["status"] for r in summary.values()} == {"done", "failed"}
    assert all(float(summary[r["input"]]["seconds"]) > 0 for r in rows if r["status"] == "done")

    # A rerun skips every complete output and touches none of them; the corrupt input fails again.
    times = {r["output"]: os.stat(r["output"]).st_mtime_ns for r in rows if r["status"] == "done"}
    again = batch.run([str(study)], out, client=client, command=CLI, args=OPTIONS)
    assert sorted(r["status"] for r in again) == ["failed", "skipped", "skipped", "skipped"]
    assert {o: os.stat(o).st_mtime_ns for o in times} == times
    # With force every output is made again.
    forced = batch.run([str(study)], out, client=client, command=CLI, args=OPTIONS, force=True)
    assert sorted(r["status"] for r in forced) == ["done", "done", "done", "failed"]


@pytest.mark.parametrize("path,root,expected", [
    ("/d/sub-01/anat/sub-01_T1w.nii.gz", "/d", "sub-01/anat/sub-01_desc-denoised_T1w.nii.gz"),
    ("/d/sub-01/ses-2/anat/sub-01_ses-2_run-1_T1w.nii", "/d",
     "sub-01/ses-2/anat/sub-01_ses-2_run-1_desc-denoised_T1w.nii"),
    ("/d/sub-01/anat/sub-01_desc-raw_T1w.nii.gz", "/d", "sub-01/anat/sub-01_desc-denoised_T1w.nii.gz"),
    ("/x/scan.nii.gz", None, "scan_desc-denoised.nii.gz"),
    ("/x/Scan.NII", None, "Scan_desc-denoised.NII"),
])
def test_output_names(path, root, expected):
    assert batch.output_path(path, root, "/out") == os.path.join("/out", expected)


def run_command(args):
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-B", "-m", "volnlm", "batch", *args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def test_command_exit_status_and_plain_files(tmp_path, client):
    clean = phantom(SHAPE) * 800.0
    save(str(tmp_path / "a/scan.nii.gz"), rician(clean, 30.0, 5))
    save(str(tmp_path / "b/scan.nii.gz"), rician(clean, 30.0, 6))  # same name: its output clashes
    save(str(tmp_path / "c.nii"), rician(clean, 30.0, 7))
    out = str(tmp_path / "out")
    common = ["--scheduler", client.scheduler.address, "--volnlm", CLI, *OPTIONS]

    done = run_command([str(tmp_path / "c.nii"), "-o", out, *common])
    assert done.returncode == 0, done.stderr
    assert os.path.isfile(os.path.join(out, "c_desc-denoised.nii"))

    clash = run_command([str(tmp_path / "*/scan.nii.gz"), "-o", out, *common])
    assert clash.returncode == 1, clash.stderr
    assert "also that of" in clash.stderr
    assert os.path.isfile(os.path.join(out, "scan_desc-denoised.nii.gz"))

    for bad in ([str(tmp_path / "c.nii")],                                   # no -o
                [str(tmp_path / "none*.nii"), "-o", out, *common],           # nothing found
                [str(tmp_path / "c.nii"), "-o", out, *common, "--force", "--method", "nope"],
                [str(tmp_path / "c.nii"), "-o", out, "--workers", "0"]):
        result = run_command(bad)
        assert result.returncode == 2, (bad, result.stderr)
        assert "volnlm batch" in result.stderr or "usage" in result.stderr
    missing = run_command([str(tmp_path / "missing.nii"), "-o", out, *common])
    assert missing.returncode == 1
    assert "missing.nii" in missing.stderr


def test_a_worker_killed_during_its_task_has_the_task_run_again(tmp_path, client):
    """The first run of the tool stops its worker process (by its id, SIGKILL) mid-task; the
    scheduler runs the task again on a live worker, and the output appears once, complete."""
    import signal
    import threading
    import time

    source = str(tmp_path / "scan.nii.gz")
    save(source, rician(phantom(SHAPE) * 800.0, 30.0, 8))
    mark = tmp_path / "worker.pid"
    wrapper = tmp_path / "volnlm-slow"
    wrapper.write_text(
        "#!/bin/sh\n"
        f'if [ "$2" != "--help" ] && [ ! -e "{mark}" ]; then\n'
        f'  echo $PPID > "{mark}.tmp"; mv "{mark}.tmp" "{mark}"; sleep 20; exit 1\n'
        "fi\n"
        f'exec "{CLI}" "$@"\n')
    wrapper.chmod(0o755)
    out = str(tmp_path / "out")
    rows = []
    runner = threading.Thread(target=lambda: rows.extend(
        batch.run([source], out, client=client, command=str(wrapper), args=OPTIONS)))
    runner.start()
    deadline = time.monotonic() + 60
    while not mark.exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert mark.exists(), "the task never started"
    worker_pid = int(mark.read_text())
    assert worker_pid in [info for info in client.run(os.getpid).values()]
    os.kill(worker_pid, signal.SIGKILL)
    runner.join(timeout=120)
    assert not runner.is_alive()
    assert [r["status"] for r in rows] == ["done"], rows
    output = os.path.join(out, "scan_desc-denoised.nii.gz")
    direct = str(tmp_path / "direct.nii.gz")
    subprocess.run([CLI, "denoise", source, direct, "--quiet", *OPTIONS], check=True)
    assert np.array_equal(np.asarray(nib.load(output).dataobj), np.asarray(nib.load(direct).dataobj))
    client.wait_for_workers(2, timeout=60)


@pytest.mark.parametrize("given,expected", [
    ([], ["--threads", "1"]),               # the worker's own thread count
    (["--threads", "2"], ["--threads", "2"]),
    (["--threads=2"], ["--threads=2"]),
])
def test_each_run_of_the_tool_gets_its_workers_threads(tmp_path, client, given, expected):
    source = str(tmp_path / "scan.nii.gz")
    save(source, rician(phantom(SHAPE) * 800.0, 30.0, 9))
    log = tmp_path / "argv"
    wrapper = tmp_path / "volnlm-logged"
    wrapper.write_text("#!/bin/sh\n"
                       f'[ "$2" = "--help" ] || echo "$@" >> "{log}"\n'
                       f'exec "{CLI}" "$@"\n')
    wrapper.chmod(0o755)
    rows = batch.run([source], str(tmp_path / "out"), client=client, command=str(wrapper),
                     args=OPTIONS + given)
    assert [r["status"] for r in rows] == ["done"], rows
    words = log.read_text().split()
    assert sum(w.startswith("--threads") for w in words) == 1, words
    i = next(i for i, w in enumerate(words) if w.startswith("--threads"))
    assert words[i : i + len(expected)] == expected


def _touch(root, relative):
    path = root / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"")
    return str(path)


MASK_CASES = [
    # (input, --mask, expected mask or the MaskNotFound message's start)
    ("sub-01/anat/sub-01_T1w.nii.gz", "bids", "sub-01/anat/sub-01_desc-brain_mask.nii.gz"),
    ("sub-02/ses-a/anat/sub-02_ses-a_run-1_T1w.nii", "bids",
     "derivatives/prep/sub-02/ses-a/anat/sub-02_ses-a_run-1_desc-brain_mask.nii"),
    ("sub-01/anat/sub-01_desc-raw_T1w.nii.gz", "bids", "sub-01/anat/sub-01_desc-brain_mask.nii.gz"),
    ("sub-03/anat/sub-03_T1w.nii.gz", "bids", "no brain mask"),
    ("sub-04/anat/sub-04_T1w.nii.gz", "bids", "several brain masks"),
    ("sub-03/anat/sub-03_T1w.nii.gz", "masks/sub-{sub}_mask.nii", "masks/sub-03_mask.nii"),
    ("sub-02/ses-a/anat/sub-02_ses-a_run-1_T1w.nii", "masks/{sub}-{ses}.nii", "masks/02-a.nii"),
    ("sub-01/anat/sub-01_T1w.nii.gz", "{dir}/{stem}_brain.nii.gz", "sub-01/anat/sub-01_T1w_brain.nii.gz"),
    ("sub-04/anat/sub-04_T1w.nii.gz", "masks/sub-{sub}_mask.nii", "its mask"),
    ("sub-04/anat/sub-04_T1w.nii.gz", "auto", "auto"),
]


@pytest.mark.parametrize("source,choice,expected", MASK_CASES)
def test_each_input_finds_its_own_mask(tmp_path, monkeypatch, source, choice, expected):
    root = tmp_path / "bids"
    for f in ("sub-01/anat/sub-01_desc-brain_mask.nii.gz",
              "derivatives/prep/sub-02/ses-a/anat/sub-02_ses-a_run-1_desc-brain_mask.nii",
              "derivatives/a/sub-04/anat/sub-04_desc-brain_mask.nii.gz",
              "derivatives/b/sub-04/anat/sub-04_desc-brain_mask.nii",
              "masks/sub-03_mask.nii", "masks/02-a.nii", "sub-01/anat/sub-01_T1w_brain.nii.gz"):
        _touch(root, f)
    path = _touch(root, source)
    monkeypatch.chdir(root)
    if expected == "auto" or "/" in expected:
        found = batch.mask_for(path, str(root), choice)
        assert found == (expected if expected == "auto" else str(root / expected))
    else:
        with pytest.raises(batch.MaskNotFound, match=expected):
            batch.mask_for(path, str(root), choice)


def test_masks_reach_each_run_and_a_missing_one_fails_that_input(tmp_path, client):
    root = tmp_path / "bids"
    sources = [_touch(root, f"sub-0{k}/anat/sub-0{k}_T1w.nii") for k in (1, 2)]
    mask = _touch(root, "sub-01/anat/sub-01_desc-brain_mask.nii")
    log = tmp_path / "argv"
    tool = tmp_path / "tool"   # logs its arguments and copies IN to OUT
    tool.write_text(f'#!/bin/sh\n[ "$2" = "--help" ] && exit 0\necho "$@" >> "{log}"\ncp "$2" "$3"\n')
    tool.chmod(0o755)
    rows = batch.run([str(root)], str(tmp_path / "out"), client=client, command=str(tool),
                     mask="bids")
    by_input = {r["input"]: r for r in rows}
    assert by_input[sources[0]]["status"] == "done"
    assert by_input[sources[1]]["status"] == "failed"
    assert "no brain mask" in by_input[sources[1]]["error"]
    words = log.read_text().split()
    assert words[words.index("--mask") + 1] == mask
    assert len(log.read_text().splitlines()) == 1


def test_a_mask_name_with_an_unknown_field_is_bad_usage(tmp_path):
    save(str(tmp_path / "c.nii"), rician(phantom(SHAPE) * 800.0, 30.0, 7))
    result = run_command([str(tmp_path / "c.nii"), "-o", str(tmp_path / "out"), "--volnlm", CLI,
                          "--mask", "masks/{subject}.nii"])
    assert result.returncode == 2
    assert "{stem}" in result.stderr and "subject" in result.stderr


def test_mask_auto_runs_as_the_command_line_runs_it(tmp_path, client):
    source = str(tmp_path / "scan.nii.gz")
    clean = np.zeros((20, 18, 14))
    clean[3:17, 3:15, 2:12] = phantom((14, 12, 10)) * 800.0 + 100.0
    save(source, rician(clean, 30.0, 10))
    rows = batch.run([source], str(tmp_path / "out"), client=client, command=CLI, args=OPTIONS,
                     mask="auto")
    assert [r["status"] for r in rows] == ["done"], rows
    direct = str(tmp_path / "direct.nii.gz")
    subprocess.run([CLI, "denoise", source, direct, "--quiet", "--mask", "auto", *OPTIONS], check=True)
    got = np.asarray(nib.load(rows[0]["output"]).dataobj)
    assert np.array_equal(got, np.asarray(nib.load(direct).dataobj))
    noisy = np.asarray(nib.load(source).dataobj)
    assert np.any(got == noisy) and np.any(got != noisy)  # air kept, head filtered
    record = json.load(open(batch.sidecar_path(rows[0]["output"])))
    assert record["Mask"]["Source"] == "auto"
