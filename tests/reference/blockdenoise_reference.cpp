// Reference rendering of the blockwise filter: one pass over all centres, plain order, all
// arithmetic in single precision exactly as the rules write it. Alongside, in double, it can
// derive a per-voxel bound on how far a faster rendering may land from it.
//
// The bound. A fast rendering must make every decision (thresholds, preselection, which
// candidates are weighed, which weight is the largest) as the reference does; it may add the
// terms of each sum in another order and its weights may differ in their last bits.
// With u = 2^-24 (float unit roundoff), for one block estimate built from m weighted blocks:
//  - weight j: w = expf(-d / denominator). d is a sum of n_p = (2p+1)^3 squares; any order of
//    it is within (n_p + 1) u of the exact value in relative terms, so two renderings differ by
//    2 (n_p + 3) u after the two divisions, which becomes x_j times that in the weight, with
//    x_j = d_j / denominator; expf itself may differ by a few ulps: eps_j = (8 + 2 x_j (n_p + 3))
//    u. Weights of the zero-denominator limit (exactly 0 or 1) carry no error.
//  - element sum A = sum of m terms t_j, weight sum W = sum of m weights: two orders differ by at
//    most gamma = 2 (m + 1) u times the sum of magnitudes, to first order, so
//    |dA| <= a = sum |t_j| eps_j + gamma sum |t_j| and |dW| <= b = sum w_j eps_j + gamma W.
//  - q = A / W: |dq| <= (a + |q| b) / (W - b) + 2u |q|.
//  - plain: the block value's error is |dq|. Rician: t = q - bias moves by dt = |dq| +
//    2u (|q| + bias), and sqrt(max(t, 0)) moves by at most min(sqrt(dt), dt / sqrt(t)) (only
//    sqrt(dt) when t <= 0), plus 2u of the value for the square root's own rounding.
//  - voxel: out = S / c with S the sum of the c block values that reached it; the bound is
//    (sum of the block errors + 2 (c + 1) u sum |values|) / c + 2u |out|.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "reference.h"

namespace volnlm::reference {
namespace {

constexpr double kUnit = 0x1p-24;

int32_t mirror(int64_t v, int32_t n) {
  const int64_t a = v < 0 ? -v : v;
  return static_cast<int32_t>(a < n ? a : 2 * int64_t{n} - a - 1);
}

int32_t at(int32_t x, int32_t y, int32_t z, const Extents& e) {
  return x + e.d0 * (y + e.d1 * z);
}

bool inside(int64_t x, int64_t y, int64_t z, const Extents& e) {
  return x >= 0 && x < e.d0 && y >= 0 && y < e.d1 && z >= 0 && z < e.d2;
}

int64_t lower(int32_t coordinate, int32_t radius) {
  return std::max(-int64_t{coordinate}, -int64_t{radius});
}

int64_t upper(int32_t coordinate, int32_t extent, int32_t radius) {
  return std::min(int64_t{extent} - 1 - coordinate, int64_t{radius});
}

// Everything one call shares.
struct Call {
  const float* noisy;
  Extents e;
  int32_t p;
  bool rician;
  std::vector<float> block_accum;
  // Bound bookkeeping, in double, per element of the current block.
  bool track;
  std::vector<double> term_magnitude;  // sum of |term|
  std::vector<double> term_error;      // sum of |term| * eps of its weight
};

// Adds the weighted block around (x, y, z); voxels outside the volume take the centre's value.
void average_block(Call& call, int32_t x, int32_t y, int32_t z, float weight, double weight_eps) {
  const int32_t side = 2 * call.p + 1;
  if (side <= 0) return;
  const float c = call.noisy[at(x, y, z, call.e)];
  for (int32_t dz = -call.p; dz <= call.p; ++dz) {
    for (int32_t dy = -call.p; dy <= call.p; ++dy) {
      for (int32_t dx = -call.p; dx <= call.p; ++dx) {
        const float v = inside(x + dx, y + dy, z + dz, call.e)
                            ? call.noisy[at(x + dx, y + dy, z + dz, call.e)]
                            : c;
        const int32_t element = (dz + call.p) * side * side + (dy + call.p) * side + (dx + call.p);
        const float term = call.rician ? (v * v) * weight : weight * v;
        call.block_accum[element] += term;
        if (call.track) {
          call.term_magnitude[element] += std::fabs(double{term});
          call.term_error[element] += std::fabs(double{term}) * weight_eps;
        }
      }
    }
  }
}

// Per-voxel sums that the block estimates reach.
struct Estimates {
  std::vector<float> sum, count;
  std::vector<double> error, value_magnitude;  // bound bookkeeping
};

void value_block(Call& call, Estimates& est, int32_t x, int32_t y, int32_t z, float total_weight,
                 float rician_bias, int32_t blocks, double weight_error) {
  const int32_t side = 2 * call.p + 1;
  if (side <= 0) return;
  const double gamma = 2.0 * (blocks + 1) * kUnit;
  const double W = total_weight;
  const double b = weight_error + gamma * W;
  for (int32_t dz = -call.p; dz <= call.p; ++dz) {
    for (int32_t dy = -call.p; dy <= call.p; ++dy) {
      for (int32_t dx = -call.p; dx <= call.p; ++dx) {
        if (!inside(x + dx, y + dy, z + dz, call.e)) continue;
        const int32_t u = at(x + dx, y + dy, z + dz, call.e);
        const int32_t element = (dz + call.p) * side * side + (dy + call.p) * side + (dx + call.p);
        float value;
        float t = 0.0f;
        if (call.rician) {
          t = call.block_accum[element] / total_weight - rician_bias;
          value = t > 0.0f ? std::sqrt(t) : 0.0f;
        } else {
          value = call.block_accum[element] / total_weight;
        }
        est.sum[u] = value + est.sum[u];
        est.count[u] = est.count[u] + 1.0f;
        if (!call.track) continue;
        const double q = double{call.block_accum[element]} / W;
        const double a = call.term_error[element] + gamma * call.term_magnitude[element];
        double error = (a + std::fabs(q) * b) / (W - b) + 2.0 * kUnit * std::fabs(q);
        if (!(W - b > 0.0)) error = INFINITY;
        if (call.rician) {
          const double dt = error + 2.0 * kUnit * (std::fabs(q) + rician_bias);
          error = t > 0.0f ? std::min(std::sqrt(dt), dt / std::sqrt(double{t})) : std::sqrt(dt);
          error += 2.0 * kUnit * value;
        }
        est.error[u] += error;
        est.value_magnitude[u] += std::fabs(double{value});
      }
    }
  }
}

}  // namespace

float global_max(const float* noisy, const Extents& e) {
  float max = 0.0f;
  const int64_t n = int64_t{e.d0} * e.d1 * e.d2;
  for (int64_t i = 0; i < n; ++i) {
    if (noisy[i] > max) max = noisy[i];
  }
  return max;
}

void local_mean(const float* noisy, float* mean, const Extents& e) {
  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        float s = 0.0f;
        for (int a = -1; a <= 1; ++a) {      // y
          for (int b = -1; b <= 1; ++b) {    // x
            for (int c = -1; c <= 1; ++c) {  // z
              s += noisy[at(mirror(x + b, e.d0), mirror(y + a, e.d1), mirror(z + c, e.d2), e)];
            }
          }
        }
        mean[at(x, y, z, e)] = s / 27.0f;
      }
    }
  }
}

