// The files that go with a denoised output: the sigma option's values, the JSON sidecar that
// records the run, and the residual image's name checks.
#pragma once

#include <string>
#include <vector>

namespace volnlm::cli {

// The values of --sigma: empty for "auto"; one finite value of 0 or more; a comma-separated list
// of them, one per volume; or "@FILE", a text file with one value per line (blank lines and
// spaces around a value are ignored). Throws UsageError for a malformed value (naming the file
// and line) and RunError when the file cannot be read.
std::vector<double> parse_sigma_list(const std::string& text);

// Where the sidecar of output `out` goes: `out` without its .nii or .nii.gz (either case), plus
// .json (.JSON for an upper-case name).
std::string sidecar_path(const std::string& out);

}  // namespace volnlm::cli
