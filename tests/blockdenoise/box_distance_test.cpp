// The patch distances of a line by box sums, against each patch summed on its own: the same
// squares in the box order (rows along x, then slices, then lines) give the same bits, with the
// plane sums cached between lines (for all offsets or some) or made afresh; a plain z, y, x
// order lands within the rounding of a reordered sum; and a NaN or infinite voxel reaches only the
// patches holding it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "blockdenoise/search.h"
#include "common/isa.h"
#include "common/volume.h"

namespace volnlm::blockdenoise {
namespace {

TEST(blockdenoiseBoxDistances, EachPatchSumsInBoxOrderWithOrWithoutTheCache) {
  struct Case {
    int32_t d0, d1, d2, p, r;
    bool non_finite;  // with a NaN and both infinities
  };
  const Case cases[] = {
      {13, 6, 5, 1, 2, true},  // lines longer than a vector
      {13, 6, 5, 1, 2, false}, {9, 7, 6, 2, 1, false}, {5, 4, 4, 0, 1, true},  // one-voxel patches
      {6, 3, 7, 2, 1, false},  // plane sums of a line kept from the slice before must not serve
      {4, 3, 5, 3, 2, false},  // patch radius the smallest extent
  };
  const float inf = std::numeric_limits<float>::infinity();
  for (const Case& c : cases) {
    const int32_t n = c.d0 * c.d1 * c.d2, side = 2 * c.p + 1;
    // Values over eleven decades, and maybe a NaN and both infinities inside the volume.
    std::vector<float> v(n);
    for (int32_t i = 0; i < n; ++i) {
      v[i] = (1.0f + static_cast<float>((i * 37) % 11)) *
             std::pow(10.0f, static_cast<float>(i % 12) - 4);
    }
    if (c.non_finite) {
      v[n / 2] = std::numeric_limits<float>::quiet_NaN();
      v[n / 3] = inf;
      v[n / 4] = -inf;
    }
    const auto at = [&](int32_t x, int32_t y, int32_t z) {
      return v[linear_index(mirror_index(x, c.d0), mirror_index(y, c.d1), mirror_index(z, c.d2),
                            c.d0, c.d1)];
    };
    std::vector<float> padded(static_cast<size_t>(c.d0 + 2 * c.p) * (c.d1 + 2 * c.p) *
                              (c.d2 + 2 * c.p));
    pad_volume(v.data(), c.d0, c.d1, c.d2, c.p, padded.data());
    const int32_t window = 2 * c.r + 1;
    const size_t slots = static_cast<size_t>(window * window * window - 1) * side;
    const int64_t all = window * window * window - 1;
    // Every instruction set's form; plane sums made afresh, cached for half the offsets, cached
    // for all.
    for (Isa isa : supported_isas()) {
      const BoxDistances box_distances = search_form_for(isa).distances;
      for (int64_t cached : {int64_t{0}, all / 2, all}) {
        std::vector<float> distances(c.d0, -1.0f), plane_rows(static_cast<size_t>(side) * c.d0);
        std::vector<const float*> sum_rows(side);
        std::vector<float> cache(slots * c.d0);
        std::vector<int64_t> tags(slots, -1);
        LineSearch s;
        s.padded = padded.data();
        s.d0 = c.d0;
        s.d1 = c.d1;
        s.d2 = c.d2;
        s.p = c.p;
        s.pd0 = c.d0 + 2 * c.p;
        s.pd1 = c.d1 + 2 * c.p;
        s.search_radius = c.r;
        s.distances = distances.data();
        s.plane_rows = plane_rows.data();
        s.sum_rows = sum_rows.data();
        if (cached > 0) {
          s.row_cache = cache.data();
          s.row_tags = tags.data();
          s.cache_window = window;
          s.cache_offsets = cached;
        }
        int wrong = 0, non_finite = 0;
        for (int32_t z = 0; z < c.d2; ++z) {
          for (int32_t y = 0; y < c.d1; ++y) {
            for_each_offset(s, y, z,
                            [&](const LineSearch&, int32_t, int32_t, int32_t dx, int32_t dy,
                                int32_t dz, int32_t x0, int32_t x1) {
                              box_distances(s, y, z, dx, dy, dz, x0, x1);
                              for (int32_t x = x0; x < x1; ++x) {
                                float box = 0.0f, plain = 0.0f;
                                bool holds_non_finite = false;
                                for (int32_t ey = -c.p; ey <= c.p; ++ey) {
                                  float line = 0.0f;
                                  for (int32_t ez = -c.p; ez <= c.p; ++ez) {
                                    float row = 0.0f;
                                    for (int32_t ex = -c.p; ex <= c.p; ++ex) {
                                      const float a = at(x + ex, y + ey, z + ez);
                                      const float b = at(x + dx + ex, y + dy + ey, z + dz + ez);
                                      holds_non_finite = holds_non_finite || !std::isfinite(a) ||
                                                         !std::isfinite(b);
                                      row = row + (a - b) * (a - b);
                                    }
                                    line = line + row;
                                  }
                                  box = box + line;
                                }
                                for (int32_t ez = -c.p; ez <= c.p; ++ez)
                                  for (int32_t ey = -c.p; ey <= c.p; ++ey)
                                    for (int32_t ex = -c.p; ex <= c.p; ++ex) {
                                      const float d = at(x + ex, y + ey, z + ez) -
                                                      at(x + dx + ex, y + dy + ey, z + dz + ez);
                                      plain = plain + d * d;
                                    }
                                const float got = distances[x];
                                const std::string what =
                                    std::string(isa_name(isa)) + " p=" + std::to_string(c.p) +
                                    " cached=" + std::to_string(cached) + " centre " +
                                    std::to_string(x) + "," + std::to_string(y) + "," +
                                    std::to_string(z) + " offset " + std::to_string(dx) + "," +
                                    std::to_string(dy) + "," + std::to_string(dz);
                                const bool same = std::memcmp(&got, &box, sizeof got) == 0 ||
                                                  (std::isnan(got) && std::isnan(box));
                                if (!same && wrong++ < 3)
                                  ADD_FAILURE() << what << ": " << got << " summed alone " << box;
                                EXPECT_EQ(std::isfinite(got), !holds_non_finite) << what;
                                if (std::isfinite(plain)) {
                                  const double slack = (side * side * side + 1) * 0x1p-24 * plain;
                                  EXPECT_LE(std::fabs(double{got} - double{plain}), slack) << what;
                                }
                                non_finite += !std::isfinite(got);
                              }
                            });
          }
        }
        EXPECT_EQ(non_finite > 0, c.non_finite);
      }
    }
  }
}

}  // namespace
}  // namespace volnlm::blockdenoise
