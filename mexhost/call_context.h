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

}  // namespace mexhost::detail
