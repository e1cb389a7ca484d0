// Scratch volumes, uninitialised, placed apart in the data cache. The pair loop reads the same
// rows of several volumes side by side; fresh allocations of this size all start at the same
// offset within a page, which puts those rows into the same sets of the first-level cache. Each
// scratch volume here starts at the cache-line offset farthest from those of the volumes already
// in use. Its pages are first touched by whichever pass fills it, on the worker threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace volnlm::sorvane {

// The page size over which cache sets repeat, as far as placement is concerned.
inline constexpr size_t kPlacementPeriod = 4096;

// Among the cache-line offsets 0, 64, ... of a period, the one whose smallest circular distance
// to the offsets of `taken` is largest (the lowest such offset on a tie; 0 when nothing is taken).
size_t farthest_offset(const std::vector<const void*>& taken);

// A volume of doubles, uninitialised, starting at a chosen offset within the period.
struct PlacedVolume {
  std::unique_ptr<double[]> storage;
  double* data = nullptr;
};

// Allocates `count` doubles at farthest_offset(*taken) and adds the new start to *taken. Returns
// false when the memory cannot be had.
bool place_volume(PlacedVolume& volume, size_t count, std::vector<const void*>* taken);

}  // namespace volnlm::sorvane
