#include "mex/series_arg.h"

#include <cmath>

#include "common/shape_check.h"
#include "mex/name_value.h"

namespace volnlm::mex {

namespace {

// An extent as a signed count; one past any signed 64-bit count is as much too large.
int64_t extent_of(mwSize d) {
  return d > static_cast<mwSize>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(d);
}

}  // namespace

std::string shape_text(mwSize ndims, const mwSize* dims) {
  std::string text;
  for (mwSize i = 0; i < ndims; ++i) {
    if (i > 0) text += "x";
    text += std::to_string(extent_of(dims[i]));
  }
  return text;
}

SeriesArg series_arg(const Gateway& gate, const mxArray* a, const std::string& what) {
  if (!is_real_numeric(a)) {
    gate.fail("noisy", what +
                           " must be a real, full numeric array (double, single or an integer "
                           "class); got " +
                           kind_of(a));
  }
  SeriesArg s;
  s.array = a;
  s.ndims = mxGetNumberOfDimensions(a);
  s.dims = mxGetDimensions(a);
  int64_t d[3] = {1, 1, 1};
  for (mwSize i = 0; i < s.ndims; ++i) {
    const int64_t extent = extent_of(s.dims[i]);
    if (i < 3) {
      d[i] = extent;
    } else if (i == 3) {
      s.volumes = extent;
    } else if (extent != 1) {
      gate.fail("dims", what +
                            " must be a 3-D volume [x, y, z] or a 4-D series [x, y, z, volume]; "
                            "it has shape " +
                            shape_text(s.ndims, s.dims));
    }
  }
  if (const auto error = check_shape(d, what)) gate.fail(*error);
  s.extents = extents_of(d);
  s.per_volume = voxel_count(s.extents);
  return s;
}

const double* series_values(const SeriesArg& series, std::vector<double>& store) {
  if (mxGetClassID(series.array) == mxDOUBLE_CLASS) {
    return static_cast<const double*>(mxGetData(series.array));
  }
  visit_values(series.array, [&](const auto* data, size_t n) {
    store.resize(n);
    for (size_t i = 0; i < n; ++i) store[i] = static_cast<double>(data[i]);
  });
  return store.data();
}

mxArray* create_result(const SeriesArg& series) {
  return mxCreateNumericArray(series.ndims, series.dims, mxDOUBLE_CLASS, mxREAL);
}

std::vector<uint8_t> mask_voxels(const Gateway& gate, const mxArray* a, const SeriesArg& series,
                                 const std::string& what) {
  if (!(is_real_numeric(a) || (mxIsLogical(a) && !mxIsSparse(a)))) {
    gate.fail("mask", what +
                          " must be a real numeric or logical array of the volume's shape, or "
                          "'auto'; got " +
                          kind_of(a));
  }
  const mwSize ndims = mxGetNumberOfDimensions(a);
  const mwSize* dims = mxGetDimensions(a);
  const int64_t want[3] = {series.extents.d0, series.extents.d1, series.extents.d2};
  bool same = true;
  for (mwSize i = 0; i < std::max<mwSize>(ndims, 3); ++i) {
    const int64_t got = i < ndims ? extent_of(dims[i]) : 1;
    same = same && got == (i < 3 ? want[i] : 1);
  }
  if (!same) {
    const mwSize volume_dims[3] = {static_cast<mwSize>(want[0]), static_cast<mwSize>(want[1]),
                                   static_cast<mwSize>(want[2])};
    gate.fail("maskSize", what + " has shape " + shape_text(ndims, dims) +
                              " but a volume of the input has shape " + shape_text(3, volume_dims) +
                              "; the mask must have that shape");
  }
  std::vector<uint8_t> voxels;
  visit_values(a, [&](const auto* data, size_t n) {
    voxels.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const double v = static_cast<double>(data[i]);
      voxels[i] = v != 0.0 && !std::isnan(v) ? 1 : 0;
    }
  });
  return voxels;
}

}  // namespace volnlm::mex
