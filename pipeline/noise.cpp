// Noise level of a volume, estimated from the volume itself.
//
// Method. The volume is cut into non-overlapping 2x2x2 blocks (2x2 on a single slice, pairs on
// a single line: every axis of extent 2 or more takes part), and each block is taken through
// one level of the orthonormal Haar transform: its mean (the level) and 7 detail coefficients,
// each a signed sum of the 8 values over sqrt(8). For white noise of standard deviation sigma
// the details are independent and normal with standard deviation sigma.
//   - The finest, diagonal detail, sum of (-1)^(i+j+k) v(x+i, y+j, z+k) / sqrt(8), is a mixed
//     third difference: exactly zero for any signal that is constant along one of the axes
//     within the block (flat regions, ramps, axis-aligned edges). Its median magnitude divided
//     by 0.67449 (the median of |N(0,1)|) estimates sigma robustly.
//   - Oblique edges and corners still leave large diagonal details in the blocks they cross;
//     such blocks are recognised by their other 6 details, whose sum of squares over sigma^2
//     would be chi-square with 6 degrees of freedom for noise alone: blocks above its 99.9%
//     quantile (22.458 sigma^2) are left out. For noise these details are independent of the
//     diagonal one, so the screening drops 0.1% of the noise blocks without biasing the median.
//     The screening uses the current estimate, so estimate and screening are repeated until
//     neither changes (a few rounds), starting from the median over all blocks.
//   - Blocks whose values are all equal (zero-filled background, masked regions: no noise
//     there) and blocks holding a NaN or an infinity are left out.
//
// With a mask, only the blocks that lie wholly inside it are used, so that the estimate
// describes the noise where the volume is denoised (a brain mask leaves out the background and
// the skull); a mask too thin to hold a whole block uses the blocks that touch it.
//
// Rician magnitude data. Where the true signal is zero the magnitude is Rayleigh distributed
// and its spread is only sqrt(2 - pi/2) = 0.655 times sigma; at low signal-to-noise ratios it
// lies in between, and it approaches sigma once the signal exceeds a few sigma (within 1% at 5
// sigma). The rounds above then also keep only the bright blocks, whose level exceeds
// kBrightLevel times the current estimate. When fewer than kMinBrightBlocks blocks are that
// bright, the volume is essentially background: the plain estimate is divided by the Rayleigh
// factor instead. That quotient is also an upper bound on the noise, and it is taken when the
// bright estimate exceeds it. This happens where edges fill most blocks (small volumes,
// structure at the scale of a voxel): the screening rests on the estimate it screens for, so an
// estimate that edges have inflated lets the edge blocks through and holds itself up. On a
// 20x18x12 brain-like phantom with Rician noise of 10, the bright estimate settled at 20 to 30
// for 9 seeds of 12, and the bound gave 9 to 11.
//
// The signal level that the default smoothing weighs the noise against (signal_level) is the
// 99th percentile of the means of the same blocks: on the whole T1 template with Rician noise of
// 1 / 3 / 9 / 15% of its maximum, the estimate over it is 0.017 / 0.049 / 0.141 / 0.22.
//
// Measured, as the estimate over the truth (seeded noise of 3% / 9% of the maximum):
//   181x217x181 T1 template (its own noise is about 0.4% of its maximum), Gaussian: 1.008 /
//   1.003, Rician: 1.012 / 0.994 (the plain estimate on Rician data: 0.79 / 0.80);
//   48x44x40 synthetic phantom with sharp oblique edges, Gaussian: 1.022 / 1.029, Rician:
//   1.019 / 1.036 (without the edge screening 1.079 / 1.069 and 1.118 / 1.053).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "common/slabs.h"
#include "common/thread_count.h"
#include "common/thread_runner.h"
#include "pipeline/pipeline.h"

