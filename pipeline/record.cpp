// Builds the record of a run and writes it as JSON.
#include "pipeline/record.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <type_traits>

#ifndef VOLNLM_VERSION
#error "VOLNLM_VERSION is set by the build from the project version"
#endif

namespace volnlm::pipeline {

namespace {

// The keys, in the order a record lists them.
constexpr const char* kGeneratedBy = "GeneratedBy";
constexpr const char* kSources = "Sources";
constexpr const char* kMethod = "Method";
constexpr const char* kNoiseModel = "NoiseModel";
constexpr const char* kParameters = "Parameters";
constexpr const char* kVolumes = "Volumes";
constexpr const char* kSigma = "Sigma";
constexpr const char* kSigmaSource = "SigmaSource";
constexpr const char* kSigmaEstimates = "SigmaEstimates";
constexpr const char* kUnitScale = "UnitScale";
constexpr const char* kMask = "Mask";
constexpr const char* kElapsedSeconds = "ElapsedSeconds";

Value::Array numbers(const std::vector<double>& values) {
  Value::Array list;
  list.reserve(values.size());
  for (double v : values) list.emplace_back(v);
  return list;
}

template <class T>
bool differ(const std::vector<T>& each) {
  return each.size() > 1 &&
         std::any_of(each.begin(), each.end(), [&](const T& v) { return v != each.front(); });
}

Value parameters(const RunRecord& r) {
  const Resolved& p = r.used.params;
  Value::Object used;
  if (!r.guide_given) {
    used.emplace_back("SearchRadius", p.search_radius);
    // One number when every volume had the same patch radius (smoothing), else one per volume.
    const std::vector<int32_t>& radii = r.used.patch_radius;
    if (differ(radii)) {
      Value::Array list;
      for (int32_t v : radii) list.emplace_back(v);
      used.emplace_back("PatchRadius", std::move(list));
    } else {
      used.emplace_back("PatchRadius", p.patch_radius);
    }
    const std::vector<double>& each = r.used.smoothing;
    if (differ(each)) {
      used.emplace_back("Smoothing", numbers(each));
    } else {
      used.emplace_back("Smoothing", static_cast<double>(p.smoothing));
    }
  }
  if (r.method == Method::guided) used.emplace_back("GuidedSearchRadius", p.guided_search_radius);
  return used;
}

void append_number(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, v).ptr;
  std::string number(text, end);
  // Written as a number with a fraction or exponent, so that it reads back as a float.
  if (number.find_first_of(".e") == std::string::npos) number += ".0";
  out += number;
}

void append_text(std::string& out, const std::string& s) {
  out += '"';
  for (const unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

bool is_plain(const Value& v) {
  return !std::holds_alternative<Value::Array>(v.data) &&
         !std::holds_alternative<Value::Object>(v.data);
}

void append(std::string& out, const Value& value, int depth) {
  const std::string indent(2 * (depth + 1), ' ');
  const std::string close(2 * depth, ' ');
  if (std::holds_alternative<std::monostate>(value.data)) {
    out += "null";
  } else if (const bool* b = std::get_if<bool>(&value.data)) {
    out += *b ? "true" : "false";
  } else if (const int64_t* i = std::get_if<int64_t>(&value.data)) {
    out += std::to_string(*i);
  } else if (const double* d = std::get_if<double>(&value.data)) {
    append_number(out, *d);
  } else if (const std::string* s = std::get_if<std::string>(&value.data)) {
    append_text(out, *s);
  } else if (const Value::Array* a = std::get_if<Value::Array>(&value.data)) {
    bool plain = true;
    for (const Value& v : *a) plain = plain && is_plain(v);
    out += '[';
    for (size_t k = 0; k < a->size(); ++k) {
      if (k > 0) out += plain ? ", " : ",";
      if (!plain) out += "\n" + indent;
      append(out, (*a)[k], depth + 1);
    }
    if (!plain && !a->empty()) out += "\n" + close;
    out += ']';
  } else if (const Value::Object* o = std::get_if<Value::Object>(&value.data)) {
    out += '{';
    for (size_t k = 0; k < o->size(); ++k) {
      out += k > 0 ? ",\n" : "\n";
      out += indent;
      append_text(out, (*o)[k].first);
      out += ": ";
      append(out, (*o)[k].second, depth + 1);
    }
    if (!o->empty()) out += "\n" + close;
    out += '}';
  }
}

}  // namespace

const char* version() {
  return VOLNLM_VERSION;
}

const std::vector<KeyDoc>& record_keys() {
  static const std::vector<KeyDoc> keys = {
      {kGeneratedBy, "list with one entry: {\"Name\": \"volnlm\", \"Version\": the version}"},
      {kSources,
       "the files read, in order: the input, then the guide and the mask when given "
       "(empty when arrays were passed)"},
      {kMethod, "\"guided\" or \"block\""},
      {kNoiseModel, "\"rician\" or \"gaussian\""},
      {kParameters,
       "the filter parameters used: SearchRadius, PatchRadius and Smoothing of the "
       "block filter (absent when a guide was given; PatchRadius and Smoothing are each a "
       "list with one value per volume when their defaults, which follow each volume's "
       "noise, differ between volumes), GuidedSearchRadius of the guided method"},
      {kVolumes, "number of volumes (1 for a 3-D volume)"},
      {kSigma, "noise standard deviation used for each volume, in the input's units"},
      {kSigmaSource,
       "\"given\", \"estimated\" (each volume's own estimate) or "
       "\"estimated-shared\" (one estimate for the series)"},
      {kSigmaEstimates,
       "with \"estimated-shared\": each volume's own estimate, from which the "
       "shared sigma was made; else null"},
      {kUnitScale,
       "for each volume, the power of two the volume was multiplied by for "
       "filtering (the result divided by it), bringing sigma into [64, 128)"},
      {kMask,
       "null when no mask was used, else {\"Source\", \"Coverage\"}: the mask's file, "
       "\"array\" for an array passed to the call, or \"auto\" for the automatic head mask; "
       "and the fraction of a volume's voxels inside it"},
      {kElapsedSeconds,
       "wall time of the run; the only entry that is not a function of the "
       "inputs and parameters"},
  };
  return keys;
}

std::optional<MaskRecord> mask_record(const Resolved& used, const Extents& extents,
                                      const std::string& given) {
  if (!used.masked) return std::nullopt;
  const int64_t voxels = voxel_count(extents);
  return MaskRecord{used.mask_auto ? "auto" : given,
                    voxels > 0 ? static_cast<double>(used.mask_voxels) / voxels : 0.0};
}

namespace {

// Values are built in place and moved, never copied: a copy that runs out of memory part-way
// leaves this library's std::variant destroying an alternative it never made (seen with
// GCC 12), while a move cannot fail.
static_assert(std::is_nothrow_move_constructible_v<Value>);

Value two_entries(const char* key1, Value value1, const char* key2, Value value2) {
  Value::Object o(2);
  o[0].first = key1;
  o[0].second = std::move(value1);
  o[1].first = key2;
  o[1].second = std::move(value2);
  return o;
}

}  // namespace

Value record_value(const RunRecord& r) {
  Value::Object o;
  Value::Array generated(1);
  generated[0] = two_entries("Name", "volnlm", "Version", version());
  o.emplace_back(kGeneratedBy, std::move(generated));
  Value::Array sources;
  for (const std::string& s : r.sources) sources.emplace_back(s);
  o.emplace_back(kSources, std::move(sources));
  o.emplace_back(kMethod, method_name(r.method));
  o.emplace_back(kNoiseModel, r.rician ? "rician" : "gaussian");
  o.emplace_back(kParameters, parameters(r));
  o.emplace_back(kVolumes, static_cast<int64_t>(r.used.sigma.size()));
  o.emplace_back(kSigma, numbers(r.used.sigma));
  o.emplace_back(kSigmaSource, sigma_source_name(r.sigma_source));
  o.emplace_back(kSigmaEstimates, r.sigma_source == SigmaSource::estimated_shared
                                      ? Value(numbers(r.used.estimates))
                                      : Value());
  o.emplace_back(kUnitScale, numbers(r.used.scale));
  if (r.mask) {
    o.emplace_back(kMask, two_entries("Source", r.mask->source, "Coverage", r.mask->coverage));
  } else {
    o.emplace_back(kMask, Value());
  }
  o.emplace_back(kElapsedSeconds, r.elapsed_seconds);
  return o;
}

std::string to_json(const Value& value) {
  std::string out;
  append(out, value, 0);
  out += '\n';
  return out;
}

}  // namespace volnlm::pipeline
