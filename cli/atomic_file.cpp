#include "cli/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

#include "cli/errors.h"

namespace volnlm::cli {
namespace {

// Temporary files still open, for the signal handler: fixed storage, since a handler may not
// allocate. A slot goes free -> filling -> published; the handler only reads published slots.
constexpr int kSlots = 16;
constexpr size_t kPathMax = 4096;
enum : int { kFree = 0, kFilling = 1, kPublished = 2 };
struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathMax];
};
Slot g_slots[kSlots];

int claim_slot(const std::string& path) {
  if (path.size() >= kPathMax) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!g_slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
    g_slots[i].state.store(kPublished);
    return i;
  }
  return -1;
}

void release_slot(int slot) {
  if (slot >= 0) g_slots[slot].state.store(kFree);
}

extern "C" void on_signal(int sig) {
  for (Slot& slot : g_slots) {
    if (slot.state.load() == kPublished) unlink(slot.path);
  }
  // The signal is blocked while its handler runs: raised again, it takes its default action
  // (ending the process with the status the sender expects) as soon as the handler returns.
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// Signals whose default action ends the process and that come from outside (a user, the shell,
// a scheduler, a limit); faults such as SIGSEGV are left to their default and to sanitizers, and
// SIGPROF to profilers.
constexpr int kEndingSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGXCPU, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
};

std::string base_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A file that replaces another keeps its permissions, and its owner and group as far as the
// system lets us give them (only root may give a file away; a group we belong to is fine).
void keep_owner_and_mode(int fd, const struct stat& old) {
  if (fchown(fd, old.st_uid, old.st_gid) != 0) {
    (void)!fchown(fd, static_cast<uid_t>(-1), old.st_gid);  // else the new file stays ours
  }
  (void)!fchmod(fd, old.st_mode & 0777);
}

std::string describe_errno(int err) {
  return std::strerror(err);
}

}  // namespace

std::string directory_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void remove_temporaries_on_signals() {
  for (int sig : kEndingSignals) {
    struct sigaction old {};
    // A signal ignored by whoever started us (nohup, say) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction act {};
    act.sa_handler = on_signal;
    sigemptyset(&act.sa_mask);
    for (int other : kEndingSignals) sigaddset(&act.sa_mask, other);  // one cleanup at a time
    sigaction(sig, &act, nullptr);
  }
  // A file-size limit and a closed pipe make the write fail with EFBIG or EPIPE instead of
  // ending the process: the failure is then reported like any other.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
}

AtomicFile::AtomicFile(std::string target) : target_(std::move(target)) {
  const std::string dir = directory_of(target_);
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    throw RunError("cannot write " + target_ + ": directory " + dir + ": " + describe_errno(errno));
  }
  if (!S_ISDIR(st.st_mode)) {
    throw RunError("cannot write " + target_ + ": " + dir + " is not a directory");
  }
  struct stat replaced {};
  const bool replaces = stat(target_.c_str(), &replaced) == 0;
  if (replaces && S_ISDIR(replaced.st_mode)) {
    throw RunError("cannot write " + target_ + ": it is a directory");
  }
  // A hidden name in the same directory, so that the rename stays on one file system.
  std::random_device entropy;
  std::mt19937_64 pick((static_cast<uint64_t>(entropy()) << 32) ^ entropy() ^ getpid());
  // "." + name + ".<12 hex digits>.tmp" adds 18 characters: a name near the file system's limit
  // is shortened in the temporary name (the random part keeps it unique).
  long name_max = pathconf(dir.c_str(), _PC_NAME_MAX);
  if (name_max <= 0) name_max = 255;
  std::string base = base_of(target_);
  // A name the directory cannot hold would fail only at the final rename, after all the work.
  if (base.size() > static_cast<size_t>(name_max)) {
    throw RunError("cannot write " + target_ + ": " + describe_errno(ENAMETOOLONG));
  }
  const size_t room = name_max > 18 ? static_cast<size_t>(name_max) - 18 : 1;
  if (base.size() > room) base.resize(room);
  const std::string stem = (dir == "/" ? "" : dir) + "/." + base + ".";
  int err = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%012llx.tmp",
                  static_cast<unsigned long long>(pick() & 0xffffffffffffULL));
    std::string candidate = stem + suffix;
    // Listed for the signal handler before it exists, so that no moment is left uncovered.
    slot_ = claim_slot(candidate);
    // Mode 0666 under the umask: the finished file gets the permissions a new file would get.
    fd_ = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temp_ = std::move(candidate);
      if (replaces && S_ISREG(replaced.st_mode)) keep_owner_and_mode(fd_, replaced);
      return;
    }
    err = errno;
    release_slot(slot_);
    slot_ = -1;
    if (err != EEXIST) break;
  }
  throw RunError("cannot write " + target_ + ": " + describe_errno(err));
}

AtomicFile::~AtomicFile() {
  discard();
}

void AtomicFile::write_all(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw RunError("cannot write " + target_ + ": " + describe_errno(errno));
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
}

void AtomicFile::commit() {
  if (fd_ < 0) throw RunError("cannot write " + target_ + ": the file was already closed");
  if (fsync(fd_) != 0) {
    throw RunError("cannot write " + target_ + ": " + describe_errno(errno));
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    const int err = errno;
    unlink(temp_.c_str());
    release_slot(slot_);
    slot_ = -1;
    throw RunError("cannot write " + target_ + ": " + describe_errno(err));
  }
  if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    unlink(temp_.c_str());
    release_slot(slot_);
    slot_ = -1;
    throw RunError("cannot write " + target_ + ": " + describe_errno(err));
  }
  release_slot(slot_);
  slot_ = -1;
  temp_.clear();
}

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    temp_.clear();
  }
  release_slot(slot_);
  slot_ = -1;
}

}  // namespace volnlm::cli
