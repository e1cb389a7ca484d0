// Option values of the command-line tool parsed on their own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/run_record.h"

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

TEST(Arguments, SigmaListParses) {
  char path[] = "/tmp/volnlm-sigmas-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string file = path;
  struct Case {
    const char* text;  // a text for --sigma, or with '\n' the sigma file's content
    std::vector<double> values;
    const char* error;  // part of the UsageError's message; nullptr: parses
  } cases[] = {
      {"auto", {}, nullptr},
      {"7.5", {7.5}, nullptr},
      {"1,2.5,0", {1.0, 2.5, 0.0}, nullptr},
      {"1, 2 ,3", {1.0, 2.0, 3.0}, nullptr},
      {"4\n\n  5.5 \r\n6\n", {4.0, 5.5, 6.0}, nullptr},
      {"4\n", {4.0}, nullptr},
      {"1,,3", {}, "value 2"},
      {"1,2,", {}, "value 3"},
      {",1", {}, "value 1"},
      {"1,-2", {}, "value 2 must be a finite number of 0 or more; got \"-2\""},
      {"1,nan", {}, "value 2"},
      {"1;2", {}, "--sigma must be auto"},
      {"auto,1", {}, "value 1"},
      {"4\nfive\n", {}, "line 2 of"},
      {"\n\n", {}, "holds no values"},
      {"@", {}, "--sigma @FILE"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    if (text.find('\n') != std::string::npos) {
      std::ofstream(file) << text;
      text = "@" + file;
    }
    if (c.error) {
      try {
        parse_sigma_list(text);
        ADD_FAILURE() << text << " parsed";
      } catch (const UsageError& e) {
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
            << text << ": " << e.what();
      }
    } else {
      EXPECT_EQ(parse_sigma_list(text), c.values) << text;
    }
  }
  std::remove(path);
  EXPECT_THROW(parse_sigma_list("@" + file), RunError);  // gone
}

}  // namespace
}  // namespace volnlm::cli
