#include "cli/nifti_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/errors.h"
#include "common/text.h"
#include "common/thread_count.h"

namespace volnlm::cli {
namespace {

// Voxels converted per step: bounds the temporary buffers and keeps zlib's int counts small.
constexpr int64_t kChunkVoxels = int64_t{1} << 20;

// Bytes per voxel of the datatypes read, or 0 for the ones without real scalar voxels.
int scalar_size(int datatype) {
  switch (datatype) {
    case DT_UINT8:
    case DT_INT8:
      return 1;
    case DT_INT16:
    case DT_UINT16:
      return 2;
    case DT_INT32:
    case DT_UINT32:
    case DT_FLOAT32:
      return 4;
    case DT_INT64:
    case DT_UINT64:
    case DT_FLOAT64:
      return 8;
    default:
      return 0;
  }
}

template <class T>
void convert_from(const unsigned char* raw, int64_t n, bool scale, double slope, double inter,
                  double* out) {
  for (int64_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, raw + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
    const double d = static_cast<double>(v);
    out[i] = scale ? d * slope + inter : d;
  }
}

void convert(int datatype, const unsigned char* raw, int64_t n, bool scale, double slope,
             double inter, double* out) {
  switch (datatype) {
    case DT_UINT8:
      return convert_from<uint8_t>(raw, n, scale, slope, inter, out);
    case DT_INT8:
      return convert_from<int8_t>(raw, n, scale, slope, inter, out);
    case DT_INT16:
      return convert_from<int16_t>(raw, n, scale, slope, inter, out);
    case DT_UINT16:
      return convert_from<uint16_t>(raw, n, scale, slope, inter, out);
    case DT_INT32:
      return convert_from<int32_t>(raw, n, scale, slope, inter, out);
    case DT_UINT32:
      return convert_from<uint32_t>(raw, n, scale, slope, inter, out);
    case DT_INT64:
      return convert_from<int64_t>(raw, n, scale, slope, inter, out);
    case DT_UINT64:
      return convert_from<uint64_t>(raw, n, scale, slope, inter, out);
    case DT_FLOAT32:
      return convert_from<float>(raw, n, scale, slope, inter, out);
    case DT_FLOAT64:
      return convert_from<double>(raw, n, scale, slope, inter, out);
    default:
      return;
  }
}

std::string errno_text() {
  return std::strerror(errno);
}

// What the first bytes of a header say, before niftilib reads it (niftilib reports every single
// file as NIfTI-1 and turns zero extents into 1).
struct RawHeader {
  int version = -1;         // 1 or 2 for NIfTI-1 or NIfTI-2, 0 for ANALYZE 7.5, -1 for neither
  bool single_file = true;  // magic "n+1" / "n+2": header and voxels in one file
  int64_t dim[8] = {};      // as stored
  int datatype = 0;
  double vox_offset = 0.0;  // a float in NIfTI-1 (so possibly NaN or infinite), an int64 in NIfTI-2
};

RawHeader raw_header(const std::string& path) {
  RawHeader raw;
  char* name = nifti_findhdrname(path.c_str());  // the .hdr of a .img, else the file itself
  const std::string header = name != nullptr ? name : path;
  std::free(name);
  gzFile f = gzopen(header.c_str(), "rb");
  // The file was found readable, so this is a failure to open it (out of memory, say), not a
  // sign of another format.
  if (f == nullptr) throw RunError("cannot read " + header + ": " + errno_text());
  unsigned char b[548] = {};
  const int got = gzread(f, b, sizeof b);
  int code = Z_OK;
  gzerror(f, &code);
  gzclose(f);
  if (got < 0 && code == Z_MEM_ERROR) throw RunError("cannot read " + header + ": out of memory");
  if (got < 348) return raw;
  // An integer of `bytes` bytes at `at`, in the byte order that makes the size field right.
  bool swap = false;
  auto integer = [&](int at, int bytes) {
    uint64_t v = 0;
    for (int k = 0; k < bytes; ++k) v |= uint64_t{b[at + (swap ? bytes - 1 - k : k)]} << (8 * k);
    if (bytes < 8 && (v >> (8 * bytes - 1)) != 0) v |= ~uint64_t{0} << (8 * bytes);  // sign
    return static_cast<int64_t>(v);
  };
  auto magic = [&](int at, char version) {
    return b[at] == 'n' && (b[at + 1] == '+' || b[at + 1] == 'i') && b[at + 2] == version &&
           b[at + 3] == 0;
  };
  for (const bool s : {false, true}) {
    swap = s;
    const int64_t size = integer(0, 4);
    if (size == 348) {
      raw.version = magic(344, '1') ? 1 : 0;
      raw.single_file = b[345] == '+';
      for (int k = 0; k < 8; ++k) raw.dim[k] = integer(40 + 2 * k, 2);
      raw.datatype = static_cast<int>(integer(70, 2));
      const auto bits = static_cast<uint32_t>(integer(108, 4));
      float offset = 0.0f;
      std::memcpy(&offset, &bits, 4);
      raw.vox_offset = offset;
      return raw;
    }
    if (size == 540 && got >= 540 && magic(4, '2')) {
      raw.version = 2;
      raw.single_file = b[5] == '+';
      for (int k = 0; k < 8; ++k) raw.dim[k] = integer(16 + 8 * k, 8);
      raw.datatype = static_cast<int>(integer(12, 2));
      raw.vox_offset = static_cast<double>(integer(168, 8));
      return raw;
    }
  }
  return raw;
}

// Ten significant digits: enough to tell header values apart in a message.
std::string number_text(double v) {
  return volnlm::number_text(v, 10);
}

// Sends stderr to /dev/null while it lives: niftilib prints its own "** ERROR" lines whatever
// its debug level, and every failure is reported in our words instead.
class QuietStderr {
 public:
  QuietStderr() {
    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (saved_ >= 0) dup2(null, 2);
    close(null);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;
  ~QuietStderr() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }

