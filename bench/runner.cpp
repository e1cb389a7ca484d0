// Runs one filter once on a raw volume and reports the time of the filter call alone.
//
//   volnlm_bench_run sorvane fast|reference NOISY GUIDE OUT d0 d1 d2 search_radius sigma rician
//   volnlm_bench_run blockdenoise fast|reference NOISY OUT d0 d1 d2 search_radius patch_radius
//                    sigma smoothing rician
// "fast-portable", "fast-avx2" or "fast-avx512" in place of "fast" times that instruction set's
// form of the production core (all give the same bits).
//
// Volumes are raw native-endian arrays, x fastest: doubles for sorvane, floats for
// blockdenoise. Prints "seconds <s>" on success, and "peak_kib <n>", the process's peak resident
// memory since its exec, where the system reports it. "fast" is the production core that every
// front end calls; "reference" the direct single-threaded rendering used by the tests.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "blockdenoise/blockdenoise.h"
#include "blockdenoise/filter_isa.h"
#include "common/isa.h"
#include "common/volume.h"
#include "reference.h"
#include "sorvane/filter_isa.h"
#include "sorvane/sorvane.h"

namespace {

using namespace volnlm;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "volnlm_bench_run: %s\n", message.c_str());
  std::exit(2);
}

template <class T>
std::vector<T> read_raw(const std::string& path, int64_t count) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) fail("cannot open " + path);
  if (static_cast<int64_t>(in.tellg()) != count * static_cast<int64_t>(sizeof(T))) {
    fail(path + " does not hold " + std::to_string(count) + " values of " +
         std::to_string(sizeof(T)) + " bytes");
  }
  std::vector<T> v(count);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(v.data()), count * static_cast<int64_t>(sizeof(T)));
  if (!in) fail("cannot read " + path);
  return v;
}

template <class T>
void write_raw(const std::string& path, const std::vector<T>& v) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(v.data()),
            static_cast<std::streamsize>(v.size() * sizeof(T)));
  if (!out) fail("cannot write " + path);
}

int32_t to_int(const char* s) {
  char* end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (*end != '\0' || v < INT32_MIN || v > INT32_MAX) fail(std::string("not an integer: ") + s);
  return static_cast<int32_t>(v);
}

double to_double(const char* s) {
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  if (*end != '\0') fail(std::string("not a number: ") + s);
  return v;
}

Extents extents_of(char** a) {
  const Extents e{to_int(a[0]), to_int(a[1]), to_int(a[2])};
  if (!voxel_count(e.d0, e.d1, e.d2).has_value() || voxel_count(e.d0, e.d1, e.d2) == 0)
    fail("bad extents");
  return e;
}

// Peak resident set of this process image (VmHWM). Unlike the rusage maximum, it does not count
// the memory of the parent that forked this process before its exec.
long peak_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

template <class F>
double seconds_of(F&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) fail("usage: volnlm_bench_run sorvane|blockdenoise fast[-ISA]|reference ...");
  const std::string filter = argv[1], impl = argv[2];
  // "fast" takes the widest instruction set this processor runs; "fast-ISA" names one.
  Isa isa = best_isa();
  bool known = impl == "fast" || impl == "reference";
  for (Isa named : {Isa::portable, Isa::avx2, Isa::avx512}) {
    if (impl == std::string("fast-") + isa_name(named)) {
      if (!isa_supported(named)) fail(impl + ": this processor does not run it");
      isa = named;
      known = true;
    }
  }
  if (!known)
    fail("implementation must be fast, fast-portable, fast-avx2, fast-avx512 or reference");
  const bool fast = impl != "reference";
  double seconds = 0.0;

  if (filter == "sorvane") {
    if (argc != 12) fail("sorvane takes NOISY GUIDE OUT d0 d1 d2 search_radius sigma rician");
    const Extents e = extents_of(argv + 6);
    sorvane::Params p;
    p.search_radius = to_int(argv[9]);
    p.sigma = to_double(argv[10]);
    p.rician = to_int(argv[11]) != 0;
    const int64_t n = voxel_count(e);
    const std::vector<double> noisy = read_raw<double>(argv[3], n),
                              guide = read_raw<double>(argv[4], n);
    std::vector<double> out(n);
    if (fast) {
      if (auto error = sorvane::check_params(p)) fail(error->message);
      Status status = Status::ok;
      seconds = seconds_of([&] {
        status = sorvane::filter_with(isa, noisy.data(), guide.data(), e, p, out.data());
      });
      if (status != Status::ok) fail("the filter failed");
    } else {
      seconds =
          seconds_of([&] { reference::sorvane(noisy.data(), guide.data(), e, p, out.data()); });
    }
    write_raw(argv[5], out);
  } else if (filter == "blockdenoise") {
    if (argc != 13)
      fail(
          "blockdenoise takes NOISY OUT d0 d1 d2 search_radius patch_radius sigma smoothing "
          "rician");
    const Extents e = extents_of(argv + 5);
    blockdenoise::Params p;
    p.search_radius = to_int(argv[8]);
    p.patch_radius = to_int(argv[9]);
    p.sigma = static_cast<float>(to_double(argv[10]));
    p.smoothing = static_cast<float>(to_double(argv[11]));
    p.rician = to_int(argv[12]) > 0;
    if (auto error = blockdenoise::check_params(e, p)) fail(error->message);
    const int64_t n = voxel_count(e);
    const std::vector<float> noisy = read_raw<float>(argv[3], n);
    std::vector<float> out(n);
    if (fast) {
      Status status = Status::ok;
      seconds = seconds_of(
          [&] { status = blockdenoise::filter_with(isa, noisy.data(), e, p, out.data()); });
      if (status != Status::ok) fail("the filter failed");
    } else {
      seconds = seconds_of([&] { reference::blockdenoise(noisy.data(), e, p, out.data()); });
    }
    write_raw(argv[4], out);
  } else {
    fail("unknown filter " + filter);
  }
  std::printf("seconds %.6f\n", seconds);
  const long kib = peak_kib();
  if (kib >= 0) std::printf("peak_kib %ld\n", kib);
  return 0;
}