namespace volnlm::pipeline {

namespace {

constexpr double kMadToSigma = 1.482602218505602;  // 1 / 0.6744897501960817
constexpr double kBrightLevel = 5.0;
constexpr size_t kMinBrightBlocks = 64;
constexpr int kMaxRounds = 30;
constexpr double kSignalQuantile = 0.99;
// Blocks from which the list is made on several threads.
constexpr int64_t kParallelBlocks = int64_t{1} << 16;

// Standard deviation of a Rayleigh variable over its scale parameter: sqrt(2 - pi / 2).
constexpr double kRayleighSpread = 0.6551363775620335;

// 99.9% quantiles of the chi-square distribution with 2 and 6 degrees of freedom: the other
// details of a 2x2 and of a 2x2x2 block.
double edge_quantile(int other_details) {
  return other_details == 6 ? 22.457744484825323 : 13.815510557964274;
}

struct Block {
  double diagonal = 0.0;  // finest detail
  double others = 0.0;    // sum of squares of the other details
  double level = 0.0;     // mean
};

struct Blocks {
  std::vector<Block> blocks;
  int other_details = 0;  // number of details besides the diagonal one: 0, 2 or 6
};

// Which blocks a masked estimate takes.
enum class Within { all, wholly, touching };

// The blocks whose first slice index (in blocks) lies in [bz_begin, bz_end), appended to `out` in
// order. S0, S1, S2: 1 on an axis that takes part, 0 on an axis of extent 1; fixed at compile time
// so that the loops over corners and details unroll (the sums keep their order, so the values are
// those of the plain loops).
template <int S0, int S1, int S2>
void blocks_in(const double* volume, const Extents& e, const uint8_t* mask, Within within,
               const int32_t count[3], int32_t bz_begin, int32_t bz_end, std::vector<Block>& out) {
  constexpr int corners = (S0 + 1) * (S1 + 1) * (S2 + 1);
  const double norm = 1.0 / std::sqrt(static_cast<double>(corners));
  double values[corners];
  for (int32_t bz = bz_begin; bz < bz_end; ++bz) {
    for (int32_t by = 0; by < count[1]; ++by) {
      for (int32_t bx = 0; bx < count[0]; ++bx) {
        const int32_t x0 = bx * (1 + S0), y0 = by * (1 + S1), z0 = bz * (1 + S2);
        int c = 0;
        bool finite = true;
        int inside = 0;
        for (int32_t k = 0; k <= S2; ++k) {
          for (int32_t j = 0; j <= S1; ++j) {
            for (int32_t i = 0; i <= S0; ++i, ++c) {
              const int32_t at = linear_index(x0 + i, y0 + j, z0 + k, e.d0, e.d1);
              values[c] = volume[at];
              inside += mask && mask[at] != 0 ? 1 : 0;
              finite = finite && std::isfinite(values[c]);
            }
          }
        }
        if (within == Within::wholly && inside < c) continue;
        if (within == Within::touching && inside == 0) continue;
        if (!finite ||
            std::all_of(values + 1, values + c, [&](double v) { return v == values[0]; }))
          continue;
        Block block;
        // Detail (a, b, g), a pattern of axes, has the sign (-1)^(a i + b j + g k) at corner
        // (i, j, k), corner n being i + (S0 + 1) (j + (S1 + 1) k).
        for (int a = 0; a <= S0; ++a) {
          for (int b = 0; b <= S1; ++b) {
            for (int g = 0; g <= S2; ++g) {
              if (a + b + g == 0) continue;
              double sum = 0.0;
              for (int n = 0; n < corners; ++n) {
                const int i = n % (S0 + 1), j = n / (S0 + 1) % (S1 + 1),
                          k = n / ((S0 + 1) * (S1 + 1));
                const bool odd = (a * i + b * j + g * k) % 2 != 0;
                sum += odd ? -values[n] : values[n];
              }
              const double detail = sum * norm;
              if (a == S0 && b == S1 && g == S2) {
                block.diagonal = detail;
              } else {
                block.others += detail * detail;
              }
            }
          }
        }
        double sum = 0.0;
        for (int n = 0; n < corners; ++n) sum += values[n];
        block.level = sum / corners;
        out.push_back(block);
      }
    }
  }
}

// The details and level of every usable block, in a fixed order (slice of blocks by slice, line
// by line); with a mask, only the blocks wholly inside it or touching it. The slices of blocks are
// shared among `threads` threads in parts that are joined in order, so the list is the same for
// every thread count. Throws std::bad_alloc when memory is short.
Blocks blocks_of(const double* volume, const Extents& e, int32_t threads,
                 const uint8_t* mask = nullptr, Within within = Within::all) {
  const int32_t d[3] = {e.d0, e.d1, e.d2};
  int32_t step[3];   // 1 on an axis that takes part, 0 on an axis of extent 1
  int32_t count[3];  // blocks along each axis
  int taking = 0;
  for (int a = 0; a < 3; ++a) {
    step[a] = d[a] >= 2 ? 1 : 0;
    count[a] = d[a] >= 2 ? d[a] / 2 : (d[a] == 1 ? 1 : 0);
    taking += step[a];
  }
  Blocks result;
  if (taking == 0 || count[0] == 0 || count[1] == 0 || count[2] == 0) return result;
  result.other_details = (1 << taking) - 2;
  const auto fill = [&](int32_t bz_begin, int32_t bz_end, std::vector<Block>& out) {
    switch (step[0] | step[1] << 1 | step[2] << 2) {
      case 1:
        return blocks_in<1, 0, 0>(volume, e, mask, within, count, bz_begin, bz_end, out);
      case 2:
        return blocks_in<0, 1, 0>(volume, e, mask, within, count, bz_begin, bz_end, out);
      case 3:
        return blocks_in<1, 1, 0>(volume, e, mask, within, count, bz_begin, bz_end, out);
      case 4:
        return blocks_in<0, 0, 1>(volume, e, mask, within, count, bz_begin, bz_end, out);
      case 5:
        return blocks_in<1, 0, 1>(volume, e, mask, within, count, bz_begin, bz_end, out);
      case 6:
        return blocks_in<0, 1, 1>(volume, e, mask, within, count, bz_begin, bz_end, out);
      default:
        return blocks_in<1, 1, 1>(volume, e, mask, within, count, bz_begin, bz_end, out);
    }
  };
  const int64_t blocks = int64_t{count[0]} * count[1] * count[2];
  // Small volumes (and single threads) are not worth a thread start.
  const int32_t parts =
      threads < 2 || blocks < kParallelBlocks ? 1 : std::min(count[2], kMaxWorkers);
  if (parts == 1) {
    result.blocks.reserve(static_cast<size_t>(blocks));
    fill(0, count[2], result.blocks);
    return result;
  }
  std::vector<Block> part_blocks[kMaxWorkers];
  std::atomic<bool> short_of_memory{false};
  run_parts(parts, threads, [&](int32_t part) {
    const Slab slab = slab_of(count[2], part, parts);
    std::vector<Block>& out = part_blocks[part];
    out.clear();
    try {
      out.reserve(
          static_cast<size_t>(int64_t{count[0]} * count[1] * (slab.end_slice - slab.first_slice)));
      fill(slab.first_slice, slab.end_slice, out);
    } catch (const std::bad_alloc&) {
      short_of_memory.store(true);
    }
  });
  if (short_of_memory.load()) throw std::bad_alloc();
  size_t total = 0;
  for (int32_t part = 0; part < parts; ++part) total += part_blocks[part].size();
  result.blocks.reserve(total);
  for (int32_t part = 0; part < parts; ++part) {
    result.blocks.insert(result.blocks.end(), part_blocks[part].begin(), part_blocks[part].end());
    part_blocks[part] = std::vector<Block>();
  }
  return result;
}

// Median of the absolute values in `work`, scaled to a standard deviation.
double mad_sigma(std::vector<double>& work) {
  if (work.empty()) return 0.0;
  const auto mid = static_cast<std::ptrdiff_t>(work.size() / 2);
  std::nth_element(work.begin(), work.begin() + mid, work.end());
  double median = work[mid];
  if (work.size() % 2 == 0) {
    // The lower middle value is the largest of the lower half.
    median = 0.5 * (median + *std::max_element(work.begin(), work.begin() + mid));
  }
  return median * kMadToSigma;
}

// Repeats estimate and selection until neither changes. Returns the estimate and, through
// `used`, the number of blocks it rests on.
double settle(const Blocks& all, bool bright_only, size_t* used) {
  std::vector<double> work;
  work.reserve(all.blocks.size());
  for (const Block& b : all.blocks) work.push_back(std::fabs(b.diagonal));
  double sigma = mad_sigma(work);
  size_t count = all.blocks.size();
  const double quantile = edge_quantile(all.other_details);
  for (int round = 0; round < kMaxRounds; ++round) {
    const double max_others = quantile * sigma * sigma;
    const double min_level = kBrightLevel * sigma;
    work.clear();
    for (const Block& b : all.blocks) {
      if (all.other_details > 0 && !(b.others < max_others)) continue;
      if (bright_only && !(b.level > min_level)) continue;
      work.push_back(std::fabs(b.diagonal));
    }
    const size_t now_count = work.size();
    const double next = mad_sigma(work);
    const bool settled = next == sigma && now_count == count;
    sigma = next;
    count = now_count;
    if (settled || count == 0) break;
  }
  *used = count;
  return sigma;
}

}  // namespace

namespace {

int32_t threads_for(int32_t requested) {
  const ThreadCount count = thread_count(requested);
  return count.error ? 1 : count.count;  // a refused count leaves the work on this thread
}

// The plain estimate and, for magnitude data, the bright one: two independent passes, run side
// by side when `threads` allows. Throws std::bad_alloc when memory is short.
SigmaEstimate estimate_over(const Blocks& all, bool rician, int32_t threads) {
  if (all.blocks.empty()) return {};
  size_t plain_used = 0, used = 0;
  double plain = 0.0, bright = 0.0;
  std::atomic<bool> short_of_memory{false};
  // Small lists are not worth a thread start.
  const int32_t workers = static_cast<int64_t>(all.blocks.size()) < kParallelBlocks ? 1 : threads;
  run_parts(rician ? 2 : 1, workers, [&](int32_t part) {
    try {
      if (part == 0) {
        plain = settle(all, false, &plain_used);
      } else {
        bright = settle(all, true, &used);
      }
    } catch (const std::bad_alloc&) {
      short_of_memory.store(true);
    }
  });
  if (short_of_memory.load()) throw std::bad_alloc();
  if (rician) {
    // The plain estimate over every block, Rayleigh-corrected, bounds the noise from above:
    // dark blocks spread by 0.655 sigma and bright ones by sigma, so the plain estimate lies
    // between the two and the bound is sigma or more. A bright estimate above it rests on
    // something else than noise (see the method above), and the bound is taken instead; the
    // volume still holds enough bright blocks, and counts as one that does.
    const double bound = plain / kRayleighSpread;
    if (used >= kMinBrightBlocks) {
      return {bright <= bound ? bright : bound, static_cast<int64_t>(used), false};
    }
    return {bound, static_cast<int64_t>(plain_used), true};
  }
  return {plain, static_cast<int64_t>(plain_used), false};
}

double signal_over(const Blocks& all) {
  if (all.blocks.empty()) return 0.0;
  std::vector<double> levels;
  levels.reserve(all.blocks.size());
  for (const Block& b : all.blocks) levels.push_back(b.level);
  // The value at rank floor(0.99 (count - 1)) of the sorted levels.
  const auto rank =
      static_cast<std::ptrdiff_t>(static_cast<double>(levels.size() - 1) * kSignalQuantile);
  std::nth_element(levels.begin(), levels.begin() + rank, levels.end());
  return levels[rank];
}

}  // namespace

SigmaEstimate estimate_sigma_detail(const double* volume, const Extents& extents, bool rician,
                                    const uint8_t* mask, int32_t threads) {
  const int32_t workers = threads_for(threads);
  Blocks all = blocks_of(volume, extents, workers, mask, mask ? Within::wholly : Within::all);
  if (mask && all.blocks.empty()) all = blocks_of(volume, extents, workers, mask, Within::touching);
  return estimate_over(all, rician, workers);
}

double estimate_sigma(const double* volume, const Extents& extents, bool rician,
                      const uint8_t* mask, int32_t threads) {
  return estimate_sigma_detail(volume, extents, rician, mask, threads).sigma;
}

double signal_level(const double* volume, const Extents& extents, int32_t threads) {
  return signal_over(blocks_of(volume, extents, threads_for(threads)));
}

NoiseAndSignal estimate_noise_and_signal(const double* volume, const Extents& extents, bool rician,
                                         int32_t threads) {
  const int32_t workers = threads_for(threads);
  const Blocks all = blocks_of(volume, extents, workers);
  return NoiseAndSignal{estimate_over(all, rician, workers), signal_over(all)};
}

}  // namespace volnlm::pipeline
