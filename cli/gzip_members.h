// Standard gzip output compressed on several threads: the stream is cut into members of
// kGzipMemberBytes input bytes each (the last one shorter), each a complete gzip stream of its
// own, written one after another. A sequence of members is one valid gzip file (gzip, zlib's
// gzread, Python's gzip module and niftilib read it whole); the cuts fall at fixed input offsets,
// so the file is the same for every thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace volnlm::cli {

// Input bytes per member: large enough that the cuts cost nothing measurable in size (each
// member restarts the 32 KiB history and adds 18 bytes of header and trailer), small enough that
// a whole volume gives every thread work.
inline constexpr size_t kGzipMemberBytes = size_t{4} << 20;

// Compression levels the writer takes, as gzip numbers them: 1 fastest ... 9 smallest.
inline constexpr int kGzipMinLevel = 1;
inline constexpr int kGzipMaxLevel = 9;
// The default. Voxel data is mostly noise in its low bytes, which no level finds repeats in: on
// the noisy 181x217x181 float32 template and its denoised results, libdeflate's level 1 writes
// files within 0.5% of the size of zlib's default level 6 (zlib's own level 1: within 2%), in a
// quarter of the time (bench/README.md gives the measurement).
inline constexpr int kGzipDefaultLevel = 1;

// The deflate library this build compresses with ("libdeflate 1.14" or "zlib 1.2.13").
std::string gzip_library();

// One complete gzip member holding `size` bytes of `data`; throws std::bad_alloc when memory is
// short.
std::vector<unsigned char> gzip_member(const void* data, size_t size, int level);

class GzipMembers {
 public:
  // Writes through `sink`, which is called on the constructing thread only, in order, and may
  // throw. `threads` compress members at once (1 compresses on the calling thread).
  using Sink = std::function<void(const void* bytes, size_t size)>;
  GzipMembers(int level, int32_t threads, Sink sink);

  // Appends bytes to the stream; full members are compressed and written a batch at a time.
  void write(const void* data, size_t size);
  // Compresses and writes what is left. A stream that received no bytes gets one empty member.
  void finish();

 private:
  void flush_members(bool last);

  int level_;
  int32_t threads_;
  Sink sink_;
  std::vector<unsigned char> pending_;  // input not yet compressed, up to threads_ members
  bool wrote_any_ = false;
};

}  // namespace volnlm::cli
