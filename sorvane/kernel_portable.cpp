// The portable form of the four-lane pair loop, the constants it needs, and the choice of form.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "sorvane/kernel.h"
#include "sorvane/pair_weight.h"

namespace volnlm::sorvane {
namespace {

struct Lanes {
  double v[4];
};
struct Flags {
  bool b[4];
};

// Four lanes in plain C++, each operation applied lane by lane.
struct Portable {
  using D = Lanes;
  using M = Flags;
  static D set(double a) { return D{{a, a, a, a}}; }
  static D load(const double* p) { return D{{p[0], p[1], p[2], p[3]}}; }
  static void store(double* p, D a) {
    for (int j = 0; j < 4; ++j) p[j] = a.v[j];
  }
  static D add(D a, D b) {
    for (int j = 0; j < 4; ++j) a.v[j] = a.v[j] + b.v[j];
    return a;
  }
  static D sub(D a, D b) {
    for (int j = 0; j < 4; ++j) a.v[j] = a.v[j] - b.v[j];
    return a;
  }
  static D mul(D a, D b) {
    for (int j = 0; j < 4; ++j) a.v[j] = a.v[j] * b.v[j];
    return a;
  }
  static D div(D a, D b) {
    for (int j = 0; j < 4; ++j) a.v[j] = a.v[j] / b.v[j];
    return a;
  }
  static D neg(D a) {
    for (int j = 0; j < 4; ++j) a.v[j] = -a.v[j];
    return a;
  }
  static D abs(D a) {
    for (int j = 0; j < 4; ++j) a.v[j] = std::fabs(a.v[j]);
    return a;
  }
  static M lt(D a, D b) {
    return M{{a.v[0] < b.v[0], a.v[1] < b.v[1], a.v[2] < b.v[2], a.v[3] < b.v[3]}};
  }
  static M le(D a, D b) {
    return M{{a.v[0] <= b.v[0], a.v[1] <= b.v[1], a.v[2] <= b.v[2], a.v[3] <= b.v[3]}};
  }
  static M gt(D a, D b) {
    return M{{a.v[0] > b.v[0], a.v[1] > b.v[1], a.v[2] > b.v[2], a.v[3] > b.v[3]}};
  }
  static M and_(M a, M b) {
    return M{{a.b[0] && b.b[0], a.b[1] && b.b[1], a.b[2] && b.b[2], a.b[3] && b.b[3]}};
  }
  static M andnot(M a, M b) {
    return M{{a.b[0] && !b.b[0], a.b[1] && !b.b[1], a.b[2] && !b.b[2], a.b[3] && !b.b[3]}};
  }
  static M lanes(int32_t lo, int32_t hi) {
    M m;
    for (int32_t j = 0; j < 4; ++j) m.b[j] = lo <= j && j < hi;
    return m;
  }
  static D set_lanes(double a, double b, double c, double d) { return D{{a, b, c, d}}; }
  static bool any(M m) { return m.b[0] || m.b[1] || m.b[2] || m.b[3]; }
  static int32_t bits(M m) {
    return (m.b[0] ? 1 : 0) | (m.b[1] ? 2 : 0) | (m.b[2] ? 4 : 0) | (m.b[3] ? 8 : 0);
  }
  static void pack(double* out, D v, int32_t bits) {
    int32_t to = 0;
    for (int32_t j = 0; j < 4; ++j) {
      if (bits >> j & 1) out[to++] = v.v[j];
    }
  }
  static D select(M m, D yes, D no) {
    for (int j = 0; j < 4; ++j) no.v[j] = m.b[j] ? yes.v[j] : no.v[j];
    return no;
  }
  static D add_where(M m, D a, D b) {
    for (int j = 0; j < 4; ++j) a.v[j] = m.b[j] ? a.v[j] + b.v[j] : a.v[j];
    return a;
  }
  static D trunc(D a, M m) {
    for (int j = 0; j < 4; ++j)
      a.v[j] = m.b[j] ? static_cast<double>(static_cast<int64_t>(a.v[j])) : 0.0;
    return a;
  }
  static D pow2(D k, M m) {
    D out;
    for (int j = 0; j < 4; ++j) {
      const uint64_t bits = m.b[j]
                                ? static_cast<uint64_t>(static_cast<int64_t>(k.v[j]) + 1023) << 52
                                : 0x3ff0000000000000ull;
      std::memcpy(&out.v[j], &bits, sizeof bits);
    }
    return out;
  }
  static double sum(D a) { return (a.v[0] + a.v[1]) + (a.v[2] + a.v[3]); }
};

}  // namespace
}  // namespace volnlm::sorvane

#include "sorvane/kernel_body.h"

namespace volnlm::sorvane {

bool kernel_constants(double bandwidth, int32_t radius, KernelConstants* k) {
  const double h = bandwidth;
  // Radii past 100 hold more blocks per row than the queue of the four-lane loop takes.
  if (radius <= 0 || radius > 100 || !(std::fabs(h) < 1048576.0)) return false;
  const WeightScale scale = weight_scale(h);
  if (!(scale.mean_denominator >= DBL_MIN) || !(scale.guide_denominator >= DBL_MIN)) return false;
  k->radius = radius;
  k->mean_denominator = scale.mean_denominator;
  k->guide_denominator = scale.guide_denominator;
  // Rounding can raise the product by at most one part in 2^53, so it stays below 2h^2.
  k->flat_guide_limit = scale.guide_denominator * 0.999999;
  // d <= h with d whole is d <= floor(h), that is |difference| < floor(h) + 1. With h below
  // 2^20 that limit lies far below 2^31, where the whole-number distance has its other rules.
  const double whole = std::floor(h);
  k->pass_limit = h < 0.0 ? 0.0 : whole + 1.0;
  // The mean term clamps to 0 for the d whose d^2 / 0.5h^2 - 1 is not positive; it grows with d.
  double flat = 0.0;
  for (double d = 0.0; d <= whole; d += 1.0) {
    if (!(scaled_square(d, scale.mean_denominator) - 1.0 <= 0.0)) break;
    flat = d + 1.0;
  }
  k->flat_mean_limit = flat;
  return true;
}

void line_pairs_portable(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                         int32_t x_first, int32_t x_end, bool forward) {
  line_pairs<Portable>(task, k, y, z, x_first, x_end, forward);
}

LinePairs line_pairs_for(Isa isa) {
  return choose_form<LinePairs>(isa, {line_pairs_portable, line_pairs_avx2, line_pairs_avx512});
}

}  // namespace volnlm::sorvane
