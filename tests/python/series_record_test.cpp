// The series and record parts of the pipeline that Python does not reach directly: the checks of
// a sigma choice, the shared sigma's median, and the JSON text of a record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "pipeline/defaults.h"
#include "pipeline/record.h"
#include "pipeline/series.h"

namespace volnlm::pipeline {
namespace {

TEST(SeriesSigma, ChecksTheChoiceAgainstTheSeries) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    SeriesSigma sigma;
    int64_t volumes;
    const char* reason;  // nullptr: accepted
  } cases[] = {
      {{{}, false}, 5, nullptr},
      {{{}, true}, 5, nullptr},
      {{{2.0}, false}, 5, nullptr},
      {{{1.0, 2.0, 3.0}, false}, 3, nullptr},
      {{{0.0}, false}, 0, nullptr},
      {{{1.0, 2.0}, false}, 3, "sigmaCount"},
      {{{1.0, 2.0}, false}, 1, "sigmaCount"},
      {{{1.0, nan, 3.0}, false}, 3, "sigma"},
      {{{-1.0}, false}, 3, "sigma"},
      {{{INFINITY}, false}, 1, "sigma"},
      {{{2.0}, true}, 3, "sharedSigma"},
  };
  for (const Case& c : cases) {
    const auto error = check_series_sigma(c.sigma, c.volumes);
    if (c.reason) {
      ASSERT_TRUE(error.has_value()) << c.reason;
      EXPECT_EQ(error->reason, c.reason);
    } else {
      EXPECT_FALSE(error.has_value()) << error->message;
    }
  }
}

TEST(SeriesSigma, SharedSigmaIsTheMedianWeightedByTheBlocksEachEstimateRestsOn) {
  using E = SigmaEstimate;
  struct Case {
    std::vector<SigmaEstimate> estimates;
    double shared;
  } cases[] = {
      {{}, 0.0},
      {{E{0.0, 0, false}, E{0.0, 0, false}}, 0.0},
      {{E{4.0, 10, false}}, 4.0},
      {{E{9.0, 1, false}, E{1.0, 1, false}, E{5.0, 1, false}}, 5.0},
      {{E{9.0, 1, false}, E{1.0, 1, false}, E{5.0, 1, false}, E{3.0, 1, false}}, 4.0},
      // The estimate with the most blocks behind it outweighs several with few.
      {{E{2.0, 100, false}, E{3.0, 10, false}, E{3.1, 10, false}, E{3.2, 10, false}}, 2.0},
      {{E{2.0, 30, false}, E{3.0, 10, false}, E{3.1, 10, false}, E{3.2, 10, false}}, 2.5},
      {{E{2.0, 29, false}, E{3.0, 10, false}, E{3.1, 10, false}, E{3.2, 10, false}}, 3.0},
      // Rayleigh fall-backs count only when nothing better is there; volumes without noise never.
      {{E{2.0, 5, false}, E{7.0, 900, true}, E{8.0, 900, true}}, 2.0},
      {{E{6.0, 900, true}, E{7.0, 900, true}, E{0.0, 0, false}, E{8.0, 900, true}}, 7.0},
      {{E{0.0, 0, false}, E{9.0, 3, false}, E{1.0, 3, false}, E{5.0, 3, false}}, 5.0},
  };
  for (const Case& c : cases) EXPECT_EQ(shared_sigma(c.estimates), c.shared);
}

TEST(SeriesSigma, SigmasFollowTheChoice) {
  const std::vector<SigmaEstimate> estimates{{3.0, 10, false}, {1.0, 10, false}, {2.0, 10, false}};
  EXPECT_EQ(series_sigmas({{}, false}, 3, estimates), (std::vector<double>{3.0, 1.0, 2.0}));
  EXPECT_EQ(series_sigmas({{}, true}, 3, estimates), (std::vector<double>{2.0, 2.0, 2.0}));
  EXPECT_EQ(series_sigmas({{5.0}, false}, 3, {}), (std::vector<double>{5.0, 5.0, 5.0}));
  EXPECT_EQ(series_sigmas({{5.0, 6.0, 7.0}, false}, 3, {}), (std::vector<double>{5.0, 6.0, 7.0}));
}

