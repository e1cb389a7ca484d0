"""nipype interfaces: `Denoise` runs ``volnlm denoise`` as a node of a nipype workflow.

>>> from volnlm.interfaces import Denoise
>>> node = Denoise(in_file="sub-01_T1w.nii.gz", method="block")
>>> result = node.run()          # result.outputs.out_file: sub-01_T1w_denoised.nii.gz

The inputs are the command's options under Python names; the output is written in the node's
working folder unless `out_file` names it. `sidecar` is the run's JSON record when the tool
writes one. ``residual=True`` (or a file name) also writes the input minus the output,
`residual_file`; `mask` is a mask file or "auto"; `threads` the tool's worker threads.
"""

import os
import re
import shutil

from nipype.interfaces.base import (
    CommandLine,
    CommandLineInputSpec,
    File,
    TraitedSpec,
    isdefined,
    traits,
)

__all__ = ["Denoise"]

_NIFTI = re.compile(r"\.nii(\.gz)?$", re.IGNORECASE)


def _default_command():
    return os.environ.get("VOLNLM_COMMAND") or shutil.which("volnlm") or "volnlm"


class DenoiseInputs(CommandLineInputSpec):
    in_file = File(exists=True, mandatory=True, argstr="%s", position=0,
                   desc="input NIfTI file (a 3-D volume or a 4-D series)")
    out_file = File(argstr="%s", position=1, name_source=["in_file"],
                    name_template="%s_denoised", keep_extension=True, hash_files=False,
                    desc="output NIfTI file (default: <input>_denoised in the working folder)")
    method = traits.Enum("guided", "block", argstr="--method %s",
                         desc="guided (block filter as guide, then voxelwise) or block")
    noise = traits.Enum("rician", "gaussian", argstr="--noise %s",
                        desc="rician for magnitude images, gaussian for signed data")
    sigma = traits.Float(argstr="--sigma %.17g", desc="noise standard deviation (default: estimated)")
    search_radius = traits.Int(argstr="--search-radius %d", desc="block filter's search radius")
    patch_radius = traits.Int(argstr="--patch-radius %d", desc="block filter's patch radius")
    smoothing = traits.Float(argstr="--smoothing %.17g", desc="block filter's smoothing factor")
    guided_search_radius = traits.Int(argstr="--guided-search-radius %d",
                                      desc="voxelwise filter's search radius (guided)")
    mask = traits.Either(File(exists=True), traits.Enum("auto"), argstr="--mask %s",
                         desc="voxels to denoise (nonzero inside; the rest is copied), or auto "
                              "for a head mask made from the input")
    residual = traits.Either(traits.Bool, File(), argstr="--residual %s", hash_files=False,
                             desc="also write the input minus the output: True for "
                                  "<input>_residual in the working folder, or a file name")
    threads = traits.Range(low=1, argstr="--threads %d",
                           desc="worker threads (default: the CPUs the process may use)")
    output_type = traits.Enum("float32", "float64", argstr="--output-type %s",
                              desc="voxel type of the output")
    quiet = traits.Bool(True, usedefault=True, argstr="--quiet", desc="no progress bar")


class DenoiseOutputs(TraitedSpec):
    out_file = File(exists=True, desc="the denoised volume")
    sidecar = File(desc="the run's JSON record, when the tool writes one")
    residual_file = File(desc="the input minus the output, when `residual` asks for it")


class Denoise(CommandLine):
    """Non-local-means denoising of a NIfTI volume with ``volnlm denoise``. `command` is the
    volnlm program (default: $VOLNLM_COMMAND, else volnlm on PATH)."""

    input_spec = DenoiseInputs
    output_spec = DenoiseOutputs

    def __init__(self, command=None, **inputs):
        super().__init__(command=f"{command or _default_command()} denoise", **inputs)

    def _residual_path(self):
        """The residual's file, or None when not asked for: a given name as it stands (made
        absolute), for True <input>_residual in the working folder with the input's extension."""
        value = self.inputs.residual
        if not isdefined(value) or value is False:
            return None
        if isinstance(value, str):
            return os.path.abspath(value)
        name = os.path.basename(self.inputs.in_file)
        match = _NIFTI.search(name)
        stem, ext = (name[: match.start()], name[match.start():]) if match else (name, ".nii.gz")
        return os.path.abspath(stem + "_residual" + ext)

    def _format_arg(self, name, trait, value):
        if name == "residual":
            path = self._residual_path()
            return None if path is None else trait.argstr % path
        return super()._format_arg(name, trait, value)

    def _list_outputs(self):
        outputs = super()._list_outputs()
        out = os.path.abspath(outputs["out_file"])
        outputs["out_file"] = out
        match = _NIFTI.search(out)
        sidecar = (out[: match.start()] if match else out) + ".json"
        if os.path.isfile(sidecar):
            outputs["sidecar"] = sidecar
        residual = self._residual_path()
        if residual is not None:
            outputs["residual_file"] = residual
        return outputs
