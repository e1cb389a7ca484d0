// The one check of a host array's shape against the signed 32-bit indexing, shared by every
// front end, so that each refuses the same arrays with the same words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/status.h"
#include "common/text.h"
#include "common/volume.h"

namespace volnlm {

// `dims` are an array's first three extents (1 for those it does not have). Each extent must fit
// the indexing even when another is 0 (an empty array's count would hide it), and so must the
// voxel count. Nothing is allocated, so a front end can check a shape before converting data.
// Reason "tooLarge"; `what` names the array in the message.
inline std::optional<ArgError> check_shape(const int64_t (&dims)[3], const std::string& what) {
  for (int i = 0; i < 3; ++i) {
    if (dims[i] < 0 || dims[i] > kMaxVoxels) {
      return ArgError{"tooLarge", what + " has " + std::to_string(dims[i]) +
                                      " voxels along dimension " + std::to_string(i + 1) +
                                      "; at most 2147483647 are supported"};
    }
  }
  if (!voxel_count(dims[0], dims[1], dims[2])) {
    return ArgError{"tooLarge", what + " has " + std::to_string(dims[0]) + "x" +
                                    std::to_string(dims[1]) + "x" + std::to_string(dims[2]) +
                                    " voxels; at most 2147483647 voxels are supported"};
  }
  return std::nullopt;
}

// The extents of a shape that check_shape accepts.
inline Extents extents_of(const int64_t (&dims)[3]) {
  return Extents{static_cast<int32_t>(dims[0]), static_cast<int32_t>(dims[1]),
                 static_cast<int32_t>(dims[2])};
}

}  // namespace volnlm
