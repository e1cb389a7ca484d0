// Files that appear complete or not at all: written to a temporary file in the target's
// directory and renamed over the target only once every byte is on disk. A file replaced keeps
// its permissions (and its owner and group where the system allows).
#pragma once

#include <string>

namespace volnlm::cli {

class AtomicFile {
 public:
  // Creates the temporary file next to `target`; throws RunError when the directory cannot take
  // it (missing, not a directory, not writable).
  explicit AtomicFile(std::string target);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  // Removes the temporary file unless commit() succeeded.
  ~AtomicFile();

  int fd() const { return fd_; }
  const std::string& target() const { return target_; }

  // Writes all of [data, data + size) at the current position; throws RunError on failure.
  void write_all(const void* data, size_t size);

  // Flushes the file to disk, closes it and renames it over the target; throws RunError on
  // failure, leaving the target as it was.
  void commit();

  // Closes and removes the temporary file; the target is left as it was.
  void discard() noexcept;

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
  int slot_ = -1;  // entry in the list of temporary files removed on a signal
};

// Installs handlers for the signals that end the process from outside (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU and the other terminating ones) that remove every
// temporary file still open and then end the process by the same signal. SIGXFSZ and SIGPIPE
// are ignored, so that a file-size limit or a closed pipe is an ordinary write error.
void remove_temporaries_on_signals();

// Directory part of a path ("." when it has none).
std::string directory_of(const std::string& path);

}  // namespace volnlm::cli
