#include "cli/output_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "cli/atomic_file.h"
#include "cli/errors.h"

namespace volnlm::cli {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one path

// The file a chain of symbolic links starting at `link` leads to (which may not exist).
std::string follow_links(const std::string& link) {
  std::string path = link;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n < 0) throw RunError("cannot write " + link + ": " + std::strerror(errno));
    target.resize(static_cast<size_t>(n));
    // A relative target is relative to the directory holding the link.
    path = target.starts_with('/') ? target : directory_of(path) + "/" + target;
  }
  throw RunError("cannot write " + link + ": " + std::strerror(ELOOP));
}

bool same_file(const struct stat& a, const std::string& path) {
  struct stat b {};
  return stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::string checked_output(const std::string& out, const std::vector<std::string>& inputs,
                           bool force) {
  struct stat st {};
  if (lstat(out.c_str(), &st) != 0) return out;  // a new file, or a failure the writer reports
  std::string target = out;
  if (S_ISLNK(st.st_mode)) {
    target = follow_links(out);
    if (!force) {
      throw RunError("refusing to write " + out + ": it is a symbolic link (to " + target +
                     "); --force writes through it, replacing " + target + " and keeping the link");
    }
  }
  if (stat(target.c_str(), &st) != 0) return target;  // a link to a file yet to be made
  if (!S_ISREG(st.st_mode)) return target;            // a directory, a device: the writer says
  for (const std::string& in : inputs) {
    if (!in.empty() && same_file(st, in) && !force) {
      throw RunError("refusing to write " + out + ": it is the input " + in +
                     " (the same file); --force replaces it once the result is complete");
    }
  }
  if (access(target.c_str(), W_OK) != 0 && errno == EACCES && !force) {
    throw RunError("refusing to replace " + out +
                   ": its permissions do not let you write it; --force replaces it (keeping "
                   "its permissions)");
  }
  return target;
}

}  // namespace volnlm::cli
