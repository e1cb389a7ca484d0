// Outcome of a filter call, reported by the core to whichever front end made the call.
#pragma once

#include <string>

namespace volnlm {

enum class Status {
  ok,
  threads,  // a worker thread could not be started; every started worker was joined
  memory,   // memory that the filter takes for itself (or a worker's stack) could not be had
  invalid,  // arguments that the call's own checks reject: nothing was computed (front ends run
            // those checks first and report their message; this is the core's refusal)
  stopped,  // the caller's interrupt ended the call early; the output is incomplete
};

// The console text a front end shows when workers cannot be started.
inline constexpr const char* kThreadsMessage = "Threads cannot be created\n";

// A rejected argument: `reason` is a short camelCase identifier (it becomes the suffix of a
// host error identifier, e.g. "patchRadius"), `message` says what was wrong and what is expected.
struct ArgError {
  std::string reason;
  std::string message;
};

}  // namespace volnlm
