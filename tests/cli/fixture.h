// Scratch directories and NIfTI inputs written by niftilib itself, so that our reader and writer
// are checked against the library rather than against each other.
#pragma once

#include <gtest/gtest.h>
#include <nifti2_io.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/nifti_io.h"

namespace volnlm::cli::testing {

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/volnlm-cli-test-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    path_ = name;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }
  // Names in the directory, sorted: shows any temporary file left behind.
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

// A header with zeroed voxels of `datatype`: extents e, nt volumes (a 3-D header when nt is 1).
inline Header new_image(int datatype, const Extents& e, int64_t nt = 1) {
  const int64_t dims[8] = {nt > 1 ? 4 : 3, e.d0, e.d1, e.d2, nt, 1, 1, 1};
  return Header(nifti_make_new_nim(dims, datatype, 1));
}

// Writes the NIfTI-2 header niftilib makes of `image`, its extensions, then its voxels:
// niftilib's own writer truncates a single-file NIfTI-2 file when it reopens it for the voxels.
inline void write_nifti2(nifti_image* image, const std::string& path) {
  std::string extensions;
  for (int i = 0; i < image->num_ext; ++i) {
    const nifti1_extension& e = image->ext_list[i];
    const int32_t fields[2] = {e.esize, e.ecode};
    extensions.append(reinterpret_cast<const char*>(fields), 8)
        .append(e.edata, static_cast<size_t>(e.esize - 8));
  }
  const int64_t offset = (540 + 4 + static_cast<int64_t>(extensions.size()) + 15) / 16 * 16;
  image->nifti_type = NIFTI_FTYPE_NIFTI2_1;  // the single-file magic "n+2"
  nifti_2_header hdr;
  ASSERT_EQ(nifti_convert_nim2n2hdr(image, &hdr), 0);
  hdr.vox_offset = offset;
  std::string bytes(reinterpret_cast<const char*>(&hdr), sizeof hdr);
  bytes.push_back(image->num_ext > 0 ? '\1' : '\0');
  bytes.append(3, '\0');
  bytes += extensions;
  bytes.resize(static_cast<size_t>(offset), '\0');
  bytes.append(static_cast<const char*>(image->data),
               static_cast<size_t>(image->nvox * image->nbyper));
  gzFile f = gzopen(path.c_str(), path.ends_with(".gz") ? "wb" : "wbT");  // T: uncompressed
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size())),
            static_cast<int>(bytes.size()));
  ASSERT_EQ(gzclose(f), Z_OK);
}

// Writes `image` (with its data) at `path`: NIfTI-1 through niftilib, NIfTI-2 as above.
inline void write_with_niftilib(nifti_image* image, const std::string& path, bool nifti2 = false) {
  if (nifti2) return write_nifti2(image, path);
  ASSERT_EQ(nifti_set_filenames(image, path.c_str(), 0, 1), 0);
  nifti_image_write(image);
  ASSERT_TRUE(std::filesystem::exists(path)) << path;
}

// Sets voxel i of the image's data, whatever its datatype, to `raw`.
inline void set_raw(nifti_image* image, int64_t i, double raw) {
  switch (image->datatype) {
    case DT_UINT8:
      static_cast<uint8_t*>(image->data)[i] = static_cast<uint8_t>(raw);
      break;
    case DT_INT8:
      static_cast<int8_t*>(image->data)[i] = static_cast<int8_t>(raw);
      break;
    case DT_INT16:
      static_cast<int16_t*>(image->data)[i] = static_cast<int16_t>(raw);
      break;
    case DT_UINT16:
      static_cast<uint16_t*>(image->data)[i] = static_cast<uint16_t>(raw);
      break;
    case DT_INT32:
      static_cast<int32_t*>(image->data)[i] = static_cast<int32_t>(raw);
      break;
    case DT_UINT32:
      static_cast<uint32_t*>(image->data)[i] = static_cast<uint32_t>(raw);
      break;
    case DT_INT64:
      static_cast<int64_t*>(image->data)[i] = static_cast<int64_t>(raw);
      break;
    case DT_UINT64:
      static_cast<uint64_t*>(image->data)[i] = static_cast<uint64_t>(raw);
      break;
    case DT_FLOAT32:
      static_cast<float*>(image->data)[i] = static_cast<float>(raw);
      break;
    case DT_FLOAT64:
      static_cast<double*>(image->data)[i] = raw;
      break;
    default:
      FAIL() << "datatype " << image->datatype;
  }
}

// Reads a whole file back through niftilib (header and data).
inline Header read_with_niftilib(const std::string& path) {
  return Header(nifti_image_read(path.c_str(), 1));
}

}  // namespace volnlm::cli::testing
