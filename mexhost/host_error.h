// The error a plug-in raises through mexErrMsgIdAndTxt, carried to the host's call site.
#pragma once

#include <stdexcept>
#include <string>

struct mxArray_tag;

namespace mexhost {

// Derived from std::runtime_error as GNU Octave's own error is, so that a gateway which calls
// the host inside a catch of standard exceptions misbehaves here as it would there.
struct HostError : std::runtime_error {
  HostError(std::string id, const std::string& message)
      : std::runtime_error(message), id(std::move(id)) {}
  std::string id;
};

namespace detail {

struct CallState;

// Marks a plug-in call in progress on this thread; reclaims its arrays when it ends.
class CallScope {
 public:
  CallScope();
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  void keep(mxArray_tag* array);  // hands a created array to the caller
  const std::string& printed() const;
  size_t held() const;

 private:
  CallState* state_;
};

}  // namespace detail
}  // namespace mexhost
