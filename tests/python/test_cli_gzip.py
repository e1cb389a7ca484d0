"""Compressed output of the command-line tool as other NIfTI readers see it: the independent gzip
members it writes are read whole, to the bit, by nibabel and by Python's gzip module."""
import gzip
import os
import shutil
import subprocess
import zlib

import numpy as np
import pytest

from conftest import phantom, rician, same_bits

CLI = os.environ.get("VOLNLM_CLI_EXE")
pytestmark = pytest.mark.skipif(
    not CLI or not shutil.which("volnlm", path=os.path.dirname(CLI)) or
    not __import__("importlib").util.find_spec("nibabel"),
    reason="needs the command-line tool (VOLNLM_CLI_EXE) and nibabel")


def members(data):
    """The number of gzip members in a stream, each decompressed on its own."""
    count = 0
    while data:
        d = zlib.decompressobj(15 + 16)
        d.decompress(data)
        assert d.eof, "member %d is incomplete" % count
        data = d.unused_data
        count += 1
    return count


@pytest.mark.parametrize("method, extra", [
    ("copy", ["--sigma", "0"]),          # the input's voxels as they are
    ("block", ["--method", "block"]),    # a denoised result
])
@pytest.mark.parametrize("level", ["1", "9"])
def test_nibabel_reads_the_members_bit_exactly(tmp_path, method, extra, level):
    import nibabel as nib
    # Over 4 MiB of float32 voxels for the copy: more than one member.
    shape = (128, 128, 70) if method == "copy" else (40, 36, 30)
    stored = rician(200.0 * phantom(shape), 8.0, seed=11).astype(np.float32)
    nib.save(nib.Nifti1Image(stored, np.diag([1.0, 1.0, 1.5, 1.0])), tmp_path / "in.nii.gz")
    outputs = {}
    for name in ("out.nii", "out.nii.gz"):
        run = subprocess.run([CLI, "denoise", str(tmp_path / "in.nii.gz"), str(tmp_path / name), "-q",
                              "--gzip-level", level, "--threads", "2"] + extra,
                             capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr
        outputs[name] = nib.load(tmp_path / name)
    packed = (tmp_path / "out.nii.gz").read_bytes()
    if method == "copy":
        assert members(packed) >= 2
    # The same bytes as the uncompressed file, and the same voxels, affine and type through nibabel.
    assert gzip.decompress(packed) == (tmp_path / "out.nii").read_bytes()
    got = np.asarray(outputs["out.nii.gz"].dataobj)
    assert same_bits(got, np.asarray(outputs["out.nii"].dataobj))
    assert np.array_equal(outputs["out.nii.gz"].affine, outputs["out.nii"].affine)
    if method == "copy":
        assert same_bits(got, stored)
