// The two kinds of failure the command line reports, each with its own exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace volnlm::cli {

inline constexpr int kExitFailed = 1;  // the run failed: files, filters
inline constexpr int kExitUsage = 2;   // bad usage: a missing argument, a bad option value

// A run that could not be completed (a missing or unreadable file, a file that is not NIfTI, an
// output that cannot be written, a filter failure). The message names the file and the cause.
struct RunError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A request that cannot be served as given (a bad option value, an option that does not apply).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace volnlm::cli