void local_variance(const float* noisy, const float* mean, float* variance, const Extents& e) {
  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        const float m = mean[at(x, y, z, e)];
        float s = 0.0f;
        int32_t k = 0;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            for (int dz = -1; dz <= 1; ++dz) {
              if (!inside(x + dx, y + dy, z + dz, e)) continue;
              const float d = noisy[at(x + dx, y + dy, z + dz, e)] - m;
              s = s + d * d;
              k = k + 1;
            }
          }
        }
        variance[at(x, y, z, e)] = s / static_cast<float>(k - 1);
      }
    }
  }
}

float distance(const float* noisy, int32_t x, int32_t y, int32_t z, int32_t cx, int32_t cy,
               int32_t cz, int32_t p, const Extents& e) {
  float s = 0.0f;
  for (int32_t dz = -p; dz <= p; ++dz) {
    for (int32_t dy = -p; dy <= p; ++dy) {
      for (int32_t dx = -p; dx <= p; ++dx) {
        const float a =
            noisy[at(mirror(x + dx, e.d0), mirror(y + dy, e.d1), mirror(z + dz, e.d2), e)];
        const float b =
            noisy[at(mirror(cx + dx, e.d0), mirror(cy + dy, e.d1), mirror(cz + dz, e.d2), e)];
        s = s + (a - b) * (a - b);
      }
    }
  }
  const int32_t side = 2 * p + 1;
  return s / static_cast<float>(side * side * side);
}

