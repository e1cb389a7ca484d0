"""nipype interfaces: `Denoise` runs ``volnlm denoise`` as a node of a nipype workflow.

>>> from volnlm.interfaces import Denoise
>>> node = Denoise(in_file="sub-01_T1w.nii.gz", method="block")
>>> result = node.run()          # result.outputs.out_file: sub-01_T1w_denoised.nii.gz

The inputs are the command's options under Python names; the output is written in the node's
working folder unless `out_file` names it. `sidecar` is the run's JSON record when the tool
writes one.
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


class DenoiseInputSpec(CommandLineInputSpec):
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
    output_type = traits.Enum("float32", "float64", argstr="--output-type %s",
                              desc="voxel type of the output")
    quiet = traits.Bool(True, usedefault=True, argstr="--quiet", desc="no progress bar")


class DenoiseOutputSpec(TraitedSpec):
    out_file = File(exists=True, desc="the denoised volume")
    sidecar = File(desc="the run's JSON record, when the tool writes one")


class Denoise(CommandLine):
    """Non-local-means denoising of a NIfTI volume with ``volnlm denoise``. `command` is the
    volnlm program (default: $VOLNLM_COMMAND, else volnlm on PATH)."""

    input_spec = DenoiseInputSpec
    output_spec = DenoiseOutputSpec

    def __init__(self, command=None, **inputs):
        super().__init__(command=f"{command or _default_command()} denoise", **inputs)

    def _list_outputs(self):
        outputs = super()._list_outputs()
        out = os.path.abspath(outputs["out_file"])
        outputs["out_file"] = out
        match = _NIFTI.search(out)
        sidecar = (out[: match.start()] if match else out) + ".json"
        if os.path.isfile(sidecar):
            outputs["sidecar"] = sidecar
        return outputs
