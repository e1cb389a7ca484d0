// Instruction sets the filters have vector code for, which of them this processor runs, and the
// one choice of a kernel's form. The choice is made at run time, so one build runs on any x86-64
// and uses the widest vectors present; elsewhere only the portable code exists.
#pragma once

#include <vector>

namespace volnlm {

enum class Isa {
  portable,  // plain C++, any processor
  avx2,      // x86-64 with AVX2 and FMA
  avx512,    // x86-64 with AVX-512 F, VL (its 256-bit forms) and DQ
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
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512dq");
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

// The forms of one kernel, one per instruction set.
template <class Form>
struct IsaForms {
  Form portable;
  Form avx2;
  Form avx512;
};

// The form of a kernel for `isa`: the widest form not wider than `isa` that this processor runs.
// Called once per filter call, never per voxel.
template <class Form>
Form choose_form(Isa isa, const IsaForms<Form>& forms) {
  if (isa == Isa::avx512 && isa_supported(Isa::avx512)) return forms.avx512;
  if ((isa == Isa::avx2 || isa == Isa::avx512) && isa_supported(Isa::avx2)) return forms.avx2;
  return forms.portable;
}

}  // namespace volnlm
