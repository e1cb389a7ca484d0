// mex service calls of the test host, and the bookkeeping of a running call.
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "mex.h"
#include "mexhost/call_context.h"
#include "mexhost/host_error.h"

namespace mexhost::detail {

struct CallState {
  std::unordered_set<mxArray_tag*> created;
  std::string printed;
};

namespace {

thread_local CallState* current_call = nullptr;

std::string format(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  return out;
}

}  // namespace

void track(mxArray_tag* a) {
  if (current_call != nullptr) current_call->created.insert(a);
}

void untrack(mxArray_tag* a) {
  if (current_call != nullptr) current_call->created.erase(a);
}

void print(const std::string& text) {
  if (current_call != nullptr) {
    current_call->printed += text;
  } else {
    std::fputs(text.c_str(), stdout);
  }
}

void host_out_of_memory() {
  const FaultsSuspended spared;
  throw HostError("testhost:outOfMemory", "out of memory or dimension too large");
}

CallScope::CallScope() : state_(new CallState) {
  current_call = state_;
}

CallScope::~CallScope() {
  current_call = nullptr;
  for (mxArray_tag* a : state_->created) mxDestroyArray(a);
  delete state_;
}

void CallScope::keep(mxArray_tag* a) {
  state_->created.erase(a);
}

const std::string& CallScope::printed() const {
  return state_->printed;
}

size_t CallScope::held() const {
  return state_->created.size();
}

}  // namespace mexhost::detail

extern "C" {

int mexPrintf(const char* fmt, ...) {
  const mexhost::detail::FaultsSuspended spared;
  va_list args;
  va_start(args, fmt);
  const std::string text = mexhost::detail::format(fmt, args);
  va_end(args);
  mexhost::detail::print(text);
  return static_cast<int>(text.size());
}

void mexErrMsgIdAndTxt(const char* identifier, const char* fmt, ...) {
  const mexhost::detail::FaultsSuspended spared;
  va_list args;
  va_start(args, fmt);
  std::string text = mexhost::detail::format(fmt, args);
  va_end(args);
  throw mexhost::HostError(identifier, std::move(text));
}

// A warning goes to the call's console as "Warning [<id>]: <text>", where tests can read it.
void mexWarnMsgIdAndTxt(const char* identifier, const char* fmt, ...) {
  const mexhost::detail::FaultsSuspended spared;
  va_list args;
  va_start(args, fmt);
  const std::string text = mexhost::detail::format(fmt, args);
  va_end(args);
  mexhost::detail::print(std::string("Warning [") + identifier + "]: " + text + "\n");
}

void mexErrMsgTxt(const char* message) {
  const mexhost::detail::FaultsSuspended spared;
  throw mexhost::HostError("", message);
}

}  // extern "C"
