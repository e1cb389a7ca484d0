// Reads --mask and checks that the mask file lies on the input's grid.
#include "cli/mask_file.h"

#include <algorithm>
#include <cmath>

#include "cli/errors.h"
#include "common/text.h"

namespace volnlm::cli {

namespace {

// The voxel-to-space affine a reader would use: the sform, else the qform, else the voxel sizes.
nifti_dmat44 affine_of(const nifti_image& h) {
  if (h.sform_code > 0) return h.sto_xyz;
  if (h.qform_code > 0) return h.qto_xyz;
  nifti_dmat44 m{};
  m.m[0][0] = h.dx;
  m.m[1][1] = h.dy;
  m.m[2][2] = h.dz;
  m.m[3][3] = 1.0;
  return m;
}

Extents extents_of(const nifti_image& h) {
  return Extents{static_cast<int32_t>(h.nx), static_cast<int32_t>(h.ny),
                 static_cast<int32_t>(h.nz)};
}

}  // namespace

bool same_place(const nifti_image& a, const nifti_image& b) {
  const nifti_dmat44 p = affine_of(a), q = affine_of(b);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) {
      const double x = p.m[r][c], y = q.m[r][c];
      if (!(std::fabs(x - y) <= 1e-5 * std::max({1.0, std::fabs(x), std::fabs(y)}))) return false;
    }
  }
  return true;
}

std::string grid_text(const nifti_image& header) {
  const nifti_dmat44 m = affine_of(header);
  std::string text = extents_text(extents_of(header)) + " voxels, affine [";
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) text += number_text(m.m[r][c], 6) + (c < 3 ? " " : "");
    text += r < 2 ? "; " : "]";
  }
  return text;
}

MaskChoice read_mask(const std::string& value, const NiftiReader& input) {
  MaskChoice choice;
  if (value.empty()) return choice;
  if (value == kAutoMask) {
    choice.automatic = true;
    return choice;
  }
  choice.file = value;
  NiftiReader mask(value);
  choice.warnings = mask.warnings();
  choice.data_path = mask.data_path();
  const Extents& e = mask.extents();
  const Extents& want = input.extents();
  const bool same_extents = e.d0 == want.d0 && e.d1 == want.d1 && e.d2 == want.d2;
  if (!same_extents || !same_place(mask.header(), input.header())) {
    throw UsageError("--mask: the mask " + value + " lies on another grid than " + input.path() +
                     ": " + grid_text(mask.header()) + ", against " + grid_text(input.header()) +
                     "; a mask must have the input's extents and affine");
  }
  if (mask.volumes() != 1) {
    throw UsageError("--mask: the mask " + value + " holds " + std::to_string(mask.volumes()) +
                     " volumes; a mask is one 3-D volume, used for every volume of " +
                     input.path());
  }
  std::vector<double> values;
  mask.read_volume(values);
  choice.voxels.resize(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    choice.voxels[i] = values[i] != 0.0 && !std::isnan(values[i]) ? 1 : 0;
  }
  return choice;
}

}  // namespace volnlm::cli
