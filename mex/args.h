// Argument checks shared by the MEX gateways. Every check raises a host error on the calling
// thread, with the identifier "<plug-in>:<reason>", before anything is computed. Built into each
// plug-in against the mex.h of the host it targets (GNU Octave, MATLAB or the test host).
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "common/status.h"
#include "common/volume.h"
#include "mex.h"

namespace volnlm::mex {

// A volume argument as the filters see it: its extents, and the host's own shape of it, which
// is passed on unchanged to the arrays created for the call.
struct VolumeArg {
  Extents extents;
  int32_t count = 0;  // voxel count
  mwSize ndims = 0;
  const mwSize* dims = nullptr;
};

class Gateway {
 public:
  explicit Gateway(const char* plugin) : plugin_(plugin) {}

  // Raises "<plug-in>:<reason>" with the message. Never returns.
  [[noreturn]] void fail(const std::string& reason, const std::string& message) const;
  [[noreturn]] void fail(const ArgError& error) const { fail(error.reason, error.message); }

  // Exactly `inputs` inputs and at most one output, else nargin / nargout errors citing usage.
  void check_counts(int nlhs, int nrhs, int inputs, const char* usage) const;

  // A real, full array of the class, with no non-singleton dimension past the third, whose
  // voxel count the signed 32-bit indexing can hold. A 2-D array is one slice.
  VolumeArg volume(const mxArray* a, mxClassID class_id, const char* what,
                   const char* reason) const;

  // A real numeric or logical scalar that is neither NaN nor infinite.
  double finite_scalar(const mxArray* a, const char* what, const char* reason) const;

  // A finite scalar whose truncation toward zero fits a signed 32-bit integer.
  int32_t int_scalar(const mxArray* a, const char* what, const char* reason) const;

  // Any real numeric or logical scalar; its truncation where that fits, else 0.
  int32_t lenient_int_scalar(const mxArray* a, const char* what, const char* reason) const;

  // Turns a failed filter call into its host error; "threads" also prints the console message.
  void report(Status status) const;

  // Raises "<plug-in>:memory" without taking memory of its own. Never returns.
  [[noreturn]] void out_of_memory() const;

  // Runs body(); a std::bad_alloc escaping it becomes the "memory" host error, raised after the
  // handler has ended (a host's own error may itself be a standard exception, which a handler
  // still in progress would swallow or terminate on). Any other exception, the host's errors
  // included, passes through untouched.
  template <class Body>
  void run(Body&& body) const {
    bool short_of_memory = false;
    try {
      body();
    } catch (const std::bad_alloc&) {
      short_of_memory = true;
    }
    if (short_of_memory) out_of_memory();
  }

  // Creates a real array of the volume's shape and class through the host.
  mxArray* create(const VolumeArg& shape, mxClassID class_id) const;

 private:
  const mxArray* scalar_arg(const mxArray* a, const char* what, const char* reason) const;
  const char* plugin_;
};

}  // namespace volnlm::mex
