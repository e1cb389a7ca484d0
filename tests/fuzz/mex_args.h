// Decodes a fuzz input into the argument list of one MEX call through the test host.
//
// The input is read front to back, one byte at a time (a missing byte reads as zero, so every
// input decodes and a short one gives the plain valid call):
//   nrhs   byte < 192: six inputs, else byte % 9
//   nlhs   byte < 192: one output, else byte % 3
//   then per input:
//     kind   0: the class the position expects (the filter's class for a volume, double for a
//               scalar); else one of the classes below by kind % 14, complex when bit 6 is set
//     shape  shape % 8: 0 a 1x1 scalar, 1 the shape of the first input, 2..6 that many
//               dimensions (one byte each: < 200 gives byte % 10, else a huge extent), 7 empty
//     values one byte per element, at most the element cap of them (see value_of and voxel_of)
// Shapes whose element count passes the cap are emptied (their first extent becomes zero), so
// that a valid call stays quick; huge extents only survive where another extent is zero.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "mex.h"
#include "mexhost/host.h"

namespace fuzz {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  uint8_t byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  double raw_double() {
    uint8_t b[8];
    for (uint8_t& x : b) x = byte();
    double v;
    std::memcpy(&v, b, sizeof v);
    return v;
  }

 private:
  const uint8_t* p_;
  size_t n_;
};

// What a position of the argument list normally holds.
enum class Slot { volume, scalar };

struct CallArgs {
  int nlhs = 1;
  std::vector<mexhost::Array> inputs;
};

// Scalars that sit on or next to the edges of the conversions.
inline double value_of(uint8_t b, Reader& in) {
  const double inf = std::numeric_limits<double>::infinity();
  static const double table[] = {
      1,
      2,
      0,
      3,
      -1,
      0.5,
      2.9,
      -0.5,
      std::nan(""),
      inf,
      -inf,
      1e308,
      -1e308,
      2147483647.0,
      2147483648.0,
      -2147483648.0,
      -2147483649.0,
      1e12,
      -1e12,
      1e39,
      -1e39,
      1e-310,
      5e-324,
      20,
      30,
      100,
      4,
      8,
      1e-50,
      3e9,
      -0.0,
      255,
      6,
      7,
      -2,
  };
  constexpr size_t n = sizeof table / sizeof table[0];
  if (b >= 0xF0) return in.raw_double();
  return table[b % n];
}

// Voxel values: mostly plain intensities, sometimes the values the filters must carry through.
inline double voxel_of(uint8_t b) {
  switch (b) {
    case 250:
      return std::nan("");
    case 251:
      return std::numeric_limits<double>::infinity();
    case 252:
      return -std::numeric_limits<double>::infinity();
    case 253:
      return -1.0;
    case 254:
      return 1e30;
    case 255:
      return 0.0;
    default:
      return b;
  }
}

template <class T>
T saturate(double v) {
  if (std::isnan(v)) return 0;
  if (v <= static_cast<double>(std::numeric_limits<T>::lowest()))
    return std::numeric_limits<T>::lowest();
  if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(v);
}

inline void store(mxArray* a, size_t i, double v) {
  void* p = mxGetData(a);
  switch (mxGetClassID(a)) {
    case mxDOUBLE_CLASS:
      static_cast<double*>(p)[i] = v;
      break;
    case mxSINGLE_CLASS:
      static_cast<float*>(p)[i] = static_cast<float>(v);
      break;
    case mxINT8_CLASS:
      static_cast<int8_t*>(p)[i] = saturate<int8_t>(v);
      break;
    case mxUINT8_CLASS:
      static_cast<uint8_t*>(p)[i] = saturate<uint8_t>(v);
      break;
    case mxINT16_CLASS:
      static_cast<int16_t*>(p)[i] = saturate<int16_t>(v);
      break;
    case mxUINT16_CLASS:
      static_cast<uint16_t*>(p)[i] = saturate<uint16_t>(v);
      break;
    case mxINT32_CLASS:
      static_cast<int32_t*>(p)[i] = saturate<int32_t>(v);
      break;
    case mxUINT32_CLASS:
      static_cast<uint32_t*>(p)[i] = saturate<uint32_t>(v);
      break;
    case mxINT64_CLASS:
      static_cast<int64_t*>(p)[i] = saturate<int64_t>(v);
      break;
    case mxUINT64_CLASS:
      static_cast<uint64_t*>(p)[i] = saturate<uint64_t>(v);
      break;
    case mxLOGICAL_CLASS:
      static_cast<bool*>(p)[i] = v != 0;
      break;
    case mxCHAR_CLASS:
      static_cast<char16_t*>(p)[i] = saturate<uint16_t>(v);
      break;
    default:
      break;  // cells hold no values here
  }
}

