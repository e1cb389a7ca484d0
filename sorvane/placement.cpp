#include "sorvane/placement.h"

#include <new>

namespace volnlm::sorvane {
namespace {

constexpr size_t kLine = 64;

size_t offset_of(const void* p) {
  return static_cast<size_t>(reinterpret_cast<uintptr_t>(p) % kPlacementPeriod);
}

}  // namespace

size_t farthest_offset(const std::vector<const void*>& taken) {
  size_t best = 0;
  size_t best_distance = 0;
  for (size_t candidate = 0; candidate < kPlacementPeriod; candidate += kLine) {
    size_t nearest = kPlacementPeriod;
    for (const void* p : taken) {
      const size_t a = offset_of(p);
      const size_t apart = candidate > a ? candidate - a : a - candidate;
      const size_t circular = apart < kPlacementPeriod - apart ? apart : kPlacementPeriod - apart;
      if (circular < nearest) nearest = circular;
    }
    if (nearest > best_distance) {
      best = candidate;
      best_distance = nearest;
    }
  }
  return best;
}

bool place_volume(PlacedVolume& volume, size_t count, std::vector<const void*>* taken) {
  const size_t offset = farthest_offset(*taken);
  // Room to move the start forward by up to one period less a double.
  const size_t slack = kPlacementPeriod / sizeof(double);
  volume.storage.reset(new (std::nothrow) double[count + slack]);
  if (!volume.storage) return false;
  const size_t at = offset_of(volume.storage.get());
  const size_t shift = (offset + kPlacementPeriod - at) % kPlacementPeriod;
  volume.data = volume.storage.get() + shift / sizeof(double);
  taken->push_back(volume.data);
  return true;
}

}  // namespace volnlm::sorvane
