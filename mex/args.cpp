#include "mex/args.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/scalar.h"
#include "common/shape_check.h"
#include "common/text.h"

namespace volnlm::mex {

namespace {

const char* class_name(mxClassID id) {
  switch (id) {
    case mxDOUBLE_CLASS:
      return "double";
    case mxSINGLE_CLASS:
      return "single";
    default:
      return "numeric";
  }
}

}  // namespace

void Gateway::fail(const std::string& reason, const std::string& message) const {
  const std::string id = std::string(plugin_) + ":" + reason;
  mexErrMsgIdAndTxt(id.c_str(), "%s", message.c_str());
  // A host error does not return; this keeps the promise if one ever did.
  std::abort();
}

void Gateway::check_counts(int nlhs, int nrhs, int inputs, const char* usage) const {
  if (nrhs != inputs) {
    fail("nargin", "expected " + std::to_string(inputs) + " inputs, got " + std::to_string(nrhs) +
                       "; usage: " + usage);
  }
  if (nlhs > 1) {
    fail("nargout",
         "returns one output, but " + std::to_string(nlhs) + " were requested; usage: " + usage);
  }
}

VolumeArg Gateway::volume(const mxArray* a, mxClassID class_id, const char* what,
                          const char* reason) const {
  const char* want = class_name(class_id);
  if (mxGetClassID(a) != class_id || mxIsComplex(a) || mxIsSparse(a)) {
    std::string got = mxIsSparse(a)    ? "a sparse array"
                      : mxIsComplex(a) ? "a complex array"
                                       : "class ";
    if (!mxIsSparse(a) && !mxIsComplex(a)) got += mxGetClassName(a);
    fail(reason, std::string(what) + " must be a real, full " + want + " array; got " + got);
  }
  VolumeArg v;
  v.ndims = mxGetNumberOfDimensions(a);
  v.dims = mxGetDimensions(a);
  int64_t d[3] = {1, 1, 1};
  for (mwSize i = 0; i < v.ndims; ++i) {
    // An extent past any signed 64-bit count is as much too large as one past the indexing.
    const int64_t extent =
        v.dims[i] > static_cast<mwSize>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(v.dims[i]);
    if (i < 3) {
      d[i] = extent;
    } else if (extent != 1) {
      fail("dims", std::string(what) +
                       " must have at most three non-singleton dimensions; dimension " +
                       std::to_string(i + 1) + " is " + std::to_string(v.dims[i]));
    }
  }
  if (const auto error = check_shape(d, what)) fail(*error);
  v.extents = extents_of(d);
  v.count = voxel_count(v.extents);
  return v;
}

const mxArray* Gateway::scalar_arg(const mxArray* a, const char* what, const char* reason) const {
  if (mxGetNumberOfElements(a) == 0)
    fail(reason, std::string(what) + " must be a scalar; got an empty array");
  if (!(mxIsNumeric(a) || mxIsLogical(a)) || mxIsComplex(a) || mxGetNumberOfElements(a) != 1) {
    std::string got = mxIsComplex(a) ? "a complex value"
                      : mxGetNumberOfElements(a) != 1
                          ? "an array of " + std::to_string(mxGetNumberOfElements(a)) + " elements"
                          : std::string("class ") + mxGetClassName(a);
    fail(reason, std::string(what) + " must be a real numeric or logical scalar; got " + got);
  }
  return a;
}

double Gateway::finite_scalar(const mxArray* a, const char* what, const char* reason) const {
  const double v = mxGetScalar(scalar_arg(a, what, reason));
  if (!std::isfinite(v)) fail(reason, std::string(what) + " must be finite; got " + number_text(v));
  return v;
}

int32_t Gateway::int_scalar(const mxArray* a, const char* what, const char* reason) const {
  const double v = finite_scalar(a, what, reason);
  const auto t = truncate_to_int32(v);
  if (!t) {
    fail(reason, std::string(what) +
                     " must truncate to a signed 32-bit integer (-2147483648 to "
                     "2147483647); got " +
                     number_text(v));
  }
  return *t;
}

int32_t Gateway::lenient_int_scalar(const mxArray* a, const char* what, const char* reason) const {
  return truncate_to_int32(mxGetScalar(scalar_arg(a, what, reason))).value_or(0);
}

void Gateway::report(Status status) const {
  switch (status) {
    case Status::ok:
      return;
    case Status::threads:
      mexPrintf("%s", kThreadsMessage);
      fail("threads", "worker threads cannot be created");
    case Status::memory:
      out_of_memory();
    case Status::invalid:
      // The gateway checks every argument first; this keeps a missed check from passing silently.
      fail("arguments", "the filter refused its arguments");
    case Status::stopped:
      fail("interrupted", "interrupted before it finished; no result was made");
  }
}

void Gateway::out_of_memory() const {
  char id[96];
  std::snprintf(id, sizeof id, "%s:memory", plugin_);
  mexErrMsgIdAndTxt(id, "%s", "not enough memory for the filter's working buffers");
  std::abort();
}

mxArray* Gateway::create(const VolumeArg& shape, mxClassID class_id) const {
  return mxCreateNumericArray(shape.ndims, shape.dims, class_id, mxREAL);
}

}  // namespace volnlm::mex
