// volnlm_denoise and volnlm_estimate_sigma called through the test host: their results against
// the pipeline called directly, the record as a struct, bad arguments, and every allocation
// and array creation of a call failing in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pipeline/pipeline.h"
#include "pipeline/record.h"
#include "pipeline/series.h"
#include "plugin_fixture.h"

namespace testhost {
namespace {

using mexhost::make_array;
using mexhost::make_doubles;
using mexhost::scalar;

// A 4-D series of two volumes: a bright block on a background, Rician-like positive values,
// the second volume dimmer.
const std::vector<size_t> kSeries = {9, 8, 7, 2};

std::vector<double> series_values() {
  const size_t n = count_of(kSeries);
  std::vector<double> v = random_values(n, 31, 0.0, 20.0);
  for (size_t i = 0; i < n; ++i) {
    const size_t x = i % 9, y = i / 9 % 8, volume = i / (9 * 8 * 7);
    v[i] += (x > 2 && x < 7 && y > 1 && y < 6 ? 200.0 : 60.0) / (1.0 + volume);
    v[i] = std::round(v[i]);  // whole values, so an integer class holds them exactly
  }
  return v;
}

// The noisy array and name-value pairs as a call's arguments.
std::vector<Array> args_of(Array noisy) {
  std::vector<Array> args;
  args.push_back(std::move(noisy));
  return args;
}

void add_option(std::vector<Array>& args, const char* name, Array value) {
  args.push_back(text(name));
  args.push_back(std::move(value));
}

bool same_bits(const double* a, const double* b, size_t n) {
  return std::memcmp(a, b, n * sizeof(double)) == 0;
}

const mxArray* field(const mxArray* s, const char* name) {
  const mxArray* f = mxGetField(s, 0, name);
  EXPECT_NE(f, nullptr) << name;
  return f;
}

std::string text_of(const mxArray* a) {
  std::vector<char> buffer(mxGetNumberOfElements(a) + 1);
  EXPECT_EQ(mxGetString(a, buffer.data(), buffer.size()), 0);
  return buffer.data();
}

class OneCallGateway : public ::testing::Test {
 protected:
  mexhost::Plugin denoise{mexhost::plugin_path("volnlm_denoise")};
  mexhost::Plugin estimate{mexhost::plugin_path("volnlm_estimate_sigma")};
};

TEST_F(OneCallGateway, SeriesResultAndRecordAreThePipelines) {
  const std::vector<double> values = series_values();
  const volnlm::Extents e{9, 8, 7};
  std::vector<uint8_t> mask(9 * 8 * 7, 0);
  for (size_t i = 0; i < mask.size(); ++i) mask[i] = i % 9 > 1 ? 1 : 0;
  Array mask_array = make_array(mxLOGICAL_CLASS, {9, 8, 7});
  for (size_t i = 0; i < mask.size(); ++i) mask_array.data<bool>()[i] = mask[i] != 0;

  volnlm::pipeline::Options options;
  options.method = volnlm::pipeline::Method::block;
  options.search_radius = 3;
  options.mask = mask.data();
  volnlm::pipeline::SeriesSigma sigma;
  sigma.shared = true;
  std::vector<double> expected(values.size());
  volnlm::pipeline::SeriesResolved used;
  ASSERT_EQ(
      volnlm::pipeline::denoise_series(values.data(), e, 2, options, sigma, expected.data(), &used),
      volnlm::Status::ok);

  // The same values as int16 give the double input's bits.
  for (mxClassID id : {mxDOUBLE_CLASS, mxINT16_CLASS}) {
    Array noisy = make_array(id, kSeries);
    for (size_t i = 0; i < values.size(); ++i) {
      if (id == mxDOUBLE_CLASS) noisy.data<double>()[i] = values[i];
      if (id == mxINT16_CLASS) noisy.data<int16_t>()[i] = static_cast<int16_t>(values[i]);
    }
    Array m = make_array(mxLOGICAL_CLASS, {9, 8, 7});
    std::memcpy(m.data<bool>(), mask_array.data<bool>(), mask.size());
    std::vector<Array> args = args_of(std::move(noisy));
    add_option(args, "method", text("block"));
    add_option(args, "SEARCHRADIUS", scalar(3));
    add_option(args, "SharedSigma", logical_scalar(true));
    add_option(args, "Mask", std::move(m));
    const mexhost::CallResult r = call(denoise, args, 2);
    ASSERT_TRUE(r.ok) << r.error_id << ": " << r.error_message;
    const Array& out = r.outputs[0];
    EXPECT_EQ(out.class_id(), mxDOUBLE_CLASS);
    EXPECT_EQ(out.dims(), kSeries);
    EXPECT_TRUE(same_bits(out.data<double>(), expected.data(), expected.size()));

    // The struct holds the record's keys in their order, with the run's values.
    const mxArray* info = r.outputs[1].get();
    ASSERT_TRUE(mxIsStruct(info));
    const auto& keys = volnlm::pipeline::record_keys();
    ASSERT_EQ(mxGetNumberOfFields(info), static_cast<int>(keys.size()));
    for (size_t k = 0; k < keys.size(); ++k) {
      EXPECT_STREQ(mxGetFieldNameByNumber(info, static_cast<int>(k)), keys[k].key);
    }
    EXPECT_EQ(text_of(field(field(info, "GeneratedBy"), "Name")), "volnlm");
    EXPECT_EQ(text_of(field(info, "Method")), "block");
    EXPECT_EQ(text_of(field(info, "SigmaSource")), "estimated-shared");
    EXPECT_EQ(mxGetScalar(field(info, "Volumes")), 2.0);
    EXPECT_EQ(mxGetScalar(field(field(info, "Parameters"), "SearchRadius")), 3.0);
    const mxArray* s = field(info, "Sigma");
    ASSERT_EQ(mxGetM(s), 2u);
    EXPECT_TRUE(same_bits(mxGetPr(s), used.sigma.data(), 2));
    EXPECT_TRUE(same_bits(mxGetPr(field(info, "SigmaEstimates")), used.estimates.data(), 2));
    EXPECT_EQ(text_of(field(field(info, "Mask"), "Source")), "array");
    EXPECT_EQ(mxGetScalar(field(field(info, "Mask"), "Coverage")), 7.0 / 9.0);
    EXPECT_TRUE(mxIsEmpty(field(info, "Sources")));
  }
}

// The guided method's default patch radius follows each volume's noise: the plug-in's result and
// its record's PatchRadius (one value per volume) are the pipeline's.
TEST_F(OneCallGateway, PatchRadiusPerVolumeIsThePipelines) {
  const std::vector<size_t> dims = {10, 9, 8, 3};
  const volnlm::Extents e{10, 9, 8};
  const size_t n = 10 * 9 * 8;
  const double amplitudes[] = {4.0, 17.0, 80.0};  // noise ratios near 0.01, 0.05 and 0.2
  std::vector<double> values(3 * n);
  uint32_t state = 7;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const double noise = static_cast<double>(state >> 8) / 16777216.0 - 0.5;
    for (size_t k = 0; k < 3; ++k) values[k * n + i] = 100.0 + amplitudes[k] * noise;
  }
  std::vector<double> expected(values.size());
  volnlm::pipeline::SeriesResolved used;
  ASSERT_EQ(volnlm::pipeline::denoise_series(values.data(), e, 3, {}, {}, expected.data(), &used),
            volnlm::Status::ok);
  ASSERT_EQ(used.patch_radius, (std::vector<int32_t>{1, 2, 1}));
  const mexhost::CallResult r = call(denoise, args_of(make_doubles(dims, values)), 2);
  ASSERT_TRUE(r.ok) << r.error_id << ": " << r.error_message;
  EXPECT_TRUE(same_bits(r.outputs[0].data<double>(), expected.data(), expected.size()));
  const mxArray* radius = field(field(r.outputs[1].get(), "Parameters"), "PatchRadius");
  ASSERT_EQ(mxGetNumberOfElements(radius), 3u);
  EXPECT_EQ(std::vector<double>(mxGetPr(radius), mxGetPr(radius) + 3),
            (std::vector<double>{1.0, 2.0, 1.0}));
}

TEST_F(OneCallGateway, EstimateIsThePipelinesPerVolume) {
  const std::vector<double> values = series_values();
  const auto estimates =
      volnlm::pipeline::estimate_sigma_series(values.data(), volnlm::Extents{9, 8, 7}, 2, false);
  std::vector<Array> args = args_of(make_doubles(kSeries, values));
  add_option(args, "Noise", text("Gaussian"));
  const mexhost::CallResult r = call(estimate, args);
  ASSERT_TRUE(r.ok) << r.error_message;
  ASSERT_EQ(r.outputs[0].dims(), (std::vector<size_t>{2, 1}));
  EXPECT_EQ(r.outputs[0].values<double>(),
            (std::vector<double>{estimates[0].sigma, estimates[1].sigma}));
  EXPECT_GT(estimates[0].sigma, 0.0);
}

TEST_F(OneCallGateway, BadArgumentsAreRejectedBeforeAnyWork) {
  const auto valid = [] { return args_of(make_doubles(kSeries, series_values())); };
  const auto add = [](const char* name, auto make) {
    return [name, make](std::vector<Array>& a) {
      a.push_back(text(name));
      a.push_back(make());
    };
  };
  const std::vector<BadCase> cases = {
      {"complex input",
       [](auto& a) {
         a[0] = make_array(mxDOUBLE_CLASS, {4, 4, 4}, mxCOMPLEX);
       },
       "volnlm:noisy"},
      {"logical input",
       [](auto& a) {
         a[0] = make_array(mxLOGICAL_CLASS, {4, 4, 4});
       },
       "volnlm:noisy"},
      {"sparse input", [](auto& a) { a[0] = Array(mxCreateSparse(4, 4, 1, mxREAL)); },
       "volnlm:noisy"},
      {"five dimensions",
       [](auto& a) {
         a[0] = make_array(mxDOUBLE_CLASS, {3, 3, 3, 2, 2});
       },
       "volnlm:dims"},
      {"unknown option", add("Speed", [] { return scalar(1); }), "volnlm:unknownOption"},
      {"name without value", [](auto& a) { a.push_back(text("Sigma")); }, "volnlm:optionValue"},
      {"name not text",
       [](auto& a) {
         a.push_back(scalar(1));
         a.push_back(scalar(1));
       },
       "volnlm:optionName"},
      {"sigma count",
       add("Sigma",
           [] {
             return make_doubles({1, 3}, {1, 2, 3});
           }),
       "volnlm:sigmaCount"},
      {"sigma cell", add("Sigma", [] { return Array(mxCreateCellMatrix(1, 1)); }), "volnlm:sigma"},
      {"method", add("Method", [] { return text("median"); }), "volnlm:method"},
      {"noise", add("Noise", [] { return text("speckle"); }), "volnlm:noise"},
      {"rician 2", add("Rician", [] { return scalar(2); }), "volnlm:noise"},
      {"patch radius", add("PatchRadius", [] { return scalar(-2); }), "volnlm:patchRadius"},
      {"smoothing empty", add("Smoothing", [] { return empty_double(); }), "volnlm:smoothing"},
      {"threads", add("Threads", [] { return scalar(-1); }), "volnlm:numThreads"},
      {"threads huge", add("Threads", [] { return scalar(1e10); }), "volnlm:numThreads"},
      {"mask shape",
       add("Mask",
           [] {
             return make_array(mxLOGICAL_CLASS, {9, 8, 6});
           }),
       "volnlm:maskSize"},
      {"mask text", add("Mask", [] { return text("head"); }), "volnlm:mask"},
      {"three outputs", [](auto&) {}, "volnlm:nargout", 3},
  };
  expect_rejected(denoise, valid, cases);
  expect_rejected(estimate, valid,
                  {{"sigma option", add("Sigma", [] { return scalar(1); }), "volnlm:unknownOption"},
                   {"two outputs", [](auto&) {}, "volnlm:nargout", 2},
                   {"mask shape",
                    add("Mask",
                        [] {
                          return make_array(mxDOUBLE_CLASS, {9, 8});
                        }),
                    "volnlm:maskSize"}});
  const mexhost::CallResult none = denoise.call(1, {});
  EXPECT_EQ(none.error_id, "volnlm:nargin");
}

// Arrays alive now; a call's outputs and everything in them are counted.
size_t live() {
  return mexhost::live_arrays();
}

// Calls with the fault armed at k = 0, 1, ... until a call runs without meeting it: every failed
// call ends in an allowed host error and leaves no array behind; one that succeeds gives the
// clean call's result.
void walk(const mexhost::Plugin& plugin, const std::vector<Array>& args, int nlhs,
          void (*arm)(long), bool (*pending)(), const std::vector<std::string>& allowed) {
  const size_t before = live();
  const mexhost::CallResult clean = call(plugin, args, nlhs);
  ASSERT_TRUE(clean.ok) << clean.error_message;
  const size_t made = live() - before;
  const std::vector<double> expected = clean.outputs[0].values<double>();
  long k = 0;
  for (;; ++k) {
    ASSERT_LT(k, 20000) << "the walk does not end";
    const size_t start = live();
    arm(k);
    const mexhost::CallResult r = call(plugin, args, nlhs);
    const bool struck = !pending();
    arm(-1);
    EXPECT_EQ(live(), start + (r.ok ? made : 0)) << "k=" << k << " " << r.error_id;
    if (r.ok) {
      EXPECT_EQ(r.outputs[0].values<double>(), expected) << "k=" << k;
      if (!struck) break;
      continue;
    }
    EXPECT_TRUE(struck) << "k=" << k << " failed without the fault: " << r.error_id;
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), r.error_id), allowed.end())
        << "k=" << k << ": " << r.error_id << " " << r.error_message;
  }
  EXPECT_GE(k, static_cast<long>(made)) << "fewer faults than arrays made";
}