 private:
  int saved_ = -1;
};

// True when the file starts with the gzip magic bytes.
bool is_gzip_file(const std::string& path) {
  unsigned char magic[2] = {};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool gz = read(fd, magic, 2) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
  close(fd);
  return gz;
}

}  // namespace

NiftiName nifti_name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // The extension: the last dot's part, and the one before it when the last is gz.
  size_t dot = base.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return NiftiName::other;
  std::string ext = base.substr(dot);
  bool gz = false;
  auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  if (lower(ext) == ".gz") {
    const size_t inner = dot > 0 ? base.find_last_of('.', dot - 1) : std::string::npos;
    if (inner == std::string::npos || inner == 0) return NiftiName::other;
    ext = base.substr(inner);
    gz = true;
  }
  const std::string low = lower(ext);
  const std::string kind = gz ? low.substr(0, low.size() - 3) : low;
  if (kind != ".nii" && kind != ".hdr" && kind != ".img") return NiftiName::other;
  bool has_lower = false, has_upper = false;
  for (const char c : ext) {
    has_lower = has_lower || std::islower(static_cast<unsigned char>(c));
    has_upper = has_upper || std::isupper(static_cast<unsigned char>(c));
  }
  if (has_lower && has_upper) return NiftiName::mixed_case;
  if (kind == ".nii") return gz ? NiftiName::single_gz : NiftiName::single;
  return NiftiName::pair;
}

std::string nifti_name_rule() {
  return "NIfTI names end in .nii, .nii.gz, or .hdr/.img (optionally .gz), all in lower or all "
         "in upper case";
}

