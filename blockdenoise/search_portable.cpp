// The portable form of the candidate search: the eight lanes of the search body in plain C++,
// each operation applied lane by lane; and the choice of form.
#include <bit>
#include <cstdint>

#include "blockdenoise/search.h"

namespace volnlm::blockdenoise {
namespace {

struct Floats {
  float v[8];
};
struct Ints {
  int32_t v[8];
};
// -1 (all bits) in a true lane, 0 in a false one, so that choices of lanes compile to bitwise
// operations rather than branches.
struct Flags {
  int32_t b[8];
};

struct Portable {
  using F = Floats;
  using I = Ints;
  using M = Flags;
  // Register budget of the blocked loops: the vector code the compiler makes of these lanes.
  static constexpr int kRegisters = 16;
  template <class T, class Op>
  static T each(Op op) {
    T out;
    for (int j = 0; j < 8; ++j) out.v[j] = op(j);
    return out;
  }
  template <class Op>
  static M flags_of(Op op) {
    M out;
    for (int j = 0; j < 8; ++j) out.b[j] = op(j) ? -1 : 0;
    return out;
  }
  static F set(float a) {
    return each<F>([&](int) { return a; });
  }
  static F load(const float* p) {
    return each<F>([&](int j) { return p[j]; });
  }
  static void store(float* p, F a) {
    for (int j = 0; j < 8; ++j) p[j] = a.v[j];
  }
  static F load_part(const float* p, M m) {
    return each<F>([&](int j) { return m.b[j] != 0 ? p[j] : 0.0f; });
  }
  static void store_part(float* p, M m, F a) {
    for (int j = 0; j < 8; ++j) {
      if (m.b[j] != 0) p[j] = a.v[j];
    }
  }
  static F add(F a, F b) {
    return each<F>([&](int j) { return a.v[j] + b.v[j]; });
  }
  static F sub(F a, F b) {
    return each<F>([&](int j) { return a.v[j] - b.v[j]; });
  }
  static F mul(F a, F b) {
    return each<F>([&](int j) { return a.v[j] * b.v[j]; });
  }
  static F div(F a, F b) {
    return each<F>([&](int j) { return a.v[j] / b.v[j]; });
  }
  static F neg(F a) {
    return each<F>([&](int j) { return -a.v[j]; });
  }
  static F max(F a, F b) {
    return each<F>([&](int j) { return a.v[j] > b.v[j] ? a.v[j] : b.v[j]; });
  }
  static F min(F a, F b) {
    return each<F>([&](int j) { return a.v[j] < b.v[j] ? a.v[j] : b.v[j]; });
  }
  static M gt(F a, F b) {
    return flags_of([&](int j) { return a.v[j] > b.v[j]; });
  }
  static M lt(F a, F b) {
    return flags_of([&](int j) { return a.v[j] < b.v[j]; });
  }
  static M is_nan(F a) {
    return flags_of([&](int j) { return a.v[j] != a.v[j]; });
  }
  static M and_(M a, M b) {
    M out;
    for (int j = 0; j < 8; ++j) out.b[j] = a.b[j] & b.b[j];
    return out;
  }
  static M or_(M a, M b) {
    M out;
    for (int j = 0; j < 8; ++j) out.b[j] = a.b[j] | b.b[j];
    return out;
  }
  static M andnot(M a, M b) {
    M out;
    for (int j = 0; j < 8; ++j) out.b[j] = a.b[j] & ~b.b[j];
    return out;
  }
  static bool any(M m) {
    int32_t out = 0;
    for (int j = 0; j < 8; ++j) out |= m.b[j];
    return out != 0;
  }
  static bool all(M m) {
    int32_t out = -1;
    for (int j = 0; j < 8; ++j) out &= m.b[j];
    return out != 0;
  }
  static F select(M m, F yes, F no) {
    return each<F>([&](int j) { return m.b[j] != 0 ? yes.v[j] : no.v[j]; });
  }
  static I iset(int32_t a) {
    return each<I>([&](int) { return a; });
  }
  static I index() {
    return each<I>([&](int j) { return j; });
  }
  // Integer lanes wrap as the vector instructions do.
  static I iadd(I a, I b) {
    return each<I>([&](int j) {
      return static_cast<int32_t>(static_cast<uint32_t>(a.v[j]) + static_cast<uint32_t>(b.v[j]));
    });
  }
  static I isub(I a, I b) {
    return each<I>([&](int j) {
      return static_cast<int32_t>(static_cast<uint32_t>(a.v[j]) - static_cast<uint32_t>(b.v[j]));
    });
  }
  static I shr1(I a) {
    return each<I>([&](int j) { return a.v[j] >> 1; });
  }
  static I shl23(I a) {
    return each<I>(
        [&](int j) { return static_cast<int32_t>(static_cast<uint32_t>(a.v[j]) << 23); });
  }
  static M igt(I a, I b) {
    return flags_of([&](int j) { return a.v[j] > b.v[j]; });
  }
  static F as_float(I a) {
    return each<F>([&](int j) { return std::bit_cast<float>(a.v[j]); });
  }
  static I as_int(F a) {
    return each<I>([&](int j) { return std::bit_cast<int32_t>(a.v[j]); });
  }
  static M flags(const int32_t* p) {
    return flags_of([&](int j) { return p[j] != 0; });
  }
  static M flags_part(const int32_t* p, M m) {
    return flags_of([&](int j) { return m.b[j] != 0 && p[j] != 0; });
  }
  static M range(int32_t lo, int32_t hi) {
    return flags_of([&](int j) { return lo <= j && j < hi; });
  }
};

}  // namespace
}  // namespace volnlm::blockdenoise

#include "blockdenoise/search_body.h"

namespace volnlm::blockdenoise {

void search_line_portable(const LineSearch& s, int32_t y, int32_t z) {
  search_line<Portable>(s, y, z);
}

void box_distances_portable(const LineSearch& s, int32_t y, int32_t z, int32_t dx, int32_t dy,
                            int32_t dz, int32_t x0, int32_t x1) {
  box_distances_lanes<Portable>(s, y, z, dx, dy, dz, x0, x1);
}

SearchForm search_form_for(Isa isa) {
  return choose_form<SearchForm>(isa, {{search_line_portable, box_distances_portable},
                                       {search_line_avx2, box_distances_avx2},
                                       {search_line_avx512, box_distances_avx512}});
}

}  // namespace volnlm::blockdenoise