void blockdenoise(const float* noisy, const Extents& e,
                  const ::volnlm::blockdenoise::Params& params, float* out, float* bound) {
  const int64_t n = int64_t{e.d0} * e.d1 * e.d2;
  if (n <= 0) return;
  // Every negative patch radius means "no block"; -1 keeps the block sizes from overflowing.
  const int32_t p = std::max(params.patch_radius, int32_t{-1});
  const int32_t side = 2 * p + 1;
  const int32_t elements = side > 0 ? side * side * side : 0;
  const int32_t radius = params.search_radius;
  const float sigma = params.sigma;

  std::vector<float> mean(n), variance(n);
  const float max = global_max(noisy, e);
  local_mean(noisy, mean.data(), e);
  local_variance(noisy, mean.data(), variance.data(), e);

  const float denominator = (sigma * params.smoothing) * sigma;
  const float rician_bias = sigma * (sigma + sigma);

  Call call{noisy, e, p, params.rician, std::vector<float>(elements), bound != nullptr, {}, {}};
  Estimates est{std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f), {}, {}};
  if (call.track) {
    call.term_magnitude.resize(elements);
    call.term_error.resize(elements);
    est.error.assign(n, 0.0);
    est.value_magnitude.assign(n, 0.0);
  }

  for (int32_t z = 0; z < e.d2; ++z) {
    for (int32_t y = 0; y < e.d1; ++y) {
      for (int32_t x = 0; x < e.d0; ++x) {
        std::fill(call.block_accum.begin(), call.block_accum.end(), 0.0f);
        std::fill(call.term_magnitude.begin(), call.term_magnitude.end(), 0.0);
        std::fill(call.term_error.begin(), call.term_error.end(), 0.0);
        const int32_t c = at(x, y, z, e);
        const float mc = mean[c];
        const float vc = variance[c];
        if (!(mc > 1e-5f && vc > 1e-5f)) {
          average_block(call, x, y, z, 1.0f, 0.0);
          value_block(call, est, x, y, z, 1.0f, rician_bias, 1, 0.0);
          continue;
        }
        float centre_weight = 1.0f;
        float total_weight = 1.0f;
        double centre_eps = 0.0, weight_error = 0.0;
        int32_t blocks = 1;
        if (radius >= 0) {
          centre_weight = 0.0f;
          total_weight = 0.0f;
          for (int64_t dz = lower(z, radius); dz <= upper(z, e.d2, radius); ++dz) {
            for (int64_t dy = lower(y, radius); dy <= upper(y, e.d1, radius); ++dy) {
              for (int64_t dx = lower(x, radius); dx <= upper(x, e.d0, radius); ++dx) {
                if (dx == 0 && dy == 0 && dz == 0) continue;
                const int64_t nx = x + dx, ny = y + dy, nz = z + dz;
                if (!inside(nx, ny, nz, e)) continue;
                const int32_t cand = at(int32_t(nx), int32_t(ny), int32_t(nz), e);
                const float mn = mean[cand];
                const float vn = variance[cand];
                if (!(mn > 1e-5f && vn > 1e-5f)) continue;
                const float mean_ratio = mc / mn;
                const float max_ratio = (max - mc) / (max - mn);
                const float variance_ratio = vc / vn;
                const bool by_mean = 0.95f < mean_ratio && mean_ratio < 1.0526316f;
                const bool by_max = 0.95f < max_ratio && max_ratio < 1.0526316f &&
                                    0.5f < variance_ratio && variance_ratio < 2.0f;
                if (!by_mean && !by_max) continue;
                const float d =
                    distance(noisy, x, y, z, int32_t(nx), int32_t(ny), int32_t(nz), p, e);
                // A zero denominator takes the limit of the weight: 1 for identical patches,
                // else 0 (the plain formula would give 0/0 there).
                float w;
                double eps = 0.0;
                if (denominator == 0.0f) {
                  w = d == 0.0f ? 1.0f : 0.0f;
                } else {
                  w = std::exp(-d / denominator);
                  const double scaled = double{d} / denominator;
                  eps = (8.0 + 2.0 * scaled * (std::max(elements, 1) + 3)) * kUnit;
                }
                if (w > centre_weight) {
                  centre_weight = w;
                  centre_eps = eps;
                }
                average_block(call, int32_t(nx), int32_t(ny), int32_t(nz), w, eps);
                total_weight = total_weight + w;
                weight_error += double{w} * eps;
                ++blocks;
              }
            }
          }
          if (centre_weight == 0.0f) {
            centre_weight = 1.0f;
            total_weight = total_weight + 1.0f;
            centre_eps = 0.0;
          } else {
            total_weight = total_weight + centre_weight;
            weight_error += double{centre_weight} * centre_eps;
          }
        }
        average_block(call, x, y, z, centre_weight, centre_eps);
        value_block(call, est, x, y, z, total_weight, rician_bias, blocks, weight_error);
      }
    }
  }

  for (int64_t i = 0; i < n; ++i) {
    const float count = est.count[i];
    out[i] = count != 0.0f ? est.sum[i] / count : noisy[i];
    if (!bound) continue;
    if (count == 0.0f) {
      bound[i] = 0.0f;
      continue;
    }
    const double b = (est.error[i] + 2.0 * (count + 1.0) * kUnit * est.value_magnitude[i]) / count +
                     2.0 * kUnit * std::fabs(double{out[i]});
    bound[i] = static_cast<float>(b);
  }
}

}  // namespace volnlm::reference
