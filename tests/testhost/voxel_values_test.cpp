// NaN and infinite voxel values are data, not errors: both plug-ins filter them by the filters'
// own rules (which may carry them to the neighbours that use them), exactly as the cores do.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "blockdenoise/blockdenoise.h"
#include "plugin_fixture.h"
#include "sorvane/sorvane.h"

namespace testhost {
namespace {

const std::vector<size_t> kDims = {5, 4, 6};
const volnlm::Extents kExtents{5, 4, 6};

template <class T>
void spoil(std::vector<T>& v, size_t nan_at, size_t inf_at) {
  v[nan_at] = std::numeric_limits<T>::quiet_NaN();
  v[inf_at] = std::numeric_limits<T>::infinity();
  v[inf_at + 7] = -std::numeric_limits<T>::infinity();
}

template <class T>
size_t non_finite(const std::vector<T>& v) {
  size_t n = 0;
  for (T x : v) n += std::isfinite(x) ? 0 : 1;
  return n;
}

TEST(VoxelValues, NaNAndInfinitiesAreFilteredNotRejected) {
  const mexhost::Plugin sorvane(mexhost::plugin_path("sorvane"));
  const mexhost::Plugin block(mexhost::plugin_path("blockdenoise"));
  for (size_t nan_at : {0u, 57u}) {
    std::vector<double> noisy = random_values(count_of(kDims), 41);
    std::vector<double> guide = random_values(count_of(kDims), 42);
    spoil(noisy, nan_at, 30);
    std::vector<Array> args;
    args.push_back(mexhost::make_doubles(kDims, noisy));
    args.push_back(mexhost::scalar(1));
    args.push_back(mexhost::scalar(1));
    args.push_back(mexhost::scalar(30));
    args.push_back(mexhost::make_doubles(kDims, guide));
    args.push_back(mexhost::scalar(0));
    const mexhost::CallResult r = call(sorvane, args);
    ASSERT_TRUE(r.ok) << r.error_id << ": " << r.error_message;
    volnlm::sorvane::Params p;
    p.search_radius = 1;
    p.second_radius = 1;
    p.sigma = 30;
    std::vector<double> want(noisy.size());
    ASSERT_EQ(volnlm::sorvane::filter(noisy.data(), guide.data(), kExtents, p, want.data()),
              volnlm::Status::ok);
    const std::vector<double> got = r.outputs[0].values<double>();
    EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(double)), 0)
        << "sorvane, NaN at " << nan_at;
    EXPECT_GE(non_finite(got), 1u) << "the NaN and infinities went nowhere";
  }
  {
    std::vector<float> noisy;
    for (double x : random_values(count_of(kDims), 43, 10, 200))
      noisy.push_back(static_cast<float>(x));
    spoil(noisy, 11, 40);
    std::vector<Array> args;
    args.push_back(mexhost::make_singles(kDims, noisy));
    for (double v : {2.0, 1.0, 20.0, 1.0, 1.0}) args.push_back(mexhost::scalar(v));
    const mexhost::CallResult r = call(block, args);
    ASSERT_TRUE(r.ok) << r.error_id << ": " << r.error_message;
    volnlm::blockdenoise::Params p;
    p.search_radius = 2;
    p.patch_radius = 1;
    p.sigma = 20;
    p.smoothing = 1;
    p.rician = true;
    std::vector<float> want(noisy.size());
    ASSERT_EQ(volnlm::blockdenoise::filter(noisy.data(), kExtents, p, want.data()),
              volnlm::Status::ok);
    const std::vector<float> got = r.outputs[0].values<float>();
    EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0)
        << "blockdenoise";
  }
}

}  // namespace
}  // namespace testhost