NiftiReader::NiftiReader(const std::string& path) : path_(path) {
  nifti_set_debug_level(0);  // the library stays quiet; failures are reported in our words
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw RunError("cannot read " + path + ": " + errno_text());
  if (S_ISDIR(st.st_mode)) throw RunError("cannot read " + path + ": it is a directory");
  if (access(path.c_str(), R_OK) != 0) {
    throw RunError("cannot read " + path + ": " + errno_text());
  }
  const NiftiName name = nifti_name(path);
  if (name == NiftiName::other || name == NiftiName::mixed_case) {
    throw RunError("cannot read " + path + ": " +
                   (name == NiftiName::mixed_case ? "its extension mixes upper and lower case; "
                                                  : "not a NIfTI file name; ") +
                   nifti_name_rule());
  }
  const RawHeader raw = raw_header(path);
  const int version = raw.version;
  if (version == 0) {
    throw RunError(path + " is an ANALYZE 7.5 file, not NIfTI: its orientation is unknown");
  }
  if (version < 0) throw RunError(path + " is not a NIfTI file (or its header cannot be read)");
  // What niftilib would refuse as a bad header, said for what it is.
  if (raw.dim[0] < 1 || raw.dim[0] > 7) {
    throw RunError(path + " gives dim[0] = " + std::to_string(raw.dim[0]) +
                   ": a NIfTI header has 1 to 7 dimensions");
  }
  for (int i = 1; i <= raw.dim[0]; ++i) {
    if (raw.dim[i] < 1) {
      throw RunError(path + (raw.dim[i] == 0 ? " holds no voxels" : " has a negative extent") +
                     ": dim[" + std::to_string(i) + "] = " + std::to_string(raw.dim[i]));
    }
  }
  if (raw.datatype == DT_BINARY) {
    throw RunError(path +
                   " holds voxels of type BINARY (1 bit each); volnlm reads real integer "
                   "and floating-point types up to 64 bits");
  }
  if (!nifti_is_valid_datatype(raw.datatype)) {
    throw RunError(path + " gives the unknown datatype code " + std::to_string(raw.datatype));
  }
  if (std::isnan(raw.vox_offset) || std::isinf(raw.vox_offset)) {
    throw RunError(path + " gives vox_offset = " + number_text(raw.vox_offset) +
                   ": where its voxel data starts is unknown");
  }
  {
    QuietStderr quiet;
    header_.reset(nifti_image_read(path.c_str(), 0));
  }
  if (!header_) throw RunError("cannot read the NIfTI header of " + path);
  // niftilib reports every single file as NIfTI-1; the header's size says which it is.
  if (version == 2) {
    header_->nifti_type =
        header_->nifti_type == NIFTI_FTYPE_NIFTI1_2 ? NIFTI_FTYPE_NIFTI2_2 : NIFTI_FTYPE_NIFTI2_1;
  }
  const nifti_image& h = *header_;

  const int size = scalar_size(h.datatype);
  if (size == 0) {
    throw RunError(path + " holds voxels of type " + nifti_datatype_string(h.datatype) +
                   "; volnlm reads real integer and floating-point types up to 64 bits");
  }
  if (h.nbyper != size) throw RunError("the NIfTI header of " + path + " is inconsistent");
  // Extents past dim[0] are ignored, whatever they hold (the stored ones were checked above).
  int64_t dim[8] = {h.dim[0], 1, 1, 1, 1, 1, 1, 1};
  for (int64_t i = 1; i <= std::min<int64_t>(h.dim[0], 7); ++i) dim[i] = h.dim[i];
  for (int i = 1; i < 8; ++i) {
    if (dim[i] < 1) throw RunError(path + " holds no voxels");
  }
  const auto count = voxel_count(dim[1], dim[2], dim[3]);
  if (!count) {
    throw RunError(path + ": a volume of " + std::to_string(dim[1]) + "x" + std::to_string(dim[2]) +
                   "x" + std::to_string(dim[3]) + " voxels is more than volnlm can index (" +
                   std::to_string(kMaxVoxels) + " voxels per volume)");
  }
  extents_ = Extents{static_cast<int32_t>(dim[1]), static_cast<int32_t>(dim[2]),
                     static_cast<int32_t>(dim[3])};
  // The series may hold at most 2^40 voxels; the product is checked factor by factor, since
  // NIfTI-2 extents are 64-bit and their product could overflow.
  const int64_t max_volumes = (int64_t{1} << 40) / std::max<int64_t>(1, *count);
  volumes_ = 1;
  for (int i = 4; i < 8; ++i) {
    if (dim[i] > max_volumes / volumes_) throw RunError(path + " holds too many voxels");
    volumes_ *= dim[i];
  }
  swap_ = h.byteorder != nifti_short_order();
  data_path_ = h.iname;

  // Where the voxels start: a single file's voxels cannot start inside its header (and the
  // 4-byte extender after it); an offset there is taken as the header's end, as other readers
  // do, rather than shifting every voxel.
  const double min_offset = raw.single_file ? (version == 2 ? 544 : 352) : 0;
  if (raw.vox_offset < min_offset) {
    if (!raw.single_file) {
      throw RunError(path + " gives vox_offset = " + number_text(raw.vox_offset) +
                     ": the voxel data cannot start before the beginning of " + data_path_);
    }
    warnings_.push_back(path + " gives vox_offset = " + number_text(raw.vox_offset) +
                        ", inside its header; the voxel data is read from byte " +
                        number_text(min_offset) + ", the header's end");
  }
  const double offset = std::floor(std::max(raw.vox_offset, min_offset));
  const int64_t volume_bytes = int64_t{volume_voxels()} * h.nbyper;
  const bool compressed = is_gzip_file(data_path_);
  if (!compressed) {
    // The voxel data's size is known before any of it is read: a file that is too short is
    // reported now, not after buffers for the whole claimed volume were allocated.
    struct stat data_st {};
    if (stat(data_path_.c_str(), &data_st) != 0) {
      throw RunError("cannot read " + data_path_ + ": " + errno_text());
    }
    const auto file_size = static_cast<double>(data_st.st_size);
    if (offset > file_size) {
      throw RunError(path + " gives vox_offset = " + number_text(raw.vox_offset) +
                     ", past the end of " + data_path_ + " (" + number_text(file_size) + " bytes)");
    }
    const double needed =
        offset + static_cast<double>(volume_bytes) * static_cast<double>(volumes_);
    if (needed > file_size) {
      throw RunError(data_path_ + " is truncated: its header gives " + std::to_string(volumes_) +
                     (volumes_ == 1 ? " volume of " : " volumes of ") +
                     std::to_string(extents_.d0) + "x" + std::to_string(extents_.d1) + "x" +
                     std::to_string(extents_.d2) + " voxels of " + std::to_string(h.nbyper) +
                     " bytes from byte " + number_text(offset) + ", " + number_text(needed) +
                     " bytes in all, but the file holds " + number_text(file_size));
    }
  } else if (offset > 0x1p62) {
    throw RunError(path + " gives vox_offset = " + number_text(raw.vox_offset) +
                   ", past the end of " + data_path_);
  }
  header_->iname_offset = static_cast<int64_t>(offset);

  gzFile data = gzopen(data_path_.c_str(), "rb");
  if (data == nullptr) {
    throw RunError("cannot read " + data_path_ + ": " + errno_text());
  }
  gzbuffer(data, 1 << 17);
  // A compressed file's length is known only by reading it: the byte before the voxels must be
  // there (zlib makes a forward seek only when the next read comes). A throw from here leaves
  // the constructor, so no destructor closes the stream: close it first.
  const auto start = static_cast<z_off_t>(offset);
  if (start > 0) {
    unsigned char last = 0;
    if (gzseek(data, start - 1, SEEK_SET) != start - 1 || gzread(data, &last, 1) != 1) {
      int code = Z_OK;
      const char* why = gzerror(data, &code);
      // Not the end of the file: memory, a bad stream.
      const std::string message = code != Z_OK && code != Z_BUF_ERROR
                                      ? "cannot read " + data_path_ + ": " + why
                                      : path +
                                            " gives vox_offset = " + number_text(raw.vox_offset) +
                                            ", past the end of " + data_path_;
      gzclose(data);
      throw RunError(message);
    }
  }
  data_ = data;
}

