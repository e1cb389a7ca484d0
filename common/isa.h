// Instruction sets the filters have vector code for, and which of them this processor runs.
// The choice is made at run time, so one build runs on any x86-64 and uses the widest
// vectors present; elsewhere only the portable code exists.
#pragma once

#include <vector>

namespace volnlm {

enum class Isa {
  portable,  // plain C++, any processor
  avx2,      // x86-64 with AVX2 and FMA
  avx512,    // x86-64 with AVX-512F
};

inline const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::avx2:
      return "avx2";
    case Isa::avx512:
      return "avx512";
    default:
      return "portable";
  }
}

inline bool isa_supported(Isa isa) {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
  switch (isa) {
    case Isa::portable:
      return true;
    case Isa::avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Isa::avx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
#else
  return isa == Isa::portable;
#endif
}

// Every instruction set this processor runs, narrowest first.
inline std::vector<Isa> supported_isas() {
  std::vector<Isa> out;
  for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
    if (isa_supported(isa)) out.push_back(isa);
  }
  return out;
}

// The widest instruction set this processor runs.
inline Isa best_isa() {
  return supported_isas().back();
}

}  // namespace volnlm
