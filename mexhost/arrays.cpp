// mx array calls of the test host: creation, inspection and destruction of arrays.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "mex.h"
#include "mexhost/call_context.h"
#include "mexhost/host.h"

struct mxArray_tag {
  mxClassID class_id = mxDOUBLE_CLASS;
  bool complex = false;
  bool sparse = false;
  std::vector<mwSize> dims;
  size_t element_size = 8;
  void* real = nullptr;
  void* imag = nullptr;
  std::vector<std::string> fields;  // a struct's field names; its elements hold one slot each
};

namespace {

std::atomic<size_t> live_count{0};
constexpr mwSize kScalarDims[2] = {1, 1};

size_t element_size_of(mxClassID id) {
  switch (id) {
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS:
      return 8;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
      return 4;
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
    case mxCHAR_CLASS:
      return 2;
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
    case mxLOGICAL_CLASS:
      return 1;
    case mxCELL_CLASS:
    case mxSTRUCT_CLASS:
      return sizeof(void*);
    default:
      return 0;
  }
}

// Element count of the dimensions; SIZE_MAX when the product overflows.
size_t count_of(const std::vector<mwSize>& dims) {
  size_t n = 1;
  for (mwSize d : dims) {
    if (__builtin_mul_overflow(n, d, &n)) return SIZE_MAX;
  }
  return n;
}

// Trailing singleton dimensions beyond the second are dropped, as MATLAB and Octave do.
std::vector<mwSize> normalised_dims(mwSize ndim, const mwSize* dims) {
  std::vector<mwSize> out(dims, dims + ndim);
  while (out.size() > 2 && out.back() == 1) out.pop_back();
  while (out.size() < 2) out.push_back(out.empty() ? 0 : 1);
  return out;
}

// Zero-filled, 64-byte aligned storage, at least one byte so the pointer is never null.
void* storage(size_t bytes) {
  if (bytes > SIZE_MAX - 128) return nullptr;
  const size_t padded = (bytes + 63) / 64 * 64 + 64;
  void* p = std::aligned_alloc(64, padded);
  if (p != nullptr) std::memset(p, 0, padded);
  return p;
}

// The slots of a cell (one per element) or struct (one per element and field), else none.
size_t slot_count(const mxArray_tag* a) {
  if (a->class_id == mxCELL_CLASS) return count_of(a->dims);
  if (a->class_id == mxSTRUCT_CLASS) return count_of(a->dims) * a->fields.size();
  return 0;
}

mxArray** slots(const mxArray_tag* a) {
  return static_cast<mxArray**>(a->real);
}

void release(mxArray_tag* a) {
  std::free(a->real);
  std::free(a->imag);
  delete a;
}

// Creates an array as a host does: when any part of it cannot be had, nothing is kept and
// the host raises its own out-of-memory error.
mxArray* create(mxClassID id, mwSize ndim, const mwSize* dims, bool complex, size_t fields = 1) {
  mxArray_tag* a = nullptr;
  bool made = !mexhost::detail::array_creation_fails();
  if (made) {
    try {
      a = new mxArray_tag;
      a->class_id = id;
      a->complex = complex;
      a->dims = normalised_dims(ndim, dims);
      a->element_size = element_size_of(id);
      const size_t count = count_of(a->dims);
      size_t bytes = 0;
      made = count != SIZE_MAX && !__builtin_mul_overflow(count, a->element_size, &bytes) &&
             !__builtin_mul_overflow(bytes, fields, &bytes);
      if (made) a->real = storage(bytes);
      if (made && complex) a->imag = storage(bytes);
      made = made && a->real != nullptr && (!complex || a->imag != nullptr);
      if (made) mexhost::detail::track(a);
    } catch (const std::bad_alloc&) {
      made = false;
    }
  }
  if (!made) {
    if (a != nullptr) release(a);
    mexhost::detail::host_out_of_memory();
  }
  ++live_count;
  return a;
}

double element_as_double(const mxArray* a, size_t i) {
  const void* p = a->real;
  switch (a->class_id) {
    case mxDOUBLE_CLASS:
      return static_cast<const double*>(p)[i];
    case mxSINGLE_CLASS:
      return static_cast<const float*>(p)[i];
    case mxINT8_CLASS:
      return static_cast<const int8_t*>(p)[i];
    case mxUINT8_CLASS:
      return static_cast<const uint8_t*>(p)[i];
    case mxINT16_CLASS:
      return static_cast<const int16_t*>(p)[i];
    case mxUINT16_CLASS:
      return static_cast<const uint16_t*>(p)[i];
    case mxINT32_CLASS:
      return static_cast<const int32_t*>(p)[i];
    case mxUINT32_CLASS:
      return static_cast<const uint32_t*>(p)[i];
    case mxINT64_CLASS:
      return static_cast<double>(static_cast<const int64_t*>(p)[i]);
    case mxUINT64_CLASS:
      return static_cast<double>(static_cast<const uint64_t*>(p)[i]);
    case mxLOGICAL_CLASS:
      return static_cast<const bool*>(p)[i] ? 1.0 : 0.0;
    case mxCHAR_CLASS:
      return static_cast<const char16_t*>(p)[i];
    default:
      return 0.0;
  }
}

}  // namespace

