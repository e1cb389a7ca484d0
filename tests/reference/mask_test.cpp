// Both filters with a mask: inside it, the same bits as the call without it; outside it, the
// input unchanged; on every instruction set, plain and Rician, over assorted volumes and masks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "blockdenoise/blockdenoise.h"
#include "blockdenoise/filter_isa.h"
#include "common/isa.h"
#include "masks.h"
#include "sorvane/filter_isa.h"
#include "sorvane/sorvane.h"
#include "test_volumes.h"

namespace volnlm {
namespace {

using testvol::Kind;
using testvol::MaskKind;

template <class T>
bool same_bits(T a, T b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Counts the voxels that break the contract: inside the mask a result whose bits differ from the
// unmasked one, outside it a result whose bits differ from the input.
template <class T>
int64_t contract_breaks(const std::vector<T>& in, const std::vector<T>& unmasked,
                        const std::vector<T>& masked, const std::vector<uint8_t>& mask) {
  int64_t breaks = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    breaks += !same_bits(masked[i], mask[i] != 0 ? unmasked[i] : in[i]);
  }
  return breaks;
}

struct VolumeCase {
  Extents e;
  Kind kind;
};

// Lines long enough for the vector searches' inner chunks and their edges, odd line lengths
// (sorvane works centres in pairs), thin volumes, and volumes with zeros, flats and NaNs.
const VolumeCase kVolumes[] = {
    {{26, 13, 11}, Kind::magnitude},   {{23, 12, 10}, Kind::phantom}, {{9, 7, 6}, Kind::integers},
    {{11, 9, 8}, Kind::flat_and_zero}, {{13, 8, 7}, Kind::with_nan},  {{5, 1, 9}, Kind::quarters},
};

TEST(Masks, BlockdenoiseKeepsItsBitsInsideAndTheInputOutside) {
  struct ParamCase {
    int32_t r, p;
    float smoothing;
  };
  const ParamCase params[] = {{3, 1, 1.0f}, {2, 2, 0.5f}, {1, 0, 1.0f}};
  int64_t checked = 0;
  for (const VolumeCase& v : kVolumes) {
    const std::vector<double> source = testvol::make_volume(v.kind, v.e, 11, 10.0);
    const std::vector<float> noisy(source.begin(), source.end());
    for (const ParamCase& pc : params) {
      if (pc.p > std::min({v.e.d0, v.e.d1, v.e.d2})) continue;
      for (bool rician : {false, true}) {
        blockdenoise::Params p;
        p.search_radius = pc.r;
        p.patch_radius = pc.p;
        p.sigma = 10.0f;
        p.smoothing = pc.smoothing;
        p.rician = rician;
        for (Isa isa : supported_isas()) {
          std::vector<float> unmasked(noisy.size());
          ASSERT_EQ(blockdenoise::filter_with(isa, noisy.data(), v.e, p, unmasked.data()),
                    Status::ok);
          uint64_t seed = 1;
          for (MaskKind mk : testvol::kMaskKinds) {
            const std::vector<uint8_t> mask = testvol::make_mask(mk, v.e, seed++);
            blockdenoise::Params masked_params = p;
            masked_params.mask = mask.data();
            std::vector<float> masked(noisy.size(), -7.0f);
            ASSERT_EQ(
                blockdenoise::filter_with(isa, noisy.data(), v.e, masked_params, masked.data()),
                Status::ok);
            EXPECT_EQ(contract_breaks(noisy, unmasked, masked, mask), 0)
                << testvol::name_of(v.kind) << " " << v.e.d0 << "x" << v.e.d1 << "x" << v.e.d2
                << " R=" << pc.r << " p=" << pc.p << (rician ? " rician " : " ") << isa_name(isa)
                << " mask " << testvol::name_of(mk);
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 100);
}

TEST(Masks, SorvaneKeepsItsBitsInsideAndTheInputOutside) {
  int64_t checked = 0;
  for (const VolumeCase& v : kVolumes) {
    const std::vector<double> noisy = testvol::make_volume(v.kind, v.e, 12, 10.0);
    const std::vector<double> guide = testvol::box_blur(noisy, v.e);
    // Radii 1 to 3, and one past the volume; sigma 30 lets most pairs through, sigma 6 few.
    for (int32_t r : {1, 2, 3, 40}) {
      for (bool rician : {false, true}) {
        sorvane::Params p;
        p.search_radius = r;
        p.sigma = r == 2 ? 6.0 : 30.0;
        p.rician = rician;
        for (Isa isa : supported_isas()) {
          std::vector<double> unmasked(noisy.size());
          ASSERT_EQ(sorvane::filter_with(isa, noisy.data(), guide.data(), v.e, p, unmasked.data()),
                    Status::ok);
          uint64_t seed = 1;
          for (MaskKind mk : testvol::kMaskKinds) {
            const std::vector<uint8_t> mask = testvol::make_mask(mk, v.e, seed++);
            sorvane::Params masked_params = p;
            masked_params.mask = mask.data();
            std::vector<double> masked(noisy.size(), -7.0);
            ASSERT_EQ(sorvane::filter_with(isa, noisy.data(), guide.data(), v.e, masked_params,
                                           masked.data()),
                      Status::ok);
            EXPECT_EQ(contract_breaks(noisy, unmasked, masked, mask), 0)
                << testvol::name_of(v.kind) << " " << v.e.d0 << "x" << v.e.d1 << "x" << v.e.d2
                << " R=" << r << (rician ? " rician " : " ") << isa_name(isa) << " mask "
                << testvol::name_of(mk);
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 100);
}

}  // namespace
}  // namespace volnlm