TEST(SeriesSigma, DenoiseSeriesRefusesWhatItsChecksRefuse) {
  const Extents e{4, 4, 4};
  std::vector<double> in(2 * 64, 1.0), out(in.size(), -1.0);
  Options with_sigma;
  with_sigma.sigma = 1.0;
  EXPECT_EQ(denoise_series(in.data(), e, 2, with_sigma, {}, out.data()), Status::invalid);
  EXPECT_EQ(denoise_series(in.data(), e, 2, {}, {{1.0, 2.0, 3.0}, false}, out.data()),
            Status::invalid);
  Options bad_radius;
  bad_radius.search_radius = 0;
  EXPECT_EQ(denoise_series(in.data(), e, 2, bad_radius, {}, out.data()), Status::invalid);
  EXPECT_EQ(out[0], -1.0) << "nothing is written before the options are checked";
}

TEST(RecordJson, WritesEveryKindOfValue) {
  struct Case {
    Value value;
    const char* json;
  } cases[] = {
      {Value(), "null"},
      {Value(true), "true"},
      {Value(int64_t{-12}), "-12"},
      {Value(1.0), "1.0"},
      {Value(0.1), "0.1"},
      {Value(1e300), "1e+300"},
      {Value(5.0e-324), "5e-324"},
      {Value(2.0 / 3.0), "0.6666666666666666"},
      {Value(std::numeric_limits<double>::quiet_NaN()), "null"},
      {Value(-INFINITY), "null"},
      {Value("a \"b\" \\ c\n\t\x01"), "\"a \\\"b\\\" \\\\ c\\n\\t\\u0001\""},
      {Value("caf\xc3\xa9"), "\"caf\xc3\xa9\""},
      {Value(Value::Array{}), "[]"},
      {Value(Value::Object{}), "{}"},
      {Value(Value::Array{1.5, int64_t{2}, "x"}), "[1.5, 2, \"x\"]"},
      {Value(Value::Array{Value::Object{{"A", 1.0}}}), "[\n  {\n    \"A\": 1.0\n  }\n]"},
      {Value(Value::Object{{"K", Value::Array{}}, {"L", Value::Object{{"M", Value()}}}}),
       "{\n  \"K\": [],\n  \"L\": {\n    \"M\": null\n  }\n}"},
  };
  for (const Case& c : cases) EXPECT_EQ(to_json(c.value), std::string(c.json) + "\n");
}

TEST(RecordJson, RecordListsTheDocumentedKeysInOrder) {
  RunRecord r;
  r.used.sigma = {1.0, 2.0};
  r.used.scale = {64.0, 32.0};
  r.used.params = resolve_options({});
  r.mask = MaskRecord{"brain.nii.gz", 0.25};
  const Value v = record_value(r);
  const auto& object = std::get<Value::Object>(v.data);
  const auto& keys = record_keys();
  ASSERT_EQ(object.size(), keys.size());
  for (size_t k = 0; k < keys.size(); ++k) EXPECT_EQ(object[k].first, keys[k].key);
  EXPECT_NE(
      to_json(v).find("\"Mask\": {\n    \"Source\": \"brain.nii.gz\",\n    \"Coverage\": 0.25"),
      std::string::npos)
      << to_json(v);
}

