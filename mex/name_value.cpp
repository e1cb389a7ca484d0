#include "mex/name_value.h"

#include <cctype>
#include <cmath>
#include <vector>

#include "common/scalar.h"
#include "common/text.h"

namespace volnlm::mex {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string names_text(const std::vector<NameValueOption>& options) {
  std::string text;
  for (size_t k = 0; k < options.size(); ++k) {
    if (k > 0) text += k + 1 == options.size() ? " or " : ", ";
    text += std::string("'") + options[k].name + "'";
  }
  return text;
}

// A real numeric scalar, else the option's host error.
const mxArray* numeric_scalar(const Gateway& gate, const mxArray* a, const std::string& what,
                              const char* reason) {
  if (!is_real_numeric(a) || mxGetNumberOfElements(a) != 1) {
    const std::string got =
        is_real_numeric(a) ? "an array of " + std::to_string(mxGetNumberOfElements(a)) + " elements"
                           : kind_of(a);
    gate.fail(reason, what + " must be a real numeric scalar; got " + got);
  }
  return a;
}

}  // namespace

bool is_real_numeric(const mxArray* a) {
  return mxIsNumeric(a) && !mxIsComplex(a) && !mxIsSparse(a);
}

std::string kind_of(const mxArray* a) {
  if (mxIsSparse(a)) return "a sparse array";
  if (mxIsComplex(a)) return "a complex array";
  return std::string("class ") + mxGetClassName(a);
}

std::optional<std::string> text_of(const mxArray* a) {
  if (mxGetClassID(a) != mxCHAR_CLASS) return std::nullopt;
  const size_t n = mxGetNumberOfElements(a);
  if (n > 0 && mxGetM(a) != 1) return std::nullopt;  // a char matrix is not one text
  std::vector<char> buffer(n + 1, '\0');
  if (mxGetString(a, buffer.data(), static_cast<mwSize>(buffer.size())) != 0) return std::nullopt;
  return std::string(buffer.data());
}

void read_name_values(const Gateway& gate, const mxArray* const* args, int count, int first,
                      const std::vector<NameValueOption>& options) {
  for (int k = 0; k < count; k += 2) {
    const std::optional<std::string> name = text_of(args[k]);
    const std::string position = "input " + std::to_string(first + k);
    if (!name) {
      gate.fail("optionName", position + " must be an option name (text) such as " +
                                  names_text(options) + "; got " + kind_of(args[k]));
    }
    const NameValueOption* option = nullptr;
    for (const NameValueOption& s : options) {
      if (lower(s.name) == lower(*name)) option = &s;
    }
    if (option == nullptr) {
      gate.fail("unknownOption", "unknown option '" + *name + "' (" + position +
                                     "); the options are " + names_text(options));
    }
    if (k + 1 >= count) {
      gate.fail("optionValue", std::string("option '") + option->name + "' (" + position +
                                   ") has no value; give it as a name-value pair");
    }
    option->take(args[k + 1]);
  }
}

std::string lower_text_value(const Gateway& gate, const mxArray* a, const std::string& what,
                             const char* reason) {
  const std::optional<std::string> text = text_of(a);
  if (!text) gate.fail(reason, what + " must be text; got " + kind_of(a));
  return lower(*text);
}

bool flag_value(const Gateway& gate, const mxArray* a, const std::string& what,
                const char* reason) {
  std::string got;
  if (!(mxIsLogical(a) || mxIsNumeric(a)) || mxIsComplex(a) || mxIsSparse(a)) {
    got = kind_of(a);
  } else if (mxGetNumberOfElements(a) != 1) {
    got = "an array of " + std::to_string(mxGetNumberOfElements(a)) + " elements";
  } else {
    const double v = mxGetScalar(a);
    if (v == 0.0 || v == 1.0) return v == 1.0;
    got = number_text(v);
  }
  gate.fail(reason, what + " must be true or false (or 1 or 0); got " + got);
}

double number_value(const Gateway& gate, const mxArray* a, const std::string& what,
                    const char* reason) {
  return mxGetScalar(numeric_scalar(gate, a, what, reason));
}

int32_t whole_value(const Gateway& gate, const mxArray* a, const std::string& what,
                    const char* reason) {
  const double v = number_value(gate, a, what, reason);
  if (!(std::isfinite(v) && v == std::trunc(v) && v >= -2147483648.0 && v <= 2147483647.0)) {
    gate.fail(reason, what + " must be a whole number (fitting a signed 32-bit integer); got " +
                          number_text(v));
  }
  return static_cast<int32_t>(v);
}

std::vector<double> numbers_value(const Gateway& gate, const mxArray* a, const std::string& what,
                                  const char* reason) {
  const mwSize ndims = mxGetNumberOfDimensions(a);
  const mwSize* dims = mxGetDimensions(a);
  size_t long_dims = 0;
  for (mwSize i = 0; i < ndims; ++i) long_dims += dims[i] > 1 ? 1 : 0;
  if (!is_real_numeric(a) || long_dims > 1) {
    const std::string got = is_real_numeric(a) ? "an array that is not a vector" : kind_of(a);
    gate.fail(reason, what + " must be a real number or a vector of them; got " + got);
  }
  std::vector<double> values;
  visit_values(a, [&](const auto* data, size_t n) {
    values.reserve(n);
    for (size_t i = 0; i < n; ++i) values.push_back(static_cast<double>(data[i]));
  });
  return values;
}

}  // namespace volnlm::mex
