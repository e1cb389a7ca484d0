// Name-value options of the one-call plug-ins: volnlm_denoise(noisy, 'Sigma', 10, ...). Names
// match without regard to case; a later pair replaces an earlier one of the same name. Every
// check raises its host error before anything is computed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mex.h"
#include "mex/args.h"

namespace volnlm::mex {

// One option: its name as the help texts spell it, and what takes its value (checking it and
// raising the option's host error when it is wrong).
struct NameValueOption {
  const char* name;
  std::function<void(const mxArray*)> take;
};

// Reads args[0 .. count) as name-value pairs; `first` is the position of args[0] among the
// call's inputs, for the messages. Raises "optionName" for a name that is not text,
// "unknownOption" for a name not in `options` (the message lists them), "optionValue" for a name
// without a value.
void read_name_values(const Gateway& gate, const mxArray* const* args, int count, int first,
                      const std::vector<NameValueOption>& options);

// The text of a char row vector ('' included), or nothing for any other array.
std::optional<std::string> text_of(const mxArray* a);

// The values an option takes. `what` names the option in messages ("option 'Method'").
// Text (a char row vector), lower-cased.
std::string lower_text_value(const Gateway& gate, const mxArray* a, const std::string& what,
                             const char* reason);
// A logical or real numeric scalar that is 0 or 1.
bool flag_value(const Gateway& gate, const mxArray* a, const std::string& what, const char* reason);
// A real numeric scalar holding a whole number that fits a signed 32-bit integer.
int32_t whole_value(const Gateway& gate, const mxArray* a, const std::string& what,
                    const char* reason);
// A real numeric scalar, as a double (finiteness is the caller's check).
double number_value(const Gateway& gate, const mxArray* a, const std::string& what,
                    const char* reason);
// A real numeric vector (or scalar, or empty), its values as doubles.
std::vector<double> numbers_value(const Gateway& gate, const mxArray* a, const std::string& what,
                                  const char* reason);

// Calls fn(data, count) with the elements of a real numeric or logical array in their own type
// (bool for logical); nothing for any other class.
template <class Fn>
void visit_values(const mxArray* a, Fn&& fn) {
  const void* p = mxGetData(a);
  const size_t n = mxGetNumberOfElements(a);
  switch (mxGetClassID(a)) {
    case mxDOUBLE_CLASS:
      return fn(static_cast<const double*>(p), n);
    case mxSINGLE_CLASS:
      return fn(static_cast<const float*>(p), n);
    case mxINT8_CLASS:
      return fn(static_cast<const int8_t*>(p), n);
    case mxUINT8_CLASS:
      return fn(static_cast<const uint8_t*>(p), n);
    case mxINT16_CLASS:
      return fn(static_cast<const int16_t*>(p), n);
    case mxUINT16_CLASS:
      return fn(static_cast<const uint16_t*>(p), n);
    case mxINT32_CLASS:
      return fn(static_cast<const int32_t*>(p), n);
    case mxUINT32_CLASS:
      return fn(static_cast<const uint32_t*>(p), n);
    case mxINT64_CLASS:
      return fn(static_cast<const int64_t*>(p), n);
    case mxUINT64_CLASS:
      return fn(static_cast<const uint64_t*>(p), n);
    case mxLOGICAL_CLASS:
      return fn(static_cast<const mxLogical*>(p), n);
    default:
      return;
  }
}

// Whether the array is real, full and numeric (logical is not).
bool is_real_numeric(const mxArray* a);

// What an array is, for messages: "class char", "a complex array", "a sparse array".
std::string kind_of(const mxArray* a);

}  // namespace volnlm::mex
