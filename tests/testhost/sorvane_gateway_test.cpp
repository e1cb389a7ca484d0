// sorvane called through the test host: argument conversion, output shape, bad inputs, and
// the thread-start failure path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "plugin_fixture.h"
#include "sorvane/sorvane.h"

namespace testhost {
namespace {

using mexhost::make_array;
using mexhost::make_doubles;
using mexhost::scalar;

const std::vector<size_t> kDims = {6, 5, 4};

std::vector<Array> valid_args(double radius = 1, double second = 1, double sigma = 30,
                              double rician = 0) {
  const size_t n = count_of(kDims);
  std::vector<Array> args;
  args.push_back(make_doubles(kDims, random_values(n, 1)));
  args.push_back(scalar(radius));
  args.push_back(scalar(second));
  args.push_back(scalar(sigma));
  args.push_back(make_doubles(kDims, random_values(n, 2)));
  args.push_back(scalar(rician));
  return args;
}

// The core's answer for the same arguments, computed directly.
std::vector<double> core_result(const std::vector<Array>& args, int radius, bool rician) {
  const std::vector<size_t> d = args[0].dims();
  const volnlm::Extents e{int32_t(d[0]), int32_t(d[1]), int32_t(d.size() > 2 ? d[2] : 1)};
  std::vector<double> out(count_of(d));
  volnlm::sorvane::Params p;
  p.search_radius = radius;
  p.sigma = mxGetScalar(args[3].get());
  p.rician = rician;
  EXPECT_EQ(
      volnlm::sorvane::filter(args[0].data<double>(), args[4].data<double>(), e, p, out.data()),
      volnlm::Status::ok);
  return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

class SorvaneGateway : public ::testing::Test {
 protected:
  mexhost::Plugin plugin{mexhost::plugin_path("sorvane")};
};

TEST_F(SorvaneGateway, ConvertsArgumentsAsDocumented) {
  struct Case {
    double radius, rician;
    int want_radius;
    bool want_rician;
  };
  const Case cases[] = {
      {2.9, 0, 2, false}, {-0.5, 0, 0, false}, {1, 0.7, 1, false}, {1, -1, 1, true},
      {1, 1, 1, true},    {1, 256, 1, true},   {2, 3.5, 2, true},
  };
  for (const Case& c : cases) {
    std::vector<Array> args = valid_args(c.radius, 1, 30, c.rician);
    const mexhost::CallResult r = call(plugin, args);
    ASSERT_TRUE(r.ok) << r.error_message;
    EXPECT_TRUE(
        same_bits(r.outputs[0].values<double>(), core_result(args, c.want_radius, c.want_rician)))
        << "radius " << c.radius << " flag " << c.rician;
    EXPECT_EQ(r.printed, "");
  }
}

TEST_F(SorvaneGateway, SecondRadiusHasNoEffect) {
  const std::vector<double> base = call(plugin, valid_args(1, 0)).outputs[0].values<double>();
  for (double second : {-7.0, 3.0, 1e12, std::nan("")}) {
    const mexhost::CallResult r = call(plugin, valid_args(1, second));
    ASSERT_TRUE(r.ok) << second << ": " << r.error_message;
    EXPECT_TRUE(same_bits(r.outputs[0].values<double>(), base)) << second;
  }
  std::vector<Array> args = valid_args();
  args[2] = logical_scalar(true);
  EXPECT_TRUE(call(plugin, args).ok);
}

TEST_F(SorvaneGateway, OutputHasTheInputsShapeAndClass) {
  for (const std::vector<size_t>& dims :
       std::vector<std::vector<size_t>>{{6, 5, 4}, {7, 3}, {4, 4, 1}, {5, 1, 3}}) {
    const size_t n = count_of(dims);
    std::vector<Array> args = valid_args();
    args[0] = make_doubles(dims, random_values(n, 3));
    args[4] = make_doubles(dims, random_values(n, 4));
    const mexhost::CallResult r = call(plugin, args);
    ASSERT_TRUE(r.ok) << r.error_message;
    EXPECT_EQ(r.outputs[0].class_id(), mxDOUBLE_CLASS);
    EXPECT_EQ(r.outputs[0].dims(), args[0].dims());
    EXPECT_TRUE(same_bits(r.outputs[0].values<double>(), core_result(args, 1, false)));
  }
}

TEST_F(SorvaneGateway, EmptyVolumeGivesEmptyResultOfItsShape) {
  for (const std::vector<size_t>& dims :
       std::vector<std::vector<size_t>>{{0, 0}, {3, 0, 2}, {4, 5, 0}}) {
    std::vector<Array> args = valid_args();
    args[0] = make_array(mxDOUBLE_CLASS, dims);
    args[4] = make_array(mxDOUBLE_CLASS, dims);
    const mexhost::CallResult r = call(plugin, args);
    ASSERT_TRUE(r.ok) << r.error_message;
    EXPECT_EQ(r.outputs[0].dims(), args[0].dims());
  }
}

TEST_F(SorvaneGateway, RepeatedCallsGiveIdenticalBits) {
  const std::vector<Array> args = valid_args(2, 0, 40, 1);
  const std::vector<double> first = call(plugin, args).outputs[0].values<double>();
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(same_bits(call(plugin, args).outputs[0].values<double>(), first));
}

TEST_F(SorvaneGateway, RejectsBadArgumentsBeforeComputing) {
  const auto single_volume = [](std::vector<Array>& a) {
    a[0] = make_array(mxSINGLE_CLASS, kDims);
  };
  const std::vector<BadCase> cases = {
      {"five inputs", [](auto& a) { a.pop_back(); }, "sorvane:nargin"},
      {"seven inputs", [](auto& a) { a.push_back(scalar(0)); }, "sorvane:nargin"},
      {"two outputs", [](auto&) {}, "sorvane:nargout", 2},
      {"single noisy", single_volume, "sorvane:noisy"},
      {"complex noisy", [](auto& a) { a[0] = make_array(mxDOUBLE_CLASS, kDims, mxCOMPLEX); },
       "sorvane:noisy"},
      {"sparse noisy", [](auto& a) { a[0] = Array(mxCreateSparse(6, 5, 1, mxREAL)); },
       "sorvane:noisy"},
      {"int32 noisy", [](auto& a) { a[0] = make_array(mxINT32_CLASS, kDims); }, "sorvane:noisy"},
      {"text noisy", [](auto& a) { a[0] = text("volume"); }, "sorvane:noisy"},
      {"single guide", [](auto& a) { a[4] = make_array(mxSINGLE_CLASS, kDims); }, "sorvane:guide"},
      {"cell guide", [](auto& a) { a[4] = Array(mxCreateCellMatrix(6, 5)); }, "sorvane:guide"},
      {"guide of other extents",
       [](auto& a) {
         a[4] = make_array(mxDOUBLE_CLASS, {6, 5, 3});
       },
       "sorvane:guideSize"},
      {"transposed guide",
       [](auto& a) {
         a[4] = make_array(mxDOUBLE_CLASS, {5, 6, 4});
       },
       "sorvane:guideSize"},
      {"4-D noisy",
       [](auto& a) {
         a[0] = make_array(mxDOUBLE_CLASS, {6, 5, 4, 2});
       },
       "sorvane:dims"},
      {"empty noisy with an extent past 2^31",
       [](auto& a) {
         a[0] = make_array(mxDOUBLE_CLASS, {0, 4294967301u});
       },
       "sorvane:tooLarge"},
      {"empty guide with an extent past 2^31",
       [](auto& a) {
         a[4] = make_array(mxDOUBLE_CLASS, {6, 0, 2147483648u});
       },
       "sorvane:tooLarge"},
      {"5-D guide",
       [](auto& a) {
         a[4] = make_array(mxDOUBLE_CLASS, {6, 5, 4, 1, 2});
       },
       "sorvane:dims"},
      {"empty radius", [](auto& a) { a[1] = empty_double(); }, "sorvane:searchRadius"},
      {"NaN radius", [](auto& a) { a[1] = scalar(std::nan("")); }, "sorvane:searchRadius"},
      {"infinite radius", [](auto& a) { a[1] = scalar(INFINITY); }, "sorvane:searchRadius"},
      {"radius 2^31", [](auto& a) { a[1] = scalar(2147483648.0); }, "sorvane:searchRadius"},
      {"text radius", [](auto& a) { a[1] = text("3"); }, "sorvane:searchRadius"},
      {"vector radius", [](auto& a) { a[1] = row(2); }, "sorvane:searchRadius"},
      {"complex radius", [](auto& a) { a[1] = complex_scalar(); }, "sorvane:searchRadius"},
      {"text second radius", [](auto& a) { a[2] = text("x"); }, "sorvane:secondRadius"},
      {"empty second radius", [](auto& a) { a[2] = empty_double(); }, "sorvane:secondRadius"},
      {"NaN sigma", [](auto& a) { a[3] = scalar(std::nan("")); }, "sorvane:sigma"},
      {"infinite sigma", [](auto& a) { a[3] = scalar(-INFINITY); }, "sorvane:sigma"},
      {"empty sigma", [](auto& a) { a[3] = empty_double(); }, "sorvane:sigma"},
      {"NaN flag", [](auto& a) { a[5] = scalar(std::nan("")); }, "sorvane:rician"},
      {"huge flag", [](auto& a) { a[5] = scalar(-3e9); }, "sorvane:rician"},
      {"cell flag", [](auto& a) { a[5] = Array(mxCreateCellMatrix(1, 1)); }, "sorvane:rician"},
  };
  expect_rejected(
      plugin, [] { return valid_args(); }, cases);
}

TEST_F(SorvaneGateway, LogicalFlagIsAccepted) {
  std::vector<Array> args = valid_args(1, 1, 30, 1);
  args[5] = logical_scalar(true);
  const mexhost::CallResult r = call(plugin, args);
  ASSERT_TRUE(r.ok) << r.error_message;
  EXPECT_TRUE(same_bits(r.outputs[0].values<double>(), core_result(args, 1, true)));
}

TEST_F(SorvaneGateway, ThreadStartFailureRaisesAHostErrorAndLeavesNothingRunning) {
  if (!mexhost::thread_faults_in_effect()) GTEST_SKIP() << kNoThreadFaults;
  // Eight slices give eight workers; let three start, then make the rest fail.
  const ScopedThreadCount eight("8");
  const std::vector<size_t> dims = {5, 4, 8};
  std::vector<Array> args = valid_args();
  args[0] = make_doubles(dims, random_values(count_of(dims), 5));
  args[4] = make_doubles(dims, random_values(count_of(dims), 6));
  for (int started : {0, 3, 7}) {
    const size_t live_before = mexhost::live_arrays();
    mexhost::fail_thread_starts_after(started);
    const mexhost::CallResult r = call(plugin, args);
    mexhost::fail_thread_starts_after(-1);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error_id, "sorvane:threads");
    EXPECT_EQ(r.printed, "Threads cannot be created\n");
    EXPECT_EQ(mexhost::live_arrays(), live_before);
  }
  // The host and the plug-in are still fine afterwards.
  const mexhost::CallResult again = call(plugin, args);
  ASSERT_TRUE(again.ok) << again.error_message;
  EXPECT_TRUE(same_bits(again.outputs[0].values<double>(), core_result(args, 1, false)));
}

}  // namespace
}  // namespace testhost