NiftiReader::~NiftiReader() {
  if (data_ != nullptr) gzclose(static_cast<gzFile>(data_));
}

void NiftiReader::read_volume(double* out) {
  read_into(out, nullptr);
}

void NiftiReader::read_volume(std::vector<double>& out) {
  if (out.size() == static_cast<size_t>(volume_voxels())) return read_into(out.data(), nullptr);
  out.clear();
  read_into(nullptr, &out);
}

void NiftiReader::read_into(double* out, std::vector<double>* grow) {
  if (next_volume_ >= volumes_) {
    throw RunError(path_ + ": read past its last volume");  // a caller's fault, not the file's
  }
  const nifti_image& h = *header_;
  const bool scale = h.scl_slope != 0.0;  // slope 0 means the values are stored unscaled
  const int64_t n = volume_voxels();
  raw_.resize(static_cast<size_t>(std::min(n, kChunkVoxels) * h.nbyper));
  gzFile data = static_cast<gzFile>(data_);
  for (int64_t first = 0; first < n; first += kChunkVoxels) {
    const int64_t count = std::min(kChunkVoxels, n - first);
    const unsigned bytes = static_cast<unsigned>(count * h.nbyper);
    const int got = gzread(data, raw_.data(), bytes);
    if (got < 0) {
      int code = 0;
      const char* why = gzerror(data, &code);
      if (code == Z_BUF_ERROR) {  // the compressed stream stops short
        throw RunError(data_path_ + " is truncated: volume " + std::to_string(next_volume_ + 1) +
                       " of " + std::to_string(volumes_) + " ends early");
      }
      throw RunError("cannot read " + data_path_ + ": " + why);
    }
    if (static_cast<unsigned>(got) != bytes) {
      throw RunError(data_path_ + " is truncated: volume " + std::to_string(next_volume_ + 1) +
                     " of " + std::to_string(volumes_) + " ends early");
    }
    if (swap_ && h.swapsize > 1) nifti_swap_Nbytes(count, h.swapsize, raw_.data());
    if (grow != nullptr) {  // the buffer grows with the data that arrived
      grow->resize(static_cast<size_t>(first + count));
      out = grow->data();
    }
    convert(h.datatype, raw_.data(), count, scale, h.scl_slope, h.scl_inter, out + first);
  }
  ++next_volume_;
  if (next_volume_ == volumes_) check_stream_end();
}