extern "C" {

mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid,
                              mxComplexity flag) {
  return create(classid, ndim, dims, flag == mxCOMPLEX);
}

mxArray* mxCreateDoubleScalar(double value) {
  mxArray* a = create(mxDOUBLE_CLASS, 2, kScalarDims, false);
  *static_cast<double*>(a->real) = value;
  return a;
}

mxArray* mxCreateLogicalScalar(mxLogical value) {
  mxArray* a = create(mxLOGICAL_CLASS, 2, kScalarDims, false);
  *static_cast<bool*>(a->real) = value;
  return a;
}

mxArray* mxCreateString(const char* text) {
  const size_t n = std::strlen(text);
  const mwSize dims[2] = {n == 0 ? 0u : 1u, n};
  mxArray* a = create(mxCHAR_CLASS, 2, dims, false);
  for (size_t i = 0; i < n; ++i)
    static_cast<char16_t*>(a->real)[i] = static_cast<unsigned char>(text[i]);
  return a;
}

mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag) {
  const mwSize dims[2] = {m, n};
  return create(mxDOUBLE_CLASS, 2, dims, flag == mxCOMPLEX);
}

mxArray* mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char** fieldnames) {
  const mwSize dims[2] = {m, n};
  const size_t count = nfields > 0 ? static_cast<size_t>(nfields) : 0;
  mxArray* a = create(mxSTRUCT_CLASS, 2, dims, false, count);
  try {
    a->fields.assign(fieldnames, fieldnames + count);
  } catch (const std::bad_alloc&) {
    mxDestroyArray(a);
    mexhost::detail::host_out_of_memory();
  }
  return a;
}

mxArray* mxCreateCellMatrix(mwSize m, mwSize n) {
  const mwSize dims[2] = {m, n};
  return create(mxCELL_CLASS, 2, dims, false);
}

mxArray* mxCreateSparse(mwSize m, mwSize n, mwSize, mxComplexity flag) {
  // Only the flags matter to the gateways, which must refuse sparse input; the storage is dense.
  const mwSize dims[2] = {m, n};
  mxArray* a = create(mxDOUBLE_CLASS, 2, dims, flag == mxCOMPLEX);
  a->sparse = true;
  return a;
}

void mxDestroyArray(mxArray* a) {
  if (a == nullptr) return;
  for (size_t i = 0, n = slot_count(a); i < n; ++i) mxDestroyArray(slots(a)[i]);
  mexhost::detail::untrack(a);
  --live_count;
  std::free(a->real);
  std::free(a->imag);
  delete a;
}

double* mxGetPr(const mxArray* a) {
  return static_cast<double*>(a->real);
}
double* mxGetPi(const mxArray* a) {
  return static_cast<double*>(a->imag);
}
void* mxGetData(const mxArray* a) {
  return a->real;
}

double mxGetScalar(const mxArray* a) {
  if (count_of(a->dims) == 0) {
    mexErrMsgIdAndTxt("testhost:emptyScalar", "invalid conversion from empty value to real scalar");
  }
  return element_as_double(a, 0);
}

mwSize mxGetNumberOfDimensions(const mxArray* a) {
  return a->dims.size();
}
const mwSize* mxGetDimensions(const mxArray* a) {
  return a->dims.data();
}
size_t mxGetNumberOfElements(const mxArray* a) {
  return count_of(a->dims);
}
size_t mxGetM(const mxArray* a) {
  return a->dims[0];
}
size_t mxGetN(const mxArray* a) {
  return count_of(a->dims) / (a->dims[0] == 0 ? 1 : a->dims[0]);
}
mxClassID mxGetClassID(const mxArray* a) {
  return a->class_id;
}

