// blockdenoise called through the test host: argument conversion, output shape and class,
// bad inputs, and the thread-start failure path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "blockdenoise/blockdenoise.h"
#include "plugin_fixture.h"

namespace testhost {
namespace {

using mexhost::make_array;
using mexhost::make_singles;
using mexhost::scalar;

const std::vector<size_t> kDims = {7, 6, 5};

std::vector<float> random_floats(size_t n, unsigned seed) {
  std::vector<float> out;
  for (double v : random_values(n, seed, 10.0, 200.0)) out.push_back(static_cast<float>(v));
  return out;
}

std::vector<Array> valid_args(double search = 2, double patch = 1, double sigma = 20,
                              double smoothing = 1, double rician = 0) {
  std::vector<Array> args;
  args.push_back(make_singles(kDims, random_floats(count_of(kDims), 11)));
  args.push_back(scalar(search));
  args.push_back(scalar(patch));
  args.push_back(scalar(sigma));
  args.push_back(scalar(smoothing));
  args.push_back(scalar(rician));
  return args;
}

std::vector<float> core_result(const Array& noisy, const volnlm::blockdenoise::Params& p) {
  const std::vector<size_t> d = noisy.dims();
  const volnlm::Extents e{int32_t(d[0]), int32_t(d[1]), int32_t(d.size() > 2 ? d[2] : 1)};
  std::vector<float> out(count_of(d));
  EXPECT_EQ(volnlm::blockdenoise::filter(noisy.data<float>(), e, p, out.data()),
            volnlm::Status::ok);
  return out;
}

volnlm::blockdenoise::Params params(int search, int patch, double sigma, double smoothing,
                                    bool rician) {
  volnlm::blockdenoise::Params p;
  p.search_radius = search;
  p.patch_radius = patch;
  p.sigma = static_cast<float>(sigma);
  p.smoothing = static_cast<float>(smoothing);
  p.rician = rician;
  return p;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

class BlockdenoiseGateway : public ::testing::Test {
 protected:
  mexhost::Plugin plugin{mexhost::plugin_path("blockdenoise")};
};

TEST_F(BlockdenoiseGateway, ConvertsArgumentsAsDocumented) {
  struct Case {
    double search, patch, sigma, smoothing, rician;
    volnlm::blockdenoise::Params want;
  };
  // sigma and smoothing reach the filter rounded to float; the flag is on only when its
  // truncation is positive; radii truncate toward zero.
  const Case cases[] = {
      {2, 1, 20, 1, 0.7, params(2, 1, 20, 1, false)},
      {2, 1, 20, 1, 1, params(2, 1, 20, 1, true)},
      {2, 1, 20, 1, 2, params(2, 1, 20, 1, true)},
      {2, 1, 20, 1, -1, params(2, 1, 20, 1, false)},
      {2.9, 1.7, 20, 1, 0, params(2, 1, 20, 1, false)},
      {-3, 1, 20, 1, 0, params(-3, 1, 20, 1, false)},
      {0, 1, 20, 1, 0, params(0, 1, 20, 1, false)},
      {1, -5, 20, 1, 0, params(1, -5, 20, 1, false)},
      {1, 1, 20.000000001, 0.1, 0, params(1, 1, 20.000000001, 0.1, false)},
      {1, 1, 1e-50, 1, 1, params(1, 1, 1e-50, 1, true)},  // rounds to a zero sigma
  };
  for (const Case& c : cases) {
    std::vector<Array> args = valid_args(c.search, c.patch, c.sigma, c.smoothing, c.rician);
    const mexhost::CallResult r = call(plugin, args);
    ASSERT_TRUE(r.ok) << r.error_message;
    EXPECT_TRUE(same_bits(r.outputs[0].values<float>(), core_result(args[0], c.want)))
        << "search " << c.search << " patch " << c.patch << " flag " << c.rician;
    EXPECT_EQ(r.printed, "");
  }
}

TEST_F(BlockdenoiseGateway, OutputHasTheInputsShapeAndClass) {
  for (const std::vector<size_t>& dims :
       std::vector<std::vector<size_t>>{{7, 6, 5}, {9, 4}, {3, 3, 1}, {1, 1, 1}}) {
    std::vector<Array> args = valid_args(1, 1);
    args[0] = make_singles(dims, random_floats(count_of(dims), 12));
    const mexhost::CallResult r = call(plugin, args);
    ASSERT_TRUE(r.ok) << r.error_message;
    EXPECT_EQ(r.outputs[0].class_id(), mxSINGLE_CLASS);
    EXPECT_EQ(r.outputs[0].dims(), args[0].dims());
    EXPECT_TRUE(
        same_bits(r.outputs[0].values<float>(), core_result(args[0], params(1, 1, 20, 1, false))));
  }
  std::vector<Array> args = valid_args();
  args[0] = make_array(mxSINGLE_CLASS, {0, 4, 2});
  const mexhost::CallResult r = call(plugin, args);
  ASSERT_TRUE(r.ok) << r.error_message;
  EXPECT_EQ(r.outputs[0].dims(), (std::vector<size_t>{0, 4, 2}));
}

TEST_F(BlockdenoiseGateway, RepeatedCallsGiveIdenticalBits) {
  const std::vector<Array> args = valid_args(2, 1, 25, 1, 1);
  const std::vector<float> first = call(plugin, args).outputs[0].values<float>();
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(same_bits(call(plugin, args).outputs[0].values<float>(), first));
}

TEST_F(BlockdenoiseGateway, RejectsBadArgumentsBeforeComputing) {
  const std::vector<BadCase> cases = {
      {"five inputs", [](auto& a) { a.pop_back(); }, "blockdenoise:nargin"},
      {"no inputs", [](auto& a) { a.clear(); }, "blockdenoise:nargin"},
      {"two outputs", [](auto&) {}, "blockdenoise:nargout", 2},
      {"double noisy", [](auto& a) { a[0] = make_array(mxDOUBLE_CLASS, kDims); },
       "blockdenoise:noisy"},
      {"uint16 noisy", [](auto& a) { a[0] = make_array(mxUINT16_CLASS, kDims); },
       "blockdenoise:noisy"},
      {"complex noisy", [](auto& a) { a[0] = make_array(mxSINGLE_CLASS, kDims, mxCOMPLEX); },
       "blockdenoise:noisy"},
      {"4-D noisy",
       [](auto& a) {
         a[0] = make_array(mxSINGLE_CLASS, {7, 6, 5, 3});
       },
       "blockdenoise:dims"},
      {"empty noisy with an extent past 2^31",
       [](auto& a) {
         a[0] = make_array(mxSINGLE_CLASS, {0, 3000000000u});
       },
       "blockdenoise:tooLarge"},
      {"empty search radius", [](auto& a) { a[1] = empty_double(); }, "blockdenoise:searchRadius"},
      {"NaN search radius", [](auto& a) { a[1] = scalar(std::nan("")); },
       "blockdenoise:searchRadius"},
      {"huge search radius", [](auto& a) { a[1] = scalar(1e10); }, "blockdenoise:searchRadius"},
      {"text patch radius", [](auto& a) { a[2] = text("1"); }, "blockdenoise:patchRadius"},
      {"patch radius above the smallest extent", [](auto& a) { a[2] = scalar(6); },
       "blockdenoise:patchRadius"},
      {"infinite sigma", [](auto& a) { a[3] = scalar(INFINITY); }, "blockdenoise:sigma"},
      {"sigma infinite as a float", [](auto& a) { a[3] = scalar(1e39); }, "blockdenoise:sigma"},
      {"complex sigma", [](auto& a) { a[3] = complex_scalar(); }, "blockdenoise:sigma"},
      {"NaN smoothing", [](auto& a) { a[4] = scalar(std::nan("")); }, "blockdenoise:smoothing"},
      {"negative smoothing", [](auto& a) { a[4] = scalar(-0.5); }, "blockdenoise:smoothing"},
      {"smoothing infinite as a float", [](auto& a) { a[4] = scalar(-1e39); },
       "blockdenoise:smoothing"},
      {"vector flag", [](auto& a) { a[5] = row(3); }, "blockdenoise:rician"},
      {"huge flag", [](auto& a) { a[5] = scalar(3e9); }, "blockdenoise:rician"},
  };
  expect_rejected(
      plugin, [] { return valid_args(); }, cases);
}

TEST_F(BlockdenoiseGateway, PatchRadiusLimitIsTheSmallestExtent) {
  std::vector<Array> args = valid_args(1, 5);  // smallest extent is 5
  const mexhost::CallResult ok = call(plugin, args);
  ASSERT_TRUE(ok.ok) << ok.error_message;
  args[2] = scalar(6);
  const mexhost::CallResult bad = call(plugin, args);
  EXPECT_EQ(bad.error_id, "blockdenoise:patchRadius");
  EXPECT_NE(bad.error_message.find('5'), std::string::npos) << bad.error_message;
}

TEST_F(BlockdenoiseGateway, ThreadStartFailureRaisesAHostErrorAndLeavesNothingRunning) {
  if (!mexhost::thread_faults_in_effect()) GTEST_SKIP() << kNoThreadFaults;
  const ScopedThreadCount eight("8");
  std::vector<Array> args = valid_args(1, 1);
  args[0] =
      make_singles({6, 5, 16}, random_floats(6 * 5 * 16, 13));  // 16 / 1 slices: eight workers
  for (int started : {0, 5}) {
    const size_t live_before = mexhost::live_arrays();
    mexhost::fail_thread_starts_after(started);
    const mexhost::CallResult r = call(plugin, args);
    mexhost::fail_thread_starts_after(-1);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error_id, "blockdenoise:threads");
    EXPECT_EQ(r.printed, "Threads cannot be created\n");
    EXPECT_EQ(mexhost::live_arrays(), live_before);
  }
  const mexhost::CallResult again = call(plugin, args);
  ASSERT_TRUE(again.ok) << again.error_message;
  EXPECT_TRUE(same_bits(again.outputs[0].values<float>(),
                        core_result(args[0], params(1, 1, 20, 1, false))));
}

}  // namespace
}  // namespace testhost