void NiftiReader::check_stream_end() {
  gzFile data = static_cast<gzFile>(data_);
  if (gzdirect(data) != 0) return;  // not compressed: nothing to verify
  // The compressed stream must end with its trailer (check sum and length), which zlib checks
  // only when reading reaches it: a file cut short inside the trailer otherwise passes.
  std::vector<unsigned char> sink(1 << 16);
  int got = 0;
  while ((got = gzread(data, sink.data(), static_cast<unsigned>(sink.size()))) > 0) {
  }
  // zlib reports a stream that stops short as Z_BUF_ERROR, with a read of 0 bytes.
  int code = Z_OK;
  const std::string why = gzerror(data, &code);
  if (code == Z_BUF_ERROR) {
    throw RunError(data_path_ +
                   " is truncated: its compressed data ends without the gzip "
                   "trailer that checks it");
  }
  if (code == Z_MEM_ERROR) throw RunError("cannot read " + data_path_ + ": " + why);
  if (got < 0 || code != Z_OK) throw RunError(data_path_ + " is damaged: " + why);
}

bool is_writable_nifti_name(const std::string& path) {
  const NiftiName name = nifti_name(path);
  return name == NiftiName::single || name == NiftiName::single_gz;
}

namespace {

std::string checked_output_name(const std::string& path) {
  if (!is_writable_nifti_name(path)) {
    throw RunError("cannot write " + path +
                   ": the name must end in .nii or .nii.gz (or .NII, "
                   ".NII.GZ)");
  }
  return path;
}

}  // namespace

