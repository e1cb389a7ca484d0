// libFuzzer target for one MEX gateway, called through the test host with argument lists
// decoded from the input (see mex_args.h). Every call must end in a result of the expected
// shape and class or in a host error of the plug-in (or the host's own out-of-memory error),
// and leave no array behind. Built once per plug-in, with FUZZ_PLUGIN naming it.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "mex_args.h"
#include "mexhost/host.h"

namespace {

#if FUZZ_VOLUME_SINGLE
constexpr mxClassID kVolumeClass = mxSINGLE_CLASS;
#else
constexpr mxClassID kVolumeClass = mxDOUBLE_CLASS;
#endif
// sorvane: noisy, radius, second radius, sigma, guide, flag; blockdenoise: noisy and five scalars.
constexpr fuzz::Slot kSlots[6] = {fuzz::Slot::volume, fuzz::Slot::scalar, fuzz::Slot::scalar,
                                  fuzz::Slot::scalar, FUZZ_SLOT_4,        fuzz::Slot::scalar};
constexpr size_t kElementCap = FUZZ_ELEMENT_CAP;

std::unique_ptr<mexhost::Plugin> plugin;

[[noreturn]] void fault(const std::string& what) {
  std::fprintf(stderr, "%s gateway fault: %s\n", FUZZ_PLUGIN, what.c_str());
  std::abort();
}

std::vector<size_t> dims_of(const mxArray* a) {
  const mwSize* d = mxGetDimensions(a);
  return std::vector<size_t>(d, d + mxGetNumberOfDimensions(a));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* dir = std::getenv("VOLNLM_TESTHOST_DIR");
  plugin = std::make_unique<mexhost::Plugin>(std::string(dir != nullptr ? dir : FUZZ_TESTHOST_DIR) +
                                             "/" + FUZZ_PLUGIN + ".mex");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t live_before = mexhost::live_arrays();
  {
    fuzz::Reader in(data, size);
    const fuzz::CallArgs call = fuzz::decode(in, kSlots, kVolumeClass, kElementCap);
    std::vector<const mxArray*> inputs;
    for (const mexhost::Array& a : call.inputs) inputs.push_back(a.get());
    const mexhost::CallResult r = plugin->call(call.nlhs, inputs);
    const std::string prefix = std::string(FUZZ_PLUGIN) + ":";
    if (r.ok) {
      if (r.outputs.empty() || r.outputs[0].get() == nullptr) fault("success without a result");
      if (r.outputs[0].class_id() != kVolumeClass) fault("result of the wrong class");
      if (r.outputs[0].dims() != dims_of(inputs.at(0)))
        fault("result of another shape than the input");
    } else {
      if (r.error_id.rfind(prefix, 0) != 0 && r.error_id != mexhost::kHostOutOfMemoryId) {
        fault("error identifier '" + r.error_id + "' (" + r.error_message + ")");
      }
      if (r.error_message.empty()) fault("error " + r.error_id + " without a message");
    }
  }
  if (mexhost::live_arrays() != live_before) fault("arrays left behind");
  return 0;
}
