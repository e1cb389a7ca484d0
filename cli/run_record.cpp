#include "cli/run_record.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli/commands.h"
#include "cli/errors.h"

namespace volnlm::cli {

namespace {

std::string trimmed(const std::string& s) {
  const char* space = " \t\r\n";
  const size_t first = s.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(space) - first + 1);
}

// One value of a list; `where` names it in the message ("value 2", "line 3 of FILE").
double list_value(const std::string& text, const std::string& where) {
  try {
    const std::optional<double> v = parse_sigma(text);
    if (v) return *v;
  } catch (const UsageError&) {
  }
  throw UsageError("--sigma: " + where + " must be a finite number of 0 or more; got \"" + text +
                   "\"");
}

std::vector<double> read_sigma_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw RunError("cannot read the sigma file " + path + ": " + std::strerror(errno));
  std::vector<double> values;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string value = trimmed(line);
    if (value.empty()) continue;
    values.push_back(list_value(value, "line " + std::to_string(number) + " of " + path));
  }
  if (in.bad()) throw RunError("cannot read the sigma file " + path + ": " + std::strerror(errno));
  if (values.empty()) throw UsageError("--sigma: the file " + path + " holds no values");
  return values;
}

}  // namespace

std::vector<double> parse_sigma_list(const std::string& text) {
  if (text == "auto") return {};
  if (text.starts_with("@")) {
    if (text.size() == 1) throw UsageError("--sigma @FILE needs a file name after the @");
    return read_sigma_file(text.substr(1));
  }
  if (text.find(',') == std::string::npos) {
    const std::optional<double> v = parse_sigma(text);  // throws with its own message
    return {*v};
  }
  std::vector<double> values;
  std::stringstream parts(text);
  std::string part;
  int number = 1;
  while (std::getline(parts, part, ',')) {
    values.push_back(list_value(trimmed(part), "value " + std::to_string(number++)));
  }
  if (text.back() == ',') {
    values.push_back(list_value("", "value " + std::to_string(number)));
  }
  return values;
}

std::string sidecar_path(const std::string& out) {
  const size_t slash = out.find_last_of('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::string lower = out;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t cut = out.size();
  if (lower.ends_with(".nii.gz")) {
    cut -= 7;
  } else if (lower.ends_with(".nii")) {
    cut -= 4;
  }
  const bool upper = cut < out.size() && std::isupper(static_cast<unsigned char>(out[cut + 1]));
  if (cut <= base) cut = out.size();  // a bare ".nii" keeps its name
  return out.substr(0, cut) + (upper ? ".JSON" : ".json");
}

}  // namespace volnlm::cli
