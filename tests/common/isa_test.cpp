// The one choice of a kernel's form: the widest form not wider than the one asked for that this
// processor runs, whatever is asked.
#include "common/isa.h"

#include <gtest/gtest.h>

namespace volnlm {
namespace {

TEST(Isa, ChooseFormTakesTheWidestSupportedFormNotWiderThanAsked) {
  const IsaForms<int> forms{10, 20, 30};
  const bool avx2 = isa_supported(Isa::avx2), avx512 = isa_supported(Isa::avx512);
  struct Case {
    Isa asked;
    int want;
  };
  const Case cases[] = {
      {Isa::portable, 10},
      {Isa::avx2, avx2 ? 20 : 10},
      {Isa::avx512, avx512 ? 30
                    : avx2 ? 20
                           : 10},
  };
  for (const Case& c : cases) EXPECT_EQ(choose_form(c.asked, forms), c.want) << isa_name(c.asked);
  // Every supported set is chosen as itself, and the best one is the last of them.
  for (Isa isa : supported_isas()) {
    EXPECT_EQ(choose_form(isa, IsaForms<Isa>{Isa::portable, Isa::avx2, Isa::avx512}), isa);
  }
  EXPECT_EQ(supported_isas().front(), Isa::portable);
  EXPECT_EQ(supported_isas().back(), best_isa());
}

}  // namespace
}  // namespace volnlm
