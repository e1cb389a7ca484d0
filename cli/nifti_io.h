// NIfTI-1 and NIfTI-2 files (.nii, .nii.gz, or a .hdr/.img pair) in and out, one 3-D volume at a
// time so that a long 4-D series never has to fit in memory at once.
#pragma once

#include <nifti2_io.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/atomic_file.h"
#include "cli/gzip_members.h"
#include "common/volume.h"

namespace volnlm::cli {

enum class OutputType { float32, float64 };

// How a .nii.gz output is compressed: the gzip level, and the threads that compress (0: the
// default thread count, from VOLNLM_NUM_THREADS or the usable CPUs). The file does not depend on
// the thread count.
struct Compression {
  int level = kGzipDefaultLevel;
  int32_t threads = 0;
};

struct HeaderFree {
  void operator()(nifti_image* nim) const { nifti_image_free(nim); }
};
// A NIfTI header as niftilib holds it (no voxel data).
using Header = std::unique_ptr<nifti_image, HeaderFree>;

// Reads the volumes of a NIfTI file in order. Every real scalar datatype is accepted; values
// are scaled by scl_slope and scl_inter unless the slope is 0, which means no scaling.
class NiftiReader {
 public:
  // Opens `path` and reads its header; throws RunError when the file is missing, unreadable, not
  // NIfTI, of a datatype without real scalar voxels, or larger per volume than the filters take.
  explicit NiftiReader(const std::string& path);
  NiftiReader(const NiftiReader&) = delete;
  NiftiReader& operator=(const NiftiReader&) = delete;
  ~NiftiReader();

  const nifti_image& header() const { return *header_; }
  const std::string& path() const { return path_; }
  const Extents& extents() const { return extents_; }
  int32_t volume_voxels() const { return voxel_count(extents_); }
  // Number of 3-D volumes: the product of the extents past the third (1 for a 3-D file).
  int64_t volumes() const { return volumes_; }

  // Reads the next volume into `out` (volume_voxels() doubles, x fastest); throws RunError when
  // the file ends early or cannot be read. After the last volume, a compressed file is read to
  // its end, so that a damaged or cut trailer is reported too.
  void read_volume(double* out);
  // The same into a vector, which is resized to volume_voxels(); when it is not that size yet,
  // it grows as the data arrives, so that a short file claiming a huge volume is reported as
  // truncated before the whole volume is allocated.
  void read_volume(std::vector<double>& out);

  // The file that holds the voxels: the .img of a .hdr/.img pair, else the file itself.
  const std::string& data_path() const { return data_path_; }
  // What was odd but readable in the header (a vox_offset inside the header), for the user.
  const std::vector<std::string>& warnings() const { return warnings_; }

 private:
  void read_into(double* out, std::vector<double>* grow);
  void check_stream_end();

  std::string path_;
  std::string data_path_;
  std::vector<std::string> warnings_;
  Header header_;
  Extents extents_;
  int64_t volumes_ = 0;
  int64_t next_volume_ = 0;
  void* data_ = nullptr;  // the zlib stream of the voxel data (zlib reads plain files too)
  bool swap_ = false;
  std::vector<unsigned char> raw_;
};

// Writes a NIfTI file with the header of `like`: affine, qform and sform, voxel sizes, units,
// description, intent and extensions are kept; the datatype becomes float32 or float64 and the
// scaling is reset to slope 1, intercept 0. NIfTI-2 input gives NIfTI-2 output, anything else
// NIfTI-1. The file appears at `path` only when commit() succeeds.
class NiftiWriter {
 public:
  // `path` must end in .nii or .nii.gz (.gz compresses). Throws RunError when the directory
  // cannot take the file.
  NiftiWriter(const std::string& path, const nifti_image& like, OutputType type,
              const Compression& compression = {});
  NiftiWriter(const NiftiWriter&) = delete;
  NiftiWriter& operator=(const NiftiWriter&) = delete;
  ~NiftiWriter();

  // Appends the next volume (voxel_count of the header's first three extents doubles).
  void write_volume(const double* volume);
  // Finishes the file once every volume of the header was written; throws RunError otherwise.
  void commit();
  // Finite values written as infinite because they lie beyond float32's range.
  int64_t overflowed() const { return overflowed_; }

 private:
  void put(const void* bytes, size_t size);

  AtomicFile file_;
  OutputType type_;
  int32_t volume_voxels_ = 0;
  int64_t volumes_ = 0;
  int64_t written_ = 0;
  int64_t overflowed_ = 0;
  std::unique_ptr<GzipMembers> gz_;  // when compressing
  std::vector<unsigned char> buffer_;
};

// What a file name says about a NIfTI file. The extension is all lower or all upper case
// (".nii.gz", ".NII.GZ"), as niftilib takes it; a mixed one (".Nii") is neither.
enum class NiftiName { single, single_gz, pair, mixed_case, other };
NiftiName nifti_name(const std::string& path);
// The rule above, in words for messages.
std::string nifti_name_rule();

// True when `path` ends in .nii or .nii.gz (or .NII, .NII.GZ), the names the writer takes;
// .gz compresses.
bool is_writable_nifti_name(const std::string& path);

// Reads a file that holds exactly one 3-D volume.
std::vector<double> read_single_volume(const std::string& path, Header* header = nullptr,
                                       Extents* extents = nullptr);

// Writes one 3-D volume with the header of `like`, whose extents must match.
void write_single_volume(const std::string& path, const nifti_image& like, const double* volume,
                         OutputType type = OutputType::float32);

// A fresh NIfTI-1 header for a 3-D volume of cubic voxels of `voxel_mm` millimetres, with the
// volume's centre at the origin of scanner space.
Header make_header(const Extents& extents, double voxel_mm);

// A copy of `header` for the sub-volume of `extents` whose first voxel is `offset` of the
// original: qform and sform are moved so that every voxel keeps its place in space.
Header crop_header(const nifti_image& header, const Extents& offset, const Extents& extents);

}  // namespace volnlm::cli