const char* mxGetClassName(const mxArray* a) {
  static const char* const names[] = {"unknown", "cell",           "struct", "logical", "char",
                                      "void",    "double",         "single", "int8",    "uint8",
                                      "int16",   "uint16",         "int32",  "uint32",  "int64",
                                      "uint64",  "function_handle"};
  const auto id = static_cast<size_t>(a->class_id);
  return id < sizeof names / sizeof names[0] ? names[id] : "unknown";
}

bool mxIsComplex(const mxArray* a) {
  return a->complex;
}
bool mxIsSparse(const mxArray* a) {
  return a->sparse;
}
bool mxIsNumeric(const mxArray* a) {
  return a->class_id >= mxDOUBLE_CLASS && a->class_id <= mxUINT64_CLASS;
}
bool mxIsLogical(const mxArray* a) {
  return a->class_id == mxLOGICAL_CLASS;
}
bool mxIsDouble(const mxArray* a) {
  return a->class_id == mxDOUBLE_CLASS;
}
bool mxIsSingle(const mxArray* a) {
  return a->class_id == mxSINGLE_CLASS;
}
bool mxIsEmpty(const mxArray* a) {
  return count_of(a->dims) == 0;
}

bool mxIsChar(const mxArray* a) {
  return a->class_id == mxCHAR_CLASS;
}
bool mxIsCell(const mxArray* a) {
  return a->class_id == mxCELL_CLASS;
}
bool mxIsStruct(const mxArray* a) {
  return a->class_id == mxSTRUCT_CLASS;
}

int mxGetString(const mxArray* a, char* buf, mwSize buflen) {
  if (a->class_id != mxCHAR_CLASS || buflen == 0) return 1;
  const size_t n = count_of(a->dims);
  const size_t copied = n < buflen - 1 ? n : buflen - 1;
  for (size_t i = 0; i < copied; ++i) {
    const char16_t c = static_cast<const char16_t*>(a->real)[i];
    buf[i] = c < 128 ? static_cast<char>(c) : '?';
  }
  buf[copied] = '\0';
  return copied == n ? 0 : 1;
}

void mxSetCell(mxArray* cell, mwIndex index, mxArray* value) {
  if (cell->class_id != mxCELL_CLASS || index >= count_of(cell->dims)) return;
  mxArray*& slot = slots(cell)[index];
  if (slot != value) mxDestroyArray(slot);
  slot = value;
  if (value != nullptr) mexhost::detail::untrack(value);  // the cell owns it now
}

mxArray* mxGetCell(const mxArray* cell, mwIndex index) {
  if (cell->class_id != mxCELL_CLASS || index >= count_of(cell->dims)) return nullptr;
  return slots(cell)[index];
}

namespace {
// The slot of a struct's element and field, or null when there is none.
mxArray** field_slot(const mxArray* s, mwIndex index, const char* name) {
  if (s->class_id != mxSTRUCT_CLASS || index >= count_of(s->dims)) return nullptr;
  for (size_t f = 0; f < s->fields.size(); ++f) {
    if (s->fields[f] == name) return &slots(s)[index * s->fields.size() + f];
  }
  return nullptr;
}
}  // namespace

void mxSetField(mxArray* s, mwIndex index, const char* fieldname, mxArray* value) {
  mxArray** slot = field_slot(s, index, fieldname);
  if (slot == nullptr) return;
  if (*slot != value) mxDestroyArray(*slot);
  *slot = value;
  if (value != nullptr) mexhost::detail::untrack(value);  // the struct owns it now
}

mxArray* mxGetField(const mxArray* s, mwIndex index, const char* fieldname) {
  mxArray** slot = field_slot(s, index, fieldname);
  return slot == nullptr ? nullptr : *slot;
}

int mxGetNumberOfFields(const mxArray* s) {
  return s->class_id == mxSTRUCT_CLASS ? static_cast<int>(s->fields.size()) : 0;
}

const char* mxGetFieldNameByNumber(const mxArray* s, int number) {
  if (s->class_id != mxSTRUCT_CLASS || number < 0 ||
      static_cast<size_t>(number) >= s->fields.size())
    return nullptr;
  return s->fields[static_cast<size_t>(number)].c_str();
}

}  // extern "C"

namespace mexhost {
size_t live_arrays() {
  return live_count.load();
}
}  // namespace mexhost
