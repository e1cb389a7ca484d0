#include "blockdenoise/search.h"

#include <cmath>

#include "common/volume.h"

namespace volnlm::blockdenoise {

void pad_volume(const float* noisy, int32_t d0, int32_t d1, int32_t d2, int32_t p, float* padded) {
  pad_slices(noisy, d0, d1, d2, p, padded, 0, d2 + 2 * p);
}

void pad_slices(const float* noisy, int32_t d0, int32_t d1, int32_t d2, int32_t p, float* padded,
                int32_t first, int32_t end) {
  const ptrdiff_t slice =
      (d0 + 2 * static_cast<ptrdiff_t>(p)) * (d1 + 2 * static_cast<ptrdiff_t>(p));
  float* out = padded + first * slice;
  for (int32_t z = first - p; z < end - p; ++z) {
    const int32_t mz = mirror_index(z, d2);
    for (int32_t y = -p; y < d1 + p; ++y) {
      const float* row = noisy + linear_index(0, mirror_index(y, d1), mz, d0, d1);
      for (int32_t x = -p; x < 0; ++x) *out++ = row[mirror_index(x, d0)];
      for (int32_t x = 0; x < d0; ++x) *out++ = row[x];
      for (int32_t x = d0; x < d0 + p; ++x) *out++ = row[mirror_index(x, d0)];
    }
  }
}

bool deferred_blocks_apply(int32_t d0, int32_t d1, int32_t d2, int32_t p, int32_t search_radius) {
  if (search_radius < 1 || search_radius > kDeferredMaxRadius || p < 0 || p > kDeferredMaxPatch) {
    return false;
  }
  const int32_t margin = p + search_radius;
  return d0 >= 2 * margin + 8 && d1 >= 2 * margin + 1 && d2 >= 2 * margin + 1;
}

bool prepare_block_values(const float* padded, size_t n, float* squared) {
  bool finite = true;
  for (size_t i = 0; i < n; ++i) {
    float v = padded[i];
    if (squared) {
      v = v * v;
      squared[i] = v;
    }
    finite = finite && std::isfinite(v);
  }
  return finite;
}

}  // namespace volnlm::blockdenoise
