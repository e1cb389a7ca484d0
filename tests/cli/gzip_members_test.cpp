// Compressed output in independent gzip members: the stream decompresses to exactly the bytes
// written, whatever their length, level and thread count, and the file does not depend on the
// thread count.
#include "cli/gzip_members.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace volnlm::cli {
namespace {

using Bytes = std::vector<unsigned char>;

// Decompresses every member of a gzip stream in turn, as a reader of concatenated members does;
// `members` receives their count. Fails the test on a damaged stream or on bytes after the last.
Bytes gunzip(const Bytes& stream, int* members) {
  Bytes out;
  *members = 0;
  size_t at = 0;
  while (at < stream.size()) {
    z_stream s{};
    EXPECT_EQ(inflateInit2(&s, 15 + 16), Z_OK);
    s.next_in = const_cast<Bytef*>(stream.data() + at);
    s.avail_in = static_cast<uInt>(stream.size() - at);
    unsigned char buffer[1 << 16];
    int result = Z_OK;
    while (result == Z_OK) {
      s.next_out = buffer;
      s.avail_out = sizeof buffer;
      result = inflate(&s, Z_NO_FLUSH);
      out.insert(out.end(), buffer, buffer + (sizeof buffer - s.avail_out));
    }
    EXPECT_EQ(result, Z_STREAM_END) << "member " << *members << " at byte " << at;
    at = stream.size() - s.avail_in;
    inflateEnd(&s);
    ++*members;
    if (result != Z_STREAM_END) break;
  }
  return out;
}

// Float-like data: a smooth signal with noise in its low bits, as voxel data is.
Bytes voxel_like(size_t size, uint64_t seed) {
  std::mt19937_64 bits(seed);
  std::normal_distribution<float> noise(0.0f, 3.0f);
  Bytes out(size);
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const float v = 100.0f + 50.0f * static_cast<float>((i / 4) % 181) / 181.0f + noise(bits);
    std::memcpy(out.data() + i, &v, 4);
  }
  for (size_t i = size / 4 * 4; i < size; ++i) out[i] = static_cast<unsigned char>(bits());
  return out;
}

Bytes compress(const Bytes& data, int level, int32_t threads, size_t piece) {
  Bytes stream;
  GzipMembers gz(level, threads, [&](const void* bytes, size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    stream.insert(stream.end(), p, p + size);
  });
  // Written in pieces of `piece` bytes, as a writer converting voxels a chunk at a time does.
  for (size_t at = 0; at < data.size(); at += piece) {
    gz.write(data.data() + at, std::min(piece, data.size() - at));
  }
  gz.finish();
  return stream;
}

TEST(GzipMembers, DecompressToTheBytesWrittenWhateverTheLengthLevelAndThreads) {
  constexpr size_t M = kGzipMemberBytes;
  struct Case {
    size_t size;
    int members;  // members the stream is cut into
  };
  const Case cases[] = {{0, 1}, {1, 1}, {M - 1, 1}, {M, 1}, {M + 1, 2}, {2 * M + 12345, 3}};
  for (const Case& c : cases) {
    const Bytes data = voxel_like(c.size, c.size);
    Bytes single;  // the stream on one thread, which every other thread count must reproduce
    for (const int32_t threads : {1, 2, 3, 8}) {
      for (const int level : {kGzipMinLevel, kGzipDefaultLevel, 6, kGzipMaxLevel}) {
        // Other levels once, on the lengths around one member.
        if (level != kGzipDefaultLevel && (threads != 1 || c.size > M + 1)) continue;
        SCOPED_TRACE(::testing::Message()
                     << c.size << " bytes, level " << level << ", " << threads << " threads");
        const Bytes stream = compress(data, level, threads, 1000003);
        int members = 0;
        EXPECT_EQ(gunzip(stream, &members), data);
        EXPECT_EQ(members, c.members);
        if (level == kGzipDefaultLevel && threads == 1) single = stream;
        if (level == kGzipDefaultLevel) {
          EXPECT_EQ(stream, single);
        }
      }
    }
  }
}

// The cuts fall at fixed offsets of the input, however it arrives.
TEST(GzipMembers, TheStreamDoesNotDependOnHowTheInputArrives) {
  const Bytes data = voxel_like(2 * kGzipMemberBytes + 777, 5);
  const Bytes whole = compress(data, kGzipDefaultLevel, 2, data.size());
  for (const size_t piece : {size_t{1} << 12, kGzipMemberBytes - 3, kGzipMemberBytes + 5}) {
    EXPECT_EQ(compress(data, kGzipDefaultLevel, 2, piece), whole) << piece;
  }
  // A member holds its input alone: each one decompresses to its slice of the data.
  const Bytes first = gzip_member(data.data(), kGzipMemberBytes, kGzipDefaultLevel);
  ASSERT_LE(first.size(), whole.size());
  EXPECT_TRUE(std::equal(first.begin(), first.end(), whole.begin()));
}

// zlib's own reader, which the NIfTI reader and niftilib use, takes the members as one file.
TEST(GzipMembers, ZlibsGzipReaderReadsTheMembersAsOneStream) {
  const Bytes data = voxel_like(2 * kGzipMemberBytes + 99, 9);
  const Bytes stream = compress(data, kGzipDefaultLevel, 2, 1 << 16);
  char name[] = "/tmp/volnlm-gzip-test-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  close(fd);
  gzFile f = gzopen(name, "rb");
  ASSERT_NE(f, nullptr);
  Bytes back(data.size() + 10);
  const int got = gzread(f, back.data(), static_cast<unsigned>(back.size()));
  int code = Z_OK;
  gzerror(f, &code);
  gzclose(f);
  unlink(name);
  EXPECT_EQ(code, Z_OK);
  ASSERT_EQ(got, static_cast<int>(data.size()));
  back.resize(data.size());
  EXPECT_EQ(back, data);
}

}  // namespace
}  // namespace volnlm::cli