inline mwSize extent_of(uint8_t b) {
  static const mwSize huge[] = {2147483647u,     2147483648u,
                                4294967301u,     3000000000u,
                                mwSize{1} << 40, std::numeric_limits<mwSize>::max() / 2};
  return b < 200 ? b % 10 : huge[b % (sizeof huge / sizeof huge[0])];
}

// Reads the argument list of one call. `slots` says what each of the six positions normally
// holds; `volume_class` is the filter's class; `cap` bounds the element count of any array.
inline CallArgs decode(Reader& in, const Slot (&slots)[6], mxClassID volume_class, size_t cap) {
  static const mxClassID classes[] = {
      mxDOUBLE_CLASS,  mxSINGLE_CLASS, mxINT8_CLASS,   mxUINT8_CLASS,  mxINT16_CLASS,
      mxUINT16_CLASS,  mxINT32_CLASS,  mxUINT32_CLASS, mxINT64_CLASS,  mxUINT64_CLASS,
      mxLOGICAL_CLASS, mxCHAR_CLASS,   mxCELL_CLASS,   mxUNKNOWN_CLASS /* sparse */};
  CallArgs call;
  const uint8_t nrhs_byte = in.byte();
  const int nrhs = nrhs_byte < 192 ? 6 : nrhs_byte % 9;
  const uint8_t nlhs_byte = in.byte();
  call.nlhs = nlhs_byte < 192 ? 1 : nlhs_byte % 3;
  std::vector<mwSize> first_dims;
  for (int i = 0; i < nrhs; ++i) {
    const Slot slot = i < 6 ? slots[i] : Slot::scalar;
    const uint8_t kind = in.byte();
    mxClassID id =
        kind == 0 ? (slot == Slot::volume ? volume_class : mxDOUBLE_CLASS) : classes[kind % 14];
    const bool sparse = id == mxUNKNOWN_CLASS;
    const bool complex =
        (kind & 0x40) != 0 && (sparse || id <= mxUINT64_CLASS) && id >= mxDOUBLE_CLASS;

    const uint8_t shape = in.byte();
    std::vector<mwSize> dims;
    switch (shape % 8) {
      case 0:
        dims = {1, 1};
        break;
      case 1:
        dims = first_dims.empty() ? std::vector<mwSize>{1, 1} : first_dims;
        break;
      case 7:
        dims = {0, 0};
        break;
      default:
        for (int d = 0; d < shape % 8; ++d) dims.push_back(extent_of(in.byte()));
    }
    size_t count = 1;
    bool over = false;
    for (mwSize d : dims) over = over || __builtin_mul_overflow(count, d, &count);
    if (over || count > cap) {
      dims[0] = 0;
      count = 0;
    }
    if (i == 0) first_dims = dims;

    // Sparse and cell arrays are two-dimensional: the extents past the first fold into one.
    const mwSize m = dims[0];
    const mwSize cols = m == 0 ? (dims.size() > 1 ? dims[1] : 1) : count / m;
    mxArray* a = nullptr;
    if (sparse) {
      a = mxCreateSparse(m, cols, 1, complex ? mxCOMPLEX : mxREAL);
    } else if (id == mxCELL_CLASS) {
      a = mxCreateCellMatrix(m, cols);
    } else {
      a = mxCreateNumericArray(dims.size(), dims.data(), id, complex ? mxCOMPLEX : mxREAL);
    }
    call.inputs.emplace_back(a);
    const size_t n = mxGetNumberOfElements(a);
    if (sparse || id == mxCELL_CLASS) continue;
    if (n == 1) {
      store(a, 0, value_of(in.byte(), in));
    } else {
      for (size_t e = 0; e < n; ++e) store(a, e, voxel_of(in.byte()));
    }
  }
  return call;
}

}  // namespace fuzz
