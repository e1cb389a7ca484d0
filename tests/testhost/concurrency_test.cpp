// Both plug-ins with slabs thinner than the reach of their windows, so that workers add into
// voxels of their neighbours' slabs, and with two calls running at once. The results must be
// the core's, bit for bit, whatever the timing (the thread sanitizer build runs these).
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "blockdenoise/blockdenoise.h"
#include "plugin_fixture.h"
#include "sorvane/sorvane.h"

namespace testhost {
namespace {

using mexhost::make_doubles;
using mexhost::make_singles;
using mexhost::scalar;

const std::vector<size_t> kDims = {6, 5, 16};  // sixteen slices: eight workers
const volnlm::Extents kExtents{6, 5, 16};

std::vector<Array> sorvane_args(int radius) {
  std::vector<Array> a;
  a.push_back(make_doubles(kDims, random_values(count_of(kDims), 31)));
  a.push_back(scalar(radius));
  a.push_back(scalar(1));
  a.push_back(scalar(40));
  a.push_back(make_doubles(kDims, random_values(count_of(kDims), 32)));
  a.push_back(scalar(0));
  return a;
}

std::vector<Array> block_args(int search, int patch) {
  std::vector<float> v;
  for (double x : random_values(count_of(kDims), 33, 10, 200)) v.push_back(static_cast<float>(x));
  std::vector<Array> a;
  a.push_back(make_singles(kDims, v));
  a.push_back(scalar(search));
  a.push_back(scalar(patch));
  a.push_back(scalar(30));
  a.push_back(scalar(1));
  a.push_back(scalar(0));
  return a;
}

template <class T>
bool same_bits(const mexhost::CallResult& r, const std::vector<T>& want) {
  return r.ok && r.outputs[0].values<T>().size() == want.size() &&
         std::memcmp(r.outputs[0].data<T>(), want.data(), want.size() * sizeof(T)) == 0;
}

TEST(ConcurrentWorkers, AdditionsAcrossSlabsMatchTheCore) {
  const mexhost::Plugin sorvane(mexhost::plugin_path("sorvane"));
  const mexhost::Plugin block(mexhost::plugin_path("blockdenoise"));
  for (int radius : {1, 3}) {  // slabs of two slices, windows of one and three
    const std::vector<Array> args = sorvane_args(radius);
    volnlm::sorvane::Params p;
    p.search_radius = radius;
    p.second_radius = 1;
    p.sigma = 40;
    std::vector<double> want(count_of(kDims));
    ASSERT_EQ(volnlm::sorvane::filter(args[0].data<double>(), args[4].data<double>(), kExtents, p,
                                      want.data()),
              volnlm::Status::ok);
    EXPECT_TRUE(same_bits(call(sorvane, args), want)) << "sorvane radius " << radius;
  }
  for (int patch : {1, 2}) {  // slabs of two slices; blocks reach one and two slices over
    const std::vector<Array> args = block_args(2, patch);
    volnlm::blockdenoise::Params p;
    p.search_radius = 2;
    p.patch_radius = patch;
    p.sigma = 30;
    p.smoothing = 1;
    std::vector<float> want(count_of(kDims));
    ASSERT_EQ(volnlm::blockdenoise::filter(args[0].data<float>(), kExtents, p, want.data()),
              volnlm::Status::ok);
    EXPECT_TRUE(same_bits(call(block, args), want)) << "blockdenoise patch " << patch;
  }
}

TEST(ConcurrentWorkers, TwoCallsAtOnceKeepTheirOwnResults) {
  const mexhost::Plugin sorvane(mexhost::plugin_path("sorvane"));
  const mexhost::Plugin block(mexhost::plugin_path("blockdenoise"));
  const std::vector<Array> s_args = sorvane_args(2);
  const std::vector<Array> b_args = block_args(2, 1);
  const std::vector<double> s_want = call(sorvane, s_args).outputs.at(0).values<double>();
  const std::vector<float> b_want = call(block, b_args).outputs.at(0).values<float>();
  bool s_same = false;
  bool b_same = false;
  std::thread other([&] { s_same = same_bits(sorvane.call(1, raw(s_args)), s_want); });
  b_same = same_bits(block.call(1, raw(b_args)), b_want);
  other.join();
  EXPECT_TRUE(s_same);
  EXPECT_TRUE(b_same);
}

}  // namespace
}  // namespace testhost
