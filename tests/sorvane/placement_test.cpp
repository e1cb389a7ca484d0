#include "sorvane/placement.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace volnlm::sorvane {
namespace {

const void* at(uintptr_t address) {
  return reinterpret_cast<const void*>(address);
}

size_t offset_of(const void* p) {
  return reinterpret_cast<uintptr_t>(p) % kPlacementPeriod;
}

size_t circular_distance(size_t a, size_t b) {
  const size_t apart = a > b ? a - b : b - a;
  return apart < kPlacementPeriod - apart ? apart : kPlacementPeriod - apart;
}

TEST(sorvanePlacement, FarthestOffsetFromTheVolumesInUse) {
  // Addresses in different pages count by their offset within the page alone.
  const struct {
    std::vector<const void*> taken;
    size_t want;
  } cases[] = {
      {{}, 0},
      {{at(0x10000)}, 2048},
      {{at(0x7f0000010)}, 2048},           // 16 into a page: 2048 is 2032 away, 2112 only 2000
      {{at(0x10000), at(0x22800)}, 1024},  // 0 and 2048: a tie, the lowest wins
      {{at(0x10000), at(0x20800), at(0x30400)}, 3072},  // 0, 2048, 1024
      {{at(0x10fc0)}, 1984},                            // 4032: 1984 lies 2048 from it
  };
  for (const auto& c : cases) {
    EXPECT_EQ(farthest_offset(c.taken), c.want) << c.taken.size();
  }
}

TEST(sorvanePlacement, VolumesStartAtTheirOffsetsAndHoldTheirCount) {
  // Five volumes as a call places them beside a caller's volume: each starts on its chosen
  // offset, no two within 512 bytes of one another, and every element can be written.
  const size_t count = 3001;
  std::vector<double> caller(count);
  std::vector<const void*> taken = {caller.data()};
  PlacedVolume volumes[4];
  for (PlacedVolume& v : volumes) {
    const size_t want = farthest_offset(taken);
    ASSERT_TRUE(place_volume(v, count, &taken));
    EXPECT_EQ(offset_of(v.data), want);
    EXPECT_EQ(taken.back(), v.data);
    for (size_t i = 0; i < count; ++i) v.data[i] = static_cast<double>(i);
    EXPECT_EQ(v.data[count - 1], static_cast<double>(count - 1));
  }
  ASSERT_EQ(taken.size(), 5u);
  for (size_t a = 0; a < taken.size(); ++a) {
    for (size_t b = a + 1; b < taken.size(); ++b) {
      EXPECT_GE(circular_distance(offset_of(taken[a]), offset_of(taken[b])), 512u) << a << b;
    }
  }
}

}  // namespace
}  // namespace volnlm::sorvane
