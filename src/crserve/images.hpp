// The images a server offers: one CR file, or every CR file under a folder, each named by its path
// below the folder without ".cr". A name never reaches outside the folder: names with "..", empty
// or absolute parts are refused, and files are opened beneath the folder by the kernel's own rule,
// so that a symbolic link leading out fails. Every lookup compares the file with the version seen
// before, so files added, replaced or removed while serving are seen at once, a new version under
// a new serial number. What is kept of the images is bounded whatever their count.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tiles.hpp"
#include "r64.hpp"

namespace crserve {

// Versions of images remembered between requests, least recently used forgotten first.
inline constexpr size_t kImagesRemembered = 4096;

// One version of one image file.
struct ImageFile {
  std::string id;          // its name: the path below the folder without ".cr"; "" for a single file
  std::string identity;    // device, inode, size and time of change: another version, another identity
  time_t modified = 0;     // the file's time of last change
  struct stat seen {};     // the file as it was found, to tell the next lookup whether it changed
  unsigned long serial = 0;  // this version's number, for caches
  Pyramid pyramid;
};

class Images {
 public:
  // A CR file or a folder; null with a message when it cannot be opened, or when a single file is
  // not a CR file or holds no level.
  static std::unique_ptr<Images> open(const std::string& path, std::string* message);
  ~Images();

  bool is_folder() const { return root_fd_ >= 0; }
  // The single file's name, without its folder.
  std::string file_name() const { return path_.substr(path_.rfind('/') + 1); }
  // The current version of image `id` ("" for the single file), or null when there is none.
  std::shared_ptr<const ImageFile> find(std::string_view id);
  // The names of every image under the folder, sorted (none for a single file).
  std::vector<std::string> names() const;
  // A new handle on the file of `image`, or null when the file is no longer that version.
  CR_FILE* open_handle(const ImageFile& image) const;
  // A new descriptor of the file of `image`, open for reading, or -1 when the file is no longer
  // that version.
  int open_descriptor(const ImageFile& image) const;
  // Called with the serial of every version forgotten, so that caches can let go of it.
  void on_forget(std::function<void(unsigned long)> forget) { forget_ = std::move(forget); }

 private:
  Images() = default;
  // A descriptor of the file of `id`, opened for reading; -1 when there is none or it lies outside.
  int open_file(std::string_view id) const;
  std::shared_ptr<const ImageFile> load(std::string_view id);
  void remember(std::shared_ptr<ImageFile> image);
  void forget(const std::string& id);

  std::string path_;  // the file, or the folder
  int root_fd_ = -1;  // the folder, when serving one
  std::mutex mutex_;
  unsigned long next_serial_ = 1;
  std::list<std::shared_ptr<const ImageFile>> order_;  // most recently used first
  std::unordered_map<std::string, std::list<std::shared_ptr<const ImageFile>>::iterator> index_;
  std::function<void(unsigned long)> forget_;
};

// Whether `id` is a name an image may have: relative, without empty, "." or ".." parts.
bool valid_image_name(std::string_view id);

// Changes whenever the file is replaced or rewritten, for entity tags.
std::string identity_of(const struct stat& st);

}  // namespace crserve
