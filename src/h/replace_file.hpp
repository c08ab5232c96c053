// Outputs that never destroy what they replace: a new file is written under a temporary name in
// its target's folder and renamed over the target only once it is complete, so a failed run
// leaves the old file as it was and never a partial file under the target's name.
#pragma once

#include <string>

// True when both paths name the same existing file (same device and inode, through any link).
bool same_file(const char* a, const char* b);

class ReplacingFile {
 public:
  ReplacingFile() = default;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile();  // removes the temporary file unless it was committed

  // Creates the temporary file beside `target`, open for reading and writing; the descriptor, or
  // -1 with errno set. A target that exists and is not a regular file is refused (EINVAL): a
  // FIFO or a device cannot be replaced.
  int open(const char* target, int mode);
  int fd() const { return fd_; }
  // The temporary file's name, for calls that open files by name.
  const char* path() const { return temporary_.c_str(); }
  // Closes the temporary file and renames it over the target; false with errno set on failure,
  // the temporary file then removed.
  bool commit();

 private:
  void discard();
  int fd_ = -1;
  std::string target_;
  std::string temporary_;  // empty when there is none
};
