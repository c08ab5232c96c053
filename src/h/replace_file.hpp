// Outputs that never destroy what they replace: a new file is written in its target's folder,
// unnamed where the system allows (else under a temporary name), and put in the target's place
// only once it is complete, so a failed or killed run leaves the old file as it was and never a
// partial file under the target's name.
#pragma once

#include <string>

// True when both paths name the same existing file (same device and inode, through any link).
bool same_file(const char* a, const char* b);
// True when `path` names the file open on `fd`.
bool same_file_as(int fd, const char* path);

class ReplacingFile {
 public:
  ReplacingFile() = default;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile();  // closes and removes the new file unless it was committed

  // Creates the new file beside `target`, open for reading and writing; the descriptor, or -1
  // with errno set. A target that exists and is not a regular file is refused (EINVAL): a FIFO or
  // a device cannot be replaced.
  int open(const char* target, int mode);
  int fd() const { return fd_; }
  // A name of the new file for calls that open files by name (/proc/self/fd/N while it has none).
  const char* path() const { return path_.c_str(); }
  // Closes the new file and puts it in the target's place; false with errno set on failure, the
  // new file then removed.
  bool commit();
  // The same, keeping a descriptor of the file now in place (read-write, close-on-exec), or -1.
  int commit_keeping();

 private:
  void discard();
  int fd_ = -1;
  std::string target_;
  std::string temporary_;  // the temporary name, empty when there is none
  std::string path_;
};