// A series with a mask; for the denoising plug-in, a shared sigma too.
std::vector<Array> fault_args(bool denoising) {
  std::vector<Array> args = args_of(make_doubles(kSeries, series_values()));
  Array mask = make_array(mxDOUBLE_CLASS, {9, 8, 7});
  for (size_t i = 0; i < 9 * 8 * 7; ++i) mask.data<double>()[i] = i % 3 == 0 ? 0.0 : 1.0;
  add_option(args, "Mask", std::move(mask));
  if (denoising) add_option(args, "SharedSigma", logical_scalar(true));
  return args;
}

TEST_F(OneCallGateway, EveryArrayCreationMayFail) {
  // The record's struct is made of many arrays; each one refused in turn must free the rest.
  walk(denoise, fault_args(true), 2, &mexhost::fail_array_creation,
       &mexhost::array_creation_fault_pending, {mexhost::kHostOutOfMemoryId});
  walk(estimate, fault_args(false), 1, &mexhost::fail_array_creation,
       &mexhost::array_creation_fault_pending, {mexhost::kHostOutOfMemoryId});
}

TEST_F(OneCallGateway, EveryAllocationMayFail) {
  if (!mexhost::allocation_faults_in_effect()) {
    GTEST_SKIP() << "allocation faults are not in effect: a sanitizer runtime replaces malloc";
  }
  const std::vector<std::string> allowed = {"volnlm:memory", "volnlm:threads",
                                            mexhost::kHostOutOfMemoryId};
  walk(denoise, fault_args(true), 2, &mexhost::fail_allocation, &mexhost::allocation_fault_pending,
       allowed);
  walk(estimate, fault_args(false), 1, &mexhost::fail_allocation,
       &mexhost::allocation_fault_pending, allowed);
}

}  // namespace
}  // namespace testhost