NiftiWriter::NiftiWriter(const std::string& path, const nifti_image& like, OutputType type,
                         const Compression& compression)
    : file_(checked_output_name(path)), type_(type) {
  Header h(nifti_copy_nim_info(&like));
  if (!h) throw RunError("cannot write " + path + ": out of memory");
  const bool nifti2 =
      like.nifti_type == NIFTI_FTYPE_NIFTI2_1 || like.nifti_type == NIFTI_FTYPE_NIFTI2_2;
  const int size = type == OutputType::float32 ? 4 : 8;
  h->nifti_type = nifti2 ? NIFTI_FTYPE_NIFTI2_1 : NIFTI_FTYPE_NIFTI1_1;
  h->datatype = type == OutputType::float32 ? DT_FLOAT32 : DT_FLOAT64;
  h->nbyper = size;
  h->swapsize = size;
  h->scl_slope = 1.0;
  h->scl_inter = 0.0;
  h->byteorder = nifti_short_order();
  // Extents past dim[0] mean nothing; they are written as 1, as readers expect.
  if (h->dim[0] < 1 || h->dim[0] > 7) throw RunError("cannot write " + path + ": bad dimensions");
  for (int64_t i = h->dim[0] + 1; i < 8; ++i) h->dim[i] = 1;
  nifti_update_dims_from_array(h.get());

  const auto count = voxel_count(h->nx, h->ny, h->nz);
  if (!count || *count == 0) throw RunError("cannot write " + path + ": bad extents");
  volume_voxels_ = *count;
  volumes_ = std::max<int64_t>(1, h->nt) * std::max<int64_t>(1, h->nu) *
             std::max<int64_t>(1, h->nv) * std::max<int64_t>(1, h->nw);

  // Header, the 4-byte extender, the extensions, then the voxels at a multiple of 16 bytes.
  const bool extensions = h->num_ext > 0 && valid_nifti_extensions(h.get());
  int64_t offset = (nifti2 ? 540 : 348) + 4;
  if (extensions) {
    for (int i = 0; i < h->num_ext; ++i) offset += h->ext_list[i].esize;
  }
  offset = (offset + 15) / 16 * 16;
  h->iname_offset = offset;

  std::vector<unsigned char> head;
  if (nifti2) {
    nifti_2_header hdr;
    if (nifti_convert_nim2n2hdr(h.get(), &hdr) != 0) {
      throw RunError("cannot write " + path + ": the header cannot be converted to NIfTI-2");
    }
    hdr.vox_offset = offset;
    head.assign(reinterpret_cast<unsigned char*>(&hdr),
                reinterpret_cast<unsigned char*>(&hdr) + 540);
  } else {
    nifti_1_header hdr;
    if (nifti_convert_nim2n1hdr(h.get(), &hdr) != 0) {
      throw RunError("cannot write " + path + ": the header cannot be converted to NIfTI-1");
    }
    hdr.vox_offset = static_cast<float>(offset);
    head.assign(reinterpret_cast<unsigned char*>(&hdr),
                reinterpret_cast<unsigned char*>(&hdr) + 348);
  }
  const unsigned char extender[4] = {static_cast<unsigned char>(extensions ? 1 : 0), 0, 0, 0};
  head.insert(head.end(), extender, extender + 4);
  if (extensions) {
    for (int i = 0; i < h->num_ext; ++i) {
      const nifti1_extension& e = h->ext_list[i];
      const int32_t fields[2] = {e.esize, e.ecode};
      const auto* f = reinterpret_cast<const unsigned char*>(fields);
      head.insert(head.end(), f, f + 8);
      const auto* d = reinterpret_cast<const unsigned char*>(e.edata);
      head.insert(head.end(), d, d + (e.esize - 8));
    }
  }
  head.resize(static_cast<size_t>(offset), 0);

  if (nifti_name(path) == NiftiName::single_gz) {
    if (compression.level < kGzipMinLevel || compression.level > kGzipMaxLevel) {
      throw RunError("cannot write " + path + ": compression level " +
                     std::to_string(compression.level) + " is not one of " +
                     std::to_string(kGzipMinLevel) + " to " + std::to_string(kGzipMaxLevel));
    }
    // A thread count the rule refuses was reported by the caller; here it compresses on one.
    const ThreadCount threads = thread_count(compression.threads);
    gz_ = std::make_unique<GzipMembers>(
        compression.level, threads.error ? 1 : threads.count,
        [this](const void* bytes, size_t size) { file_.write_all(bytes, size); });
  }
  put(head.data(), head.size());
}

NiftiWriter::~NiftiWriter() = default;

void NiftiWriter::put(const void* bytes, size_t size) {
  if (!gz_) return file_.write_all(bytes, size);
  try {
    gz_->write(bytes, size);
  } catch (const std::bad_alloc&) {
    throw RunError("cannot write " + file_.target() + ": out of memory");
  }
}

void NiftiWriter::write_volume(const double* volume) {
  if (written_ >= volumes_) throw RunError("cannot write " + file_.target() + ": too many volumes");
  const int64_t n = volume_voxels_;
  const int64_t size = type_ == OutputType::float32 ? 4 : 8;
  buffer_.resize(static_cast<size_t>(std::min(n, kChunkVoxels) * size));
  for (int64_t first = 0; first < n; first += kChunkVoxels) {
    const int64_t count = std::min(kChunkVoxels, n - first);
    if (type_ == OutputType::float32) {
      for (int64_t i = 0; i < count; ++i) {
        const float v = static_cast<float>(volume[first + i]);
        overflowed_ += std::isinf(v) && std::isfinite(volume[first + i]) ? 1 : 0;
        std::memcpy(buffer_.data() + i * 4, &v, 4);
      }
    } else {
      std::memcpy(buffer_.data(), volume + first, static_cast<size_t>(count * 8));
    }
    put(buffer_.data(), static_cast<size_t>(count * size));
  }
  ++written_;
}

void NiftiWriter::commit() {
  if (written_ != volumes_) {
    throw RunError("cannot write " + file_.target() + ": " + std::to_string(written_) + " of " +
                   std::to_string(volumes_) + " volumes were written");
  }
  if (gz_) {
    try {
      gz_->finish();
    } catch (const std::bad_alloc&) {
      throw RunError("cannot write " + file_.target() + ": out of memory");
    }
    gz_.reset();
  }
  file_.commit();
}

