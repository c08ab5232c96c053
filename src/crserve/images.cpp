// Finds the images of a file or a folder. A lookup stats the file; when it is the version seen
// before, that version is used, otherwise the file is opened beneath the folder (openat2 with
// RESOLVE_BENEATH, which refuses any path or link leading out), its header read, and the new
// version remembered under a new serial. Handles for the readers are opened through the
// descriptor of that opening, and checked to be the same version.
#include "images.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tool_status.hpp"

namespace crserve {

namespace {

constexpr std::string_view kSuffix = ".cr";
constexpr size_t kMaxNameBytes = 1024;

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int fd) : fd(fd) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

int open_beneath(int root_fd, const std::string& relative) {
  open_how how{};
  how.flags = O_RDONLY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  int fd;
  do {
    fd = static_cast<int>(::syscall(SYS_openat2, root_fd, relative.c_str(), &how, sizeof how));
  } while (fd < 0 && (errno == EAGAIN || errno == EINTR));
  return fd;
}

// A CR handle on the file open as `fd`, through its entry in /proc: the same file whatever its
// name has become meanwhile.
CR_FILE* open_cr_of(int fd) {
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  return cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
}

}  // namespace

bool valid_image_name(std::string_view id) {
  if (id.empty() || id.size() > kMaxNameBytes || id.find('\0') != std::string_view::npos) return false;
  for (size_t start = 0;;) {
    size_t end = id.find('/', start);
    std::string_view part = id.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

namespace {

// Whether two stats are of one version of a file, as identity_of tells them apart.
bool same_version(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Why the CR file `path` cannot be served: a system call of this file's own failed (errno says
// why), or the library's open did (r64_error and errno say why).
std::unique_ptr<Images> refuse_cr_file(const std::string& path, bool own_call_failed, std::string* message) {
  if (own_call_failed) r64_error = kR64System;
  *message = describe_cr_open_failure(path.c_str());
  return nullptr;
}

}  // namespace

std::string identity_of(const struct stat& st) {
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

std::unique_ptr<Images> Images::open(const std::string& path, std::string* message) {
  std::unique_ptr<Images> images(new Images());
  images->path_ = path;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return refuse_cr_file(path, true, message);
  if (S_ISDIR(st.st_mode)) {
    images->root_fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (images->root_fd_ < 0) *message = "cannot open the folder \"" + path + "\": " + std::strerror(errno);
    return images->root_fd_ < 0 ? nullptr : std::move(images);
  }
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  CR_FILE* f = fd.fd < 0 ? nullptr : open_cr_of(fd.fd);
  if (f == nullptr) return refuse_cr_file(path, fd.fd < 0, message);
  bool has_level = pyramid_of(f).has_value();
  cr_close_file(f);
  if (!has_level) {
    *message = "\"" + path + "\" holds no level: its image is too small";
    return nullptr;
  }
  return images;
}

Images::~Images() {
  if (root_fd_ >= 0) ::close(root_fd_);
}

int Images::open_file(std::string_view id) const {
  if (!is_folder()) return id.empty() ? ::open(path_.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (!valid_image_name(id)) return -1;
  return open_beneath(root_fd_, std::string(id) + std::string(kSuffix));
}

std::shared_ptr<const ImageFile> Images::find(std::string_view id) {
  if (is_folder() ? !valid_image_name(id) : !id.empty()) return nullptr;
  struct stat st;
  std::string name = std::string(id);
  int status = is_folder() ? ::fstatat(root_fd_, (name + std::string(kSuffix)).c_str(), &st, 0) : ::stat(path_.c_str(), &st);
  if (status != 0 || !S_ISREG(st.st_mode)) {
    forget(name);
    return nullptr;
  }
  {
    std::lock_guard lock(mutex_);
    auto found = index_.find(name);
    if (found != index_.end() && same_version((*found->second)->seen, st)) {
      order_.splice(order_.begin(), order_, found->second);
      return *found->second;
    }
  }
  return load(id);
}

// Opens the file beneath the folder and reads its geometry: a version not seen before.
std::shared_ptr<const ImageFile> Images::load(std::string_view id) {
  Descriptor fd(open_file(id));
  struct stat st;
  if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  CR_FILE* f = open_cr_of(fd.fd);
  if (f == nullptr) return nullptr;
  std::optional<Pyramid> pyramid = pyramid_of(f);
  cr_close_file(f);
  if (!pyramid) return nullptr;
  auto image = std::make_shared<ImageFile>();
  image->id = std::string(id);
  image->identity = identity_of(st);
  image->modified = st.st_mtim.tv_sec;
  image->seen = st;
  image->pyramid = *pyramid;
  remember(image);
  return image;
}

void Images::remember(std::shared_ptr<ImageFile> image) {
  std::vector<unsigned long> forgotten;
  {
    std::lock_guard lock(mutex_);
    image->serial = next_serial_++;
    auto found = index_.find(image->id);
    if (found != index_.end()) {
      forgotten.push_back((*found->second)->serial);
      order_.erase(found->second);
      index_.erase(found);
    }
    order_.push_front(image);
    index_.emplace(image->id, order_.begin());
    while (order_.size() > kImagesRemembered) {
      forgotten.push_back(order_.back()->serial);
      index_.erase(order_.back()->id);
      order_.pop_back();
    }
  }
  if (forget_)
    for (unsigned long serial : forgotten) forget_(serial);
}

void Images::forget(const std::string& id) {
  unsigned long serial = 0;
  {
    std::lock_guard lock(mutex_);
    auto found = index_.find(id);
    if (found == index_.end()) return;
    serial = (*found->second)->serial;
    order_.erase(found->second);
    index_.erase(found);
  }
  if (forget_) forget_(serial);
}

namespace {

// Adds the names of the CR files under the folder `relative` (with its "/", or empty for the root)
// of the folder open as `dir_fd`: directories by their entries' types, without a stat each;
// links to folders are not followed, so no folder is walked twice or from outside.
void add_names(int dir_fd, const std::string& relative, std::vector<std::string>& names) {
  DIR* dir = ::fdopendir(dir_fd);
  if (dir == nullptr) {
    ::close(dir_fd);
    return;
  }
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = entry->d_type;
    struct stat st;
    if (type == DT_UNKNOWN && ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    if (type == DT_DIR) {
      int sub = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) add_names(sub, relative + std::string(name) + "/", names);
    } else if ((type == DT_REG || type == DT_LNK) && name.size() > kSuffix.size() && name.ends_with(kSuffix)) {
      std::string id = relative + std::string(name.substr(0, name.size() - kSuffix.size()));
      if (valid_image_name(id)) names.push_back(std::move(id));
    }
  }
  ::closedir(dir);
}

}  // namespace

std::vector<std::string> Images::names() const {
  std::vector<std::string> names;
  if (!is_folder()) return names;
  int fd = ::openat(root_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) add_names(fd, "", names);
  std::sort(names.begin(), names.end());
  return names;
}

CR_FILE* Images::open_handle(const ImageFile& image) const {
  Descriptor fd(open_descriptor(image));
  return fd.fd < 0 ? nullptr : open_cr_of(fd.fd);
}

int Images::open_descriptor(const ImageFile& image) const {
  Descriptor fd(open_file(image.id));
  struct stat st;
  if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0 || identity_of(st) != image.identity) return -1;
  int checked = fd.fd;
  fd.fd = -1;
  return checked;
}

}  // namespace crserve
