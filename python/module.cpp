// volnlm._core: the compiled half of the Python module. The pure-Python package (volnlm/) turns
// whatever the caller passes into Fortran-ordered arrays of the filter's element type and checks
// the scalar types; this file checks values with the cores' own checks, allocates the result,
// and runs the cores with the GIL released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "blockdenoise/blockdenoise.h"
#include "common/mask.h"
#include "common/scalar.h"
#include "common/shape_check.h"
#include "pipeline/defaults.h"
#include "pipeline/pipeline.h"
#include "pipeline/record.h"
#include "pipeline/series.h"
#include "sorvane/sorvane.h"

namespace py = pybind11;

namespace {

using volnlm::Extents;
using volnlm::Status;

// A volume handed over by the Python layer: a 1-, 2- or 3-D Fortran-ordered array of T.
template <class T>
struct VolumeView {
  py::array array;
  Extents extents;
  int32_t count = 0;
};

// The array's first three extents, 1 for those it does not have.
void dims_of(const py::array& a, int64_t (&d)[3]) {
  d[0] = d[1] = d[2] = 1;
  for (py::ssize_t i = 0; i < a.ndim() && i < 3; ++i) d[i] = a.shape(i);
}

template <class T>
VolumeView<T> view_of(const py::array& a, const char* name) {
  // The Python layer has already converted; anything else is a misuse of the private module.
  if (!py::isinstance<py::array_t<T>>(a) || !(a.flags() & py::array::f_style) || a.ndim() < 1 ||
      a.ndim() > 3) {
    throw py::type_error(std::string(name) + ": expected a Fortran-ordered 1- to 3-D array of " +
                         (sizeof(T) == 4 ? "float32" : "float64"));
  }
  int64_t d[3];
  dims_of(a, d);
  if (const auto error = volnlm::check_shape(d, name)) throw py::value_error(error->message);
  const Extents extents = volnlm::extents_of(d);
  return VolumeView<T>{a, extents, volnlm::voxel_count(extents)};
}

// The shape check alone, for the Python layer to run before it converts anything. Extents past
// a signed 64-bit count are clamped there, which is as much too large.
void check_shape(const std::string& name, const std::vector<int64_t>& shape) {
  int64_t d[3] = {1, 1, 1};
  for (size_t i = 0; i < shape.size() && i < 3; ++i) d[i] = shape[i];
  if (const auto error = volnlm::check_shape(d, name)) throw py::value_error(error->message);
}

// The mask handed over by the Python layer (which made it a Fortran-ordered array of 0/1 bytes
// of the volume's shape, one volume's for a series), as the cores read it; null for none.
const uint8_t* mask_of(const std::optional<py::array>& mask, const Extents& extents) {
  if (!mask) return nullptr;
  const py::array& a = *mask;
  int64_t d[3];
  dims_of(a, d);
  if (!py::isinstance<py::array_t<uint8_t>>(a) || !(a.flags() & py::array::f_style) ||
      a.ndim() < 1 || a.ndim() > 3 || d[0] != extents.d0 || d[1] != extents.d1 ||
      d[2] != extents.d2) {
    throw py::type_error("mask: expected a Fortran-ordered uint8 array of the volume's shape");
  }
  return static_cast<const uint8_t*>(a.data());
}

template <class T>
py::array_t<T> like(const py::array& a) {
  std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
  return py::array_t<T, py::array::f_style>(shape);
}

template <class T>
const T* data_of(const VolumeView<T>& v) {
  return static_cast<const T*>(v.array.data());
}

// Lets Ctrl-C reach Python while a call runs with the GIL released. Python runs its signal
// handlers on the main thread only, when that thread holds the GIL; the core's runner calls
// poll() on the calling thread every few milliseconds while its workers run, and poll takes the
// GIL and runs the handlers. An exception they raise (KeyboardInterrupt) stops the call and is
// raised once the workers have been joined. Calls from other threads are not polled: Python
// would not run a handler there.
class SignalCheck {
 public:
  // Made with the GIL held.
  SignalCheck() {
    const py::module_ threading = py::module_::import("threading");
    main_ = threading.attr("current_thread")().is(threading.attr("main_thread")());
  }

  volnlm::Interrupt interrupt() {
    return main_ ? volnlm::Interrupt{&poll, this} : volnlm::Interrupt{};
  }