// The default smoothing follows each volume's noise: a series whose volumes differ in noise
// reports one smoothing per volume, each the one a 3-D call on that volume uses; a series whose
// volumes share it reports one number.
TEST(RecordJson, SmoothingIsListedPerVolumeWhenItDiffers) {
  const Extents e{10, 9, 8};
  const int32_t n = voxel_count(e);
  std::vector<double> series(2 * static_cast<size_t>(n));
  uint32_t state = 7;
  for (int32_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const double noise = static_cast<double>(state >> 8) / 16777216.0 - 0.5;  // [-0.5, 0.5)
    series[i] = 100.0 + 4.0 * noise;
    series[n + i] = 100.0 + 80.0 * noise;
  }
  std::vector<double> out(series.size()), single(static_cast<size_t>(n));
  RunRecord r;
  ASSERT_EQ(denoise_series(series.data(), e, 2, Options{}, {}, out.data(), &r.used), Status::ok);
  ASSERT_EQ(r.used.smoothing.size(), 2u);
  for (int k = 0; k < 2; ++k) {
    Resolved alone;
    ASSERT_EQ(denoise(series.data() + k * n, e, Options{}, single.data(), &alone), Status::ok);
    EXPECT_EQ(r.used.smoothing[k], static_cast<double>(alone.smoothing)) << k;
  }
  EXPECT_LT(r.used.smoothing[0], r.used.smoothing[1]);
  const auto parameters = [](const RunRecord& record) {
    const Value whole = record_value(record);
    for (const auto& [key, value] : std::get<Value::Object>(whole.data)) {
      if (key == "Parameters") return to_json(value);
    }
    return std::string();
  };
  EXPECT_NE(parameters(r).find("\"Smoothing\": ["), std::string::npos) << parameters(r);
  // The same volume twice: one number.
  std::copy(series.begin(), series.begin() + n, series.begin() + n);
  ASSERT_EQ(denoise_series(series.data(), e, 2, Options{}, {}, out.data(), &r.used), Status::ok);
  std::string number = to_json(Value(r.used.smoothing[0]));
  number.pop_back();  // the line's end
  EXPECT_NE(parameters(r).find("\"Smoothing\": " + number + ",\n"), std::string::npos)
      << parameters(r);
}

}  // namespace
}  // namespace volnlm::pipeline

namespace volnlm::pipeline {
namespace {

// The guided method's default patch radius follows each volume's noise too: in a series whose
// volumes lie below, inside and above the wide patch's noise band (a diffusion series' b0 and
// weighted volumes differ as much), each volume takes its own, as a 3-D call on it would, and the
// record lists them; every front end renders this record.
TEST(RecordJson, PatchRadiusIsChosenAndListedPerVolume) {
  const Extents e{10, 9, 8};
  const int32_t n = voxel_count(e);
  const double amplitudes[] = {4.0, 17.0, 80.0};  // noise ratios near 0.01, 0.05 and 0.2
  std::vector<double> series(3 * static_cast<size_t>(n));
  uint32_t state = 7;
  for (int32_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const double noise = static_cast<double>(state >> 8) / 16777216.0 - 0.5;  // [-0.5, 0.5)
    for (int k = 0; k < 3; ++k)
      series[k * static_cast<size_t>(n) + i] = 100.0 + amplitudes[k] * noise;
  }
  std::vector<double> out(series.size()), single(static_cast<size_t>(n));
  RunRecord r;
  ASSERT_EQ(denoise_series(series.data(), e, 3, Options{}, {}, out.data(), &r.used), Status::ok);
  EXPECT_EQ(r.used.patch_radius,
            (std::vector<int32_t>{kDefaultPatchRadius, kWidePatchRadius, kDefaultPatchRadius}));
  for (int k = 0; k < 3; ++k) {
    Resolved alone;
    ASSERT_EQ(denoise(series.data() + k * n, e, Options{}, single.data(), &alone), Status::ok);
    EXPECT_EQ(r.used.patch_radius[k], alone.patch_radius) << k;
    EXPECT_EQ(r.used.smoothing[k], static_cast<double>(alone.smoothing)) << k;
    EXPECT_TRUE(std::equal(single.begin(), single.end(), out.begin() + k * n)) << k;
  }
  r.method = Method::guided;
  const std::string json = to_json(record_value(r));
  EXPECT_NE(json.find("\"PatchRadius\": [1, 2, 1]"), std::string::npos) << json;
  // A given patch radius holds for every volume: one number.
  Options given;
  given.patch_radius = 1;
  ASSERT_EQ(denoise_series(series.data(), e, 3, given, {}, out.data(), &r.used), Status::ok);
  EXPECT_NE(to_json(record_value(r)).find("\"PatchRadius\": 1,"), std::string::npos);
  // The block method keeps its patch radius at every noise level.
  Options block;
  block.method = Method::block;
  ASSERT_EQ(denoise_series(series.data(), e, 3, block, {}, out.data(), &r.used), Status::ok);
  EXPECT_EQ(r.used.patch_radius, std::vector<int32_t>(3, kDefaultPatchRadius));
}

}  // namespace
}  // namespace volnlm::pipeline