std::vector<double> read_single_volume(const std::string& path, Header* header, Extents* extents) {
  NiftiReader reader(path);
  if (reader.volumes() != 1) {
    throw RunError(path + " holds " + std::to_string(reader.volumes()) +
                   " volumes where one 3-D volume is needed");
  }
  std::vector<double> volume;
  reader.read_volume(volume);
  if (header != nullptr) header->reset(nifti_copy_nim_info(&reader.header()));
  if (extents != nullptr) *extents = reader.extents();
  return volume;
}

void write_single_volume(const std::string& path, const nifti_image& like, const double* volume,
                         OutputType type) {
  NiftiWriter writer(path, like, type);
  writer.write_volume(volume);
  writer.commit();
}

Header make_header(const Extents& extents, double voxel_mm) {
  const int64_t dims[8] = {3, extents.d0, extents.d1, extents.d2, 1, 1, 1, 1};
  Header h(nifti_make_new_nim(dims, DT_FLOAT32, 0));
  if (!h) throw RunError("out of memory");
  h->nifti_type = NIFTI_FTYPE_NIFTI1_1;
  h->dx = h->dy = h->dz = voxel_mm;
  h->pixdim[1] = h->pixdim[2] = h->pixdim[3] = voxel_mm;
  h->xyz_units = NIFTI_UNITS_MM;
  h->qform_code = NIFTI_XFORM_SCANNER_ANAT;
  h->sform_code = NIFTI_XFORM_SCANNER_ANAT;
  h->quatern_b = h->quatern_c = h->quatern_d = 0.0;
  h->qfac = 1.0;
  h->qoffset_x = -0.5 * (extents.d0 - 1) * voxel_mm;
  h->qoffset_y = -0.5 * (extents.d1 - 1) * voxel_mm;
  h->qoffset_z = -0.5 * (extents.d2 - 1) * voxel_mm;
  h->qto_xyz = nifti_quatern_to_dmat44(0, 0, 0, h->qoffset_x, h->qoffset_y, h->qoffset_z, voxel_mm,
                                       voxel_mm, voxel_mm, 1.0);
  h->qto_ijk = nifti_dmat44_inverse(h->qto_xyz);
  h->sto_xyz = h->qto_xyz;
  h->sto_ijk = h->qto_ijk;
  std::snprintf(h->descrip, sizeof h->descrip, "volnlm phantom");
  return h;
}

Header crop_header(const nifti_image& header, const Extents& offset, const Extents& extents) {
  Header h(nifti_copy_nim_info(&header));
  if (!h) throw RunError("out of memory");
  h->dim[0] = 3;
  h->dim[1] = extents.d0;
  h->dim[2] = extents.d1;
  h->dim[3] = extents.d2;
  for (int i = 4; i < 8; ++i) h->dim[i] = 1;
  nifti_update_dims_from_array(h.get());
  const double o[3] = {static_cast<double>(offset.d0), static_cast<double>(offset.d1),
                       static_cast<double>(offset.d2)};
  auto moved = [&](const nifti_dmat44& m, int row) {
    return m.m[row][0] * o[0] + m.m[row][1] * o[1] + m.m[row][2] * o[2] + m.m[row][3];
  };
  if (h->qform_code > 0) {
    h->qoffset_x = moved(h->qto_xyz, 0);
    h->qoffset_y = moved(h->qto_xyz, 1);
    h->qoffset_z = moved(h->qto_xyz, 2);
    h->qto_xyz = nifti_quatern_to_dmat44(h->quatern_b, h->quatern_c, h->quatern_d, h->qoffset_x,
                                         h->qoffset_y, h->qoffset_z, h->dx, h->dy, h->dz, h->qfac);
    h->qto_ijk = nifti_dmat44_inverse(h->qto_xyz);
  }
  if (h->sform_code > 0) {
    const double t[3] = {moved(h->sto_xyz, 0), moved(h->sto_xyz, 1), moved(h->sto_xyz, 2)};
    for (int row = 0; row < 3; ++row) h->sto_xyz.m[row][3] = t[row];
    h->sto_ijk = nifti_dmat44_inverse(h->sto_xyz);
  }
  return h;
}

}  // namespace volnlm::cli
