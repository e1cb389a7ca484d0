#include "cli/gzip_members.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "common/slabs.h"
#include "common/thread_runner.h"

#if VOLNLM_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace volnlm::cli {

std::string gzip_library() {
#if VOLNLM_HAVE_LIBDEFLATE
  return std::string("libdeflate ") + LIBDEFLATE_VERSION_STRING;
#else
  return std::string("zlib ") + zlibVersion();
#endif
}

std::vector<unsigned char> gzip_member(const void* data, size_t size, int level) {
#if VOLNLM_HAVE_LIBDEFLATE
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (c == nullptr) throw std::bad_alloc();
  std::vector<unsigned char> out;
  try {
    out.resize(libdeflate_gzip_compress_bound(c, size));
  } catch (...) {
    libdeflate_free_compressor(c);
    throw;
  }
  const size_t used = libdeflate_gzip_compress(c, data, size, out.data(), out.size());
  libdeflate_free_compressor(c);
  // The bound is enough for any input, so 0 (no room) cannot happen; a member is never empty.
  if (used == 0) throw std::bad_alloc();
  out.resize(used);
  return out;
#else
  z_stream s{};
  // Window bits 15 + 16: a gzip header and trailer around the deflate data.
  if (deflateInit2(&s, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::bad_alloc();
  }
  std::vector<unsigned char> out;
  try {
    out.resize(deflateBound(&s, static_cast<uLong>(size)));
  } catch (...) {
    deflateEnd(&s);
    throw;
  }
  s.next_in = static_cast<Bytef*>(const_cast<void*>(data));
  s.avail_in = static_cast<uInt>(size);  // members are far below 4 GiB
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&s, Z_FINISH);
  const size_t used = out.size() - s.avail_out;
  deflateEnd(&s);
  if (result != Z_STREAM_END) throw std::bad_alloc();
  out.resize(used);
  return out;
#endif
}

GzipMembers::GzipMembers(int level, int32_t threads, Sink sink)
    : level_(level),
      threads_(std::clamp<int32_t>(threads, 1, kMaxWorkers)),
      sink_(std::move(sink)) {}

void GzipMembers::write(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  const size_t batch = kGzipMemberBytes * static_cast<size_t>(threads_);
  while (size > 0) {
    // The buffer grows with the data (the header alone takes little), up to one batch.
    const size_t take = std::min(size, batch - pending_.size());
    pending_.insert(pending_.end(), p, p + take);
    p += take;
    size -= take;
    if (pending_.size() == batch) flush_members(false);
  }
}

void GzipMembers::finish() {
  flush_members(true);
}

void GzipMembers::flush_members(bool last) {
  const size_t bytes = pending_.size();
  if (bytes == 0 && (wrote_any_ || !last)) return;
  const auto members =
      static_cast<int32_t>(std::max<size_t>(1, (bytes + kGzipMemberBytes - 1) / kGzipMemberBytes));
  std::vector<std::vector<unsigned char>> out(static_cast<size_t>(members));
  std::atomic<bool> failed{false};
  const auto compress = [&](int32_t m, int32_t) {
    const size_t first = static_cast<size_t>(m) * kGzipMemberBytes;
    const size_t size = std::min(kGzipMemberBytes, bytes - std::min(bytes, first));
    try {
      out[static_cast<size_t>(m)] = gzip_member(pending_.data() + first, size, level_);
    } catch (const std::bad_alloc&) {
      failed.store(true);
    }
  };
  std::atomic<bool> stop{false};
  const int32_t workers = std::min(threads_, members);
  // One member needs no thread; when threads cannot be started, the calling thread does the work.
  if (workers <= 1 || run_slabs(members, workers, stop, Interrupt{}, compress) != Status::ok) {
    for (int32_t m = 0; m < members; ++m) {
      if (out[static_cast<size_t>(m)].empty()) compress(m, 0);
    }
  }
  if (failed.load()) throw std::bad_alloc();
  for (const std::vector<unsigned char>& member : out) sink_(member.data(), member.size());
  pending_.clear();
  wrote_any_ = true;
}

}  // namespace volnlm::cli
