// The test host as tests see it: owning array handles, a loader that opens a plug-in by file
// name and calls its mexFunction as a host does, and the host's fault injection.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mex.h"

namespace mexhost {

// Owns an mxArray for a test; destroys it at the end of its life.
class Array {
 public:
  Array() = default;
  explicit Array(mxArray* array) : array_(array) {}
  Array(Array&& other) noexcept : array_(other.array_) { other.array_ = nullptr; }
  Array& operator=(Array&& other) noexcept;
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  ~Array() { mxDestroyArray(array_); }

  mxArray* get() const { return array_; }
  std::vector<size_t> dims() const;
  mxClassID class_id() const { return mxGetClassID(array_); }
  template <class T>
  T* data() const {
    return static_cast<T*>(mxGetData(array_));
  }
  template <class T>
  std::vector<T> values() const {
    return std::vector<T>(data<T>(), data<T>() + mxGetNumberOfElements(array_));
  }

 private:
  mxArray* array_ = nullptr;
};

// A real (or complex) array of the class, zero-filled.
Array make_array(mxClassID class_id, const std::vector<size_t>& dims,
                 mxComplexity complexity = mxREAL);
Array make_doubles(const std::vector<size_t>& dims, const std::vector<double>& values);
Array make_singles(const std::vector<size_t>& dims, const std::vector<float>& values);
Array scalar(double value);

// What one call of a plug-in gave back.
struct CallResult {
  bool ok = false;             // mexFunction returned without raising a host error
  std::string error_id;        // identifier of the raised error
  std::string error_message;   // its message
  std::string printed;         // everything the plug-in printed through mexPrintf
  std::vector<Array> outputs;  // the output slots, on success
};

// A plug-in opened by file name.
class Plugin {
 public:
  explicit Plugin(const std::string& path);  // throws std::runtime_error when it cannot be opened
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // Calls mexFunction with nlhs output slots and the inputs. Arrays the plug-in created and did
  // not hand back are reclaimed afterwards, as a host does; on error every created array is.
  CallResult call(int nlhs, const std::vector<const mxArray*>& inputs) const;

 private:
  void* handle_ = nullptr;
  using Entry = void (*)(int, mxArray*[], int, const mxArray*[]);
  Entry entry_ = nullptr;
};

// Path of a test-host plug-in built by this project, from VOLNLM_TESTHOST_DIR.
std::string plugin_path(const std::string& name);

// Thread-start fault injection for the whole process: after `starts` more successful thread
// starts, every further start fails with EAGAIN; a negative value turns the fault off.
void fail_thread_starts_after(int starts);

// Allocation fault injection: while a plug-in call runs (on any thread), the k-th call of
// malloc or calloc from then on (k = 0 is the next one) returns null, once; the host's own
// error and console calls are spared. A negative k disarms it. Pending is true while the fault
// is armed and has not struck yet.
void fail_allocation(long k);
bool allocation_fault_pending();

// Makes the k-th array creation of the host during plug-in calls fail, once, as a host that
// runs out of memory does: the host raises its own out-of-memory error. Negative disarms it.
void fail_array_creation(long k);
bool array_creation_fault_pending();

// Whether the host's thread-start and allocation faults are in effect in this process. A
// sanitizer runtime in the executable replaces the calls the host interposes; tests of the
// faults then have nothing to test.
bool thread_faults_in_effect();
bool allocation_faults_in_effect();

// Identifier of the error the host raises when it cannot allocate an array.
inline constexpr const char* kHostOutOfMemoryId = "testhost:outOfMemory";

// Number of arrays alive in the process, created by tests or plug-ins; a call that leaks
// arrays shows up as a count that grows across calls.
size_t live_arrays();

}  // namespace mexhost
