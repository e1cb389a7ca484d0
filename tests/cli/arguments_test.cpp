// Option values of the command-line tool parsed on their own.
#include <gtest/gtest.h>

#include "cli/commands.h"
#include "cli/errors.h"

namespace volnlm::cli {
namespace {

TEST(Arguments, SigmaParses) {
  EXPECT_FALSE(parse_sigma("auto").has_value());
  EXPECT_EQ(parse_sigma("12.5"), 12.5);
  EXPECT_EQ(parse_sigma("0"), 0.0);
  EXPECT_EQ(parse_sigma("1e-3"), 1e-3);
  for (const char* bad : {"", "-1", "nan", "inf", "12x", "Auto", "1,5"}) {
    EXPECT_THROW(parse_sigma(bad), UsageError) << bad;
  }
}

}  // namespace
}  // namespace volnlm::cli
