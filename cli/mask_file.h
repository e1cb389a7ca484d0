// --mask for the command line: "auto", or a NIfTI file on the input's grid, read before anything
// is computed; and where a file's voxels lie in space, which the guide's check uses too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/nifti_io.h"

namespace volnlm::cli {

// True when two headers place their voxels at the same points in space: the affines a reader
// would use (the sform, else the qform, else the voxel sizes) agree in every entry to 1e-5 of
// its size (at least 1e-5 mm), the precision of NIfTI-1's single-precision fields.
bool same_place(const nifti_image& a, const nifti_image& b);

// The grid of a header in words, for messages: "181x217x181 voxels, affine [1 0 0 -90; ...]".
std::string grid_text(const nifti_image& header);

// The word that asks for the automatic mask.
inline constexpr const char* kAutoMask = "auto";

// The mask a run uses.
struct MaskChoice {
  bool automatic = false;             // made from the (first) volume of the input
  std::string file;                   // the mask's file, when read from one
  std::string data_path;              // the file holding its voxels (the .img of a pair)
  std::vector<uint8_t> voxels;        // read from the file: one byte per voxel, 1 inside, 0 outside
  std::vector<std::string> warnings;  // what was odd but readable in the file's header
  // How the record and the summary name it: the file, or "auto".
  std::string source() const { return automatic ? kAutoMask : file; }
};

// --mask's value: "auto", or a NIfTI file holding one 3-D volume on `input`'s grid (same extents,
// same affine as same_place() says), whose nonzero voxels are inside (NaN is outside). Another
// grid or more than one volume is bad usage (UsageError, naming both grids); a file that cannot
// be read fails the run (RunError). An empty value means no mask.
MaskChoice read_mask(const std::string& value, const NiftiReader& input);

}  // namespace volnlm::cli
