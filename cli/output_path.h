// Where an output file may be written without losing anything the user did not mean to lose.
#pragma once

#include <string>
#include <vector>

namespace volnlm::cli {

// Checks OUT before anything is written and returns the path to write. Refused with a RunError
// that says how to override it, unless `force`:
// - OUT is one of `inputs` (the same file by any path: another spelling, a hard or symbolic
//   link); with force it is replaced once the result is complete, the input being read by then;
// - OUT exists and the user may not write it (its permissions deny it); with force it is
//   replaced and keeps its permissions;
// - OUT is a symbolic link; with force the file it leads to (through any chain of links) is
//   replaced, or created when missing, and the link is kept.
// Without any of these, OUT itself is returned.
std::string checked_output(const std::string& out, const std::vector<std::string>& inputs,
                           bool force);

}  // namespace volnlm::cli