  // Raises what a handler raised, if it did; with the GIL held.
  void raise_pending() {
    if (error_) throw *error_;
  }

 private:
  static bool poll(void* self) {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    static_cast<SignalCheck*>(self)->error_.emplace();  // takes the exception from Python
    return true;
  }

  bool main_ = false;
  std::optional<py::error_already_set> error_;
};

void raise_for(Status status, SignalCheck& signals) {
  switch (status) {
    case Status::ok:
      return;
    case Status::threads:
      throw std::runtime_error("Threads cannot be created");
    case Status::memory:
      // A MemoryError that says what ran short (pybind11 would pass on "std::bad_alloc"); when
      // the result array itself cannot be had, numpy's own MemoryError comes instead. A worker
      // thread whose stack cannot be had is a shortage of memory too.
      PyErr_SetString(PyExc_MemoryError, "not enough memory for the filter's buffers");
      throw py::error_already_set();
    case Status::invalid:
      // Every argument is checked first; this keeps a missed check from passing silently.
      throw py::value_error("the filter refused its arguments");
    case Status::stopped:
      signals.raise_pending();
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      throw py::error_already_set();
  }
}

void raise_for(const std::optional<volnlm::ArgError>& error) {
  if (error) throw py::value_error(error->message);
}

py::array sorvane(const py::array& noisy_array, const py::array& guide_array, int32_t search_radius,
                  double sigma, bool rician, int32_t threads,
                  const std::optional<py::array>& mask) {
  const auto noisy = view_of<double>(noisy_array, "noisy");
  const auto guide = view_of<double>(guide_array, "guide");
  const Extents& n = noisy.extents;
  raise_for(volnlm::sorvane::check_guide(n, guide.extents, "guide", "noisy"));
  volnlm::sorvane::Params params;
  params.search_radius = search_radius;
  params.sigma = sigma;
  params.rician = rician;
  params.threads = threads;
  params.mask = mask_of(mask, n);
  raise_for(volnlm::sorvane::check_params(params));

  auto out = like<double>(noisy_array);
  if (noisy.count == 0) return out;
  double* result = out.mutable_data();
  SignalCheck signals;
  params.interrupt = signals.interrupt();
  Status status;
  {
    py::gil_scoped_release release;
    status = volnlm::sorvane::filter(data_of(noisy), data_of(guide), n, params, result);
  }
  raise_for(status, signals);
  return out;
}

py::array blockdenoise(const py::array& noisy_array, int32_t search_radius, int32_t patch_radius,
                       double sigma, double smoothing, bool rician, int32_t threads,
                       const std::optional<py::array>& mask) {
  const auto noisy = view_of<float>(noisy_array, "noisy");
  volnlm::blockdenoise::Params params;
  params.search_radius = search_radius;
  params.patch_radius = patch_radius;
  // Rounded to single precision by the rule the plug-in uses, so both give the same bits.
  params.sigma = volnlm::round_to_float(sigma);
  params.smoothing = volnlm::round_to_float(smoothing);
  params.rician = rician;
  params.threads = threads;
  params.mask = mask_of(mask, noisy.extents);
  raise_for(volnlm::blockdenoise::check_params(noisy.extents, params));

  auto out = like<float>(noisy_array);
  if (noisy.count == 0) return out;
  float* result = out.mutable_data();
  SignalCheck signals;
  params.interrupt = signals.interrupt();
  Status status;
  {
    py::gil_scoped_release release;
    status = volnlm::blockdenoise::filter(data_of(noisy), noisy.extents, params, result);
  }
  raise_for(status, signals);
  return out;
}

// A series handed over by the Python layer: a 1- to 4-D Fortran-ordered float64 array, its first
// three axes one volume and the fourth (when present) the volumes, stored one after another.
struct SeriesView {
  py::array array;
  Extents extents;
  int64_t volumes = 1;
};

SeriesView series_of(const py::array& a, const char* name) {
  if (!py::isinstance<py::array_t<double>>(a) || !(a.flags() & py::array::f_style) ||
      a.ndim() < 1 || a.ndim() > 4) {
    throw py::type_error(std::string(name) +
                         ": expected a Fortran-ordered 1- to 4-D array of float64");
  }
  int64_t d[3];
  dims_of(a, d);
  if (const auto error = volnlm::check_shape(d, name)) throw py::value_error(error->message);
  return SeriesView{a, volnlm::extents_of(d), a.ndim() == 4 ? static_cast<int64_t>(a.shape(3)) : 1};
}

// The estimate (a float, or one per volume of a series) and, with a mask, the number of voxels
// inside it (None without one), so that the caller can warn about an empty one.
py::tuple estimate_sigma(const py::array& volume_array, bool rician,
                         const std::optional<py::array>& mask, bool auto_mask) {
  const SeriesView series = series_of(volume_array, "volume");
  volnlm::pipeline::Options options;
  options.mask = mask_of(mask, series.extents);
  options.auto_mask = auto_mask;
  const auto* values = static_cast<const double*>(series.array.data());
  std::vector<volnlm::pipeline::SigmaEstimate> estimates;
  std::optional<int64_t> inside;
  {
    py::gil_scoped_release release;
    std::vector<uint8_t> own;
    const uint8_t* used =
        volnlm::pipeline::series_mask(values, series.extents, series.volumes, options, own);
    if (used) inside = volnlm::mask_count(used, volnlm::voxel_count(series.extents));
    estimates = volnlm::pipeline::estimate_sigma_series(values, series.extents, series.volumes,
                                                        rician, used);
  }
  py::object inside_count = inside ? py::object(py::int_(*inside)) : py::object(py::none());
  if (volume_array.ndim() < 4) return py::make_tuple(py::float_(estimates[0].sigma), inside_count);
  py::array_t<double> out(static_cast<py::ssize_t>(estimates.size()));
  for (size_t k = 0; k < estimates.size(); ++k) out.mutable_data()[k] = estimates[k].sigma;
  return py::make_tuple(out, inside_count);
}

// The record's value tree as Python objects: dicts, lists, str, float, int, bool, None.
py::object to_python(const volnlm::pipeline::Value& value) {
  using volnlm::pipeline::Value;
  if (const bool* b = std::get_if<bool>(&value.data)) return py::bool_(*b);
  if (const int64_t* i = std::get_if<int64_t>(&value.data)) return py::int_(*i);
  if (const double* d = std::get_if<double>(&value.data)) return py::float_(*d);
  if (const std::string* s = std::get_if<std::string>(&value.data)) return py::str(*s);
  if (const Value::Array* a = std::get_if<Value::Array>(&value.data)) {
    py::list list;
    for (const Value& v : *a) list.append(to_python(v));
    return list;
  }
  if (const Value::Object* o = std::get_if<Value::Object>(&value.data)) {
    py::dict dict;
    for (const auto& [key, v] : *o) dict[py::str(key)] = to_python(v);
    return dict;
  }
  return py::none();
}

// The pipeline's options for a method named as Python names it and the radii given (empty: the
// defaults); ValueError for an unknown method.
volnlm::pipeline::Options method_options(const std::string& method,
                                         std::optional<int32_t> search_radius,
                                         std::optional<int32_t> patch_radius,
                                         std::optional<int32_t> guided_search_radius) {
  volnlm::pipeline::Options options;
  const auto parsed = volnlm::pipeline::method_from_name(method);
  if (!parsed) raise_for(volnlm::pipeline::method_error(method));
  options.method = *parsed;
  options.search_radius = search_radius;
  options.patch_radius = patch_radius;
  options.guided_search_radius = guided_search_radius;
  return options;
}

py::tuple denoise(const py::array& volume_array, std::optional<std::vector<double>> sigma,
                  bool shared_sigma, const std::string& method, bool rician,
                  std::optional<int32_t> search_radius, std::optional<int32_t> patch_radius,
                  std::optional<double> smoothing, std::optional<int32_t> guided_search_radius,
                  std::optional<double> maximum, std::optional<double> peak, int32_t threads,
                  const std::optional<py::array>& mask, bool auto_mask) {
  const auto start = std::chrono::steady_clock::now();
  const SeriesView series = series_of(volume_array, "volume");
  volnlm::pipeline::Options options =
      method_options(method, search_radius, patch_radius, guided_search_radius);
  options.rician = rician;
  if (smoothing) options.smoothing = volnlm::round_to_float(*smoothing);
  options.maximum = maximum;
  options.peak = peak;
  options.mask = mask_of(mask, series.extents);
  options.auto_mask = auto_mask;
  volnlm::pipeline::SeriesSigma sigmas;
  if (sigma) sigmas.given = *sigma;
  options.threads = threads;
  sigmas.shared = shared_sigma;
  // A single sigma goes through the same check as a 3-D call's.
  if (sigmas.given.size() == 1) options.sigma = sigmas.given[0];
  raise_for(volnlm::pipeline::check_options(series.extents, options));
  options.sigma.reset();
  raise_for(volnlm::pipeline::check_series_sigma(sigmas, series.volumes));
  // A given sigma must suit each volume's values (see pipeline::sigma_range).
  const int64_t per_volume = volnlm::voxel_count(series.extents);
  const auto* values = static_cast<const double*>(series.array.data());
  for (int64_t k = 0; k < series.volumes && !sigmas.given.empty(); ++k) {
    const double given = sigmas.given[sigmas.given.size() == 1 ? 0 : k];
    auto error = peak ? volnlm::pipeline::check_sigma_for_peak(given, *peak)
                      : volnlm::pipeline::check_sigma(given, values + k * per_volume, per_volume);
    if (error) {
      if (series.volumes > 1) error->message += " (volume " + std::to_string(k) + ")";
      raise_for(error);
    }
  }

  auto out = like<double>(volume_array);
  volnlm::pipeline::RunRecord record;
  record.method = options.method;
  record.rician = rician;
  record.sigma_source = volnlm::pipeline::sigma_source(sigmas);
  SignalCheck signals;
  options.interrupt = signals.interrupt();
  Status status;
  {
    py::gil_scoped_release release;
    status = volnlm::pipeline::denoise_series(static_cast<const double*>(series.array.data()),
                                              series.extents, series.volumes, options, sigmas,
                                              out.mutable_data(), &record.used);
  }
  raise_for(status, signals);
  record.mask = volnlm::pipeline::mask_record(record.used.params, series.extents, "array");
  record.elapsed_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return py::make_tuple(out, to_python(volnlm::pipeline::record_value(record)));
}

// Negative voxels of a Fortran-ordered float64 array of any shape, read in place.
int64_t count_negative(const py::array& a) {
  if (!py::isinstance<py::array_t<double>>(a) || !(a.flags() & py::array::f_style)) {
    throw py::type_error("count_negative: expected a Fortran-ordered array of float64");
  }
  const auto* values = static_cast<const double*>(a.data());
  const auto count = static_cast<int64_t>(a.size());
  py::gil_scoped_release release;
  return volnlm::pipeline::count_negative(values, count);
}

// The options' reach (pipeline::reach), for cutting a volume into chunks with halos.
int64_t reach(const std::string& method, std::optional<int32_t> search_radius,
              std::optional<int32_t> patch_radius, std::optional<int32_t> guided_search_radius) {
  const volnlm::pipeline::Options options =
      method_options(method, search_radius, patch_radius, guided_search_radius);
  raise_for(volnlm::pipeline::check_options(Extents{}, options));
  return volnlm::pipeline::reach(options);
}

// What a chunked run needs of the whole volume, of any array of float64 in any layout: the
// maximum the blockwise step reads (pipeline::volume_maximum) and the peak magnitude sigma is
// checked against (pipeline::peak_magnitude). The largest of each over a volume's parts is the
// whole volume's.
py::tuple volume_extremes(const py::array_t<double, py::array::forcecast>& values) {
  const py::array_t<double, py::array::c_style | py::array::forcecast> flat(values);
  const double* data = flat.data();
  const int64_t count = flat.size();
  double maximum = 0.0, peak = 0.0;
  {
    py::gil_scoped_release release;
    maximum = volnlm::pipeline::volume_maximum(data, count);
    peak = volnlm::pipeline::peak_magnitude(data, count);
  }
  return py::make_tuple(maximum, peak);
}

// The automatic head mask of a 3-D volume (pipeline::head_mask), as 0/1 bytes of its shape, for
// chunked callers that hand the mask to each chunk's call, and for tests and measurements.
py::array head_mask(const py::array& volume_array) {
  const auto volume = view_of<double>(volume_array, "volume");
  auto out = like<uint8_t>(volume_array);
  if (volume.count == 0) return out;  // no voxel to threshold
  {
    py::gil_scoped_release release;
    const std::vector<uint8_t> mask = volnlm::pipeline::head_mask(data_of(volume), volume.extents);
    std::copy(mask.begin(), mask.end(), out.mutable_data());
  }
  return out;
}

// A sigma for a volume whose peak magnitude is `peak`: ValueError naming the range when it lies
// outside it (pipeline::check_sigma_for_peak); returns the range's lower end.
double check_sigma(double sigma, double peak) {
  raise_for(volnlm::pipeline::check_sigma_for_peak(sigma, peak));
  return volnlm::pipeline::sigma_range(peak).low;
}

// The block filter's patch radius and smoothing denoise would use for `volume` (3-D,
// Fortran-ordered float64), this sigma and these options (pipeline::block_defaults with the
// volume's signal level): the given values where given, else the defaults for its noise ratio.
py::tuple block_defaults(const py::array& volume_array, double sigma, const std::string& method,
                         std::optional<int32_t> patch_radius, std::optional<double> smoothing) {
  const auto volume = view_of<double>(volume_array, "volume");
  volnlm::pipeline::Options options =
      method_options(method, std::nullopt, patch_radius, std::nullopt);
  if (smoothing) options.smoothing = volnlm::round_to_float(*smoothing);
  double signal = 0.0;
  {
    py::gil_scoped_release release;
    signal = volnlm::pipeline::signal_level(data_of(volume), volume.extents);
  }
  const auto choice = volnlm::pipeline::block_defaults(options, volume.extents, sigma, signal);
  return py::make_tuple(choice.patch_radius, static_cast<double>(choice.smoothing));
}

std::string record_keys_text() {
  std::string text;
  for (const auto& key : volnlm::pipeline::record_keys()) {
    text += std::string(key.key) + "\n    " + key.meaning + "\n";
  }
  return text;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "Compiled filters of volnlm; use the functions of the volnlm package instead.";
  // denoise's defaults and method names, from the core's one definition of them.
  namespace pl = volnlm::pipeline;
  py::dict defaults;
  defaults["method"] = pl::method_name(pl::Method::guided);
  defaults["search_radius"] = pl::kDefaultSearchRadius;
  defaults["patch_radius"] = pl::default_patch_radius_text();
  defaults["smoothing"] = pl::default_smoothing_text();
  defaults["guided_search_radius"] = pl::kDefaultGuidedSearchRadius;
  m.attr("DEFAULTS") = defaults;
  m.attr("METHODS") =
      py::make_tuple(pl::method_name(pl::Method::guided), pl::method_name(pl::Method::block));
  m.def("sorvane", &sorvane, py::arg("noisy"), py::arg("guide"), py::arg("search_radius"),
        py::arg("sigma"), py::arg("rician"), py::arg("threads"), py::arg("mask") = py::none());
  m.def("blockdenoise", &blockdenoise, py::arg("noisy"), py::arg("search_radius"),
        py::arg("patch_radius"), py::arg("sigma"), py::arg("smoothing"), py::arg("rician"),
        py::arg("threads"), py::arg("mask") = py::none());
  m.def("check_shape", &check_shape, py::arg("name"), py::arg("shape"));
  m.def("count_negative", &count_negative, py::arg("values"));
  m.def("negative_voxels_warning", &volnlm::pipeline::negative_voxels_warning, py::arg("negatives"),
        py::arg("what"), py::arg("gaussian_choice"));
  m.def("estimate_sigma", &estimate_sigma, py::arg("volume"), py::arg("rician"),
        py::arg("mask") = py::none(), py::arg("auto_mask") = false);
  m.def("denoise", &denoise, py::arg("volume"), py::arg("sigma"), py::arg("shared_sigma"),
        py::arg("method"), py::arg("rician"), py::arg("search_radius"), py::arg("patch_radius"),
        py::arg("smoothing"), py::arg("guided_search_radius"), py::arg("maximum") = py::none(),
        py::arg("peak") = py::none(), py::arg("threads") = 0, py::arg("mask") = py::none(),
        py::arg("auto_mask") = false);
  m.def("reach", &reach, py::arg("method"), py::arg("search_radius"), py::arg("patch_radius"),
        py::arg("guided_search_radius"));
  m.def("volume_extremes", &volume_extremes, py::arg("values"));
  m.def("block_defaults", &block_defaults, py::arg("volume"), py::arg("sigma"), py::arg("method"),
        py::arg("patch_radius") = py::none(), py::arg("smoothing") = py::none());
  m.def("head_mask", &head_mask, py::arg("volume"));
  m.def("check_sigma", &check_sigma, py::arg("sigma"), py::arg("peak"));
  m.attr("RECORD_KEYS") = record_keys_text();
  m.attr("VERSION") = volnlm::pipeline::version();
}
