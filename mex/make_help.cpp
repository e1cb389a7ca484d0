// Writes a one-call plug-in's help file (comments only, read by the host's `help`) from its
// template, filling in the defaults and the record's keys from the pipeline, so that the help
// states what the code does:
//   make_help TEMPLATE OUTPUT
// A line holding @NAME@ gets the value in its place, its text wrapped at kWidth columns with the
// continuation lines indented to its description column (past an argument's name, when the line
// begins with one). A line holding @RECORD_KEYS@
// alone becomes one entry per key of the record, its meaning wrapped beside it.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/defaults.h"
#include "pipeline/pipeline.h"
#include "pipeline/record.h"

namespace {

using namespace volnlm::pipeline;

constexpr size_t kWidth = 96;
constexpr size_t kKeyColumn = 20;

// `text` broken into lines of at most `width` characters at spaces.
std::vector<std::string> wrap(const std::string& text, size_t width) {
  std::vector<std::string> lines;
  std::istringstream words(text);
  std::string word, line;
  while (words >> word) {
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// "%" followed by spaces up to `column`.
std::string comment_indent(size_t column) {
  std::string indent(column > 1 ? column : 1, ' ');
  indent[0] = '%';
  return indent;
}

// Where a comment line's text begins: past "%" and spaces, and past a leading name followed by
// two or more spaces (an argument or option and its description).
size_t text_column(const std::string& line) {
  size_t at = line.find_first_not_of(" %");
  if (at == std::string::npos) return line.size();
  const size_t name_end = line.find_first_of(' ', at);
  if (name_end != std::string::npos && line.compare(name_end, 2, "  ") == 0) {
    const size_t description = line.find_first_not_of(' ', name_end);
    if (description != std::string::npos) at = description;
  }
  return at;
}

std::vector<std::pair<std::string, std::string>> values() {
  return {
      {"@SEARCH_RADIUS@", std::to_string(kDefaultSearchRadius)},
      {"@PATCH_RADIUS@", default_patch_radius_text()},
      {"@GUIDED_SEARCH_RADIUS@", std::to_string(kDefaultGuidedSearchRadius)},
      {"@DEFAULT_METHOD@", method_name(Options{}.method)},
      {"@DEFAULT_NOISE@", Options{}.rician ? "rician" : "gaussian"},
      {"@SMOOTHING_RULE@", default_smoothing_text()},
  };
}

void write_line(std::ostream& out, const std::string& line) {
  for (const auto& [name, value] : values()) {
    const size_t at = line.find(name);
    if (at == std::string::npos) continue;
    const std::string filled = line.substr(0, at) + value + line.substr(at + name.size());
    const size_t column = text_column(line);
    const std::vector<std::string> lines = wrap(filled.substr(column), kWidth - column);
    out << filled.substr(0, column) << (lines.empty() ? "" : lines[0]) << "\n";
    for (size_t k = 1; k < lines.size(); ++k) out << comment_indent(column) << lines[k] << "\n";
    return;
  }
  const size_t at = line.find("@RECORD_KEYS@");
  if (at == std::string::npos) {
    out << line << "\n";
    return;
  }
  for (const KeyDoc& key : record_keys()) {
    const std::string name = line.substr(0, at) + key.key;
    const std::vector<std::string> lines = wrap(key.meaning, kWidth - kKeyColumn);
    std::string first = name.size() + 1 < kKeyColumn
                            ? name + std::string(kKeyColumn - name.size(), ' ')
                            : name + "\n" + comment_indent(kKeyColumn);
    out << first << (lines.empty() ? "" : lines[0]) << "\n";
    for (size_t k = 1; k < lines.size(); ++k) out << comment_indent(kKeyColumn) << lines[k] << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_help TEMPLATE OUTPUT\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "make_help: cannot read " << argv[1] << "\n";
    return 1;
  }
  std::ostringstream text;
  std::string line;
  while (std::getline(in, line)) write_line(text, line);
  std::ofstream out(argv[2]);
  out << text.str();
  out.close();
  if (!out) {
    std::cerr << "make_help: cannot write " << argv[2] << "\n";
    std::remove(argv[2]);
    return 1;
  }
  return 0;
}
