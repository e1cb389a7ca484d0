// Micro-benchmarks of both filters, fast core and reference rendering, on a small seeded
// magnitude phantom. For quick before/after comparisons while optimising; the numbers that
// count come from run.py on the real template.
#include <benchmark/benchmark.h>

#include <vector>

#include "blockdenoise/blockdenoise.h"
#include "reference.h"
#include "sorvane/sorvane.h"
#include "test_volumes.h"

namespace {

using namespace volnlm;

constexpr Extents kExtents{24, 24, 24};
constexpr double kNoise = 10.0;

const std::vector<double>& noisy_doubles() {
  static const std::vector<double> v =
      testvol::make_volume(testvol::Kind::magnitude, kExtents, 1, kNoise);
  return v;
}

const std::vector<double>& guide_doubles() {
  static const std::vector<double> v = testvol::box_blur(noisy_doubles(), kExtents);
  return v;
}

blockdenoise::Params block_params(int64_t radius) {
  blockdenoise::Params p;
  p.search_radius = static_cast<int32_t>(radius);
  p.patch_radius = 1;
  p.sigma = static_cast<float>(kNoise);
  p.smoothing = 1.0f;
  p.rician = true;
  return p;
}

sorvane::Params guided_params(int64_t radius) {
  sorvane::Params p;
  p.search_radius = static_cast<int32_t>(radius);
  p.sigma = kNoise;
  p.rician = true;
  return p;
}

void set_rate(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * voxel_count(kExtents));
}

void BM_blockdenoise_fast(benchmark::State& state) {
  const std::vector<float> noisy = testvol::to_floats(noisy_doubles());
  std::vector<float> out(noisy.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        blockdenoise::filter(noisy.data(), kExtents, block_params(state.range(0)), out.data()));
  }
  set_rate(state);
}

void BM_blockdenoise_reference(benchmark::State& state) {
  const std::vector<float> noisy = testvol::to_floats(noisy_doubles());
  std::vector<float> out(noisy.size());
  for (auto _ : state) {
    reference::blockdenoise(noisy.data(), kExtents, block_params(state.range(0)), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  set_rate(state);
}

void BM_sorvane_fast(benchmark::State& state) {
  std::vector<double> out(noisy_doubles().size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(sorvane::filter(noisy_doubles().data(), guide_doubles().data(),
                                             kExtents, guided_params(state.range(0)), out.data()));
  }
  set_rate(state);
}

void BM_sorvane_reference(benchmark::State& state) {
  std::vector<double> out(noisy_doubles().size());
  for (auto _ : state) {
    reference::sorvane(noisy_doubles().data(), guide_doubles().data(), kExtents,
                       guided_params(state.range(0)), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  set_rate(state);
}

}  // namespace

BENCHMARK(BM_blockdenoise_fast)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_blockdenoise_reference)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_sorvane_fast)->Arg(3)->Arg(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_sorvane_reference)->Arg(3)->Arg(5)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
