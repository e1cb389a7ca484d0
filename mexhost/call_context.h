// Internal bookkeeping of the test host: which arrays a running plug-in call has created,
// what it has printed, and the error it raised.
#pragma once

#include <string>

struct mxArray_tag;

namespace mexhost::detail {

// Records an array created while a plug-in call runs on this thread; outside a call it does
// nothing (the array belongs to the test that created it).
void track(mxArray_tag* array);
void untrack(mxArray_tag* array);

// Appends text printed by the plug-in to the current call's console.
void print(const std::string& text);

// Raises the host error for an array the host itself cannot allocate.
[[noreturn]] void host_out_of_memory();

// Marks a plug-in call running for the allocation faults, for the life of the object.
class CallRunning {
 public:
  CallRunning();
  ~CallRunning();
  CallRunning(const CallRunning&) = delete;
  CallRunning& operator=(const CallRunning&) = delete;
};

// Keeps allocation faults off this thread while the host formats and raises an error or
// prints: a host's own services do not fail for the plug-in's shortage.
class FaultsSuspended {
 public:
  FaultsSuspended();
  ~FaultsSuspended();
  FaultsSuspended(const FaultsSuspended&) = delete;
  FaultsSuspended& operator=(const FaultsSuspended&) = delete;
};

// True for the one array creation that an armed fault makes fail, during a plug-in call.
bool array_creation_fails();

}  // namespace mexhost::detail
