"""volnlm.interfaces.Denoise in a two-node nipype workflow on a small volume."""
import os
import subprocess

import nibabel as nib
import numpy as np
import pytest

from conftest import phantom, rician

pytest.importorskip("nipype")
from nipype.pipeline import engine as pe  # noqa: E402

from volnlm.interfaces import Denoise  # noqa: E402

CLI = os.environ.get("VOLNLM_CLI_EXE")
pytestmark = pytest.mark.skipif(not CLI, reason="the command-line tool is not built")


def test_two_nodes_chain_and_match_the_command_line(tmp_path):
    source = str(tmp_path / "t1.nii.gz")
    nib.save(nib.Nifti1Image(np.float32(rician(phantom((14, 12, 10)) * 800.0, 30.0, 2)),
                             np.diag([1.2, 1.2, 1.5, 1.0])), source)
    first = pe.Node(Denoise(command=CLI, method="block", search_radius=1, noise="rician"),
                    name="block")
    first.inputs.in_file = source
    second = pe.Node(Denoise(command=CLI, method="guided", search_radius=1,
                             guided_search_radius=1, sigma=30.0), name="guided")
    flow = pe.Workflow(name="denoise_twice", base_dir=str(tmp_path / "work"))
    flow.connect(first, "out_file", second, "in_file")
    graph = flow.run()
    nodes = {n.name: n for n in graph.nodes()}
    out1 = nodes["block"].result.outputs.out_file
    out2 = nodes["guided"].result.outputs.out_file
    assert os.path.basename(out1) == "t1_denoised.nii.gz"
    assert os.path.basename(out2) == "t1_denoised_denoised.nii.gz"

    # Each node's output is the command line's on the same input with the same options.
    direct1 = str(tmp_path / "d1.nii.gz")
    direct2 = str(tmp_path / "d2.nii.gz")
    subprocess.run([CLI, "denoise", source, direct1, "-q", "--method", "block",
                    "--search-radius", "1", "--noise", "rician"], check=True)
    subprocess.run([CLI, "denoise", direct1, direct2, "-q", "--method", "guided",
                    "--search-radius", "1", "--guided-search-radius", "1", "--sigma", "30"],
                   check=True)
    for node_out, direct in ((out1, direct1), (out2, direct2)):
        assert np.array_equal(np.asarray(nib.load(node_out).dataobj),
                              np.asarray(nib.load(direct).dataobj))
    assert not np.array_equal(np.asarray(nib.load(out1).dataobj),
                              np.asarray(nib.load(source).dataobj))


@pytest.mark.parametrize("inputs,flags", [
    (dict(method="block", sigma=2.5), ["--method block", "--sigma 2.5"]),
    (dict(noise="gaussian", patch_radius=0, smoothing=0.5), ["--noise gaussian", "--patch-radius 0", "--smoothing 0.5"]),
    (dict(guided_search_radius=3, output_type="float64"), ["--guided-search-radius 3", "--output-type float64"]),
    (dict(threads=3, mask="auto"), ["--threads 3", "--mask auto"]),
    (dict(residual=True), ["--residual {cwd}/x_residual.nii"]),
    (dict(residual="/elsewhere/r.nii.gz"), ["--residual /elsewhere/r.nii.gz"]),
])
def test_inputs_become_the_commands_options(tmp_path, inputs, flags):
    source = tmp_path / "x.nii"
    nib.save(nib.Nifti1Image(np.ones((4, 4, 4), np.float32), np.eye(4)), str(source))
    node = Denoise(command=CLI, in_file=str(source), **inputs)
    line = node.cmdline
    assert line.startswith(f"{CLI} denoise {source} ")
    for flag in flags:
        assert flag.format(cwd=os.getcwd()) in line
    # Options not asked for are left to the tool's defaults.
    for option in ("--residual", "--mask", "--threads"):
        if not any(f.startswith(option) for f in flags):
            assert option not in line


def test_residual_false_and_mask_file(tmp_path):
    source = tmp_path / "x.nii"
    mask = tmp_path / "m.nii"
    nib.save(nib.Nifti1Image(np.ones((4, 4, 4), np.float32), np.eye(4)), str(source))
    nib.save(nib.Nifti1Image(np.ones((4, 4, 4), np.uint8), np.eye(4)), str(mask))
    node = Denoise(command=CLI, in_file=str(source), residual=False, mask=str(mask))
    assert "--residual" not in node.cmdline
    assert f"--mask {mask}" in node.cmdline
    with pytest.raises(Exception):
        Denoise(command=CLI, in_file=str(source), mask=str(tmp_path / "absent.nii"))
    with pytest.raises(Exception):
        Denoise(command=CLI, in_file=str(source), threads=0)


def test_residual_output_is_input_minus_output(tmp_path):
    source = str(tmp_path / "t1.nii.gz")
    volume = np.float32(rician(phantom((12, 10, 8)) * 800.0, 30.0, 4))
    nib.save(nib.Nifti1Image(volume, np.eye(4)), source)
    node = pe.Node(Denoise(command=CLI, method="block", search_radius=1, threads=2, residual=True),
                   name="with_residual", base_dir=str(tmp_path / "work"))
    node.inputs.in_file = source
    outputs = node.run().outputs
    assert os.path.basename(outputs.residual_file) == "t1_residual.nii.gz"
    assert os.path.dirname(outputs.residual_file) == os.path.dirname(outputs.out_file)
    denoised = np.asarray(nib.load(outputs.out_file).dataobj)
    residual = np.asarray(nib.load(outputs.residual_file).dataobj)
    assert np.any(residual != 0)
    assert np.allclose(residual, volume - denoised, rtol=0, atol=1e-3)


def test_bad_inputs_are_refused():
    with pytest.raises(Exception):
        Denoise(command=CLI, method="other")
    with pytest.raises(Exception):
        Denoise(command=CLI, in_file="/no/such/file.nii")


def test_a_mask_file_keeps_the_input_outside(tmp_path):
    source = str(tmp_path / "t1.nii.gz")
    mask_file = str(tmp_path / "brain.nii.gz")
    volume = np.float32(rician(phantom((12, 10, 8)) * 800.0, 30.0, 5))
    mask = np.zeros(volume.shape, np.uint8)
    mask[3:9, 2:8, 2:6] = 1
    nib.save(nib.Nifti1Image(volume, np.eye(4)), source)
    nib.save(nib.Nifti1Image(mask, np.eye(4)), mask_file)
    node = Denoise(command=CLI, in_file=source, mask=mask_file, method="block", search_radius=1,
                   sigma=30.0)
    out = node.run(cwd=str(tmp_path)).outputs.out_file
    denoised = np.asarray(nib.load(out).dataobj)
    inside = mask != 0
    assert np.array_equal(denoised[~inside], volume[~inside])
    assert np.count_nonzero(denoised[inside] != volume[inside]) > 0.9 * inside.sum()
