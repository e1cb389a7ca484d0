// The volume or series argument of the one-call plug-ins, and their mask: any real numeric
// class, 3-D [x, y, z] or 4-D [x, y, z, volume], read as doubles.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/volume.h"
#include "mex.h"
#include "mex/args.h"

namespace volnlm::mex {

struct SeriesArg {
  const mxArray* array = nullptr;
  Extents extents;         // of one volume
  int64_t volumes = 1;     // the fourth extent (1 for a 3-D array)
  int64_t per_volume = 0;  // voxels of one volume
  mwSize ndims = 0;        // the host's own shape, given to the result unchanged
  const mwSize* dims = nullptr;
};

// A real, full numeric array (logical, char, complex and sparse are refused with reason
// "noisy"), with no non-singleton dimension past the fourth ("dims"), whose volume the signed
// 32-bit indexing can hold ("tooLarge"). Only checks; nothing is converted.
SeriesArg series_arg(const Gateway& gate, const mxArray* a, const std::string& what);

// The series' values as doubles: the array's own data for class double (read in place), else
// converted into `store`. Throws std::bad_alloc when memory is short.
const double* series_values(const SeriesArg& series, std::vector<double>& store);

// The result array for the series: its shape, class double.
mxArray* create_result(const SeriesArg& series);

// "4x5x6" for a shape in the host's extents.
std::string shape_text(mwSize ndims, const mwSize* dims);

// The voxels of a mask argument, one byte each (x fastest): nonzero and not NaN = inside. The
// mask is a real numeric or logical array of one volume's 3-D shape (reason "mask" for another
// kind of array, "maskSize" for another shape, naming both).
std::vector<uint8_t> mask_voxels(const Gateway& gate, const mxArray* a, const SeriesArg& series,
                                 const std::string& what);

}  // namespace volnlm::mex
