// libFuzzer target for the command-line tool's NIfTI reader: the input is written to a file,
// which the reader must either read volume by volume or refuse with a RunError. Any other
// exception, a crash or a sanitizer report is a fault.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/errors.h"
#include "cli/nifti_io.h"

namespace {

// Volumes larger than this are opened but not read: a header may claim any size, and reading
// a huge claimed volume is slow, not a fault.
constexpr int64_t kReadCap = int64_t{1} << 20;

std::string path_for(size_t size, const uint8_t* data) {
  // The first byte picks the name's ending, so both the plain and the compressed paths run.
  const bool gz = size > 0 && (data[0] & 1) != 0;
  return "/tmp/volnlm-fuzz-" + std::to_string(getpid()) + (gz ? ".nii.gz" : ".nii");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = path_for(size, data);
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    std::abort();
  }
  try {
    volnlm::cli::NiftiReader reader(path);
    const int64_t voxels = reader.volume_voxels();
    if (voxels > 0 && voxels * reader.volumes() <= kReadCap) {
      std::vector<double> volume(static_cast<size_t>(voxels));
      for (int64_t v = 0; v < reader.volumes(); ++v) reader.read_volume(volume.data());
    }
  } catch (const volnlm::cli::RunError&) {
    // A refusal with a message is the expected answer to a malformed file.
  }
  std::remove(path.c_str());
  return 0;
}
