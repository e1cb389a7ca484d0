// The record of a denoising run: what went in, every parameter used, and sigma per volume. Built
// here once, as a tree of plain values, and rendered by each front end in its own form (the
// command line's JSON sidecar, the Python dict, the MATLAB/Octave struct), so the keys are the
// same everywhere. The keys and what they hold are listed in record_keys().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "pipeline/pipeline.h"
#include "pipeline/series.h"

namespace volnlm::pipeline {

// A JSON-like value: null, a bool, an integer, a number, text, a list or an ordered map.
struct Value {
  using Array = std::vector<Value>;
  using Object = std::vector<std::pair<std::string, Value>>;
  std::variant<std::monostate, bool, int64_t, double, std::string, Array, Object> data;

  Value() = default;
  Value(bool v) : data(v) {}
  Value(int32_t v) : data(static_cast<int64_t>(v)) {}
  Value(int64_t v) : data(v) {}
  Value(double v) : data(v) {}
  Value(const char* v) : data(std::string(v)) {}
  Value(std::string v) : data(std::move(v)) {}
  Value(Array v) : data(std::move(v)) {}
  Value(Object v) : data(std::move(v)) {}
};

// A mask that restricted the run, when one did.
struct MaskRecord {
  std::string source;     // the mask's file, "array" for a caller's array, "auto" when made
  double coverage = 0.0;  // fraction of the volume's voxels inside the mask
};

// The record of the mask a run used, from what the run resolved (nothing when it used none):
// "auto" for the automatic mask, else `given` (the mask's file, or "array"); its coverage the
// mask's voxels over the voxels of one volume of `extents`.
std::optional<MaskRecord> mask_record(const Resolved& used, const Extents& extents,
                                      const std::string& given);

// Everything a record says about one run.
struct RunRecord {
  std::vector<std::string> sources;  // the files read: input, then guide and mask when given
  Method method = Method::guided;
  bool rician = true;
  bool guide_given = false;  // the guided filter judged on a guide the caller made
  SeriesResolved used;       // parameters, sigma and scale per volume
  SigmaSource sigma_source = SigmaSource::estimated;
  std::optional<MaskRecord> mask;
  double elapsed_seconds = 0.0;
};

// The version of volnlm, as the build sets it.
const char* version();

// The record as a value tree, its keys in the order of record_keys().
Value record_value(const RunRecord& record);

// Each key of a record and what it holds, in their order.
struct KeyDoc {
  const char* key;
  const char* meaning;
};
const std::vector<KeyDoc>& record_keys();

// `value` as JSON text, two spaces per level, lists of plain values on one line, numbers in
// their shortest form that reads back to the same double (non-finite numbers become null).
std::string to_json(const Value& value);

}  // namespace volnlm::pipeline
