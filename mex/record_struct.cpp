#include "mex/record_struct.h"

#include <string>
#include <variant>
#include <vector>

namespace volnlm::mex {

namespace {

using pipeline::Value;

bool is_number(const Value& v) {
  return std::holds_alternative<int64_t>(v.data) || std::holds_alternative<double>(v.data);
}

double number_of(const Value& v) {
  if (const int64_t* i = std::get_if<int64_t>(&v.data)) return static_cast<double>(*i);
  return std::get<double>(v.data);
}

// The keys of an object, for the host's struct creation.
std::vector<const char*> keys_of(const Value::Object& o) {
  std::vector<const char*> keys;
  for (const auto& [key, value] : o) keys.push_back(key.c_str());
  return keys;
}

bool same_keys(const Value::Object& a, const Value::Object& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if (a[k].first != b[k].first) return false;
  }
  return true;
}

// A struct array of `count` elements (a column), its fields the keys of `shape`.
mxArray* struct_of(const Value::Object& shape, size_t count) {
  std::vector<const char*> keys = keys_of(shape);
  return mxCreateStructMatrix(static_cast<mwSize>(count), 1, static_cast<int>(keys.size()),
                              keys.data());
}

void fill(mxArray* s, size_t index, const Value::Object& o) {
  for (const auto& [key, value] : o)
    mxSetField(s, static_cast<mwIndex>(index), key.c_str(), to_mx(value));
}

mxArray* list_of(const Value::Array& a) {
  if (a.empty()) return mxCreateDoubleMatrix(0, 0, mxREAL);
  bool numbers = true, objects = true;
  for (const Value& v : a) {
    numbers = numbers && is_number(v);
    const auto* o = std::get_if<Value::Object>(&v.data);
    objects = objects && o != nullptr && same_keys(*o, std::get<Value::Object>(a.front().data));
  }
  if (numbers) {
    mxArray* column = mxCreateDoubleMatrix(static_cast<mwSize>(a.size()), 1, mxREAL);
    double* out = static_cast<double*>(mxGetData(column));
    for (size_t k = 0; k < a.size(); ++k) out[k] = number_of(a[k]);
    return column;
  }
  if (objects) {
    mxArray* s = struct_of(std::get<Value::Object>(a.front().data), a.size());
    for (size_t k = 0; k < a.size(); ++k) fill(s, k, std::get<Value::Object>(a[k].data));
    return s;
  }
  mxArray* cell = mxCreateCellMatrix(static_cast<mwSize>(a.size()), 1);
  for (size_t k = 0; k < a.size(); ++k) mxSetCell(cell, static_cast<mwIndex>(k), to_mx(a[k]));
  return cell;
}

}  // namespace

mxArray* to_mx(const Value& value) {
  if (const bool* b = std::get_if<bool>(&value.data)) return mxCreateLogicalScalar(*b);
  if (is_number(value)) return mxCreateDoubleScalar(number_of(value));
  if (const std::string* s = std::get_if<std::string>(&value.data))
    return mxCreateString(s->c_str());
  if (const Value::Array* a = std::get_if<Value::Array>(&value.data)) return list_of(*a);
  if (const Value::Object* o = std::get_if<Value::Object>(&value.data)) {
    mxArray* s = struct_of(*o, 1);
    fill(s, 0, *o);
    return s;
  }
  return mxCreateDoubleMatrix(0, 0, mxREAL);
}

}  // namespace volnlm::mex
