// The test host's loader and the helpers tests use to build arguments.
#include "mexhost/host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "mexhost/call_context.h"
#include "mexhost/host_error.h"

namespace mexhost {

Array& Array::operator=(Array&& other) noexcept {
  if (this != &other) {
    mxDestroyArray(array_);
    array_ = other.array_;
    other.array_ = nullptr;
  }
  return *this;
}

std::vector<size_t> Array::dims() const {
  const mwSize* d = mxGetDimensions(array_);
  return std::vector<size_t>(d, d + mxGetNumberOfDimensions(array_));
}

Array make_array(mxClassID class_id, const std::vector<size_t>& dims, mxComplexity complexity) {
  std::vector<mwSize> d(dims.begin(), dims.end());
  return Array(mxCreateNumericArray(d.size(), d.data(), class_id, complexity));
}

Array make_doubles(const std::vector<size_t>& dims, const std::vector<double>& values) {
  Array a = make_array(mxDOUBLE_CLASS, dims);
  if (values.size() != mxGetNumberOfElements(a.get()))
    throw std::invalid_argument("make_doubles: size");
  std::copy(values.begin(), values.end(), a.data<double>());
  return a;
}

Array make_singles(const std::vector<size_t>& dims, const std::vector<float>& values) {
  Array a = make_array(mxSINGLE_CLASS, dims);
  if (values.size() != mxGetNumberOfElements(a.get()))
    throw std::invalid_argument("make_singles: size");
  std::copy(values.begin(), values.end(), a.data<float>());
  return a;
}

Array scalar(double value) {
  return Array(mxCreateDoubleScalar(value));
}

Plugin::Plugin(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr)
    throw std::runtime_error("cannot open plug-in " + path + ": " + dlerror());
  entry_ = reinterpret_cast<Entry>(dlsym(handle_, "mexFunction"));
  if (entry_ == nullptr) {
    dlclose(handle_);
    throw std::runtime_error("plug-in " + path + " has no mexFunction");
  }
}

Plugin::~Plugin() {
  dlclose(handle_);
}

CallResult Plugin::call(int nlhs, const std::vector<const mxArray*>& inputs) const {
  CallResult result;
  // A host always offers at least one output slot, even when the caller asks for none.
  std::vector<mxArray*> plhs(static_cast<size_t>(std::max(nlhs, 1)), nullptr);
  std::vector<const mxArray*> prhs(inputs);
  detail::CallScope scope;
  try {
    const detail::CallRunning running;
    entry_(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
    result.ok = true;
  } catch (const HostError& e) {
    result.error_id = e.id;
    result.error_message = e.what();
  }
  result.printed = scope.printed();
  if (result.ok) {
    for (int i = 0; i < std::max(nlhs, 1); ++i) {
      if (plhs[i] != nullptr) scope.keep(plhs[i]);
      result.outputs.emplace_back(plhs[i]);
    }
  }
  return result;  // the scope reclaims every other array created during the call
}

std::string plugin_path(const std::string& name) {
  const char* dir = std::getenv("VOLNLM_TESTHOST_DIR");
  if (dir == nullptr) throw std::runtime_error("VOLNLM_TESTHOST_DIR is not set");
  return std::string(dir) + "/" + name + ".mex";
}

}  // namespace mexhost
